// Removing the archives the keep policy no longer keeps from a backup folder's date-wise
// and day-wise sub-folders, and the policy as the settings file holds it.
//
// A date-wise folder is named YYYYMMDD (a real date), a day-wise one by a day of the week
// (in the person's language or in English). Only a firm's archives in them count,
// Firm<n>[Yr<y>].zip and the older generation OFirm<n>[Yr<y>].zip, each dated by its
// modification time; anything else keeps its folder. The date-wise and the day-wise
// archives are decided apart, each as one destination.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "retention/keep_policy.h"

namespace vornback {

class FileSystem;

// The [Keep] section of the settings file: Last, Daily, Weekly, Monthly, Yearly, each a
// count (0, missing, negative or unreadable: the rule is not used). Never throws.
KeepPolicy LoadKeepPolicy(const std::string& settingsFile);

enum class ArchiveSet { DateWise, DayWise };

// The set of a backup folder's sub-folder by its name: a date-wise folder YYYYMMDD (a real
// date) or a day-wise one (a day of the week); nothing for any other name.
std::optional<ArchiveSet> ArchiveSetOfFolder(const std::string& name);

// One archive found in a backup folder.
struct FolderArchive {
    std::string path;    // the archive's path
    std::string folder;  // the date-wise or day-wise folder holding it
    ArchiveSet set = ArchiveSet::DateWise;
    uint64_t size = 0;
    PolicyArchive policy;  // named relative to the backup folder: "20261207/Firm3.zip"
};

// The firm archives of the date-wise and day-wise sub-folders of backupFolder, in order of
// name. Throws FileSystemError when backupFolder cannot be read.
std::vector<FolderArchive> FindFolderArchives(FileSystem& fs, const std::string& backupFolder);

struct PruneRequest {
    KeepPolicy policy;
    std::optional<int64_t> firm;        // only this firm's archives
    std::optional<std::string> yearNo;  // only this series ("" the whole-firm archives)
    std::optional<ArchiveSet> set;      // only these folders
    bool dryRun = false;                // decide and explain, change nothing, take no lock
    // The folder whose firm lock the caller holds already (a backup run's destination).
    std::string ownFolder;
    // An archive known to verify (the one a backup run has just written and checked).
    std::string knownGood;
    std::string historyFile;  // each removal is recorded here; "" records nothing
    const std::atomic<bool>* cancel = nullptr;
};

struct PruneOutcome {
    // Every archive considered, with what the policy made of it (names as FolderArchive).
    std::vector<ArchiveDecision> decisions;
    std::vector<std::string> removed;   // names of the archives removed, oldest first
    std::vector<std::string> failures;  // what could not be removed, and why
    std::vector<std::string> notes;     // what recovery finished in a folder first
};

// Decides the firm archives of backupFolder under the policy and removes those it does
// not keep. For each folder and firm the run takes the firm's lock there first (a folder
// that another run holds keeps its archives) and finishes what a killed backup left in
// it. Before the first removal the kept archives and their folders are synced; archives
// are then removed oldest first, each with its folder synced after it, so that a kill at
// any moment leaves whole archives only and never fewer than the policy keeps. A folder
// left with nothing in it goes too. A removal that fails is listed in failures and the
// others go on. Throws FileSystemError when backupFolder cannot be read, ArchiveCancelled
// when cancel is set while an archive is verified.
PruneOutcome PruneBackupFolder(FileSystem& fs, Clock& clock, const std::string& backupFolder,
                               const PruneRequest& request);

// "removed 3 older backups: a, b, c" ("removed 1 older backup: a"); "" for none.
std::string RemovedBackupsText(const std::vector<std::string>& removed);

}  // namespace vornback
