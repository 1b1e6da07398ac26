#include "recovery/recovery.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>

#include "archive/archive.h"
#include "base/data_tree.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "base/warnings.h"
#include "platform/run_lock.h"

namespace vornback {

namespace {

// Whether an archive name is one of the firm's newest generation: "Firm<n>.zip" or
// "Firm<n>Yr<k>.zip".
bool IsArchiveOf(const std::string& archiveName, int64_t firm) {
    const auto archive = ParseArchiveName(archiveName);
    return archive && archive->firm == firm && !archive->older;
}

// Whether a temporary archive is whole. An encrypted one (EncryptLocal) cannot be read
// here, without the passphrase: it was checked with it before it took the temporary name
// (it is written under a piece's name), so its directory and headers are checked only.
bool IsChecked(const std::string& archive) {
    try {
        try {
            VerifyArchive(archive);
        } catch (const PassphraseError& e) {
            if (!e.Missing()) {
                throw;
            }
            ListArchive(archive);
        }
        return true;
    } catch (const ArchiveError& e) {
        Warn(e.what());
        return false;
    }
}

// Runs one step; a failure becomes its line, so that the other steps still run.
template <typename Step>
void Attempt(std::vector<std::string>& lines, Step step) {
    try {
        step();
    } catch (const FileSystemError& e) {
        lines.push_back(e.what());
    }
}

}  // namespace

std::optional<std::pair<RunLock, RunLock>> TakeIdleFirmLocks(const ProgramValues& values,
                                                             int64_t firm) {
    std::optional<RunLock> lock = RunLock::TryTake(FirmLockFile(values, firm), TheSystemClock());
    std::optional<RunLock> staging =
        lock ? RunLock::TryTake(StagingLockFile(values, firm), TheSystemClock()) : std::nullopt;
    if (!staging) {
        return std::nullopt;
    }
    return std::make_pair(std::move(*lock), std::move(*staging));
}

std::vector<std::string> RecoverDestination(FileSystem& fs, const std::string& destination,
                                            int64_t firm) {
    std::vector<std::string> lines;
    if (!fs.FolderExists(destination)) {
        return lines;
    }
    std::vector<std::pair<BackupLeftover, std::string>> found;
    for (const FileEntry& file : fs.Files(destination)) {
        if (auto leftover = ParseBackupLeftover(file.name);
            leftover && IsArchiveOf(leftover->archiveName, firm)) {
            found.emplace_back(std::move(*leftover), file.path);
        }
    }
    // Pieces first, then the temporary archives, the second names of the last archive last:
    // a completed rotation decides whether those are still needed.
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return static_cast<int>(a.first.kind) > static_cast<int>(b.first.kind);
    });
    for (const auto& item : found) {
        // Named copies: a lambda cannot capture structured bindings on every compiler.
        const BackupLeftover& leftover = item.first;
        const std::string& path = item.second;
        const std::string archive = JoinPath(destination, leftover.archiveName);
        const std::string previous = JoinPath(destination, "O" + leftover.archiveName);
        Attempt(lines, [&] {
            switch (leftover.kind) {
                case BackupLeftover::Kind::EncryptedCopy:
                    fs.Kill(path);
                    lines.push_back("Removed \"" + path +
                                    "\", the encrypted copy an interrupted backup was sending.");
                    break;
                case BackupLeftover::Kind::PackPart:
                    fs.Kill(path);
                    lines.push_back("Removed \"" + path +
                                    "\", a piece of an archive that an "
                                    "interrupted backup was writing.");
                    break;
                case BackupLeftover::Kind::Temporary:
                    if ((!fs.FileExists(archive) || fs.SameFile(archive, previous)) &&
                        IsChecked(path)) {
                        fs.ReplaceFile(path, archive);
                        fs.SyncFolder(destination);
                        lines.push_back("Completed an interrupted backup: \"" + archive +
                                        "\" is now the checked archive it had written.");
                    } else {
                        fs.Kill(path);
                        lines.push_back("Removed \"" + path +
                                        "\", an unfinished archive of an interrupted backup.");
                    }
                    break;
                case BackupLeftover::Kind::RotationLink:
                    if (!fs.FileExists(archive)) {
                        fs.ReplaceFile(path, archive);
                        fs.SyncFolder(destination);
                        lines.push_back("Put \"" + archive +
                                        "\" back in its place after an "
                                        "interrupted backup.");
                    } else {
                        fs.Kill(path);
                        lines.push_back("Removed \"" + path +
                                        "\", a second name an interrupted backup gave \"" +
                                        archive + "\".");
                    }
                    break;
            }
        });
    }
    return lines;
}

