// The sample data tree: its layout, its registers and year passwords, and that the same
// options give the same tree. Database files are encrypted with a fresh salt on every build,
// so they are compared by their rows; every other file by its bytes and time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "base/errors.h"
#include "sample/sample_tree.h"
#include "store/registers.h"
#include "support/refusal.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using namespace test;

bool IsDatabase(const fs::path& path) {
    return path.extension() == ".mdb";
}

// Every entry below root by relative path: files and folders with their times, non-database
// files with their bytes.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        std::string value = std::to_string(MTime(e.path()));
        if (e.is_regular_file() && !IsDatabase(e.path())) {
            value += ":" + ReadFile(e.path());
        }
        entries[rel] = value;
    }
    return entries;
}

// The rows of every database of the tree, by relative path.
std::map<std::string, std::string> DatabaseRows(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!IsDatabase(e.path())) {
            continue;
        }
        const std::string rel = fs::relative(e.path(), root).string();
        const std::string name = e.path().filename().string();
        if (name == "Root.mdb") {
            Database db = Database::Open(e.path().string(), kRootPassword);
            out[rel] = test::QueryRows(db, "SELECT * FROM TALVERNR01 ORDER BY rowid");
        } else if (name.rfind("Firm", 0) == 0) {
            Database db = Database::Open(e.path().string(), kFirmPassword);
            out[rel] = test::QueryRows(db, "SELECT * FROM TALVERNR01 ORDER BY rowid") +
                       test::QueryRows(db, "SELECT * FROM TALVERNF01 ORDER BY rowid");
        } else {
            const bool locked = SampleYearProtected(1, std::stoi(name.substr(5)));
            Database db = Database::Open(e.path().string(), locked ? kYearPassword : "");
            out[rel] = test::QueryRows(db, "SELECT * FROM Accounts ORDER BY AcCode") +
                       test::QueryRows(db, "SELECT * FROM Vouchers ORDER BY VchNo");
        }
    }
    return out;
}

uint64_t TotalBytes(const fs::path& root) {
    uint64_t total = 0;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file()) {
            total += e.file_size();
        }
    }
    return total;
}

class SampleTree : public ::testing::Test {
  protected:
    SampleTree() {
        WriteFile(dir.Path() / "prog" / "vornback", "#!/bin/sh\necho backup\n");
        fs::permissions(dir.Path() / "prog" / "vornback", fs::perms(0755));
        WriteFile(dir.Path() / "prog" / "readme.txt", "read me\n");
        fs::permissions(dir.Path() / "prog" / "readme.txt", fs::perms(0640));
        options.programFiles = {dir / "prog/vornback", dir / "prog/readme.txt"};
    }
    TempDir dir;
    SampleOptions options;
};

TEST_F(SampleTree, LayoutRegistersAndPasswords) {
    const fs::path root = dir.Path() / "data";
    options.firms = 2;
    options.years = 3;
    options.firstYear = 2019;
    const std::string program = MakeSampleTree(root.string(), options);
    EXPECT_EQ(program, (root / "Bkp").string());
    // The program folder's name has three characters: cutting four gives the data root.
    EXPECT_EQ(program.substr(0, program.size() - 4), root.string());

    Database rootDb = Database::Open((root / "Root.mdb").string(), kRootPassword);
    const auto firms = AllFirmRows(rootDb);
    ASSERT_EQ(firms.size(), 3u);
    EXPECT_EQ(std::vector<int>({firms[0].Col99, firms[1].Col99, firms[2].Col99}),
              std::vector<int>({1, 2, kReservedFirmNo}));
    EXPECT_EQ(HighestFirmNumber(rootDb), 2);
    EXPECT_FALSE(fs::exists(root / "Firm1001"));

    int protectedYears = 0, plainYears = 0;
    uintmax_t lockedBytes = 0, plainBytes = 0;
    for (int n = 1; n <= 2; ++n) {
        SCOPED_TRACE("firm " + std::to_string(n));
        const fs::path firm = root / ("Firm" + std::to_string(n));
        Database firmDb =
            Database::Open((firm / ("Firm" + std::to_string(n) + ".mdb")).string(), kFirmPassword);
        // The firm's own row matches its root row in what Add Firm copies.
        const auto own = FirstFirmRow(firmDb);
        ASSERT_TRUE(own);
        EXPECT_EQ(std::tie(own->Col99, own->Col98, own->ColL, own->ColF),
                  std::tie(firms[n - 1].Col99, firms[n - 1].Col98, firms[n - 1].ColL,
                           firms[n - 1].ColShort));
        EXPECT_FALSE(own->Col98.empty() || own->ColF.empty());

        const auto years = YearsInOrder(firmDb);
        ASSERT_EQ(years.size(), 3u);
        for (int k = 1; k <= 3; ++k) {
            SCOPED_TRACE("year " + std::to_string(k));
            EXPECT_EQ(std::tie(years[k - 1].Col99, years[k - 1].Col98, years[k - 1].Col97),
                      std::make_tuple(int16_t(k), Date{2018 + k, 4, 1}, Date{2019 + k, 3, 31}));

            const fs::path yr = firm / ("Yr" + std::to_string(k));
            const std::string path = (yr / ("DVorn" + std::to_string(k) + ".mdb")).string();
            const bool locked = SampleYearProtected(n, k);
            (locked ? protectedYears : plainYears)++;
            EXPECT_THROW(Database::Open(path, locked ? "" : kYearPassword), DatabaseError);
            Database yearDb = Database::Open(path, locked ? kYearPassword : "");
            // Vouchers, and free pages left by deletions for compaction to give back.
            EXPECT_GT(std::stoi(test::QueryRows(yearDb, "SELECT count(*) FROM Vouchers")), 100);
            EXPECT_GT(std::stoi(test::QueryRows(yearDb, "PRAGMA freelist_count")), 0);
            EXPECT_GT(fs::file_size(yr / ("Vch" + std::to_string(k) + ".dat")), 10000u);
            // Plain years are the large working books; exported reports lie beside them.
            (locked ? lockedBytes : plainBytes) += fs::file_size(path);
            EXPECT_GT(fs::file_size(yr / ("Balance" + std::to_string(k) + ".pdf")), 10000u);
        }

        for (const char* folder : {"d", "g", "AttachDocs"}) {
            EXPECT_FALSE(fs::is_empty(firm / folder)) << folder;
        }
        for (const auto& e : fs::directory_iterator(firm / "AttachDocs")) {
            const std::string head = ReadFile(e.path()).substr(0, 4);
            EXPECT_TRUE(head == "\xFF\xD8\xFF\xE0" || head == "\x89PNG") << e.path();
        }
    }
    EXPECT_GT(protectedYears, 0);
    EXPECT_GT(plainYears, 0);
    EXPECT_GT(plainBytes / plainYears, 3 * lockedBytes / protectedYears);

    EXPECT_TRUE(fs::is_directory(root / "Res"));
    EXPECT_FALSE(fs::exists(root / "Res" / "fc.avi"));

    // The program files, with their bytes and their modes.
    EXPECT_EQ(ReadFile(root / "Bkp" / "vornback"), "#!/bin/sh\necho backup\n");
    EXPECT_EQ(ReadFile(root / "Bkp" / "readme.txt"), "read me\n");
    EXPECT_EQ(fs::status(root / "Bkp" / "vornback").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(root / "Bkp" / "readme.txt").permissions(), fs::perms(0640));

    // Times are whole seconds in the books' years, odd ones among them.
    bool odd = false;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const int64_t t = MTime(e.path());
        EXPECT_GE(t, 1554076800) << e.path();  // 2019-04-01
        EXPECT_LT(t, 1648771200) << e.path();  // 2022-04-01
        odd = odd || t % 2 != 0;
    }
    EXPECT_TRUE(odd);
}

