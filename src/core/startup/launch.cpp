#include "startup/launch.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "base/data_tree.h"
#include "base/errors.h"
#include "base/text.h"
#include "startup/window_settings.h"

namespace vornback {
namespace {

bool IsWindowsForm(const std::string& folder) {
    if (folder.rfind("\\\\", 0) == 0) {
        return true;
    }
    return folder.size() >= 3 && std::isalpha(static_cast<unsigned char>(folder[0])) &&
           folder[1] == ':' && folder[2] == '\\';
}

// mountinfo escapes blanks, tabs, line feeds and backslashes as octal.
std::string UnescapeMountField(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string oct = field.substr(i + 1, 3);
            if (oct.size() == 3 && oct.find_first_not_of("01234567") == std::string::npos) {
                out.push_back(static_cast<char>(std::stoi(oct, nullptr, 8)));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

bool IsBelow(const std::string& folder, const std::string& mountPoint) {
    if (mountPoint == "/") {
        return !folder.empty() && folder[0] == '/';
    }
    return folder == mountPoint || (folder.size() > mountPoint.size() &&
                                    folder.compare(0, mountPoint.size(), mountPoint) == 0 &&
                                    folder[mountPoint.size()] == '/');
}

}  // namespace

CommandLine ParseCommandLine(std::string_view line) {
    CommandLine result;
    if (line.find(',') == std::string_view::npos) {
        const auto firm = RoundHalfEven(LeadingNumber(line), INT32_MIN, INT32_MAX);
        if (!firm) {
            throw UsageError("the firm number in the command line \"" + std::string(line) +
                             "\" does not fit a 32-bit number");
        }
        result.firmNo = static_cast<int32_t>(*firm);
        return result;
    }
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        const size_t comma = line.find(',', start);
        fields.emplace_back(line.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    if (fields.size() < 3) {
        throw UsageError("the command line \"" + std::string(line) +
                         "\" needs three fields: <firm>,<year>,<mode>");
    }
    // The firm number converts like a whole-number conversion would: blanks around it are
    // allowed, a fraction rounds halves to even, anything else is refused.
    const std::string firmText = TrimBlanks(fields[0]);
    if (!IsDecimalNumber(firmText)) {
        throw UsageError("the firm number \"" + fields[0] + "\" in the command line \"" +
                         std::string(line) + "\" is not a number");
    }
    const auto firm = RoundHalfEven(ParseDecimal(firmText), INT32_MIN, INT32_MAX);
    if (!firm) {
        throw UsageError("the firm number \"" + fields[0] + "\" does not fit a 32-bit number");
    }
    result.firmNo = static_cast<int32_t>(*firm);
    result.yearNo = fields[1];
    result.mode = fields[2];
    return result;
}

std::string JoinArguments(int argc, const char* const* argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            line.push_back(' ');
        }
        line += argv[i];
    }
    return line;
}

std::string DefaultBackupFolder(const std::string& programFolder, const DefaultFolderFacts& facts) {
    const bool windowsForm = IsWindowsForm(programFolder);
    const char sep = windowsForm ? '\\' : '/';
    const bool networkPath =
        programFolder.rfind("\\\\", 0) == 0 || programFolder.rfind("//", 0) == 0;
    if (networkPath || facts.volume.network) {
        return programFolder + sep + "Back";
    }
    if (!facts.mayWriteAtRoot && !facts.homeFolder.empty()) {
        std::string home = facts.homeFolder;
        if (home.back() != sep) {
            home.push_back(sep);
        }
        return home + "VornBack";
    }
    if (windowsForm) {
        return programFolder.substr(0, 3) + "VornBack";
    }
    std::string root = facts.volume.root.empty() ? "/" : facts.volume.root;
    if (root.back() != '/') {
        root.push_back('/');
    }
    return root + "VornBack";
}

DefaultFolderFacts LookUpDefaultFolderFacts(const std::string& programFolder) {
    DefaultFolderFacts facts;
    facts.volume = LookUpVolume(programFolder);
    std::string root = facts.volume.root;
    if (root.empty() || root.back() != '/') {
        root.push_back('/');
    }
    // An existing VornBack must take new archives; a missing one must be creatable.
    const std::string existing = root + "VornBack";
    struct stat info {};
    if (stat(existing.c_str(), &info) == 0) {
        facts.mayWriteAtRoot = S_ISDIR(info.st_mode) && access(existing.c_str(), W_OK | X_OK) == 0;
    } else {
        facts.mayWriteAtRoot = errno == ENOENT && access(root.c_str(), W_OK | X_OK) == 0;
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        facts.homeFolder = home;
    } else if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir) {
        facts.homeFolder = entry->pw_dir;
    }
    return facts;
}

VolumeInfo VolumeFromMountInfo(const std::string& mountInfo, const std::string& folder) {
    static const std::set<std::string> kNetworkTypes = {
        "nfs",  "nfs4",      "cifs",       "smb3",       "smbfs",       "ncpfs", "afs",
        "ceph", "glusterfs", "fuse.sshfs", "fuse.davfs", "fuse.rclone", "9p",    "lustre"};
    VolumeInfo best{"/", false};
    size_t bestLength = 0;
    std::istringstream lines(mountInfo);
    std::string line;
    while (std::getline(lines, line)) {
        // id parent major:minor root mount-point options [optional...] - type source super
        std::istringstream fields(line);
        std::vector<std::string> parts;
        std::string part;
        while (fields >> part) {
            parts.push_back(part);
        }
        if (parts.size() < 7) {
            continue;
        }
        size_t dash = 6;
        while (dash < parts.size() && parts[dash] != "-") {
            ++dash;
        }
        if (dash + 1 >= parts.size()) {
            continue;
        }
        const std::string mountPoint = UnescapeMountField(parts[4]);
        const std::string type = parts[dash + 1];
        if (IsBelow(folder, mountPoint) && mountPoint.size() >= bestLength) {
            bestLength = mountPoint.size();
            best.root = mountPoint;
            best.network = kNetworkTypes.count(type) > 0;
        }
    }
    return best;
}

VolumeInfo LookUpVolume(const std::string& folder) {
    std::ifstream in("/proc/self/mountinfo");
    if (!in) {
        return {"/", false};
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::error_code ec;
    std::string canonical = std::filesystem::weakly_canonical(folder, ec).string();
    if (ec || canonical.empty()) {
        canonical = folder;
    }
    return VolumeFromMountInfo(text.str(), canonical);
}

StartupDecision DecideStartup(std::string_view commandLine, const std::string& programFolder,
                              const DefaultFolderFacts& facts) {
    StartupDecision d;
    if (programFolder.size() < 4) {
        throw UsageError("the program folder \"" + programFolder +
                         "\" is too short: the program must lie in a three-character folder "
                         "inside the data folder");
    }
    d.values.ProgramFolder = programFolder;
    d.values.AppFolder = programFolder.substr(0, programFolder.size() - 4);

    const CommandLine line = ParseCommandLine(commandLine);
    d.values.CurrentFirmNo = line.firmNo;
    d.values.CurrentYearNo = line.yearNo;
    d.values.LaunchMode = line.mode;

    d.defaultFolder = DefaultBackupFolder(programFolder, facts);
    const std::string settings = SettingsFile(d.values);
    std::error_code ec;
    const bool settingsExist = std::filesystem::is_regular_file(settings, ec);
    d.StartLocation =
        settingsExist ? ReadStartLocation(settings, d.values.LaunchMode) : d.defaultFolder;
    d.window = d.values.LaunchMode == "R" ? StartWindow::Restore : StartWindow::Backup;
    return d;
}

std::string RunningProgramFolder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        throw Error("cannot find the running program: " + ec.message());
    }
    return exe.parent_path().string();
}

}  // namespace vornback
