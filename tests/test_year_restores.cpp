// "Selected Year", "Add Firm" and "Add Year" on real sample data trees and real archives:
// files on disk, register rows, messages, the staging area, and what an interruption at a
// file or register step leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/data_tree.h"
#include "base/errors.h"
#include "platform/file_system.h"
#include "restore/restore_run.h"
#include "restore/year_list.h"
#include "restore/year_restores.h"
#include "sample/sample_tree.h"
#include "store/registers.h"
#include "support/run_doubles.h"
#include "support/scripted_dialogs.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "support/tree_compare.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using test::CompareTrees;
using test::PythonZip;
using test::ReadFile;
using test::ScriptedDialogs;
using test::TempDir;
using test::WriteFile;

class NoYearList : public YearChooser {
  public:
    YearPick ChooseYear(const std::vector<YearListRow>&) override {
        ADD_FAILURE() << "a restore run opened the year list";
        return {};
    }
};

// Replaces a register with a database that the register's password does not open.
void SpoilRegister(const std::string& path) {
    fs::rename(path, path + ".kept");
    Database::Create(path, "another password").Close();
}
void MendRegister(const std::string& path) {
    fs::remove(path);
    fs::rename(path + ".kept", path);
}

std::string Period(const std::string& from, const std::string& to) {
    return "From Date " + from + " To " + to;
}

class YearRestores : public ::testing::Test {
  protected:
    // A sample tree at the path, small; returns the path.
    static std::string Tree(const std::string& path, int firms, int years, int firstYear = 2021,
                            uint64_t seed = SampleOptions{}.seed) {
        SampleOptions o;
        o.firms = firms;
        o.years = years;
        o.firstYear = firstYear;
        o.scale = 0.02;
        o.seed = seed;
        MakeSampleTree(path, o);
        return path;
    }

    // The data tree of the test at dir/data, with the program folder dir/data/Bkp.
    void MakeTree(int firms, int years, int32_t currentFirm, int firstYear = 2021) {
        root = Tree(dir / "data", firms, years, firstYear);
        values = ProgramValues{currentFirm, "1", "R", root + "/Bkp", root};
    }

    // Another host's tree, the source of archives of other firms and periods.
    std::string OtherTree(int firms, int years, int firstYear) {
        return Tree(dir / ("other" + std::to_string(++serial)), firms, years, firstYear, 7);
    }

    // Switches the test to a tree of its own with the given firms and years.
    std::string BareTree(int firms, int years) {
        const std::string bare = Tree(dir / ("bare" + std::to_string(++serial)), firms, years);
        values = ProgramValues{1, "1", "R", bare + "/Bkp", bare};
        return bare;
    }

    // Runs Add Firm on an archive; the messages it showed.
    std::vector<std::string> AddFirmFrom(const std::string& archive) {
        dialogs.shown.clear();
        state.SelectedArchivePath = archive;
        AddFirm(ctx);
        return dialogs.Texts();
    }

    // A backup of a firm folder as the backup writes it, or with the firm folder one
    // level down inside the archive.
    std::string Pack(const std::string& firmFolder, const std::string& name, bool oneLevelDown) {
        const std::string archive = dir / ("archives" + std::to_string(++serial) + "/" + name);
        fs::create_directories(fs::path(archive).parent_path());
        if (!oneLevelDown) {
            PackFolder(firmFolder, archive);
            return archive;
        }
        const std::string parent = dir / ("parent" + std::to_string(++serial));
        fs::create_directories(parent);
        local.CopyFolder(firmFolder, parent + "/" + fs::path(firmFolder).filename().string(),
                         false);
        PackFolder(parent, archive);
        return archive;
    }

    // A copy of a firm under another number (folder, database name and its own register
    // row), as another installation would hold it.
    std::string FirmUnderNumber(const std::string& firmFolder, int number) {
        const std::string name = "Firm" + std::to_string(number);
        const std::string copy = dir / ("renumbered" + std::to_string(++serial) + "/" + name);
        fs::create_directories(fs::path(copy).parent_path());
        local.CopyFolder(firmFolder, copy, false);
        const std::string oldDb = copy + "/" + fs::path(firmFolder).filename().string() + ".mdb";
        Database db = Database::Open(oldDb, kFirmPassword);
        RenumberFirmRows(db, number);
        db.Close();
        fs::rename(oldDb, copy + "/" + name + ".mdb");
        return copy;
    }

