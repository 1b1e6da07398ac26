// What the two main windows keep in the settings file, as plain values: the backup
// window's section and the restore window's section, read for the window's opening and
// written by the runs (and the mail address on leaving its box). The section and key names
// are spelled here and nowhere else; every read and write goes through SettingsSection,
// so a missing file reads as defaults and a failed write is reported.
#pragma once

#include <string>

namespace vornback {

// Where a window's folder comes from: "Default Directory" or "Others" (the person's own).
enum class FolderChoice { Default, Other };

// The backup window's choices as stored. Numbers follow the numeric reading rule; a
// missing key gives 0 or "".
struct BackupWindowSettings {
    int BackType = 0;   // optBackType: 0 "Single", 1 "Date wise", 2 "Day wise"
    int CurYr = 0;      // "Only Current Year", 1 checked
    int IncAtcDoc = 0;  // "Include Image Folder", 1 checked
    int AdvSet = 0;     // "Advance Back Type", 1 checked
    std::string SendEMailAdd;
    int Drill = 0;  // 1: every backup runs the restore drill on its new archive
};

// The restore window's choices as stored.
struct RestoreWindowSettings {
    int RestType = 0;  // CboRestType: -1 none, 0 "Full Firm" .. 3 "Add Year"
    int AdvSet = 0;    // "Advance Back Type", 1 checked
};

// Reads the backup section of settingsFile; never throws.
BackupWindowSettings LoadBackupWindowSettings(const std::string& settingsFile);
// Reads the restore section of settingsFile; never throws.
RestoreWindowSettings LoadRestoreWindowSettings(const std::string& settingsFile);

// The folder the window first shows: key "Lpath" of the backup section when launchMode is
// exactly "B", otherwise of the restore section; "" when missing.
std::string ReadStartLocation(const std::string& settingsFile, const std::string& launchMode);

// Each Save... returns "" or a warning naming the choices that were not saved and why.

// The mail address as typed, unchecked.
std::string SaveEmailAddress(const std::string& settingsFile, const std::string& address);

// The choices of a backup run that passed its folder check, in this order: the folder
// (only when folder is not null: "Others" was chosen), "BackType" ("0" for index 0, "1"
// for 1, "2" for any other), "AdvSet", "IncAtcDoc", "CurYr".
std::string SaveBackupChoices(const std::string& settingsFile, const std::string* folder,
                              int backTypeIndex, int advSet, int incAtcDoc, int curYr);

// The choices of a restore run, written before it restores anything: the folder, the
// type index and "AdvSet".
std::string SaveRestoreChoices(const std::string& settingsFile, const std::string& folder,
                               int restTypeIndex, int advSet);

// "[Back] GroupRead=1": archives, history and staged or replaced copies are made readable by
// the owner's group too (0640 files, 0750 folders) instead of by the owner only.
bool GroupReadAllowed(const std::string& settingsFile);

// How many replaced copies of a firm "Full Firm" keeps in Back/Replaced: "KeepReplaced" of
// section "Rest", 3 when the key is missing or holds no number of 1 or more.
int ReplacedCopiesToKeep(const std::string& settingsFile);

}  // namespace vornback
