// The keep policy against a fixed table of archive dates (golden kept sets), and its
// removal step on real folders: locks, other files, folders, history and kills.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "archive/archive.h"
#include "history/history.h"
#include "platform/file_system.h"
#include "platform/run_lock.h"
#include "retention/keep_policy.h"
#include "retention/prune.h"
#include "sample/sample_tree.h"
#include "support/crash_points.h"
#include "support/run_doubles.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// Archive times in UTC; the policy reads them in Berlin time. Among them: two backups on
// one day (2021-01-02), both daylight-saving changes of 2020 (late evening UTC falls on
// the next local day), ISO week 53 of 2020 (28 December to 3 January), a year boundary
// that only local time crosses (2020-12-31T23:30), and gaps of months. A date alone is at
// 18:00 UTC.
// clang-format off
const Strings kTable = {
    "2018-04-02T09:00", "2018-09-17T09:00", "2019-01-15T10:00", "2019-03-01T10:00",
    "2019-06-10T10:00", "2019-11-20T10:00", "2019-12-30", "2019-12-31", "2020-02-03", "2020-02-28",
    "2020-03-28", "2020-03-28T23:30", "2020-03-29T22:30", "2020-03-30", "2020-05-05", "2020-06-15",
    "2020-07-01", "2020-07-20", "2020-08-10", "2020-09-01", "2020-10-24T22:30", "2020-10-25",
    "2020-10-25T23:30", "2020-11-01", "2020-11-02", "2020-11-03", "2020-11-04", "2020-11-05",
    "2020-11-06", "2020-11-07", "2020-11-08", "2020-11-09", "2020-11-10", "2020-11-11",
    "2020-11-12", "2020-11-13", "2020-11-14", "2020-11-15", "2020-11-16", "2020-11-17",
    "2020-11-18", "2020-11-19", "2020-11-20", "2020-11-21", "2020-11-22", "2020-11-23",
    "2020-11-24", "2020-11-25", "2020-11-26", "2020-11-27", "2020-11-28", "2020-11-29",
    "2020-11-30", "2020-12-01", "2020-12-02", "2020-12-03", "2020-12-04", "2020-12-07",
    "2020-12-08", "2020-12-09", "2020-12-10", "2020-12-11", "2020-12-14", "2020-12-15",
    "2020-12-16", "2020-12-17", "2020-12-18", "2020-12-28", "2020-12-29", "2020-12-31",
    "2020-12-31T23:30", "2021-01-02T08:00", "2021-01-02T17:00", "2021-01-03", "2021-01-04",
    "2021-01-05", "2021-01-06", "2021-01-07", "2021-01-08", "2021-01-09", "2021-01-10",
    "2021-01-11", "2021-01-12", "2021-01-13", "2021-01-14", "2021-01-15", "2021-01-16",
    "2021-01-17", "2021-01-18", "2021-01-19", "2021-01-20", "2021-01-21", "2021-01-22",
};
// clang-format on

int64_t UtcTime(const std::string& text) {
    std::tm t{};
    const std::string full = text.find('T') == std::string::npos ? text + "T18:00" : text;
    std::istringstream(full) >> std::get_time(&t, "%Y-%m-%dT%H:%M");
    return static_cast<int64_t>(timegm(&t));
}

std::vector<PolicyArchive> TableArchives(const std::set<std::string>& held) {
    std::vector<PolicyArchive> archives;
    for (const std::string& name : kTable) {
        PolicyArchive a;
        a.name = name;
        a.firm = 1;
        a.time = UtcTime(name);
        a.held = held.count(name) != 0;
        archives.push_back(a);
    }
    return archives;
}

