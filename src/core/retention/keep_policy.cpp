#include "retention/keep_policy.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <map>
#include <tuple>

#include "base/names.h"

namespace vornback {

namespace {

// The periods an archive falls in, in local time: its day, ISO week, month and year.
struct Periods {
    int64_t day = 0;
    int64_t week = 0;
    int64_t month = 0;
    int64_t year = 0;
};

Periods PeriodsOf(int64_t time) {
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm local{};
    localtime_r(&t, &local);
    Periods p;
    p.year = local.tm_year + 1900;
    p.month = p.year * 100 + local.tm_mon + 1;
    p.day = p.month * 100 + local.tm_mday;
    // %G and %V: the ISO week-numbering year and week, so that 31 December may count in
    // week 1 of the next year and 1 January in week 52 or 53 of the one before.
    char iso[16] = {};
    std::strftime(iso, sizeof iso, "%G%V", &local);
    p.week = std::strtoll(iso, nullptr, 10);
    return p;
}

bool NewerFirst(const PolicyArchive& a, const PolicyArchive& b) {
    // At the same moment the last archive counts as newer than the older generation.
    return std::make_tuple(a.time, a.nanoseconds, !a.older, a.name) >
           std::make_tuple(b.time, b.nanoseconds, !b.older, b.name);
}

// The financial year an archive belongs to: its own year for a current-year archive,
// otherwise the calendar year of its time.
std::string FinancialYear(const PolicyArchive& a) {
    if (!a.yearNo.empty()) {
        return "Yr" + a.yearNo;
    }
    return std::to_string(PeriodsOf(a.time).year);
}

void Keep(ArchiveDecision& d, std::string reason) {
    d.keep = true;
    d.reasons.push_back(std::move(reason));
}

// One series, newest first.
void DecideSeries(std::vector<ArchiveDecision>& series, const KeepPolicy& policy,
                  const VerifiesFn& verifies) {
    if (!policy.Any()) {
        for (ArchiveDecision& d : series) {
            Keep(d, "no keep policy");
        }
        return;
    }
    struct Rule {
        const char* name;
        int count;
        int used = 0;
        std::optional<int64_t> lastKept;
    };
    std::array<Rule, 5> rules{{{"last", policy.last, 0, std::nullopt},
                               {"daily", policy.daily, 0, std::nullopt},
                               {"weekly", policy.weekly, 0, std::nullopt},
                               {"monthly", policy.monthly, 0, std::nullopt},
                               {"yearly", policy.yearly, 0, std::nullopt}}};
    for (size_t i = 0; i < series.size(); ++i) {
        const Periods p = PeriodsOf(series[i].archive.time);
        const std::array<int64_t, 5> keys{static_cast<int64_t>(i), p.day, p.week, p.month, p.year};
        for (size_t r = 0; r < rules.size(); ++r) {
            Rule& rule = rules[r];
            if (rule.used < rule.count && rule.lastKept != keys[r]) {
                rule.lastKept = keys[r];
                ++rule.used;
                Keep(series[i], std::string(rule.name) + " " + std::to_string(rule.used));
            }
        }
    }
    // A period rule with count left keeps the oldest archive as well: there were fewer
    // periods than it asked for, and the oldest is the one that reaches furthest back.
    ArchiveDecision& oldest = series.back();
    if (!oldest.keep) {
        for (size_t r = 1; r < rules.size(); ++r) {
            if (rules[r].count > 0 && rules[r].used < rules[r].count) {
                Keep(oldest, std::string("oldest for ") + rules[r].name);
            }
        }
    }
    for (ArchiveDecision& d : series) {
        if (d.archive.held) {
            Keep(d, "held by a run");
        }
    }
    bool good = false;
    for (ArchiveDecision& d : series) {
        if (verifies(d.archive)) {
            Keep(d, "newest good copy");
            good = true;
            break;
        }
    }
    if (!good) {
        // Nothing here is known to restore: removing any of it could lose the last copy
        // that still holds something.
        for (ArchiveDecision& d : series) {
            if (!d.keep) {
                Keep(d, "no copy verifies");
            }
        }
        return;
    }
    std::map<std::string, std::vector<ArchiveDecision*>> years;
    for (ArchiveDecision& d : series) {
        years[FinancialYear(d.archive)].push_back(&d);
    }
    for (auto& [year, members] : years) {
        if (std::none_of(members.begin(), members.end(),
                         [](const ArchiveDecision* d) { return d->keep; })) {
            Keep(*members.front(), "only copy of " + year);
        }
    }
}

}  // namespace

std::string KeepPolicy::Text() const {
    std::string text;
    const std::pair<const char*, int> rules[] = {{"last", last},
                                                 {"daily", daily},
                                                 {"weekly", weekly},
                                                 {"monthly", monthly},
                                                 {"yearly", yearly}};
    for (const auto& [name, count] : rules) {
        if (count > 0) {
            text += (text.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(count);
        }
    }
    return text.empty() ? "keep everything" : text;
}

std::optional<PolicyArchive> PolicyArchiveFromName(const std::string& fileName, int64_t time) {
    PolicyArchive a;
    a.name = fileName;
    a.time = time;
    // Only a name exactly as a backup writes it (letter case, numbers without a sign) is one
    // of ours.
    const auto parsed = ParseArchiveName(fileName);
    if (!parsed || FormatArchiveName(*parsed) != fileName || parsed->firm < 0 ||
        parsed->year.starts_with('-')) {
        return std::nullopt;
    }
    a.older = parsed->older;
    a.yearNo = parsed->year;
    a.firm = parsed->firm;
    return a;
}

std::string ArchiveDecision::Why() const {
    if (!keep) {
        return "remove";
    }
    std::string text;
    for (const std::string& r : reasons) {
        text += (text.empty() ? "" : ", ") + r;
    }
    return text;
}

std::vector<ArchiveDecision> ApplyKeepPolicy(std::vector<PolicyArchive> archives,
                                             const KeepPolicy& policy, const VerifiesFn& verifies) {
    std::map<std::pair<int64_t, std::string>, std::vector<ArchiveDecision>> series;
    for (PolicyArchive& a : archives) {
        auto key = std::make_pair(a.firm, a.yearNo);
        series[key].push_back(ArchiveDecision{std::move(a), false, {}});
    }
    std::vector<ArchiveDecision> decisions;
    for (auto& [key, members] : series) {
        std::stable_sort(members.begin(), members.end(),
                         [](const ArchiveDecision& a, const ArchiveDecision& b) {
                             return NewerFirst(a.archive, b.archive);
                         });
        DecideSeries(members, policy, verifies);
        for (ArchiveDecision& d : members) {
            decisions.push_back(std::move(d));
        }
    }
    return decisions;
}

std::vector<ArchiveDecision> DecideListedArchives(
    const std::vector<std::pair<std::string, int64_t>>& listing, const KeepPolicy& policy,
    const VerifiesFn& verifies) {
    std::vector<PolicyArchive> archives;
    for (const auto& [name, time] : listing) {
        if (std::optional<PolicyArchive> a = PolicyArchiveFromName(name, time)) {
            archives.push_back(std::move(*a));
        }
    }
    return ApplyKeepPolicy(std::move(archives), policy, verifies);
}

}  // namespace vornback