    // What the select button leaves for a year restore: the archive unpacked below
    // Back/Firm<source>, the staging folder (one level deeper for such an archive) and the
    // year picked in the archive's list.
    void StageYear(const std::string& archive, int16_t sourceFirm, const std::string& yearNo,
                   const std::string& from, const std::string& to) {
        const std::string outer = StagingFirmFolder(values, sourceFirm);
        UnpackArchive(archive, outer);
        const std::string name = "Firm" + std::to_string(sourceFirm);
        state.SourceFirmNo = sourceFirm;
        state.SelectedArchivePath = archive;
        state.RestoreStagingFolder =
            fs::exists(outer + "/" + name + ".mdb") ? outer : outer + "/" + name;
        state.PickedYearNo = yearNo;
        state.PickedYearFrom = from;
        state.PickedYearTo = to;
        state.labels.LblTargetYNo.caption = yearNo;
        state.labels.LblFinYr.caption = Period(from, to);
    }

    void TargetYear(const std::string& no, const std::string& from, const std::string& to) {
        state.TargetYearNo = no;
        state.TargetYearFrom = from;
        state.TargetYearTo = to;
    }

    std::vector<int> RootNumbers() {
        Database db = OpenRootConnection(values);
        std::vector<int> numbers;
        for (const auto& row : AllFirmRows(db)) {
            numbers.push_back(row.Col99);
        }
        return numbers;
    }

    std::vector<YearRow> Years() {
        Database db = OpenFirmConnection(values);
        return YearsInOrder(db);
    }

    std::vector<int> YearNumbers() {
        std::vector<int> numbers;
        for (const auto& row : Years()) {
            numbers.push_back(row.Col99);
        }
        return numbers;
    }

    // A copy of a folder (times kept) to compare against later.
    std::string Snapshot(const std::string& folder) {
        const std::string copy = dir / ("snapshot" + std::to_string(++serial));
        local.CopyFolder(folder, copy, false);
        return copy;
    }

    std::string Firm(int n) const { return FirmFolder(values, n); }
    std::string Back(int n) const { return StagingFirmFolder(values, n); }

    TempDir dir;
    std::string root;
    ProgramValues values;
    LocalFileSystem local;
    test::HookedFileSystem hooked;
    ScriptedDialogs dialogs;
    RestoreState state;
    test::EventLog log;
    test::LoggingRestoreView view{log, state};
    NoYearList yearList;
    RestoreContext ctx{values, hooked, dialogs, yearList, view, state};
    int serial = 0;
};

// ---- Selected Year ----

class SelectedYearLayouts : public YearRestores, public ::testing::WithParamInterface<bool> {};

// Year 2 of another firm's archive over year 5 of the current firm: the staged DVorn2.mdb
// arrives as DVorn5.mdb in Yr5, files of the live year that the archive lacks stay.
TEST_P(SelectedYearLayouts, SourceTwoOverTargetFiveMerges) {
    MakeTree(1, 5, 1);
    const std::string other = OtherTree(3, 2, 2024);  // its year 2 is the current firm's year 5
    const std::string archive = Pack(other + "/Firm3", "Firm3.zip", GetParam());
    const std::string liveYear = Firm(1) + "/Yr5";
    const std::string otherYears = Snapshot(Firm(1));
    const std::string rootBefore = ReadFile(root + "/Root.mdb");
    const std::string firmDbBefore = ReadFile(Firm(1) + "/Firm1.mdb");

    StageYear(archive, 3, "2", "01/04/2025", "31/03/2026");
    const std::string staging = state.RestoreStagingFolder;
    TargetYear("5", "01/04/2025", "31/03/2026");
    dialogs.answers = {Answer::Yes};
    SelectedYear(ctx);

    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Old data will be Overwrite Are You Sure");
    EXPECT_EQ(dialogs.shown[0].title, "Backup");
    EXPECT_EQ(dialogs.shown[0].buttons, Buttons::YesNo);

    EXPECT_EQ(ReadFile(liveYear + "/DVorn5.mdb"), ReadFile(other + "/Firm3/Yr2/DVorn2.mdb"));
    EXPECT_FALSE(fs::exists(liveYear + "/DVorn2.mdb"));
    EXPECT_EQ(ReadFile(liveYear + "/Vch2.dat"), ReadFile(other + "/Firm3/Yr2/Vch2.dat"));
    EXPECT_EQ(ReadFile(liveYear + "/Exp001.csv"), ReadFile(other + "/Firm3/Yr2/Exp001.csv"));
    EXPECT_EQ(ReadFile(liveYear + "/Vch5.dat"), ReadFile(otherYears + "/Yr5/Vch5.dat"));
    for (const char* year : {"Yr1", "Yr2", "Yr3", "Yr4"}) {
        EXPECT_EQ(CompareTrees(otherYears + "/" + year, Firm(1) + "/" + year), "") << year;
    }
    // No register changes: the target year stays registered as it was.
    EXPECT_EQ(ReadFile(root + "/Root.mdb"), rootBefore);
    EXPECT_EQ(ReadFile(Firm(1) + "/Firm1.mdb"), firmDbBefore);
    EXPECT_FALSE(fs::exists(staging));
}

