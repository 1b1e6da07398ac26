// The firm database of an archive unpacked into the staging folder, which lies either
// flat in it or one folder down.
#pragma once

#include <cstdint>
#include <string>

#include "base/program_values.h"
#include "store/registers.h"

namespace vornback {

class Dialogs;
class FileSystem;

// Opens the firm database of an archive unpacked below ProgramFolder/Back/Firm<n>: the flat
// layout (Firm<n>.mdb directly inside) leaves restoreStagingFolder as it is; the
// one-level-down layout (Firm<n>/Firm<n>.mdb) sets restoreStagingFolder to the inner
// folder. With neither, shows "Invalid Backup File" (title "Restore", OK), deletes the
// folder ProgramFolder/Back/Firm<n> (not forcing read-only files) and throws ProgramEnd.
Database OpenStagedFirmConnection(const ProgramValues& values, int32_t sourceFirmNo,
                                  std::string& restoreStagingFolder, FileSystem& fs,
                                  Dialogs& dialogs);

}  // namespace vornback
