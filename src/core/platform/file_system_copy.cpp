// LocalFileSystem's folder copy: each file written under a hidden temporary name, synced and
// renamed into place; links copied as links (see file_system.cpp for the choices made).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "platform/file_system.h"
#include "platform/file_system_internal.h"
#include "platform/posix.h"

namespace vornback {

using namespace file_system_internal;

namespace {

struct CopyContext {
    std::string_view source;
    std::string_view destination;
    bool overwrite;

    [[noreturn]] void Fail(int err, std::string_view inner = {}, std::string_view note = {}) const {
        Fail2("CopyFolder", source, destination, err, inner, note);
    }
};

// Copies the bytes of one open file to another. Returns 0 or errno; *reading tells which
// side failed.
int CopyBytes(int in, int out, bool* reading) {
    *reading = false;
    bool useRange = true;
    for (;;) {
        if (useRange) {
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
            if (n > 0) {
                continue;
            }
            if (n == 0) {
                return 0;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
                errno != EPERM) {
                return errno;
            }
            // Not possible between these two files: fall back to reading and writing, from
            // where the range copy stopped (it moves both offsets).
            useRange = false;
        }
        char buffer[1 << 16];
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            *reading = true;
            return errno;
        }
        if (got == 0) {
            return 0;
        }
        if (const int err = WriteAll(out, buffer, static_cast<size_t>(got)); err != 0) {
            return err;
        }
    }
}

// Moves the finished temporary entry to its real name, by the overwrite rule.
int PlaceTemporary(const CopyContext& ctx, int dstFd, const std::string& temp,
                   const std::string& name) {
    if (ctx.overwrite) {
        return ::renameat(dstFd, temp.c_str(), dstFd, name.c_str()) == 0 ? 0 : errno;
    }
    return RenameNoReplaceAt(dstFd, temp.c_str(), dstFd, name.c_str());
}

// Writes one file under a temporary name beside its target and renames it into place, so
// a failure never leaves a partial file under the real name.
void CopyFile(const CopyContext& ctx, int srcDir, int dstFd, const std::string& name,
              const std::string& srcShown, const std::string& dstShown) {
    Fd in(::openat(srcDir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.Valid()) {
        ctx.Fail(errno, srcShown);
    }
    struct stat st {};
    if (::fstat(in.Get(), &st) != 0) {
        ctx.Fail(errno, srcShown);
    }
    std::string temp;
    Fd out;
    for (int attempt = 0; attempt < 100 && !out.Valid(); ++attempt) {
        temp = CopyTemporaryName();
        out = Fd(::openat(dstFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!out.Valid() && errno != EEXIST) {
            ctx.Fail(errno, dstShown);
        }
    }
    if (!out.Valid()) {
        ctx.Fail(EEXIST, dstShown, "no free temporary name");
    }
    bool reading = false;
    int err = CopyBytes(in.Get(), out.Get(), &reading);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (err == 0 && ::fchmod(out.Get(), st.st_mode & 07777) != 0) {
        err = errno;
    }
    if (err == 0 && ::futimens(out.Get(), times) != 0) {
        err = errno;
    }
    if (err == 0 && ::fsync(out.Get()) != 0) {
        err = errno;
    }
    if (const int closeErr = out.Close(); err == 0) {
        err = closeErr;
    }
    if (err == 0) {
        err = PlaceTemporary(ctx, dstFd, temp, name);
    }
    if (err != 0) {
        ::unlinkat(dstFd, temp.c_str(), 0);
        ctx.Fail(err, reading ? srcShown : dstShown);
    }
}

void CopyLink(const CopyContext& ctx, int srcDir, int dstFd, const std::string& name,
              const struct stat& st, const std::string& srcShown, const std::string& dstShown) {
    std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(srcDir, name.c_str(), target.data(), target.size());
        if (n < 0) {
            ctx.Fail(errno, srcShown);
        }
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            break;
        }
        target.resize(target.size() * 2);
    }
    std::string temp;
    bool made = false;
    for (int attempt = 0; attempt < 100 && !made; ++attempt) {
        temp = CopyTemporaryName();
        made = ::symlinkat(target.c_str(), dstFd, temp.c_str()) == 0;
        if (!made && errno != EEXIST) {
            ctx.Fail(errno, dstShown);
        }
    }
    if (!made) {
        ctx.Fail(EEXIST, dstShown, "no free temporary name");
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    int err = ::utimensat(dstFd, temp.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    if (err == 0) {
        err = PlaceTemporary(ctx, dstFd, temp, name);
    }
    if (err != 0) {
        ::unlinkat(dstFd, temp.c_str(), 0);
        ctx.Fail(err, dstShown);
    }
}

void CopyFolderAt(const CopyContext& ctx, int srcFd, const struct stat& st, int dstParent,
                  const std::string& name, bool exists, const std::string& srcShown,
                  const std::string& dstShown);

void CopyTree(const CopyContext& ctx, int srcFd, int dstFd, const std::string& srcShown,
              const std::string& dstShown) {
    std::vector<std::string> names;
    if (const int err = ListNames(srcFd, names); err != 0) {
        ctx.Fail(err, srcShown);
    }
    for (const std::string& name : names) {
        const std::string srcChild = JoinPath(srcShown, name);
        const std::string dstChild = JoinPath(dstShown, name);
        struct stat st {};
        if (::fstatat(srcFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ctx.Fail(errno, srcChild);
        }
        struct stat existing {};
        bool exists = ::fstatat(dstFd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) {
            ctx.Fail(errno, dstChild);
        }
        if (S_ISDIR(st.st_mode)) {
            if (exists && !S_ISDIR(existing.st_mode)) {
                ctx.Fail(ENOTDIR, dstChild);
            }
            Fd srcSub = OpenFolderAt(srcFd, name.c_str(), false);
            if (!srcSub.Valid()) {
                ctx.Fail(errno, srcChild);
            }
            CopyFolderAt(ctx, srcSub.Get(), st, dstFd, name, exists, srcChild, dstChild);
            continue;
        }
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            ctx.Fail(EOPNOTSUPP, srcChild, "not a file, folder or link");
        }
        if (exists) {
            if (S_ISDIR(existing.st_mode)) {
                ctx.Fail(EISDIR, dstChild);
            }
            if (!ctx.overwrite) {
                ctx.Fail(EEXIST, dstChild);
            }
        }
        if (S_ISREG(st.st_mode)) {
            CopyFile(ctx, srcFd, dstFd, name, srcChild, dstChild);
        } else {
            CopyLink(ctx, srcFd, dstFd, name, st, srcChild, dstChild);
        }
    }
}

// Copies the source folder open at srcFd (of status st) into the folder name of dstParent
// (a link followed only at the top, where dstParent is AT_FDCWD). A folder made here is
// private while it fills, then takes the source's mode and times; one that existed keeps
// its own.
void CopyFolderAt(const CopyContext& ctx, int srcFd, const struct stat& st, int dstParent,
                  const std::string& name, bool exists, const std::string& srcShown,
                  const std::string& dstShown) {
    if (!exists && ::mkdirat(dstParent, name.c_str(), 0700) != 0) {
        ctx.Fail(errno, dstShown);
    }
    Fd dst = OpenFolderAt(dstParent, name.c_str(), dstParent == AT_FDCWD);
    if (!dst.Valid()) {
        ctx.Fail(errno, dstShown);
    }
    CopyTree(ctx, srcFd, dst.Get(), srcShown, dstShown);
    if (!exists) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (::fchmod(dst.Get(), st.st_mode & 07777) != 0 || ::futimens(dst.Get(), times) != 0) {
            ctx.Fail(errno, dstShown);
        }
    }
}

// The canonical form of a path whose parent exists, even when the path itself does not.
// Returns "" with errno set when it cannot be found.
std::string Canonical(const std::string& path) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        std::string result(real);
        std::free(real);
        return result;
    }
    if (errno != ENOENT) {
        return {};
    }
    const std::string_view trimmed = TrimTrailing(path);
    const std::string parent = Canonical(FolderOf(trimmed));
    if (parent.empty()) {
        return {};
    }
    return parent == "/" ? "/" + std::string(LastComponent(trimmed))
                         : parent + "/" + std::string(LastComponent(trimmed));
}

}  // namespace

