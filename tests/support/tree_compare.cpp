#include "support/tree_compare.h"

#include <map>
#include <sstream>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace vornback::test {

std::string CompareTrees(const fs::path& expected, const fs::path& actual,
                         const CompareOptions& options) {
    // Relative path -> whether it is a folder and its modification time.
    const auto scan = [](const fs::path& root) {
        std::map<std::string, std::pair<bool, int64_t>> items;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            items[fs::relative(entry.path(), root).generic_string()] = {entry.is_directory(),
                                                                        MTime(entry.path())};
        }
        return items;
    };
    std::ostringstream out;
    int differences = 0;
    const auto note = [&](const std::string& text) {
        if (differences++ < 10) {
            out << text << "\n";
        }
    };
    const auto want = scan(expected);
    const auto got = scan(actual);
    for (const auto& [name, item] : want) {
        const auto it = got.find(name);
        if (it == got.end() || it->second.first != item.first) {
            note((it == got.end() ? "missing: " : "kind differs: ") + name);
            continue;
        }
        if (!item.first && ReadFile(expected / name) != ReadFile(actual / name)) {
            note("bytes differ: " + name);
        }
        if ((item.first ? options.compareFolderTimes : options.compareTimes) &&
            it->second.second != item.second) {
            note("time differs: " + name + " (" + std::to_string(item.second) + " vs " +
                 std::to_string(it->second.second) + ")");
        }
    }
    for (const auto& [name, item] : got) {
        if (!want.count(name)) {
            note("extra: " + name);
        }
    }
    if (differences > 10) {
        out << "... " << differences - 10 << " more\n";
    }
    return out.str();
}

}  // namespace vornback::test