TEST_F(SampleTree, SameSeedSameTreeOtherSeedOtherTree) {
    const fs::path a = dir.Path() / "a", b = dir.Path() / "b", c = dir.Path() / "c";
    options.seed = 42;
    MakeSampleTree(a.string(), options);
    MakeSampleTree(b.string(), options);
    options.seed = 43;
    MakeSampleTree(c.string(), options);

    const auto first = Snapshot(a);
    EXPECT_GT(first.size(), 40u);
    EXPECT_EQ(first, Snapshot(b));
    EXPECT_EQ(DatabaseRows(a), DatabaseRows(b));

    const auto other = Snapshot(c);
    ASSERT_EQ(first.size(), other.size());
    size_t differing = 0;
    for (const auto& [rel, value] : first) {
        ASSERT_TRUE(other.count(rel)) << rel;
        differing += other.at(rel) != value ? 1 : 0;
    }
    EXPECT_GT(differing, first.size() / 2);
}

TEST_F(SampleTree, ScaleGrowsTheTree) {
    options.years = 1;
    options.firms = 1;
    options.programFiles.clear();
    MakeSampleTree(dir / "one", options);
    options.scale = 4;
    MakeSampleTree(dir / "four", options);
    const uint64_t one = TotalBytes(dir.Path() / "one");
    const uint64_t four = TotalBytes(dir.Path() / "four");
    EXPECT_GT(one, 500000u);
    EXPECT_GT(four, 3 * one);
    EXPECT_LT(four, 5 * one);
}

TEST_F(SampleTree, RefusesBadRootAndOptionsBeforeWriting) {
    // A non-empty root keeps what it holds and gets nothing more.
    const fs::path busy = dir.Path() / "busy";
    WriteFile(busy / "keep.txt", "mine");
    EXPECT_TRUE(
        Mentions(ErrorText<Error>([&] { MakeSampleTree(busy.string(), options); }), "not empty"));
    EXPECT_EQ(ReadFile(busy / "keep.txt"), "mine");
    EXPECT_EQ(std::distance(fs::directory_iterator(busy), fs::directory_iterator()), 1);

    // A file where the root should be.
    EXPECT_THROW(MakeSampleTree(dir / "busy/keep.txt", options), Error);
    EXPECT_EQ(ReadFile(busy / "keep.txt"), "mine");

    // Bad options, and a program file that is missing: nothing is made.
    SampleOptions bad = options;
    bad.firms = 1001;
    EXPECT_THROW(MakeSampleTree(dir / "x", bad), Error);
    bad = options;
    bad.scale = 0;
    EXPECT_THROW(MakeSampleTree(dir / "x", bad), Error);
    bad = options;
    bad.programFiles.push_back(dir / "prog/missing");
    EXPECT_THROW(MakeSampleTree(dir / "x", bad), Error);
    EXPECT_FALSE(fs::exists(dir.Path() / "x"));

    // A missing root is made, with its parents; an empty one is used.
    EXPECT_NO_THROW(MakeSampleTree(dir / "new/deeper/root", options));
    EXPECT_TRUE(fs::exists(dir.Path() / "new/deeper/root/Root.mdb"));
    fs::create_directory(dir.Path() / "empty");
    EXPECT_NO_THROW(MakeSampleTree(dir / "empty", options));
}

}  // namespace
}  // namespace vornback
