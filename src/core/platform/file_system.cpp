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
#include "platform/file_system_internal.h"
#include "platform/posix.h"

namespace vornback {

namespace file_system_internal {

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
        {"WriteWholeFile", "write the file"},
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

// The source of a move: it must exist, and be a folder exactly when folder is true.
void RequireSource(std::string_view op, const std::string& source, const std::string& destination,
                   bool folder) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        Fail2(op, source, destination, errno);
    }
    if ((S_ISDIR(st.st_mode) != 0) != folder) {
        Fail2(op, source, destination, folder ? ENOTDIR : EISDIR);
    }
}

// A rename that never replaces what stands at destination.
void MoveNoReplace(std::string_view op, const std::string& source, const std::string& destination,
                   bool folder) {
    RequireSource(op, source, destination, folder);
    if (const int err = RenameNoReplaceAt(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str());
        err != 0) {
        Fail2(op, source, destination, err);
    }
}

}  // namespace

[[noreturn]] void Fail(std::string_view op, std::string_view path, int err, std::string_view inner,
                       std::string_view note) {
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
                        int err, std::string_view inner, std::string_view note) {
    Fail(op, std::string(source) + "\" to \"" + std::string(destination), err, inner, note);
}

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

}  // namespace file_system_internal

using namespace file_system_internal;

namespace {

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

void LocalFileSystem::MoveFile(const std::string& source, const std::string& destination) {
    MoveNoReplace("MoveFile", source, destination, false);
}

void LocalFileSystem::MoveFolder(const std::string& source, const std::string& destination) {
    MoveNoReplace("MoveFolder", source, destination, true);
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
    RequireSource("ReplaceFile", source, destination, false);
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

int WriteWholeFile(const std::string& path, const std::string& bytes, unsigned mode,
                   const char** step) {
    *step = "create";
    std::string temp = path + ".XXXXXX";
    Fd fd(::mkstemp(temp.data()));
    if (!fd.Valid()) {
        return errno;
    }
    int err = ::fchmod(fd.Get(), static_cast<mode_t>(mode & 07777)) == 0 ? 0 : errno;
    if (err == 0) {
        *step = "write";
        err = WriteAll(fd.Get(), bytes.data(), bytes.size());
    }
    if (err == 0 && ::fsync(fd.Get()) != 0) {
        err = errno;
    }
    if (const int closeErr = fd.Close(); err == 0) {
        err = closeErr;
    }
    if (err == 0) {
        *step = "rename";
        err = ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
    }
    if (err != 0) {
        ::unlink(temp.c_str());
        return err;
    }
    // The rename stands a power loss only once the folder's entries are on the disk.
    *step = "sync the folder";
    Fd folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.Valid() || ::fsync(folder.Get()) != 0) {
        return errno;
    }
    return 0;
}

void LocalFileSystem::WriteWholeFile(const std::string& path, const std::string& bytes,
                                     unsigned mode) {
    const char* step = "";
    if (const int err = vornback::WriteWholeFile(path, bytes, mode, &step); err != 0) {
        Fail("WriteWholeFile", path, err, {}, step);
    }
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

std::optional<std::string> FindNoCase(FileSystem& fs, const std::string& folder,
                                      const std::string& name, bool wantFolder) {
    const std::string exact = JoinPath(folder, name);
    if (wantFolder ? fs.FolderExists(exact) : fs.FileExists(exact)) {
        return exact;
    }
    if (!fs.FolderExists(folder)) {
        return std::nullopt;
    }
    const std::string wanted = ToLower(name);
    for (const FileEntry& entry : wantFolder ? fs.SubFolders(folder) : fs.Files(folder)) {
        if (ToLower(entry.name) == wanted) {
            return entry.path;
        }
    }
    return std::nullopt;
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
