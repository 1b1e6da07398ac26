// The backup run on real sample trees: the destination check and the settings it writes,
// the date and day folders, the generations, the image folder, the current-year staging
// and its compaction, the size question and the mail, and what failures leave behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "backup/backup_run.h"
#include "base/clock.h"
#include "base/errors.h"
#include "mail/mail.h"
#include "platform/file_system.h"
#include "sample/sample_tree.h"
#include "startup/settings.h"
#include "store/compaction.h"
#include "store/registers.h"
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
using test::TempDir;
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

// A sample tree with two firms of three years; the run backs up firm 2, current year 2.
// Year 2 of a sample firm is unprotected, years 1 and 3 carry the year password.
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

    TempDir tmp_;
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

bool Opens(const std::string& path, const std::string& key) {
    try {
        Database::Open(path, key);
        return true;
    } catch (const DatabaseError&) {
        return false;
    }
}

// ---- Destination ----

TEST_F(BackupRunTest, OthersWithoutUsablePathStopsBeforeAnythingIsWritten) {
    EXPECT_EQ(RunBackup(ctx_, Others(""), backupSourceFolder_), RunEnd::Stopped);
    EXPECT_EQ(RunBackup(ctx_, Others(backups_ + "/missing"), backupSourceFolder_), RunEnd::Stopped);

    EXPECT_EQ(log_.events, (std::vector<std::string>{"Please Select Backup Path", "Focus",
                                                     "Invalid Backup Path", "Focus"}));
    for (const Message& m : dialogs_.shown) {
        EXPECT_EQ(m.title, kProgramTitle);
        EXPECT_EQ(m.buttons, Buttons::Ok);
        EXPECT_EQ(m.icon, Icon::None);
    }
    EXPECT_FALSE(fs::exists(Settings()));
    EXPECT_TRUE(Names(backups_).empty());
    EXPECT_FALSE(fs::exists(backups_ + "/missing"));
}

TEST_F(BackupRunTest, OthersWritesTheChoicesInOrderAndUsesTheDateFolder) {
    BackupChoices c = Others(backups_);
    c.backTypeIndex = 1;
    c.chkAdvSet = 1;
    c.ChkIncAtcDoc = 0;
    c.ChkCurYr = 0;
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
    const Message& done = dialogs_.shown.back();
    EXPECT_EQ(done.title, "Backup");
    EXPECT_EQ(done.buttons, Buttons::YesNo);
    EXPECT_EQ(done.icon, Icon::None);
    EXPECT_EQ(done.defaultButton, Answer::Yes);
}

TEST_F(BackupRunTest, DefaultDirectoryIsCreatedAndUnknownTypesCountAsDayWise) {
    BackupChoices c;
    c.hardDiskIndex = 0;
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
    EXPECT_EQ(ArchivePath(values_, backups_ + "/", false, false), backups_ + "//Firm2.zip");
    EXPECT_EQ(ReadSetting("Back", "LPath", Settings()), backups_ + "/");
    c.backTypeIndex = 1;
    EXPECT_EQ(RetValidPath(ctx_, c), backups_ + "//20150314");
    EXPECT_TRUE(fs::is_directory(backups_ + "/20150314"));

    EXPECT_EQ(ArchivePath(values_, "/b", true, false), "/b/Firm2Yr2.zip");
    EXPECT_EQ(ArchivePath(values_, "/b", true, true), "/b/OFirm2Yr2.zip");
    EXPECT_EQ(ArchivePath(values_, "/b", false, true), "/b/OFirm2.zip");
}

// ---- Generations and contents ----

