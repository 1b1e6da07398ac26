// The archive component's packing on top of libzip. The folder is walked and every entry
// added in sorted order; worker threads read and deflate the files ahead of libzip (whole
// files with libdeflate, large ones in chunks with zlib), or find them not worth deflating
// and leave them stored, within a fixed memory budget. libzip, inside zip_close() on the
// calling thread, takes each finished deflate stream as it is and writes the archive under
// a temporary name beside the target. The bytes of an archive depend on the files alone,
// never on the number of threads.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/deflate_chunks.h"
#include "archive/entry_names_internal.h"
#include "base/errors.h"
#include "base/temp_names.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using namespace archive_internal;

// The memory that read and deflated data waiting for libzip may take at once.
constexpr size_t kPackBudget = 64 * 1024 * 1024;
// How often the calling thread reports progress and checks the cancel flag while it waits
// for a worker.
constexpr auto kWaitTick = std::chrono::milliseconds(50);

// ---------------------------------------------------------------------------------------
// Packing

struct PackItem {
    std::string entryName;  // relative, "/" separators, folders end with "/"
    std::string fullPath;
    bool isFolder = false;
    uint64_t size = 0;
    int64_t mtime = 0;
    struct timespec mtimeExact {};  // to tell a file changed since the folder was read
};

bool ValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        if (c < 0x80) {
            extra = 0;
        } else if ((c & 0xE0u) == 0xC0u && c >= 0xC2) {
            extra = 1;
        } else if ((c & 0xF0u) == 0xE0u) {
            extra = 2;
        } else if ((c & 0xF8u) == 0xF0u && c <= 0xF4) {
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= text.size() && extra > 0) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0u) != 0x80u) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

bool Excluded(const std::string& relative, const std::vector<std::string>& patterns) {
    for (const std::string& pattern : patterns) {
        if (MatchesExclusion(relative, pattern)) {
            return true;
        }
    }
    return false;
}

// Collects the entries below a folder, depth first, each folder's children sorted by name,
// a folder's own entry before its contents. Links are neither stored nor followed: a link
// inside the firm folder may point anywhere (out of the firm, or back up into it), and a
// restore must never create one, so the backup holds only real files and folders; the
// links are listed in links for the caller to show. Other special files (pipes, devices,
// sockets) are left out for the same reason.
void CollectEntries(const std::string& folder, const std::string& prefix,
                    const PackOptions& options, std::vector<PackItem>& items,
                    std::vector<std::string>& links) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    if (ec) {
        throw ArchiveError(folder + ": cannot read folder: " + ec.message());
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (Cancelled(options.cancel)) {
            throw ArchiveCancelled("packing cancelled");
        }
        const std::string relative = prefix + name;
        const std::string full = folder + "/" + name;
        if (Excluded(relative, options.excludePatterns)) {
            continue;
        }
        struct stat st {};
        if (::lstat(full.c_str(), &st) != 0) {
            throw ArchiveError(full + ": cannot read: " + SystemReason(errno));
        }
        if (S_ISLNK(st.st_mode)) {
            links.push_back(relative);
            continue;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
            continue;  // a special file, see above
        }
        if (!ValidUtf8(name)) {
            throw ArchiveError(full + ": the name is not valid UTF-8 and cannot be stored");
        }
        PackItem item;
        item.fullPath = full;
        item.mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
        item.mtimeExact = st.st_mtim;
        if (S_ISDIR(st.st_mode)) {
            item.isFolder = true;
            item.entryName = relative + "/";
            items.push_back(item);
            CollectEntries(full, relative + "/", options, items, links);
        } else {
            item.entryName = relative;
            item.size = static_cast<uint64_t>(st.st_size);
            items.push_back(item);
        }
    }
}

