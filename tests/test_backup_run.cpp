// The backup run on real sample trees: the destination check and the settings it writes,
// the date and day folders, the generations, the image folder, the current-year staging
// and its compaction, the size question and the mail, what failures leave behind; and
// what kills, two runs at once and leftovers of killed runs leave of the generations.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "backup/backup_run.h"
#include "base/clock.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "mail/mail.h"
#include "platform/file_system.h"
#include "platform/run_lock.h"
#include "recovery/recovery.h"
#include "sample/sample_tree.h"
#include "startup/settings.h"
#include "store/compaction.h"
#include "store/registers.h"
#include "support/crash_points.h"
#include "support/run_doubles.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "support/tree_compare.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using test::FileEntries;
using test::Names;
using test::RandomBytes;
using test::ReadFile;
using test::WriteFile;

constexpr const char* kCompleted = "Back up Completed. Do You Want To Exit?";
constexpr const char* kPermission = "Problem with folder permission, Please try again later";
constexpr const char* kSmtpProblem =
    "There is Some Problem with Your SMTP Settings, Please Check it with Your SMTP Provider";

// Saturday 14 March 2015.
class FixedClock : public Clock {
  public:
    Today Now() override { return Today{2015, 3, 14, "Saturday"}; }
};

class FakeView : public BackupView {
  public:
    explicit FakeView(test::EventLog& log) : log_(log) {}
    void BusyOn() override { log_.events.push_back("BusyOn"); }
    void BusyOff() override { log_.events.push_back("BusyOff"); }
    void FocusBrowseButton() override { log_.events.push_back("Focus"); }
    void ShowProgress(const ArchiveProgress& progress) override {
        ++progressCalls;
        if (onProgress) {
            onProgress(progress);
        }
    }
    void KeepAlive() override {}

    int progressCalls = 0;
    std::function<void(const ArchiveProgress&)> onProgress;

  private:
    test::EventLog& log_;
};

class FakeMail : public MailTransport {
  public:
    SendResult Send(const MailToSend& mail) override {
        sent.push_back(mail);
        return SendResult{succeed, succeed ? "" : "535 authentication failed"};
    }
    bool succeed = true;
    std::vector<MailToSend> sent;
};

class BackupRunTest : public ::testing::Test {
  protected:
    BackupRunTest()
        : root_(tmp_ / "data"),
          program_(MakeSampleTree(root_, SampleOptions{})),
          values_{2, "2", "B", program_, root_},
          firm_(root_ + "/Firm2"),
          backups_(tmp_ / "backups"),
          view_(log_),
          dialogs_(log_),
          ctx_{values_, fs_, dialogs_, clock_, mail_, view_, "."} {
        fs::create_directory(backups_);
    }

    BackupChoices Others(const std::string& folder) const {
        BackupChoices c;
        c.hardDiskIndex = 1;
        c.txtBackPath = folder;
        return c;
    }

    RunEnd Run(const BackupChoices& choices, Answer completion = Answer::Yes) {
        dialogs_.answers.push_back(completion);
        return RunBackup(ctx_, choices, backupSourceFolder_);
    }

    std::string Settings() const { return program_ + "/settings.ini"; }

    // The closing question as the run shows it for an archive.
    static Message Completed(const std::string& archive) {
        Message m{kCompleted, "Backup", Buttons::YesNo, Icon::None, Answer::Yes};
        m.detail = "The backup is " + archive + " (" +
                   SizeInMegabytes(fs::file_size(archive), ".") + " MB).";
        return m;
    }

    // The files below a folder, relative, "/" separated; pred leaves some out.
    static std::set<std::string> FilesBelow(const std::string& folder,
                                            const std::function<bool(const std::string&)>& keep) {
        std::set<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(folder)) {
            if (e.is_regular_file()) {
                const std::string rel = fs::relative(e.path(), folder).generic_string();
                if (keep(rel)) {
                    names.insert(rel);
                }
            }
        }
        return names;
    }

    test::TempDir tmp_;
    std::string root_;
    std::string program_;
    ProgramValues values_;
    std::string firm_;
    std::string backups_;
    test::EventLog log_;
    FakeView view_;
    test::LoggingDialogs dialogs_;
    LocalFileSystem fs_;
    FixedClock clock_;
    FakeMail mail_;
    BackupContext ctx_;
    std::string backupSourceFolder_;
};