namespace {

// Whether a folder name is one a date-wise (YYYYMMDD) or day-wise (the day's full name in
// the person's language) backup makes.
bool IsDatedFolderName(const std::string& name) {
    if (name.size() == 8 && name.find_first_not_of("0123456789") == std::string::npos) {
        return true;
    }
    for (int day = 0; day < 7; ++day) {
        std::tm t{};
        t.tm_wday = day;
        char text[128] = {};
        if (std::strftime(text, sizeof text, "%A", &t) > 0 && name == text) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> RecoverBackupFolder(FileSystem& fs, const std::string& folder,
                                             int64_t firm) {
    std::vector<std::string> lines;
    if (!fs.FolderExists(folder)) {
        return lines;
    }
    const std::string lockName = ".Firm" + std::to_string(firm) + ".lock";
    const auto recover = [&](const std::string& destination) {
        bool left = false;
        for (const FileEntry& file : fs.Files(destination)) {
            const auto leftover = ParseBackupLeftover(file.name);
            left = left || file.name == lockName ||
                   (leftover && IsArchiveOf(leftover->archiveName, firm));
        }
        if (!left) {
            return;
        }
        // A backup working there holds the destination's lock; released, a stale lock file
        // goes with it.
        std::optional<RunLock> lock;
        Attempt(lines, [&] {
            lock = RunLock::TryTake(DestinationLockFile(destination, firm), TheSystemClock());
        });
        if (!lock) {
            return;
        }
        for (std::string& line : RecoverDestination(fs, destination, firm)) {
            lines.push_back(std::move(line));
        }
        lock->Release();
    };
    recover(folder);
    for (const FileEntry& sub : fs.SubFolders(folder)) {
        if (IsDatedFolderName(sub.name)) {
            recover(sub.path);
        }
    }
    return lines;
}

std::vector<std::string> RecoverBackupLeftovers(const ProgramValues& values, FileSystem& fs,
                                                std::optional<int64_t> only) {
    std::vector<std::string> lines;
    const std::string root = StagingRoot(values);
    if (!fs.FolderExists(root)) {
        return lines;
    }
    // A restore of one firm may stage another firm's archive under that firm's number, so a
    // free lock of the staged number alone does not prove the folder stale: nothing is
    // removed while any run holds a lock here, and the locks taken stay held meanwhile.
    // Released at the end, they take their stale lock files with them.
    std::vector<RunLock> held;
    std::vector<int64_t> heldFirms;
    const auto hold = [&](int64_t firm) {
        if (only && firm != *only) {
            return false;
        }
        if (std::find(heldFirms.begin(), heldFirms.end(), firm) != heldFirms.end()) {
            return true;
        }
        auto locks = TakeIdleFirmLocks(values, firm);
        if (!locks) {
            return false;
        }
        held.push_back(std::move(locks->first));
        held.push_back(std::move(locks->second));
        heldFirms.push_back(firm);
        return true;
    };
    const std::vector<FileEntry> files = fs.Files(root);
    for (const FileEntry& file : only ? std::vector<FileEntry>{} : files) {
        if (file.name.starts_with(".Firm") && file.name.ends_with(".lock")) {
            const auto firm = ParseFirmFolderName(file.name.substr(1, file.name.size() - 6));
            if (firm && !hold(*firm)) {
                return lines;  // a run is working; the next start tidies up
            }
        }
    }
    for (const FileEntry& folder : fs.SubFolders(root)) {
        const std::optional<int64_t> firm = ParseFirmFolderName(folder.name);
        if (!firm || !hold(*firm)) {
            continue;
        }
        Attempt(lines, [&] {
            fs.DeleteFolder(folder.path, true);
            lines.push_back("Removed the staging folder \"" + folder.path +
                            "\" left by an interrupted backup or restore of firm " +
                            std::to_string(*firm) + ".");
        });
    }
    for (const FileEntry& file : files) {
        const auto firmAt = file.name.find(".Firm");
        if (!file.name.starts_with("M") || firmAt == std::string::npos) {
            continue;
        }
        const std::optional<int64_t> firm = ParseFirmFolderName(
            file.name.substr(firmAt + 1, file.name.find('.', firmAt + 1) - firmAt - 1));
        if (!firm || !IsCompactionTemporaryOf(file.name, *firm) || !hold(*firm)) {
            continue;
        }
        Attempt(lines, [&] {
            fs.Kill(file.path);
            lines.push_back("Removed \"" + file.path +
                            "\", a copy of a year database an interrupted backup was making.");
        });
    }
    return lines;
}

std::vector<std::string> RecoverAtStartup(const ProgramValues& values, FileSystem& fs) {
    std::vector<std::string> lines = RecoverRestoreLeftovers(values, fs);
    Attempt(lines, [&] {
        for (std::string& line : RecoverBackupLeftovers(values, fs)) {
            lines.push_back(std::move(line));
        }
    });
    return lines;
}

}  // namespace vornback
