// "Selected Year", "Add Firm" and "Add Year" on real sample data trees and real archives:
// files on disk, register rows, messages, the staging area, and what an interruption at a
// file or register step leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/data_tree.h"
#include "base/errors.h"
#include "platform/file_system.h"
#include "restore/restore_run.h"
#include "restore/staged_firm.h"
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
using namespace test;

const Message kOverwrite{"Old data will be Overwrite Are You Sure", "Backup", Buttons::YesNo,
                         Icon::Question, Answer::No};

// A register year from its number and two days DD/MM/YYYY.
YearRow Year(const std::string& no, const std::string& from, const std::string& to) {
    return YearRow{static_cast<int16_t>(std::stoi(no)), *ParseDisplayDate(from),
                   *ParseDisplayDate(to)};
}

std::string Period(const std::string& from, const std::string& to) {
    return "From Date " + from + " To " + to;
}

class YearRestores : public ::testing::Test {
  protected:
    // A sample tree at the path, small; returns the path.
    static std::string Tree(const std::string& path, int firms, int years, int firstYear = 2021,
                            uint64_t seed = SampleOptions{}.seed) {
        MakeSampleTree(path, SampleOptions{firms, years, 0.02, seed, firstYear, {}});
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
        state.locks.clear();  // as the run's end does
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
        state.SourceFirmNo = sourceFirm;
        state.SelectedArchivePath = archive;
        state.RestoreStagingFolder = FindStagedFirm(local, outer, sourceFirm)->folder;
        state.pickedYear = Year(yearNo, from, to);
    }

    void TargetYear(const std::string& no, const std::string& from, const std::string& to) {
        state.targetYear = Year(no, from, to);
    }

    std::vector<int> RootNumbers() {
        Database db = OpenRootConnection(values);
        std::vector<int> numbers;
        std::ranges::transform(AllFirmRows(db), std::back_inserter(numbers), &FirmRow::Col99);
        return numbers;
    }

