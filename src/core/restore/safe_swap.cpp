#include "restore/safe_swap.h"
#include <ctime>

#include "base/data_tree.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "platform/file_system.h"

namespace vornback {

void HoldFirmLock(FirmLocks& locks, const ProgramValues& values, int64_t n, Clock& clock) {
    if (locks.count(n) == 0) {
        locks[n] = std::make_shared<RunLock>(LockFirm(values, n, clock));
    }
}

std::string LiveFirmFolder(const ProgramValues& values, FileSystem& fs, int64_t n) {
    return LookupNoCase(fs, values.AppFolder, {FirmFolderName(n)});
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
    fs.SyncFolder(FolderOf(marker));
}

void RemoveMarker(FileSystem& fs, const std::string& marker) {
    fs.DeleteFolder(marker, false);
    fs.SyncFolder(FolderOf(marker));
}

// The folder moved and both folders it touched made durable; *moved (when given) turns
// true as soon as the move itself is done, so that a failed sync still knows to undo it.
void MoveAndSync(FileSystem& fs, const std::string& from, const std::string& to,
                 bool* moved = nullptr) {
    fs.MoveFolder(from, to);
    if (moved != nullptr) {
        *moved = true;
    }
    fs.SyncFolder(FolderOf(to));
    if (FolderOf(from) != FolderOf(to)) {
        fs.SyncFolder(FolderOf(from));
    }
}

}  // namespace

namespace {

// The way back of a swap that failed after it had moved something: the new folder back to
// staged, the replaced one back to target, synced, the marker removed. Returns what the
// message adds: where the data are. When a move back fails the marker stays, so that the
// next start finishes the way back.
std::string PutBack(FileSystem& fs, const std::string& staged, const std::string& target,
                    const std::string& aside, const std::string& marker, bool movedAside,
                    bool movedIn) {
    try {
        if (movedIn) {
            fs.MoveFolder(target, staged);
            fs.SyncFolder(FolderOf(staged));
        }
        if (movedAside) {
            fs.MoveFolder(aside, target);
            fs.SyncFolder(FolderOf(aside));
        }
        fs.SyncFolder(FolderOf(target));
        RemoveMarker(fs, marker);
    } catch (const FileSystemError& back) {
        if (!movedAside) {
            return " The new folder \"" + target + "\" could not be taken back yet (" +
                   back.what() + "); the next start finishes or undoes the change.";
        }
        const bool oldAside = movedAside && fs.FolderExists(aside);
        const std::string where = oldAside ? aside : target;
        return " The data it was replacing are kept whole at \"" + where +
               "\"; they could not be put back yet (" + back.what() + ")" +
               (oldAside ? "; the next start puts them back in \"" + target + "\"." : ".");
    }
    if (movedAside) {
        return " The data it was replacing are back in place at \"" + target +
               "\"; nothing was changed.";
    }
    return " Nothing was changed.";
}

}  // namespace

void SwapIntoPlace(FileSystem& fs, const ProgramValues& values, const std::string& staged,
                   const std::string& target, const std::string& aside, const std::string& marker) {
    static_cast<void>(values);
    // A copy set aside by an earlier run is for recovery to put back, never for this run to
    // overwrite or delete.
    if (fs.FolderExists(aside)) {
        throw FileSystemError("The folder \"" + aside +
                              "\" holds data set aside by an interrupted run; nothing was "
                              "changed. Start the program again to put them back first.");
    }
    MakeMarker(fs, marker);
    const bool hadLive = fs.FolderExists(target);
    bool movedAside = false;
    bool movedIn = false;
    try {
        if (hadLive) {
            fs.MoveFolder(target, aside);
            movedAside = true;
            fs.SyncFolder(FolderOf(aside));
        }
        MoveAndSync(fs, staged, target, &movedIn);
    } catch (const FileSystemError& e) {
        throw FileSystemError(e.what() +
                              PutBack(fs, staged, target, aside, marker, movedAside, movedIn));
    }
    RemoveMarker(fs, marker);
}

void PlaceThenRegister(FileSystem& fs, const ProgramValues& values, const std::string& staged,
                       const std::string& target, const std::string& marker,
                       const std::function<void()>& registerRow) {
    static_cast<void>(values);
    MakeMarker(fs, marker);
    bool moved = false;
    try {
        MoveAndSync(fs, staged, target, &moved);
    } catch (const FileSystemError& e) {
        // A folder in place without its register row must not outlive the marker.
        throw FileSystemError(e.what() + PutBack(fs, staged, target, "", marker, false, moved));
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
    const std::string doomed = JoinPath(FolderOf(folder), DeletingName(NameOf(folder)));
    DeleteIfThere(fs, doomed);  // left by a kill during an earlier deletion
    fs.MoveFolder(folder, doomed);
    fs.SyncFolder(FolderOf(folder));
    fs.DeleteFolder(doomed, false);
}

std::string Stamp(Clock& clock) {
    const auto now = static_cast<std::time_t>(clock.Seconds());
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

}  // namespace vornback