Strings Words(const std::string& text) {
    std::istringstream in(text);
    Strings words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

struct GoldenCase {
    const char* label;
    KeepPolicy policy;
    std::set<std::string> bad;   // archives that do not verify
    std::set<std::string> held;  // archives a run holds
    const char* kept;            // newest first, or "all but" those removed
};

// clang-format off
const GoldenCase kGolden[] = {
    {"last 3", {3, 0, 0, 0, 0}, {}, {},
     "2021-01-22 2021-01-21 2021-01-20 2020-12-31 2019-12-31 2018-09-17T09:00"},
    {"daily 7", {0, 7, 0, 0, 0}, {}, {},
     "2021-01-22 2021-01-21 2021-01-20 2021-01-19 2021-01-18 2021-01-17 2021-01-16 2020-12-31 "
     "2019-12-31 2018-09-17T09:00"},
    {"daily 100 (every local day once)", {0, 100, 0, 0, 0}, {}, {},
     "all but 2021-01-02T08:00 2020-10-24T22:30 2020-03-29T22:30"},
    {"weekly 5 (ISO week 53)", {0, 0, 5, 0, 0}, {}, {},
     "2021-01-22 2021-01-17 2021-01-10 2021-01-03 2020-12-18 2019-12-31 2018-09-17T09:00"},
    {"monthly 30", {0, 0, 0, 30, 0}, {}, {},
     "2021-01-22 2020-12-31 2020-11-30 2020-10-25T23:30 2020-09-01 2020-08-10 2020-07-20 "
     "2020-06-15 2020-05-05 2020-03-30 2020-02-28 2019-12-31 2019-11-20T10:00 2019-06-10T10:00 "
     "2019-03-01T10:00 2019-01-15T10:00 2018-09-17T09:00 2018-04-02T09:00"},
    {"yearly 2 (local year)", {0, 0, 0, 0, 2}, {}, {},
     "2021-01-22 2020-12-31 2019-12-31 2018-09-17T09:00"},
    {"daily 7, weekly 4, monthly 6, yearly 3", {0, 7, 4, 6, 3}, {}, {},
     "2021-01-22 2021-01-21 2021-01-20 2021-01-19 2021-01-18 2021-01-17 2021-01-16 2021-01-10 "
     "2021-01-03 2020-12-31 2020-11-30 2020-10-25T23:30 2020-09-01 2020-08-10 2019-12-31 "
     "2018-09-17T09:00"},
    {"last 1, the two newest do not verify", {1, 0, 0, 0, 0}, {"2021-01-22", "2021-01-21"}, {},
     "2021-01-22 2021-01-20 2020-12-31 2019-12-31 2018-09-17T09:00"},
    {"last 2, one held by a run", {2, 0, 0, 0, 0}, {}, {"2020-06-15"},
     "2021-01-22 2021-01-21 2020-06-15 2019-12-31 2018-09-17T09:00"},
    {"yearly 10 (count left: the oldest too)", {0, 0, 0, 0, 10}, {}, {},
     "2021-01-22 2020-12-31 2019-12-31 2018-09-17T09:00 2018-04-02T09:00"},
    {"no rule: everything stays", {0, 0, 0, 0, 0}, {}, {},
     "all but"},
    {"nothing verifies: everything stays", {1, 0, 0, 0, 0}, {kTable.begin(), kTable.end()}, {},
     "all but"},
};
// clang-format on

const std::set<std::string> kProtections = {"held by a run", "newest good copy",
                                            "no copy verifies"};

TEST(KeepPolicy, GoldenKeptSetsAndInvariants) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    for (const GoldenCase& c : kGolden) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> asked;
        const auto decisions =
            ApplyKeepPolicy(TableArchives(c.held), c.policy, [&](const PolicyArchive& a) {
                asked.push_back(a.name);
                return c.bad.count(a.name) == 0;
            });
        Strings kept, all;
        size_t protectedCount = 0;
        for (const ArchiveDecision& d : decisions) {
            all.push_back(d.archive.name);
            if (d.keep) {
                kept.push_back(d.archive.name);
                protectedCount +=
                    std::any_of(d.reasons.begin(), d.reasons.end(), [](const std::string& r) {
                        return kProtections.count(r) != 0 || r.starts_with("only copy of ");
                    });
            } else {
                EXPECT_TRUE(d.reasons.empty());
            }
        }
        // "all but a b": every archive except those named.
        Strings expected = Words(c.kept);
        if (!expected.empty() && expected[0] == "all") {
            const std::set<std::string> but(expected.begin() + 1, expected.end());
            expected.clear();
            std::copy_if(all.begin(), all.end(), std::back_inserter(expected),
                         [&](const std::string& n) { return but.count(n) == 0; });
        }
        EXPECT_EQ(kept, expected);
        // Kept and removed are every archive, each once.
        EXPECT_EQ(std::set<std::string>(all.begin(), all.end()),
                  std::set<std::string>(kTable.begin(), kTable.end()));
        EXPECT_EQ(all.size(), kTable.size());
        if (c.policy.Any()) {
            const size_t rules =
                static_cast<size_t>(c.policy.last + c.policy.daily + c.policy.weekly +
                                    c.policy.monthly + c.policy.yearly);
            EXPECT_LE(kept.size(), rules + protectedCount);
            // Verification goes newest first and stops at the first good archive.
            for (const std::string& name : asked) {
                EXPECT_TRUE(&name == &asked.back() || c.bad.count(name) != 0) << name;
            }
            const auto good = std::find_if(
                all.begin(), all.end(), [&](const std::string& n) { return c.bad.count(n) == 0; });
            if (good != all.end()) {
                EXPECT_EQ(asked.back(), *good);
                EXPECT_NE(std::find(kept.begin(), kept.end(), *good), kept.end());
            }
        } else {
            EXPECT_TRUE(asked.empty());
        }
    }
}

