// Recovery at start-up: what a killed or powered-off run left behind is finished or
// removed before anything else touches a firm, and each action is told in one plain line
// (the window shows the lines in a message, the command line prints them on stderr).
// Nothing a running run owns is touched: a firm's leftovers are handled only while its
// lock (platform/run_lock.h) is free, and this process holds it meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/program_values.h"
#include "platform/file_system.h"

namespace vornback {

// Runs every recovery step (the restore side first, then the backup side) and returns
// what was done, one line per action; empty when nothing was left. A step that cannot be
// done is reported as a line too and the others still run; never throws FileSystemError.
std::vector<std::string> RecoverAtStartup(const ProgramValues& values, FileSystem& fs);

// The backup side in the staging root, only while no run holds a firm's lock there (a
// restore may stage another firm's archive): staging folders ProgramFolder/Back/Firm<n> of
// killed runs and their compaction copies; stale lock files go quietly.
std::vector<std::string> RecoverBackupLeftovers(const ProgramValues& values, FileSystem& fs);

// The restore side (its own file, recover_restore.cpp): the firm folders set aside by
// an interrupted restore, half-unpacked staging and the like.
std::vector<std::string> RecoverRestoreLeftovers(const ProgramValues& values, FileSystem& fs);

// A backup destination, for one firm; the backup run calls it while it holds the firm's
// locks, before it touches the destination. The firm's temporary archives and pack pieces
// of killed runs are removed, except that a checked temporary archive completes an
// interrupted rotation: when the last archive (Firm<n>[Yr<k>].zip) is missing, or is the
// same file as the older generation (killed between the two renames), it takes the last
// archive's name. Other firms' files are never touched.
std::vector<std::string> RecoverDestination(FileSystem& fs, const std::string& destination,
                                            int64_t firm);

}  // namespace vornback