INSTANTIATE_TEST_SUITE_P(FlatAndOneLevelDown, SelectedYearLayouts, ::testing::Bool());

// The same number on both sides: nothing to rename in the staging folder; answered Yes,
// the archived files replace the live ones, a file the archive lacks stays; answered No,
// the live year stays as it is.
TEST_F(YearRestores, SelectedYearSourceEqualsTarget) {
    MakeTree(2, 3, 2);
    const std::string archivedYear = Snapshot(Firm(2) + "/Yr2");
    const std::string archive = Pack(Firm(2), "Firm2.zip", false);
    WriteFile(Firm(2) + "/Yr2/Vch2.dat", "changed after the backup");
    WriteFile(Firm(2) + "/Yr2/Later.txt", "made after the backup");
    const std::string before = Snapshot(Firm(2));

    StageYear(archive, 2, "2", "01/04/2022", "31/03/2023");
    TargetYear("2", "01/04/2022", "31/03/2023");
    dialogs.answers = {Answer::No};
    EXPECT_THROW(SelectedYear(ctx), ProgramEnd);
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Old data will be Overwrite Are You Sure"});
    EXPECT_EQ(CompareTrees(before, Firm(2)), "");
    EXPECT_FALSE(fs::exists(Back(2)));

    StageYear(archive, 2, "2", "01/04/2022", "31/03/2023");
    TargetYear("2", "01/04/2022", "31/03/2023");
    dialogs.answers = {Answer::Yes};
    SelectedYear(ctx);

    EXPECT_EQ(ReadFile(Firm(2) + "/Yr2/Later.txt"), "made after the backup");
    fs::remove(Firm(2) + "/Yr2/Later.txt");
    EXPECT_EQ(CompareTrees(archivedYear, Firm(2) + "/Yr2"), "");
    EXPECT_FALSE(fs::exists(Back(2)));

    // A registered year whose folder is gone: no question, the folder is made as a copy.
    local.DeleteFolder(Firm(2) + "/Yr3", true);
    const std::string archive3 = Pack(Snapshot(Firm(1)), "Firm1.zip", false);
    dialogs.shown.clear();
    StageYear(archive3, 1, "3", "01/04/2023", "31/03/2024");
    TargetYear("3", "01/04/2023", "31/03/2024");
    SelectedYear(ctx);
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(CompareTrees(Firm(1) + "/Yr3", Firm(2) + "/Yr3"), "");
    EXPECT_FALSE(fs::exists(Back(1)));
}