uint64_t RowCount(Database& db, const char* table) {
    return std::stoull(test::QueryValue(db, std::string("SELECT count(*) FROM ") + table));
}

// ---- Destination ----

TEST_F(BackupRunTest, OthersWithoutUsablePathStopsBeforeAnythingIsWritten) {
    EXPECT_EQ(RunBackup(ctx_, Others(""), backupSourceFolder_), RunEnd::Stopped);
    EXPECT_EQ(RunBackup(ctx_, Others(backups_ + "/missing"), backupSourceFolder_), RunEnd::Stopped);
    EXPECT_EQ(dialogs_.shown, (std::vector<Message>{{"Please Select Backup Path", kProgramTitle},
                                                    {"Invalid Backup Path", kProgramTitle}}));
    EXPECT_EQ(log_.events, (std::vector<std::string>{"Please Select Backup Path", "Focus",
                                                     "Invalid Backup Path", "Focus"}));
    EXPECT_FALSE(fs::exists(Settings()));
    EXPECT_TRUE(Names(backups_).empty());
}

TEST_F(BackupRunTest, OthersWritesTheChoicesInOrderAndUsesTheDateFolder) {
    BackupChoices c = Others(backups_);
    c.backTypeIndex = 1;
    c.chkAdvSet = 1;
    EXPECT_EQ(Run(c), RunEnd::Exit);

    const std::string text = ReadFile(Settings());
    size_t at = 0;
    for (const char* line : {"LPath=", "BackType=1", "AdvSet=1", "IncAtcDoc=0", "CurYr=0"}) {
        const size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << " missing or out of order in\n" << text;
        at = found;
    }
    EXPECT_EQ(ReadSetting("Back", "LPath", Settings()), backups_);
    EXPECT_EQ(Names(backups_), std::vector<std::string>{"20150314"});
    EXPECT_EQ(Names(backups_ + "/20150314"), std::vector<std::string>{"Firm2.zip"});
    EXPECT_EQ(backupSourceFolder_, firm_);
    EXPECT_EQ(log_.events, (std::vector<std::string>{"BusyOn", "BusyOff", kCompleted}));
    EXPECT_EQ(dialogs_.shown.back(), Completed(backups_ + "/20150314/Firm2.zip"));
    // Nothing of the run's own is left: no lock, no temporary archive.
    EXPECT_EQ(Names(program_ + "/Back"), std::vector<std::string>{});
}

TEST_F(BackupRunTest, DefaultDirectoryIsCreatedAndUnknownTypesCountAsDayWise) {
    BackupChoices c;
    c.lblHDPath = tmp_ / "VornBack";
    c.txtBackPath = backups_;  // ignored with the default directory
    c.backTypeIndex = 2;
    EXPECT_EQ(Run(c, Answer::No), RunEnd::KeepOpen);
    EXPECT_TRUE(fs::is_regular_file(tmp_ / "VornBack/Saturday/Firm2.zip"));
    EXPECT_EQ(ReadSetting("Back", "LPath", Settings()), "");
    EXPECT_EQ(ReadSetting("Back", "BackType", Settings()), "2");

    c.backTypeIndex = 7;
    EXPECT_EQ(RetValidPath(ctx_, c), tmp_ / "VornBack/Saturday");
    EXPECT_EQ(ReadSetting("Back", "BackType", Settings()), "2");
    // Only one level is created: a default folder whose parent is missing is an error.
    c.lblHDPath = tmp_ / "no/VornBack";
    EXPECT_THROW(RetValidPath(ctx_, c), FileSystemError);
}

TEST_F(BackupRunTest, TrailingSeparatorOfTheBaseDoubles) {
    BackupChoices c = Others(backups_ + "/");
    EXPECT_EQ(RetValidPath(ctx_, c), backups_ + "/");
    EXPECT_EQ(ReadSetting("Back", "LPath", Settings()), backups_ + "/");
    c.backTypeIndex = 1;
    EXPECT_EQ(RetValidPath(ctx_, c), backups_ + "//20150314");
    EXPECT_TRUE(fs::is_directory(backups_ + "/20150314"));
    EXPECT_EQ(ArchivePath(values_, backups_ + "/", false, false), backups_ + "//Firm2.zip");
    EXPECT_EQ(ArchivePath(values_, "/b", true, false), "/b/Firm2Yr2.zip");
    EXPECT_EQ(ArchivePath(values_, "/b", true, true), "/b/OFirm2Yr2.zip");
    EXPECT_EQ(ArchivePath(values_, "/b", false, true), "/b/OFirm2.zip");
}

