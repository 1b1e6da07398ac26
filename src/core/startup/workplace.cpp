#include "startup/workplace.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/names.h"
#include "base/text.h"
#include "platform/file_system.h"

namespace vornback {

namespace {

namespace fs = std::filesystem;

// An absolute folder without a trailing separator; Error naming what it is for when it
// does not exist.
std::string ExistingFolder(const std::string& given, const std::string& missing) {
    std::error_code error;
    const fs::path folder = fs::absolute(given, error).lexically_normal();
    if (error || given.empty() || !fs::is_directory(folder, error)) {
        throw Error(missing);
    }
    std::string text = folder.string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

// $name, or $HOME followed by fallback when it is unset or not absolute.
std::string BaseFolder(const char* name, const char* fallback) {
    const char* set = std::getenv(name);
    if (set != nullptr && set[0] == '/') {
        return set;
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        throw Error(std::string("Neither $") + name + " nor $HOME names a folder.");
    }
    return std::string(home) + fallback;
}

// The data tree's folder as one file name: "%" and "/" written as "%25" and "%2F".
std::string EscapedName(const std::string& path) {
    std::string name;
    for (const char c : path) {
        name += c == '%' ? "%25" : c == '/' ? "%2F" : std::string(1, c);
    }
    return name;
}

}  // namespace

bool HoldsRootRegister(const std::string& folder) {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        if (IsRootDatabaseName(entry.path().filename().string())) {
            return true;
        }
    }
    return false;
}

bool InDataTree(const std::string& programFolder) {
    return HoldsRootRegister(fs::path(programFolder).parent_path().string());
}

std::string ConfigFile() {
    return BaseFolder("XDG_CONFIG_HOME", "/.config") + "/vornback/vornback.conf";
}

std::string ConfiguredDataTree() {
    std::ifstream in(ConfigFile());
    std::string line;
    std::string data;
    while (std::getline(in, line)) {
        if (line.rfind("data=", 0) == 0) {
            data = line.substr(5);
        }
    }
    return data;
}

std::string CheckedDataTree(const std::string& given) {
    const std::string tree = ExistingFolder(
        given, "The data tree \"" + given +
                   "\" does not exist; give the folder that holds the root register Root.mdb.");
    if (!HoldsRootRegister(tree)) {
        throw Error("The folder \"" + tree +
                    "\" holds no root register Root.mdb; give the host's data tree.");
    }
    return tree;
}

std::string SaveConfiguredDataTree(const std::string& given) {
    const std::string tree = CheckedDataTree(given);
    const std::string file = ConfigFile();
    const fs::path folder = fs::path(file).parent_path();
    std::error_code error;
    fs::create_directories(folder, error);
    const char* step = "";  // the message names the file and the reason only
    if (const int cause = WriteWholeFile(file, "data=" + tree + "\n", 0600, &step); cause != 0) {
        throw Error("The configuration \"" + file +
                    "\" could not be written: " + std::strerror(cause) + ".");
    }
    return tree;
}

Workplace FindWorkplace(const std::optional<std::string>& programFolder,
                        const std::optional<std::string>& dataTree, const std::string& ownFolder) {
    Workplace place;
    std::string data;
    if (programFolder) {
        place.programFolder = ExistingFolder(
            *programFolder, "The program folder \"" + *programFolder +
                                "\" does not exist; give the Bkp folder of the host's data tree.");
    } else if (dataTree) {
        data = *dataTree;
    } else if (InDataTree(ownFolder)) {
        place.programFolder = ownFolder;
    } else {
        data = ConfiguredDataTree();
        if (data.empty()) {
            throw NoDataTree(
                "no data tree: give --data DIR, or name it once with "
                "\"vornback-cli config --data DIR\" (kept in " +
                ConfigFile() + ")");
        }
    }
    if (place.programFolder.empty()) {
        place.programFolder = (fs::path(CheckedDataTree(data)) / "Bkp").string();
    }
    // A program folder this user may not write to keeps its settings as they are and its
    // history and locks go to the user's state folder.
    place.problem = FolderProblem(place.programFolder);
    if (!place.problem.empty()) {
        const fs::path tree = fs::path(place.programFolder).parent_path();
        place.stateFolder = BaseFolder("XDG_STATE_HOME", "/.local/state") + "/vornback/" +
                            EscapedName(tree.string());
        std::error_code error;
        fs::create_directories(place.stateFolder, error);
        fs::permissions(place.stateFolder, fs::perms::owner_all, error);
        if (error || !FolderProblem(place.stateFolder).empty()) {
            throw Error("The program folder \"" + place.programFolder + "\" " + place.problem +
                        ", and the folder \"" + place.stateFolder +
                        "\" for the history and the locks cannot be made: " + error.message() +
                        ". Nothing was done.");
        }
    }
    return place;
}

std::string StateFolderNote(const Workplace& place) {
    if (place.stateFolder.empty()) {
        return "";
    }
    return "the program folder \"" + place.programFolder + "\" " + place.problem +
           "; the history and the locks are kept in \"" + place.stateFolder + "\"";
}

StartupDecision DecideStartup(std::string_view commandLine, const Workplace& place) {
    StartupDecision decision = DecideStartup(commandLine, place.programFolder,
                                             LookUpDefaultFolderFacts(place.programFolder));
    decision.values.StateFolder = place.stateFolder;
    return decision;
}

}  // namespace vornback
