// LocalFileSystem: the file-system service on POSIX calls.
//
// Folder walks work on open folder descriptors with the *at calls and O_NOFOLLOW, so a link
// met inside a tree is handled as the link itself and never as what it points to. Only the
// path a caller names is followed (as the platform does for its own paths).
//
// Choices where the contract leaves room:
// - SubFolders and Files follow links: a link to a folder is listed as a sub-folder, a link
//   to a file as a file; a dangling link, a pipe or a socket is in neither list.
// - DeleteFolder of a path that is itself a link to a folder removes the link only.
// - Read-only means no owner write bit. Without force, DeleteFolder also refuses a folder
//   that has entries but no owner write bit, since nothing could be removed from it; with
//   force it gives such a folder its write bit back first. The whole tree is checked before
//   anything is removed, so a refusal leaves the tree as it was.
// - CopyFolder with overwrite replaces a read-only destination file too; without overwrite
//   any existing file is refused. A file never replaces a folder. Each file is written under
//   a hidden temporary name in its destination folder and renamed into place. Permission
//   bits and access and modification times (to the nanosecond) are kept; folders that the
//   copy creates get the source's permissions and times, folders that already existed keep
//   their own. Links are copied as links. Pipes, sockets and devices are refused.
// - Dir treats the path literally (no wildcards). Hidden (dot) names count only for
//   folders. A path with a trailing separator names a folder: with foldersCount it gives
//   that folder's name ("/" for the root), otherwise "".
#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "base/errors.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "platform/posix.h"

namespace vornback {

namespace {

std::string Quote(std::string_view path) {
    return "\"" + std::string(path) + "\"";
}

// What the operation could not do, as the failure's sentence says it.
std::string_view What(std::string_view op) {
    static constexpr std::pair<std::string_view, std::string_view> kPhrases[] = {
        {"CreateFolder", "create the folder"},
        {"DeleteFile", "delete the file"},
        {"Kill", "delete the file"},
        {"DeleteFolder", "delete the folder"},
        {"CopyFolder", "copy the folder"},
        {"MoveFile", "move the file"},
        {"MoveFolder", "move the folder"},
        {"SubFolders", "list the folders in"},
        {"Files", "list the files in"},
        {"FileLength", "read the size of the file"},
        {"SyncFile", "write to the disk the file"},
        {"SyncFolder", "write to the disk the changes in the folder"},
        {"HardLink", "link the file"},
        {"ReplaceFile", "rename the file"},
    };
    for (const auto& [name, phrase] : kPhrases) {
        if (name == op) {
            return phrase;
        }
    }
    return op;
}

std::string_view Advice(int err) {
    switch (err) {
        case EACCES:
        case EPERM:
        case EROFS:
            return "Check that you may change it, then try again.";
        case ENOSPC:
        case EDQUOT:
            return "Free some space on that disk, then try again.";
        case EEXIST:
        case ENOTEMPTY:
            return "Move or rename what is in the way, then try again.";
        case EXDEV:
            return "Choose a folder on the same disk, then try again.";
        case ENOENT:
        case ENOTDIR:
            return "Check that it exists, then try again.";
        default:
            return "Check the disk and the folder, then try again.";
    }
}

// The failure as one sentence: what could not be done, on which path (and the inner entry
// that stopped it), the system's reason and what to try.
[[noreturn]] void Fail(std::string_view op, std::string_view path, int err,
                       std::string_view inner = {}, std::string_view note = {}) {
    std::string text = "Could not " + std::string(What(op)) + " " + Quote(path);
    if (!inner.empty()) {
        text += " (at " + Quote(inner) + ")";
    }
    text += ": " + std::string(std::strerror(err));
    if (!note.empty()) {
        text += " (" + std::string(note) + ")";
    }
    text += ". " + std::string(Advice(err));
    throw FileSystemError(text);
}

[[noreturn]] void Fail2(std::string_view op, std::string_view source, std::string_view destination,
                        int err, std::string_view inner = {}, std::string_view note = {}) {
    Fail(op, std::string(source) + "\" to \"" + std::string(destination), err, inner, note);
}

// The path without trailing separators; the root stays "/".
std::string_view TrimTrailing(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    return path;
}

std::string_view LastComponent(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool IsReadOnly(const struct stat& st) {
    return (st.st_mode & S_IWUSR) == 0;
}

Fd OpenFolderAt(int dirFd, const char* name, bool followLink) {
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    if (!followLink) {
        flags |= O_NOFOLLOW;
    }
    return Fd(::openat(dirFd, name, flags));
}

// The names in an open folder, without "." and "..", sorted byte-wise. Returns 0 or errno.
int ListNames(int dirFd, std::vector<std::string>& names) {
    const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return errno;
    }
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        const int err = errno;
        ::close(copy);
        return err;
    }
    ::rewinddir(dir);
    int err = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            err = errno;
            break;
        }
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return err;
}