// ---------------------------------------------------------------------------------------
// The deflate pipeline

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
// memory budget allows. Pieces are started in entry order, so the oldest piece not yet taken
// by libzip is always started first and the budget can never lock up. The calling thread
// waits for each piece in turn and releases it when libzip has copied it.
class PackPipeline {
  public:
    explicit PackPipeline(const std::vector<PackItem>& items) : items_(items) {
        for (size_t i = 0; i < items.size(); ++i) {
            const PackItem& item = items[i];
            if (item.isFolder) {
                continue;
            }
            firstJob_.resize(i + 1, 0);
            jobEnd_.resize(i + 1, 0);
            firstJob_[i] = jobs_.size();
            if (item.size <= kPackChunk) {
                PackJob job;
                job.item = i;
                job.length = static_cast<size_t>(item.size);
                job.first = job.last = true;
                job.reserve = 2 * job.length + 4096;
                jobs_.push_back(job);
                jobEnd_[i] = jobs_.size();
                continue;
            }
            for (uint64_t offset = 0; offset < item.size; offset += kPackChunk) {
                PackJob job;
                job.item = i;
                job.offset = offset;
                job.length =
                    static_cast<size_t>(std::min<uint64_t>(kPackChunk, item.size - offset));
                job.chunked = true;
                job.first = offset == 0;
                job.last = offset + job.length == item.size;
                job.reserve = 2 * job.length + 4096;
                jobs_.push_back(job);
            }
            jobEnd_[i] = jobs_.size();
        }
        firstJob_.resize(items.size(), 0);
        jobEnd_.resize(items.size(), 0);
        results_ = std::vector<PackResult>(jobs_.size());
        modes_.assign(items.size(), Mode::Unknown);
    }

    // Starts the workers. Not done in the constructor: when a thread cannot be started
    // (std::system_error), the pipeline is whole, so its destructor stops and joins those
    // already running while the failure goes on.
    void Start(unsigned threads) {
        for (unsigned t = 0; t < threads && !jobs_.empty(); ++t) {
            workers_.emplace_back([this] { Work(); });
        }
    }

    ~PackPipeline() { Stop(); }

    PackPipeline(const PackPipeline&) = delete;
    PackPipeline& operator=(const PackPipeline&) = delete;

    size_t FirstJob(size_t item) const { return firstJob_[item]; }
    size_t JobEnd(size_t item) const { return jobEnd_[item]; }
    const PackJob& Job(size_t job) const { return jobs_[job]; }

