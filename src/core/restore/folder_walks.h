// The folder walks of the restore: stripping the staging folder down to one year folder,
// and the next free firm and year folder numbers. Direct sub-folders only, names read in
// any letter case without trimming, files ignored.
#pragma once

#include <cstdint>
#include <string>

namespace vornback {

class FileSystem;

// Deletes every sub-folder of stagingFolder that is not the year folder Yr<yrNo> (not
// forcing read-only files); files stay.
void DeleteExtraFold(FileSystem& fs, const std::string& stagingFolder, int16_t yrNo);

// The smallest number from start upward for which no folder Firm<number> exists below
// AppFolder (any letter case). Throws Error when the candidate leaves the 16-bit range.
int16_t NextFreeFirmFolderNo(FileSystem& fs, const std::string& appFolder, int16_t start);
// The same for the year folders Yr<number> below AppFolder/Firm<CurrentFirmNo>.
int16_t NextFreeYearFolderNo(FileSystem& fs, const std::string& firmFolder, int16_t start);

}  // namespace vornback