// ---- deletion ----------------------------------------------------------------------

struct DeleteContext {
    std::string_view op;
    std::string_view path;
    bool force;

    // Names the inner entry only when it is not the folder being deleted.
    [[noreturn]] void Fail(int err, std::string_view inner, std::string_view note = {}) const {
        vornback::Fail(op, path, err, inner == path ? std::string_view() : inner, note);
    }
};

// Walks the whole tree and throws when a non-forced deletion could not finish, before
// anything is removed.
void CheckDeletable(const DeleteContext& ctx, int dirFd, const std::string& shown,
                    const struct stat& dirStat) {
    std::vector<std::string> names;
    if (const int err = ListNames(dirFd, names); err != 0) {
        ctx.Fail(err, shown);
    }
    if (!names.empty() && IsReadOnly(dirStat)) {
        ctx.Fail(EACCES, shown, "read-only folder");
    }
    for (const std::string& name : names) {
        const std::string child = JoinPath(shown, name);
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ctx.Fail(errno, child);
        }
        if (S_ISDIR(st.st_mode)) {
            Fd sub = OpenFolderAt(dirFd, name.c_str(), false);
            if (!sub.Valid()) {
                ctx.Fail(errno, child);
            }
            CheckDeletable(ctx, sub.Get(), child, st);
        } else if (S_ISREG(st.st_mode) && IsReadOnly(st)) {
            ctx.Fail(EACCES, child, "read-only");
        }
    }
}

void RemoveContents(const DeleteContext& ctx, int dirFd, const std::string& shown,
                    const struct stat& dirStat) {
    if (IsReadOnly(dirStat) && ctx.force) {
        if (::fchmod(dirFd, (dirStat.st_mode & 07777) | S_IWUSR) != 0) {
            ctx.Fail(errno, shown);
        }
    }
    std::vector<std::string> names;
    if (const int err = ListNames(dirFd, names); err != 0) {
        ctx.Fail(err, shown);
    }
    for (const std::string& name : names) {
        const std::string child = JoinPath(shown, name);
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ctx.Fail(errno, child);
        }
        int flags = 0;
        if (S_ISDIR(st.st_mode)) {
            Fd sub = OpenFolderAt(dirFd, name.c_str(), false);
            if (!sub.Valid()) {
                ctx.Fail(errno, child);
            }
            RemoveContents(ctx, sub.Get(), child, st);
            flags = AT_REMOVEDIR;
        } else if (S_ISREG(st.st_mode) && IsReadOnly(st) && !ctx.force) {
            // Made read-only after the check: still not forced.
            ctx.Fail(EACCES, child, "read-only");
        }
        if (::unlinkat(dirFd, name.c_str(), flags) != 0) {
            ctx.Fail(errno, child);
        }
    }
}

// ---- copying -----------------------------------------------------------------------

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
            if (!exists && ::mkdirat(dstFd, name.c_str(), 0700) != 0) {
                ctx.Fail(errno, dstChild);
            }
            Fd srcSub = OpenFolderAt(srcFd, name.c_str(), false);
            if (!srcSub.Valid()) {
                ctx.Fail(errno, srcChild);
            }
            Fd dstSub = OpenFolderAt(dstFd, name.c_str(), false);
            if (!dstSub.Valid()) {
                ctx.Fail(errno, dstChild);
            }
            CopyTree(ctx, srcSub.Get(), dstSub.Get(), srcChild, dstChild);
            if (!exists) {
                const struct timespec times[2] = {st.st_atim, st.st_mtim};
                if (::fchmod(dstSub.Get(), st.st_mode & 07777) != 0 ||
                    ::futimens(dstSub.Get(), times) != 0) {
                    ctx.Fail(errno, dstChild);
                }
            }
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

