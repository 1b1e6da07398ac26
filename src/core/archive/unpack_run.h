// The run of an unpack or a verify: worker threads that inflate the file entries and write
// them below the destination (or, for a verify, only read and check them), each with its
// own handle on the archive, while the calling thread hands the entries out, reports
// progress and watches the cancel flag. Private to the archive folder.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/entry_reading.h"
#include "archive/unpack_checks.h"
#include "archive/unpack_destination.h"
#include "base/thread_annotations.h"

namespace vornback::archive_internal {

// The calling thread hands the entries out in order, never more than a fixed lookahead of
// whole-entry work beyond what it has reported done, reports progress at least every tick
// and watches the cancel flag. The first failure stops the run; a worker that stops
// removes the file it was writing. Once half the files are written, one syncfs starts
// writing them out beside the workers, so that the one at the end finds only the other
// half left; its failure fails the run.
class ReadRun {
  public:
    // target null: a verify, which writes nothing.
    ReadRun(const std::string& archivePath, const std::vector<ReadEntry>& entries,
            const UnpackOptions& options, const Target* target, int rootFd);

    // Runs to the end; throws the failure of the earliest entry that failed, or
    // ArchiveCancelled.
    void Run() EXCLUDES(mutex_);

    // The files written under their temporary names, waiting to be placed (or removed).
    // Only once Run has returned or thrown: no worker is left then.
    std::vector<Pending>& Written() NO_THREAD_SAFETY_ANALYSIS { return written_; }

    void FinalReport();

  private:
    // What an entry counts for against the lookahead: entries read whole count whole, as
    // they are not stopped midway; streamed ones look at the cancel flag every chunk.
    static uint64_t Weight(const ReadEntry& entry);

    // Keeps a worker's buffers for its next entry while all workers keep no more than the
    // run's allowance together; kept is what they counted for so far.
    void Keep(Scratch& scratch, size_t& kept);

    void Report();
    void Record(size_t file, std::exception_ptr error) EXCLUDES(mutex_);
    void Work(unsigned threads) EXCLUDES(mutex_);

    const std::string& archivePath_;
    const UnpackOptions& options_;
    const Target* target_;
    int rootFd_;
    std::vector<const ReadEntry*> files_;  // set before the workers start, read-only after
    ArchiveProgress progress_;             // the calling thread's

    Mutex mutex_;
    std::condition_variable workCv_;  // workers: entries handed out, no more, stop
    std::condition_variable doneCv_;  // calling thread: the queue runs low, a failure
    std::deque<size_t> queue_ GUARDED_BY(mutex_);
    size_t next_ GUARDED_BY(mutex_) = 0;
    uint64_t outstanding_ GUARDED_BY(mutex_) = 0;
    size_t inFlight_ GUARDED_BY(mutex_) = 0;
    bool noMore_ GUARDED_BY(mutex_) = false;
    bool stop_ GUARDED_BY(mutex_) = false;
    bool wake_ GUARDED_BY(mutex_) = false;
    std::optional<std::pair<size_t, std::exception_ptr>> failure_ GUARDED_BY(mutex_);
    std::vector<Pending> written_ GUARDED_BY(mutex_);
    std::atomic<size_t> failedAt_{SIZE_MAX};  // the earliest entry that failed
    std::atomic<bool> abandonAll_{false};     // cancelled: every worker stops
    std::atomic<uint64_t> bytesDone_{0};
    std::atomic<uint64_t> filesDone_{0};
    std::atomic<size_t> lastStarted_{0};
    std::atomic<size_t> kept_{0};  // the buffers the workers keep between entries
    int earlySyncError_ = 0;       // written by the early sync's thread, read once it is joined
};

}  // namespace vornback::archive_internal
