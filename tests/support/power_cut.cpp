#include "support/power_cut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <mutex>

namespace vornback::test {

namespace fs = std::filesystem;

namespace {

// The armed journal of this process, told of every sync. Guarded by ArmedLock: packing and
// unpacking sync from their worker threads.
PowerCutJournal* armed = nullptr;
std::mutex& ArmedLock() {
    static std::mutex lock;
    return lock;
}

// A sync call passed on to the kernel; when it worked, the armed journal learns of it (all:
// the whole file system was synced).
int Watched(long call, int fd, bool all) {
    const int result = static_cast<int>(::syscall(call, fd));
    const std::lock_guard<std::mutex> hold(ArmedLock());
    if (result == 0 && armed != nullptr) {
        all ? armed->SyncedAll() : armed->Synced(fd);
    }
    return result;
}

std::string Canonical(const std::string& path) {
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    return ec ? path : real.string();
}

// The folder holding path, as the kernel names it (links resolved), so that it compares
// with the folder a sync names.
std::string FolderOf(const std::string& path) {
    fs::path p(path);
    while (!p.empty() && !p.has_filename() && p != p.root_path()) {
        p = p.parent_path();
    }
    return Canonical(p.parent_path().string());
}

// Every folder of the tree at path, itself included.
std::vector<std::string> FoldersIn(const std::string& path) {
    std::vector<std::string> folders{Canonical(path)};
    std::error_code ec;
    for (auto e = fs::recursive_directory_iterator(path, ec); !ec && e != fs::end(e);
         e.increment(ec)) {
        if (e->is_directory(ec) && !e->is_symlink(ec)) {
            folders.push_back(Canonical(e->path().string()));
        }
    }
    return folders;
}

void Undone(const char* what, const std::string& path, const std::error_code& ec) {
    if (ec) {
        std::fprintf(stderr, "power cut: could not undo %s of %s: %s\n", what, path.c_str(),
                     ec.message().c_str());
    }
}

void Restore(const std::string& saved, const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
    if (!saved.empty()) {
        fs::rename(saved, path, ec);
        Undone("the removal", path, ec);
    }
}

}  // namespace

PowerCutJournal::PowerCutJournal(std::vector<std::string> roots, std::string saveArea)
    : roots_(std::move(roots)), saveArea_(std::move(saveArea)) {
    std::error_code ec;
    fs::remove_all(saveArea_, ec);
    fs::create_directories(saveArea_);
    Snapshot();
    const std::lock_guard<std::mutex> hold(ArmedLock());
    armed = this;
}

PowerCutJournal::~PowerCutJournal() {
    {
        const std::lock_guard<std::mutex> hold(ArmedLock());
        armed = nullptr;
    }
    std::error_code ec;
    fs::remove_all(saveArea_, ec);
}

void PowerCutJournal::EachFile(const std::function<void(const fs::path&, const struct stat&)>& f) {
    for (const std::string& root : roots_) {
        std::error_code ec;
        for (auto e = fs::recursive_directory_iterator(root, ec); !ec && e != fs::end(e);
             e.increment(ec)) {
            struct stat st {};
            if (e->path() == saveArea_) {
                e.disable_recursion_pending();
            } else if (::lstat(e->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                f(e->path(), st);
            }
        }
    }
}

void PowerCutJournal::Snapshot() {
    durableSize_.clear();
    EachFile([this](const fs::path&, const struct stat& st) {
        durableSize_[{st.st_dev, st.st_ino}] = st.st_size;
    });
}

std::string PowerCutJournal::Save(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) {
        return "";
    }
    const std::string saved = saveArea_ + "/" + std::to_string(++saved_);
    // Second names keep the very files (and what the data cut knows of them).
    fs::copy(path, saved,
             fs::copy_options::recursive | fs::copy_options::create_hard_links |
                 fs::copy_options::copy_symlinks);
    return saved;
}

void PowerCutJournal::Record(std::vector<std::string> touched, std::function<void()> undo) {
    const std::lock_guard<std::mutex> hold(ArmedLock());
    changes_.push_back(Change{{touched.begin(), touched.end()}, std::move(undo)});
}

void PowerCutJournal::Synced(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return;
    }
    if (S_ISREG(st.st_mode)) {
        durableSize_[{st.st_dev, st.st_ino}] = st.st_size;
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        return;
    }
    char target[PATH_MAX + 1] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, PATH_MAX);
    if (n <= 0) {
        return;
    }
    const std::string folder(target, static_cast<size_t>(n));
    for (Change& change : changes_) {
        change.pending.erase(folder);
    }
}

void PowerCutJournal::SyncedAll() {
    changes_.clear();
    Snapshot();
}