TEST(KeepPolicy, ArchiveNamesAreReadAsABackupWritesThem) {
    struct Row {
        const char* name;
        bool read;
        int64_t firm;
        const char* year;
        bool older;
    };
    const Row rows[] = {
        {"Firm3.zip", true, 3, "", false},       {"OFirm3Yr12.zip", true, 3, "12", true},
        {"Firm10Yr2.zip", true, 10, "2", false}, {"Firm.zip", false, 0, "", false},
        {"Firm3Yr.zip", false, 0, "", false},    {"firm3.zip", false, 0, "", false},
        {"Firm3.zip.bak", false, 0, "", false},  {"XFirm3.zip", false, 0, "", false},
        {"Firm3Yr2x.zip", false, 0, "", false},  {"OOFirm3.zip", false, 0, "", false},
        {"Firm-3.zip", false, 0, "", false},     {"Firm03.zip", false, 0, "", false},
        {"Firm3Yr02.zip", false, 0, "", false},
    };
    for (const Row& r : rows) {
        const std::optional<PolicyArchive> a = PolicyArchiveFromName(r.name, 5);
        ASSERT_EQ(a.has_value(), r.read) << r.name;
        if (a) {
            EXPECT_EQ(std::make_tuple(a->firm, a->yearNo, a->older, a->time),
                      std::make_tuple(r.firm, std::string(r.year), r.older, int64_t{5}))
                << r.name;
        }
    }
    // A remote listing: other files are left out, each firm's series decided apart.
    const auto decisions = DecideListedArchives(
        {{"Firm1.zip", 30}, {"OFirm1.zip", 20}, {"notes.txt", 10}, {"Firm2.zip", 5}},
        KeepPolicy{1, 0, 0, 0, 0}, [](const PolicyArchive&) { return true; });
    Strings why;
    for (const ArchiveDecision& d : decisions) {
        why.push_back(d.archive.name + ": " + d.Why());
    }
    EXPECT_EQ(why, (Strings{"Firm1.zip: last 1, newest good copy", "OFirm1.zip: remove",
                            "Firm2.zip: last 1, newest good copy"}));
}

// A backup folder with date-wise and day-wise archives made by packing a small folder.
class PruneTest : public ::testing::Test {
  protected:
    PruneTest() {
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
        test::WriteFile(tmp_.Path() / "src/a.txt", "the books");
        PackFolder(tmp_ / "src", archive_, {});
    }

    // An archive (or, not whole, a file that is none) at rel with its time, by default 18:00
    // UTC on the date its folder is named after.
    void Put(const std::string& rel, std::string utc = "", bool whole = true) {
        if (utc.empty()) {
            utc = rel.substr(0, 4) + "-" + rel.substr(4, 2) + "-" + rel.substr(6, 2) + "T18:00";
        }
        const fs::path path = fs::path(backups_) / rel;
        fs::create_directories(path.parent_path());
        if (whole) {
            fs::copy_file(archive_, path);
        } else {
            test::WriteFile(path, "not an archive");
        }
        test::SetMTime(path, UtcTime(utc));
    }