    // Waits for a piece, calling idle every tick while it waits; null when idle returned
    // false (cancelled).
    PackResult* Wait(size_t job, const std::function<bool()>& idle) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!results_[job].ready) {
            if (!doneCv_.wait_for(lock, kWaitTick, [&] { return results_[job].ready; })) {
                lock.unlock();
                const bool goOn = idle();
                lock.lock();
                if (!goOn) {
                    return nullptr;
                }
            }
        }
        return &results_[job];
    }

    // Gives a piece's memory back once libzip has copied it.
    void Release(size_t job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            PackResult& result = results_[job];
            reserved_ -= result.held;
            result.held = 0;
            result.data = Buffer();
        }
        workCv_.notify_all();
    }

  private:
    enum class Mode { Unknown, Deflate, Store, Failed };

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        workCv_.notify_all();
        for (std::thread& worker : workers_) {
            worker.join();
        }
        workers_.clear();
    }

    void Work() {
        deflate::Deflater deflater;
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            workCv_.wait(lock, [&] {
                return stop_ || next_ == jobs_.size() ||
                       reserved_ + jobs_[next_].reserve <= kPackBudget || reserved_ == 0;
            });
            if (stop_ || next_ == jobs_.size()) {
                return;
            }
            const size_t index = next_++;
            const PackJob& job = jobs_[index];
            reserved_ += job.reserve;
            Mode mode = Mode::Unknown;
            if (job.chunked && !job.first) {
                // The first piece of this file was started before this one; its trial
                // decides how the rest is packed.
                workCv_.wait(lock, [&] { return stop_ || modes_[job.item] != Mode::Unknown; });
                if (stop_) {
                    return;
                }
                mode = modes_[job.item];
            }
            lock.unlock();

            PackResult result;
            if (mode == Mode::Failed) {
                result.failure = items_[job.item].fullPath + ": not packed";
            } else {
                try {
                    Make(job, mode, deflater, result);
                } catch (const std::exception& e) {
                    result.failure = items_[job.item].fullPath + ": " + e.what();
                }
            }

            lock.lock();
            if (job.first) {
                modes_[job.item] = !result.failure.empty() ? Mode::Failed
                                   : result.stored         ? Mode::Store
                                                           : Mode::Deflate;
            }
            result.held = result.data.Capacity() + 4096;
            reserved_ = reserved_ - job.reserve + result.held;
            result.ready = true;
            results_[index] = std::move(result);
            lock.unlock();
            workCv_.notify_all();
            doneCv_.notify_all();
        }
    }

    // Reads a piece and deflates it, or keeps it as it is when the file is stored.
    void Make(const PackJob& job, Mode mode, deflate::Deflater& deflater, PackResult& result) {
        const PackItem& item = items_[job.item];
        auto changed = [&] {
            result.failure = item.fullPath + ": the file changed while it was packed";
        };
        Fd fd(::open(item.fullPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.Valid()) {
            result.failure = item.fullPath + ": cannot open: " + SystemReason(errno);
            return;
        }
        if (job.first) {
            struct stat st {};
            if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
                static_cast<uint64_t>(st.st_size) != item.size) {
                changed();
                return;
            }
        }
        Buffer input(job.length);
        const ssize_t n = ReadAt(fd.Get(), input.Data(), job.length, job.offset);
        if (n < 0) {
            result.failure = item.fullPath + ": cannot read: " + SystemReason(errno);
            return;
        }
        if (static_cast<size_t>(n) != job.length) {
            changed();
            return;
        }
        if (job.last) {
            uint8_t beyond = 0;
            if (ReadAt(fd.Get(), &beyond, 1, item.size) != 0) {
                changed();
                return;
            }
        }
        input.SetSize(job.length);
        const uint8_t* own = input.Data();
        result.crc = deflate::Crc32(0, own, job.length);

        if (!job.chunked) {
            // A whole file: small ones are simply deflated, larger ones first tried on
            // their first block; a file that does not shrink is stored.
            Buffer out;
            const bool tryIt =
                job.length <= deflate::kTrialBlock || deflater.WorthDeflating(own, job.length);
            if (tryIt && deflater.Whole(own, job.length, out) > 0) {
                result.data = std::move(out);
            } else {
                result.stored = true;
                result.data = std::move(input);
            }
            return;
        }
        result.stored = job.first ? !deflater.WorthDeflating(own, job.length) : mode == Mode::Store;
        if (result.stored) {
            result.data = std::move(input);
            return;
        }
        Buffer out;
        deflater.Chunk(own, job.length, job.last, out);
        result.data = std::move(out);
    }

    const std::vector<PackItem>& items_;
    std::vector<PackJob> jobs_;
    std::vector<size_t> firstJob_;  // per item
    std::vector<size_t> jobEnd_;    // per item: one past its last piece

    std::mutex mutex_;
    std::condition_variable workCv_;  // workers: budget freed, a mode decided, stop
    std::condition_variable doneCv_;  // calling thread: a piece is ready
    std::vector<PackResult> results_;
    std::vector<Mode> modes_;  // per item
    size_t next_ = 0;
    size_t reserved_ = 0;
    bool stop_ = false;
    std::vector<std::thread> workers_;
};

// ---------------------------------------------------------------------------------------
// Handing the pieces to libzip

// What the entry sources share: the pipeline, the progress so far, the cancel flag and the
// first failure in words (libzip only passes an error code up). Used on the calling thread
// only, inside zip_close().
struct PackState {
    const PackOptions* options = nullptr;
    PackPipeline* pipeline = nullptr;
    zip_t* za = nullptr;
    ArchiveProgress progress;
    uint64_t lastReported = 0;
    bool cancelled = false;
    std::string failure;

    void Report(bool force) {
        if (options->progress && (force || progress.bytesDone - lastReported >= kProgressStep)) {
            lastReported = progress.bytesDone;
            options->progress(progress);
        }
    }

    // Called while waiting for a worker: keeps the progress coming (the window repaints in
    // it) and tells whether to go on.
    bool Idle() {
        if (Cancelled(options->cancel)) {
            return false;
        }
        Report(true);
        return !Cancelled(options->cancel);
    }
};

// A libzip source for one file entry. Its data is what the workers made: raw deflate for a
// deflated entry, the file's own bytes for a stored one. libzip asks for the size and the
// method (STAT) when it reaches the entry, reads the data, and asks again for the CRC.
struct EntrySource {
    PackState* state = nullptr;
    const PackItem* item = nullptr;
    size_t itemIndex = 0;
    zip_uint64_t zipIndex = 0;
    bool decided = false;
    bool stored = false;
    bool complete = false;  // every piece handed over and the file checked
    size_t job = 0;         // the piece being handed over
    size_t jobEnd = 0;
    PackResult* current = nullptr;
    size_t offset = 0;  // within the current piece's data
    uint32_t crc = 0;
    zip_error_t error{};

