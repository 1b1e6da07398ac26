// The backup run on real sample trees: destination, generations, current-year staging and
// compaction, mail, pruning and failures.
#include "test_backup_run_fixture.h"

namespace vornback {
namespace {

uint64_t RowCount(Database db, const char* table) {
    return std::stoull(test::QueryValue(db, std::string("SELECT count(*) FROM ") + table));
}

TEST_F(BackupRunTest, DestinationChoicesAndGenerations) {
    // A missing folder for Others stops the run before anything is written.
    EXPECT_THROW(RunBackup(ctx_, Others(backups_ + "/missing"), backupSourceFolder_), RunStopped);
    ASSERT_EQ(dialogs_.shown.size(), 1u);
    EXPECT_EQ(dialogs_.shown[0].text, "Invalid Backup Path");
    EXPECT_EQ(dialogs_.shown[0].detail, "The backup folder \"" + backups_ +
                                            "/missing\" does not exist; choose a folder that "
                                            "exists and that you may write to.");
    EXPECT_EQ(log_.events, (Strings{"Invalid Backup Path", "Focus"}));
    EXPECT_FALSE(fs::exists(Settings()));

    log_.events.clear();
    BackupChoices c = Others(backups_);
    c.type = BackupTypeAt(7);  // unknown: day-wise
    c.advanced = true;
    fs::create_symlink("Firm2.mdb", firm_ + "/Link.mdb");  // left out, and said so
    struct Kept : WarningSink {
        void Warn(const std::string& text) override { lines.push_back(text); }
        Strings lines;
    } warnings;
    WarningSink* const previous = SetWarningSink(&warnings);
    EXPECT_EQ(Run(c), RunEnd::Exit);
    SetWarningSink(previous);
    EXPECT_EQ(warnings.lines, Strings{"left out of the backup, a link: Link.mdb"});
    fs::remove(firm_ + "/Link.mdb");
    const std::string text = ReadFile(Settings());
    size_t at = 0;
    for (const char* line : {"LPath=", "BackType=2", "AdvSet=1", "IncAtcDoc=0", "CurYr=0"}) {
        at = text.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " missing or out of order in\n" << text;
    }
    const std::string archive = backups_ + "/Saturday/Firm2.zip";
    EXPECT_EQ(FileEntries(archive), FilesBelow(firm_, [](const std::string& rel) {
                  return !rel.starts_with("AttachDocs/") && rel != "Link.mdb";
              }));
    EXPECT_EQ(backupSourceFolder_, firm_);
    EXPECT_EQ(log_.events, (Strings{"BusyOn", "BusyOff", kCompleted}));
    EXPECT_EQ(
        dialogs_.shown.back(),
        (Message{kCompleted, "Backup", Buttons::YesNo, Icon::None, Answer::Yes,
                 "The backup is " + archive + " (" + SizeInMegabytes(fs::file_size(archive), ".") +
                     " MB). Links are not backed up; left out: Link.mdb."}));
    EXPECT_EQ(Names(program_ + "/Back"), Strings{});  // no lock, no temporary archive
    // Each further run keeps the archive before it as the older generation.
    for (const char* note : {"second run", "third run"}) {
        const std::string before = ReadFile(archive);
        WriteFile(firm_ + "/Note.txt", note);
        EXPECT_EQ(Run(c, Answer::No), RunEnd::KeepOpen);
        EXPECT_TRUE(ReadFile(backups_ + "/Saturday/OFirm2.zip") == before &&
                    ReadFile(archive) != before);
    }
    // The drill before the rotation is dated by the run's clock.
    c.drill = 1;
    clock_.seconds = 1700000000;
    EXPECT_EQ(Run(c), RunEnd::Exit);
    const std::vector<HistoryRecord> lines = ReadHistory(HistoryFile(values_));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].kind, "drill");
    EXPECT_EQ(lines[lines.size() - 2].time, 1700000000);
    EXPECT_EQ(Names(backups_ + "/Saturday"), (Strings{"Firm2.zip", "OFirm2.zip"}));

