// The restore drill: proves that an archive brings the firm back, not only that its bytes
// are whole. The archive is unpacked into a private scratch folder (0700, outside the
// staging root, its free space checked first, removed however the drill ends); every
// entry's CRC and size are checked and the unpacked files must be exactly the archive's
// entries; then the firm folder in it passes the checks of drill/firm_check.h (databases
// open with the host's keys and pass the integrity check, year register and year folders
// agree; a current-year archive holds its one year). The result is "proven" or the first
// reason it failed, with the time the unpack and checks took: a restore-time estimate.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/program_values.h"
#include "drill/firm_check.h"

namespace vornback {

struct DrillOptions {
    // Where the scratch folder is made; "" takes DefaultScratchParent().
    std::string scratchParent;
    // The one year a current-year archive holds; "" reads it from the archive's name
    // (Firm<n>Yr<y>.zip), and a whole-firm archive has none.
    std::string onlyYear;
    ArchiveProgressFn progress;                 // may be empty
    const std::atomic<bool>* cancel = nullptr;  // set to stop: throws ArchiveCancelled
    unsigned threads = 0;                       // 0: one per core
    std::string passphrase;                     // of an encrypted archive; "" for a plain one
};

struct DrillReport {
    std::string archive;
    int64_t firm = 0;
    std::string onlyYear;           // the year of a current-year archive, "" otherwise
    std::vector<Finding> findings;  // empty when proven; the first is the reason
    uint64_t archiveBytes = 0;
    uint64_t files = 0;  // file entries
    uint64_t bytes = 0;  // their unpacked bytes
    int databases = 0;   // databases opened and checked
    double seconds = 0;

    bool Proven() const { return findings.empty(); }
    // "proven" or the first finding as one line.
    std::string Reason() const;
};

// TMPDIR when set and a folder, otherwise /var/tmp (on the disk, unlike a /tmp in memory).
std::string DefaultScratchParent();

// Runs the drill on the archive of firm n. Every fault of the archive, the scratch space
// or the data is a finding, never an exception; only a cancel throws (ArchiveCancelled),
// after the scratch folder is removed. Scratch folders of drills that were killed (their
// process is gone) are removed from the scratch parent first.
DrillReport DrillArchive(const std::string& archive, int64_t firm,
                         const DrillOptions& options = {});

// The year of a current-year archive's name Firm<n>Yr<y>.zip (any letter case); "" for
// any other name.
std::string CurrentYearOfArchive(const std::string& archivePath, int64_t firm);

// The newest (by modification time) Firm<n>.zip in the backup folder or one of its
// date-wise or day-wise sub-folders; nothing when there is none.
std::optional<std::string> NewestFirmArchive(const std::string& backupFolder, int64_t firm);

// The report as lines for a person, and as one JSON object (no new-line).
std::string DrillText(const DrillReport& report);
std::string DrillJson(const DrillReport& report);

// Appends the drill's "drill" line to the history beside the settings file (start time in
// seconds since the epoch). A line that cannot be written leaves its reason as a warning.
void RecordDrill(const ProgramValues& values, const DrillReport& report, int64_t startTime);

}  // namespace vornback