// ---- Generations and contents ----

TEST_F(BackupRunTest, EachRunKeepsThePreviousArchiveAsTheOlderGeneration) {
    const std::string archive = backups_ + "/Firm2.zip";
    const std::string older = backups_ + "/OFirm2.zip";
    std::vector<std::string> generations;
    for (const char* note : {"first", "second run", "third run, longer"}) {
        WriteFile(firm_ + "/Note.txt", note);
        EXPECT_EQ(Run(Others(backups_), Answer::No), RunEnd::KeepOpen);
        generations.push_back(ReadFile(archive));
        EXPECT_EQ(Names(backups_).size(), std::min<size_t>(generations.size(), 2));
        if (generations.size() > 1) {
            EXPECT_TRUE(ReadFile(older) == generations[generations.size() - 2]);
            EXPECT_TRUE(generations.back() != generations[generations.size() - 2]);
        }
    }
    EXPECT_TRUE(FileEntries(archive).count("Note.txt"));
    EXPECT_EQ(dialogs_.shown.back(), Completed(archive));
}

TEST_F(BackupRunTest, ImageFolderIsPackedOnlyOnRequest) {
    BackupChoices c = Others(backups_);
    Run(c);
    const std::string archive = backups_ + "/Firm2.zip";
    EXPECT_EQ(FileEntries(archive), FilesBelow(firm_, [](const std::string& rel) {
                  return !rel.starts_with("AttachDocs/");
              }));
    EXPECT_GT(view_.progressCalls, 0);

    c.ChkIncAtcDoc = 1;
    Run(c);
    const std::set<std::string> all = FilesBelow(firm_, [](const std::string&) { return true; });
    EXPECT_TRUE(std::any_of(all.begin(), all.end(),
                            [](const std::string& n) { return n.starts_with("AttachDocs/"); }));
    EXPECT_EQ(FileEntries(archive), all);
}

// ---- Current year ----

TEST_F(BackupRunTest, CurrentYearPacksATrimmedCopyAndRemovesIt) {
    // Letter case in the tree must not matter, and the year's own sub-folders stay.
    fs::rename(firm_ + "/Yr2", firm_ + "/YR2");
    fs::rename(firm_ + "/YR2/DVorn2.mdb", firm_ + "/YR2/dvORN2.MDB");
    WriteFile(firm_ + "/YR2/Sub/Keep.txt", "inside the year");
    WriteFile(firm_ + "/YR2/Notes.txt", "not the database");
    WriteFile(firm_ + "/Other/Drop.txt", "not part of a year backup");
    WriteFile(firm_ + "/Firm2.ini", "firm-level file");
    // A copy left by an interrupted run must not leak into the new one.
    const std::string staging = program_ + "/Back/Firm2";
    WriteFile(staging + "/Stale.txt", "left over");
    const std::string live = tmp_ / "live-before";
    fs::copy(firm_, live, fs::copy_options::recursive);

    BackupChoices c = Others(backups_);
    c.ChkCurYr = 1;
    c.ChkIncAtcDoc = 1;  // the staging copy never holds the image folder
    EXPECT_EQ(Run(c), RunEnd::Exit);

    EXPECT_EQ(Names(backups_), std::vector<std::string>{"Firm2Yr2.zip"});
    const std::set<std::string> expected = FilesBelow(firm_, [](const std::string& rel) {
        const bool firmLevel = rel.find('/') == std::string::npos;
        return firmLevel || rel == "YR2/dvORN2.MDB" || rel.starts_with("YR2/Sub/") ||
               rel.starts_with("d/") || rel.starts_with("g/");
    });
    EXPECT_TRUE(expected.count("Firm2.mdb") && expected.count("d/Doc0001.txt"));
    EXPECT_EQ(FileEntries(backups_ + "/Firm2Yr2.zip"), expected);
    EXPECT_EQ(backupSourceFolder_, staging);
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(test::CompareTrees(live, firm_, {.compareTimes = false}), "");
    EXPECT_EQ(log_.events, (std::vector<std::string>{"BusyOn", "BusyOn", "BusyOff", kCompleted}));
}

