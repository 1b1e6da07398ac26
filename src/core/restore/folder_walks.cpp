#include "restore/folder_walks.h"

#include <limits>
#include <set>

#include "base/errors.h"
#include "base/text.h"
#include "platform/file_system.h"

namespace vornback {

void DeleteExtraFold(FileSystem& fs, const std::string& stagingFolder, int16_t yrNo) {
    const std::string keep = "yr" + std::to_string(yrNo);
    // The listing is taken once, before anything goes.
    for (const FileEntry& folder : fs.SubFolders(stagingFolder)) {
        if (ToLower(folder.name) != keep) {
            fs.DeleteFolder(JoinPath(stagingFolder, folder.name), false);
        }
    }
}

int16_t NextFreeFolderNo(FileSystem& fs, const std::string& folder, const std::string& word,
                         int16_t start) {
    std::set<std::string> taken;
    for (const FileEntry& sub : fs.SubFolders(folder)) {
        taken.insert(ToLower(sub.name));
    }
    const std::string prefix = ToLower(word);
    int32_t candidate = start;
    while (taken.count(prefix + std::to_string(candidate)) != 0) {
        ++candidate;
        // A number past the 16-bit range cannot name a firm or a year; never wrap round to
        // a number that may be taken.
        if (candidate > std::numeric_limits<int16_t>::max()) {
            throw Error("No free folder number for \"" + word + "\" from " + std::to_string(start) +
                        " upward in \"" + folder + "\": every number up to 32767 is taken");
        }
    }
    return static_cast<int16_t>(candidate);
}

int16_t NextFreeFirmFolderNo(FileSystem& fs, const std::string& appFolder, int16_t start) {
    return NextFreeFolderNo(fs, appFolder, "firm", start);
}

int16_t NextFreeYearFolderNo(FileSystem& fs, const std::string& firmFolder, int16_t start) {
    return NextFreeFolderNo(fs, firmFolder, "yr", start);
}

}  // namespace vornback
