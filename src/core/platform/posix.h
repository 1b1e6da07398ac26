// The few POSIX helpers that the file-system service and the archive share: one owned
// file descriptor, one read and one write loop that retry interrupted calls, the folder
// of a path, and one rename that never replaces its target.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/text.h"

namespace vornback {

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
    // Closes now; 0 or the errno of close(2) (which matters after writing).
    int Close();

  private:
    int fd_ = -1;
};

// Writes all length bytes, retrying short and interrupted writes. Returns 0 or errno.
int WriteAll(int fd, const void* data, size_t length);

// Writes all length bytes at offset (pwrite), retrying short and interrupted writes.
// Returns 0 or errno.
int WriteAllAt(int fd, const void* data, size_t length, uint64_t offset);

// Reads exactly length bytes at offset, retrying short reads; returns the bytes read,
// which is less than length only at the end of the file; -1 on error (errno set).
ssize_t ReadAt(int fd, void* data, size_t length, uint64_t offset);

// Renames without ever replacing an existing target (renameat2 RENAME_NOREPLACE). On a file
// system without the flag (some network ones answer EINVAL), a file is hard-linked and its
// old name removed (the link fails on an existing target just the same); a folder is
// renamed after a check that the target is free. Returns 0 or errno (EEXIST when taken).
int RenameNoReplaceAt(int fromDir, const char* from, int toDir, const char* to);

// Has the C library read the local time zone once for the whole run. With TZ unset, glibc
// reads /etc/localtime's status again at every mktime, which libzip calls for every entry
// it reads (twice per entry on a checked open); TZ naming that same file gives the same
// zone without the lookups. For the start of main, before any thread exists.
void ReadTimeZoneOnce();

// The modes of what the programs make for a firm's books (archives, history, staging
// folders, the replaced copies' folder): readable by the owner only (0600 files, 0700
// folders), or by the owner's group too (0640, 0750) once group read is allowed. Set
// explicitly, so the umask does not decide.
void AllowGroupRead(bool allowed);
mode_t PrivateFileMode();
mode_t PrivateFolderMode();
// Gives an open file or folder of this user the private mode; 0 or the errno.
int MakePrivate(int fd, bool folder);
// The same by path; a path of another user is left as it is. 0 or the errno.
int MakePrivate(const std::string& path, bool folder);

}  // namespace vornback