    std::map<std::string, std::string> Why(const PruneOutcome& outcome) {
        std::map<std::string, std::string> why;
        for (const ArchiveDecision& d : outcome.decisions) {
            why[d.archive.name] = d.Why();
        }
        return why;
    }

    test::TempDir tmp_;
    std::string archive_ = tmp_ / "a.zip", backups_ = tmp_ / "b";
};

TEST_F(PruneTest, RemovesWhatThePolicyDropsAndNothingElse) {
    for (const char* rel :
         {"20201101/Firm1.zip", "20201101/Firm1Yr2.zip", "20201102/Firm1.zip", "20201103/Firm1.zip",
          "20201104/Firm1.zip", "20201104/Firm2.zip", "20201105/Firm1.zip", "20201105/Firm1Yr3.zip",
          "20201106/Firm1Yr2.zip"}) {
        Put(rel);
    }
    test::WriteFile(fs::path(backups_) / "20201102/notes.txt", "a person's file");
    Put("20201103/OFirm1.zip", "2020-11-03T08:00");
    Put("20201107/Firm1.zip", "", false);  // newest, but damaged
    Put("Monday/Firm1.zip", "2020-11-02T12:00");
    Put("Tuesday/Firm1.zip", "2020-11-03T12:00");
    Put("Firm1.zip", "2020-01-01T00:00");  // single: not dated, never removed
    Put("misc/Firm1.zip", "2020-01-01T00:00");
    Put("20201131/Firm1.zip", "2020-01-01T00:00");  // no such date
    // Another run holds firm 1's folder of 1 November.
    const RunLock other =
        RunLock::Take(DestinationLockFile(backups_ + "/20201101", 1), "firm 1", TheSystemClock());

    // clang-format off
    const std::map<std::string, std::string> expected = {
        {"20201107/Firm1.zip", "last 1"}, {"20201105/Firm1.zip", "newest good copy"},
        {"20201104/Firm1.zip", "remove"}, {"20201103/Firm1.zip", "remove"},
        {"20201103/OFirm1.zip", "remove"}, {"20201102/Firm1.zip", "remove"},
        {"20201101/Firm1.zip", "held by a run"}, {"20201104/Firm2.zip", "last 1, newest good copy"},
        {"20201106/Firm1Yr2.zip", "last 1, newest good copy"},
        {"20201101/Firm1Yr2.zip", "held by a run"},
        {"20201105/Firm1Yr3.zip", "last 1, newest good copy"},
        {"Tuesday/Firm1.zip", "last 1, newest good copy"},
        {"Monday/Firm1.zip", "remove"},
    };
    // clang-format on
    PruneRequest request;
    request.policy.last = 1;
    request.dryRun = true;
    request.historyFile = tmp_ / "history.tsv";
    LocalFileSystem lfs;
    const std::set<std::string> before = test::AllPaths(backups_);
    PruneOutcome outcome = PruneBackupFolder(lfs, TheSystemClock(), backups_, request);
    EXPECT_EQ(Why(outcome), expected);
    EXPECT_TRUE(outcome.removed.empty());
    EXPECT_EQ(test::AllPaths(backups_), before);

    request.dryRun = false;
    test::FixedClock clock;
    outcome = PruneBackupFolder(lfs, clock, backups_, request);
    EXPECT_EQ(Why(outcome), expected);
    EXPECT_EQ(outcome.failures, Strings{});
    EXPECT_EQ(outcome.removed,
              (Strings{"Monday/Firm1.zip", "20201102/Firm1.zip", "20201103/OFirm1.zip",
                       "20201103/Firm1.zip", "20201104/Firm1.zip"}));
    EXPECT_EQ(RemovedBackupsText({"a/Firm1.zip"}), "removed 1 older backup: a/Firm1.zip");
    // clang-format off
    EXPECT_EQ(test::AllPaths(backups_), (std::set<std::string>{
        "20201101/", "20201101/.Firm1.lock", "20201101/Firm1.zip", "20201101/Firm1Yr2.zip",
        "20201102/", "20201102/notes.txt", "20201104/", "20201104/Firm2.zip", "20201105/",
        "20201105/Firm1.zip", "20201105/Firm1Yr3.zip", "20201106/", "20201106/Firm1Yr2.zip",
        "20201107/", "20201107/Firm1.zip", "20201131/", "20201131/Firm1.zip", "Firm1.zip",
        "misc/", "misc/Firm1.zip", "Tuesday/", "Tuesday/Firm1.zip"}));
    // clang-format on
    Strings recorded;
    for (const HistoryRecord& r : ReadHistory(tmp_ / "history.tsv")) {
        EXPECT_EQ(std::make_tuple(r.kind, r.time, r.firm, r.result, r.reason),
                  std::make_tuple(std::string("prune"), clock.seconds, 1, RunResult::Ok,
                                  std::string("removed by the keep policy (last 1)")));
        recorded.push_back(fs::path(r.archive).lexically_relative(backups_).string());
    }
    EXPECT_EQ(recorded, outcome.removed);
}