// ---- listing -----------------------------------------------------------------------

std::vector<FileEntry> List(std::string_view op, const std::string& path, bool folders) {
    Fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid()) {
        Fail(op, path, errno);
    }
    std::vector<std::string> names;
    if (const int err = ListNames(dir.Get(), names); err != 0) {
        Fail(op, path, err);
    }
    std::vector<FileEntry> entries;
    for (std::string& name : names) {
        struct stat st {};
        if (::fstatat(dir.Get(), name.c_str(), &st, 0) != 0) {
            continue;  // a dangling link: neither a file nor a folder
        }
        if (folders ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode)) {
            std::string entryPath = JoinPath(path, name);
            entries.push_back(FileEntry{std::move(name), std::move(entryPath)});
        }
    }
    return entries;
}

}  // namespace

bool LocalFileSystem::FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool LocalFileSystem::FolderExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void LocalFileSystem::CreateFolder(const std::string& path) {
    // The folders made here are the program's own (backup folders, staging, markers):
    // private whatever the umask.
    if (::mkdir(path.c_str(), PrivateFolderMode()) != 0) {
        Fail("CreateFolder", path, errno);
    }
    if (const int err = MakePrivate(path, true); err != 0) {
        Fail("CreateFolder", path, err);
    }
}

void LocalFileSystem::DeleteFile(const std::string& path, bool force) {
    constexpr std::string_view op = "DeleteFile";
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        Fail(op, path, errno);
    }
    struct stat target {};
    if (::stat(path.c_str(), &target) == 0) {
        if (S_ISDIR(target.st_mode)) {
            Fail(op, path, EISDIR);
        }
        if (S_ISREG(st.st_mode) && IsReadOnly(st) && !force) {
            Fail(op, path, EACCES, {}, "read-only");
        }
    }
    if (::unlink(path.c_str()) != 0) {
        Fail(op, path, errno);
    }
}

void LocalFileSystem::DeleteFolder(const std::string& path, bool force) {
    constexpr std::string_view op = "DeleteFolder";
    const std::string top(TrimTrailing(path));
    struct stat st {};
    if (::lstat(top.c_str(), &st) != 0) {
        Fail(op, path, errno);
    }
    if (S_ISLNK(st.st_mode)) {
        struct stat target {};
        if (::stat(top.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) {
            Fail(op, path, ENOTDIR);
        }
        if (::unlink(top.c_str()) != 0) {
            Fail(op, path, errno);
        }
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        Fail(op, path, ENOTDIR);
    }
    Fd dir = OpenFolderAt(AT_FDCWD, top.c_str(), false);
    if (!dir.Valid()) {
        Fail(op, path, errno);
    }
    const DeleteContext ctx{op, path, force};
    if (!force) {
        // The folder itself leaves its parent last; make sure that can happen before the
        // contents go.
        const std::string parent = FolderOf(top);
        if (::faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
            Fail(op, path, errno, parent);
        }
        CheckDeletable(ctx, dir.Get(), path, st);
    }
    RemoveContents(ctx, dir.Get(), path, st);
    if (::rmdir(top.c_str()) != 0) {
        Fail(op, path, errno);
    }
}

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
    if (!existed && ::mkdir(destination.c_str(), 0700) != 0) {
        ctx.Fail(errno, destination);
    }
    Fd dst = OpenFolderAt(AT_FDCWD, destination.c_str(), true);
    if (!dst.Valid()) {
        ctx.Fail(errno, destination);
    }
    CopyTree(ctx, src.Get(), dst.Get(), source, destination);
    if (!existed) {
        const struct timespec times[2] = {srcStat.st_atim, srcStat.st_mtim};
        if (::fchmod(dst.Get(), srcStat.st_mode & 07777) != 0 ||
            ::futimens(dst.Get(), times) != 0) {
            ctx.Fail(errno, destination);
        }
    }
}

void LocalFileSystem::MoveFile(const std::string& source, const std::string& destination) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        Fail2("MoveFile", source, destination, errno);
    }
    if (S_ISDIR(st.st_mode)) {
        Fail2("MoveFile", source, destination, EISDIR);
    }
    if (const int err = RenameNoReplaceAt(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str());
        err != 0) {
        Fail2("MoveFile", source, destination, err);
    }
}

