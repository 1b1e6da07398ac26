// Writing an unpack's files below its destination folder; see unpack_destination.h.
#include "archive/unpack_destination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <set>
#include <system_error>

#include "archive/archive_internal.h"
#include "archive/unpack_checks.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "base/text.h"

namespace vornback::archive_internal {

namespace {

namespace fs = std::filesystem;

// Files from this size on are written back to the disk as soon as they are written.
constexpr uint64_t kEarlyWriteback = 64 * 1024;
// How much of a large file is written between two starts of its write-back.
constexpr uint64_t kWritebackStep = 16 * 1024 * 1024;

std::atomic<int (*)(int)> syncFileSystem{::syncfs};
std::atomic<int (*)(int)> syncFolder{::fsync};

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

}  // namespace

void ThrowDestinationFailure(const std::string& shown, const std::string& what, int error,
                             uint64_t needed) {
    const std::string start = "Could not unpack the archive into " + shown;
    switch (error) {
        case ENOSPC:
            throw FileSystemError(start + ": the disk is full (" + SizeText(needed) + " needed, " +
                                  SizeText(FreeSpace(shown)) +
                                  " free); free some space or choose a folder on another disk.");
        case EDQUOT:
            throw FileSystemError(start + ": the disk quota is used up (" + SizeText(needed) +
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

Fd Destination::OpenRoot(const Target& target) {
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

int Destination::Folder(const std::vector<std::string>& parts, size_t count) {
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
                Fail("a file or link is in the way of the folder " + JoinParts(parts, i + 1), 0);
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

void Destination::Begin(const ReadEntry& entry) {
    const int folder = Folder(entry.parts, entry.parts.size() - 1);
    relative_ = JoinParts(entry.parts, entry.parts.size());
    Fd out;
    for (int attempt = 0; attempt < 100 && !out.Valid(); ++attempt) {
        tempName_ = target_.fresh ? entry.parts.back() : temp_names::UnpackTemporaryFileName();
        out = Fd(::openat(folder, tempName_.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!out.Valid() && (errno != EEXIST || target_.fresh)) {
            tempName_.clear();
            Fail("creating " + relative_, errno);
        }
    }
    if (!out.Valid()) {
        tempName_.clear();
        Fail("creating " + relative_, EEXIST);
    }
    tempFolder_ = folder;
    out_ = std::move(out);
    done_ = 0;
    started_ = 0;
}

void Destination::Write(const char* data, size_t length) {
    if (const int err = WriteAll(out_.Get(), data, length); err != 0) {
        Fail("writing " + relative_, err);
    }
    // A large file's write-back goes along as it is written, so that the disk works while
    // the rest is inflated.
    done_ += length;
    if (done_ - started_ >= kWritebackStep) {
        ::sync_file_range(out_.Get(), static_cast<off_t>(started_),
                          static_cast<off_t>(done_ - started_), SYNC_FILE_RANGE_WRITE);
        started_ = done_;
    }
}

std::string Destination::Finish(const ReadEntry& entry) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(entry.mtime);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ::futimens(out_.Get(), times);  // best effort: a file system may refuse old times
    // Start the write-back of a large file now, so that the disk works while the workers
    // inflate and the one sync at the end finds little left to do. Small files are left to
    // that sync: one start per file costs more than their bytes (a call into the disk
    // driver each), where the sync writes them out together.
    if (entry.size >= kEarlyWriteback) {
        ::sync_file_range(out_.Get(), static_cast<off_t>(started_), 0, SYNC_FILE_RANGE_WRITE);
    }
    if (out_.Close() != 0) {
        Fail("writing " + relative_, errno);
    }
    std::string written = std::move(tempName_);
    tempName_.clear();
    return written;
}

void Destination::Place(const Pending& pending) {
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

void Destination::Remove(const Pending& pending) {
    const ReadEntry& entry = *pending.entry;
    if (entry.parts.size() > 1) {
        const std::string key = JoinParts(entry.parts, entry.parts.size() - 1);
        if (key != cachedKey_ || !cachedFd_.Valid()) {
            Fd fd(::openat(rootFd_, key.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
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

void Destination::SetFolderTime(const std::vector<std::string>& parts, int64_t mtime) {
    const int folder = Folder(parts, parts.size());
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(mtime);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ::futimens(folder, times);
}

void Destination::DropTemporary() {
    out_ = Fd();
    if (!tempName_.empty()) {
        ::unlinkat(tempFolder_, tempName_.c_str(), 0);
        tempName_.clear();
    }
}

void Destination::Fail(const std::string& what, int error) {
    DropTemporary();
    ThrowDestinationFailure(target_.shown, what, error, target_.needed);
}

void SyncDestination(int rootFd, const Target& target) {
    if (SyncFileSystem(rootFd) != 0) {
        ThrowDestinationFailure(target.shown, "writing to the disk", errno, target.needed);
    }
}

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

SyncCalls ReplaceSyncCalls(SyncCalls calls) {
    SyncCalls replaced;
    replaced.fileSystem =
        syncFileSystem.exchange(calls.fileSystem != nullptr ? calls.fileSystem : ::syncfs);
    replaced.folder = syncFolder.exchange(calls.folder != nullptr ? calls.folder : ::fsync);
    return replaced;
}

int SyncFileSystem(int fd) {
    return syncFileSystem.load()(fd);
}

int SyncFolder(int fd) {
    return syncFolder.load()(fd);
}

}  // namespace vornback::archive_internal