void LocalFileSystem::CopyFolder(const std::string& source, const std::string& destination,
                                 bool overwrite) {
    const CopyContext ctx{source, destination, overwrite};
    Fd src = OpenFolderAt(AT_FDCWD, source.c_str(), true);
    if (!src.Valid()) {
        ctx.Fail(errno, source);
    }
    struct stat srcStat {};
    if (::fstat(src.Get(), &srcStat) != 0) {
        ctx.Fail(errno, source);
    }

    const std::string realSource = Canonical(source);
    if (realSource.empty()) {
        ctx.Fail(errno, source);
    }
    const std::string realDestination = Canonical(destination);
    if (realDestination.empty()) {
        ctx.Fail(errno, destination);
    }
    if (realDestination == realSource || realSource == "/" ||
        realDestination.starts_with(realSource + "/")) {
        ctx.Fail(EINVAL, {}, "the destination lies inside the source");
    }

    struct stat dstStat {};
    const bool existed = ::stat(destination.c_str(), &dstStat) == 0;
    if (existed && !S_ISDIR(dstStat.st_mode)) {
        ctx.Fail(ENOTDIR, destination);
    }
    CopyFolderAt(ctx, src.Get(), srcStat, AT_FDCWD, destination, existed, source, destination);
}

}  // namespace vornback