TEST_F(BackupRunTest, YearFolderWithOnlyOtherFilesStaysAsAnEmptyFolder) {
    WriteFile(firm_ + "/Yr4/Notes.txt", "no database in this year");
    values_.CurrentYearNo = "4";
    BackupChoices c = Others(backups_);
    c.ChkCurYr = 1;
    Run(c);
    std::set<std::string> names;
    for (const ArchiveEntry& e : ListArchive(backups_ + "/Firm2Yr4.zip")) {
        names.insert(e.name);
    }
    EXPECT_TRUE(names.count("Yr4/"));
    EXPECT_FALSE(names.count("Yr4/Notes.txt") || names.count("Yr2/") || names.count("Yr1/"));
}

TEST_F(BackupRunTest, StagingRefusalShowsThePermissionMessageAndRotatesNothing) {
    WriteFile(program_ + "/Back", "a file where the staging root belongs");
    WriteFile(backups_ + "/Firm2Yr2.zip", "last archive");
    WriteFile(backups_ + "/OFirm2Yr2.zip", "older archive");
    BackupChoices c = Others(backups_);
    c.ChkCurYr = 1;
    c.chkSendEmail = 1;

    EXPECT_EQ(RunBackup(ctx_, c, backupSourceFolder_), RunEnd::Stopped);
    EXPECT_EQ(log_.events, (std::vector<std::string>{"BusyOn", kPermission, "BusyOff"}));
    EXPECT_EQ(dialogs_.shown[0],
              (Message{kPermission, kProgramTitle, Buttons::Ok, Icon::Critical}));
    EXPECT_EQ(ReadFile(backups_ + "/Firm2Yr2.zip"), "last archive");
    EXPECT_EQ(ReadFile(backups_ + "/OFirm2Yr2.zip"), "older archive");
    EXPECT_EQ(Names(backups_), (std::vector<std::string>{"Firm2Yr2.zip", "OFirm2Yr2.zip"}));
    EXPECT_TRUE(mail_.sent.empty());
}

TEST_F(BackupRunTest, StagingFailureThrowsAndRemovesTheStagingFolder) {
    values_.CurrentYearNo = "7";  // the firm has no such year folder
    BackupChoices c = Others(backups_);
    c.ChkCurYr = 1;
    EXPECT_THROW(RunBackup(ctx_, c, backupSourceFolder_), FileSystemError);
    EXPECT_EQ(Names(program_ + "/Back"), std::vector<std::string>{});
    EXPECT_TRUE(Names(backups_).empty());
}

// ---- Compaction of the staged year database ----

