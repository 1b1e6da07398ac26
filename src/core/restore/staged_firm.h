// The firm database of an archive unpacked into the staging folder, which lies either
// flat in it or one folder down. The one place that decides which.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/program_values.h"
#include "store/registers.h"

namespace vornback {

class Dialogs;
class FileSystem;

struct StagedFirm {
    std::string folder;    // the folder that holds the firm database
    std::string database;  // Firm<n>.mdb in it, as the archive spelt it
};

// Where the firm database Firm<n>.mdb of an archive unpacked into outer lies: outer itself
// (flat) or outer/Firm<n> (one level down), names in any letter case. Nothing when neither.
std::optional<StagedFirm> FindStagedFirm(FileSystem& fs, const std::string& outer, int64_t n);

// The informative line of "Invalid Backup File" when FindStagedFirm finds nothing.
std::string NoStagedFirmDetail(int64_t n);

// Opens the firm database of an archive unpacked below ProgramFolder/Back/Firm<n>: the flat
// layout leaves restoreStagingFolder as it is; the one-level-down layout sets it to the
// inner folder. With neither, shows "Invalid Backup File" (title "Restore", OK, the cause
// as its detail), deletes the folder ProgramFolder/Back/Firm<n> and throws ProgramEnd.
Database OpenStagedFirmConnection(const ProgramValues& values, int32_t sourceFirmNo,
                                  std::string& restoreStagingFolder, FileSystem& fs,
                                  Dialogs& dialogs);

}  // namespace vornback