    // The default directory is made (one level only); the path typed for Others is neither
    // checked nor kept.
    c.folder = FolderChoice::Default;
    c.defaultFolder = tmp_ / "VornBack";
    c.backupPath = tmp_ / "missing";
    EXPECT_EQ(RetValidPath(ctx_, c), tmp_ / "VornBack/Saturday");
    EXPECT_EQ(ReadSetting("Back", "LPath", Settings()), backups_);
    c.defaultFolder = tmp_ / "no/VornBack";
    EXPECT_THROW(RetValidPath(ctx_, c), FileSystemError);
}

TEST_F(BackupRunTest, CurrentYearPacksATrimmedCompactedCopyAndRemovesIt) {
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

    BackupChoices c = Others(backups_, true);
    c.includeImages = true;  // the staging copy never holds the image folder
    c.sendEmail = true;
    EXPECT_EQ(Run(c), RunEnd::Exit);

    const std::string archive = backups_ + "/Firm2Yr2.zip";
    EXPECT_EQ(Names(backups_), Strings{"Firm2Yr2.zip"});
    const std::set<std::string> expected = FilesBelow(firm_, [](const std::string& rel) {
        return rel.find('/') == std::string::npos || rel == "YR2/dvORN2.MDB" ||
               rel.starts_with("YR2/Sub/") || rel.starts_with("d/") || rel.starts_with("g/");
    });
    EXPECT_TRUE(expected.count("Firm2.mdb") && expected.count("d/Doc0001.txt"));
    EXPECT_EQ(FileEntries(archive), expected);
    EXPECT_EQ(backupSourceFolder_, staging);
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(test::CompareTrees(live, firm_, {.compareTimes = false}), "");
    EXPECT_EQ(log_.events,
              (Strings{"BusyOn", "BusyOn", "E-Mail Send Completed.", "BusyOff", kCompleted}));
    // The mail carries the archive, whose year database was compacted and lost no row.
    ASSERT_EQ(mail_.sent.size(), 1u);
    EXPECT_EQ(mail_.sent[0].attachmentName, "Firm2Yr2.zip");
    EXPECT_EQ(mail_.attached[0], ReadFile(archive));
    UnpackArchive(archive, tmp_ / "out");
    const std::string packed = tmp_ / "out/YR2/dvORN2.MDB";
    EXPECT_LT(fs::file_size(packed), fs::file_size(firm_ + "/YR2/dvORN2.MDB"));
    EXPECT_EQ(RowCount(Database::Open(packed, ""), "Vouchers"),
              RowCount(Database::Open(firm_ + "/YR2/dvORN2.MDB", ""), "Vouchers"));
}

