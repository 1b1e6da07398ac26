// Places in the host's data tree and the staging area, built from the program-wide
// values. Numbers are written as plain decimal text without leading zeros.
#pragma once

#include <cstdint>
#include <string>

#include "base/names.h"
#include "base/program_values.h"

namespace vornback {

std::string SettingsFile(const ProgramValues& values);  // ProgramFolder/settings.ini
std::string StagingRoot(const ProgramValues& values);   // ProgramFolder/Back
std::string StagingFirmFolder(const ProgramValues& values,
                              int64_t n);                          // ProgramFolder/Back/Firm<n>
std::string RootDatabase(const ProgramValues& values);             // AppFolder/Root.mdb
std::string FirmFolder(const ProgramValues& values, int64_t n);    // AppFolder/Firm<n>
std::string FirmDatabase(const ProgramValues& values, int64_t n);  // FirmFolder/Firm<n>.mdb
std::string YearFolder(const ProgramValues& values, int64_t n,
                       const std::string& k);       // FirmFolder/Yr<k>
std::string ClipFile(const ProgramValues& values);  // AppFolder/Res/fc.avi

// Orders the stamps of kept copies ("YYYYMMDD-HHMMSS", then "-<serial>" for a second copy
// in the same second): true when stamp a is newer than stamp b.
bool NewerStamp(const std::string& a, const std::string& b);

}  // namespace vornback
