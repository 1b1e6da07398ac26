// Recovery at start-up: what a killed or powered-off run left behind is finished or
// removed before anything else touches a firm, and each action is told in one plain line
// (the window shows the lines in a message, the command line prints them on stderr).
// Nothing a running run owns is touched: a firm's leftovers are handled only while its
// lock (platform/run_lock.h) is free, and this process holds it meanwhile.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/program_values.h"
#include "platform/file_system.h"
#include "platform/run_lock.h"

namespace vornback {

// Runs every recovery step (the restore side first, then the backup side) and returns
// what was done, one line per action; empty when nothing was left. A step that cannot be
// done is reported as a line too and the others still run; never throws FileSystemError.
std::vector<std::string> RecoverAtStartup(const ProgramValues& values, FileSystem& fs);

// The backup side in the staging root, only while no run holds a firm's lock there (a
// restore may stage another firm's archive): staging folders ProgramFolder/Back/Firm<n> of
// killed runs and their compaction copies; stale lock files go quietly.
// With only, just that firm's staging folder and copies, while its lock is free.
std::vector<std::string> RecoverBackupLeftovers(const ProgramValues& values, FileSystem& fs,
                                                std::optional<int64_t> only = std::nullopt);

// The restore side (its own file, recover_restore.cpp): the firm folders set aside by
// an interrupted restore, half-unpacked staging and the like.
std::vector<std::string> RecoverRestoreLeftovers(const ProgramValues& values, FileSystem& fs);

// One firm's recovery, as the start-up does it for all firms, for a program that works on
// that firm only (the command line): its markers are finished or undone, its set-aside and
// partial copies, staging folder and older replaced copies go. Nothing is done while
// another run holds the firm; the lock is taken meanwhile and released at the end. A step
// that cannot be done is reported as a line; never throws FileSystemError.
std::vector<std::string> RecoverFirm(const ProgramValues& values, FileSystem& fs, int64_t firm);

// The same for a run that holds the firm's lock already, before it changes the firm: its
// markers and set-aside copies (never its own staging folder). A copy set aside by an
// earlier run is put back or removed here only, never by the run itself.
std::vector<std::string> RecoverHeldFirm(const ProgramValues& values, FileSystem& fs, int64_t firm);

// The firm's run lock and its staging folder's lock, both taken, or nothing (and neither
// held) while a run holds either: a restore window waiting with an unpacked archive holds
// the staging folder's lock alone.
std::optional<std::pair<RunLock, RunLock>> TakeIdleFirmLocks(const ProgramValues& values,
                                                             int64_t firm);

// Whether a marker of an interrupted restore of the firm is still there.
bool HasPendingMarker(const ProgramValues& values, FileSystem& fs, int64_t firm);

// A backup destination, for one firm; the backup run calls it while it holds the firm's
// locks, before it touches the destination. The firm's temporary archives and pack pieces
// of killed runs are removed, except that a checked temporary archive completes an
// interrupted rotation: when the last archive (Firm<n>[Yr<k>].zip) is missing, or is the
// same file as the older generation (killed between the two renames), it takes the last
// archive's name. Other firms' files are never touched.
std::vector<std::string> RecoverDestination(FileSystem& fs, const std::string& destination,
                                            int64_t firm);

// A backup folder, for one firm, before a backup into it or into one of its date-wise or
// day-wise sub-folders: RecoverDestination for the folder and each such sub-folder that no
// backup is working in (its destination lock free), which also takes the stale lock files
// of killed backups away. The caller's own destination, whose lock it holds, is skipped.
std::vector<std::string> RecoverBackupFolder(FileSystem& fs, const std::string& folder,
                                             int64_t firm);

}  // namespace vornback