TEST_F(BackupRunTest, MaintDataCompactsWithTheDatabasesOwnPasswordOrSaysInvalidPass) {
    fs::create_directory(program_ + "/Back");
    const struct {
        std::string year, key, folder;
    } cases[] = {{"2", "", "Yr2"}, {"3", kYearPassword, "yr3"}, {"1", "someone else's", "Yr1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE("year " + c.year);
        const bool compacts = c.year != "1";  // year 1 is someone else's, under their key
        values_.CurrentYearNo = c.year;
        dialogs_.shown.clear();
        const std::string stage = tmp_ / ("stage" + c.year);
        const std::string staged = stage + "/" + c.folder + "/DVorn" + c.year + ".mdb";
        fs::create_directories(stage + "/" + c.folder);
        if (compacts) {
            fs::copy_file(firm_ + "/Yr" + c.year + "/DVorn" + c.year + ".mdb", staged);
        } else {
            Database::Create(staged, c.key)
                .Execute("CREATE TABLE Vouchers (x); INSERT INTO Vouchers VALUES (1);");
        }
        const std::string bytes = ReadFile(staged);
        const uint64_t rows = RowCount(Database::Open(staged, c.key), "Vouchers");
        EXPECT_EQ(MaintData(ctx_, stage, stage), compacts);
        EXPECT_EQ(dialogs_.shown,
                  (compacts ? std::vector<Message>{}
                            : std::vector<Message>{{"invalid pass", kProgramTitle}}));
        EXPECT_EQ(Names(program_ + "/Back"), Strings{});  // no copy left
        EXPECT_EQ(ReadFile(staged) == bytes, !compacts);
        EXPECT_EQ(RowCount(Database::Open(staged, c.key), "Vouchers"), rows);
        EXPECT_GT(rows, 0u);
    }
    EXPECT_FALSE(MaintData(ctx_, tmp_ / "nowhere", tmp_ / "nowhere"));  // nothing to compact
    EXPECT_EQ(dialogs_.shown.size(), 1u);
}

TEST_F(BackupRunTest, MailAsksFromExactly15728640BytesInRoundedMegabytesAndReportsAFailure) {
    const std::string archive = tmp_ / "Firm2.zip";
    WriteFile(archive, "");
    ctx_.decimalSeparator = ",";
    const auto ask = [](const std::string& size) {
        return Message{"File size is " + size + " Do you want to send E-Mail.", "Backup",
                       Buttons::YesNo, Icon::None, Answer::No};
    };
    const std::string why = "535 authentication failed";
    const Message sent{"E-Mail Send Completed.", kProgramTitle};
    // clang-format off
    const Message smtp{"There is Some Problem with Your SMTP Settings, Please Check it with Your "
                       "SMTP Provider", kProgramTitle, Buttons::Ok, Icon::None, Answer::Ok, why};
    const Message notMailed{"Backup Can not Email", kProgramTitle, Buttons::Ok, Icon::Critical,
                            Answer::Ok, why};
    // clang-format on
    const struct {
        bool checked;
        uint64_t size;
        Answer answer;
        bool succeed;
        std::vector<Message> shown;
    } cases[] = {{true, 15728640, Answer::Yes, true, {ask("15"), sent}},
                 {true, 16252928, Answer::No, true, {ask("15,5")}},
                 {true, 15728640 + 65536, Answer::No, true, {ask("15,062")}},   // halves to even
                 {true, 15728640 + 196608, Answer::No, true, {ask("15,188")}},  // 15.1875
                 {true, 17 * 1048576 - 1, Answer::No, true, {ask("17")}},
                 {true, 15728639, Answer::Yes, true, {sent}},
                 {true, 15728639, Answer::Yes, false, {smtp, notMailed}},
                 {false, 16252928, Answer::Yes, true, {}}};  // unchecked: nothing at all
    for (const auto& k : cases) {
        SCOPED_TRACE(k.size);
        dialogs_.shown.clear();
        mail_.sent.clear();
        dialogs_.answers.assign({k.answer});
        mail_.succeed = k.succeed;
        BackupChoices c;
        c.sendEmail = k.checked;
        fs::resize_file(archive, k.size);
        MailBackupArchive(ctx_, c, archive);
        EXPECT_EQ(dialogs_.shown, k.shown);
        // A mail went out unless nothing was shown or the question was the last.
        EXPECT_EQ(mail_.sent.size(),
                  k.shown.empty() || k.shown.back().buttons == Buttons::YesNo ? 0u : 1u);
    }
}

// Whatever stops a run, the generations stay as they were and nothing of its own is left.
TEST_F(BackupRunTest, DatedBackupsRemoveWhatTheKeepPolicyDropsAndSaySo) {
    WriteFile(tmp_ / "old/a.txt", "an older backup");
    PackFolder(tmp_ / "old", tmp_ / "old.zip", {});
    struct Row {
        const char* label;
        int type;                        // 1 date-wise, 2 day-wise
        std::optional<KeepPolicy> keep;  // none: section Keep of the settings
        const char* settingsLast;
        Strings removed;
        Strings left;
    };
    // clang-format off
    const Row rows[] = {
        {"the run's own policy, date-wise", 1, KeepPolicy{1, 0, 0, 0, 0}, "0",
         {"20150301/Firm2.zip"},
         {"20150310/Firm2.zip", "20150314/Firm2.zip", "Friday/Firm2.zip", "Thursday/Firm2.zip"}},
        {"the settings' policy, day-wise", 2, std::nullopt, "1", {"Thursday/Firm2.zip"},
         {"20150301/Firm2.zip", "20150310/Firm2.zip", "Friday/Firm2.zip", "Saturday/Firm2.zip"}},
        {"no policy", 1, std::nullopt, "0", {},
         {"20150301/Firm2.zip", "20150310/Firm2.zip", "20150314/Firm2.zip", "Friday/Firm2.zip",
          "Thursday/Firm2.zip"}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string folder = tmp_ / row.label;
        // Older archives of 2015; the new one is dated now, so the newest of 2015 stays as
        // the only copy of its year.
        const std::pair<std::string, int> older[] = {{"20150301/Firm2.zip", 1},
                                                     {"20150310/Firm2.zip", 10},
                                                     {"Thursday/Firm2.zip", 12},
                                                     {"Friday/Firm2.zip", 13}};
        for (const auto& [rel, day] : older) {
            fs::create_directories(fs::path(folder + "/" + rel).parent_path());
            fs::copy_file(tmp_ / "old.zip", folder + "/" + rel);
            test::SetMTime(folder + "/" + rel, 1425200000 + (day - 1) * 86400);
        }
        WriteSetting("Keep", "Last", row.settingsLast, Settings());
        BackupChoices c = Others(folder);
        c.type = BackupTypeAt(row.type);
        c.keep = row.keep;
        EXPECT_EQ(Run(c), RunEnd::Exit);
        Strings left;
        std::ranges::copy_if(test::AllPaths(folder), std::back_inserter(left),
                             [](const std::string& rel) { return rel.ends_with(".zip"); });
        EXPECT_EQ(left, row.left);
        const std::string detail = dialogs_.shown.back().detail;
        EXPECT_EQ(detail.substr(detail.find(" MB)") + 4),
                  (row.removed.empty() ? "" : "; " + RemovedBackupsText(row.removed)) + ".");
        size_t recorded = 0;
        for (const HistoryRecord& r : ReadHistory(HistoryFile(values_))) {
            recorded += r.kind == "prune" && r.archive.starts_with(folder);
        }
        EXPECT_EQ(recorded, row.removed.size());
    }
}

TEST_F(BackupRunTest, FailedRunsLeaveBothGenerationsAndNothingOfTheirOwn) {
    test::HookedFileSystem hooked;
    BackupContext ctx{values_, hooked, dialogs_, clock_, mail_, view_, "."};
    BackupChoices c = Others(backups_, true);
    c.sendEmail = true;
    const std::string back = program_ + "/Back";
    // Another firm's unfinished archive in the same folder is not this run's to remove.
    const std::string other = ".Firm3Yr2.zip.partial-99-0000abcd";
    WriteFile(backups_ + "/" + other, "another firm's run");
    for (const std::string failure : {"staging root", "pack", "check", "rotation"}) {
        SCOPED_TRACE(failure);
        WriteFile(backups_ + "/Firm2Yr2.zip", "last archive");
        WriteFile(backups_ + "/OFirm2Yr2.zip", "older archive");
        if (failure == "staging root") {
            WriteFile(back, "a file where the staging root belongs");
        }
        bool done = false;
        view_.onProgress = [&](const ArchiveProgress&) {
            if (failure == "pack" && !done) {  // a file of the firm vanishes while packed
                done = fs::remove(back + "/Firm2/Firm2.mdb");
            }
            // The packed archive is spoilt before it is checked.
            for (const std::string& name : failure == "check" ? Names(backups_) : Strings{}) {
                if (name.starts_with(".Firm2Yr2.zip.partial-") &&
                    name.find(".part-") == std::string::npos && !std::exchange(done, true)) {
                    WriteFile(backups_ + "/" + name, std::string(4096, 'x'));
                }
            }
        };
        hooked.before = [&](const std::string& op, const std::string&, const std::string& to) {
            if (failure == "rotation" && op == "ReplaceFile" && to == backups_ + "/OFirm2Yr2.zip") {
                throw FileSystemError("refused by the test");
            }
        };
        dialogs_.shown.clear();
        log_.events.clear();
        if (failure == "staging root") {
            // Without the firm's lock the run is refused before it starts.
            EXPECT_THROW(RunBackup(ctx, c, backupSourceFolder_), ProgramEnd);
            ASSERT_EQ(dialogs_.shown.size(), 1u);
            EXPECT_EQ(dialogs_.shown[0].text, kPermission);
            EXPECT_NE(dialogs_.shown[0].detail.find("\"" + back + "/.Firm2.lock\""),
                      std::string::npos);
            EXPECT_EQ(log_.events, (Strings{kPermission}));
            fs::remove(back);
        } else {
            EXPECT_THROW(RunBackup(ctx, c, backupSourceFolder_), Error);
            EXPECT_EQ(done, failure == "pack" || failure == "check");
        }
        EXPECT_EQ(ReadFile(backups_ + "/Firm2Yr2.zip") + ReadFile(backups_ + "/OFirm2Yr2.zip"),
                  "last archiveolder archive");
        EXPECT_EQ(Names(backups_), (Strings{other, "Firm2Yr2.zip", "OFirm2Yr2.zip"}));
        EXPECT_EQ(Names(back), Strings{});
        EXPECT_TRUE(mail_.sent.empty());
    }
}
// A backup folder on a disk too small for the archive: refused before packing when the
// last archive there shows that the new one cannot fit, stopped when the disk fills while
// packing. Either way the message's detail and the history line name the folder, the space
// needed and the space free (once the run's partial archive is gone), never a temporary
// name; the folder keeps what it had. The disk is a tmpfs of 1 MB mounted by the test.
TEST_F(BackupRunTest, AFullBackupFolderIsNamedWithTheSpaceNeededAndFree) {
    const std::string disk = tmp_ / "disk";
    fs::create_directories(disk);
    if (::mount("vornback-test", disk.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0) {
        GTEST_SKIP() << "no tmpfs can be mounted here (" << std::strerror(errno)
                     << "): the full disk is not tried";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};
    // Bytes that packing cannot make smaller: the archive needs over 2 MB. The image folder
    // is left out of this backup, so its bytes are not needed.
    WriteFile(firm_ + "/Noise.bin", test::RandomBytes(2 * 1024 * 1024, 7));
    uint64_t toPack = 0;
    for (const auto& e : fs::recursive_directory_iterator(firm_)) {
        const bool image = e.path().string().starts_with(firm_ + "/AttachDocs/");
        toPack += e.is_regular_file() && !image ? e.file_size() : 0;
    }
    struct Case {
        const char* name;
        size_t lastArchive;  // the size of the Firm2.zip already there
        bool packs;          // whether packing starts before the run stops
    } cases[] = {{"the last archive shows it cannot fit", 600 * 1024, false},
                 {"the disk fills while packing", 8 * 1024, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(disk + "/Firm2.zip", std::string(c.lastArchive, 'z'));
        const Strings before = Names(disk);
        int progress = 0;
        view_.onProgress = [&](const ArchiveProgress&) { ++progress; };
        // What the disk holds and has free while the message is shown.
        uint64_t free = 0;
        Strings shownWith;
        dialogs_.onShow = [&](const Message&) {
            struct statvfs vfs {};
            ASSERT_EQ(::statvfs(disk.c_str(), &vfs), 0);
            free = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
            shownWith = Names(disk);
        };
        dialogs_.shown.clear();
        EXPECT_THROW(RunBackup(ctx_, Others(disk), backupSourceFolder_), RunStopped);
        dialogs_.onShow = nullptr;
        EXPECT_EQ(progress > 0, c.packs);
        const uint64_t needed = c.packs ? toPack : c.lastArchive;
        const std::string detail =
            "no space in the backup folder \"" + disk + "\": about " +
            SizeInMegabytes(needed, ".") + " MB needed, " + SizeInMegabytes(free, ".") +
            " MB free. Free some space on that disk or choose another folder, then try again.";
        // Only the lock of the run that shows it, beside what was there.
        EXPECT_EQ(shownWith, (Strings{".Firm2.lock", "Firm2.zip"}));
        ASSERT_EQ(dialogs_.shown.size(), 1u);
        EXPECT_EQ(dialogs_.shown[0].text, "There is not enough space for the backup");
        EXPECT_EQ(dialogs_.shown[0].detail, detail);
        const HistoryRecord last = ReadHistory(HistoryFile(values_)).back();
        EXPECT_EQ(last.result, RunResult::Stopped);
        EXPECT_EQ(last.reason, "There is not enough space for the backup (" + detail + ")");
        EXPECT_EQ(Names(disk), before);
        EXPECT_EQ(ReadFile(disk + "/Firm2.zip"), std::string(c.lastArchive, 'z'));
    }
}

}  // namespace
}  // namespace vornback