TEST_F(YearRestores, SelectedYearRefusals) {
    MakeTree(2, 3, 2);
    const std::string archive = Pack(Firm(1), "Firm1.zip", false);
    const std::string before = Snapshot(Firm(2));
    struct Case {
        const char* what;
        std::function<void()> spoil;  // what is wrong with the staged data or the choice
        std::string message;
        bool staged = true;
    };
    const std::string period = Period("01/04/2022", "31/03/2023");
    const std::vector<Case> cases = {
        {"year folder missing", [&] { local.DeleteFolder(Back(1) + "/Yr2", true); },
         "File Not Found For the Year " + period},
        {"year database missing", [&] { fs::remove(Back(1) + "/Yr2/DVorn2.mdb"); },
         "File Not Found For the Year" + period},
        {"first day differs", [&] { state.TargetYearFrom = "02/04/2022"; },
         "Financial Year Not Match Please Try Again"},
        {"last day differs", [&] { state.TargetYearTo = "30/03/2023"; },
         "Financial Year Not Match Please Try Again"},
        {"nothing chosen", [&] { state = RestoreState{}; }, "File Not Found For the Year XX",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dialogs.shown.clear();
        state = RestoreState{};
        StageYear(archive, 1, "2", "01/04/2022", "31/03/2023");
        TargetYear("2", "01/04/2022", "31/03/2023");
        c.spoil();
        EXPECT_THROW(SelectedYear(ctx), ProgramEnd);
        ASSERT_EQ(dialogs.shown.size(), 1u);
        EXPECT_EQ(dialogs.shown[0].text, c.message);
        EXPECT_EQ(dialogs.shown[0].title, "Restore");
        EXPECT_EQ(dialogs.shown[0].buttons, Buttons::Ok);
        EXPECT_EQ(CompareTrees(before, Firm(2)), "");
        // The archive of another firm: its staging folder goes.
        EXPECT_EQ(fs::exists(Back(1)), !c.staged);
        local.DeleteFolder(root + "/Bkp/Back", true);
    }
}

// ---- Add Firm ----

std::string TextOfError(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

std::vector<std::string> Added(int n) {
    return {"Firm Added New Firm No Is " + std::to_string(n)};
}

class AddFirmLayouts : public YearRestores, public ::testing::WithParamInterface<bool> {};

// Root 1, 2, 3 and 1001 with Firm1 to Firm3: Firm2.zip comes in as 4, renumbered; Firm7.zip
// keeps 7 untouched; the same archive again goes above the highest. An archive holding the
// firm folder one level down gives the data tree's layout all the same.
TEST_P(AddFirmLayouts, WorkedExample) {
    MakeTree(3, 2, 1);
    const std::string firm2 = Snapshot(Firm(2));
    const std::string archive2 = Pack(Firm(2), "Firm2.zip", GetParam());
    const std::string firm7 = FirmUnderNumber(Firm(3), 7);
    const std::string archive7 = Pack(firm7, "Firm7.zip", GetParam());
    FirmRow archivedRow;
    {
        Database db = Database::Open(Firm(2) + "/Firm2.mdb", kFirmPassword);
        archivedRow = *FirstFirmRow(db);
    }

    EXPECT_EQ(AddFirmFrom(archive2), Added(4));
    EXPECT_EQ(dialogs.shown[0].title, "Restore");
    EXPECT_EQ(state.SourceFirmNo, 2);
    EXPECT_EQ(RootNumbers(), (std::vector<int>{1, 2, 3, 4, 1001}));
    {
        Database rootDb = OpenRootConnection(values);
        const FirmRow added = AllFirmRows(rootDb)[3];
        EXPECT_EQ(added.Col98, archivedRow.Col98);
        EXPECT_EQ(added.ColL, archivedRow.ColL);
        EXPECT_EQ(added.ColShort, archivedRow.ColF);
        Database own = Database::Open(Firm(4) + "/Firm4.mdb", kFirmPassword);
        EXPECT_EQ(FirstFirmRow(own)->Col99, 4);
    }
    // Apart from its database the firm arrives as it was packed.
    const std::string arrived = Snapshot(Firm(4));
    fs::remove(arrived + "/Firm4.mdb");
    fs::remove(firm2 + "/Firm2.mdb");
    EXPECT_EQ(CompareTrees(firm2, arrived), "");
    EXPECT_TRUE(fs::is_empty(root + "/Bkp/Back"));
    EXPECT_GT(view.progressCalls, 0);

    EXPECT_EQ(AddFirmFrom(archive7), Added(7));
    EXPECT_EQ(CompareTrees(firm7, Firm(7)), "");  // the database byte for byte as well

    EXPECT_EQ(AddFirmFrom(archive2), Added(8));
    EXPECT_EQ(RootNumbers(), (std::vector<int>{1, 2, 3, 4, 7, 8, 1001}));
    EXPECT_TRUE(fs::exists(Firm(8) + "/Firm8.mdb"));

    // No archive chosen: nothing at all.
    EXPECT_TRUE(AddFirmFrom("").empty());
    EXPECT_EQ(RootNumbers().size(), 7u);
}

INSTANTIATE_TEST_SUITE_P(FlatAndOneLevelDown, AddFirmLayouts, ::testing::Bool());

// The new number: 1001 is skipped, folders without register rows in any letter case are
// skipped (and the data renumbered even though the archive's number was free), an empty
// register besides 1001 counts from 0.
TEST_F(YearRestores, AddFirmNumbering) {
    MakeTree(3, 1, 1);
    const std::string archive2 = Pack(Firm(2), "Firm2.zip", false);
    const std::string archive7 = Pack(FirmUnderNumber(Firm(3), 7), "Firm7.zip", false);
    const std::string archive1001 = Pack(FirmUnderNumber(Firm(3), 1001), "Firm1001.zip", false);
    const auto addRow = [&](int16_t no) {
        Database rootDb = OpenRootConnection(values);
        AddFirmRow(rootDb, FirmRow{no, "Added", 1, "", "ADD"});
    };
    addRow(4);
    fs::create_directories(root + "/FIRM5");
    fs::create_directories(root + "/firm7");

    EXPECT_EQ(AddFirmFrom(archive2), Added(6));  // highest 4, FIRM5 there
    EXPECT_EQ(AddFirmFrom(archive7), Added(8));  // 7 is free in the register, firm7 is not
    EXPECT_TRUE(fs::is_empty(root + "/firm7"));
    {
        Database own = Database::Open(Firm(8) + "/Firm8.mdb", kFirmPassword);
        EXPECT_EQ(FirstFirmRow(own)->Col99, 8);
    }
    EXPECT_FALSE(fs::exists(Firm(8) + "/Firm7.mdb"));

    addRow(1000);
    EXPECT_EQ(AddFirmFrom(archive2), Added(1002));
    EXPECT_FALSE(fs::exists(root + "/Firm1001"));
    EXPECT_TRUE(fs::exists(Firm(1002) + "/Firm1002.mdb"));

    // A register holding only 1001, and the archive of firm 1001: counted from 0, so 1.
    const std::string bare = BareTree(0, 0);
    EXPECT_EQ(AddFirmFrom(archive1001), Added(1));
    EXPECT_EQ(RootNumbers(), (std::vector<int>{1, 1001}));
    EXPECT_TRUE(fs::exists(bare + "/Firm1/Firm1.mdb"));
}

// Archives that cannot be used: nothing reaches the registers or the data tree.
TEST_F(YearRestores, AddFirmRefusals) {
    MakeTree(2, 1, 1);
    std::string rootBefore = ReadFile(root + "/Root.mdb");
    const auto refused = [&](const std::string& archive) {
        dialogs.shown.clear();
        state.SelectedArchivePath = archive;
        EXPECT_THROW(AddFirm(ctx), ProgramEnd);
        EXPECT_EQ(ReadFile(root + "/Root.mdb"), rootBefore);
        EXPECT_FALSE(fs::exists(Firm(3)));
        EXPECT_EQ(dialogs.shown.at(0).title, "Restore");
        return dialogs.Texts();
    };
    const std::vector<std::string> invalid{"Invalid Backup File"};
    const std::string bad = dir / "bad";
    fs::create_directories(bad + "/a");
    fs::create_directories(bad + "/b");
    fs::create_directories(bad + "/c");

    WriteFile(bad + "/a/Firm2.zip", "not a zip at all");
    // An entry that climbs out of the staging folder refuses the whole archive.
    PythonZip(bad + "/b/Firm2.zip",
              "z.writestr('Firm2.mdb', 'x')\nz.writestr('../Escaped.txt', 'x')");
    // A damaged entry after a good one: what was already unpacked goes as well.
    PythonZip(bad + "/c/Firm2.zip",
              "z.writestr('Firm2.mdb', 'a' * 100)\nz.writestr('Yr1/Vch1.dat', 'b' * 1000)\n"
              "z.close()\nd = open(sys.argv[1], 'rb').read()\n"
              "z = open(sys.argv[1], 'wb')\nz.write(d.replace(b'b' * 1000, b'c' * 1000))");
    for (const char* which : {"a", "b", "c"}) {
        EXPECT_EQ(refused(bad + "/" + which + "/Firm2.zip"), invalid) << which;
        EXPECT_FALSE(fs::exists(Back(2))) << which;
    }
    EXPECT_FALSE(fs::exists(root + "/Bkp/Back/Escaped.txt"));

    // No firm database under the archive's number: the unpacked files stay for a look.
    const std::string wrong = Pack(Firm(1), "Firm2.zip", false);
    EXPECT_EQ(refused(wrong), invalid);
    EXPECT_TRUE(fs::exists(Back(2) + "/Firm1.mdb"));

    // A firm number from the file name beyond 16 bits: refused before anything is staged.
    local.DeleteFolder(root + "/Bkp/Back", true);
    fs::copy_file(wrong, bad + "/Firm70000.zip");
    auto texts = refused(bad + "/Firm70000.zip");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("70000"), std::string::npos) << texts[0];
    EXPECT_FALSE(fs::exists(root + "/Bkp/Back"));

    // A register whose highest number is 32767 cannot take one more.
    {
        Database rootDb = OpenRootConnection(values);
        AddFirmRow(rootDb, FirmRow{32767, "Last", 1, "", "LAST"});
    }
    rootBefore = ReadFile(root + "/Root.mdb");
    texts = refused(Pack(Firm(2), "Firm2.zip", false));
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("32768"), std::string::npos) << texts[0];
    EXPECT_FALSE(fs::exists(Back(2)));
}

