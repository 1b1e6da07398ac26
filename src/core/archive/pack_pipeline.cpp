// The deflate pipeline of packing; see pack_pipeline.h.
#include "archive/pack_pipeline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>

#include "platform/posix.h"

namespace vornback::archive_internal {

namespace {
// The memory that read and deflated data waiting for libzip may take at once.
constexpr size_t kPackBudget = 48 * 1024 * 1024;
// How many pieces beyond the one it waits for the calling thread lets the workers finish
// before it is woken.
constexpr size_t kWaitAhead = 16;
// How often the calling thread is given control back while it waits for a worker.
constexpr auto kWaitTick = std::chrono::milliseconds(50);
// Buffers of at least this size come from the pool, all of one capacity: enough for a chunk
// read whole (with the dictionary before it) or deflated.
constexpr size_t kPooledMinimum = 1024 * 1024;
const size_t kPooledCapacity =
    std::max(deflate::ChunkBound(kPackChunk), kPackChunk + deflate::kDictionary);

bool Pooled(size_t capacity) {
    return capacity >= kPooledMinimum && capacity <= kPooledCapacity;
}

// What a piece of length bytes may hold at once: its bytes read and deflated.
size_t Reserve(size_t length) {
    return 2 * (Pooled(length) ? kPooledCapacity : length) + 4096;
}
}  // namespace

Buffer PackPipeline::TakeBuffer(size_t capacity) {
    if (!Pooled(capacity)) {
        return Buffer(capacity);
    }
    {
        MutexLock lock(mutex_);
        if (!pool_.empty()) {
            Buffer buffer = std::move(pool_.back());
            pool_.pop_back();
            pooled_ -= buffer.Capacity();
            buffer.SetSize(0);
            return buffer;
        }
    }
    return Buffer(kPooledCapacity);
}

void PackPipeline::KeepBuffer(Buffer buffer) {
    if (buffer.Capacity() != kPooledCapacity) {
        return;
    }
    MutexLock lock(mutex_);
    if (reserved_ + pooled_ + buffer.Capacity() <= kPackBudget) {
        pooled_ += buffer.Capacity();
        pool_.push_back(std::move(buffer));
    }
}

void PackPipeline::Add(PackItem item) {
    const bool hasPieces = !item.isFolder;
    {
        MutexLock lock(mutex_);
        const size_t index = items_.size();
        firstJob_.push_back(jobs_.size());
        // A folder has no pieces; a file up to a chunk is one, a larger one a chunk each.
        for (uint64_t offset = 0; hasPieces && (offset == 0 || offset < item.size);
             offset += kPackChunk) {
            PackJob job;
            job.item = index;
            job.offset = offset;
            job.length = static_cast<size_t>(std::min<uint64_t>(kPackChunk, item.size - offset));
            job.chunked = item.size > kPackChunk;
            job.first = offset == 0;
            job.last = offset + job.length == item.size;
            job.reserve = Reserve(job.length);
            jobs_.push_back(job);
            results_.emplace_back();
        }
        jobEnd_.push_back(jobs_.size());
        modes_.push_back(Mode::Unknown);
        items_.push_back(std::move(item));
    }
    if (hasPieces) {
        workCv_.notify_all();
    }
}

void PackPipeline::Close() {
    {
        MutexLock lock(mutex_);
        closed_ = true;
    }
    workCv_.notify_all();
}

void PackPipeline::Start(unsigned threads) {
    for (unsigned t = 0; t < threads; ++t) {
        workers_.emplace_back([this] { Work(); });
    }
}

bool PackPipeline::WaitOver() const {
    if (!results_[waitFor_].ready) {
        return false;
    }
    // Ready, and several after it too (the calling thread then goes on without sleeping
    // for each small file), or nothing more can come first: every piece started, or the
    // budget full until the calling thread gives memory back.
    const size_t ahead = std::min(waitFor_ + kWaitAhead, jobs_.size() - 1);
    return results_[ahead].ready || next_ == jobs_.size() ||
           reserved_ + jobs_[next_].reserve > kPackBudget;
}

PackResult* PackPipeline::Wait(size_t job, const std::function<bool()>& idle) {
    MutexLock lock(mutex_);
    if (results_[job].ready) {
        return &results_[job];
    }
    waitFor_ = job;
    waiting_ = true;
    while (!WaitOver()) {
        // Until ready or a tick has passed.
        const auto until = std::chrono::steady_clock::now() + kWaitTick;
        bool over = WaitOver();
        while (!over && lock.WaitUntil(doneCv_, until)) {
            over = WaitOver();
        }
        if (!over && !WaitOver()) {
            lock.Unlock();
            const bool goOn = idle();
            lock.Lock();
            if (!goOn) {
                waiting_ = false;
                return nullptr;
            }
        }
    }
    waiting_ = false;
    return &results_[job];
}

void PackPipeline::Release(size_t job) {
    Buffer data;
    {
        MutexLock lock(mutex_);
        PackResult& result = results_[job];
        reserved_ -= result.held;
        result.held = 0;
        data = std::move(result.data);
    }
    KeepBuffer(std::move(data));
    workCv_.notify_all();
}

void PackPipeline::Stop() {
    {
        MutexLock lock(mutex_);
        stop_ = true;
    }
    workCv_.notify_all();
    for (std::thread& worker : workers_) {
        worker.join();
    }
    workers_.clear();
}

void PackPipeline::Work() {
    deflate::Deflater deflater;
    for (;;) {
        MutexLock lock(mutex_);
        for (;;) {
            if (stop_ || next_ == jobs_.size()) {
                if (stop_ || closed_) {
                    break;
                }
            } else if (reserved_ + jobs_[next_].reserve <= kPackBudget || reserved_ == 0) {
                break;
            }
            lock.Wait(workCv_);
        }
        if (stop_ || next_ == jobs_.size()) {
            return;
        }
        const size_t index = next_++;
        const PackJob& job = jobs_[index];
        const PackItem& item = items_[job.item];
        reserved_ += job.reserve;
        if (waiting_ && WaitOver()) {
            doneCv_.notify_one();  // the budget is full now, or this was the last piece
        }
        Mode mode = Mode::Unknown;
        if (job.chunked && !job.first) {
            // The first piece of this file was started before this one; its trial
            // decides how the rest is packed.
            while (!stop_ && modes_[job.item] == Mode::Unknown) {
                lock.Wait(workCv_);
            }
            if (stop_) {
                return;
            }
            mode = modes_[job.item];
        }
        lock.Unlock();

        PackResult result;
        if (mode == Mode::Failed) {
            result.failure = item.fullPath + ": not packed";
        } else {
            try {
                Make(job, item, mode, deflater, result);
            } catch (const std::exception& e) {
                result.failure = item.fullPath + ": " + e.what();
            }
        }

        lock.Lock();
        if (job.first && (modes_[job.item] == Mode::Unknown || !result.failure.empty())) {
            modes_[job.item] = !result.failure.empty() ? Mode::Failed
                               : result.stored         ? Mode::Store
                                                       : Mode::Libdeflate;
        }
        result.held = result.data.Capacity() + 4096;
        reserved_ = reserved_ - job.reserve + result.held;
        result.ready = true;
        results_[index] = std::move(result);
        const bool wake = waiting_ && WaitOver();
        lock.Unlock();
        workCv_.notify_all();
        if (wake) {
            doneCv_.notify_one();
        }
    }
}

void PackPipeline::Make(const PackJob& job, const PackItem& item, Mode mode,
                        deflate::Deflater& deflater, PackResult& result) {
    auto changed = [&] {
        result.failure = item.fullPath + ": the file changed while it was packed";
    };
    // Not blocking: should a pipe have been put in the file's place since the walk, opening
    // it must not wait for a writer (reading it then comes up short, a change).
    Fd fd(::openat(item.At(), item.Name(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) {
        result.failure = item.fullPath + ": cannot open: " + SystemReason(errno);
        return;
    }
    // A file changed since the walk is found by the check by name at the entry's end (size
    // and time); a file read whole relies on it alone, while a large file is also looked at
    // here and after its last chunk, so that a change stops it before all its chunks are
    // deflated. Two system calls fewer for each small file are a few percent of a pack of
    // many small files.
    if (job.first && job.chunked) {
        struct stat st {};
        if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<uint64_t>(st.st_size) != item.size) {
            changed();
            return;
        }
    }
    if (job.chunked && !job.last) {
        // Have the disk read the next pieces while this one is deflated: without it every
        // piece of a file not in memory would wait for its own read.
        ::posix_fadvise(fd.Get(), static_cast<off_t>(job.offset + job.length),
                        static_cast<off_t>(2 * kPackChunk), POSIX_FADV_WILLNEED);
    }
    // A later chunk that zlib deflates is read with the end of the chunk before it, its
    // dictionary. Should the file change between that read and the previous chunk's, the
    // entry no longer inflates to its CRC: the check by name at the entry's end reports the
    // change, and the check of the whole archive refuses it in any case.
    const size_t before = mode == Mode::Zlib ? deflate::kDictionary : 0;
    Buffer input = TakeBuffer(before + job.length);
    const ssize_t n = ReadAt(fd.Get(), input.Data(), before + job.length, job.offset - before);
    if (n < 0) {
        result.failure = item.fullPath + ": cannot read: " + SystemReason(errno);
        return;
    }
    if (static_cast<size_t>(n) != before + job.length) {
        changed();
        return;
    }
    if (job.last && job.chunked) {
        uint8_t beyond = 0;
        if (ReadAt(fd.Get(), &beyond, 1, item.size) != 0) {
            changed();
            return;
        }
    }
    input.SetSize(before + job.length);
    const uint8_t* own = input.Data() + before;
    result.crc = deflate::Crc32(0, own, job.length);

    if (!job.chunked) {
        // A whole file: small ones are simply deflated, larger ones first tried on
        // their first block; a file that does not shrink is stored.
        Buffer out = TakeBuffer(job.length);
        const deflate::Method method =
            job.length <= deflate::kTrialBlock
                ? deflate::Method::Libdeflate
                : deflater.Choose(own, job.length, job.length >= deflate::kCompareMinimum);
        const size_t size = method == deflate::Method::Store ? 0
                            : method == deflate::Method::Zlib
                                ? deflater.ZlibWhole(own, job.length, out)
                                : deflater.Whole(own, job.length, out);
        if (size > 0) {
            result.data = std::move(out);
            KeepBuffer(std::move(input));
        } else {
            KeepBuffer(std::move(out));
            result.stored = true;
            result.data = std::move(input);
        }
        return;
    }
    if (job.first) {
        // The later pieces of this file wait for the trial: tell them now, not after the
        // whole chunk is deflated.
        switch (deflater.Choose(own, job.length, true)) {
            case deflate::Method::Store:
                mode = Mode::Store;
                break;
            case deflate::Method::Zlib:
                mode = Mode::Zlib;
                break;
            case deflate::Method::Libdeflate:
                mode = Mode::Libdeflate;
                break;
        }
        {
            MutexLock lock(mutex_);
            modes_[job.item] = mode;
        }
        workCv_.notify_all();
    }
    result.stored = mode == Mode::Store;
    if (result.stored) {
        result.data = std::move(input);
        return;
    }
    Buffer out = TakeBuffer(deflate::ChunkBound(job.length));
    if (mode == Mode::Zlib) {
        deflater.ZlibChunk(own, before, job.length, job.last, out);
    } else {
        deflater.Chunk(own, job.length, job.last, out);
    }
    result.data = std::move(out);
    KeepBuffer(std::move(input));
}

}  // namespace vornback::archive_internal