TEST_F(BackupRunTest, EachRunKeepsThePreviousArchiveAsTheOlderGeneration) {
    const BackupChoices c = Others(backups_);
    const std::string archive = backups_ + "/Firm2.zip";
    const std::string older = backups_ + "/OFirm2.zip";

    EXPECT_EQ(Run(c, Answer::No), RunEnd::KeepOpen);
    EXPECT_EQ(Names(backups_), std::vector<std::string>{"Firm2.zip"});
    const std::string first = ReadFile(archive);

    WriteFile(firm_ + "/Note.txt", "second run");
    Run(c, Answer::No);
    EXPECT_EQ(Names(backups_), (std::vector<std::string>{"Firm2.zip", "OFirm2.zip"}));
    EXPECT_EQ(ReadFile(older), first);
    const std::string second = ReadFile(archive);
    EXPECT_NE(second, first);
    EXPECT_TRUE(FileEntries(archive).count("Note.txt"));

    WriteFile(firm_ + "/Note.txt", "third run, longer");
    Run(c, Answer::No);
    EXPECT_EQ(Names(backups_), (std::vector<std::string>{"Firm2.zip", "OFirm2.zip"}));
    EXPECT_EQ(ReadFile(older), second);
    EXPECT_NO_THROW(VerifyArchive(archive));
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
    fs::rename(firm_ + "/Yr2/DVorn2.mdb", firm_ + "/Yr2/dvORN2.MDB");
    WriteFile(firm_ + "/Yr2/Sub/Keep.txt", "inside the year");
    WriteFile(firm_ + "/Other/Drop.txt", "not part of a year backup");
    WriteFile(firm_ + "/Firm2.ini", "firm-level file");
    // A copy left by an interrupted run must not leak into the new one.
    const std::string staging = program_ + "/Back/Firm2";
    WriteFile(staging + "/Stale.txt", "left over");
    WriteFile(staging + "/Yr2/Old.dat", "left over");
    const std::string live = tmp_ / "live-before";
    fs::copy(firm_, live, fs::copy_options::recursive);

    BackupChoices c = Others(backups_);
    c.ChkCurYr = 1;
    c.ChkIncAtcDoc = 1;  // the staging copy never holds the image folder
    EXPECT_EQ(Run(c), RunEnd::Exit);

    EXPECT_EQ(Names(backups_), std::vector<std::string>{"Firm2Yr2.zip"});
    const std::set<std::string> expected = FilesBelow(firm_, [](const std::string& rel) {
        const bool firmLevel = rel.find('/') == std::string::npos;
        return firmLevel || rel == "Yr2/dvORN2.MDB" || rel.starts_with("Yr2/Sub/") ||
               rel.starts_with("d/") || rel.starts_with("g/");
    });
    EXPECT_TRUE(expected.count("Firm2.mdb"));
    EXPECT_TRUE(expected.count("d/Doc0001.txt"));
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
    bool yearFolder = false;
    for (const ArchiveEntry& e : ListArchive(backups_ + "/Firm2Yr4.zip")) {
        EXPECT_FALSE(e.name.starts_with("Yr4/") && !e.isFolder) << e.name;
        EXPECT_FALSE(e.name.starts_with("Yr1/") || e.name.starts_with("Yr2/")) << e.name;
        yearFolder = yearFolder || (e.isFolder && e.name == "Yr4/");
    }
    EXPECT_TRUE(yearFolder);
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
    EXPECT_EQ(dialogs_.shown[0].icon, Icon::Critical);
    EXPECT_EQ(dialogs_.shown[0].title, kProgramTitle);
    EXPECT_EQ(ReadFile(backups_ + "/Firm2Yr2.zip"), "last archive");
    EXPECT_EQ(ReadFile(backups_ + "/OFirm2Yr2.zip"), "older archive");
    EXPECT_EQ(Names(backups_), (std::vector<std::string>{"Firm2Yr2.zip", "OFirm2Yr2.zip"}));
    EXPECT_TRUE(mail_.sent.empty());
    EXPECT_EQ(backupSourceFolder_, "");
}

TEST_F(BackupRunTest, StagingFailureThrowsAndRemovesTheStagingFolder) {
    values_.CurrentYearNo = "7";  // the firm has no such year folder
    BackupChoices c = Others(backups_);
    c.ChkCurYr = 1;
    EXPECT_THROW(RunBackup(ctx_, c, backupSourceFolder_), FileSystemError);
    EXPECT_FALSE(fs::exists(program_ + "/Back/Firm2"));
    EXPECT_TRUE(Names(backups_).empty());
}