// Killed, or cut off by a power loss, after every removal.
class PruneCrashes : public PruneTest, public ::testing::WithParamInterface<test::CrashMode> {};

TEST_P(PruneCrashes, KilledAtEveryRemovalOnlyWholeArchivesRemainNewestFirst) {
    const Strings days = {"20201101", "20201102", "20201103", "20201104"};
    PruneRequest request;
    request.policy.last = 1;
    request.historyFile = tmp_ / "history.tsv";
    const int kills = test::ForEachKillPoint(
        [&] {
            fs::remove(request.historyFile);
            fs::remove_all(backups_);
            for (const std::string& day : days) {
                Put(day + "/Firm1.zip");
            }
        },
        [&](FileSystem& killing) {
            PruneBackupFolder(killing, TheSystemClock(), backups_, request);
        },
        [&](int killedAfter) {
            // The history holds whole lines, one for each removal that stands but the last,
            // whose line may not have been written yet.
            const std::string lines =
                fs::exists(request.historyFile) ? test::ReadFile(request.historyFile) : "";
            const std::vector<HistoryRecord> records = ReadHistory(request.historyFile);
            EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), std::ssize(records));
            size_t gone = 0;
            for (size_t i = 0; i < days.size(); ++i) {
                const std::string archive = backups_ + "/" + days[i] + "/Firm1.zip";
                gone += fs::exists(archive) ? 0 : 1;
                EXPECT_EQ(i < records.size() ? records[i].archive : archive, archive);
            }
            EXPECT_LE(records.size(), gone);
            EXPECT_GE(records.size() + (killedAfter == 0 ? 0 : 1), gone) << killedAfter;
            // The oldest went first (all three once the run has ended), and what is left is
            // whole. A power cut may bring back the last removal, made but not yet synced.
            const size_t removed = killedAfter == 0 ? 3 : static_cast<size_t>(killedAfter);
            const bool lastMayStay = GetParam() == test::CrashMode::PowerLoss && killedAfter > 0;
            for (size_t i = 0; i < days.size(); ++i) {
                const std::string archive = backups_ + "/" + days[i] + "/Firm1.zip";
                const bool either = lastMayStay && i + 1 == removed;
                EXPECT_TRUE(either || fs::exists(archive) == (i >= removed))
                    << archive << " after " << killedAfter;
                if (fs::exists(archive)) {
                    EXPECT_NO_THROW(VerifyArchive(archive));
                }
            }
            // The next prune finishes, and no folder of a removed archive stays behind.
            LocalFileSystem lfs;
            PruneBackupFolder(lfs, TheSystemClock(), backups_, request);
            EXPECT_EQ(test::AllPaths(backups_),
                      (std::set<std::string>{"20201104/", "20201104/Firm1.zip"}));
        },
        test::CrashOptions{true, GetParam(), {tmp_.Path().string()}});
    // A power cut also cuts the run that finished, right after its end.
    EXPECT_EQ(kills, GetParam() == test::CrashMode::Kill ? 3 : 4);
}

INSTANTIATE_TEST_SUITE_P(KilledOrPowerCut, PruneCrashes,
                         ::testing::Values(test::CrashMode::Kill, test::CrashMode::PowerLoss),
                         ::testing::PrintToStringParamName());

