// Every temporary name the system gives a file or folder, in one place, so that each is
// unique to the run that made it (process id and random bits) and so that recovery at
// start-up can tell a leftover of a killed run from anything a person keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace vornback {

// ---- runs, the file-system service and the backup ----------------------------------

// A tag unique to one run: the process id and 32 random bits, "1234-9f3a0c2e".
std::string NewRunTag();

// The file-system service's copy of one file, written beside its target and renamed into
// place: ".vornback-copy-<tag>.tmp".
std::string CopyTemporaryName();

// The backup's new archive while it is written and checked, beside the generations:
// "." + archiveName + ".partial-" + tag. No file dialog filter ("Firm*.zip") matches it.
std::string BackupTemporaryName(std::string_view archiveName, std::string_view tag);

// The rotation's second name for the last archive, renamed over the older generation so
// that the last one never leaves its place: "." + archiveName + ".previous-" + tag.
std::string RotationLinkName(std::string_view archiveName, std::string_view tag);

// The encrypted copy of a checked archive that leaves the machine (offsite, mail), beside
// the generations until it has left: "." + archiveName + ".encrypted-" + tag.
std::string EncryptedCopyName(std::string_view archiveName, std::string_view tag);

// The compaction's copy of a staged year database, in the staging root:
// "M" + year + ".Firm" + firm + "." + tag + ".mdb".
std::string CompactionTemporaryName(std::string_view year, int64_t firm, std::string_view tag);

// What a backup leftover in a destination folder is. packPart: a piece the archive writer
// left beside the temporary archive ("<temporary>.part-XXXXXXXX[.YYYYYY]").
struct BackupLeftover {
    enum class Kind { Temporary, RotationLink, PackPart, EncryptedCopy } kind;
    std::string archiveName;  // the archive it was made for, e.g. "Firm3Yr2.zip"
};
std::optional<BackupLeftover> ParseBackupLeftover(std::string_view name);

// Whether the name is a compaction copy of the firm's (any year).
bool IsCompactionTemporaryOf(std::string_view name, int64_t firm);

// The restore drill's private scratch folder, outside the staging root:
// "vornback-drill-<tag>". The tag starts with the process id, so that a folder left by a
// killed drill can be told from one a running drill uses.
std::string DrillScratchName();
// The process id of a drill scratch folder's name; nothing for any other name.
std::optional<long> DrillScratchProcess(std::string_view name);

// The offsite copy's upload on the server, beside the remote generations, until it is
// checked and renamed: "." + archiveName + "." + 8 random + ".part".
std::string OffsitePartName(std::string_view archiveName);
// Whether a remote file name is such an upload for the archive.
bool IsOffsitePartOf(std::string_view name, std::string_view archiveName);

// ---- end of the run and backup block -------------------------------------------------

// ---- the restore ---------------------------------------------------------------------
// Markers are folders in the staging root, made (and synced) before a step that changes
// the live tree and removed after it, so that recovery knows what to finish or undo.

// Full Firm: marker ".swap-Firm<n>-<stamp>"; the replaced firm is kept as
// Replaced/"Firm<n>-<stamp>" (stamp YYYYMMDD-HHMMSS, possibly followed by "-<serial>").
std::string FirmSwapMarkerName(int64_t firm, std::string_view stamp);
std::string ReplacedCopyName(int64_t firm, std::string_view stamp);
inline constexpr const char* kReplacedFolderName = "Replaced";
// Selected Year: marker ".swap-Firm<n>-Yr<t>"; the replaced year waits in
// ".aside-Firm<n>-Yr<t>"; the merged year is built as ".merged-Yr<t>" in the staging folder.
std::string YearSwapMarkerName(int64_t firm, std::string_view year);
std::string YearAsideName(int64_t firm, std::string_view year);
std::string MergedYearName(std::string_view year);
// Add Firm: ".place-Firm<m>"; Add Year: ".place-Firm<n>-Yr<k>".
std::string FirmPlaceMarkerName(int64_t firm);
std::string YearPlaceMarkerName(int64_t firm, int64_t year);
// A folder on its way out: ".deleting-<name>" (a replaced copy) or ".unplaced-<name>" (a
// folder that recovery takes back); a partial one of either is removed at the next start.
std::string DeletingName(std::string_view name);
std::string UnplacedName(std::string_view name);

}  // namespace vornback

namespace vornback::temp_names {

// ---- Archive (pack and unpack) ---------------------------------------------------------

// Packing writes "<archive>.part-vb-<8 random>" beside the archive and renames it into
// place; libzip, closing that file, writes its own "<that name>.<6 random>" first.
// Unpacking writes each file as ".part-vbu-<8 random>" in its folder, and a whole unpack
// fills the folder "<destination>.part-vbu-<8 random>" before renaming it to the
// destination.

inline constexpr std::string_view kPackMarker = ".part-vb-";
inline constexpr std::string_view kUnpackMarker = ".part-vbu-";
inline constexpr size_t kRandomLength = 8;

// Eight random lower-case letters and digits; safe to call from any thread.
inline std::string RandomPart() {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string part;
    for (size_t i = 0; i < kRandomLength; ++i) {
        part += kDigits[engine() % (sizeof(kDigits) - 1)];
    }
    return part;
}

// The temporary file a pack of archivePath writes before renaming it into place.
inline std::string PackTemporaryPath(const std::string& archivePath) {
    return archivePath + std::string(kPackMarker) + RandomPart();
}

// The temporary name of one unpacked file inside its folder.
inline std::string UnpackTemporaryFileName() {
    return std::string(kUnpackMarker) + RandomPart();
}

// The temporary folder a whole unpack into destFolder fills before renaming it into place.
inline std::string UnpackTemporaryFolder(const std::string& destFolder) {
    return destFolder + std::string(kUnpackMarker) + RandomPart();
}

namespace detail {
inline bool RandomAt(std::string_view name, size_t at, size_t length) {
    if (name.size() < at + length) {
        return false;
    }
    for (size_t i = at; i < at + length; ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            return false;
        }
    }
    return true;
}

// Whether name ends in marker + 8 random, optionally followed by "." + 6 random (libzip's).
inline bool EndsInMarked(std::string_view name, std::string_view marker) {
    const size_t at = name.rfind(marker);
    if (at == std::string_view::npos) {
        return false;
    }
    const size_t random = at + marker.size();
    if (!RandomAt(name, random, kRandomLength)) {
        return false;
    }
    const size_t rest = name.size() - random - kRandomLength;
    return rest == 0 || (rest == 7 && name[random + kRandomLength] == '.' &&
                         RandomAt(name, random + kRandomLength + 1, 6));
}
}  // namespace detail

// Whether a file name (no folder part) is a pack's temporary file, or libzip's beside it.
inline bool IsPackTemporaryName(std::string_view name) {
    return detail::EndsInMarked(name, kPackMarker);
}

// Whether a file or folder name (no folder part) is an unpack's temporary file or folder.
inline bool IsUnpackTemporaryName(std::string_view name) {
    return detail::EndsInMarked(name, kUnpackMarker) &&
           name.size() == name.rfind(kUnpackMarker) + kUnpackMarker.size() + kRandomLength;
}

// ---- End of archive names ---------------------------------------------------------------

}  // namespace vornback::temp_names