// Another program or a failure at each of the last steps leaves no register row without
// its folder; leftovers of such runs in the staging folder never travel with the firm.
TEST_F(YearRestores, AddFirmInterrupted) {
    MakeTree(3, 1, 1);
    const std::string archive = Pack(Firm(2), "Firm2.zip", false);
    const std::string rootDb = root + "/Root.mdb";
    state.SelectedArchivePath = archive;
    const auto hook = [&](const std::string& op, const std::string& at, bool byTarget,
                          const std::function<void()>& action) {
        return [=](const std::string& o, const std::string& from, const std::string& to) {
            if (o == op && (byTarget ? to : from) == at) {
                action();
            }
        };
    };
    const auto diskGone = [] { throw FileSystemError("MoveFolder: disk gone"); };

    // A firm folder that appears while the firm is staged: refused before the register row.
    hooked.before = [&](const std::string& op, const std::string&, const std::string&) {
        if (op == "MoveFile") {
            fs::create_directories(Firm(4));
        }
    };
    EXPECT_THROW(AddFirm(ctx), ProgramEnd);
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>{"Can't Add Firm This Time Please Try Again"});
    EXPECT_EQ(RootNumbers(), (std::vector<int>{1, 2, 3, 1001}));
    EXPECT_TRUE(fs::is_empty(Firm(4)));
    EXPECT_TRUE(fs::exists(Back(4) + "/Firm4.mdb"));
    fs::remove(Firm(4));

    // The move into the data tree fails.
    hooked.before = hook("MoveFolder", Firm(4), true, diskGone);
    EXPECT_THROW(AddFirm(ctx), FileSystemError);
    EXPECT_EQ(RootNumbers(), (std::vector<int>{1, 2, 3, 1001}));
    EXPECT_FALSE(fs::exists(Firm(4)));

    // The root register fails once the folder is in place: the folder goes back.
    hooked.before = nullptr;
    hooked.after = hook("MoveFolder", Firm(4), true, [&] { SpoilRegister(rootDb); });
    EXPECT_THROW(AddFirm(ctx), DatabaseError);
    MendRegister(rootDb);
    EXPECT_EQ(RootNumbers(), (std::vector<int>{1, 2, 3, 1001}));
    EXPECT_FALSE(fs::exists(Firm(4)));
    EXPECT_TRUE(fs::exists(Back(4) + "/Firm4.mdb"));

    // The move back fails as well: the error says where the unregistered folder is.
    hooked.before = hook("MoveFolder", Firm(4), false, diskGone);
    const std::string text = TextOfError([&] { AddFirm(ctx); });
    MendRegister(rootDb);
    EXPECT_NE(text.find("could not be moved back"), std::string::npos) << text;
    EXPECT_NE(text.find(Firm(4)), std::string::npos) << text;
    EXPECT_EQ(RootNumbers(), (std::vector<int>{1, 2, 3, 1001}));

    // After all that the same archive still goes in whole, without the leftovers.
    hooked.before = hooked.after = nullptr;
    local.DeleteFolder(Firm(4), true);
    WriteFile(Back(2) + "/Stale.txt", "from an earlier run");
    WriteFile(Back(2) + "/Yr9/DVorn9.mdb", "from an earlier run");
    WriteFile(Back(4) + "/Firm4.mdb", "from an earlier run");
    EXPECT_EQ(AddFirmFrom(archive), Added(4));
    EXPECT_FALSE(fs::exists(Firm(4) + "/Stale.txt"));
    EXPECT_FALSE(fs::exists(Firm(4) + "/Yr9"));
    EXPECT_NE(ReadFile(Firm(4) + "/Firm4.mdb"), "from an earlier run");
    EXPECT_TRUE(fs::is_empty(root + "/Bkp/Back"));
}

