// The archive component on top of libzip. Packing walks the folder, adds every entry in
// sorted order with deflate level 6 and an extended timestamp, and lets libzip write the
// archive under a temporary name beside the target; unpacking checks every name of the
// archive before it writes anything and writes each file under a temporary name.
#include "components/archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string_view>

#include "common/errors.h"
#include "components/entry_names_internal.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;

// The extended timestamp extra field (Info-ZIP "UT"): a flag byte, then the modification
// time as seconds since the epoch, UTC, little endian.
constexpr zip_uint16_t kExtendedTimestamp = 0x5455;
constexpr size_t kBufferSize = 256 * 1024;
// How many bytes pass between two progress reports inside one file.
constexpr uint64_t kProgressStep = 1024 * 1024;

std::string SystemReason(int error) {
    return std::strerror(error);
}

// An open file descriptor, closed when it goes out of scope.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Reset() { static_cast<void>(Close()); }
    // Closes now; the result of close(2), 0 when there was nothing to close.
    int Close() {
        int result = 0;
        if (fd_ >= 0) {
            result = ::close(fd_);
            fd_ = -1;
        }
        return result;
    }

  private:
    int fd_ = -1;
};

std::string RandomSuffix() {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string suffix;
    for (int i = 0; i < 8; ++i) {
        suffix += kDigits[engine() % (sizeof(kDigits) - 1)];
    }
    return suffix;
}

bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

std::string ExtendedTimestamp(int64_t mtime) {
    const auto value = static_cast<uint32_t>(mtime);
    std::string data(5, '\0');
    data[0] = 0x01;  // only the modification time follows
    for (int i = 0; i < 4; ++i) {
        data[static_cast<size_t>(1 + i)] = static_cast<char>((value >> (8 * i)) & 0xFFu);
    }
    return data;
}

// Reads the modification time out of an extended timestamp field, when it holds one.
std::optional<int64_t> ParseExtendedTimestamp(const zip_uint8_t* data, zip_uint16_t length) {
    if (data == nullptr || length < 5 || (data[0] & 0x01u) == 0) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | data[1 + i];
    }
    return static_cast<int64_t>(value);
}

// ---------------------------------------------------------------------------------------
// Packing

struct PackItem {
    std::string entryName;  // relative, "/" separators, folders end with "/"
    std::string fullPath;
    bool isFolder = false;
    uint64_t size = 0;
    int64_t mtime = 0;
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
// restore must never create one, so the backup holds only real files and folders. Other
// special files (pipes, devices, sockets) are left out for the same reason.
void CollectEntries(const std::string& folder, const std::string& prefix,
                    const PackOptions& options, std::vector<PackItem>& items) {
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
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
            continue;  // a link or a special file, see above
        }
        if (!ValidUtf8(name)) {
            throw ArchiveError(full + ": the name is not valid UTF-8 and cannot be stored");
        }
        PackItem item;
        item.fullPath = full;
        item.mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
        if (S_ISDIR(st.st_mode)) {
            item.isFolder = true;
            item.entryName = relative + "/";
            items.push_back(item);
            CollectEntries(full, relative + "/", options, items);
        } else {
            item.entryName = relative;
            item.size = static_cast<uint64_t>(st.st_size);
            items.push_back(item);
        }
    }
}

// What the packing file sources share: the progress so far, the cancel flag and the first
// failure in words (libzip only passes an error code up).
struct PackState {
    const PackOptions* options = nullptr;
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
};

// A libzip source that reads one file when libzip asks for it inside zip_close(), so that
// at most one file is open at a time, progress follows the bytes read, and a cancel or a
// file that changes size while it is read stops the archive.
struct FileSource {
    PackState* state = nullptr;
    const PackItem* item = nullptr;
    Fd fd;
    uint64_t done = 0;
    zip_error_t error{};

