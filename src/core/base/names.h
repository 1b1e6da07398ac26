// Every name the host's data tree and the backups give a folder, a database or an archive,
// written and read back in one place, beside the temporary names. Numbers are written as
// plain decimal text without leading zeros; reading is blind to letter case (the data come
// from a case-insensitive system) and takes digits only (a register number may be
// negative: "-" first), without a leading zero.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace vornback {

// ---- the data tree -----------------------------------------------------------------------

// A firm's folder below the data root, and its copy in the staging root: "Firm<n>".
std::string FirmFolderName(int64_t firm);
std::optional<int64_t> ParseFirmFolderName(std::string_view name);

// A year's folder in its firm's folder: "Yr<k>". The current year comes as the text the
// host gave, so it is written as it stands.
std::string YearFolderName(std::string_view year);
std::string YearFolderName(int64_t year);
std::optional<int64_t> ParseYearFolderName(std::string_view name);

// The root register in the data root: "Root.mdb".
inline constexpr const char* kRootDatabaseName = "Root.mdb";
bool IsRootDatabaseName(std::string_view name);

// A firm's register in its folder: "Firm<n>.mdb".
std::string FirmDatabaseName(int64_t firm);
std::optional<int64_t> ParseFirmDatabaseName(std::string_view name);

// A year's database in its year folder: "DVorn<k>.mdb".
std::string YearDatabaseName(std::string_view year);
std::string YearDatabaseName(int64_t year);
std::optional<int64_t> ParseYearDatabaseName(std::string_view name);

// The lock file of a firm's runs, in the staging root and in a backup folder:
// ".Firm<n>.lock"; read back, the firm's number. The lock a restore window holds on a firm's
// staging folder: ".Firm<n>.staging.lock".
std::string FirmLockName(int64_t firm);
std::optional<int64_t> ParseFirmLockName(std::string_view name);
std::string StagingLockName(int64_t firm);

// ---- the backups -------------------------------------------------------------------------

// An archive a backup writes: "Firm<n>.zip" for the whole firm, "Firm<n>Yr<y>.zip" for its
// current year only; the older generation of either starts with "O" ("OFirm<n>.zip").
struct ArchiveName {
    int64_t firm = 0;
    std::string year;  // "" for a whole-firm archive; digits when read back
    bool older = false;

    bool operator==(const ArchiveName&) const = default;
};
std::string FormatArchiveName(const ArchiveName& archive);
std::optional<ArchiveName> ParseArchiveName(std::string_view name);

// The firm number a restore reads from an archive's file name, whatever the rest of the
// name: the digits that follow its first four characters ("Firm"); none give 0, so that
// "Firm12.zip" and "Firm12Yr3.zip" give 12. Empty when the digits go beyond limit.
std::optional<int64_t> ArchiveFirmNumber(std::string_view fileName, int64_t limit);

// The date-wise sub-folder of a backup folder: "YYYYMMDD" of the day of the backup. Read
// back, only a real calendar day is one (its day name stays empty).
std::string DateFolderName(const Today& today);
std::optional<Today> ParseDateFolderName(std::string_view name);

// The day-wise sub-folder: the full name of the day of the week in the person's language
// (LC_TIME), as the clock gives it. Read back, one of the seven names of that language or
// an English one (a backup made under another language), in any letter case.
std::string DayFolderName(const Today& today);
bool IsDayFolderName(std::string_view name);

}  // namespace vornback