    // The year register of the current firm in order of the first day: "3 2013-04-01 ...".
    std::string Years() {
        Database db = OpenFirmConnection(values);
        std::string out;
        for (const YearRow& y : YearsInOrder(db)) {
            out += std::to_string(y.Col99) + " " + IsoDate(y.Col98) + " " + IsoDate(y.Col97) + ",";
        }
        return out;
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
    test::ScriptedYears yearList;  // none is planned: a run must not open one
    RestoreContext ctx{values, hooked, dialogs, yearList, view, state, TheSystemClock()};
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

    EXPECT_EQ(dialogs.shown, std::vector<Message>{kOverwrite});

    EXPECT_EQ(ReadFile(liveYear + "/DVorn5.mdb"), ReadFile(other + "/Firm3/Yr2/DVorn2.mdb"));
    EXPECT_FALSE(fs::exists(liveYear + "/DVorn2.mdb"));
    EXPECT_EQ(ReadFile(liveYear + "/Vch2.dat"), ReadFile(other + "/Firm3/Yr2/Vch2.dat"));
    EXPECT_EQ(ReadFile(liveYear + "/Vch5.dat"), ReadFile(otherYears + "/Yr5/Vch5.dat"));
    for (const char* year : {"Yr1", "Yr2", "Yr3", "Yr4"}) {
        EXPECT_EQ(CompareTrees(otherYears + "/" + year, Firm(1) + "/" + year), "") << year;
    }
    // No register changes: the target year stays registered as it was.
    EXPECT_EQ(ReadFile(root + "/Root.mdb"), rootBefore);
    EXPECT_EQ(ReadFile(Firm(1) + "/Firm1.mdb"), firmDbBefore);
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(state.restoredDetail,
              "Year 5 of firm 1 was restored from year 2 of \"" + archive + "\".");
}

INSTANTIATE_TEST_SUITE_P(FlatAndOneLevelDown, SelectedYearLayouts, ::testing::Bool());

// Answered No, the live year stays as it is and nothing stays staged; a registered year
// whose folder is gone is made as a copy without the question.
TEST_F(YearRestores, SelectedYearNoAndMissingLiveYear) {
    MakeTree(2, 3, 2);
    const std::string archive = Pack(Firm(1), "Firm1.zip", false);
    const std::string before = Snapshot(Firm(2));
    StageYear(archive, 1, "2", "01/04/2022", "31/03/2023");
    TargetYear("2", "01/04/2022", "31/03/2023");
    dialogs.answers = {Answer::No};
    EXPECT_THROW(SelectedYear(ctx), ProgramEnd);
    EXPECT_EQ(dialogs.shown, std::vector<Message>{kOverwrite});
    EXPECT_EQ(CompareTrees(before, Firm(2)), "");
    EXPECT_FALSE(fs::exists(Back(1)));

    local.DeleteFolder(Firm(2) + "/Yr3", true);
    dialogs.shown.clear();
    StageYear(archive, 1, "3", "01/04/2023", "31/03/2024");
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
    };
    const std::string period = Period("01/04/2022", "31/03/2023");
    const std::string notMatching = "Financial Year Not Match Please Try Again";
    // clang-format off
    const std::vector<Case> cases = {
        {"year folder missing", [&] { local.DeleteFolder(Back(1) + "/Yr2", true); },
         "File Not Found For the Year " + period},
        {"year database missing", [&] { fs::remove(Back(1) + "/Yr2/DVorn2.mdb"); },
         "File Not Found For the Year" + period},
        {"first day differs", [&] { state.targetYear->Col98 = Date{2022, 4, 2}; }, notMatching},
        {"last day differs", [&] { state.targetYear->Col97 = Date{2023, 3, 30}; }, notMatching},
        {"nothing chosen", [&] { state = RestoreState{}, local.DeleteFolder(Back(1), true); },
         "File Not Found For the Year XX"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dialogs.shown.clear();
        state = RestoreState{};
        StageYear(archive, 1, "2", "01/04/2022", "31/03/2023");
        TargetYear("2", "01/04/2022", "31/03/2023");
        c.spoil();
        EXPECT_THROW(SelectedYear(ctx), ProgramEnd);
        EXPECT_EQ(dialogs.shown,
                  (std::vector<Message>{{c.message, "Restore", Buttons::Ok, Icon::Exclamation}}));
        EXPECT_EQ(CompareTrees(before, Firm(2)), "");
        EXPECT_FALSE(fs::exists(Back(1)));  // the archive of another firm: its staging goes
        state.locks.clear();
    }
}

// ---- Add Firm ----

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
    FirmRow archived;
    {
        Database db = Database::Open(Firm(2) + "/Firm2.mdb", kFirmPassword);
        archived = *FirstFirmRow(db);
    }
    EXPECT_EQ(AddFirmFrom(archive2), Added(4));
    EXPECT_EQ(dialogs.shown[0].title, "Restore");
    EXPECT_EQ(RootNumbers(), (std::vector<int>{1, 2, 3, 4, 1001}));
    {
        Database rootDb = OpenRootConnection(values);
        const FirmRow added = AllFirmRows(rootDb)[3];
        EXPECT_EQ(added.Col98 + "|" + std::to_string(added.ColL) + "|" + added.ColShort,
                  archived.Col98 + "|" + std::to_string(archived.ColL) + "|" + archived.ColF);
        Database own = Database::Open(Firm(4) + "/Firm4.mdb", kFirmPassword);
        EXPECT_EQ(FirstFirmRow(own)->Col99, 4);
    }
    // Apart from its database the firm arrives as it was packed.
    const std::string arrived = Snapshot(Firm(4));
    fs::remove(arrived + "/Firm4.mdb");
    fs::remove(firm2 + "/Firm2.mdb");
    EXPECT_EQ(CompareTrees(firm2, arrived), "");
    EXPECT_TRUE(fs::is_empty(root + "/Bkp/Back"));
    EXPECT_EQ(state.restoredDetail, "Firm 4 was added from \"" + archive2 + "\".");