void LocalFileSystem::MoveFolder(const std::string& source, const std::string& destination) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        Fail2("MoveFolder", source, destination, errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        Fail2("MoveFolder", source, destination, ENOTDIR);
    }
    if (const int err = RenameNoReplaceAt(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str());
        err != 0) {
        Fail2("MoveFolder", source, destination, err);
    }
}

std::vector<FileEntry> LocalFileSystem::SubFolders(const std::string& path) {
    return List("SubFolders", path, true);
}

std::vector<FileEntry> LocalFileSystem::Files(const std::string& path) {
    return List("Files", path, false);
}

std::string LocalFileSystem::Dir(const std::string& path, bool foldersCount) {
    if (path.empty()) {
        return {};
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {};
    }
    const std::string_view trimmed = TrimTrailing(path);
    if (S_ISDIR(st.st_mode)) {
        if (!foldersCount) {
            return {};
        }
        return trimmed == "/" ? std::string("/") : std::string(LastComponent(trimmed));
    }
    if (!S_ISREG(st.st_mode) || path.back() == '/') {
        return {};
    }
    const std::string_view name = LastComponent(path);
    return name.starts_with('.') ? std::string() : std::string(name);
}

void LocalFileSystem::Kill(const std::string& path) {
    if (::unlink(path.c_str()) != 0) {
        Fail("Kill", path, errno);
    }
}

uint64_t LocalFileSystem::FileLength(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        Fail("FileLength", path, errno);
    }
    if (S_ISDIR(st.st_mode)) {
        Fail("FileLength", path, EISDIR);
    }
    if (!S_ISREG(st.st_mode)) {
        Fail("FileLength", path, EINVAL, {}, "not a file");
    }
    return static_cast<uint64_t>(st.st_size);
}

namespace {

void SyncPath(const char* op, const std::string& path, int flags) {
    Fd fd(::open(path.c_str(), flags | O_CLOEXEC));
    if (!fd.Valid()) {
        Fail(op, path, errno);
    }
    if (::fsync(fd.Get()) != 0) {
        Fail(op, path, errno);
    }
}

}  // namespace

void LocalFileSystem::SyncFile(const std::string& path) {
    SyncPath("SyncFile", path, O_RDONLY);
}

void LocalFileSystem::SyncFolder(const std::string& path) {
    SyncPath("SyncFolder", path, O_RDONLY | O_DIRECTORY);
}

bool LocalFileSystem::HardLink(const std::string& existing, const std::string& link) {
    if (::link(existing.c_str(), link.c_str()) == 0) {
        return true;
    }
    const int err = errno;
    // File systems without hard links (FAT, some network shares) answer with one of these.
    if (err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EMLINK) {
        return false;
    }
    Fail2("HardLink", existing, link, err);
}

void LocalFileSystem::ReplaceFile(const std::string& source, const std::string& destination) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        Fail2("ReplaceFile", source, destination, errno);
    }
    if (S_ISDIR(st.st_mode)) {
        Fail2("ReplaceFile", source, destination, EISDIR);
    }
    if (::rename(source.c_str(), destination.c_str()) != 0) {
        Fail2("ReplaceFile", source, destination, errno);
    }
}

bool LocalFileSystem::SameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::string LookupNoCase(FileSystem& fs, const std::string& root,
                         std::initializer_list<std::string> components) {
    std::string path = root;
    bool found = true;
    for (const std::string& component : components) {
        std::string name = component;
        if (found && fs.FolderExists(path)) {
            found = false;
            const std::string wanted = ToLower(component);
            for (const auto& list : {fs.SubFolders(path), fs.Files(path)}) {
                for (const FileEntry& entry : list) {
                    // The exact spelling wins over another entry that differs in case only.
                    if (entry.name == component || (!found && ToLower(entry.name) == wanted)) {
                        name = entry.name;
                        found = true;
                    }
                }
            }
        } else {
            found = false;
        }
        path = JoinPath(path, name);
    }
    return path;
}

std::string FolderProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR
                   ? "does not exist"
                   : "cannot be reached: " + std::string(std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return "is not a folder";
    }
    if (::access(path.c_str(), W_OK | X_OK) != 0) {
        return "is not writable for this user";
    }
    return "";
}

uint64_t FreeBytes(const std::string& path) {
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

}  // namespace vornback