// ---- Add Year ----

class AddYearTest : public YearRestores {
  protected:
    // Firm 3 with years 1 and 2 (2021 and 2022); the archive Firm5.zip of another host
    // whose year k begins on 1 April 2009 + k.
    void SetUp() override {
        MakeTree(3, 2, 3);
        other = OtherTree(5, 4, 2010);
    }
    std::string Archive(bool oneLevelDown = false) {
        return Pack(other + "/Firm5", "Firm5.zip", oneLevelDown);
    }
    std::string other;
};

class AddYearLayouts : public AddYearTest, public ::testing::WithParamInterface<bool> {};

// Year 4 of Firm5.zip, 01/04/2013 to 31/03/2014, becomes year 3 of firm 3.
TEST_P(AddYearLayouts, WorkedExample) {
    const std::string before = Snapshot(Firm(3));
    StageYear(Archive(GetParam()), 5, "4", "01/04/2013", "31/03/2014");
    const std::string staging = state.RestoreStagingFolder;
    AddYear(ctx);

    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Year Added New Year No Is 3"});
    EXPECT_EQ(dialogs.shown[0].title, "Restore");
    EXPECT_EQ(state.NewYearNo, 3);
    const std::vector<YearRow> years = Years();
    ASSERT_EQ(years.size(), 3u);
    EXPECT_EQ(years[0].Col99, 3);
    EXPECT_EQ(DisplayDate(years[0].Col98), "01/04/2013");
    EXPECT_EQ(DisplayDate(years[0].Col97), "31/03/2014");

    const std::string expected = Snapshot(other + "/Firm5/Yr4");
    local.MoveFile(expected + "/DVorn4.mdb", expected + "/DVorn3.mdb");
    EXPECT_EQ(CompareTrees(expected, Firm(3) + "/Yr3"), "");
    for (const char* kept : {"Yr1", "Yr2", "d", "AttachDocs"}) {
        EXPECT_EQ(CompareTrees(before + "/" + kept, Firm(3) + "/" + kept), "") << kept;
    }
    EXPECT_FALSE(fs::exists(Firm(3) + "/Yr4"));
    EXPECT_FALSE(fs::exists(staging));
}