    EXPECT_EQ(AddFirmFrom(archive7), Added(7));
    EXPECT_EQ(CompareTrees(firm7, Firm(7)), "");  // the database byte for byte as well
    EXPECT_EQ(AddFirmFrom(archive2), Added(8));
    EXPECT_EQ(RootNumbers(), (std::vector<int>{1, 2, 3, 4, 7, 8, 1001}));
    EXPECT_TRUE(AddFirmFrom("").empty());  // no archive chosen: nothing at all
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
    addRow(1000);
    EXPECT_EQ(AddFirmFrom(archive2), Added(1002));
    EXPECT_TRUE(fs::exists(Firm(1002) + "/Firm1002.mdb"));
    // A register holding only 1001, and the archive of firm 1001: counted from 0, so 1.
    const std::string bare = BareTree(0, 0);
    EXPECT_EQ(AddFirmFrom(archive1001), Added(1));
    EXPECT_EQ(RootNumbers(), (std::vector<int>{1, 1001}));
    EXPECT_TRUE(fs::exists(bare + "/Firm1/Firm1.mdb"));
}

// Archives that cannot be used: nothing reaches the registers or the data tree, and
// nothing stays staged.
TEST_F(YearRestores, AddFirmRefusals) {
    MakeTree(2, 1, 1);
    std::string rootBefore = ReadFile(root + "/Root.mdb");
    const auto refused = [&](const std::string& archive) {
        dialogs.shown.clear();
        state.SelectedArchivePath = archive;
        EXPECT_THROW(AddFirm(ctx), ProgramEnd);
        state.locks.clear();
        EXPECT_EQ(ReadFile(root + "/Root.mdb"), rootBefore);
        EXPECT_FALSE(fs::exists(Firm(3)));
        EXPECT_EQ(test::Names(root + "/Bkp/Back"), std::vector<std::string>{});
        EXPECT_EQ(dialogs.shown.size(), 1u);
        return dialogs.shown.at(0);
    };
    const std::string bad = dir / "bad";
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
        const Message m = refused(bad + "/" + which + "/Firm2.zip");
        EXPECT_EQ(m.text + "|" + m.title, "Invalid Backup File|Restore") << which;
        EXPECT_NE(m.detail.find(bad + "/" + which + "/Firm2.zip"), std::string::npos) << m.detail;
    }
    // No firm database under the archive's number.
    const std::string wrong = Pack(Firm(1), "Firm2.zip", false);
    EXPECT_EQ(refused(wrong), (Message{"Invalid Backup File", "Restore", Buttons::Ok,
                                       Icon::Exclamation, Answer::Ok, NoStagedFirmDetail(2)}));
    // A register full up to 32767.
    {
        Database rootDb = OpenRootConnection(values);
        AddFirmRow(rootDb, FirmRow{32767, "Last", 1, "", "LAST"});
    }
    rootBefore = ReadFile(root + "/Root.mdb");
    EXPECT_NE(refused(Pack(Firm(2), "Firm2.zip", false)).text.find("32768"), std::string::npos);
}

// A firm folder that appears while the firm is staged is refused before the register row;
// a register that fails once the folder is placed gets the folder back, so no folder stands
// without its row.
TEST_F(YearRestores, AddFirmInterrupted) {
    MakeTree(3, 1, 1);
    const std::string archive = Pack(Firm(2), "Firm2.zip", false);
    const std::string rootDb = root + "/Root.mdb";
    hooked.before = [&](const std::string& op, const std::string&, const std::string&) {
        if (op == "MoveFile") {
            fs::create_directories(Firm(4));
        }
    };
    EXPECT_THROW(AddFirmFrom(archive), ProgramEnd);
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>{"Can't Add Firm This Time Please Try Again"});
    EXPECT_TRUE(fs::is_empty(Firm(4)));
    fs::remove(Firm(4));
    hooked.before = nullptr;
    hooked.after = [&](const std::string& op, const std::string&, const std::string& to) {
        if (op == "MoveFolder" && to == Firm(4)) {
            // The register replaced by a database that its password does not open.
            fs::rename(rootDb, rootDb + ".kept");
            Database::Create(rootDb, "another password").Close();
        }
    };
    EXPECT_THROW(AddFirmFrom(archive), DatabaseError);
    fs::remove(rootDb);
    fs::rename(rootDb + ".kept", rootDb);
    EXPECT_EQ(RootNumbers(), (std::vector<int>{1, 2, 3, 1001}));
    EXPECT_FALSE(fs::exists(Firm(4)));
    state.locks.clear();
    EXPECT_EQ(test::Names(root + "/Bkp/Back"), std::vector<std::string>{"Firm4"});
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
    AddYear(ctx);
    EXPECT_EQ(dialogs.shown, (std::vector<Message>{{"Year Added New Year No Is 3", "Restore",
                                                    Buttons::Ok, Icon::Information}}));
    EXPECT_EQ(state.NewYearNo, 3);
    EXPECT_EQ(Years(), "3 2013-04-01 2014-03-31,1 2021-04-01 2022-03-31,2 2022-04-01 2023-03-31,");
    const std::string expected = Snapshot(other + "/Firm5/Yr4");
    local.MoveFile(expected + "/DVorn4.mdb", expected + "/DVorn3.mdb");
    EXPECT_EQ(CompareTrees(expected, Firm(3) + "/Yr3"), "");
    for (const char* kept : {"Yr1", "Yr2", "d", "AttachDocs"}) {
        EXPECT_EQ(CompareTrees(before + "/" + kept, Firm(3) + "/" + kept), "") << kept;
    }
    EXPECT_FALSE(fs::exists(Firm(3) + "/Yr4"));
    state.locks.clear();  // as the run's end does
    EXPECT_TRUE(fs::is_empty(root + "/Bkp/Back"));
}