    zip_int64_t Fail(int zipError, const std::string& failure) {
        zip_error_set(&error, zipError, 0);
        if (state->failure.empty()) {
            state->failure = failure;
        }
        return -1;
    }

    zip_int64_t Cancel() {
        state->cancelled = true;
        zip_error_set(&error, ZIP_ER_CANCELLED, 0);
        return -1;
    }

    PackResult* WaitFor(size_t piece) {
        return state->pipeline->Wait(piece, [this] { return state->Idle(); });
    }

    // Settles the method from the file's first piece. A stored file turns its entry to
    // the stored method here, before libzip reads it: libzip then copies the bytes as they
    // are and computes their CRC itself.
    zip_int64_t Decide() {
        if (decided) {
            return 0;
        }
        const size_t first = state->pipeline->FirstJob(itemIndex);
        PackResult* result = WaitFor(first);
        if (result == nullptr) {
            return Cancel();
        }
        if (!result->failure.empty()) {
            return Fail(ZIP_ER_READ, result->failure);
        }
        stored = result->stored;
        if (stored && zip_set_file_compression(state->za, zipIndex, ZIP_CM_STORE, 0) != 0) {
            return Fail(ZIP_ER_INTERNAL, item->fullPath + ": cannot store the entry");
        }
        decided = true;
        return 0;
    }

    zip_int64_t Open() {
        if (Cancelled(state->options->cancel)) {
            return Cancel();
        }
        job = state->pipeline->FirstJob(itemIndex);
        jobEnd = state->pipeline->JobEnd(itemIndex);
        current = nullptr;
        offset = 0;
        crc = 0;
        complete = false;
        state->progress.currentName = item->entryName;
        state->Report(true);
        return 0;
    }

    // Whether the file on disk is still the one the folder walk saw.
    bool Unchanged() const {
        struct stat st {};
        return ::lstat(item->fullPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
               static_cast<uint64_t>(st.st_size) == item->size &&
               st.st_mtim.tv_sec == item->mtimeExact.tv_sec &&
               st.st_mtim.tv_nsec == item->mtimeExact.tv_nsec;
    }

    zip_int64_t Read(void* data, zip_uint64_t length) {
        if (Cancelled(state->options->cancel)) {
            return Cancel();
        }
        for (;;) {
            if (current == nullptr) {
                if (job == jobEnd) {
                    if (!complete) {
                        if (!Unchanged()) {
                            return Fail(ZIP_ER_READ,
                                        item->fullPath + ": the file changed while it was packed");
                        }
                        complete = true;
                    }
                    return 0;
                }
                current = WaitFor(job);
                if (current == nullptr) {
                    return Cancel();
                }
                if (!current->failure.empty()) {
                    return Fail(ZIP_ER_READ, current->failure);
                }
                offset = 0;
            }
            const size_t available = current->data.Size() - offset;
            if (available == 0) {
                const PackJob& piece = state->pipeline->Job(job);
                crc = deflate::Crc32Combine(crc, current->crc, piece.length);
                state->progress.bytesDone += piece.length;
                state->pipeline->Release(job);
                current = nullptr;
                ++job;
                state->Report(false);
                continue;
            }
            const size_t n = static_cast<size_t>(std::min<zip_uint64_t>(available, length));
            std::memcpy(data, current->data.Data() + offset, n);
            offset += n;
            return static_cast<zip_int64_t>(n);
        }
    }

    void Close() {
        if (complete) {
            ++state->progress.filesDone;
            state->Report(true);
        }
    }

    zip_int64_t Stat(void* data, zip_uint64_t length) {
        if (length < sizeof(zip_stat_t)) {
            zip_error_set(&error, ZIP_ER_INVAL, 0);
            return -1;
        }
        if (const zip_int64_t result = Decide(); result < 0) {
            return result;
        }
        auto* st = static_cast<zip_stat_t*>(data);
        zip_stat_init(st);
        st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME | ZIP_STAT_COMP_METHOD;
        st->size = item->size;
        st->mtime = static_cast<time_t>(item->mtime);
        st->comp_method = stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
        if (complete) {
            st->valid |= ZIP_STAT_CRC;
            st->crc = crc;
        }
        return sizeof(zip_stat_t);
    }

    static zip_int64_t Callback(void* userdata, void* data, zip_uint64_t length,
                                zip_source_cmd_t command) {
        auto* self = static_cast<EntrySource*>(userdata);
        switch (command) {
            case ZIP_SOURCE_OPEN:
                return self->Open();
            case ZIP_SOURCE_READ:
                return self->Read(data, length);
            case ZIP_SOURCE_CLOSE:
                self->Close();
                return 0;
            case ZIP_SOURCE_STAT:
                return self->Stat(data, length);
            case ZIP_SOURCE_ERROR:
                return zip_error_to_data(&self->error, data, length);
            case ZIP_SOURCE_FREE:
                return 0;  // the object itself belongs to the pack run
            case ZIP_SOURCE_SUPPORTS:
                return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                                      ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                      ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
            default:
                zip_error_set(&self->error, ZIP_ER_OPNOTSUPP, 0);
                return -1;
        }
    }
};

// The temporary file beside the archive path: created empty and exclusively, removed again
// (with what libzip may have left beside it under the same name plus a suffix) unless
// Keep() is called after it has been renamed into place.
class TemporaryArchive {
  public:
    explicit TemporaryArchive(const std::string& archivePath) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string candidate = temp_names::PackTemporaryPath(archivePath);
            Fd fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (fd.Valid()) {
                path_ = candidate;
                return;
            }
            if (errno != EEXIST) {
                throw ArchiveError(archivePath +
                                   ": cannot create the archive: " + SystemReason(errno));
            }
        }
        throw ArchiveError(archivePath + ": cannot find a free temporary name");
    }
    ~TemporaryArchive() {
        if (path_.empty()) {
            return;
        }
        ::unlink(path_.c_str());
        const fs::path own(path_);
        const std::string prefix = own.filename().string() + ".";
        std::error_code ec;
        for (fs::directory_iterator it(own.parent_path(), ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.compare(0, prefix.size(), prefix) == 0 &&
                temp_names::IsPackTemporaryName(name)) {
                ::unlink(it->path().c_str());
            }
        }
    }
    TemporaryArchive(const TemporaryArchive&) = delete;
    TemporaryArchive& operator=(const TemporaryArchive&) = delete;

    const std::string& Path() const { return path_; }
    void Keep() { path_.clear(); }

  private:
    std::string path_;
};

