// Reading archives: the checks every archive passes before anything is written, and the
// unpacking and verifying that inflate and create files on several worker threads while
// the calling thread reports progress and watches the cancel flag.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/deflate_chunks.h"
#include "archive/entry_names_internal.h"
#include "archive/unpack_checks.h"
#include "base/errors.h"
#include "base/temp_names.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using namespace archive_internal;

// How many bytes of whole-file work may be handed to the workers beyond what has been
// reported done. It bounds both the memory of entries held whole and how far the workers
// can run past a cancel.
constexpr uint64_t kUnpackLookahead = 32 * 1024 * 1024;
// Files from this size on are written back to the disk as soon as they are written.
constexpr uint64_t kEarlyWriteback = 64 * 1024;
// How much of a large file is written between two starts of its write-back.
constexpr uint64_t kWritebackStep = 16 * 1024 * 1024;
// The most memory the workers keep between entries, together.
constexpr size_t kUnpackKept = 48 * 1024 * 1024;
// The most entries handed out at once.
constexpr size_t kUnpackQueue = 64;
constexpr auto kWaitTick = std::chrono::milliseconds(50);

// Thrown in a worker that stops because an earlier entry failed or the run was cancelled;
// the run reports the real reason instead.
struct Abandoned {};

// Whether the worker on one entry is to give it up: after a cancel, or when an entry
// before it failed. Entries before a failed one are finished, as they would have been
// when unpacking one after the other.
struct StopCheck {
    const std::atomic<size_t>* failedAt = nullptr;
    const std::atomic<bool>* all = nullptr;
    size_t file = 0;
    bool operator()() const {
        return all->load(std::memory_order_relaxed) ||
               failedAt->load(std::memory_order_relaxed) < file;
    }
};

// A worker's buffers, kept from one entry to the next: fresh pages for every file (mapped,
// faulted in, zeroed, unmapped) cost more system time than the inflating. What all workers
// keep stays within the run's allowance (kUnpackKept); beyond it they are given back.
struct Scratch {
    Buffer packed;  // the compressed bytes of an entry held whole, or a piece of one streamed
    Buffer out;     // the inflated bytes
};

// Makes sure buffer holds at least capacity bytes; its contents do not matter.
void Fit(Buffer& buffer, size_t capacity) {
    if (buffer.Capacity() < capacity) {
        buffer = Buffer();
        buffer = Buffer(capacity);
    }
}

