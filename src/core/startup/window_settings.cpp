#include "startup/window_settings.h"

#include <utility>
#include <vector>

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

namespace {

// Writes the keys in order; "" or the warning that names the keys not saved.
std::string SaveAll(const char* section,
                    const std::vector<std::pair<std::string, std::string>>& keys,
                    const std::string& file) {
    std::string failed;
    std::string reason;
    for (const auto& [key, value] : keys) {
        const std::string why = WriteSetting(section, key, value, file);
        if (!why.empty()) {
            failed += (failed.empty() ? "" : ", ") + key;
            reason = why;
        }
    }
    if (failed.empty()) {
        return "";
    }
    return "The settings file \"" + file + "\" was not changed (" + reason +
           "); these choices were not saved and the next start will not show them: " + failed + ".";
}

}  // namespace

std::string SaveEmailAddress(const std::string& settingsFile, const std::string& address) {
    return SaveAll(kBack, {{"SendEMailAdd", address}}, settingsFile);
}

std::string SaveBackupChoices(const std::string& settingsFile, const std::string* folder,
                              int backTypeIndex, int advSet, int incAtcDoc, int curYr) {
    std::vector<std::pair<std::string, std::string>> keys;
    if (folder != nullptr) {
        keys.emplace_back(kFolderKey, *folder);
    }
    const char* backType = backTypeIndex == 0 ? "0" : backTypeIndex == 1 ? "1" : "2";
    keys.emplace_back("BackType", backType);
    keys.emplace_back(kAdvSet, std::to_string(advSet));
    keys.emplace_back("IncAtcDoc", std::to_string(incAtcDoc));
    keys.emplace_back("CurYr", std::to_string(curYr));
    return SaveAll(kBack, keys, settingsFile);
}

std::string SaveRestoreChoices(const std::string& settingsFile, const std::string& folder,
                               int restTypeIndex, int advSet) {
    return SaveAll(kRest,
                   {{kFolderKey, folder},
                    {"RestType", std::to_string(restTypeIndex)},
                    {kAdvSet, std::to_string(advSet)}},
                   settingsFile);
}

bool GroupReadAllowed(const std::string& settingsFile) {
    return NumericSetting(ReadSetting(kBack, "GroupRead", settingsFile)) == 1;
}

int ReplacedCopiesToKeep(const std::string& settingsFile) {
    const int16_t kept = NumericSetting(ReadSetting("Rest", "KeepReplaced", settingsFile));
    return kept >= 1 ? kept : 3;
}

}  // namespace vornback
