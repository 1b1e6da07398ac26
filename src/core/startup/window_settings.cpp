#include "startup/window_settings.h"

#include <utility>
#include <vector>

#include "startup/settings.h"

namespace vornback {
namespace {

SettingsSection BackSection(const std::string& file) {
    return SettingsSection("Back", file);
}
SettingsSection RestSection(const std::string& file) {
    return SettingsSection("Rest", file);
}

// Start-up reads the folder as "Lpath", the runs write it as "LPath"; keys match without
// regard to case, and each keeps its own spelling.
constexpr const char* kStartFolderKey = "Lpath";
constexpr const char* kFolderKey = "LPath";
constexpr const char* kAdvSet = "AdvSet";

}  // namespace

BackupWindowSettings LoadBackupWindowSettings(const std::string& settingsFile) {
    const SettingsSection back = BackSection(settingsFile);
    BackupWindowSettings s;
    s.BackType = back.Number("BackType");
    s.CurYr = back.Number("CurYr");
    s.IncAtcDoc = back.Number("IncAtcDoc");
    s.AdvSet = back.Number(kAdvSet);
    s.SendEMailAdd = back.Text("SendEMailAdd");
    s.Drill = back.Number("Drill");
    return s;
}

RestoreWindowSettings LoadRestoreWindowSettings(const std::string& settingsFile) {
    const SettingsSection rest = RestSection(settingsFile);
    RestoreWindowSettings s;
    s.RestType = rest.Number("RestType");
    s.AdvSet = rest.Number(kAdvSet);
    return s;
}

std::string ReadStartLocation(const std::string& settingsFile, const std::string& launchMode) {
    return (launchMode == "B" ? BackSection(settingsFile) : RestSection(settingsFile))
        .Text(kStartFolderKey);
}

namespace {

// Writes the keys in order; "" or the warning that names the keys not saved.
std::string SaveAll(const SettingsSection& section,
                    const std::vector<std::pair<std::string, std::string>>& keys) {
    std::string failed;
    std::string reason;
    for (const auto& [key, value] : keys) {
        const std::string why = section.Write(key, value);
        if (!why.empty()) {
            failed += (failed.empty() ? "" : ", ") + key;
            reason = why;
        }
    }
    if (failed.empty()) {
        return "";
    }
    return "The settings file \"" + section.File() + "\" was not changed (" + reason +
           "); these choices were not saved and the next start will not show them: " + failed + ".";
}

}  // namespace

std::string SaveEmailAddress(const std::string& settingsFile, const std::string& address) {
    return SaveAll(BackSection(settingsFile), {{"SendEMailAdd", address}});
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
    return SaveAll(BackSection(settingsFile), keys);
}

std::string SaveRestoreChoices(const std::string& settingsFile, const std::string& folder,
                               int restTypeIndex, int advSet) {
    return SaveAll(RestSection(settingsFile), {{kFolderKey, folder},
                                               {"RestType", std::to_string(restTypeIndex)},
                                               {kAdvSet, std::to_string(advSet)}});
}

bool GroupReadAllowed(const std::string& settingsFile) {
    return BackSection(settingsFile).Number("GroupRead") == 1;
}

int ReplacedCopiesToKeep(const std::string& settingsFile) {
    const int16_t kept = RestSection(settingsFile).Number("KeepReplaced");
    return kept >= 1 ? kept : 3;
}

}  // namespace vornback
