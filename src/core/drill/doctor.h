// The doctor: reads the live data tree and says, per firm, what stands between it and a
// clean backup and restore: register rows without a folder, firm or year folders without a
// row, names that differ only in letter case, databases that do not open with their key or
// fail the integrity check, leftovers of interrupted runs (staging folders, markers,
// temporary files), stale locks and firm folders outside the register's 16-bit range.
// With fix, it mends only what is safe, each step told: what an interrupted run left goes
// through the start-up recovery, temporary files and stale locks are removed, and nothing of
// a firm whose run holds its lock is touched. Every other finding carries a sentence saying
// what a person can do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/program_values.h"
#include "drill/firm_check.h"

namespace vornback {

class FileSystem;

struct DoctorFinding {
    int64_t firm = 0;  // 0 for the data tree as a whole
    Finding finding;
};

struct DoctorReport {
    std::vector<DoctorFinding> findings;  // what is wrong now (after the mending, with fix)
    std::vector<std::string> mended;      // each step the mending took, in order
    bool Healthy() const { return findings.empty(); }
};

// Examines the data tree values.AppFolder with its program folder values.ProgramFolder
// (the staging root below it). Never throws for what it finds; a data tree without its
// root register is a finding.
DoctorReport ExamineDataTree(const ProgramValues& values, FileSystem& fs, bool fix);

// The report as lines for a person, and as one JSON object (no new-line).
std::string DoctorText(const DoctorReport& report);
std::string DoctorJson(const DoctorReport& report);

}  // namespace vornback
