// The run of an unpack or a verify on worker threads; see unpack_run.h.
#include "archive/unpack_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "archive/archive_internal.h"
#include "archive/deflate_chunks.h"
#include "base/errors.h"

namespace vornback::archive_internal {

namespace {

// How many bytes of whole-file work may be handed to the workers beyond what has been
// reported done. It bounds both the memory of entries held whole and how far the workers
// can run past a cancel.
constexpr uint64_t kUnpackLookahead = 32 * 1024 * 1024;
// The most memory the workers keep between entries, together.
constexpr size_t kUnpackKept = 48 * 1024 * 1024;
// The most entries handed out at once.
constexpr size_t kUnpackQueue = 64;
constexpr auto kWaitTick = std::chrono::milliseconds(50);

}  // namespace

ReadRun::ReadRun(const std::string& archivePath, const std::vector<ReadEntry>& entries,
                 const UnpackOptions& options, const Target* target, int rootFd)
    : archivePath_(archivePath), options_(options), target_(target), rootFd_(rootFd) {
    for (const ReadEntry& entry : entries) {
        if (!entry.isFolder) {
            files_.push_back(&entry);
        }
    }
    progress_ = ReadTotals(entries);
}

void ReadRun::Run() {
    const auto threads = static_cast<unsigned>(
        std::min<size_t>(WorkerThreads(options_.threads), std::max<size_t>(files_.size(), 1)));
    std::vector<std::thread> workers;
    auto stopAll = [&] {
        {
            MutexLock lock(mutex_);
            stop_ = true;
        }
        workCv_.notify_all();
        for (std::thread& worker : workers) {
            worker.join();
        }
        workers.clear();
    };
    // Whatever way Run is left, the workers are stopped and joined first.
    std::thread earlySync;
    struct Joiner {
        decltype(stopAll)& stop;
        std::thread& sync;
        ~Joiner() {
            stop();
            if (sync.joinable()) {
                sync.join();
            }
        }
    } joiner{stopAll, earlySync};
    {
        for (unsigned t = 0; t < threads && !files_.empty(); ++t) {
            workers.emplace_back([this, threads] { Work(threads); });
        }
        bool cancelled = false;
        for (;;) {
            {
                MutexLock lock(mutex_);
                while (!stop_ && next_ < files_.size() && inFlight_ < kUnpackQueue &&
                       (outstanding_ < kUnpackLookahead || inFlight_ == 0)) {
                    queue_.push_back(next_);
                    outstanding_ += Weight(*files_[next_]);
                    ++inFlight_;
                    ++next_;
                }
                noMore_ = next_ == files_.size();
                workCv_.notify_all();
                if (stop_ || (noMore_ && inFlight_ == 0)) {
                    break;
                }
                const auto until = std::chrono::steady_clock::now() + kWaitTick;
                while (!stop_ && !wake_ && lock.WaitUntil(doneCv_, until)) {
                }
                wake_ = false;
            }
            Report();
            if (target_ != nullptr && !earlySync.joinable() &&
                filesDone_.load() * 2 >= files_.size()) {
                earlySync = std::thread(
                    [this] { earlySyncError_ = SyncFileSystem(rootFd_) != 0 ? errno : 0; });
            }
            if (Cancelled(options_.cancel)) {
                cancelled = true;
                abandonAll_ = true;
                break;
            }
        }
        stopAll();
        std::optional<std::pair<size_t, std::exception_ptr>> failure;
        {
            MutexLock lock(mutex_);
            failure = failure_;
        }
        if (failure) {
            std::rethrow_exception(failure->second);
        }
        if (cancelled) {
            throw ArchiveCancelled("unpacking cancelled");
        }
    }
    // The early sync is the one that meets a write error first: a later syncfs through
    // the same folder no longer reports it.
    if (earlySync.joinable()) {
        earlySync.join();
        if (earlySyncError_ != 0) {
            ThrowDestinationFailure(target_->shown, "writing to the disk", earlySyncError_,
                                    target_->needed);
        }
    }
    Report();
}

void ReadRun::FinalReport() {
    if (options_.progress) {
        progress_.currentName.clear();
        options_.progress(progress_);
    }
}

uint64_t ReadRun::Weight(const ReadEntry& entry) {
    const bool whole = entry.method == ZIP_CM_DEFLATE && entry.size <= kWholeFileLimit;
    return whole ? std::max<uint64_t>(entry.size, 1)
                 : std::clamp<uint64_t>(entry.size, 1, kChunkSize);
}

void ReadRun::Keep(Scratch& scratch, size_t& kept) {
    const size_t now = scratch.packed.Capacity() + scratch.out.Capacity();
    if (kept_.fetch_add(now - kept) + now - kept > kUnpackKept) {
        kept_.fetch_sub(now);
        scratch = Scratch();
        kept = 0;
        return;
    }
    kept = now;
}

void ReadRun::Report() {
    progress_.bytesDone = bytesDone_.load();
    progress_.filesDone = filesDone_.load();
    if (!files_.empty()) {
        progress_.currentName = files_[lastStarted_.load()]->name;
    }
    if (options_.progress) {
        options_.progress(progress_);
    }
}

void ReadRun::Record(size_t file, std::exception_ptr error) {
    {
        MutexLock lock(mutex_);
        if (!failure_ || file < failure_->first) {
            failure_ = std::make_pair(file, error);
            failedAt_ = file;
        }
        stop_ = true;
        wake_ = true;
    }
    workCv_.notify_all();
    doneCv_.notify_all();
}

void ReadRun::Work(unsigned threads) {
    std::optional<ReadArchive> archive;
    std::optional<Destination> destination;
    try {
        archive.emplace(archivePath_, false, options_.passphrase);
        if (target_ != nullptr) {
            destination.emplace(*target_, rootFd_);
        }
    } catch (const std::exception&) {
        Record(0, std::current_exception());  // thrown again on the calling thread
        return;
    }
    deflate::Inflater inflater;
    Scratch scratch;
    size_t kept = 0;  // what this worker's scratch counts for in kept_
    for (;;) {
        size_t file = 0;
        {
            MutexLock lock(mutex_);
            while (!stop_ && queue_.empty() && !noMore_) {
                lock.Wait(workCv_);
            }
            if (stop_ || queue_.empty()) {
                return;
            }
            file = queue_.front();
            queue_.pop_front();
        }
        for (size_t seen = lastStarted_.load();
             seen < file && !lastStarted_.compare_exchange_weak(seen, file);) {
        }
        const ReadEntry& entry = *files_[file];
        try {
            if (!SameEntry(*archive, entry)) {
                archive->Fail(entry.name, "the archive changed while it was read");
            }
            const StopCheck stop{&failedAt_, &abandonAll_, file};
            if (destination) {
                destination->Begin(entry);
                ReadEntryData(*archive, entry, inflater, scratch, options_.cancel, stop,
                              [&](const char* data, size_t length) {
                                  destination->Write(data, length);
                                  bytesDone_.fetch_add(length, std::memory_order_relaxed);
                              });
                std::string written = destination->Finish(entry);
                MutexLock lock(mutex_);
                written_.push_back(Pending{&entry, std::move(written)});
            } else {
                ReadEntryData(*archive, entry, inflater, scratch, options_.cancel, stop,
                              [&](const char*, size_t length) {
                                  bytesDone_.fetch_add(length, std::memory_order_relaxed);
                              });
            }
        } catch (const Abandoned&) {
            if (destination) {
                destination->DropTemporary();
            }
            return;
        } catch (const std::exception&) {
            // Carried to the calling thread, which throws it again (an exception may not
            // leave a thread); the worker stops.
            if (destination) {
                destination->DropTemporary();
            }
            Record(file, std::current_exception());
            return;
        }
        filesDone_.fetch_add(1, std::memory_order_relaxed);
        Keep(scratch, kept);
        bool wake = false;
        {
            MutexLock lock(mutex_);
            outstanding_ -= Weight(entry);
            --inFlight_;
            // Wake the calling thread when the queue runs low, not for every file.
            wake = inFlight_ == 0 || queue_.size() <= threads;
            wake_ = wake_ || wake;
        }
        if (wake) {
            doneCv_.notify_one();
        }
    }
}

}  // namespace vornback::archive_internal
