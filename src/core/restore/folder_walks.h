// The folder walks of the restore: stripping the staging folder down to one year folder,
// and the next free firm and year folder numbers. Direct sub-folders only, names compared
// in lower case without trimming, files ignored.
#pragma once

#include <cstdint>
#include <string>

namespace vornback {

class FileSystem;

// Deletes every sub-folder of stagingFolder whose lower-case name is not "yr" + yrNo
// (not forcing read-only files); files stay.
void DeleteExtraFold(FileSystem& fs, const std::string& stagingFolder, int16_t yrNo);

// The smallest number from start upward for which no sub-folder named word + number (in
// lower case) exists in folder. Throws Error when the candidate leaves the 16-bit range.
int16_t NextFreeFolderNo(FileSystem& fs, const std::string& folder, const std::string& word,
                         int16_t start);

// Below AppFolder, word "firm".
int16_t NextFreeFirmFolderNo(FileSystem& fs, const std::string& appFolder, int16_t start);
// Below AppFolder/Firm<CurrentFirmNo>, word "yr".
int16_t NextFreeYearFolderNo(FileSystem& fs, const std::string& firmFolder, int16_t start);

}  // namespace vornback
