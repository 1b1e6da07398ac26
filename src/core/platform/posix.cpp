#include "platform/posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace vornback {

int Fd::Close() {
    int result = 0;
    if (fd_ >= 0) {
        result = ::close(fd_) == 0 ? 0 : errno;
        fd_ = -1;
    }
    return result;
}

namespace {
// Writes all length bytes, retrying short and interrupted writes: at offset (pwrite), or at
// the file's own position when there is no offset. Returns 0 or errno.
int WriteLoop(int fd, const void* data, size_t length, const uint64_t* offset) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < length) {
        const size_t part = std::min<size_t>(length - done, SSIZE_MAX);
        const ssize_t n = offset == nullptr ? ::write(fd, bytes + done, part)
                                            : ::pwrite(fd, bytes + done, part,
                                                       static_cast<off_t>(*offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}
}  // namespace

int WriteAll(int fd, const void* data, size_t length) {
    return WriteLoop(fd, data, length, nullptr);
}

int WriteAllAt(int fd, const void* data, size_t length, uint64_t offset) {
    return WriteLoop(fd, data, length, &offset);
}

ssize_t ReadAt(int fd, void* data, size_t length, uint64_t offset) {
    size_t done = 0;
    auto* bytes = static_cast<uint8_t*>(data);
    while (done < length) {
        const ssize_t n = ::pread(fd, bytes + done, std::min<size_t>(length - done, SSIZE_MAX),
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int RenameNoReplaceAt(int fromDir, const char* from, int toDir, const char* to) {
    if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    const int err = errno;
    if (err != EINVAL && err != ENOSYS) {
        return err;
    }
    struct stat st {};
    if (::fstatat(fromDir, from, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::linkat(fromDir, from, toDir, to, 0) != 0) {
            return errno;
        }
        return ::unlinkat(fromDir, from, 0) == 0 ? 0 : errno;
    }
    if (::fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return EEXIST;
    }
    return ::renameat(fromDir, from, toDir, to) == 0 ? 0 : errno;
}

void ReadTimeZoneOnce() {
    if (std::getenv("TZ") == nullptr) {
        ::setenv("TZ", ":/etc/localtime", 0);
    }
    ::tzset();
}

namespace {
std::atomic<bool> gGroupRead{false};
}  // namespace

void AllowGroupRead(bool allowed) {
    gGroupRead = allowed;
}

mode_t PrivateFileMode() {
    return gGroupRead ? 0640 : 0600;
}

mode_t PrivateFolderMode() {
    return gGroupRead ? 0750 : 0700;
}

int MakePrivate(int fd, bool folder) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return errno;
    }
    const mode_t mode = folder ? PrivateFolderMode() : PrivateFileMode();
    if (st.st_uid != ::geteuid() || (st.st_mode & 07777) == mode) {
        return 0;
    }
    return ::fchmod(fd, mode) == 0 ? 0 : errno;
}

int MakePrivate(const std::string& path, bool folder) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (folder ? O_DIRECTORY : 0)));
    return fd.Valid() ? MakePrivate(fd.Get(), folder) : errno;
}

}  // namespace vornback