INSTANTIATE_TEST_SUITE_P(FlatAndOneLevelDown, AddYearLayouts, ::testing::Bool());

// Both days are compared: an overlapping year that differs in one day is added, the same
// period is refused; a picked number that is already the next free one stays as it is; the
// number skips year folders without register rows in any letter case.
TEST_F(AddYearTest, PeriodCheckAndNumbers) {
    const std::string archive = Archive();
    StageYear(archive, 5, "3", "02/04/2021", "31/03/2022");
    AddYear(ctx);  // year 3 of the archive as year 3: nothing renamed
    fs::create_directories(Firm(3) + "/YR4");
    StageYear(archive, 5, "4", "01/04/2021", "30/03/2022");
    AddYear(ctx);
    EXPECT_EQ(dialogs.Texts(), (std::vector<std::string>{"Year Added New Year No Is 3",
                                                         "Year Added New Year No Is 5"}));
    EXPECT_EQ(ReadFile(Firm(3) + "/Yr3/DVorn3.mdb"), ReadFile(other + "/Firm5/Yr3/DVorn3.mdb"));
    EXPECT_EQ(ReadFile(Firm(3) + "/Yr5/DVorn5.mdb"), ReadFile(other + "/Firm5/Yr4/DVorn4.mdb"));
    EXPECT_TRUE(fs::is_empty(Firm(3) + "/YR4"));

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

TEST_F(AddYearTest, Refusals) {
    const std::string archive = Archive();
    std::string before = Snapshot(Firm(3));
    const std::string period = Period("01/04/2013", "31/03/2014");
    const auto refused = [&](const std::function<void()>& spoil) {
        dialogs.shown.clear();
        StageYear(archive, 5, "4", "01/04/2013", "31/03/2014");
        spoil();
        EXPECT_THROW(AddYear(ctx), ProgramEnd);
        EXPECT_EQ(CompareTrees(before, Firm(3)), "");
        EXPECT_FALSE(fs::exists(Back(5)));
        return dialogs.Texts();
    };
    const std::vector<std::string> notFound{"File Not Found For the Year" + period};
    EXPECT_EQ(refused([&] { local.DeleteFolder(Back(5) + "/Yr4", true); }), notFound);
    EXPECT_EQ(refused([&] { fs::remove(Back(5) + "/Yr4/DVorn4.mdb"); }), notFound);
    // A register whose highest number is 32767 cannot take one more.
    {
        Database firm = OpenFirmConnection(values);
        AddYearRow(firm, YearRow{32767, Date{2030, 4, 1}, Date{2031, 3, 31}});
    }
    before = Snapshot(Firm(3));
    const auto texts = refused([] {});
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("32768"), std::string::npos) << texts[0];
}

}  // namespace
}  // namespace vornback
