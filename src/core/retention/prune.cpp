#include "retention/prune.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>

#include "archive/archive.h"
#include "base/errors.h"
#include "base/names.h"
#include "base/text.h"
#include "base/warnings.h"
#include "history/history.h"
#include "platform/file_system.h"
#include "platform/posix.h"
#include "platform/run_lock.h"
#include "recovery/recovery.h"
#include "startup/settings.h"

namespace vornback {

namespace {

constexpr const char* kKeepSection = "Keep";

// A date folder a backup may have made (the folder walks read no earlier year).
bool IsDateFolderName(const std::string& name) {
    const auto date = ParseDateFolderName(name);
    return date && date->year >= 1900;
}

// Whether another process holds the firm's lock in a folder, without writing anything: a
// lock file that is missing is held by nobody.
bool HeldByAnother(const std::string& lockFile) {
    Fd fd(::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return false;
    }
    if (::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK;
    }
    ::flock(fd.Get(), LOCK_UN);
    return false;
}

// Whether two paths name the same folder, however they are spelt (a doubled separator).
bool SameFolder(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return !a.empty() && !b.empty() && ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool Verifies(const std::string& path, const std::atomic<bool>* cancel) {
    try {
        UnpackOptions options;
        options.cancel = cancel;
        VerifyArchive(path, options);
        return true;
    } catch (const ArchiveCancelled&) {
        throw;
    } catch (const ArchiveError& e) {
        Warn(path + " does not verify: " + e.what());
        return false;
    }
}

bool Wanted(const FolderArchive& a, const PruneRequest& request) {
    return (!request.firm || a.policy.firm == *request.firm) &&
           (!request.yearNo || a.policy.yearNo == *request.yearNo) &&
           (!request.set || a.set == *request.set);
}

// A date-wise or day-wise folder that holds nothing but lock files that no run holds (a
// prune killed between removing a folder's last archive and the folder) goes, so that a
// kill leaves no empty folders behind for good.
void RemoveAbandonedFolders(FileSystem& fs, Clock& clock, const std::string& backupFolder,
                            const PruneRequest& request) {
    for (const FileEntry& folder : fs.SubFolders(backupFolder)) {
        if ((!IsDateFolderName(folder.name) && !IsDayFolderName(folder.name)) ||
            SameFolder(folder.path, request.ownFolder) || !fs.SubFolders(folder.path).empty()) {
            continue;
        }
        std::vector<RunLock> stale;
        bool abandoned = true;
        for (const FileEntry& file : fs.Files(folder.path)) {
            const auto lockFirm = ParseFirmLockName(file.name);
            std::optional<RunLock> lock;
            if (lockFirm && (!request.firm || *lockFirm == *request.firm)) {
                lock = RunLock::TryTake(file.path, clock);
            }
            if (!lock) {
                abandoned = false;
                break;
            }
            stale.push_back(std::move(*lock));
        }
        if (!abandoned || stale.empty()) {
            continue;
        }
        for (RunLock& lock : stale) {
            lock.Release();
        }
        if (::rmdir(folder.path.c_str()) == 0) {
            fs.SyncFolder(backupFolder);
        }
    }
}

}  // namespace

std::optional<ArchiveSet> ArchiveSetOfFolder(const std::string& name) {
    if (IsDateFolderName(name)) {
        return ArchiveSet::DateWise;
    }
    if (IsDayFolderName(name)) {
        return ArchiveSet::DayWise;
    }
    return std::nullopt;
}

KeepPolicy LoadKeepPolicy(const std::string& settingsFile) {
    auto count = [&](const char* key) {
        return std::max(
            0, static_cast<int>(NumericSetting(ReadSetting(kKeepSection, key, settingsFile))));
    };
    KeepPolicy p;
    p.last = count("Last");
    p.daily = count("Daily");
    p.weekly = count("Weekly");
    p.monthly = count("Monthly");
    p.yearly = count("Yearly");
    return p;
}

std::vector<FolderArchive> FindFolderArchives(FileSystem& fs, const std::string& backupFolder) {
    std::vector<FolderArchive> found;
    for (const FileEntry& folder : fs.SubFolders(backupFolder)) {
        const bool date = IsDateFolderName(folder.name);
        if (!date && !IsDayFolderName(folder.name)) {
            continue;
        }
        std::vector<FileEntry> files;
        try {
            files = fs.Files(folder.path);
        } catch (const FileSystemError& e) {
            Warn(e.what());
            continue;
        }
        for (const FileEntry& file : files) {
            struct stat st {};
            if (::lstat(file.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                continue;  // a link is not an archive this program wrote
            }
            std::optional<PolicyArchive> policy =
                PolicyArchiveFromName(file.name, static_cast<int64_t>(st.st_mtim.tv_sec));
            if (!policy) {
                continue;
            }
            policy->nanoseconds = st.st_mtim.tv_nsec;
            policy->name = folder.name + "/" + file.name;
            found.push_back(FolderArchive{file.path, folder.path,
                                          date ? ArchiveSet::DateWise : ArchiveSet::DayWise,
                                          static_cast<uint64_t>(st.st_size), std::move(*policy)});
        }
    }
    return found;
}

PruneOutcome PruneBackupFolder(FileSystem& fs, Clock& clock, const std::string& backupFolder,
                               const PruneRequest& request) {
    PruneOutcome outcome;
    std::vector<FolderArchive> found = FindFolderArchives(fs, backupFolder);
    std::erase_if(found, [&](const FolderArchive& a) { return !Wanted(a, request); });

    // Each folder's firm lock, so that no backup writes where archives go; a folder held
    // by another run keeps its archives. Then what a killed backup left there is finished,
    // which may change the archives: they are looked up again.
    std::map<std::pair<std::string, int64_t>, RunLock> locks;
    std::set<std::pair<std::string, int64_t>> held;
    for (const FolderArchive& a : found) {
        const auto key = std::make_pair(a.folder, a.policy.firm);
        if (locks.count(key) != 0 || held.count(key) != 0 ||
            SameFolder(a.folder, request.ownFolder)) {
            continue;
        }
        const std::string lockFile = DestinationLockFile(a.folder, a.policy.firm);
        if (request.dryRun) {
            if (HeldByAnother(lockFile)) {
                held.insert(key);
            }
            continue;
        }
        std::optional<RunLock> lock = RunLock::TryTake(lockFile, clock);
        if (!lock) {
            held.insert(key);
            continue;
        }
        for (std::string& line : RecoverDestination(fs, a.folder, a.policy.firm)) {
            outcome.notes.push_back(std::move(line));
        }
        locks.emplace(key, std::move(*lock));
    }
    if (!request.dryRun && !locks.empty()) {
        found = FindFolderArchives(fs, backupFolder);
        std::erase_if(found, [&](const FolderArchive& a) { return !Wanted(a, request); });
    }

    std::map<std::string, const FolderArchive*> byName;
    for (const ArchiveSet set : {ArchiveSet::DateWise, ArchiveSet::DayWise}) {
        std::vector<PolicyArchive> archives;
        for (FolderArchive& a : found) {
            if (a.set == set) {
                a.policy.held = held.count({a.folder, a.policy.firm}) != 0;
                archives.push_back(a.policy);
                byName[a.policy.name] = &a;
            }
        }
        const VerifiesFn verifies = [&](const PolicyArchive& p) {
            const std::string& path = byName.at(p.name)->path;
            return path == request.knownGood || Verifies(path, request.cancel);
        };
        for (ArchiveDecision& d : ApplyKeepPolicy(std::move(archives), request.policy, verifies)) {
            outcome.decisions.push_back(std::move(d));
        }
    }
    if (request.dryRun) {
        return outcome;
    }

    // The kept archives are on the disk before anything older goes.
    std::vector<const FolderArchive*> removals;
    std::set<std::string> keptFolders;
    for (const ArchiveDecision& d : outcome.decisions) {
        const FolderArchive* a = byName.at(d.archive.name);
        if (!d.keep) {
            removals.push_back(a);
            continue;
        }
        try {
            fs.SyncFile(a->path);
            keptFolders.insert(a->folder);
        } catch (const FileSystemError& e) {
            outcome.failures.push_back(e.what());
        }
    }
    if (!outcome.failures.empty()) {
        outcome.failures.push_back(
            "Nothing was removed, as the archives kept could not be "
            "made durable first.");
        return outcome;
    }
    for (const std::string& folder : keptFolders) {
        fs.SyncFolder(folder);
    }
    std::sort(removals.begin(), removals.end(), [](const FolderArchive* a, const FolderArchive* b) {
        return std::make_pair(a->policy.time, a->policy.nanoseconds) <
               std::make_pair(b->policy.time, b->policy.nanoseconds);
    });
    std::set<std::string> emptied;
    for (const FolderArchive* a : removals) {
        try {
            fs.Kill(a->path);
            fs.SyncFolder(a->folder);
        } catch (const FileSystemError& e) {
            outcome.failures.push_back(e.what());
            continue;
        }
        RecordPrune(request.historyFile, clock, a->policy.firm, a->policy.yearNo, a->path, a->size,
                    "removed by the keep policy (" + request.policy.Text() + ")");
        outcome.removed.push_back(a->policy.name);
        emptied.insert(a->folder);
    }

    // A folder that holds nothing but this run's locks goes; anything else in it (another
    // firm's archive, a person's file) keeps it. rmdir removes only an empty folder, so a
    // file that appears meanwhile keeps it too.
    for (const std::string& folder : emptied) {
        if (SameFolder(folder, request.ownFolder) || !fs.SubFolders(folder).empty()) {
            continue;
        }
        std::vector<std::string> ours;
        bool others = false;
        for (const FileEntry& file : fs.Files(folder)) {
            bool lock = false;
            for (const auto& [key, runLock] : locks) {
                lock = lock || (key.first == folder && runLock.File() == file.path);
            }
            others = others || !lock;
        }
        if (others) {
            continue;
        }
        for (auto& [key, runLock] : locks) {
            if (key.first == folder) {
                runLock.Release();
            }
        }
        if (::rmdir(folder.c_str()) == 0) {
            fs.SyncFolder(backupFolder);
        }
    }
    RemoveAbandonedFolders(fs, clock, backupFolder, request);
    return outcome;
}

std::string RemovedBackupsText(const std::vector<std::string>& removed) {
    if (removed.empty()) {
        return "";
    }
    std::string text = "removed " + std::to_string(removed.size()) +
                       (removed.size() == 1 ? " older backup: " : " older backups: ");
    for (size_t i = 0; i < removed.size(); ++i) {
        text += (i == 0 ? "" : ", ") + removed[i];
    }
    return text;
}

}  // namespace vornback
