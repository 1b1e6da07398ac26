// The backup run's safety: kills and power cuts at every step, two runs of a firm at once,
// and the recovery of what killed runs left.
#include "support/refusal.h"
#include "support/smtp_fixture.h"
#include "test_backup_run_fixture.h"

namespace vornback {
namespace {

// Killed, or cut off by a power loss, at every step: the next start leaves whole
// generations.
class BackupCrashes : public BackupSafetyTest,
                      public ::testing::WithParamInterface<test::CrashMode> {};

TEST_P(BackupCrashes, KilledAtEveryStepTheNextStartLeavesWholeGenerations) {
    WriteFile(firm_ + "/New.txt", "the new generation");
    const std::string passphrase = "a passphrase long enough", passphraseFile = tmp_ / "pass";
    WriteFile(passphraseFile, passphrase + "\n");
    ::chmod(passphraseFile.c_str(), 0600);
    const struct {
        bool currentYear, hardLinks, earlier;
        int points;  // the changing steps of the run (the current-year staging of the sample)
        bool encrypted = false;  // EncryptLocal: the plain archive is a step, never synced
    } flows[] = {{false, true, true, 3},      {true, true, true, 11},  {false, false, true, 2},
                 {true, false, true, 10},     {false, true, false, 1}, {true, true, false, 9},
                 {false, true, true, 3, true}};
    for (const auto& flow : flows) {
        SCOPED_TRACE(::testing::Message()
                     << "current year " << flow.currentYear << ", hard links " << flow.hardLinks
                     << ", generations " << flow.earlier << ", encrypted " << flow.encrypted);
        if (flow.encrypted) {  // the last row, the only one run with these settings
            WriteSetting("Offsite", "PassphraseFile", passphraseFile, Settings());
            WriteSetting("Back", "EncryptLocal", "1", Settings());
        }
        const BackupChoices c = Others(backups_, flow.currentYear ? 1 : 0);
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
                const std::string last = MarkerOf(archive, flow.encrypted ? passphrase : "");
                const std::string older = MarkerOf(previous);
                // A run that told its end (cut right after it) keeps its archive.
                const bool finished = killedAfter == 0;
                if (flow.earlier) {
                    EXPECT_TRUE((last == "A" && older == "B" && !finished) ||
                                (last == "new" && older == "A"))
                        << last << "/" << older;
                } else {
                    EXPECT_TRUE(older.empty() && ((last.empty() && !finished) || last == "new"))
                        << last;
                }
                EXPECT_EQ(Names(backups_).size(),
                          static_cast<size_t>(!last.empty()) + static_cast<size_t>(!older.empty()))
                    << ::testing::PrintToString(Names(backups_));
                EXPECT_EQ(Names(program_ + "/Back"), Strings{});
            },
            test::CrashOptions{flow.hardLinks, GetParam(), {tmp_.Path().string()}});
        // At least the changing steps the run had when this was written; more may come.
        EXPECT_GE(points, flow.points);
        std::cout << "kill points: " << points << "\n";
    }
}

INSTANTIATE_TEST_SUITE_P(KilledOrPowerCut, BackupCrashes,
                         ::testing::Values(test::CrashMode::Kill, test::CrashMode::PowerLoss),
                         ::testing::PrintToStringParamName());

TEST_F(BackupSafetyTest, ASecondRunOfTheFirmIsRefusedWhileTheFirstHoldsIt) {
    Generation(backups_ + "/Firm2.zip", "A");
    Generation(backups_ + "/OFirm2.zip", "B");
    WriteFile(firm_ + "/New.txt", "the new generation");
    // While the first run packs, a second one of the same firm starts: the locks refuse
    // every other open of their files, in this process as in another.
    std::string refusal;
    view_.onProgress = [&](const ArchiveProgress&) {
        if (refusal.empty()) {
            refusal = test::ErrorText<RunLocked>(
                [&] { RunBackup(ctx_, Others(backups_), backupSourceFolder_); });
        }
    };
    EXPECT_EQ(Run(Others(backups_)), RunEnd::Exit);
    EXPECT_TRUE(
        refusal.starts_with("A backup or restore of firm 2 is already running (program "
                            "test_backup_run_safety, process " +
                            std::to_string(::getpid()) + ", since "))
        << refusal;
    EXPECT_TRUE(
        refusal.ends_with("so this one was not started and nothing was changed. Wait "
                          "until it has finished, then try again."))
        << refusal;
    EXPECT_EQ(MarkerOf(backups_ + "/Firm2.zip") + MarkerOf(backups_ + "/OFirm2.zip"), "newA");
    EXPECT_EQ(Names(backups_), (Strings{"Firm2.zip", "OFirm2.zip"}));
    EXPECT_EQ(Names(program_ + "/Back"), Strings{});  // the locks went too
}

