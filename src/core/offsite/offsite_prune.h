// The keep policy on the offsite folder: the firm archives of its date-wise and day-wise
// sub-folders (made there as the local ones are) decided as one destination apart from the
// backup folder's, and those it does not keep removed from the server.
//
// Each remote archive is dated by the server's modification time of the file (the time
// it was copied there, which the rotation keeps). Whatever the policy, the newest remote
// archive that verifies and the only archive of a financial year stay, as locally; so
// does every archive of a firm that another run holds. A removal is one SFTP remove, so a
// kill midway leaves whole archives only; a sub-folder left with nothing in it goes too.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "offsite/offsite_settings.h"
#include "retention/prune.h"

namespace vornback {

struct OffsitePruneRequest {
    KeepPolicy policy;
    std::optional<int64_t> firm;        // only this firm's archives
    std::optional<std::string> yearNo;  // only this series ("" the whole-firm archives)
    std::optional<ArchiveSet> set;      // only these sub-folders
    bool dryRun = false;                // decide and explain, change nothing
    // "<sub-folder>/<name>" of the archive this run has just copied there and checked: it
    // counts as verified without being read back.
    std::string knownGood;
    // A local file name the caller owns: a remote archive is read into it to be verified
    // (and removed afterwards).
    std::string scratch;
    // The passphrase the remote archives are encrypted with ("" for plain ones): without it
    // an encrypted copy could never count as a good one.
    std::string passphrase;
    std::string historyFile;  // each removal is recorded here; "" records nothing
    // Whether another run holds the firm (its archives are then all kept); asked once per
    // firm. Unset: none does.
    std::function<bool(int64_t firm)> heldByRun;
    const std::atomic<bool>* cancel = nullptr;
};

// Decides the firm archives of the offsite folder's date-wise and day-wise sub-folders and
// removes from the server those the policy does not keep, oldest first (names in the
// outcome are "<sub-folder>/<name>"). A removal that fails is listed in failures and the
// others go on. Throws OffsiteError when the server cannot be reached or listed (a folder
// that is not there holds nothing), ArchiveCancelled when cancelled.
PruneOutcome PruneOffsiteFolder(const OffsiteSettings& settings, Clock& clock,
                                const OffsitePruneRequest& request);

}  // namespace vornback
