// Start-up: reads the command line into the program-wide values, works out the base
// folders and the folder the window first shows, and decides which window opens.
// Everything here is Qt-free; the programs call it before any window exists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/program_values.h"

namespace vornback {

// The three command-line fields. Throws UsageError when the line has a comma but fewer
// than three fields, or its first field is not a number, or the number does not fit 32
// bits. Without a comma, the firm is the leading number of the whole line (0 when none).
struct CommandLine {
    int32_t firmNo = 0;
    std::string yearNo;
    std::string mode;
};
CommandLine ParseCommandLine(std::string_view line);

// Joins the program's arguments with single blanks, as the host's command line reads.
std::string JoinArguments(int argc, const char* const* argv);

// The platform's answer for a folder: the mount point that holds it and whether that is a
// network file system. Falls back to "/" and false when it cannot tell.
struct VolumeInfo {
    std::string root;
    bool network = false;
};
VolumeInfo LookUpVolume(const std::string& folder);
// The same answer from the text of /proc/self/mountinfo, for an absolute folder path.
VolumeInfo VolumeFromMountInfo(const std::string& mountInfo, const std::string& folder);

// What settles the default backup folder besides the program folder itself.
struct DefaultFolderFacts {
    VolumeInfo volume;            // the volume that holds the program folder
    bool mayWriteAtRoot = false;  // the person may create, or write into, VornBack at its root
    std::string homeFolder;       // the person's home folder ("" when unknown)
};

// The default backup folder, a pure function of the paths and of what may be written:
// - a program folder on a network path ("\\" or "//" at its start, or on a network file
//   system) gives ProgramFolder + separator + "Back";
// - otherwise the volume root followed by "VornBack" where the person may create or write
//   that folder there (a mounted data disk);
// - otherwise "VornBack" in the person's home folder (the root file system, a /home
//   volume); without a known home folder the volume root rule stands.
// A Windows-form folder ("C:\Acc\Bkp", "\\server\share\Bkp") is answered in its own form:
// the drive root is its first three characters and "\" joins. Otherwise the volume root
// is the mount point that holds the folder ("/" or "/mnt/data").
std::string DefaultBackupFolder(const std::string& programFolder, const DefaultFolderFacts& facts);

// The facts for the running program: its volume from /proc/self/mountinfo, whether
// VornBack at that volume's root is writable (an existing one) or may be created (the
// root writable), and the home folder from $HOME or, without it, the password entry.
// Never throws; what it cannot tell counts as not writable or unknown.
DefaultFolderFacts LookUpDefaultFolderFacts(const std::string& programFolder);

enum class StartWindow { Backup, Restore };

struct StartupDecision {
    ProgramValues values;
    std::string StartLocation;
    std::string defaultFolder;  // DefaultBackupFolder of the program folder
    StartWindow window = StartWindow::Backup;
};

// The whole start-up decision. programFolder is the running program's folder; the
// settings file is read from it when it exists, otherwise the default backup folder rule
// applies with the given facts. Throws UsageError for a command line that cannot
// be read or a program folder shorter than four characters.
StartupDecision DecideStartup(std::string_view commandLine, const std::string& programFolder,
                              const DefaultFolderFacts& facts);

// The folder of the running executable (from /proc/self/exe), without a trailing separator.
std::string RunningProgramFolder();

}  // namespace vornback