// Reads one entry to its end, handing each piece to sink, and checks its size and CRC.
// Deflated entries held whole are inflated by libdeflate in one call; larger ones are
// inflated by zlib a chunk at a time; stored ones are read as they lie. Any other method
// goes through libzip's own inflater. Throws ArchiveError naming the entry,
// ArchiveCancelled, or Abandoned when stop is set.
template <typename Sink>
void ReadEntryData(const ReadArchive& archive, const ReadEntry& entry, deflate::Inflater& inflater,
                   Scratch& scratch, const std::atomic<bool>* cancel, const StopCheck& stop,
                   Sink&& sink) {
    auto checkStop = [&] {
        if (stop()) {
            throw Abandoned{};
        }
        if (Cancelled(cancel)) {
            throw ArchiveCancelled("unpacking cancelled");
        }
    };
    checkStop();
    const bool deflated = entry.method == ZIP_CM_DEFLATE;
    const bool raw = deflated || entry.method == ZIP_CM_STORE;
    zip_file_t* file = zip_fopen_index(archive.Get(), entry.index, raw ? ZIP_FL_COMPRESSED : 0);
    if (file == nullptr) {
        archive.Fail(entry.name, std::string("cannot read: ") + zip_strerror(archive.Get()));
    }
    std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> closer(file, zip_fclose);
    auto read = [&](uint8_t* data, size_t length) {
        const zip_int64_t n = zip_fread(file, data, length);
        if (n < 0) {
            const zip_error_t* error = zip_file_get_error(file);
            switch (zip_error_code_zip(error)) {
                case ZIP_ER_CRC:
                    archive.Fail(entry.name, "CRC error");
                case ZIP_ER_COMPRESSED_DATA:
                    archive.Fail(entry.name, "damaged compressed data");
                default:
                    archive.Fail(entry.name, zip_file_strerror(file));
            }
        }
        return static_cast<size_t>(n);
    };

    if (deflated && entry.size <= kWholeFileLimit &&
        entry.compressedSize <= kWholeFileLimit + kWholeFileLimit / 8) {
        Buffer& packed = scratch.packed;
        Fit(packed, std::max<size_t>(static_cast<size_t>(entry.compressedSize), 1));
        const auto want = static_cast<size_t>(entry.compressedSize);
        size_t got = 0;
        while (got < want) {
            const size_t n = read(packed.Data() + got, want - got);
            if (n == 0) {
                archive.Fail(entry.name, "truncated data");
            }
            got += n;
        }
        checkStop();
        const auto size = static_cast<size_t>(entry.size);
        Fit(scratch.out, std::max<size_t>(size, 1));
        switch (inflater.Whole(packed.Data(), got, scratch.out, size)) {
            case deflate::Inflater::Result::Ok:
                break;
            case deflate::Inflater::Result::TooLong:
                archive.Fail(entry.name, "more data than its stored size");
            case deflate::Inflater::Result::TooShort:
                archive.Fail(entry.name, "truncated data");
            case deflate::Inflater::Result::Damaged:
                archive.Fail(entry.name, "damaged compressed data");
        }
        if (deflate::Crc32(0, scratch.out.Data(), size) != entry.crc) {
            archive.Fail(entry.name, "CRC error");
        }
        sink(reinterpret_cast<const char*>(scratch.out.Data()), size);
        return;
    }

    Buffer& piece = scratch.packed;
    Fit(piece, kChunkSize);
    uint64_t total = 0;
    uint32_t crc = 0;
    auto take = [&](const uint8_t* data, size_t n) {
        total += n;
        if (total > entry.size) {
            archive.Fail(entry.name, "more data than its stored size");
        }
        crc = deflate::Crc32(crc, data, n);
        sink(reinterpret_cast<const char*>(data), n);
    };
    if (deflated) {
        Fit(scratch.out, kChunkSize);
        using Stream = deflate::Inflater::Stream;
        inflater.Start();
        Stream state = Stream::More;
        for (;;) {
            checkStop();
            const size_t n = read(piece.Data(), kChunkSize);
            if (n == 0) {
                break;
            }
            // Bytes after the end of the stream, or bytes that are not deflate.
            if (state == Stream::Ended ||
                (state = inflater.Feed(piece.Data(), n, scratch.out, take)) == Stream::Damaged) {
                archive.Fail(entry.name, "damaged compressed data");
            }
        }
        if (state != Stream::Ended) {
            archive.Fail(entry.name, "truncated data");
        }
    } else {
        for (;;) {
            checkStop();
            const size_t n = read(piece.Data(), kChunkSize);
            if (n == 0) {
                break;
            }
            take(piece.Data(), n);
        }
    }
    if (total != entry.size) {
        archive.Fail(entry.name, "truncated data");
    }
    if (crc != entry.crc) {
        archive.Fail(entry.name, "CRC error");
    }
}

// Whether a worker's own handle shows the entry the checked directory listed: the file
// must not have been swapped between the two opens.
bool SameEntry(const ReadArchive& archive, const ReadEntry& entry) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive.Get(), entry.index, 0, &st) != 0 ||
        (st.valid & ZIP_STAT_NAME) == 0) {
        return false;
    }
    return entry.name == st.name && ((st.valid & ZIP_STAT_SIZE) == 0 ? 0 : st.size) == entry.size &&
           ((st.valid & ZIP_STAT_CRC) == 0 ? 0 : st.crc) == entry.crc &&
           ((st.valid & ZIP_STAT_COMP_SIZE) == 0 ? 0 : st.comp_size) == entry.compressedSize &&
           ((st.valid & ZIP_STAT_COMP_METHOD) == 0 ? ZIP_CM_STORE : st.comp_method) == entry.method;
}

