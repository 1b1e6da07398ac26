#include "restore/safe_swap.h"
#include <ctime>

#include "base/data_tree.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "platform/file_system.h"

namespace vornback {

void HoldFirmLock(FirmLocks& locks, const ProgramValues& values, int64_t n) {
    if (locks.count(n) == 0) {
        locks[n] = std::make_shared<RunLock>(LockFirm(values, n));
    }
}

std::optional<std::string> FindNoCase(FileSystem& fs, const std::string& folder,
                                      const std::string& name, bool wantFolder) {
    const std::string found = LookupNoCase(fs, folder, {name});
    if (wantFolder ? fs.FolderExists(found) : fs.FileExists(found)) {
        return found;
    }
    return std::nullopt;
}

std::string LiveFirmFolder(const ProgramValues& values, FileSystem& fs, int64_t n) {
    return LookupNoCase(fs, values.AppFolder, {FirmFolderName(n)});
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of(kSeparator);
    return slash == std::string::npos || slash == 0 ? std::string(1, kSeparator)
                                                    : path.substr(0, slash);
}

void SyncTree(FileSystem& fs, const std::string& folder) {
    for (const FileEntry& file : fs.Files(folder)) {
        fs.SyncFile(file.path);
    }
    for (const FileEntry& sub : fs.SubFolders(folder)) {
        SyncTree(fs, sub.path);
    }
    fs.SyncFolder(folder);
}

void DeleteIfThere(FileSystem& fs, const std::string& folder) {
    if (!folder.empty() && fs.FolderExists(folder)) {
        fs.DeleteFolder(folder, false);
    }
}

std::string ReplacedRoot(const ProgramValues& values) {
    return JoinPath(StagingRoot(values), kReplacedFolderName);
}

std::string FirmSwapMarker(const ProgramValues& values, int64_t n, const std::string& stamp) {
    return JoinPath(StagingRoot(values), FirmSwapMarkerName(n, stamp));
}

std::string ReplacedCopy(const ProgramValues& values, int64_t n, const std::string& stamp) {
    return JoinPath(ReplacedRoot(values), ReplacedCopyName(n, stamp));
}

std::string YearSwapMarker(const ProgramValues& values, int64_t n, const std::string& t) {
    return JoinPath(StagingRoot(values), YearSwapMarkerName(n, t));
}

std::string YearAside(const ProgramValues& values, int64_t n, const std::string& t) {
    return JoinPath(StagingRoot(values), YearAsideName(n, t));
}

std::string FirmPlaceMarker(const ProgramValues& values, int64_t m) {
    return JoinPath(StagingRoot(values), FirmPlaceMarkerName(m));
}

std::string YearPlaceMarker(const ProgramValues& values, int64_t n, int64_t k) {
    return JoinPath(StagingRoot(values), YearPlaceMarkerName(n, k));
}

namespace {

// The marker exists and is durable before the step it announces.
void MakeMarker(FileSystem& fs, const std::string& marker) {
    if (!fs.FolderExists(marker)) {
        fs.CreateFolder(marker);
    }
    fs.SyncFolder(ParentOf(marker));
}

void RemoveMarker(FileSystem& fs, const std::string& marker) {
    fs.DeleteFolder(marker, false);
    fs.SyncFolder(ParentOf(marker));
}

void MoveAndSync(FileSystem& fs, const std::string& from, const std::string& to) {
    fs.MoveFolder(from, to);
    fs.SyncFolder(ParentOf(to));
    if (ParentOf(from) != ParentOf(to)) {
        fs.SyncFolder(ParentOf(from));
    }
}

}  // namespace

void SwapIntoPlace(FileSystem& fs, const ProgramValues& values, const std::string& staged,
                   const std::string& target, const std::string& aside, const std::string& marker) {
    static_cast<void>(values);
    MakeMarker(fs, marker);
    const bool hadLive = fs.FolderExists(target);
    if (hadLive) {
        MoveAndSync(fs, target, aside);
    }
    try {
        MoveAndSync(fs, staged, target);
    } catch (const FileSystemError& moveError) {
        if (hadLive) {
            try {
                MoveAndSync(fs, aside, target);
            } catch (const FileSystemError& backError) {
                // The marker stays: the next start puts the old data back.
                throw FileSystemError(std::string(moveError.what()) +
                                      " The data it replaced could not be put back yet and are "
                                      "kept whole at \"" +
                                      aside + "\" (" + backError.what() +
                                      "); the next start puts them back.");
            }
        }
        RemoveMarker(fs, marker);
        throw;
    }
    RemoveMarker(fs, marker);
}

void PlaceThenRegister(FileSystem& fs, const ProgramValues& values, const std::string& staged,
                       const std::string& target, const std::string& marker,
                       const std::function<void()>& registerRow) {
    static_cast<void>(values);
    MakeMarker(fs, marker);
    try {
        MoveAndSync(fs, staged, target);
    } catch (const FileSystemError&) {
        RemoveMarker(fs, marker);
        throw;
    }
    try {
        registerRow();
    } catch (const Error& e) {
        try {
            MoveAndSync(fs, target, staged);
        } catch (const FileSystemError& back) {
            // The marker stays: the next start takes the unregistered folder away.
            throw Error(std::string(e.what()) + " The folder \"" + target +
                        "\" has no register row and could not be moved back to \"" + staged +
                        "\" (" + back.what() + "); the next start removes it.");
        }
        RemoveMarker(fs, marker);
        throw;
    }
    RemoveMarker(fs, marker);
}

void DeleteWhole(FileSystem& fs, const std::string& folder) {
    const size_t slash = folder.find_last_of(kSeparator);
    const std::string doomed = JoinPath(ParentOf(folder), ".deleting-" + folder.substr(slash + 1));
    DeleteIfThere(fs, doomed);  // left by a kill during an earlier deletion
    fs.MoveFolder(folder, doomed);
    fs.SyncFolder(ParentOf(folder));
    fs.DeleteFolder(doomed, false);
}

std::string Stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

}  // namespace vornback