TEST_F(BackupRunTest, MaintDataCompactsWithTheDatabasesOwnPasswordOrSaysInvalidPass) {
    fs::create_directory(program_ + "/Back");
    const struct {
        std::string year, key, folder;
        bool compacts;
    } cases[] = {{"2", "", "Yr2", true},
                 {"3", kYearPassword, "yr3", true},
                 {"1", "someone else's", "Yr1", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE("year " + c.year);
        values_.CurrentYearNo = c.year;
        dialogs_.shown.clear();
        const std::string stage = tmp_ / ("stage" + c.year);
        const std::string staged = stage + "/" + c.folder + "/DVorn" + c.year + ".mdb";
        fs::create_directories(stage + "/" + c.folder);
        if (c.compacts) {
            fs::copy_file(firm_ + "/Yr" + c.year + "/DVorn" + c.year + ".mdb", staged);
        } else {
            Database db = Database::Create(staged, c.key);
            db.Execute("CREATE TABLE Vouchers (x); INSERT INTO Vouchers VALUES (1);");
        }
        const std::string bytes = ReadFile(staged);
        uint64_t rows = 0;
        {
            Database before = Database::Open(staged, c.key);
            rows = RowCount(before, "Vouchers");
        }

        EXPECT_EQ(MaintData(ctx_, stage, stage), c.compacts);
        EXPECT_EQ(dialogs_.shown,
                  (c.compacts ? std::vector<Message>{}
                              : std::vector<Message>{{"invalid pass", kProgramTitle}}));
        EXPECT_EQ(Names(program_ + "/Back"), std::vector<std::string>{});  // no copy left
        EXPECT_EQ(ReadFile(staged) == bytes, !c.compacts);
        Database after = Database::Open(staged, c.key);
        EXPECT_EQ(RowCount(after, "Vouchers"), rows);
        EXPECT_GT(rows, 0u);
    }
    // Nothing to compact: silent.
    EXPECT_FALSE(MaintData(ctx_, tmp_ / "nowhere", tmp_ / "nowhere"));
    EXPECT_EQ(dialogs_.shown.size(), 1u);
}

TEST_F(BackupRunTest, CompactDatabaseRefusesAnExistingDestinationAndAWrongKey) {
    const std::string live = firm_ + "/Yr3/DVorn3.mdb";
    const std::string dest = tmp_ / "copy.mdb";
    WriteFile(dest, "someone's file");
    EXPECT_THROW(CompactDatabase(live, dest, kYearPassword), DatabaseError);
    EXPECT_EQ(ReadFile(dest), "someone's file");
    fs::remove(dest);
    EXPECT_THROW(CompactDatabase(live, dest, ""), DatabaseError);
    EXPECT_FALSE(fs::exists(dest));
}

TEST_F(BackupRunTest, MailedCurrentYearBackupCarriesTheCompactedDatabase) {
    values_.CurrentYearNo = "3";  // protected, and its folder in another letter case
    fs::rename(firm_ + "/Yr3", firm_ + "/YR3");
    BackupChoices c = Others(backups_);
    c.ChkCurYr = 1;
    c.chkSendEmail = 1;
    c.txtEmailToSend = "books@example.com";
    Run(c);

    const std::string archive = backups_ + "/Firm2Yr3.zip";
    ASSERT_EQ(mail_.sent.size(), 1u);
    EXPECT_EQ(mail_.sent[0].recipient, "books@example.com");
    EXPECT_EQ(mail_.sent[0].attachmentPath, archive);
    const std::string out = tmp_ / "out";
    UnpackArchive(archive, out);
    const std::string live = firm_ + "/YR3/DVorn3.mdb";
    EXPECT_LT(fs::file_size(out + "/YR3/DVorn3.mdb"), fs::file_size(live));
    Database db = Database::Open(out + "/YR3/DVorn3.mdb", kYearPassword);
    Database original = Database::Open(live, kYearPassword);
    EXPECT_EQ(RowCount(db, "Vouchers"), RowCount(original, "Vouchers"));
    EXPECT_EQ(Names(program_ + "/Back"), std::vector<std::string>{});
}

// ---- Size question and mail ----

TEST(SizeInMegabytes, RoundsToThreeDecimalsHalvesToEven) {
    const struct {
        uint64_t bytes;
        const char* separator;
        std::string text;
    } cases[] = {{15728640, ".", "15"},
                 {16252928, ".", "15.5"},
                 {17956864, ".", "17.125"},
                 {16252928, ",", "15,5"},
                 {65536, ".", "0.062"},              // 0.0625 exactly
                 {196608, ".", "0.188"},             // 0.1875 exactly
                 {15728640 + 65536, ".", "15.062"},  // 15.0625
                 {15728640 + 1048, ".", "15.001"},   // just above a half
                 {2 * 1048576 - 1, ".", "2"},
                 {0, ".", "0"},
                 {UINT64_MAX, ".", "17592186044416"}};
    for (const auto& c : cases) {
        EXPECT_EQ(SizeInMegabytes(c.bytes, c.separator), c.text) << c.bytes;
    }
}

TEST_F(BackupRunTest, SizeQuestionFromExactly15728640Bytes) {
    BackupChoices c;
    const std::string big = tmp_ / "Firm2.zip";
    WriteFile(big, "");
    ctx_.decimalSeparator = ",";
    const struct {
        int checked;
        uint64_t size;
        Answer answer;
        std::string question;  // "" when none is asked
        size_t mails;
    } cases[] = {{1, kMailSizeQuestionBytes, Answer::Yes, "15", 1},
                 {1, 16252928, Answer::No, "15,5", 0},
                 {1, kMailSizeQuestionBytes - 1, Answer::Yes, "", 1},
                 {0, 16252928, Answer::Yes, "", 0}};  // unchecked "Send Email": nothing at all
    for (const auto& k : cases) {
        dialogs_.shown.clear();
        mail_.sent.clear();
        dialogs_.answers.assign({k.answer});
        c.chkSendEmail = k.checked;
        fs::resize_file(big, k.size);
        MailBackupArchive(ctx_, c, big);
        std::vector<Message> asked;
        if (!k.question.empty()) {
            asked.push_back({"File size is " + k.question + " Do you want to send E-Mail.",
                             "Backup", Buttons::YesNo, Icon::None, Answer::No});
        }
        std::erase_if(dialogs_.shown, [](const Message& m) { return m.buttons == Buttons::Ok; });
        EXPECT_EQ(dialogs_.shown, asked) << k.size;
        EXPECT_EQ(mail_.sent.size(), k.mails) << k.size;
    }
}

TEST_F(BackupRunTest, NoToTheSizeQuestionSkipsTheMailAndFinishesTheRun) {
    // Random bytes do not shrink, so the archive passes the threshold.
    WriteFile(firm_ + "/Big.bin", RandomBytes(kMailSizeQuestionBytes + 524288, 7));
    BackupChoices c = Others(backups_);
    c.chkSendEmail = 1;
    dialogs_.answers.push_back(Answer::No);
    EXPECT_EQ(Run(c), RunEnd::Exit);
    ASSERT_EQ(log_.events.size(), 4u);
    EXPECT_TRUE(log_.events[1].starts_with("File size is 15.")) << log_.events[1];
    EXPECT_EQ(log_.events[2], "BusyOff");
    EXPECT_EQ(dialogs_.shown.back(), Completed(backups_ + "/Firm2.zip"));
    EXPECT_TRUE(mail_.sent.empty());
}

TEST_F(BackupRunTest, FailedMailIsReportedAndTheBackupStays) {
    mail_.succeed = false;
    BackupChoices c = Others(backups_);
    c.chkSendEmail = 1;
    c.txtEmailToSend = "";  // passed on unchanged
    EXPECT_EQ(Run(c), RunEnd::Exit);
    ASSERT_EQ(mail_.sent.size(), 1u);
    EXPECT_EQ(mail_.sent[0].recipient, "");
    const auto smtp = std::find(log_.events.begin(), log_.events.end(), kSmtpProblem);
    ASSERT_NE(smtp, log_.events.end());
    EXPECT_EQ(std::vector<std::string>(smtp + 1, log_.events.end()),
              (std::vector<std::string>{"Backup Can not Email", "BusyOff", kCompleted}));
    EXPECT_EQ(dialogs_.shown[dialogs_.shown.size() - 2],
              (Message{"Backup Can not Email", kProgramTitle, Buttons::Ok, Icon::Critical}));
    EXPECT_NO_THROW(VerifyArchive(backups_ + "/Firm2.zip"));
}

// ---- Failures leave the earlier generations as they were ----

TEST_F(BackupRunTest, FailedPackOrRotationLeavesBothGenerationsAndNothingOfItsOwn) {
    test::HookedFileSystem hooked;
    BackupContext ctx{values_, hooked, dialogs_, clock_, mail_, view_, "."};
    BackupChoices c = Others(backups_);
    c.ChkCurYr = 1;
    // Another firm's unfinished archive in the same folder is not this run's to remove.
    WriteFile(backups_ + "/.Firm3Yr2.zip.partial-99-0000abcd", "another firm's run");
    for (const std::string failure : {"pack", "rotation"}) {
        SCOPED_TRACE(failure);
        WriteFile(backups_ + "/Firm2Yr2.zip", "last archive");
        WriteFile(backups_ + "/OFirm2Yr2.zip", "older archive");
        bool removed = false;
        // A file of the firm vanishes while the archive is being written.
        view_.onProgress = [&](const ArchiveProgress&) {
            if (failure == "pack" && !removed) {
                removed = fs::remove(program_ + "/Back/Firm2/Firm2.mdb");
            }
        };
        hooked.before = [&](const std::string& op, const std::string&, const std::string& to) {
            if (failure == "rotation" && op == "ReplaceFile" && to == backups_ + "/OFirm2Yr2.zip") {
                throw FileSystemError("refused by the test");
            }
        };
        if (failure == "pack") {
            EXPECT_THROW(RunBackup(ctx, c, backupSourceFolder_), ArchiveError);
            EXPECT_TRUE(removed);
        } else {
            EXPECT_THROW(RunBackup(ctx, c, backupSourceFolder_), FileSystemError);
        }
        EXPECT_EQ(ReadFile(backups_ + "/Firm2Yr2.zip"), "last archive");
        EXPECT_EQ(ReadFile(backups_ + "/OFirm2Yr2.zip"), "older archive");
        EXPECT_EQ(Names(backups_), (std::vector<std::string>{".Firm3Yr2.zip.partial-99-0000abcd",
                                                             "Firm2Yr2.zip", "OFirm2Yr2.zip"}));
        EXPECT_EQ(Names(program_ + "/Back"), std::vector<std::string>{});
    }
}

// ---- Kills, two runs at once, recovery ----

class BackupSafetyTest : public BackupRunTest {
  protected:
    // An archive whose only file is the marker, so that a generation can be told by name.
    std::string Generation(const std::string& path, const std::string& marker) {
        const std::string source = tmp_ / ("gen-" + marker);
        WriteFile(source + "/" + marker, marker);
        PackFolder(source, path);
        return path;
    }

    // What the next start and the next run of the firm do before anything else.
    std::vector<std::string> NextStart() {
        std::vector<std::string> lines = RecoverAtStartup(values_, fs_);
        const RunLock lock = RunLock::Take(DestinationLockFile(backups_, 2), "firm 2");
        for (const std::string& line : RecoverDestination(fs_, backups_, 2)) {
            lines.push_back(line);
        }
        return lines;
    }

    // The marker of the generation at path ("" when there is none), checked whole.
    std::string MarkerOf(const std::string& path) {
        if (!fs::exists(path)) {
            return "";
        }
        EXPECT_NO_THROW(VerifyArchive(path)) << path;
        const auto entries = FileEntries(path);
        for (const char* marker : {"A", "B"}) {
            if (entries.count(marker)) {
                return marker;
            }
        }
        return entries.count("New.txt") ? "new" : "?";
    }
};

TEST_F(BackupSafetyTest, KilledAtEveryStepTheNextStartLeavesWholeGenerations) {
    WriteFile(firm_ + "/New.txt", "the new generation");
    const struct {
        bool currentYear, hardLinks, earlier;
        int points;  // the changing steps of the run (the current-year staging of the sample)
    } flows[] = {{false, true, true, 3},  {true, true, true, 11},  {false, false, true, 2},
                 {true, false, true, 10}, {false, true, false, 1}, {true, true, false, 9}};
    for (const auto& flow : flows) {
        const std::string name = std::string(flow.currentYear ? "current year" : "whole firm") +
                                 (flow.hardLinks ? "" : ", no hard links") +
                                 (flow.earlier ? ", Firm and OFirm there" : ", first backup");
        SCOPED_TRACE(name);
        BackupChoices c = Others(backups_);
        c.ChkCurYr = flow.currentYear ? 1 : 0;
        const std::string archive = ArchivePath(values_, backups_, flow.currentYear, false);
        const std::string previous = ArchivePath(values_, backups_, flow.currentYear, true);
        const int points = test::ForEachKillPoint(
            [&] {
                fs::remove_all(backups_);
                fs::remove_all(program_ + "/Back");
                fs::create_directory(backups_);
                if (flow.earlier) {
                    Generation(archive, "A");
                    Generation(previous, "B");
                }
            },
            [&](FileSystem& killing) {
                BackupContext ctx{values_, killing, dialogs_, clock_, mail_, view_, "."};
                dialogs_.answers.push_back(Answer::Yes);
                RunBackup(ctx, c, backupSourceFolder_);
            },
            [&](int killedAfter) {
                SCOPED_TRACE("killed after step " + std::to_string(killedAfter));
                NextStart();
                const std::string last = MarkerOf(archive);
                const std::string older = MarkerOf(previous);
                if (flow.earlier) {
                    EXPECT_TRUE((last == "A" && older == "B") || (last == "new" && older == "A"))
                        << last << "/" << older;
                } else {
                    EXPECT_TRUE(older.empty() && (last.empty() || last == "new")) << last;
                }
                EXPECT_EQ(Names(backups_).size(),
                          static_cast<size_t>(!last.empty()) + static_cast<size_t>(!older.empty()));
                EXPECT_EQ(Names(program_ + "/Back"), std::vector<std::string>{});
            },
            flow.hardLinks);
        EXPECT_EQ(points, flow.points);
        std::printf("kill points, %s: %d\n", name.c_str(), points);
    }
}

TEST_F(BackupSafetyTest, ASecondRunOfTheFirmIsRefusedWhileTheFirstHoldsIt) {
    Generation(backups_ + "/Firm2.zip", "A");
    Generation(backups_ + "/OFirm2.zip", "B");
    WriteFile(firm_ + "/New.txt", "the new generation");
    const std::string refusal = tmp_ / "refusal.txt";
    // While the first run packs, a second process starts a backup of the same firm.
    view_.onProgress = [&](const ArchiveProgress&) {
        if (fs::exists(refusal)) {
            return;
        }
        WriteFile(refusal, "");
        std::fflush(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            std::string text = "no refusal";
            try {
                dialogs_.answers.push_back(Answer::Yes);
                RunBackup(ctx_, Others(backups_), backupSourceFolder_);
            } catch (const RunLocked& e) {
                text = e.what();
            }
            WriteFile(refusal, text);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
    };
    EXPECT_EQ(Run(Others(backups_)), RunEnd::Exit);

    const std::string text = ReadFile(refusal);
    const std::string holder =
        "(program test_backup_run, process " + std::to_string(::getpid()) + ", since ";
    EXPECT_TRUE(text.starts_with("A backup or restore of firm 2 is already running " + holder))
        << text;
    EXPECT_TRUE(
        text.ends_with("so this one was not started and nothing was changed. Wait until "
                       "it has finished, then try again."))
        << text;
    EXPECT_EQ(MarkerOf(backups_ + "/Firm2.zip"), "new");
    EXPECT_EQ(MarkerOf(backups_ + "/OFirm2.zip"), "A");
    EXPECT_EQ(Names(backups_), (std::vector<std::string>{"Firm2.zip", "OFirm2.zip"}));
    EXPECT_EQ(Names(program_ + "/Back"), std::vector<std::string>{});  // the locks went too
}

// The destination is recovered for the firm whose run holds its locks; the staging root
// only while no run at all works in it (a restore may stage another firm's archive).
TEST_F(BackupSafetyTest, RecoveryFinishesOrRemovesWhatKilledRunsLeftAndNothingElse) {
    const std::string tag = "4242-0000abcd";
    const std::string checked = BackupTemporaryName("Firm2Yr2.zip", tag);
    const std::string unchecked = BackupTemporaryName("Firm2.zip", tag);
    Generation(backups_ + "/" + checked, "A");  // its last archive is missing: completes
    WriteFile(backups_ + "/" + unchecked, "cut off");
    Generation(backups_ + "/Firm2.zip", "B");
    for (const std::string& piece :
         {unchecked + ".part-12345678", unchecked + ".part-1a2b3c4d.x1Y2z3",
          RotationLinkName("Firm2.zip", tag)}) {
        WriteFile(backups_ + "/" + piece, "piece");
    }
    // Another firm's leftovers and a person's own files are not touched.
    const std::vector<std::string> others = {BackupTemporaryName("Firm3.zip", tag),
                                             BackupTemporaryName("Firm21.zip", tag),
                                             "Firm2.zip.part-1", ".Firm2.zip.partial-x"};
    for (const std::string& other : others) {
        WriteFile(backups_ + "/" + other, "keep");
    }
    const std::string back = program_ + "/Back";
    WriteFile(back + "/FIRM2/Yr2/DVorn2.mdb", "stale staging");
    WriteFile(back + "/" + CompactionTemporaryName("2", 2, tag), "stale copy");
    WriteFile(back + "/Firm5/Firm5.mdb", "a running restore's staging");
    const auto backBefore = test::AllPaths(back);
    {
        const RunLock running = RunLock::Take(FirmLockFile(values_, 5), "firm 5");
        const std::vector<std::string> lines = NextStart();
        EXPECT_EQ(lines.size(), 5u);
        for (const std::string& line : lines) {
            EXPECT_TRUE(line.ends_with(".")) << line;
        }
        EXPECT_EQ(test::AllPaths(back).size(), backBefore.size() + 1);  // and the lock
    }
    std::vector<std::string> expected = others;
    expected.insert(expected.end(), {"Firm2.zip", "Firm2Yr2.zip"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(backups_), expected);
    EXPECT_EQ(MarkerOf(backups_ + "/Firm2Yr2.zip"), "A");
    EXPECT_EQ(MarkerOf(backups_ + "/Firm2.zip"), "B");
    EXPECT_EQ(NextStart().size(), 3u);  // the run has ended: the staging root goes
    EXPECT_EQ(Names(back), std::vector<std::string>{});
    EXPECT_EQ(NextStart(), std::vector<std::string>{});  // nothing twice
}

}  // namespace
}  // namespace vornback