// ---------------------------------------------------------------------------------------
// Unpacking

// Sizes in a sentence: megabytes with one decimal.
std::string Megabytes(uint64_t bytes) {
    const uint64_t tenths = (bytes * 10 + 512 * 1024) / (1024 * 1024);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}

// The free bytes of the file system that holds path, or of its nearest existing parent.
uint64_t FreeSpace(const std::string& path) {
    fs::path at = fs::absolute(path);
    std::error_code ec;
    while (!fs::exists(at, ec) && at.has_parent_path() && at != at.parent_path()) {
        at = at.parent_path();
    }
    struct statvfs vfs {};
    if (::statvfs(at.c_str(), &vfs) != 0) {
        return UINT64_MAX;  // unknown: the writes will tell
    }
    return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

// A failure of the destination (not of the archive) as one plain sentence naming the folder
// the person chose: what could not be done, why, and what to try.
[[noreturn]] void ThrowDestinationFailure(const std::string& shown, const std::string& what,
                                          int error, uint64_t needed) {
    const std::string start = "Could not unpack the archive into " + shown;
    switch (error) {
        case ENOSPC:
            throw FileSystemError(start + ": the disk is full (" + Megabytes(needed) + " needed, " +
                                  Megabytes(FreeSpace(shown)) +
                                  " free); free some space or choose a folder on another disk.");
        case EDQUOT:
            throw FileSystemError(start + ": the disk quota is used up (" + Megabytes(needed) +
                                  " needed); free some space or choose another folder.");
        case EXDEV:
            throw FileSystemError(start + ": " + what +
                                  " would cross onto another file system; choose a folder on "
                                  "the same disk.");
        case EACCES:
        case EPERM:
        case EROFS:
            throw FileSystemError(start + ": " + what + " is not allowed (" + SystemReason(error) +
                                  "); choose a folder you may write to.");
        case 0:
            throw FileSystemError(start + ": " + what + "; move it away or choose another folder.");
        default:
            throw FileSystemError(start + ": " + what + " failed (" + SystemReason(error) +
                                  "); check the disk and try again.");
    }
}

// Where a run writes: the real folder, the folder the person chose (the same, or the one a
// whole unpack renames into place at the end) and the bytes the files need.
struct Target {
    std::string folder;
    std::string shown;
    uint64_t needed = 0;
    // The folder was missing or empty: no file of its own can be damaged, so files are
    // written under their own names at once (a failure removes them all the same) instead
    // of under temporary ones renamed at the end.
    bool fresh = false;
};

// A file written under its temporary name (or its own, see Target::fresh), waiting to be
// renamed to its own.
struct Pending {
    const ReadEntry* entry = nullptr;
    std::string tempName;
};

// Writes below the destination folder only: every folder is opened from the destination
// down, one component at a time, without following links, so a link placed in the
// destination (or swapped in while unpacking) can never lead a write out of it.
// Each worker has its own, all on one open root folder.
class Destination {
  public:
    Destination(const Target& target, int rootFd) : target_(target), rootFd_(rootFd) {}

    // Creates the destination folder and its parents where missing and opens it.
    static Fd OpenRoot(const Target& target) {
        std::error_code ec;
        fs::create_directories(target.folder, ec);
        if (ec) {
            ThrowDestinationFailure(target.shown, "creating the folder", ec.value(), target.needed);
        }
        Fd fd(::open(target.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd.Valid()) {
            ThrowDestinationFailure(target.shown, "opening the folder", errno, target.needed);
        }
        return fd;
    }

    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    // The folder made of the first count components, created where missing.
    int Folder(const std::vector<std::string>& parts, size_t count) {
        const std::string key = JoinParts(parts, count);
        if (count == 0) {
            return rootFd_;
        }
        if (key == cachedKey_ && cachedFd_.Valid()) {
            return cachedFd_.Get();
        }
        Fd current;
        int at = rootFd_;
        for (size_t i = 0; i < count; ++i) {
            const char* name = parts[i].c_str();
            if (::mkdirat(at, name, 0777) != 0 && errno != EEXIST) {
                Fail("creating the folder " + JoinParts(parts, i + 1), errno);
            }
            Fd next(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next.Valid()) {
                const int e = errno;
                if (e == ENOTDIR || e == ELOOP) {
                    Fail("a file or link is in the way of the folder " + JoinParts(parts, i + 1),
                         0);
                }
                Fail("opening the folder " + JoinParts(parts, i + 1), e);
            }
            current = std::move(next);
            at = current.Get();
        }
        cachedKey_ = key;
        cachedFd_ = std::move(current);
        return cachedFd_.Get();
    }

    // Writes one file under a temporary name in its folder and gives that name back; the
    // file is renamed into place only once every file is written and synced (Place). A
    // failure removes the file being written.
    template <typename Fill>
    std::string WriteFile(const ReadEntry& entry, Fill&& fill) {
        const int folder = Folder(entry.parts, entry.parts.size() - 1);
        const std::string relative = JoinParts(entry.parts, entry.parts.size());
        Fd out;
        for (int attempt = 0; attempt < 100 && !out.Valid(); ++attempt) {
            tempName_ = target_.fresh ? entry.parts.back() : temp_names::UnpackTemporaryFileName();
            out = Fd(::openat(folder, tempName_.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
            if (!out.Valid() && (errno != EEXIST || target_.fresh)) {
                tempName_.clear();
                Fail("creating " + relative, errno);
            }
        }
        if (!out.Valid()) {
            tempName_.clear();
            Fail("creating " + relative, EEXIST);
        }
        tempFolder_ = folder;
        uint64_t done = 0;
        uint64_t started = 0;  // the write-back has been started up to here
        fill([&](const char* data, size_t length) {
            if (const int err = WriteAll(out.Get(), data, length); err != 0) {
                Fail("writing " + relative, err);
            }
            // A large file's write-back goes along as it is written, so that the disk
            // works while the rest is inflated.
            done += length;
            if (done - started >= kWritebackStep) {
                ::sync_file_range(out.Get(), static_cast<off_t>(started),
                                  static_cast<off_t>(done - started), SYNC_FILE_RANGE_WRITE);
                started = done;
            }
        });
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(entry.mtime);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        ::futimens(out.Get(), times);  // best effort: a file system may refuse old times
        // Start the write-back of a large file now, so that the disk works while the
        // workers inflate and the one sync at the end finds little left to do. Small files
        // are left to that sync: one start per file costs more than their bytes (a call
        // into the disk driver each), where the sync writes them out together.
        if (entry.size >= kEarlyWriteback) {
            ::sync_file_range(out.Get(), static_cast<off_t>(started), 0, SYNC_FILE_RANGE_WRITE);
        }
        if (out.Close() != 0) {
            Fail("writing " + relative, errno);
        }
        std::string written = std::move(tempName_);
        tempName_.clear();
        return written;
    }

    // Renames a written file over its own name.
    void Place(const Pending& pending) {
        const ReadEntry& entry = *pending.entry;
        const int folder = Folder(entry.parts, entry.parts.size() - 1);
        if (::renameat(folder, pending.tempName.c_str(), folder, entry.parts.back().c_str()) != 0) {
            const int e = errno;
            const std::string relative = JoinParts(entry.parts, entry.parts.size());
            if (e == EISDIR || e == ENOTEMPTY || e == EEXIST) {
                Fail("a folder is in the way of the file " + relative, 0);
            }
            Fail("putting " + relative + " in place", e);
        }
    }

    // Removes a written file that is not to be placed; best effort, as it runs after a
    // failure that is already on its way.
    void Remove(const Pending& pending) {
        const ReadEntry& entry = *pending.entry;
        if (entry.parts.size() > 1) {
            const std::string key = JoinParts(entry.parts, entry.parts.size() - 1);
            if (key != cachedKey_ || !cachedFd_.Valid()) {
                Fd fd(::openat(rootFd_, key.c_str(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                cachedKey_ = key;
                cachedFd_ = std::move(fd);
            }
            if (cachedFd_.Valid()) {
                ::unlinkat(cachedFd_.Get(), pending.tempName.c_str(), 0);
            }
        } else {
            ::unlinkat(rootFd_, pending.tempName.c_str(), 0);
        }
    }

    // Sets a stored folder time; best effort, as a file system may refuse it.
    void SetFolderTime(const std::vector<std::string>& parts, int64_t mtime) {
        const int folder = Folder(parts, parts.size());
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(mtime);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        ::futimens(folder, times);
    }

    // Removes the file being written, if any (after a failure or a cancel).
    void DropTemporary() {
        if (!tempName_.empty()) {
            ::unlinkat(tempFolder_, tempName_.c_str(), 0);
            tempName_.clear();
        }
    }

  private:
    [[noreturn]] void Fail(const std::string& what, int error) {
        DropTemporary();
        ThrowDestinationFailure(target_.shown, what, error, target_.needed);
    }

    const Target& target_;
    int rootFd_ = -1;
    std::string cachedKey_;
    Fd cachedFd_;
    int tempFolder_ = -1;
    std::string tempName_;
};

// Flushes everything written on the destination's file system to the disk. One syncfs
// stands for an fsync of every file and folder written: on this kind of disk each fsync
// costs milliseconds, which for thousands of small files would cost more than the unpack.
void SyncDestination(int rootFd, const Target& target) {
    if (::syncfs(rootFd) != 0) {
        ThrowDestinationFailure(target.shown, "writing to the disk", errno, target.needed);
    }
}

// Before the first write: what already lies at the destination must not be in the way (a
// folder where a file goes, a file or link where a folder goes), and the files must fit in
// the free space of the destination, or of its nearest existing parent when it is still
// to be made.
void CheckDestination(const Target& target, const std::vector<ReadEntry>& entries) {
    if (target.needed > FreeSpace(target.folder)) {
        ThrowDestinationFailure(target.shown, "", ENOSPC, target.needed);
    }
    std::error_code ec;
    if (!fs::exists(target.folder, ec)) {
        return;
    }
    if (!fs::is_directory(target.folder, ec)) {
        ThrowDestinationFailure(target.shown, "it is a file, not a folder", 0, target.needed);
    }
    if (fs::is_empty(target.folder, ec)) {
        return;  // nothing can be in the way
    }
    std::set<std::string> checked;
    for (const ReadEntry& entry : entries) {
        const size_t folders = entry.isFolder ? entry.parts.size() : entry.parts.size() - 1;
        std::string relative;
        bool missing = false;
        for (size_t i = 0; i < entry.parts.size() && !missing; ++i) {
            relative += (i > 0 ? "/" : "") + entry.parts[i];
            const bool wantFolder = i < folders;
            if (!checked.insert(relative + (wantFolder ? "/" : "")).second) {
                continue;
            }
            struct stat st {};
            const std::string full = target.folder + "/" + relative;
            if (::lstat(full.c_str(), &st) != 0) {
                missing = true;  // nothing below can be in the way
            } else if (wantFolder && !S_ISDIR(st.st_mode)) {
                ThrowDestinationFailure(target.shown,
                                        "a file or link is in the way of the folder " + relative, 0,
                                        target.needed);
            } else if (!wantFolder && S_ISDIR(st.st_mode)) {
                ThrowDestinationFailure(target.shown,
                                        "a folder is in the way of the file " + relative, 0,
                                        target.needed);
            }
        }
    }
}

// Inflates and writes the file entries below the destination (or, for a verify, only
// reads and checks them) on worker threads, each with its own handle on the archive. The
// calling thread hands the entries out in order, never more than kUnpackLookahead bytes of
// whole-entry work beyond what it has reported done, reports progress at least every tick
// and watches the cancel flag. The first failure stops the run; a worker that stops
// removes the file it was writing.
class ReadRun {
  public:
    ReadRun(const std::string& archivePath, const std::vector<ReadEntry>& entries,
            const UnpackOptions& options, const Target* target, int rootFd)
        : archivePath_(archivePath), options_(options), target_(target), rootFd_(rootFd) {
        for (const ReadEntry& entry : entries) {
            if (!entry.isFolder) {
                files_.push_back(&entry);
            }
        }
        progress_ = ReadTotals(entries);
    }

    // Runs to the end; throws the failure of the earliest entry that failed, or
    // ArchiveCancelled.
    void Run() {
        const auto threads = static_cast<unsigned>(
            std::min<size_t>(WorkerThreads(options_.threads), std::max<size_t>(files_.size(), 1)));
        std::vector<std::thread> workers;
        auto stopAll = [&] {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                stop_ = true;
            }
            workCv_.notify_all();
            for (std::thread& worker : workers) {
                worker.join();
            }
            workers.clear();
        };
        // Whatever way Run is left, the workers are stopped and joined first.
        // Once half the files are written, one syncfs starts writing them out beside the
        // workers, so that the one at the end finds only the other half left.
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
                    std::unique_lock<std::mutex> lock(mutex_);
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
                    doneCv_.wait_for(lock, kWaitTick, [&] { return stop_ || wake_; });
                    wake_ = false;
                }
                Report();
                if (target_ != nullptr && !earlySync.joinable() &&
                    filesDone_.load() * 2 >= files_.size()) {
                    earlySync = std::thread([fd = rootFd_] { ::syncfs(fd); });
                }
                if (Cancelled(options_.cancel)) {
                    cancelled = true;
                    abandonAll_ = true;
                    break;
                }
            }
            stopAll();
            if (failure_) {
                std::rethrow_exception(failure_->second);
            }
            if (cancelled) {
                throw ArchiveCancelled("unpacking cancelled");
            }
        }
        Report();
    }

    // The files written under their temporary names, waiting to be placed (or removed).
    std::vector<Pending>& Written() { return written_; }

    void FinalReport() {
        if (options_.progress) {
            progress_.currentName.clear();
            options_.progress(progress_);
        }
    }

  private:
    // What an entry counts for against the lookahead: entries read whole count whole, as
    // they are not stopped midway; streamed ones look at the cancel flag every chunk.
    static uint64_t Weight(const ReadEntry& entry) {
        const bool whole = entry.method == ZIP_CM_DEFLATE && entry.size <= kWholeFileLimit;
        return whole ? std::max<uint64_t>(entry.size, 1)
                     : std::clamp<uint64_t>(entry.size, 1, kChunkSize);
    }

    // Keeps a worker's buffers for its next entry while all workers keep no more than
    // kUnpackKept together; kept is what they counted for so far.
    void Keep(Scratch& scratch, size_t& kept) {
        const size_t now = scratch.packed.Capacity() + scratch.out.Capacity();
        if (kept_.fetch_add(now - kept) + now - kept > kUnpackKept) {
            kept_.fetch_sub(now);
            scratch = Scratch();
            kept = 0;
            return;
        }
        kept = now;
    }

    void Report() {
        progress_.bytesDone = bytesDone_.load();
        progress_.filesDone = filesDone_.load();
        if (!files_.empty()) {
            progress_.currentName = files_[lastStarted_.load()]->name;
        }
        if (options_.progress) {
            options_.progress(progress_);
        }
    }

    void Record(size_t file, std::exception_ptr error) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
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

    void Work(unsigned threads) {
        std::optional<ReadArchive> archive;
        std::optional<Destination> destination;
        try {
            archive.emplace(archivePath_, false);
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
                std::unique_lock<std::mutex> lock(mutex_);
                workCv_.wait(lock, [&] { return stop_ || !queue_.empty() || noMore_; });
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
                auto read = [&](auto&& sink) {
                    const StopCheck stop{&failedAt_, &abandonAll_, file};
                    ReadEntryData(*archive, entry, inflater, scratch, options_.cancel, stop, sink);
                };
                if (destination) {
                    std::string written = destination->WriteFile(entry, [&](auto write) {
                        read([&](const char* data, size_t length) {
                            write(data, length);
                            bytesDone_.fetch_add(length, std::memory_order_relaxed);
                        });
                    });
                    std::lock_guard<std::mutex> lock(mutex_);
                    written_.push_back(Pending{&entry, std::move(written)});
                } else {
                    read([&](const char*, size_t length) {
                        bytesDone_.fetch_add(length, std::memory_order_relaxed);
                    });
                }
            } catch (const Abandoned&) {
                if (destination) {
                    destination->DropTemporary();
                }
                return;
            } catch (const std::exception&) {
                // Carried to the calling thread, which throws it again (an exception may
                // not leave a thread); the worker stops.
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
                std::lock_guard<std::mutex> lock(mutex_);
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

    const std::string& archivePath_;
    const UnpackOptions& options_;
    const Target* target_;
    int rootFd_;
    std::vector<const ReadEntry*> files_;
    ArchiveProgress progress_;

    std::mutex mutex_;
    std::condition_variable workCv_;  // workers: entries handed out, no more, stop
    std::condition_variable doneCv_;  // calling thread: the queue runs low, a failure
    std::deque<size_t> queue_;
    size_t next_ = 0;
    uint64_t outstanding_ = 0;
    size_t inFlight_ = 0;
    bool noMore_ = false;
    bool stop_ = false;
    bool wake_ = false;
    std::atomic<size_t> failedAt_{SIZE_MAX};  // the earliest entry that failed
    std::atomic<bool> abandonAll_{false};     // cancelled: every worker stops
    std::optional<std::pair<size_t, std::exception_ptr>> failure_;
    std::atomic<uint64_t> bytesDone_{0};
    std::atomic<uint64_t> filesDone_{0};
    std::atomic<size_t> lastStarted_{0};
    std::atomic<size_t> kept_{0};   // the buffers the workers keep between entries
    std::vector<Pending> written_;  // guarded by mutex_ while the workers run
};

}  // namespace

namespace {

// Unpacks into target.folder; see UnpackArchive.
void UnpackInto(const std::string& archivePath, const Target& given, const UnpackOptions& options) {
    ReadArchive archive(archivePath);
    const std::vector<ReadEntry> entries = CheckedEntries(archive);
    Target target = given;
    target.needed = ReadTotals(entries).bytesTotal;
    CheckDestination(target, entries);
    std::error_code ec;
    target.fresh = !fs::exists(target.folder, ec) || fs::is_empty(target.folder, ec);

    const Fd root = Destination::OpenRoot(target);
    Destination destination(target, root.Get());
    // Folders first, on this thread: the stored ones and those the files need.
    for (const ReadEntry& entry : entries) {
        destination.Folder(entry.parts,
                           entry.isFolder ? entry.parts.size() : entry.parts.size() - 1);
    }
    ReadRun run(archivePath, entries, options, &target, root.Get());
    // Files written but not placed are removed whatever way this is left early.
    struct Cleanup {
        Destination& destination;
        std::vector<Pending>& written;
        ~Cleanup() {
            for (const Pending& pending : written) {
                destination.Remove(pending);
            }
        }
    } cleanup{destination, run.Written()};
    run.Run();

    // Every file is synced under its temporary name before any is renamed to its own, and
    // the renames are synced with the folders that received them.
    std::vector<Pending>& written = run.Written();
    if (target.fresh) {
        written.clear();  // already under their own names
    } else {
        std::sort(written.begin(), written.end(), [](const Pending& a, const Pending& b) {
            return a.entry->index < b.entry->index;
        });
        SyncDestination(root.Get(), target);
    }
    while (!written.empty()) {
        destination.Place(written.back());
        written.pop_back();
    }

    // Folder times last, deepest first, since writing into a folder changes its time.
    std::vector<const ReadEntry*> folders;
    for (const ReadEntry& entry : entries) {
        if (entry.isFolder) {
            folders.push_back(&entry);
        }
    }
    std::stable_sort(folders.begin(), folders.end(), [](const ReadEntry* a, const ReadEntry* b) {
        return a->parts.size() > b->parts.size();
    });
    for (const ReadEntry* folder : folders) {
        destination.SetFolderTime(folder->parts, folder->mtime);
    }
    SyncDestination(root.Get(), target);
    run.FinalReport();
}

}  // namespace

void UnpackArchive(const std::string& archivePath, const std::string& destFolder,
                   const UnpackOptions& options) {
    UnpackInto(archivePath, Target{destFolder, destFolder, 0}, options);
}

void UnpackArchiveWhole(const std::string& archivePath, const std::string& destFolder,
                        const UnpackOptions& options) {
    std::error_code ec;
    const bool exists = fs::exists(fs::symlink_status(destFolder, ec));
    if (exists &&
        (!fs::is_directory(fs::symlink_status(destFolder, ec)) || !fs::is_empty(destFolder, ec))) {
        throw FileSystemError("Could not unpack the archive into " + destFolder +
                              ": it already holds something; choose a new or empty folder.");
    }
    fs::path dest = fs::absolute(destFolder);
    if (!dest.has_filename()) {
        dest = dest.parent_path();  // a trailing separator
    }
    // The parents made here are removed again when the unpack fails.
    fs::path firstMade;
    for (fs::path at = dest.parent_path(); !fs::exists(at, ec) && at != at.parent_path();
         at = at.parent_path()) {
        firstMade = at;
    }
    fs::create_directories(dest.parent_path(), ec);
    if (ec) {
        ThrowDestinationFailure(destFolder, "creating its parent folder", ec.value(), 0);
    }
    const std::string temporary = temp_names::UnpackTemporaryFolder(dest.string());
    // Removes the temporary folder (or the first parent made here), and all below it,
    // unless it was renamed into place.
    struct Cleanup {
        std::string path;
        ~Cleanup() {
            if (!path.empty()) {
                std::error_code ignored;
                fs::remove_all(path, ignored);
                if (ignored) {
                    std::fprintf(stderr, "vornback: cannot remove %s: %s\n", path.c_str(),
                                 ignored.message().c_str());
                }
            }
        }
    } cleanup{firstMade.empty() ? temporary : firstMade.string()};
    if (::mkdir(temporary.c_str(), 0777) != 0) {
        ThrowDestinationFailure(destFolder, "creating the folder " + temporary, errno, 0);
    }
    UnpackInto(archivePath, Target{temporary, destFolder, 0}, options);
    if (exists && ::rmdir(dest.c_str()) != 0) {
        ThrowDestinationFailure(destFolder, "replacing the empty folder", errno, 0);
    }
    if (const int error = RenameNoReplaceAt(AT_FDCWD, temporary.c_str(), AT_FDCWD, dest.c_str());
        error != 0) {
        ThrowDestinationFailure(destFolder, "putting the unpacked folder in place", error, 0);
    }
    cleanup.path.clear();
    Fd parent(::open(dest.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.Valid() || ::fsync(parent.Get()) != 0) {
        ThrowDestinationFailure(destFolder, "writing its parent folder to the disk", errno, 0);
    }
}

void VerifyArchive(const std::string& archivePath, const UnpackOptions& options) {
    ReadArchive archive(archivePath);
    const std::vector<ReadEntry> entries = CheckedEntries(archive);
    ReadRun run(archivePath, entries, options, nullptr, -1);
    run.Run();
    run.FinalReport();
}

std::vector<ArchiveEntry> ListArchive(const std::string& archivePath) {
    ReadArchive archive(archivePath);
    std::vector<ArchiveEntry> result;
    const zip_uint64_t count = archive.Count();
    for (zip_uint64_t i = 0; i < count; ++i) {
        const zip_stat_t st = archive.Stat(i);
        ArchiveEntry entry;
        entry.name = st.name;
        std::replace(entry.name.begin(), entry.name.end(), '\\', '/');
        entry.isFolder = entry_names::NamesFolder(entry.name);
        entry.size = (st.valid & ZIP_STAT_SIZE) != 0 ? st.size : 0;
        entry.compressedSize = (st.valid & ZIP_STAT_COMP_SIZE) != 0 ? st.comp_size : 0;
        entry.crc = (st.valid & ZIP_STAT_CRC) != 0 ? st.crc : 0;
        entry.mtime = archive.MTime(i, st);
        result.push_back(std::move(entry));
    }
    return result;
}

}  // namespace vornback
