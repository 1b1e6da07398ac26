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

// The default backup folder: a program folder on a network path ("\\" or "//" at its
// start, or on a network file system) gives ProgramFolder + separator + "Back"; otherwise
// the root of the volume that holds it followed by "VornBack". A Windows-form folder
// ("C:\Acc\Bkp", "\\server\share\Bkp") is answered in its own form: the drive root is
// its first three characters and "\" joins. Otherwise volumeRoot is the mount point that
// holds the folder ("/" or "/mnt/data"); a root without a trailing "/" gets one.
std::string DefaultBackupFolder(const std::string& programFolder, const std::string& volumeRoot,
                                bool onNetworkFileSystem);

// The platform's answer for a folder: the mount point that holds it and whether that is a
// network file system. Falls back to "/" and false when it cannot tell.
struct VolumeInfo {
    std::string root;
    bool network = false;
};
VolumeInfo LookUpVolume(const std::string& folder);
// The same answer from the text of /proc/self/mountinfo, for an absolute folder path.
VolumeInfo VolumeFromMountInfo(const std::string& mountInfo, const std::string& folder);

enum class StartWindow { Backup, Restore };

struct StartupDecision {
    ProgramValues values;
    std::string StartLocation;
    StartWindow window = StartWindow::Backup;
};

// The whole start-up decision. programFolder is the running program's folder; the
// settings file is read from it when it exists, otherwise the default backup folder rule
// applies with the given volume facts. Throws UsageError for a command line that cannot
// be read or a program folder shorter than four characters.
StartupDecision DecideStartup(std::string_view commandLine, const std::string& programFolder,
                              const VolumeInfo& volume);

// The folder of the running executable (from /proc/self/exe), without a trailing separator.
std::string RunningProgramFolder();

}  // namespace vornback
