// Compares two folder trees: the same relative paths (files and folders), the same bytes
// and the same modification times to the second. Returns "" when equal, otherwise a
// description of the first few differences.
#pragma once

#include <filesystem>
#include <string>

namespace vornback::test {

struct CompareOptions {
    bool compareTimes = true;
    bool compareFolderTimes = false;
};

std::string CompareTrees(const std::filesystem::path& expected, const std::filesystem::path& actual,
                         const CompareOptions& options = {});

}  // namespace vornback::test