// The destination is recovered for the firm whose run holds its locks; the staging root
// only while no run at all works in it (a restore may stage another firm's archive).
TEST_F(BackupSafetyTest, RecoveryFinishesOrRemovesWhatKilledRunsLeftAndNothingElse) {
    const std::string tag = "4242-0000abcd";
    const std::string unchecked = BackupTemporaryName("Firm2.zip", tag);
    // Its last archive is missing: the checked temporary archive completes the rotation.
    Generation(backups_ + "/" + BackupTemporaryName("Firm2Yr2.zip", tag), "A");
    Generation(backups_ + "/Firm2.zip", "B");
    // Another firm's leftovers and a person's own files are not touched.
    Strings kept = {BackupTemporaryName("Firm3.zip", tag), BackupTemporaryName("Firm21.zip", tag),
                    "Firm2.zip.part-1", ".Firm2.zip.partial-x"};
    for (const std::string& name : kept) {
        WriteFile(backups_ + "/" + name, "keep");
    }
    for (const std::string& piece :
         {unchecked, unchecked + ".part-vb-12345678", unchecked + ".part-vb-1a2b3c4d.x1Y2z3",
          RotationLinkName("Firm2.zip", tag)}) {
        WriteFile(backups_ + "/" + piece, "cut off");
    }
    const std::string back = program_ + "/Back";
    WriteFile(back + "/FIRM2/Yr2/DVorn2.mdb", "stale staging");
    WriteFile(back + "/" + CompactionTemporaryName("2", 2, tag), "stale copy");
    WriteFile(back + "/Firm5/Firm5.mdb", "a running restore's staging");
    const auto backBefore = test::AllPaths(back);
    {
        const RunLock running = RunLock::Take(FirmLockFile(values_, 5), "firm 5", TheSystemClock());
        const Strings lines = NextStart();
        EXPECT_EQ(lines.size(), 5u);
        EXPECT_TRUE(std::all_of(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.ends_with("."); }));
        EXPECT_EQ(test::AllPaths(back).size(), backBefore.size() + 1);  // and the lock
    }
    kept.insert(kept.end(), {"Firm2.zip", "Firm2Yr2.zip"});
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(Names(backups_), kept);
    EXPECT_EQ(MarkerOf(backups_ + "/Firm2Yr2.zip") + MarkerOf(backups_ + "/Firm2.zip"), "AB");
    EXPECT_EQ(NextStart().size(), 3u);  // the run has ended: the staging root goes
    EXPECT_EQ(Names(back), Strings{});
    EXPECT_EQ(NextStart(), Strings{});  // nothing twice
}

// Killed backups into other date-wise and day-wise folders are tidied by the next backup
// into any of them: the firm's temporary archives, pieces and lock files go; another firm's,
// a person's files, a folder of another name and a folder a backup works in stay.
TEST_F(BackupSafetyTest, ABackupTidiesTheOtherDatedFoldersOfItsBackupFolder) {
    const std::string tag = "4242-0000abcd";
    const std::string partial = BackupTemporaryName("Firm2.zip", tag);
    const struct {
        const char* folder;
        Strings left;  // what the killed run left
        Strings kept;  // what stays after the next backup
    } folders[] = {
        // clang-format off
        {"20150313", {".Firm2.lock", partial, partial + ".part-vb-12345678", "Firm2.zip"},
         {"Firm2.zip"}},
        {"Friday", {".Firm2.lock", BackupTemporaryName("Firm2Yr2.zip", tag), "own.txt"},
         {"own.txt"}},
        {"20150312", {BackupTemporaryName("Firm3.zip", tag)},
         {BackupTemporaryName("Firm3.zip", tag)}},
        {"Misc", {".Firm2.lock", partial}, {".Firm2.lock", partial}},
        {"Monday", {partial}, {".Firm2.lock", partial}},  // a backup works there
        // clang-format on
    };
    for (const auto& f : folders) {
        for (const std::string& name : f.left) {
            WriteFile(backups_ + "/" + f.folder + "/" + name, "cut off");
        }
    }
    const RunLock working =
        RunLock::Take(DestinationLockFile(backups_ + "/Monday", 2), "firm 2", TheSystemClock());
    BackupChoices c = Others(backups_);
    c.type = BackupType::DateWise;  // 20150314
    EXPECT_EQ(Run(c), RunEnd::Exit);
    for (const auto& f : folders) {
        Strings kept = f.kept;
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(Names(backups_ + "/" + f.folder), kept) << f.folder;
    }
    EXPECT_EQ(Names(backups_ + "/20150314"), Strings{"Firm2.zip"});
}