// Owns a zip_t; discards it (writing nothing) unless it has been closed.
struct ZipHandle {
    zip_t* za = nullptr;
    ~ZipHandle() {
        if (za != nullptr) {
            zip_discard(za);
        }
    }
};

void WriteEmptyArchive(const std::string& path) {
    // An archive without entries is only its end record; libzip would rather delete the
    // file than write one.
    static const char kEndRecord[22] = {'P', 'K', 5, 6};
    Fd fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd.Valid() || WriteAll(fd.Get(), kEndRecord, sizeof kEndRecord) != 0) {
        throw ArchiveError(path + ": cannot write: " + SystemReason(errno));
    }
}

void SyncFile(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid() || ::fsync(fd.Get()) != 0) {
        throw ArchiveError(path + ": cannot write to disk: " + SystemReason(errno));
    }
}

// Renames without replacing: the archive path must still be free at the moment of the
// rename.
void RenameNoReplace(const std::string& from, const std::string& to) {
    const int error = RenameNoReplaceAt(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str());
    if (error == 0) {
        return;
    }
    if (error == EEXIST) {
        throw ArchiveError(to + ": the archive already exists");
    }
    throw ArchiveError(to + ": cannot put the archive in place: " + SystemReason(error));
}

void AddEntries(zip_t* za, const std::vector<PackItem>& items,
                std::vector<std::unique_ptr<EntrySource>>& sources, PackState& state,
                const std::string& archivePath) {
    auto fail = [&](const std::string& what) {
        throw ArchiveError(archivePath + ": " + what + ": " + zip_strerror(za));
    };
    for (size_t i = 0; i < items.size(); ++i) {
        const PackItem& item = items[i];
        zip_int64_t index = -1;
        if (item.isFolder) {
            index = zip_dir_add(za, item.entryName.c_str(), ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                fail("cannot add " + item.entryName);
            }
        } else {
            auto source = std::make_unique<EntrySource>();
            source->state = &state;
            source->item = &item;
            source->itemIndex = i;
            zip_error_init(&source->error);
            zip_error_t error;
            zip_error_init(&error);
            zip_source_t* zs =
                zip_source_function_create(EntrySource::Callback, source.get(), &error);
            if (zs == nullptr) {
                const std::string reason = zip_error_strerror(&error);
                zip_error_fini(&error);
                throw ArchiveError(archivePath + ": cannot add " + item.entryName + ": " + reason);
            }
            zip_error_fini(&error);
            EntrySource* added = source.get();
            sources.push_back(std::move(source));
            index = zip_file_add(za, item.entryName.c_str(), zs, ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                zip_source_free(zs);
                fail("cannot add " + item.entryName);
            }
            added->zipIndex = static_cast<zip_uint64_t>(index);
            if (zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE,
                                         deflate::kLevel) != 0) {
                fail("cannot set the compression of " + item.entryName);
            }
        }
        const auto idx = static_cast<zip_uint64_t>(index);
        if (zip_file_set_mtime(za, idx, static_cast<time_t>(item.mtime), 0) != 0) {
            fail("cannot set the time of " + item.entryName);
        }
        if (item.mtime >= 0 && item.mtime <= INT32_MAX) {
            const std::string field = ExtendedTimestamp(item.mtime);
            if (zip_file_extra_field_set(za, idx, kExtendedTimestamp, ZIP_EXTRA_FIELD_NEW,
                                         reinterpret_cast<const zip_uint8_t*>(field.data()),
                                         static_cast<zip_uint16_t>(field.size()),
                                         ZIP_FL_LOCAL | ZIP_FL_CENTRAL) != 0) {
                fail("cannot set the time of " + item.entryName);
            }
        }
        // Unix permissions as Info-ZIP stores them; the folder entry also carries the DOS
        // folder attribute for Windows readers.
        const zip_uint32_t attributes =
            item.isFolder ? ((static_cast<zip_uint32_t>(S_IFDIR | 0755) << 16) | 0x10u)
                          : (static_cast<zip_uint32_t>(S_IFREG | 0644) << 16);
        if (zip_file_set_external_attributes(za, idx, 0, ZIP_OPSYS_UNIX, attributes) != 0) {
            fail("cannot set the attributes of " + item.entryName);
        }
    }
}

}  // namespace