void PowerCutJournal::Cut() {
    const std::lock_guard<std::mutex> hold(ArmedLock());
    armed = nullptr;
    for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
        if (!change->pending.empty()) {
            try {
                change->undo();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "power cut: %s\n", e.what());
            }
        }
    }
    EachFile([this](const fs::path& path, const struct stat& st) {
        const auto durable = durableSize_.find({st.st_dev, st.st_ino});
        const off_t keep = durable == durableSize_.end() ? 0 : durable->second;
        if (st.st_size > keep && ::truncate(path.c_str(), keep) != 0) {
            std::perror("power cut: truncate");
        }
    });
}

std::string PowerCutFileSystem::SavedAround(const std::string& path,
                                            const std::function<void()>& change) {
    const std::string saved = journal_.Save(path);
    try {
        change();
    } catch (...) {
        std::error_code ec;
        fs::remove_all(saved, ec);
        throw;
    }
    return saved;
}

void PowerCutFileSystem::Removal(const std::string& path, const std::function<void()>& remove) {
    const std::string folder = FolderOf(path);
    const std::string saved = SavedAround(path, remove);
    journal_.Record({folder}, [saved, path] { Restore(saved, path); });
    Step();
}

void PowerCutFileSystem::Rename(const std::string& from, const std::string& to,
                                const std::function<void()>& move) {
    const std::string saved = SavedAround(to, move);
    journal_.Record({FolderOf(from), FolderOf(to)}, [from, to, saved] {
        std::error_code ec;
        fs::rename(to, from, ec);
        Undone("the rename", to, ec);
        if (!saved.empty()) {
            fs::rename(saved, to, ec);
            Undone("the replacement", to, ec);
        }
    });
    Step();
}

void PowerCutFileSystem::CreateFolder(const std::string& path) {
    LocalFileSystem::CreateFolder(path);
    journal_.Record({FolderOf(path)}, [path] { Restore("", path); });
    Step();
}

void PowerCutFileSystem::DeleteFile(const std::string& path, bool force) {
    Removal(path, [&] { LocalFileSystem::DeleteFile(path, force); });
}

void PowerCutFileSystem::DeleteFolder(const std::string& path, bool force) {
    Removal(path, [&] { LocalFileSystem::DeleteFolder(path, force); });
}

void PowerCutFileSystem::Kill(const std::string& path) {
    Removal(path, [&] { LocalFileSystem::Kill(path); });
}

void PowerCutFileSystem::CopyFolder(const std::string& from, const std::string& to,
                                    bool overwrite) {
    const bool existed = fs::exists(to);
    const std::string saved = journal_.Save(to);
    // The copy syncs each file's data but none of the folders it fills.
    const auto record = [&] {
        std::vector<std::string> touched = FoldersIn(to);
        if (!existed) {
            touched.push_back(FolderOf(to));
        }
        journal_.Record(std::move(touched), [saved, to] { Restore(saved, to); });
    };
    try {
        LocalFileSystem::CopyFolder(from, to, overwrite);
    } catch (...) {
        record();
        throw;
    }
    record();
    Step();
}

void PowerCutFileSystem::MoveFile(const std::string& from, const std::string& to) {
    Rename(from, to, [&] { LocalFileSystem::MoveFile(from, to); });
}

void PowerCutFileSystem::MoveFolder(const std::string& from, const std::string& to) {
    Rename(from, to, [&] { LocalFileSystem::MoveFolder(from, to); });
}

void PowerCutFileSystem::ReplaceFile(const std::string& from, const std::string& to) {
    Rename(from, to, [&] { LocalFileSystem::ReplaceFile(from, to); });
}

void PowerCutFileSystem::WriteWholeFile(const std::string& path, const std::string& bytes,
                                        unsigned mode) {
    // Journalled before the write: the write syncs the folder itself.
    const std::string saved = journal_.Save(path);
    journal_.Record({FolderOf(path)}, [saved, path] { Restore(saved, path); });
    LocalFileSystem::WriteWholeFile(path, bytes, mode);
    Step();
}

bool PowerCutFileSystem::HardLink(const std::string& existing, const std::string& link) {
    if (!HardLinks()) {
        return false;
    }
    const bool linked = LocalFileSystem::HardLink(existing, link);
    if (linked) {
        journal_.Record({FolderOf(link)}, [link] { Restore("", link); });
    }
    Step();
    return linked;
}

}  // namespace vornback::test

// The sync calls of the whole process (the program's own code and the libraries it links:
// the register databases, the packer) pass here while this file is linked into a test, and
// go on to the kernel; an armed journal learns what each made durable.
extern "C" {

int fsync(int fd) {
    return vornback::test::Watched(SYS_fsync, fd, false);
}

int fdatasync(int fd) {
    return vornback::test::Watched(SYS_fdatasync, fd, false);
}

int syncfs(int fd) {
    return vornback::test::Watched(SYS_syncfs, fd, true);
}

}  // extern "C"