// ---- Compaction of the staged year database ----

TEST_F(BackupRunTest, MaintDataCompactsWithTheDatabasesOwnPassword) {
    fs::create_directory(program_ + "/Back");
    for (const std::string year : {"2", "3"}) {
        SCOPED_TRACE("year " + year);
        values_.CurrentYearNo = year;
        const std::string key = year == "3" ? kYearPassword : "";
        const std::string other = year == "3" ? "" : kYearPassword;
        const std::string live = firm_ + "/Yr" + year + "/DVorn" + year + ".mdb";
        const std::string stage = tmp_ / ("stage" + year);
        const std::string staged = stage + "/Yr" + year + "/DVorn" + year + ".mdb";
        fs::create_directories(stage + "/Yr" + year);
        fs::copy_file(live, staged);
        const std::string leftover = program_ + "/Back/M" + year + ".mdb";
        WriteFile(leftover, "left by an earlier run");

        EXPECT_TRUE(MaintData(ctx_, stage, stage));
        EXPECT_TRUE(dialogs_.shown.empty());
        EXPECT_FALSE(fs::exists(leftover));
        EXPECT_LT(fs::file_size(staged), fs::file_size(live));  // free pages given back
        EXPECT_FALSE(Opens(staged, other));
        Database before = Database::Open(live, key);
        Database after = Database::Open(staged, key);
        EXPECT_EQ(RowCount(after, "Vouchers"), RowCount(before, "Vouchers"));
        EXPECT_EQ(RowCount(after, "Accounts"), RowCount(before, "Accounts"));
        EXPECT_GT(RowCount(after, "Vouchers"), 0u);
    }
}

TEST_F(BackupRunTest, MaintDataWithAForeignPasswordSaysInvalidPassAndLeavesTheDatabase) {
    fs::create_directory(program_ + "/Back");
    const std::string stage = tmp_ / "stage";
    const std::string staged = stage + "/Yr2/DVorn2.mdb";
    fs::create_directories(stage + "/Yr2");
    {
        Database db = Database::Create(staged, "someone else's");
        db.Execute("CREATE TABLE T (x); INSERT INTO T VALUES (1);");
    }
    const std::string bytes = ReadFile(staged);

    EXPECT_FALSE(MaintData(ctx_, stage, stage));
    ASSERT_EQ(dialogs_.Texts(), std::vector<std::string>{"invalid pass"});
    EXPECT_EQ(dialogs_.shown[0].title, kProgramTitle);
    EXPECT_EQ(dialogs_.shown[0].icon, Icon::None);
    EXPECT_EQ(ReadFile(staged), bytes);
    EXPECT_FALSE(fs::exists(program_ + "/Back/M2.mdb"));

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
    values_.CurrentYearNo = "3";  // protected
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
    const std::string live = firm_ + "/Yr3/DVorn3.mdb";
    EXPECT_LT(fs::file_size(out + "/Yr3/DVorn3.mdb"), fs::file_size(live));
    Database db = Database::Open(out + "/Yr3/DVorn3.mdb", kYearPassword);
    Database original = Database::Open(live, kYearPassword);
    EXPECT_EQ(RowCount(db, "Vouchers"), RowCount(original, "Vouchers"));
    EXPECT_FALSE(fs::exists(program_ + "/Back/M3.mdb"));
    EXPECT_FALSE(fs::exists(program_ + "/Back/Firm2"));
}

// ---- Size question and mail ----

