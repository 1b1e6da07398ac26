// What makes a firm folder restorable, checked the same way on an unpacked archive (the
// restore drill) and on the live data tree (the doctor): the firm database and every year
// database open with the host's keys and pass SQLite's integrity check, and the year
// register and the year folders agree, as the restore types need them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/database.h"

namespace vornback {

// One thing found wrong. check names the kind ("archive", "space", "database", "register",
// "folder", "case", "range", "leftover", "lock"), file the file or folder concerned.
struct Finding {
    std::string check;
    std::string file;
    std::string text;    // what is wrong, one sentence
    std::string advice;  // what a person can do about it; "" when nothing needs saying

    bool operator==(const Finding&) const = default;
};

// "<file>: <text>" for a finding, the way a reason is shown and recorded.
std::string FindingLine(const Finding& finding);

// Opens the database with the first of the keys that opens it and runs PRAGMA
// integrity_check; on success gives the open database. Otherwise adds one finding (check
// "database") to findings and gives nothing. Never throws DatabaseError.
std::optional<Database> OpenChecked(const std::string& path, const std::vector<std::string>& keys,
                                    std::vector<Finding>& findings);

// The entries of a folder whose lower-case names are equal, grouped, each group two or more
// names; files and folders alike. Empty when there are none or the folder cannot be read.
std::vector<std::vector<std::string>> CaseTwins(const std::string& folder);

struct FirmCheckOptions {
    // A current-year archive holds this one year folder; every other row of the year
    // register may lack its folder, and any other year folder is a finding.
    std::string onlyYear;
    // Year databases checked at once (one connection each); 0 takes one per core.
    unsigned threads = 0;
};

// Checks the firm folder of firm n: Firm<n>.mdb opens with the firm key and passes the
// integrity check; every year register row has its folder Yr<k> with DVorn<k>.mdb, which
// opens ("" or the year key) and passes; no Yr<k> folder lacks a row; no two names differ
// only in letter case. Gives the findings in that order; never throws DatabaseError.
std::vector<Finding> CheckFirmFolder(const std::string& folder, int64_t firm,
                                     const FirmCheckOptions& options = {});

}  // namespace vornback
