// The folder walks on real folders: stripping a staging folder to one year folder, and the
// next free firm and year folder numbers, with letter case, odd names and the 16-bit end.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "base/errors.h"
#include "platform/file_system.h"
#include "restore/folder_walks.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::WriteFile;

// Lists sub-folders in reverse name order, so that no walk can lean on a sorted listing.
class ReversedListing : public LocalFileSystem {
  public:
    std::vector<FileEntry> SubFolders(const std::string& path) override {
        auto entries = LocalFileSystem::SubFolders(path);
        std::reverse(entries.begin(), entries.end());
        return entries;
    }
};

TEST(DeleteExtraFold, KeepsTheOneYearFolderAndTheFiles) {
    TempDir dir;
    ReversedListing fsys;
    struct Case {
        std::set<std::string> folders;
        int16_t keep;
        std::vector<std::string> left;
    } cases[] = {
        {{"Yr1", "Yr3", "AttachDocs"}, 3, {"Firm5.mdb", "Yr3"}},
        {{"YR12", "yr012", "Yr1", "Yr12x"}, 12, {"Firm5.mdb", "YR12"}},  // case only
        {{"Yr1", "Yr2", "d"}, 9, {"Firm5.mdb"}},                         // none matches
    };
    int serial = 0;
    for (const Case& c : cases) {
        const fs::path staging = dir.Path() / std::to_string(++serial);
        for (const auto& name : c.folders) {
            WriteFile(staging / name / "x.dat", name);
        }
        WriteFile(staging / "Firm5.mdb", "firm");
        DeleteExtraFold(fsys, staging.string(), c.keep);
        EXPECT_EQ(test::Names(staging), c.left) << serial;
    }
    // A read-only file refuses its folder's deletion and stays.
    const fs::path locked = dir.Path() / "locked";
    WriteFile(locked / "Yr1" / "locked.dat", "keep");
    fs::create_directories(locked / "Yr2");
    fs::permissions(locked / "Yr1" / "locked.dat", fs::perms::owner_write,
                    fs::perm_options::remove);
    EXPECT_THROW(DeleteExtraFold(fsys, locked.string(), 2), FileSystemError);
    EXPECT_EQ(test::ReadFile(locked / "Yr1" / "locked.dat"), "keep");
}

TEST(NextFreeFolderNo, SkipsTakenNamesInAnyLetterCaseWithoutTrimming) {
    TempDir dir;
    ReversedListing fsys;
    const fs::path root = dir.Path();
    for (const char* name :
         {"Firm1", "Firm2", "Firm1001", "Firm1003", "FIRM1004", "Firm1/Firm3", "F/Yr1", "F/Yr2",
          "F/Yr10", "G/yr03", "G/Yr 4", "G/Yr5 ", "G/YR1", "G/yR2"}) {
        fs::create_directories(root / name);
    }
    for (int k = 3; k <= 9; ++k) {
        fs::create_directories(root / "F" / ("Yr" + std::to_string(k)));
    }
    WriteFile(root / "Firm1005", "a file, no folder");
    const std::string r = root.string(), f = (root / "F").string(), g = (root / "G").string();
    struct Case {
        int16_t got, expected;
    } cases[] = {
        {NextFreeFirmFolderNo(fsys, r, 1), 3},       {NextFreeFirmFolderNo(fsys, r, 1003), 1005},
        {NextFreeFirmFolderNo(fsys, r, 1001), 1002}, {NextFreeFirmFolderNo(fsys, r, 3), 3},
        {NextFreeYearFolderNo(fsys, f, 9), 11},      {NextFreeYearFolderNo(fsys, f, 4), 11},
        {NextFreeYearFolderNo(fsys, f, 0), 0},       {NextFreeYearFolderNo(fsys, f, 11), 11},
        {NextFreeYearFolderNo(fsys, g, 1), 3},       {NextFreeYearFolderNo(fsys, g, 4), 4},
        {NextFreeYearFolderNo(fsys, g, 5), 5},       {NextFreeYearFolderNo(fsys, f, -1), -1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].got, cases[i].expected) << "case " << i;
    }
    EXPECT_THROW(NextFreeYearFolderNo(fsys, (root / "missing").string(), 1), FileSystemError);
}

TEST(NextFreeFolderNo, NeverWrapsPastTheHighestNumber) {
    TempDir dir;
    LocalFileSystem fsys;
    const fs::path firm = dir.Path() / "Firm1";
    for (const char* name : {"Yr32766", "Yr32767", "Yr-32768"}) {
        fs::create_directories(firm / name);
    }
    EXPECT_EQ(NextFreeYearFolderNo(fsys, firm.string(), 32765), 32765);
    EXPECT_THROW(NextFreeYearFolderNo(fsys, firm.string(), 32766), Error);
    EXPECT_THROW(NextFreeYearFolderNo(fsys, firm.string(), 32767), Error);
    EXPECT_EQ(NextFreeYearFolderNo(fsys, firm.string(), -32767), -32767);
}

}  // namespace
}  // namespace vornback
