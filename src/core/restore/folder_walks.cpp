#include "restore/folder_walks.h"

#include <limits>
#include <set>

#include "base/errors.h"
#include "base/names.h"
#include "base/text.h"
#include "platform/file_system.h"

namespace vornback {

void DeleteExtraFold(FileSystem& fs, const std::string& stagingFolder, int16_t yrNo) {
    // The listing is taken once, before anything goes.
    for (const FileEntry& folder : fs.SubFolders(stagingFolder)) {
        if (ParseYearFolderName(folder.name) != yrNo) {
            fs.DeleteFolder(JoinPath(stagingFolder, folder.name), false);
        }
    }
}

namespace {

// The smallest number from start upward that no sub-folder's name gives through parse.
int16_t NextFreeFolderNo(FileSystem& fs, const std::string& folder,
                         std::optional<int64_t> (*parse)(std::string_view), const char* word,
                         int16_t start) {
    std::set<int64_t> taken;
    for (const FileEntry& sub : fs.SubFolders(folder)) {
        if (const auto number = parse(sub.name)) {
            taken.insert(*number);
        }
    }
    int32_t candidate = start;
    while (taken.count(candidate) != 0) {
        ++candidate;
        // A number past the 16-bit range cannot name a firm or a year; never wrap round to
        // a number that may be taken.
        if (candidate > std::numeric_limits<int16_t>::max()) {
            throw Error("No free folder number for \"" + std::string(word) + "\" from " +
                        std::to_string(start) + " upward in \"" + folder +
                        "\": every number up to 32767 is taken");
        }
    }
    return static_cast<int16_t>(candidate);
}

}  // namespace

int16_t NextFreeFirmFolderNo(FileSystem& fs, const std::string& appFolder, int16_t start) {
    return NextFreeFolderNo(fs, appFolder, ParseFirmFolderName, "Firm", start);
}

int16_t NextFreeYearFolderNo(FileSystem& fs, const std::string& firmFolder, int16_t start) {
    return NextFreeFolderNo(fs, firmFolder, ParseYearFolderName, "Yr", start);
}

}  // namespace vornback
