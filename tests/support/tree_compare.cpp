#include "support/tree_compare.h"

#include <map>
#include <sstream>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace vornback::test {
namespace {

struct Item {
    bool folder = false;
    int64_t mtime = 0;
};

std::map<std::string, Item> Scan(const fs::path& root) {
    std::map<std::string, Item> items;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        Item item;
        item.folder = entry.is_directory();
        item.mtime = MTime(entry.path());
        items[fs::relative(entry.path(), root).generic_string()] = item;
    }
    return items;
}

}  // namespace

std::string CompareTrees(const fs::path& expected, const fs::path& actual,
                         const CompareOptions& options) {
    std::ostringstream out;
    int differences = 0;
    auto note = [&](const std::string& text) {
        if (differences++ < 10) {
            out << text << "\n";
        }
    };
    const auto want = Scan(expected);
    const auto got = Scan(actual);
    for (const auto& [name, item] : want) {
        auto it = got.find(name);
        if (it == got.end()) {
            note("missing: " + name);
            continue;
        }
        if (it->second.folder != item.folder) {
            note("kind differs: " + name);
            continue;
        }
        if (!item.folder && ReadFile(expected / name) != ReadFile(actual / name)) {
            note("bytes differ: " + name);
        }
        const bool checkTime = item.folder ? options.compareFolderTimes : options.compareTimes;
        if (checkTime && it->second.mtime != item.mtime) {
            note("time differs: " + name + " (" + std::to_string(item.mtime) + " vs " +
                 std::to_string(it->second.mtime) + ")");
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