PackSummary PackFolder(const std::string& sourceFolder, const std::string& archivePath,
                       const PackOptions& options) {
    struct stat st {};
    if (::stat(sourceFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw ArchiveError(sourceFolder + ": folder not found");
    }
    if (::lstat(archivePath.c_str(), &st) == 0) {
        throw ArchiveError(archivePath + ": the archive already exists");
    }

    std::vector<PackItem> items;
    PackSummary summary;
    CollectEntries(sourceFolder, "", options, items, summary.skippedLinks);

    PackState state;
    state.options = &options;
    // The workers start at once, reading and deflating while the entries are added.
    PackPipeline pipeline(items);
    pipeline.Start(WorkerThreads(options.threads));
    state.pipeline = &pipeline;
    for (const PackItem& item : items) {
        if (!item.isFolder) {
            state.progress.bytesTotal += item.size;
            ++state.progress.filesTotal;
        }
    }

    TemporaryArchive temporary(archivePath);
    if (items.empty()) {
        WriteEmptyArchive(temporary.Path());
    } else {
        std::vector<std::unique_ptr<EntrySource>> sources;
        ZipHandle zip;
        int code = 0;
        zip.za = zip_open(temporary.Path().c_str(), ZIP_TRUNCATE, &code);
        if (zip.za == nullptr) {
            zip_error_t error;
            zip_error_init_with_code(&error, code);
            const std::string reason = zip_error_strerror(&error);
            zip_error_fini(&error);
            throw ArchiveError(archivePath + ": cannot create the archive: " + reason);
        }
        state.za = zip.za;
        AddEntries(zip.za, items, sources, state, archivePath);
        if (zip_close(zip.za) != 0) {
            if (state.cancelled || Cancelled(options.cancel)) {
                throw ArchiveCancelled("packing cancelled");
            }
            if (!state.failure.empty()) {
                throw ArchiveError(state.failure);
            }
            throw ArchiveError(archivePath + ": cannot write the archive: " + zip_strerror(zip.za));
        }
        zip.za = nullptr;
    }
    if (Cancelled(options.cancel)) {
        throw ArchiveCancelled("packing cancelled");
    }
    SyncFile(temporary.Path());
    RenameNoReplace(temporary.Path(), archivePath);
    temporary.Keep();
    if (options.progress) {
        state.progress.currentName.clear();
        options.progress(state.progress);
    }
    return summary;
}

}  // namespace vornback