    zip_int64_t Fail(int zipError, int systemError, const std::string& failure) {
        zip_error_set(&error, zipError, systemError);
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

    zip_int64_t Open() {
        if (Cancelled(state->options->cancel)) {
            return Cancel();
        }
        fd = Fd(::open(item->fullPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.Valid()) {
            const int e = errno;
            return Fail(ZIP_ER_OPEN, e, item->fullPath + ": cannot open: " + SystemReason(e));
        }
        done = 0;
        state->progress.currentName = item->entryName;
        state->Report(true);
        return 0;
    }

    zip_int64_t Read(void* data, zip_uint64_t length) {
        if (Cancelled(state->options->cancel)) {
            return Cancel();
        }
        ssize_t n = 0;
        do {
            n = ::read(fd.Get(), data, std::min<zip_uint64_t>(length, SSIZE_MAX));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            const int e = errno;
            return Fail(ZIP_ER_READ, e, item->fullPath + ": cannot read: " + SystemReason(e));
        }
        const auto count = static_cast<uint64_t>(n);
        if (done + count > item->size || (count == 0 && done != item->size)) {
            return Fail(ZIP_ER_READ, 0, item->fullPath + ": the file changed while it was packed");
        }
        done += count;
        state->progress.bytesDone += count;
        state->Report(false);
        return static_cast<zip_int64_t>(n);
    }

    void Close() {
        fd.Reset();
        if (done == item->size) {
            ++state->progress.filesDone;
            state->Report(true);
        }
    }

    zip_int64_t Stat(void* data, zip_uint64_t length) {
        if (length < sizeof(zip_stat_t)) {
            zip_error_set(&error, ZIP_ER_INVAL, 0);
            return -1;
        }
        auto* st = static_cast<zip_stat_t*>(data);
        zip_stat_init(st);
        st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        st->size = item->size;
        st->mtime = static_cast<time_t>(item->mtime);
        return sizeof(zip_stat_t);
    }

    static zip_int64_t Callback(void* userdata, void* data, zip_uint64_t length,
                                zip_source_cmd_t command) {
        auto* self = static_cast<FileSource*>(userdata);
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
                self->fd.Reset();  // the object itself belongs to the pack run
                return 0;
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
// unless Keep() is called after it has been renamed into place.
class TemporaryArchive {
  public:
    explicit TemporaryArchive(const std::string& archivePath) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string candidate = archivePath + ".part-" + RandomSuffix();
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
        if (!path_.empty()) {
            ::unlink(path_.c_str());
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
    if (!fd.Valid() || ::write(fd.Get(), kEndRecord, sizeof kEndRecord) !=
                           static_cast<ssize_t>(sizeof kEndRecord)) {
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
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return;
    }
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
        // A file system without the no-replace rename: a hard link fails on an existing
        // target just the same.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return;
        }
        error = errno;
    }
    if (error == EEXIST) {
        throw ArchiveError(to + ": the archive already exists");
    }
    throw ArchiveError(to + ": cannot put the archive in place: " + SystemReason(error));
}

void AddEntries(zip_t* za, const std::vector<PackItem>& items,
                std::vector<std::unique_ptr<FileSource>>& sources, PackState& state,
                const std::string& archivePath) {
    auto fail = [&](const std::string& what) {
        throw ArchiveError(archivePath + ": " + what + ": " + zip_strerror(za));
    };
    for (const PackItem& item : items) {
        zip_int64_t index = -1;
        if (item.isFolder) {
            index = zip_dir_add(za, item.entryName.c_str(), ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                fail("cannot add " + item.entryName);
            }
        } else {
            auto source = std::make_unique<FileSource>();
            source->state = &state;
            source->item = &item;
            zip_error_init(&source->error);
            zip_error_t error;
            zip_error_init(&error);
            zip_source_t* zs =
                zip_source_function_create(FileSource::Callback, source.get(), &error);
            if (zs == nullptr) {
                const std::string reason = zip_error_strerror(&error);
                zip_error_fini(&error);
                throw ArchiveError(archivePath + ": cannot add " + item.entryName + ": " + reason);
            }
            zip_error_fini(&error);
            sources.push_back(std::move(source));
            index = zip_file_add(za, item.entryName.c_str(), zs, ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                zip_source_free(zs);
                fail("cannot add " + item.entryName);
            }
            if (zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 6) !=
                0) {
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

// ---------------------------------------------------------------------------------------
// Reading

struct ReadEntry {
    zip_uint64_t index = 0;
    std::string name;                // as stored
    std::vector<std::string> parts;  // the safe path components
    bool isFolder = false;
    uint64_t size = 0;
    uint32_t crc = 0;
    int64_t mtime = 0;
};

class ReadArchive {
  public:
    explicit ReadArchive(const std::string& path) : path_(path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            throw ArchiveError(path + ": cannot open: " + SystemReason(errno));
        }
        if (!S_ISREG(st.st_mode)) {
            throw ArchiveError(path + ": not a file");
        }
        if (st.st_size == 0) {
            // libzip reads an empty file as an empty archive; it is not one.
            throw ArchiveError(path + ": not a zip archive");
        }
        int code = 0;
        za_ = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
        if (za_ == nullptr) {
            zip_error_t error;
            zip_error_init_with_code(&error, code);
            const std::string reason = zip_error_strerror(&error);
            zip_error_fini(&error);
            switch (code) {
                case ZIP_ER_NOZIP:
                    throw ArchiveError(path + ": not a zip archive");
                case ZIP_ER_INCONS:
                    throw ArchiveError(path + ": damaged zip archive (" + reason + ")");
                default:
                    throw ArchiveError(path + ": cannot open: " + reason);
            }
        }
    }
    ~ReadArchive() { zip_discard(za_); }
    ReadArchive(const ReadArchive&) = delete;
    ReadArchive& operator=(const ReadArchive&) = delete;

    zip_t* Get() const { return za_; }
    const std::string& Path() const { return path_; }

    [[noreturn]] void Fail(const std::string& entry, const std::string& what) const {
        throw ArchiveError(path_ + ": entry " + entry + ": " + what);
    }

    zip_uint64_t Count() const {
        const zip_int64_t n = zip_get_num_entries(za_, 0);
        return n < 0 ? 0 : static_cast<zip_uint64_t>(n);
    }

    zip_stat_t Stat(zip_uint64_t index) const {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(za_, index, 0, &st) != 0 || (st.valid & ZIP_STAT_NAME) == 0) {
            throw ArchiveError(path_ + ": entry " + std::to_string(index) +
                               ": cannot read: " + zip_strerror(za_));
        }
        return st;
    }

    // The modification time: the extended timestamp when the entry has one (central
    // header first, then local header), otherwise the DOS time libzip read.
    int64_t MTime(zip_uint64_t index, const zip_stat_t& st) const {
        for (zip_flags_t where : {ZIP_FL_CENTRAL, ZIP_FL_LOCAL}) {
            zip_uint16_t length = 0;
            const zip_uint8_t* data =
                zip_file_extra_field_get_by_id(za_, index, kExtendedTimestamp, 0, &length, where);
            if (std::optional<int64_t> t = ParseExtendedTimestamp(data, length)) {
                return *t;
            }
        }
        return (st.valid & ZIP_STAT_MTIME) != 0 ? static_cast<int64_t>(st.mtime) : 0;
    }

  private:
    std::string path_;
    zip_t* za_ = nullptr;
};

std::string JoinParts(const std::vector<std::string>& parts, size_t count) {
    std::string joined;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            joined += '/';
        }
        joined += parts[i];
    }
    return joined;
}

// Reads the whole directory of the archive and checks it before anything is written:
// every name safe, no link or special entry, nothing encrypted, no method libzip cannot
// read, no two entries on one path and no file that is needed as a folder too.
std::vector<ReadEntry> CheckedEntries(const ReadArchive& archive) {
    std::vector<ReadEntry> entries;
    std::map<std::string, std::string> files;    // path -> entry name
    std::map<std::string, std::string> folders;  // path -> entry name (implied or stored)
    const zip_uint64_t count = archive.Count();
    for (zip_uint64_t i = 0; i < count; ++i) {
        const zip_stat_t st = archive.Stat(i);
        ReadEntry entry;
        entry.index = i;
        entry.name = st.name;
        std::optional<std::vector<std::string>> parts = entry_names::SafeComponents(entry.name);
        if (!parts) {
            archive.Fail(entry.name,
                         "unsafe name (absolute, drive letter or \"..\"); "
                         "the archive is refused");
        }
        entry.parts = std::move(*parts);
        for (const std::string& part : entry.parts) {
            if (part.size() > NAME_MAX) {
                archive.Fail(entry.name, "a name in the path is too long");
            }
        }
        entry.isFolder = entry_names::NamesFolder(entry.name);
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(archive.Get(), i, 0, &system, &attributes) == 0 &&
            system == ZIP_OPSYS_UNIX) {
            const auto type = static_cast<mode_t>((attributes >> 16) & S_IFMT);
            if (type == S_IFLNK) {
                archive.Fail(entry.name, "a link; the archive is refused");
            }
            if (type != 0 && type != S_IFREG && type != S_IFDIR) {
                archive.Fail(entry.name, "not a file or folder; the archive is refused");
            }
        }
        if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE) {
            archive.Fail(entry.name, "encrypted entries are not supported");
        }
        if (!entry.isFolder && (st.valid & ZIP_STAT_COMP_METHOD) != 0 &&
            !zip_compression_method_supported(st.comp_method, 0)) {
            archive.Fail(entry.name,
                         "unsupported compression method " + std::to_string(st.comp_method));
        }
        if (entry.isFolder && (st.valid & ZIP_STAT_SIZE) != 0 && st.size != 0) {
            archive.Fail(entry.name, "a folder entry with data");
        }
        entry.size = (st.valid & ZIP_STAT_SIZE) != 0 ? st.size : 0;
        entry.crc = (st.valid & ZIP_STAT_CRC) != 0 ? st.crc : 0;
        entry.mtime = archive.MTime(i, st);

        const std::string path = JoinParts(entry.parts, entry.parts.size());
        for (size_t k = 1; k < entry.parts.size(); ++k) {
            const std::string parent = JoinParts(entry.parts, k);
            if (files.count(parent) != 0) {
                archive.Fail(entry.name, "lies below the file entry " + files[parent] +
                                             "; the archive is refused");
            }
            folders.emplace(parent, entry.name);
        }
        if (entry.isFolder) {
            if (files.count(path) != 0) {
                archive.Fail(entry.name, "the same path as the file entry " + files[path] +
                                             "; the archive is refused");
            }
            folders.emplace(path, entry.name);
        } else {
            if (files.count(path) != 0) {
                archive.Fail(entry.name, "the same path as the entry " + files[path] +
                                             "; the archive is refused");
            }
            if (folders.count(path) != 0) {
                archive.Fail(entry.name, "the same path as the folder needed by " + folders[path] +
                                             "; the archive is refused");
            }
            files.emplace(path, entry.name);
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

// Reads one entry to its end, handing each piece to sink; libzip checks the CRC when the
// end is reached, and the size and CRC are checked here as well. Throws ArchiveError naming
// the entry, or ArchiveCancelled.
template <typename Sink>
void ReadEntryData(const ReadArchive& archive, const ReadEntry& entry, std::vector<char>& buffer,
                   const std::atomic<bool>* cancel, Sink&& sink) {
    zip_file_t* file = zip_fopen_index(archive.Get(), entry.index, 0);
    if (file == nullptr) {
        archive.Fail(entry.name, std::string("cannot read: ") + zip_strerror(archive.Get()));
    }
    std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> closer(file, zip_fclose);
    uint64_t total = 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    for (;;) {
        if (Cancelled(cancel)) {
            throw ArchiveCancelled("unpacking cancelled");
        }
        const zip_int64_t n = zip_fread(file, buffer.data(), buffer.size());
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
        if (n == 0) {
            break;
        }
        const auto count = static_cast<uint64_t>(n);
        total += count;
        if (total > entry.size) {
            archive.Fail(entry.name, "more data than its stored size");
        }
        crc = crc32_z(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<size_t>(n));
        sink(buffer.data(), static_cast<size_t>(n));
    }
    if (total != entry.size) {
        archive.Fail(entry.name, "truncated data");
    }
    if (static_cast<uint32_t>(crc) != entry.crc) {
        archive.Fail(entry.name, "CRC error");
    }
}

ArchiveProgress ReadTotals(const std::vector<ReadEntry>& entries) {
    ArchiveProgress progress;
    for (const ReadEntry& entry : entries) {
        if (!entry.isFolder) {
            progress.bytesTotal += entry.size;
            ++progress.filesTotal;
        }
    }
    return progress;
}

// ---------------------------------------------------------------------------------------
// Unpacking

// Writes below the destination folder only: every folder is opened from the destination
// down, one component at a time, without following links, so a link placed in the
// destination (or swapped in while unpacking) can never lead a write out of it.
class Destination {
  public:
    Destination(std::string root, const std::string& archivePath)
        : root_(std::move(root)), archivePath_(archivePath) {
        std::error_code ec;
        fs::create_directories(root_, ec);
        if (ec) {
            throw ArchiveError(root_ + ": cannot create the folder: " + ec.message());
        }
        rootFd_ = Fd(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!rootFd_.Valid()) {
            throw ArchiveError(root_ + ": cannot open the folder: " + SystemReason(errno));
        }
    }

    ~Destination() { DropTemporary(); }
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    // The folder made of the first count components, created where missing.
    int Folder(const std::vector<std::string>& parts, size_t count) {
        const std::string key = JoinParts(parts, count);
        if (count == 0) {
            return rootFd_.Get();
        }
        if (key == cachedKey_ && cachedFd_.Valid()) {
            return cachedFd_.Get();
        }
        Fd current;
        int at = rootFd_.Get();
        for (size_t i = 0; i < count; ++i) {
            const char* name = parts[i].c_str();
            if (::mkdirat(at, name, 0777) != 0 && errno != EEXIST) {
                Fail(JoinParts(parts, i + 1), "cannot create the folder", errno);
            }
            Fd next(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next.Valid()) {
                const int e = errno;
                Fail(JoinParts(parts, i + 1),
                     e == ENOTDIR || e == ELOOP ? "a file or link is in the way of a folder"
                                                : "cannot open the folder",
                     e == ENOTDIR || e == ELOOP ? 0 : e);
            }
            current = std::move(next);
            at = current.Get();
        }
        cachedKey_ = key;
        cachedFd_ = std::move(current);
        return cachedFd_.Get();
    }

    // Writes one file under a temporary name in its folder, and renames it over the final
    // name once complete and checked.
    template <typename Fill>
    void WriteFile(const ReadEntry& entry, Fill&& fill) {
        const int folder = Folder(entry.parts, entry.parts.size() - 1);
        const std::string& name = entry.parts.back();
        Fd out;
        for (int attempt = 0; attempt < 100 && !out.Valid(); ++attempt) {
            tempName_ = ".vornback-" + RandomSuffix() + ".part";
            out = Fd(::openat(folder, tempName_.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
            if (!out.Valid() && errno != EEXIST) {
                tempName_.clear();
                Fail(JoinParts(entry.parts, entry.parts.size()), "cannot create", errno);
            }
        }
        if (!out.Valid()) {
            tempName_.clear();
            Fail(JoinParts(entry.parts, entry.parts.size()), "cannot create", EEXIST);
        }
        tempFolder_ = folder;
        fill([&](const char* data, size_t length) {
            while (length > 0) {
                const ssize_t n = ::write(out.Get(), data, length);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    Fail(JoinParts(entry.parts, entry.parts.size()), "cannot write",
                         n < 0 ? errno : ENOSPC);
                }
                data += n;
                length -= static_cast<size_t>(n);
            }
        });
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(entry.mtime);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        ::futimens(out.Get(), times);  // best effort: a file system may refuse old times
        if (out.Close() != 0) {
            Fail(JoinParts(entry.parts, entry.parts.size()), "cannot write", errno);
        }
        if (::renameat(folder, tempName_.c_str(), folder, name.c_str()) != 0) {
            const int e = errno;
            Fail(JoinParts(entry.parts, entry.parts.size()),
                 e == EISDIR || e == ENOTEMPTY || e == EEXIST ? "a folder is in the way"
                                                              : "cannot put the file in place",
                 e == EISDIR || e == ENOTEMPTY || e == EEXIST ? 0 : e);
        }
        tempName_.clear();
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

  private:
    [[noreturn]] void Fail(const std::string& relative, const std::string& what, int error) {
        DropTemporary();
        std::string text = archivePath_ + ": " + root_ + "/" + relative + ": " + what;
        if (error != 0) {
            text += ": " + SystemReason(error);
        }
        throw ArchiveError(text);
    }

    void DropTemporary() {
        if (!tempName_.empty()) {
            ::unlinkat(tempFolder_, tempName_.c_str(), 0);
            tempName_.clear();
        }
    }

    std::string root_;
    std::string archivePath_;
    Fd rootFd_;
    std::string cachedKey_;
    Fd cachedFd_;
    int tempFolder_ = -1;
    std::string tempName_;
};

// Before the first write: what already lies at the destination must not be in the way (a
// folder where a file goes, a file or link where a folder goes), and the files must fit.
void CheckDestination(const std::string& destFolder, const std::vector<ReadEntry>& entries,
                      const std::string& archivePath) {
    std::error_code ec;
    if (!fs::exists(destFolder, ec)) {
        return;
    }
    if (!fs::is_directory(destFolder, ec)) {
        throw ArchiveError(archivePath + ": " + destFolder + ": not a folder");
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
            const std::string full = destFolder + "/" + relative;
            if (::lstat(full.c_str(), &st) != 0) {
                missing = true;  // nothing below can be in the way
            } else if (wantFolder && !S_ISDIR(st.st_mode)) {
                throw ArchiveError(archivePath + ": " + full +
                                   ": a file or link is in the way of a folder");
            } else if (!wantFolder && S_ISDIR(st.st_mode)) {
                throw ArchiveError(archivePath + ": " + full + ": a folder is in the way");
            }
        }
    }
    struct statvfs vfs {};
    const ArchiveProgress totals = ReadTotals(entries);
    if (::statvfs(destFolder.c_str(), &vfs) == 0) {
        const uint64_t available = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
        if (totals.bytesTotal > available) {
            throw ArchiveError(archivePath + ": " + destFolder + ": not enough free space (" +
                               std::to_string(totals.bytesTotal) + " bytes needed)");
        }
    }
}

}  // namespace

void PackFolder(const std::string& sourceFolder, const std::string& archivePath,
                const PackOptions& options) {
    struct stat st {};
    if (::stat(sourceFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw ArchiveError(sourceFolder + ": folder not found");
    }
    if (::lstat(archivePath.c_str(), &st) == 0) {
        throw ArchiveError(archivePath + ": the archive already exists");
    }

    std::vector<PackItem> items;
    CollectEntries(sourceFolder, "", options, items);

    PackState state;
    state.options = &options;
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
        std::vector<std::unique_ptr<FileSource>> sources;
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
}

void UnpackArchive(const std::string& archivePath, const std::string& destFolder,
                   const UnpackOptions& options) {
    ReadArchive archive(archivePath);
    const std::vector<ReadEntry> entries = CheckedEntries(archive);
    CheckDestination(destFolder, entries, archivePath);

    ArchiveProgress progress = ReadTotals(entries);
    Destination destination(destFolder, archivePath);
    std::vector<char> buffer(kBufferSize);
    uint64_t lastReported = 0;
    for (const ReadEntry& entry : entries) {
        if (Cancelled(options.cancel)) {
            throw ArchiveCancelled("unpacking cancelled");
        }
        if (entry.isFolder) {
            destination.Folder(entry.parts, entry.parts.size());
            continue;
        }
        progress.currentName = entry.name;
        if (options.progress) {
            options.progress(progress);
            lastReported = progress.bytesDone;
        }
        destination.WriteFile(entry, [&](auto write) {
            ReadEntryData(
                archive, entry, buffer, options.cancel, [&](const char* data, size_t length) {
                    write(data, length);
                    progress.bytesDone += length;
                    if (options.progress && progress.bytesDone - lastReported >= kProgressStep) {
                        lastReported = progress.bytesDone;
                        options.progress(progress);
                    }
                });
        });
        ++progress.filesDone;
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
    if (options.progress) {
        progress.currentName.clear();
        options.progress(progress);
    }
}

void VerifyArchive(const std::string& archivePath, const UnpackOptions& options) {
    ReadArchive archive(archivePath);
    const std::vector<ReadEntry> entries = CheckedEntries(archive);
    ArchiveProgress progress = ReadTotals(entries);
    std::vector<char> buffer(kBufferSize);
    uint64_t lastReported = 0;
    for (const ReadEntry& entry : entries) {
        if (entry.isFolder) {
            continue;
        }
        progress.currentName = entry.name;
        if (options.progress) {
            options.progress(progress);
            lastReported = progress.bytesDone;
        }
        ReadEntryData(archive, entry, buffer, options.cancel, [&](const char*, size_t length) {
            progress.bytesDone += length;
            if (options.progress && progress.bytesDone - lastReported >= kProgressStep) {
                lastReported = progress.bytesDone;
                options.progress(progress);
            }
        });
        ++progress.filesDone;
    }
    if (options.progress) {
        progress.currentName.clear();
        options.progress(progress);
    }
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