TEST_F(PruneTest, CommandLineExplainsEveryDecisionAndPrunes) {
    for (const char* rel :
         {"20201101/Firm1.zip", "20201102/Firm1.zip", "20201103/Firm1.zip", "20201103/Firm2.zip"}) {
        Put(rel);
    }
    fs::create_directories(tmp_ / "pf");
    test::WriteFile(tmp_ / "pf/settings.ini", "[Keep]\nDaily=2\n");
    const std::string cli = "TZ=Europe/Berlin " + std::string(VORNBACK_CLI_PATH) + " ";
    const std::string where = " " + backups_ + " --program-folder " + (tmp_ / "pf");
    struct Row {
        std::string args;
        int status;
        std::string output;  // the whole output, or its first line for a usage mistake
    };
    const Row rows[] = {
        {"list" + where + " --why", 0,
         "keep policy: daily 2\n"
         "20201103/Firm1.zip           2020-11-03 19:00 daily 1, newest good copy\n"
         "20201102/Firm1.zip           2020-11-02 19:00 daily 2\n"
         "20201101/Firm1.zip           2020-11-01 19:00 remove\n"
         "20201103/Firm2.zip           2020-11-03 19:00 daily 1, newest good copy\n"},
        {"prune 2" + where + " --dry-run --keep-daily 0 --keep-last 1", 0,
         "keep policy: last 1\n"
         "20201103/Firm2.zip           2020-11-03 19:00 last 1, newest good copy\n"},
        {"prune 1" + where + " --keep-last 1 --json", 0,
         "{\"archive\":\"20201103/Firm1.zip\",\"firm\":1,\"year\":\"\",\"time\":\"2020-11-03 "
         "19:00\",\"keep\":true,\"reasons\":[\"last 1\",\"daily 1\",\"newest good copy\"],"
         "\"removed\":false}\n"
         "{\"archive\":\"20201102/Firm1.zip\",\"firm\":1,\"year\":\"\",\"time\":\"2020-11-02 "
         "19:00\",\"keep\":true,\"reasons\":[\"daily 2\"],\"removed\":false}\n"
         "{\"archive\":\"20201101/Firm1.zip\",\"firm\":1,\"year\":\"\",\"time\":\"2020-11-01 "
         "19:00\",\"keep\":false,\"reasons\":[],\"removed\":true}\n"},
        {"prune" + where + " --keep-weekly x", 2,
         "vornback-cli: --keep-weekly wants a whole number from 0 to 10000, not \"x\""},
        {"prune 1 2" + where, 2, "vornback-cli: prune takes at most a firm and one backup folder"},
        {"prune 1 " + (tmp_ / "missing") + " --program-folder " + (tmp_ / "pf"), 1,
         "vornback-cli: The backup folder \"" + (tmp_ / "missing") + "\" does not exist."},
    };
    for (const Row& row : rows) {
        std::string output;
        EXPECT_EQ(test::RunCommand(cli + row.args, &output), row.status) << row.args << output;
        EXPECT_EQ(row.status == 2 ? output.substr(0, output.find('\n')) : output,
                  row.status == 1 ? row.output + "\n" : row.output)
            << row.args;
    }
    EXPECT_EQ(test::Names(backups_), (Strings{"20201102", "20201103"}));
    // A date-wise backup with a keep option says what it removed; 20201103 stays as the
    // only copy of 2020.
    const std::string program = MakeSampleTree(tmp_ / "data", SampleOptions{});
    std::string said;
    EXPECT_EQ(test::RunCommand(cli + "backup 1,2 --type date --keep-last 1 -q --to " + backups_ +
                                   " --program-folder " + program,
                               &said),
              0);
    EXPECT_EQ(said, "vornback-cli: removed 1 older backup: 20201102/Firm1.zip\n");
    ASSERT_EQ(ReadHistory(tmp_ / "pf/history.tsv").size(), 1u);
    EXPECT_EQ(ReadHistory(tmp_ / "pf/history.tsv")[0].archive, backups_ + "/20201101/Firm1.zip");
}

}  // namespace
}  // namespace vornback
