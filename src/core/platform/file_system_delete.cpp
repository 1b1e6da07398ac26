// LocalFileSystem's deletions: the whole tree is checked before anything is removed, so a
// refusal leaves the tree as it was (see file_system.cpp for the choices made).
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

}  // namespace

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

void LocalFileSystem::Kill(const std::string& path) {
    if (::unlink(path.c_str()) != 0) {
        Fail("Kill", path, errno);
    }
}

}  // namespace vornback
