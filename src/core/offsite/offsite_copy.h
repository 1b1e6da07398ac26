// The offsite copy of a checked backup archive: the very file is uploaded under a
// temporary name beside the remote generations, resumed after a dropped link, checked by
// size (and read back when Verify is on), and only then rotated in, so that the server
// holds at least one complete archive at every moment. A rotation a killed run left half
// done is completed by the next run, and uploads of failed runs are removed.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "offsite/offsite_settings.h"

namespace vornback {

struct OffsiteCopyOptions {
    ArchiveProgressFn progress;
    const std::atomic<bool>* cancel = nullptr;
    // Called after each step that changes the server ("uploaded", "older removed", "last
    // renamed", "new renamed"); lets a test end the process there.
    std::function<void(const std::string& step)> afterStep;
    // The passphrase the archives are encrypted with ("" for plain ones): a part found on
    // the server is read back with it to decide whether it is complete.
    std::string passphrase;
};

struct OffsiteCopyResult {
    std::string remoteArchive;       // the server's path of the new archive
    int tries = 0;                   // uploads it took
    std::vector<std::string> notes;  // what was found and mended on the server first
};

// Copies archivePath to the server as <folder>[/<subFolder>]/<archiveName>, the one there
// before becoming <previousName>. localScratch is a file name in the local backup folder
// that the run owns (a leftover there is removed by the folder's recovery): a part found
// on the server is read back into it to decide whether it is complete. Throws
// OffsiteError with the reason; the local files are never changed (but for the scratch
// file); ArchiveCancelled when cancelled.
OffsiteCopyResult CopyOffsite(const OffsiteSettings& settings, const std::string& archivePath,
                              const std::string& subFolder, const std::string& archiveName,
                              const std::string& previousName, const std::string& localScratch,
                              const OffsiteCopyOptions& options = {});

// Connects, checks the host key and the login, and writes and removes a probe file in the
// folder (created when missing). Returns what was done, one line per step; throws
// OffsiteError with the reason.
std::vector<std::string> TestOffsite(const OffsiteSettings& settings);

}  // namespace vornback
