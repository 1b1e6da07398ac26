// The deflate pipeline of packing: worker threads read the files of a pack in pieces
// (small files whole, large ones in chunks) and deflate them, or keep them as they are when
// they are not worth deflating, ahead of libzip and within a fixed memory budget. Private
// to the archive folder.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive_internal.h"
#include "archive/deflate_chunks.h"
#include "base/thread_annotations.h"
#include "platform/posix.h"

namespace vornback::archive_internal {

// One file or folder of a pack, as the folder walk found it.
struct PackItem {
    std::string entryName;  // relative, "/" separators, folders end with "/"
    std::string fullPath;
    bool isFolder = false;
    uint64_t size = 0;
    int64_t mtime = 0;
    struct timespec mtimeExact {};  // to tell a file changed since the folder was read
    // The folder a file lies in, held open since the walk, and the file's name in it: the
    // file is opened and looked at through the folder, without a path lookup each time and
    // without following a link swapped in for a folder on the way. Null beyond the walk's
    // allowance of open folders; the full path serves then.
    std::shared_ptr<const Fd> folder;
    std::string name;

    // Where to open or look at the file: the folder and name, or the full path.
    int At() const { return folder ? folder->Get() : AT_FDCWD; }
    const char* Name() const { return folder ? name.c_str() : fullPath.c_str(); }
};

// One piece of work: a whole file, or one chunk of a large one.
struct PackJob {
    size_t item = 0;      // index into the pack items
    uint64_t offset = 0;  // where the piece starts in the file
    size_t length = 0;    // bytes of the file it covers
    bool chunked = false;
    bool first = false;  // the first piece of its file
    bool last = false;   // the last piece of its file
    size_t reserve = 0;  // memory taken from the budget while it is worked on
};

// What a worker hands to libzip for one piece.
struct PackResult {
    bool ready = false;
    bool stored = false;  // the file is stored, not deflated (decided by its first piece)
    uint32_t crc = 0;     // of the piece's own bytes
    Buffer data;          // the bytes for the archive: deflated, or the file's own
    std::string failure;  // set when the piece could not be made
    size_t held = 0;      // memory it holds from the budget until released
};

// Worker threads that read and deflate the pieces in order, ahead of libzip, as far as the
// memory budget allows. The items come in from the folder walk while the workers already
// run, so that reading and deflating overlap the walk. Pieces are started in entry order, so
// the oldest piece not yet taken by libzip is always started first and the budget can never
// lock up. The calling thread waits for each piece in turn and releases it when libzip has
// copied it.
class PackPipeline {
  public:
    PackPipeline() = default;

    // Starts the workers; they wait for pieces until Close(). Not done in the constructor:
    // when a thread cannot be started (std::system_error), the pipeline is whole, so its
    // destructor stops and joins those already running while the failure goes on.
    void Start(unsigned threads);

    ~PackPipeline() { Stop(); }

    PackPipeline(const PackPipeline&) = delete;
    PackPipeline& operator=(const PackPipeline&) = delete;

    // Adds the next item in entry order, and its pieces for the workers.
    void Add(PackItem item) EXCLUDES(mutex_);
    // No item comes after this: workers with nothing left end.
    void Close() EXCLUDES(mutex_);

    // The items, their pieces and the pieces' results are read from here on only after
    // Close(), on the calling thread: nothing changes them any more, so no lock is needed.
    const std::deque<PackItem>& Items() const NO_THREAD_SAFETY_ANALYSIS { return items_; }
    size_t FirstJob(size_t item) const NO_THREAD_SAFETY_ANALYSIS { return firstJob_[item]; }
    size_t JobEnd(size_t item) const NO_THREAD_SAFETY_ANALYSIS { return jobEnd_[item]; }
    const PackJob& Job(size_t job) const NO_THREAD_SAFETY_ANALYSIS { return jobs_[job]; }

    // Waits for a piece, calling idle every tick while it waits; null when idle returned
    // false (cancelled).
    PackResult* Wait(size_t job, const std::function<bool()>& idle) EXCLUDES(mutex_);

    // Gives a piece's memory back once libzip has copied it.
    void Release(size_t job) EXCLUDES(mutex_);

  private:
    enum class Mode { Unknown, Libdeflate, Zlib, Store, Failed };

    void Stop() EXCLUDES(mutex_);

    // Whether the calling thread, waiting for waitFor_, is to go on. Under the lock.
    bool WaitOver() const REQUIRES(mutex_);

    void Work() EXCLUDES(mutex_);

    // Reads a piece and deflates it, or keeps it as it is when the file is stored.
    void Make(const PackJob& job, const PackItem& item, Mode mode, deflate::Deflater& deflater,
              PackResult& result) EXCLUDES(mutex_);

    // Large buffers go back to a pool for the next piece instead of to the system: fresh
    // pages for every chunk (mapped, faulted in, zeroed, unmapped) cost more system time
    // than a quarter of the deflate. The pool and the pieces in flight stay within the
    // budget together.
    Buffer TakeBuffer(size_t capacity) EXCLUDES(mutex_);
    void KeepBuffer(Buffer buffer) EXCLUDES(mutex_);

    // Deques, so that what a worker holds on to stays in place while the walk adds more;
    // indexed under the lock until Close().
    Mutex mutex_;
    std::deque<PackItem> items_ GUARDED_BY(mutex_);
    std::deque<PackJob> jobs_ GUARDED_BY(mutex_);
    std::deque<size_t> firstJob_ GUARDED_BY(mutex_);  // per item
    std::deque<size_t> jobEnd_ GUARDED_BY(mutex_);    // per item: one past its last piece

    std::condition_variable workCv_;  // workers: a piece added, budget freed, a mode decided, stop
    std::condition_variable doneCv_;  // calling thread: a piece is ready
    std::deque<PackResult> results_ GUARDED_BY(mutex_);
    std::deque<Mode> modes_ GUARDED_BY(mutex_);  // per item
    bool closed_ GUARDED_BY(mutex_) = false;     // every item added
    size_t next_ GUARDED_BY(mutex_) = 0;
    size_t reserved_ GUARDED_BY(mutex_) = 0;
    bool waiting_ GUARDED_BY(mutex_) = false;  // the calling thread sleeps until WaitOver()
    size_t waitFor_ GUARDED_BY(mutex_) = 0;
    // Large buffers not in use, each of kPooledCapacity, and their bytes.
    std::vector<Buffer> pool_ GUARDED_BY(mutex_);
    size_t pooled_ GUARDED_BY(mutex_) = 0;
    bool stop_ GUARDED_BY(mutex_) = false;
    std::vector<std::thread> workers_;
};

}  // namespace vornback::archive_internal
