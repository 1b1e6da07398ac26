// The run history: any text survives a line, the reader skips what a crash or a damaged
// disk left and the next line still stands alone, and the window's last-backup line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <tuple>
#include <vector>

#include "history/history.h"
#include "mail/mail.h"
#include "platform/run_lock.h"
#include "support/run_doubles.h"
#include "support/smtp_fixture.h"
#include "support/temp_dir.h"

namespace vornback {
namespace {

void AppendRaw(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::app) << bytes;
}

HistoryRecord Record(int32_t firm, const std::string& kind, RunResult result, int64_t time,
                     const std::string& archive = "/b/Firm1.zip", uint64_t bytes = 1572864) {
    return HistoryRecord{time, firm, "2", kind, archive, bytes, 12, 1.5, result, ""};
}

TEST(History, LinesRoundTripAndDamagedOnesAreSkipped) {
    test::TempDir dir;
    const std::string file = dir / "history.tsv";
    HistoryRecord odd = Record(1, "backup", RunResult::Ok, 1796601600, "/b\\x/a\tb\nc.zip");
    odd.reason = "line one\nline two\\";
    HistoryRecord longReason = Record(-3, "restore-full", RunResult::Failed, 1796601601);
    longReason.reason = std::string(10000, 'r');
    longReason.archive = std::string(6000, 'a');

    AppendHistory(file, odd);
    AppendRaw(file, "2026-12-07T01:30:00Z\t1\t2\tbac");  // a write cut off by a crash
    AppendHistory(file, longReason);
    AppendRaw(file,
              "garbage\n"
              "2026-12-07T01:30:00Z\t1\t2\tbackup\t/a\t1\t2\t0.5\tmaybe\t\n"  // unknown result
              "2026-12-07T01:30:00Z\t1\t2\tbackup\t/a\t-1\t2\t0.5\tok\t\n"    // negative size
              "2026-13-07T01:30:00Z\t1\t2\tbackup\t/a\t1\t2\t0.5\tok\t\n"     // no such month
              "2026-12-07T01:30:00Z\t1\t2\tbackup\t/a\\q\t1\t2\t0.5\tok\t\n"  // bad escape
              "2026-12-07T01:30:00Z\t1\t2\tbackup\t/a\t1\t2\t0.5\tok\n");     // nine fields
    AppendHistory(file, odd);
    AppendRaw(file, "2026-12-07T01:30:00Z\t1\t2\tbackup\t/a\t1\t2\t0.5\tok\t");  // torn tail

    const std::vector<HistoryRecord> read = ReadHistory(file);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0], odd);
    EXPECT_EQ(read[2], odd);
    // The long line was cut to fit one write; the reason gave way first, the times stand.
    EXPECT_LE(FormatHistoryLine(longReason).size(), kMaxHistoryLine);
    EXPECT_EQ(std::tie(read[1].reason, read[1].firm, read[1].result),
              std::make_tuple("", -3, RunResult::Failed));
    EXPECT_EQ(read[1].archive, longReason.archive.substr(0, read[1].archive.size()));
    EXPECT_GT(read[1].archive.size(), 4000u);
    EXPECT_TRUE(ReadHistory(dir / "missing.tsv").empty());
}

// Every time written down is the run's clock's, never the system's own: a clock standing
// at 12:00 UTC (13:00 in Berlin) on 14 March 2015 shows in each text.
TEST(History, TimesComeFromTheRunsClock) {
    test::TempDir dir;
    test::FixedClock clock;
    const ProgramValues values{1, "2", "B", dir.Path().string(), dir / "data"};
    const std::string history = HistoryFile(values), lock = dir / ".Firm1.lock";
    // clang-format off
    const std::vector<std::tuple<std::function<std::string()>, std::string>> cases = {
        {[&] { RunRecord(values, "backup", clock).Finish(RunResult::Ok);
               return test::ReadFile(history); },
         "2015-03-14T12:00:00Z\t1\t2\tbackup"},
        {[&] { RecordPrune(history, clock, 1, "", "/b/Firm1.zip", 1, "x");
               return test::ReadFile(history); },
         "2015-03-14T12:00:00Z\t1\t\tprune"},
        {[&] { const RunLock held = RunLock::Take(lock, "firm 1", clock);
               return test::ReadFile(lock); },
         " 2015-03-14T13:00:00\n"},
        {[&] {
             test::SmtpTestServer server(dir / "smtp");
             CurlMailTransport(server.Settings(), clock).Send({"a@b.test", "s", "b", "", "", ""});
             return server.Received().at(0).at("date");
         }, "Sat, 14 Mar 2015 13:00:00 +0100"},
    };
    // clang-format on
    for (const auto& [write, stamp] : cases) {
        const std::string text = write();
        EXPECT_NE(text.find(stamp), std::string::npos) << text;
    }
}

TEST(History, LastBackupIsTheFirmsLatestSuccessfulBackup) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const int64_t t = 1796607000;  // 2026-12-07 01:30 UTC, 02:30 in Berlin
    struct Case {
        std::vector<HistoryRecord> records;
        std::string expected;
    } cases[] = {
        {{}, "No backup yet"},
        {{Record(1, "backup", RunResult::Failed, t), Record(2, "backup", RunResult::Ok, t),
          Record(1, "restore-full", RunResult::Ok, t)},
         "No backup yet"},
        {{Record(1, "backup", RunResult::Ok, t - 86400, "/old/Firm1.zip"),
          Record(1, "backup-year", RunResult::Ok, t, "/b/2026/Firm1Yr2.zip"),
          Record(1, "backup", RunResult::Cancelled, t + 60)},
         "Last backup: 2026-12-07 02:30, 1.5 MB, /b/2026"},
        // The restore drills: the last backup's own archive drilled after it is proven; a
        // later failure, an older archive or a newer backup is not.
        {{Record(1, "drill", RunResult::Ok, t - 86400), Record(1, "backup", RunResult::Ok, t),
          Record(1, "drill", RunResult::Ok, t + 60)},
         "Last backup: 2026-12-07 02:30, 1.5 MB, /b, proven 2026-12-07"},
        {{Record(1, "backup", RunResult::Ok, t), Record(1, "drill", RunResult::Ok, t + 60),
          Record(2, "drill", RunResult::Failed, t + 90),
          Record(1, "drill", RunResult::Failed, t + 86400)},
         "Last backup: 2026-12-07 02:30, 1.5 MB, /b, not proven since 2026-12-07"},
        {{Record(1, "drill", RunResult::Ok, t - 86400), Record(1, "backup", RunResult::Ok, t),
          Record(1, "drill", RunResult::Ok, t + 60, "/b/OFirm1.zip")},
         "Last backup: 2026-12-07 02:30, 1.5 MB, /b, not proven since 2026-12-07"},
        {{Record(1, "drill", RunResult::Ok, t - 86400), Record(1, "backup", RunResult::Ok, t)},
         "Last backup: 2026-12-07 02:30, 1.5 MB, /b, not proven since 2026-12-06"},
        {{Record(1, "drill", RunResult::Failed, t - 86400),
          Record(1, "drill", RunResult::Failed, t), Record(1, "backup", RunResult::Ok, t)},
         "Last backup: 2026-12-07 02:30, 1.5 MB, /b, not proven since 2026-12-06"},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        for (const HistoryRecord& r : c.records) {
            AppendHistory(dir / "history.tsv", r);
        }
        EXPECT_EQ(LastBackupText(dir / "history.tsv", 1), c.expected);
    }
}

}  // namespace
}  // namespace vornback
