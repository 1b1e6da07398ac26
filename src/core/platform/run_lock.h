// One run per firm: a backup or restore holds an exclusive flock on a lock file for its
// whole duration, so a second run of the same firm (another window, the command line, a
// second start) is refused before it changes anything.
//
// The kernel releases a flock when its holder ends, however it ends: a lock file left by
// a killed run is not a held lock, and the next run simply takes it. The file only carries
// a line naming the holder (process, program, start time) for the refusal's text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/clock.h"
#include "base/errors.h"
#include "base/program_values.h"
#include "platform/posix.h"

namespace vornback {

// Another run holds the lock; the text says which run, by which program, since when.
class RunLocked : public Error {
  public:
    using Error::Error;
};

class RunLock {
  public:
    // Takes the lock on lockFile (created when missing; its folder must exist) and writes
    // this process's id, program name and the clock's local time into it. whatText names
    // what is locked in the refusal, e.g. "firm 3". Throws RunLocked when another open of
    // the file holds it (also within this process), FileSystemError when the file cannot
    // be opened.
    static RunLock Take(const std::string& lockFile, const std::string& whatText, Clock& clock);

    // As Take, but gives nothing instead of throwing RunLocked.
    static std::optional<RunLock> TryTake(const std::string& lockFile, Clock& clock);

    RunLock(RunLock&&) noexcept = default;
    RunLock& operator=(RunLock&&) noexcept;
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    // Releases the lock and removes the lock file (safe: a run that opened the old file
    // notices on taking it that the name no longer leads to it, and opens again).
    void Release();

    const std::string& File() const { return file_; }

    // Adds a second line to the held lock file: the sentence a refused run shows about
    // what holds it (see StagingInUse). Best effort, as the holder's line.
    void Describe(const std::string& sentence);

  private:
    RunLock(std::string file, Fd fd) : file_(std::move(file)), fd_(std::move(fd)) {}
    std::string file_;
    Fd fd_;
};

// The lock of a firm's runs, in the staging root: ProgramFolder/Back/.Firm<n>.lock; in
// the state folder instead when the values name one.
std::string FirmLockFile(const ProgramValues& values, int64_t firm);
// The lock a backup holds in its destination folder: <destination>/.Firm<n>.lock.
std::string DestinationLockFile(const std::string& destination, int64_t firm);

// The lock on the staging folder ProgramFolder/Back/Firm<n> alone, held by a restore window
// that has unpacked an archive of firm n and waits on the person: .Firm<n>.staging.lock.
// The firm's own lock is free meanwhile, so a run that leaves that folder alone (a
// whole-firm backup) goes on; a run that needs the folder is refused.
std::string StagingLockFile(const ProgramValues& values, int64_t firm);

// Takes the staging lock of firm n for the restore window of holderFirm; take it while
// holding firm n's lock. Throws RunLocked as Take.
RunLock HoldStagingFolder(const ProgramValues& values, int64_t firm, int64_t holderFirm,
                          Clock& clock);

// For a run that holds firm n's lock and needs its staging folder: throws RunLocked when a
// window holds that folder, with a text naming it ("the restore window of firm 1, process
// N, holds an unpacked archive of firm 2; close it or finish that restore"). The lock of a
// window that no longer lives is free, and the folder is the run's to use.
void EnsureStagingFolderFree(const ProgramValues& values, int64_t firm, Clock& clock);

// Takes the firm's lock in the staging root, creating ProgramFolder/Back when it is
// missing. Throws RunLocked or FileSystemError as Take.
RunLock LockFirm(const ProgramValues& values, int64_t firm, Clock& clock);

}  // namespace vornback
