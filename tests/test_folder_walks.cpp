// The folder walks on real folders: stripping a staging folder to one year folder, and the
// next free firm and year folder numbers, with letter case, odd names and the 16-bit end.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "base/errors.h"
#include "platform/file_system.h"
#include "restore/folder_walks.h"
#include "sample/sample_tree.h"
#include "support/temp_dir.h"

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

void MakeFolders(const fs::path& parent, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        fs::create_directories(parent / name);
    }
}

std::set<std::string> Entries(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

TEST(DeleteExtraFold, KeepsTheOneYearFolderAndTheFirmFiles) {
    TempDir dir;
    ReversedListing fsys;
    const fs::path staging = dir.Path() / "Back" / "Firm5";
    MakeFolders(staging, {"Yr1", "Yr3", "AttachDocs"});
    WriteFile(staging / "Firm5.mdb", "firm");
    WriteFile(staging / "Yr3" / "DVorn3.mdb", "year three");
    WriteFile(staging / "Yr1" / "DVorn1.mdb", "year one");
    WriteFile(staging / "AttachDocs" / "scan.png", "image");

    DeleteExtraFold(fsys, staging.string(), 3);
    EXPECT_EQ(Entries(staging), (std::set<std::string>{"Firm5.mdb", "Yr3"}));
    EXPECT_EQ(test::ReadFile(staging / "Yr3" / "DVorn3.mdb"), "year three");

    // Letter case does not count; the number must match exactly, so YR03 goes.
    const fs::path other = dir.Path() / "Firm6";
    MakeFolders(other, {"YR12", "yr012", "Yr1", "Yr12x"});
    DeleteExtraFold(fsys, other.string(), 12);
    EXPECT_EQ(Entries(other), (std::set<std::string>{"YR12"}));

    // Without a matching year folder every sub-folder goes.
    const fs::path none = dir.Path() / "Firm7";
    MakeFolders(none, {"Yr1", "Yr2", "d"});
    WriteFile(none / "Firm7.mdb", "firm");
    DeleteExtraFold(fsys, none.string(), 9);
    EXPECT_EQ(Entries(none), (std::set<std::string>{"Firm7.mdb"}));
}

TEST(DeleteExtraFold, ReadOnlyFileRefusesItsFolder) {
    TempDir dir;
    LocalFileSystem fsys;
    const fs::path staging = dir.Path() / "Firm2";
    MakeFolders(staging, {"Yr1", "Yr2"});
    WriteFile(staging / "Yr1" / "locked.dat", "keep");
    fs::permissions(staging / "Yr1" / "locked.dat", fs::perms::owner_write,
                    fs::perm_options::remove);
    EXPECT_THROW(DeleteExtraFold(fsys, staging.string(), 2), FileSystemError);
    EXPECT_EQ(test::ReadFile(staging / "Yr1" / "locked.dat"), "keep");
}

TEST(NextFreeFolderNo, FirmFoldersOfASampleTree) {
    TempDir dir;
    ReversedListing fsys;
    const std::string root = dir / "data";
    MakeSampleTree(root, SampleOptions{});  // Firm1, Firm2, Res and the program folder Bkp
    EXPECT_EQ(NextFreeFirmFolderNo(fsys, root, 1), 3);
    EXPECT_EQ(NextFreeFirmFolderNo(fsys, root, 2), 3);
    EXPECT_EQ(NextFreeFirmFolderNo(fsys, root, 1003), 1003);

    MakeFolders(root, {"Firm1001", "Firm1003", "FIRM1004"});
    EXPECT_EQ(NextFreeFirmFolderNo(fsys, root, 1003), 1005);
    EXPECT_EQ(NextFreeFirmFolderNo(fsys, root, 1001), 1002);
    // A file of a firm's name is no folder.
    WriteFile(fs::path(root) / "Firm1005", "not a folder");
    EXPECT_EQ(NextFreeFirmFolderNo(fsys, root, 1003), 1005);
    // The walk does not look below the direct sub-folders.
    MakeFolders(fs::path(root) / "Firm1", {"Firm3"});
    EXPECT_EQ(NextFreeFirmFolderNo(fsys, root, 3), 3);
}

TEST(NextFreeFolderNo, YearFoldersCompareWithoutTrimming) {
    TempDir dir;
    ReversedListing fsys;
    const fs::path firm = dir.Path() / "Firm1";
    for (int k = 1; k <= 10; ++k) {
        fs::create_directories(firm / ("Yr" + std::to_string(k)));
    }
    EXPECT_EQ(NextFreeYearFolderNo(fsys, firm.string(), 9), 11);
    EXPECT_EQ(NextFreeYearFolderNo(fsys, firm.string(), 4), 11);
    EXPECT_EQ(NextFreeYearFolderNo(fsys, firm.string(), 0), 0);

    const fs::path odd = dir.Path() / "Firm2";
    MakeFolders(odd, {"yr03", "Yr 4", "Yr5 ", "YR1", "yR2"});
    EXPECT_EQ(NextFreeYearFolderNo(fsys, odd.string(), 1), 3);
    EXPECT_EQ(NextFreeYearFolderNo(fsys, odd.string(), 4), 4);
    EXPECT_EQ(NextFreeYearFolderNo(fsys, odd.string(), 5), 5);
    // The word itself is compared in lower case too.
    EXPECT_EQ(NextFreeFolderNo(fsys, odd.string(), "YR", 1), 3);

    EXPECT_THROW(NextFreeYearFolderNo(fsys, (dir.Path() / "missing").string(), 1), FileSystemError);
}

TEST(NextFreeFolderNo, NeverWrapsPastTheHighestNumber) {
    TempDir dir;
    LocalFileSystem fsys;
    const fs::path firm = dir.Path() / "Firm1";
    MakeFolders(firm, {"Yr32766", "Yr32767", "Yr-32768"});
    EXPECT_EQ(NextFreeYearFolderNo(fsys, firm.string(), 32765), 32765);
    try {
        NextFreeYearFolderNo(fsys, firm.string(), 32766);
        ADD_FAILURE() << "no Error past 32767";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("32767"), std::string::npos) << e.what();
    }
    EXPECT_THROW(NextFreeYearFolderNo(fsys, firm.string(), 32767), Error);
    EXPECT_EQ(NextFreeYearFolderNo(fsys, firm.string(), -32767), -32767);
}

}  // namespace
}  // namespace vornback