TEST(SizeInMegabytes, RoundsToThreeDecimalsHalvesToEven) {
    EXPECT_EQ(SizeInMegabytes(15728640, "."), "15");
    EXPECT_EQ(SizeInMegabytes(16252928, "."), "15.5");
    EXPECT_EQ(SizeInMegabytes(17956864, "."), "17.125");
    EXPECT_EQ(SizeInMegabytes(16252928, ","), "15,5");
    EXPECT_EQ(SizeInMegabytes(65536, "."), "0.062");              // 0.0625 exactly
    EXPECT_EQ(SizeInMegabytes(196608, "."), "0.188");             // 0.1875 exactly
    EXPECT_EQ(SizeInMegabytes(15728640 + 65536, "."), "15.062");  // 15.0625
    EXPECT_EQ(SizeInMegabytes(15728640 + 1048, "."), "15.001");   // just above a half
    EXPECT_EQ(SizeInMegabytes(2 * 1048576 - 1, "."), "2");
    EXPECT_EQ(SizeInMegabytes(0, "."), "0");
    EXPECT_EQ(SizeInMegabytes(UINT64_MAX, "."), "17592186044416");
}

TEST_F(BackupRunTest, SizeQuestionFromExactly15728640Bytes) {
    BackupChoices c;
    c.chkSendEmail = 1;
    c.txtEmailToSend = "a@b.c";
    const std::string big = tmp_ / "Firm2.zip";
    WriteFile(big, "");
    fs::resize_file(big, kMailSizeQuestionBytes);

    dialogs_.answers.push_back(Answer::Yes);
    MailBackupArchive(ctx_, c, big);
    ASSERT_FALSE(dialogs_.shown.empty());
    const Message& q = dialogs_.shown[0];
    EXPECT_EQ(q.text, "File size is 15 Do you want to send E-Mail.");
    EXPECT_EQ(q.title, "Backup");
    EXPECT_EQ(q.buttons, Buttons::YesNo);
    EXPECT_EQ(q.defaultButton, Answer::No);
    EXPECT_EQ(q.icon, Icon::None);
    ASSERT_EQ(mail_.sent.size(), 1u);
    EXPECT_EQ(mail_.sent[0].attachmentPath, big);

    // One byte less: no question, straight to the mail.
    dialogs_.shown.clear();
    fs::resize_file(big, kMailSizeQuestionBytes - 1);
    MailBackupArchive(ctx_, c, big);
    for (const Message& m : dialogs_.shown) {
        EXPECT_EQ(m.text.find("File size is"), std::string::npos);
    }
    EXPECT_EQ(mail_.sent.size(), 2u);

    // The regional separator, and No skips the mail.
    dialogs_.shown.clear();
    ctx_.decimalSeparator = ",";
    fs::resize_file(big, 16252928);
    dialogs_.answers.push_back(Answer::No);
    MailBackupArchive(ctx_, c, big);
    EXPECT_EQ(dialogs_.Texts(),
              std::vector<std::string>{"File size is 15,5 Do you want to send E-Mail."});
    EXPECT_EQ(mail_.sent.size(), 2u);

    // Unchecked "Send Email": nothing at all.
    c.chkSendEmail = 0;
    MailBackupArchive(ctx_, c, big);
    EXPECT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(mail_.sent.size(), 2u);
}

TEST_F(BackupRunTest, NoToTheSizeQuestionSkipsTheMailAndFinishesTheRun) {
    // Random bytes do not shrink, so the archive passes the threshold.
    WriteFile(firm_ + "/Big.bin", RandomBytes(kMailSizeQuestionBytes + 524288, 7));
    BackupChoices c = Others(backups_);
    c.chkSendEmail = 1;
    dialogs_.answers.push_back(Answer::No);
    EXPECT_EQ(Run(c), RunEnd::Exit);

    ASSERT_EQ(log_.events.size(), 4u);
    EXPECT_EQ(log_.events[0], "BusyOn");
    EXPECT_TRUE(log_.events[1].starts_with("File size is 15.")) << log_.events[1];
    EXPECT_EQ(log_.events[2], "BusyOff");
    EXPECT_EQ(log_.events[3], kCompleted);
    EXPECT_TRUE(mail_.sent.empty());
    EXPECT_GE(fs::file_size(backups_ + "/Firm2.zip"), kMailSizeQuestionBytes);
}

