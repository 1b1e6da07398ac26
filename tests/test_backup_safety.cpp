// What kills, two runs at once and leftovers of killed runs leave of the backups: the run
// is killed after each of its changing file-system steps, then the next start recovers,
// and the generations must be whole; a second run of the firm is refused while the first
// holds it; recovery finishes or removes exactly what killed runs of a firm left.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "platform/run_lock.h"
#include "recovery/recovery.h"
#include "support/backup_fixture.h"
#include "support/crash_points.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using test::FileEntries;
using test::Names;
using test::ReadFile;
using test::WriteFile;

class BackupSafetyTest : public test::BackupRunTest {
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
        "(program test_backup_safety, process " + std::to_string(::getpid()) + ", since ";
    EXPECT_TRUE(text.starts_with("A backup or restore of firm 2 is already running " + holder))
        << text;
    EXPECT_TRUE(
        text.ends_with("so this one was not started and nothing was changed. Wait until "
                       "it has finished, then try again."))
        << text;
    EXPECT_EQ(MarkerOf(backups_ + "/Firm2.zip"), "new");
    EXPECT_EQ(MarkerOf(backups_ + "/OFirm2.zip"), "A");
    EXPECT_EQ(Names(backups_), (std::vector<std::string>{"Firm2.zip", "OFirm2.zip"}));
    // The lock files went with the run; a stale one (its holder gone) is no lock at all.
    EXPECT_EQ(Names(program_ + "/Back"), std::vector<std::string>{});
    WriteFile(program_ + "/Back/.Firm2.lock", "1 vornback 2015-03-14T10:00:00\n");
    EXPECT_EQ(Run(Others(backups_)), RunEnd::Exit);
}

TEST_F(BackupSafetyTest, RecoveryFinishesOrRemovesWhatKilledRunsOfAFreeFirmLeft) {
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
    const RunLock running = RunLock::Take(FirmLockFile(values_, 5), "firm 5");

    const std::vector<std::string> lines = NextStart();
    EXPECT_EQ(lines.size(), 7u);
    for (const std::string& line : lines) {
        EXPECT_TRUE(line.ends_with(".")) << line;
    }
    std::vector<std::string> expected = others;
    expected.insert(expected.end(), {"Firm2.zip", "Firm2Yr2.zip"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(backups_), expected);
    EXPECT_EQ(MarkerOf(backups_ + "/Firm2Yr2.zip"), "A");
    EXPECT_EQ(MarkerOf(backups_ + "/Firm2.zip"), "B");
    EXPECT_EQ(Names(back), (std::vector<std::string>{".Firm5.lock", "Firm5"}));
    EXPECT_EQ(NextStart(), std::vector<std::string>{});  // nothing twice
}

}  // namespace
}  // namespace vornback
