// What the tests of the headless tool share: its command line, a sample data tree with the
// tool's program folder and a backup folder beside it, and small readers of what a run left.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "archive/archive.h"
#include "support/temp_dir.h"

namespace vornback {
namespace test {

namespace cli_fs = std::filesystem;

inline std::string Cli(const std::string& args) {
    return std::string(VORNBACK_CLI_PATH) + " " + args;
}

inline std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

// A sample data tree with the tool's program folder, and a backup folder beside it.
struct Tree {
    explicit Tree(const std::string& options = "--firms 2 --years 2") {
        EXPECT_EQ(RunCommand(Cli("make-sample " + Quote(data) + " " + options)), 0);
        cli_fs::create_directories(out);
    }
    // Runs a command of the tool on this tree; its stderr and stdout land in *output.
    int Run(const std::string& args, std::string* output = nullptr) const {
        return RunCommand(Cli(args + " --program-folder " + Quote(data + "/Bkp")), output);
    }
    TempDir dir;
    std::string data = dir / "data";
    std::string out = dir / "out";
};

inline std::string Today(const char* format) {
    const std::time_t now = std::time(nullptr);
    char text[64];
    std::strftime(text, sizeof text, format, std::localtime(&now));
    return text;
}

inline size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

inline bool HasEntry(const std::string& archive, const std::string& prefix) {
    for (const ArchiveEntry& e : ListArchive(archive)) {
        if (e.name.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

// An ordinary user's run: as root, the commands run as nobody (who owns the test's folder),
// so that a folder's missing write permission counts.
inline std::string AsOrdinaryUser(const TempDir& dir) {
    if (geteuid() != 0) {
        return "";
    }
    EXPECT_EQ(RunCommand("chown -R 65534:65534 " + Quote(dir.Path())), 0);
    return "setpriv --reuid=65534 --regid=65534 --clear-groups env ";
}

inline unsigned ModeOf(const std::string& path) {
    return static_cast<unsigned>(cli_fs::status(path).permissions() & cli_fs::perms::mask);
}

// Runs the tool with `args` and checks its exit status; gives its stderr and stdout.
inline std::string RunCli(const std::string& args, int status) {
    std::string out;
    EXPECT_EQ(RunCommand(Cli(args), &out), status) << args << "\n" << out;
    return out;
}

}  // namespace test
}  // namespace vornback