INSTANTIATE_TEST_SUITE_P(FlatAndOneLevelDown, AddYearLayouts, ::testing::Bool());

// Both days are compared: an overlapping year that differs in one day is added, the same
// period is refused; a picked number that is already the next free one stays as it is.
TEST_F(AddYearTest, PeriodCheckAndSameNumber) {
    const std::string archive = Archive();
    StageYear(archive, 5, "3", "02/04/2021", "31/03/2022");
    AddYear(ctx);  // year 3 of the archive as year 3: nothing renamed
    StageYear(archive, 5, "4", "01/04/2021", "30/03/2022");
    AddYear(ctx);
    EXPECT_EQ(dialogs.Texts(), (std::vector<std::string>{"Year Added New Year No Is 3",
                                                         "Year Added New Year No Is 4"}));
    EXPECT_EQ(ReadFile(Firm(3) + "/Yr3/DVorn3.mdb"), ReadFile(other + "/Firm5/Yr3/DVorn3.mdb"));
    EXPECT_EQ(ReadFile(Firm(3) + "/Yr4/DVorn4.mdb"), ReadFile(other + "/Firm5/Yr4/DVorn4.mdb"));

    const std::string before = Snapshot(Firm(3));
    dialogs.shown.clear();
    StageYear(archive, 5, "2", "01/04/2022", "31/03/2023");
    EXPECT_THROW(AddYear(ctx), ProgramEnd);
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Financial Year Already Exists If You "
                                                        "Want To Overwrite Then Select - "
                                                        "Selected Year"});
    EXPECT_EQ(CompareTrees(before, Firm(3)), "");
    EXPECT_FALSE(fs::exists(Back(5)));
}

// The number skips year folders without register rows in any letter case; an empty
// register starts at 1.
TEST_F(AddYearTest, NumberSkipsUnregisteredFolders) {
    const std::string archive = Archive();
    fs::create_directories(Firm(3) + "/YR3");
    StageYear(archive, 5, "2", "01/04/2011", "31/03/2012");
    AddYear(ctx);
    EXPECT_EQ(state.NewYearNo, 4);
    EXPECT_TRUE(fs::is_empty(Firm(3) + "/YR3"));
    EXPECT_EQ(ReadFile(Firm(3) + "/Yr4/DVorn4.mdb"), ReadFile(other + "/Firm5/Yr2/DVorn2.mdb"));
    EXPECT_EQ(YearNumbers(), (std::vector<int>{4, 1, 2}));  // in order of the first day

    // Firm 1 of a tree without years.
    const std::string bare = BareTree(1, 0);
    dialogs.shown.clear();
    StageYear(archive, 5, "2", "01/04/2011", "31/03/2012");
    AddYear(ctx);
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Year Added New Year No Is 1"});
    EXPECT_EQ(YearNumbers(), std::vector<int>{1});
    EXPECT_TRUE(fs::exists(bare + "/Firm1/Yr1/DVorn1.mdb"));
}