TEST_F(BackupRunTest, FailedMailIsReportedAndTheBackupStays) {
    mail_.succeed = false;
    BackupChoices c = Others(backups_);
    c.chkSendEmail = 1;
    c.txtEmailToSend = "";  // passed on unchanged
    EXPECT_EQ(Run(c), RunEnd::Exit);

    ASSERT_EQ(mail_.sent.size(), 1u);
    EXPECT_EQ(mail_.sent[0].recipient, "");
    const std::vector<std::string> texts = dialogs_.Texts();
    const auto smtp = std::find(texts.begin(), texts.end(), kSmtpProblem);
    ASSERT_NE(smtp, texts.end());
    ASSERT_NE(smtp + 1, texts.end());
    EXPECT_EQ(*(smtp + 1), "Backup Can not Email");
    const Message& failed = dialogs_.shown[static_cast<size_t>(smtp + 1 - texts.begin())];
    EXPECT_EQ(failed.icon, Icon::Critical);
    EXPECT_EQ(failed.title, kProgramTitle);
    EXPECT_EQ(log_.events.back(), kCompleted);
    EXPECT_EQ(*(log_.events.end() - 2), "BusyOff");
    EXPECT_NO_THROW(VerifyArchive(backups_ + "/Firm2.zip"));
}

// ---- Failures leave the earlier generations as they were ----

TEST_F(BackupRunTest, FailedPackLeavesBothGenerationsAndNoTemporaryFile) {
    const BackupChoices c = Others(backups_);
    Run(c);
    WriteFile(firm_ + "/Note.txt", "changed");
    Run(c);
    const std::string last = ReadFile(backups_ + "/Firm2.zip");
    const std::string older = ReadFile(backups_ + "/OFirm2.zip");
    WriteFile(backups_ + "/.Firm2.zip.partial", "left by an interrupted run");

    // A file of the firm vanishes while the archive is being written.
    bool removed = false;
    view_.onProgress = [&](const ArchiveProgress&) {
        if (!removed) {
            removed = fs::remove(firm_ + "/g/Gfx0001.jpg");
        }
    };
    EXPECT_THROW(RunBackup(ctx_, c, backupSourceFolder_), ArchiveError);
    EXPECT_TRUE(removed);
    EXPECT_EQ(ReadFile(backups_ + "/Firm2.zip"), last);
    EXPECT_EQ(ReadFile(backups_ + "/OFirm2.zip"), older);
    EXPECT_EQ(Names(backups_), (std::vector<std::string>{"Firm2.zip", "OFirm2.zip"}));
}

TEST_F(BackupRunTest, FailedRotationLeavesBothGenerationsAndNoTemporaryFile) {
    test::HookedFileSystem failing;
    BackupContext ctx{values_, failing, dialogs_, clock_, mail_, view_, "."};
    WriteFile(backups_ + "/Firm2Yr2.zip", "last archive");
    WriteFile(backups_ + "/OFirm2Yr2.zip", "older archive");
    failing.before = [&](const std::string& op, const std::string& path, const std::string&) {
        if (op == "Kill" && path == backups_ + "/OFirm2Yr2.zip") {
            throw FileSystemError("Kill: refused by the test");
        }
    };
    BackupChoices c = Others(backups_);
    c.ChkCurYr = 1;

    EXPECT_THROW(RunBackup(ctx, c, backupSourceFolder_), FileSystemError);
    EXPECT_EQ(ReadFile(backups_ + "/Firm2Yr2.zip"), "last archive");
    EXPECT_EQ(ReadFile(backups_ + "/OFirm2Yr2.zip"), "older archive");
    EXPECT_EQ(Names(backups_), (std::vector<std::string>{"Firm2Yr2.zip", "OFirm2Yr2.zip"}));
    EXPECT_FALSE(fs::exists(program_ + "/Back/Firm2"));
}

}  // namespace
}  // namespace vornback
