// The keep policy: which of a destination's archives a firm keeps and why. A pure
// function of the archives' names and times, so that the same decision serves the backup
// folder, the command line's explanation and the offsite folder.
//
// The archives of one series (one firm's whole-firm archives, or its current-year
// archives of one year) are taken newest first. Each rule keeps an archive whose period
// (the archive itself for Last; the local day, ISO week, month or year for the others)
// differs from that of the last archive the rule kept, until its count is used; one
// archive may be kept by several rules. When a period rule has count left at the end, the
// oldest archive is kept too. Counting starts at the newest archive, never at today, so a
// long pause in backups removes nothing that the same policy kept before the pause.
//
// Whatever the policy, these are kept: an archive that a run holds, the newest archive
// that verifies, and the newest archive of a financial year of which nothing else is kept
// (a whole-firm archive belongs to the calendar year of its time, a current-year archive
// to its own year).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vornback {

struct KeepPolicy {
    int last = 0;
    int daily = 0;
    int weekly = 0;
    int monthly = 0;
    int yearly = 0;

    // Whether any rule is in use; without one every archive is kept.
    bool Any() const { return last > 0 || daily > 0 || weekly > 0 || monthly > 0 || yearly > 0; }
    // The rules in use, "last 2, daily 7, monthly 12"; "keep everything" without any.
    std::string Text() const;
    bool operator==(const KeepPolicy&) const = default;
};

// One archive as the policy sees it.
struct PolicyArchive {
    std::string name;    // how it is named in reasons and listings (e.g. "20261207/Firm3.zip")
    int64_t firm = 0;    // n of Firm<n>
    std::string yearNo;  // y of Firm<n>Yr<y>.zip; "" for a whole-firm archive
    bool older = false;  // the older generation OFirm<n>...
    int64_t time = 0;    // its modification time, seconds since the epoch
    int64_t nanoseconds = 0;
    bool held = false;  // a run of the firm holds its folder
};

// An archive's name as a backup writes it, (O)Firm<n>[Yr<y>].zip, read into a PolicyArchive
// with the given time; nothing for any other name (which the policy never touches).
std::optional<PolicyArchive> PolicyArchiveFromName(const std::string& fileName, int64_t time);

struct ArchiveDecision {
    PolicyArchive archive;
    bool keep = false;
    // Why it is kept: "last 1", "daily 3", "weekly 1", "monthly 2", "yearly 1", "oldest for
    // weekly", "held by a run", "newest good copy", "only copy of 2026" (a financial year),
    // "no copy verifies", "no keep policy"; empty when it is to be removed.
    std::vector<std::string> reasons;
    // "daily 3, newest good copy", or "remove".
    std::string Why() const;
};

// Whether an archive verifies (every entry reads back with its CRC). Asked newest first
// in each series, and only until one answers true.
using VerifiesFn = std::function<bool(const PolicyArchive&)>;

// The decision for every archive given (any mix of firms and series), newest first within
// each series, series in order of firm and year. A series none of whose archives verifies
// is kept whole. Without a rule in use, everything is kept and nothing is verified.
std::vector<ArchiveDecision> ApplyKeepPolicy(std::vector<PolicyArchive> archives,
                                             const KeepPolicy& policy, const VerifiesFn& verifies);

// The decision for a folder listed elsewhere (the offsite copies): each file name with its
// modification time. Names that are not firm archives are left out, so never removed.
std::vector<ArchiveDecision> DecideListedArchives(
    const std::vector<std::pair<std::string, int64_t>>& listing, const KeepPolicy& policy,
    const VerifiesFn& verifies);

}  // namespace vornback