// The mail is sent after the firm's locks are released, while its size question waits on
// the person: a second backup of the firm run meanwhile (its recovery, its rotation) leaves
// the first run's mail whole, with the archive that run made, plain or encrypted.
TEST_F(BackupSafetyTest, ASecondRunWhileTheMailQuestionWaitsLeavesTheMailWhole) {
    fs::create_directories(tmp_ / "smtp");
    test::SmtpTestServer smtp(tmp_ / "smtp");
    CurlMailTransport transport(smtp.Settings(), TheSystemClock());
    const std::string passphrase = "a passphrase long enough", passphraseFile = tmp_ / "pass";
    WriteFile(passphraseFile, passphrase + "\n");
    ::chmod(passphraseFile.c_str(), 0600);
    // Big enough to be asked about; random, so that packing cannot shrink it.
    WriteFile(firm_ + "/Big.bin", test::RandomBytes(kMailSizeQuestionBytes, 7));
    for (const bool encrypt : {true, false}) {
        SCOPED_TRACE(encrypt ? "encrypted" : "plain");
        OffsiteSettings leaving;
        leaving.encrypt = encrypt;
        leaving.passphraseFile = passphraseFile;
        WriteFile(firm_ + "/first.txt", "the first run's");
        BackupChoices c = Others(backups_);
        c.sendEmail = true;
        c.emailAddress = "owner@firm.test";
        BackupContext first{values_, fs_, dialogs_, clock_, transport,
                            view_,   ".", nullptr,  leaving};
        dialogs_.answers = {Answer::Yes, Answer::No};
        bool secondRan = false;
        dialogs_.onShow = [&](const Message& m) {
            if (secondRan || !m.text.starts_with("File size is")) {
                return;
            }
            secondRan = true;
            fs::remove(firm_ + "/first.txt");
            WriteFile(firm_ + "/second.txt", "the second run's");
            test::EventLog log;
            test::LoggingDialogs dialogs(log);
            dialogs.answers = {Answer::No};
            FakeMail mail;
            BackupContext second{values_, fs_, dialogs, clock_, mail, view_, ".", nullptr, leaving};
            std::string source;
            EXPECT_EQ(RunBackup(second, Others(backups_), source), RunEnd::KeepOpen);
        };
        const size_t before = smtp.Received().size();
        EXPECT_EQ(RunBackup(first, c, backupSourceFolder_), RunEnd::KeepOpen);
        dialogs_.onShow = nullptr;
        fs::remove(firm_ + "/second.txt");
        ASSERT_TRUE(secondRan);
        ASSERT_EQ(smtp.Received().size(), before + 1);
        const test::ReceivedMail mail = smtp.Received().back();
        ASSERT_EQ(mail.count("att/Firm2.zip"), 1u);
        const std::string mailed = tmp_ / "mailed.zip";
        WriteFile(mailed, mail.at("att/Firm2.zip"));
        UnpackOptions options;
        options.passphrase = encrypt ? passphrase : "";
        EXPECT_NO_THROW(VerifyArchive(mailed, options));
        const auto entries = FileEntries(mailed);
        EXPECT_TRUE(entries.count("first.txt") == 1 && entries.count("second.txt") == 0);
        EXPECT_EQ(Names(backups_), (Strings{"Firm2.zip", "OFirm2.zip"}));
    }
}

}  // namespace
}  // namespace vornback