TEST_F(AddYearTest, Refusals) {
    const std::string archive = Archive();
    std::string before = Snapshot(Firm(3));
    const std::string period = Period("01/04/2013", "31/03/2014");
    // Runs a refused Add Year; a folder that another program made is checked and taken away
    // before the firm is compared with its state before.
    const auto refused = [&](const std::function<void()>& spoil, const std::string& intruder) {
        dialogs.shown.clear();
        StageYear(archive, 5, "4", "01/04/2013", "31/03/2014");
        spoil();
        EXPECT_THROW(AddYear(ctx), ProgramEnd);
        if (!intruder.empty()) {
            EXPECT_TRUE(fs::is_empty(intruder));
            fs::remove(intruder);
        }
        EXPECT_EQ(CompareTrees(before, Firm(3)), "");
        EXPECT_FALSE(fs::exists(Back(5)));
        return dialogs.Texts();
    };
    EXPECT_EQ(refused([&] { local.DeleteFolder(Back(5) + "/Yr4", true); }, ""),
              std::vector<std::string>{"File Not Found For the Year" + period});
    EXPECT_EQ(refused([&] { fs::remove(Back(5) + "/Yr4/DVorn4.mdb"); }, ""),
              std::vector<std::string>{"File Not Found For the Year" + period});

    // A folder that appears at the target before the move is not taken for this year.
    hooked.before = [&](const std::string& op, const std::string&, const std::string&) {
        if (op == "MoveFile") {
            fs::create_directories(Firm(3) + "/Yr3");
        }
    };
    EXPECT_EQ(refused([] {}, Firm(3) + "/Yr3"),
              std::vector<std::string>{"Year folder " + Firm(3) +
                                       "/Yr3 exists already; nothing was added"});
    hooked.before = nullptr;
    EXPECT_EQ(YearNumbers(), (std::vector<int>{1, 2}));

    // A register whose highest number is 32767 cannot take one more.
    {
        Database firm = OpenFirmConnection(values);
        AddYearRow(firm, YearRow{32767, Date{2030, 4, 1}, Date{2031, 3, 31}});
    }
    before = Snapshot(Firm(3));
    const auto texts = refused([] {}, "");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("32768"), std::string::npos) << texts[0];
    EXPECT_EQ(YearNumbers(), (std::vector<int>{1, 2, 32767}));
}

// Interruptions at the last two steps leave no register row without its folder.
TEST_F(AddYearTest, Interrupted) {
    const std::string archive = Archive();
    const std::string firmDb = Firm(3) + "/Firm3.mdb";

    hooked.before = [&](const std::string& op, const std::string&, const std::string& to) {
        if (op == "MoveFolder" && to == Firm(3) + "/Yr3") {
            throw FileSystemError("MoveFolder: disk gone");
        }
    };
    StageYear(archive, 5, "4", "01/04/2013", "31/03/2014");
    EXPECT_THROW(AddYear(ctx), FileSystemError);
    EXPECT_EQ(YearNumbers(), (std::vector<int>{1, 2}));
    EXPECT_FALSE(fs::exists(Firm(3) + "/Yr3"));

    // The year register fails once the folder is in place: the folder goes back.
    local.DeleteFolder(Back(5), true);
    hooked.before = nullptr;
    hooked.after = [&](const std::string& op, const std::string&, const std::string& to) {
        if (op == "MoveFolder" && to == Firm(3) + "/Yr3") {
            SpoilRegister(firmDb);
        }
    };
    StageYear(archive, 5, "4", "01/04/2013", "31/03/2014");
    EXPECT_THROW(AddYear(ctx), DatabaseError);
    MendRegister(firmDb);
    EXPECT_EQ(YearNumbers(), (std::vector<int>{1, 2}));
    EXPECT_FALSE(fs::exists(Firm(3) + "/Yr3"));
    EXPECT_TRUE(fs::exists(Back(5) + "/Yr3/DVorn3.mdb"));
}

}  // namespace
}  // namespace vornback
