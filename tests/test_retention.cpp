// The keep policy against a fixed table of archive dates (golden kept sets), and its
// removal step on real folders: locks, other files, folders, history and kills.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "history/history.h"
#include "platform/file_system.h"
#include "platform/run_lock.h"
#include "retention/keep_policy.h"
#include "retention/prune.h"
#include "support/crash_points.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// Archive times in UTC; the policy reads them in Berlin time. Among them: two backups on
// one day (2021-01-02), both daylight-saving changes of 2020 (late evening UTC falls on
// the next local day), ISO week 53 of 2020 (28 December to 3 January), a year boundary
// that only local time crosses (2020-12-31T23:30), and gaps of months.
const Strings kTable = {
    "2018-04-02T09:00", "2018-09-17T09:00", "2019-01-15T10:00", "2019-03-01T10:00",
    "2019-06-10T10:00", "2019-11-20T10:00", "2019-12-30T18:00", "2019-12-31T18:00",
    "2020-02-03T18:00", "2020-02-28T18:00", "2020-03-28T18:00", "2020-03-28T23:30",
    "2020-03-29T22:30", "2020-03-30T18:00", "2020-05-05T18:00", "2020-06-15T18:00",
    "2020-07-01T18:00", "2020-07-20T18:00", "2020-08-10T18:00", "2020-09-01T18:00",
    "2020-10-24T22:30", "2020-10-25T18:00", "2020-10-25T23:30", "2020-11-01T18:00",
    "2020-11-02T18:00", "2020-11-03T18:00", "2020-11-04T18:00", "2020-11-05T18:00",
    "2020-11-06T18:00", "2020-11-07T18:00", "2020-11-08T18:00", "2020-11-09T18:00",
    "2020-11-10T18:00", "2020-11-11T18:00", "2020-11-12T18:00", "2020-11-13T18:00",
    "2020-11-14T18:00", "2020-11-15T18:00", "2020-11-16T18:00", "2020-11-17T18:00",
    "2020-11-18T18:00", "2020-11-19T18:00", "2020-11-20T18:00", "2020-11-21T18:00",
    "2020-11-22T18:00", "2020-11-23T18:00", "2020-11-24T18:00", "2020-11-25T18:00",
    "2020-11-26T18:00", "2020-11-27T18:00", "2020-11-28T18:00", "2020-11-29T18:00",
    "2020-11-30T18:00", "2020-12-01T18:00", "2020-12-02T18:00", "2020-12-03T18:00",
    "2020-12-04T18:00", "2020-12-07T18:00", "2020-12-08T18:00", "2020-12-09T18:00",
    "2020-12-10T18:00", "2020-12-11T18:00", "2020-12-14T18:00", "2020-12-15T18:00",
    "2020-12-16T18:00", "2020-12-17T18:00", "2020-12-18T18:00", "2020-12-28T18:00",
    "2020-12-29T18:00", "2020-12-31T18:00", "2020-12-31T23:30", "2021-01-02T08:00",
    "2021-01-02T17:00", "2021-01-03T18:00", "2021-01-04T18:00", "2021-01-05T18:00",
    "2021-01-06T18:00", "2021-01-07T18:00", "2021-01-08T18:00", "2021-01-09T18:00",
    "2021-01-10T18:00", "2021-01-11T18:00", "2021-01-12T18:00", "2021-01-13T18:00",
    "2021-01-14T18:00", "2021-01-15T18:00", "2021-01-16T18:00", "2021-01-17T18:00",
    "2021-01-18T18:00", "2021-01-19T18:00", "2021-01-20T18:00", "2021-01-21T18:00",
    "2021-01-22T18:00",
};

int64_t UtcTime(const std::string& text) {
    std::tm t{};
    std::istringstream(text) >> std::get_time(&t, "%Y-%m-%dT%H:%M");
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
    const char* kept;            // newest first; "all" for every archive
};

