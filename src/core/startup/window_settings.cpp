#include "startup/window_settings.h"

#include "startup/settings.h"

namespace vornback {
namespace {

constexpr const char* kBack = "Back";
constexpr const char* kRest = "Rest";
// Start-up reads the folder as "Lpath", the runs write it as "LPath"; keys match without
// regard to case, and each keeps its own spelling.
constexpr const char* kStartFolderKey = "Lpath";
constexpr const char* kFolderKey = "LPath";
constexpr const char* kAdvSet = "AdvSet";

int Number(const char* section, const char* key, const std::string& file) {
    return NumericSetting(ReadSetting(section, key, file));
}

}  // namespace

BackupWindowSettings LoadBackupWindowSettings(const std::string& settingsFile) {
    BackupWindowSettings s;
    s.BackType = Number(kBack, "BackType", settingsFile);
    s.CurYr = Number(kBack, "CurYr", settingsFile);
    s.IncAtcDoc = Number(kBack, "IncAtcDoc", settingsFile);
    s.AdvSet = Number(kBack, kAdvSet, settingsFile);
    s.SendEMailAdd = ReadSetting(kBack, "SendEMailAdd", settingsFile);
    s.Drill = Number(kBack, "Drill", settingsFile);
    return s;
}

RestoreWindowSettings LoadRestoreWindowSettings(const std::string& settingsFile) {
    RestoreWindowSettings s;
    s.RestType = Number(kRest, "RestType", settingsFile);
    s.AdvSet = Number(kRest, kAdvSet, settingsFile);
    return s;
}

std::string ReadStartLocation(const std::string& settingsFile, const std::string& launchMode) {
    return ReadSetting(launchMode == "B" ? kBack : kRest, kStartFolderKey, settingsFile);
}

void SaveEmailAddress(const std::string& settingsFile, const std::string& address) {
    WriteSetting(kBack, "SendEMailAdd", address, settingsFile);
}

void SaveBackupChoices(const std::string& settingsFile, const std::string* folder,
                       int backTypeIndex, int advSet, int incAtcDoc, int curYr) {
    if (folder != nullptr) {
        WriteSetting(kBack, kFolderKey, *folder, settingsFile);
    }
    const char* backType = backTypeIndex == 0 ? "0" : backTypeIndex == 1 ? "1" : "2";
    WriteSetting(kBack, "BackType", backType, settingsFile);
    WriteSetting(kBack, kAdvSet, std::to_string(advSet), settingsFile);
    WriteSetting(kBack, "IncAtcDoc", std::to_string(incAtcDoc), settingsFile);
    WriteSetting(kBack, "CurYr", std::to_string(curYr), settingsFile);
}

void SaveRestoreChoices(const std::string& settingsFile, const std::string& folder,
                        int restTypeIndex, int advSet) {
    WriteSetting(kRest, kFolderKey, folder, settingsFile);
    WriteSetting(kRest, "RestType", std::to_string(restTypeIndex), settingsFile);
    WriteSetting(kRest, kAdvSet, std::to_string(advSet), settingsFile);
}

}  // namespace vornback