const GoldenCase kGolden[] = {
    {"last 3",
     {3, 0, 0, 0, 0},
     {},
     {},
     "2021-01-22T18:00 2021-01-21T18:00 2021-01-20T18:00 2020-12-31T18:00 2019-12-31T18:00 "
     "2018-09-17T09:00"},
    {"daily 7",
     {0, 7, 0, 0, 0},
     {},
     {},
     "2021-01-22T18:00 2021-01-21T18:00 2021-01-20T18:00 2021-01-19T18:00 2021-01-18T18:00 "
     "2021-01-17T18:00 2021-01-16T18:00 2020-12-31T18:00 2019-12-31T18:00 2018-09-17T09:00"},
    {"daily 100 (every local day once)",
     {0, 100, 0, 0, 0},
     {},
     {},
     "2021-01-22T18:00 2021-01-21T18:00 2021-01-20T18:00 2021-01-19T18:00 2021-01-18T18:00 "
     "2021-01-17T18:00 2021-01-16T18:00 2021-01-15T18:00 2021-01-14T18:00 2021-01-13T18:00 "
     "2021-01-12T18:00 2021-01-11T18:00 2021-01-10T18:00 2021-01-09T18:00 2021-01-08T18:00 "
     "2021-01-07T18:00 2021-01-06T18:00 2021-01-05T18:00 2021-01-04T18:00 2021-01-03T18:00 "
     "2021-01-02T17:00 2020-12-31T23:30 2020-12-31T18:00 2020-12-29T18:00 2020-12-28T18:00 "
     "2020-12-18T18:00 2020-12-17T18:00 2020-12-16T18:00 2020-12-15T18:00 2020-12-14T18:00 "
     "2020-12-11T18:00 2020-12-10T18:00 2020-12-09T18:00 2020-12-08T18:00 2020-12-07T18:00 "
     "2020-12-04T18:00 2020-12-03T18:00 2020-12-02T18:00 2020-12-01T18:00 2020-11-30T18:00 "
     "2020-11-29T18:00 2020-11-28T18:00 2020-11-27T18:00 2020-11-26T18:00 2020-11-25T18:00 "
     "2020-11-24T18:00 2020-11-23T18:00 2020-11-22T18:00 2020-11-21T18:00 2020-11-20T18:00 "
     "2020-11-19T18:00 2020-11-18T18:00 2020-11-17T18:00 2020-11-16T18:00 2020-11-15T18:00 "
     "2020-11-14T18:00 2020-11-13T18:00 2020-11-12T18:00 2020-11-11T18:00 2020-11-10T18:00 "
     "2020-11-09T18:00 2020-11-08T18:00 2020-11-07T18:00 2020-11-06T18:00 2020-11-05T18:00 "
     "2020-11-04T18:00 2020-11-03T18:00 2020-11-02T18:00 2020-11-01T18:00 2020-10-25T23:30 "
     "2020-10-25T18:00 2020-09-01T18:00 2020-08-10T18:00 2020-07-20T18:00 2020-07-01T18:00 "
     "2020-06-15T18:00 2020-05-05T18:00 2020-03-30T18:00 2020-03-28T23:30 2020-03-28T18:00 "
     "2020-02-28T18:00 2020-02-03T18:00 2019-12-31T18:00 2019-12-30T18:00 2019-11-20T10:00 "
     "2019-06-10T10:00 2019-03-01T10:00 2019-01-15T10:00 2018-09-17T09:00 2018-04-02T09:00"},
    {"weekly 5 (ISO week 53)",
     {0, 0, 5, 0, 0},
     {},
     {},
     "2021-01-22T18:00 2021-01-17T18:00 2021-01-10T18:00 2021-01-03T18:00 2020-12-18T18:00 "
     "2019-12-31T18:00 2018-09-17T09:00"},
    {"monthly 30",
     {0, 0, 0, 30, 0},
     {},
     {},
     "2021-01-22T18:00 2020-12-31T18:00 2020-11-30T18:00 2020-10-25T23:30 2020-09-01T18:00 "
     "2020-08-10T18:00 2020-07-20T18:00 2020-06-15T18:00 2020-05-05T18:00 2020-03-30T18:00 "
     "2020-02-28T18:00 2019-12-31T18:00 2019-11-20T10:00 2019-06-10T10:00 2019-03-01T10:00 "
     "2019-01-15T10:00 2018-09-17T09:00 2018-04-02T09:00"},
    {"yearly 2 (local year)",
     {0, 0, 0, 0, 2},
     {},
     {},
     "2021-01-22T18:00 2020-12-31T18:00 2019-12-31T18:00 2018-09-17T09:00"},
    {"daily 7, weekly 4, monthly 6, yearly 3",
     {0, 7, 4, 6, 3},
     {},
     {},
     "2021-01-22T18:00 2021-01-21T18:00 2021-01-20T18:00 2021-01-19T18:00 2021-01-18T18:00 "
     "2021-01-17T18:00 2021-01-16T18:00 2021-01-10T18:00 2021-01-03T18:00 2020-12-31T18:00 "
     "2020-11-30T18:00 2020-10-25T23:30 2020-09-01T18:00 2020-08-10T18:00 2019-12-31T18:00 "
     "2018-09-17T09:00"},
    {"last 1, the two newest do not verify",
     {1, 0, 0, 0, 0},
     {"2021-01-22T18:00", "2021-01-21T18:00"},
     {},
     "2021-01-22T18:00 2021-01-20T18:00 2020-12-31T18:00 2019-12-31T18:00 2018-09-17T09:00"},
    {"last 2, one held by a run",
     {2, 0, 0, 0, 0},
     {},
     {"2020-06-15T18:00"},
     "2021-01-22T18:00 2021-01-21T18:00 2020-06-15T18:00 2019-12-31T18:00 2018-09-17T09:00"},
    {"yearly 10 (count left: the oldest too)",
     {0, 0, 0, 0, 10},
     {},
     {},
     "2021-01-22T18:00 2020-12-31T18:00 2019-12-31T18:00 2018-09-17T09:00 2018-04-02T09:00"},
    {"no rule: everything stays", {0, 0, 0, 0, 0}, {}, {}, "all"},
    {"nothing verifies: everything stays",
     {1, 0, 0, 0, 0},
     {kTable.begin(), kTable.end()},
     {},
     "all"},
};

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
        std::string keptText;
        for (const std::string& k : kept) {
            keptText += k + " ";
        }
        EXPECT_EQ(kept, std::string(c.kept) == "all" ? all : Words(c.kept)) << keptText;
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

}  // namespace
}  // namespace vornback
