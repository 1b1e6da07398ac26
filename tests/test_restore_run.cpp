// The restore window's core on real sample trees: the labels per restore type, the folder
// check, the select button's steps with their cancels, the year list's picks, the run and
// its settings, and "Full Firm" with every ending it has, down to what a failed swap or a
// hostile archive leaves on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/errors.h"
#include "gui/restore_captions.h"
#include "platform/file_system.h"
#include "platform/run_lock.h"
#include "restore/restore_run.h"
#include "restore/staged_firm.h"
#include "restore/year_list.h"
#include "sample/sample_tree.h"
#include "startup/settings.h"
#include "store/registers.h"
#include "support/refusal.h"
#include "support/run_doubles.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "support/tree_compare.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using namespace test;

// Every caption of the restore window as one line, so that a whole state can be compared at
// once.
std::string Describe(const RestoreState& state) {
    const RestoreCaptions l = CaptionsOf(state);
    const auto one = [](const char* name, const Caption& s) {
        return std::string(name) + "=" + s.text + (s.visible ? "(shown) " : "(hidden) ");
    };
    return one("TxtTrFNo", l.LblTxtTrFNo) + one("TargetFNo", l.LblTargetFNo) +
           one("TxtTrYr", l.LblTxtTrYr) + one("TargetYNo", l.LblTargetYNo) +
           one("FinYr", l.LblFinYr) + one("Path", l.LblPath) + one("Select", l.cmdSelectPath) +
           (l.FrmDirSelEnabled ? "DirSel(enabled)" : "DirSel(disabled)");
}

// A year as number, first and last day, "" for none.
std::string YearText(const std::optional<YearRow>& year) {
    return year ? std::to_string(year->Col99) + DisplayDate(year->Col98) + DisplayDate(year->Col97)
                : "";
}

constexpr const char* kCompleted = "Restore Competed. Do You Want To Exit?";
constexpr const char* kInvalid = "Invalid Backup File";

Message Invalid(const std::string& detail) {
    return Message{kInvalid, "Restore", Buttons::Ok, Icon::Exclamation, Answer::Ok, detail};
}

// A sample tree with two firms of three years (1 April to 31 March from 2021); the window
// restores into firm 2, current year 2.
class RestoreTest : public ::testing::Test {
  protected:
    RestoreTest()
        : root_(tmp_ / "data"),
          program_(MakeSampleTree(root_, SampleOptions{})),
          values_{2, "2", "R", program_, root_},
          backups_(tmp_ / "backups"),
          view_(log_, state_),
          dialogs_(log_),
          ctx_{values_, fs_, dialogs_, years_, view_, state_, TheSystemClock()} {
        fs::create_directory(backups_);
        view_.describe = Describe;
        years_.opened = [this] {
            log_.events.push_back("YearList");
            labelsAtOpen_.push_back(view_.shownLabels);
        };
    }

    // A whole-firm archive, packed as a backup packs the firm folder.
    std::string Backup(int firmNo, const std::string& name) {
        const std::string archive = backups_ + "/" + name;
        PackFolder(root_ + "/Firm" + std::to_string(firmNo), archive);
        return archive;
    }

    // A copy of a folder with its times, to compare against afterwards.
    std::string Keep(const std::string& folder, const std::string& name) {
        const std::string copy = tmp_ / ("kept-" + name);
        fs_.CopyFolder(folder, copy, false);
        return copy;
    }

    static RestoreChoices FullFirmFrom(const std::string& folder) {
        return RestoreChoices{FolderChoice::Other, "", folder, RestoreType::FullFirm, false};
    }

    std::string Staging(int n) const { return program_ + "/Back/Firm" + std::to_string(n); }

    TempDir tmp_;
    std::string root_;
    std::string program_;
    ProgramValues values_;
    std::string backups_;
    test::EventLog log_;
    RestoreState state_;
    LocalFileSystem fs_;
    test::LoggingRestoreView view_;
    test::LoggingDialogs dialogs_;
    test::ScriptedYears years_;
    std::vector<std::string> labelsAtOpen_;  // the labels shown as each year list opened
    RestoreContext ctx_;
};

// ---- Labels and the folder check ----

TEST_F(RestoreTest, ShowHideLblFollowsTheTableForEachType) {
    // A state as earlier choices leave it: a period shown, an archive path, a source firm.
    RestoreState used;
    used.shown =
        RestoreShown{true, true, 9, true, true, true, false, SelectStep::SelectYear, false};
    used.pickedYear = YearRow{3, Date{2023, 4, 1}, Date{2024, 3, 31}};
    used.SelectedArchivePath = "/b/Firm9.zip";

    const std::string period = "FinYr=From Date 01/04/2023 To 31/03/2024(shown) ";
    const std::string untouched = "TxtTrYr=Year No.(hidden) TargetYNo=3(hidden) ";
    struct Case {
        int index;
        std::string expected;
    } cases[] = {
        {0, "TxtTrFNo=Source Firm No.(shown) TargetFNo=2(shown) " + untouched +
                "FinYr=From Date 01/04/2023 To 31/03/2024(hidden) Path=/b/Firm9.zip(shown) "
                "Select=Select Year(hidden) DirSel(enabled)"},
        {1, "TxtTrFNo=Source Firm No.(shown) TargetFNo=2(shown) " + untouched + period +
                "Path=/b/Firm9.zip(shown) Select=Select Year(shown) DirSel(disabled)"},
        {2, "TxtTrFNo=Source Firm No.(hidden) TargetFNo=9(hidden) " + untouched +
                "FinYr=From Date 01/04/2023 To 31/03/2024(hidden) Path=/b/Firm9.zip(shown) "
                "Select=Select Firm(shown) DirSel(disabled)"},
        {3, "TxtTrFNo=Source Firm No.(hidden) TargetFNo=2(hidden) " + untouched + period +
                "Path=/b/Firm9.zip(shown) Select=Select Firm(shown) DirSel(disabled)"},
    };
    for (const Case& c : cases) {
        RestoreState s = used;
        ShowHideLbl(s, RestoreTypeAt(c.index), 2);
        EXPECT_EQ(Describe(s), c.expected) << "type " << c.index;
    }
    for (const int other : {-1, 4}) {
        RestoreState s = used;
        ShowHideLbl(s, RestoreTypeAt(other), 2);
        EXPECT_EQ(Describe(s), Describe(used)) << "type " << other;
    }
    // The design state stays as it is for "nothing chosen".
    RestoreState fresh;
    ShowHideLbl(fresh, RestoreType::None, 2);
    EXPECT_EQ(Describe(fresh),
              "TxtTrFNo=Target Firm No.(hidden) TargetFNo=0(hidden) "
              "TxtTrYr=Year No.(hidden) TargetYNo=0(hidden) FinYr=XX(hidden) "
              "Path=Target Firm No.(hidden) Select=...(hidden) DirSel(enabled)");
}

TEST_F(RestoreTest, RetValidPathRefusesABlankOtherFolderOnly) {
    RestoreChoices c{FolderChoice::Default, "/media/VornBack", "   ", RestoreType::FullFirm, false};
    EXPECT_EQ(RetValidPath(ctx_, c), "/media/VornBack");
    c.folder = FolderChoice::Other;
    EXPECT_EQ(RetValidPath(ctx_, c), "");
    c.restorePath = " /srv/backups/ ";  // as typed, blanks and separator kept
    EXPECT_EQ(RetValidPath(ctx_, c), " /srv/backups/ ");
    EXPECT_EQ(dialogs_.shown,
              (std::vector<Message>{{"Please Select Restore Path", kProgramTitle, Buttons::Ok}}));
    EXPECT_EQ(log_.events, (std::vector<std::string>{"Please Select Restore Path", "Focus"}));
}

// ---- The run ----

TEST_F(RestoreTest, RunWritesTheSettingsFirstEvenWhenTheTypeRefuses) {
    const std::string settings = program_ + "/settings.ini";
    std::vector<std::string> atBusyOn;
    view_.onBusyOn = [&] {
        for (const char* key : {"LPath", "RestType", "AdvSet"}) {
            atBusyOn.push_back(ReadSetting("Rest", key, settings));
        }
    };
    WriteSetting("Rest", "LPath", "earlier", settings);
    WriteSetting("Rest", "RestType", "3", settings);
    RestoreChoices c = FullFirmFrom("  ");
    c.advanced = true;
    dialogs_.answers = {Answer::No};
    EXPECT_EQ(RunRestore(ctx_, c), RestoreEnd::KeepOpen);
    EXPECT_EQ(atBusyOn, (std::vector<std::string>{"", "0", "1"}));
    EXPECT_EQ(log_.events, (std::vector<std::string>{"BusyOn", "Please Select Restore Path",
                                                     "Focus", "BusyOff", kCompleted}));
    EXPECT_EQ(dialogs_.shown.back(),
              (Message{kCompleted, "Backup", Buttons::YesNo, Icon::None, Answer::Yes}));
    EXPECT_FALSE(fs::exists(program_ + "/Back"));

    // Nothing chosen: "-1" is kept, nothing is restored, the question still comes.
    const std::string before = Keep(root_ + "/Firm2", "firm2");
    c.type = RestoreType::None;
    c.advanced = false;
    c.restorePath = "/srv/b";
    log_.events.clear();
    dialogs_.answers = {Answer::Yes};
    EXPECT_EQ(RunRestore(ctx_, c), RestoreEnd::Exit);
    EXPECT_EQ(log_.events, (std::vector<std::string>{"BusyOn", "BusyOff", kCompleted}));
    EXPECT_EQ(ReadSetting("Rest", "RestType", settings), "-1");
    EXPECT_EQ(ReadSetting("Rest", "LPath", settings), "/srv/b");
    EXPECT_EQ(ReadSetting("Rest", "AdvSet", settings), "0");
    EXPECT_EQ(CompareTrees(before, root_ + "/Firm2"), "");
}

// ---- The select button ----

TEST_F(RestoreTest, AddFirmShowsTheChosenPathAndUnpacksNothing) {
    const RestoreChoices addFirm{FolderChoice::Default, "", "", RestoreType::AddFirm, true};
    ShowHideLbl(state_, RestoreType::AddFirm, 2);
    dialogs_.files = {""};
    SelectPathClick(ctx_, addFirm);
    EXPECT_TRUE(state_.shown.select);  // no file: nothing changes
    EXPECT_FALSE(state_.shown.archive);
    EXPECT_EQ(state_.SelectedArchivePath, "");

    const std::string archive = Backup(1, "Firm1.zip");
    dialogs_.files = {archive};
    SelectPathClick(ctx_, addFirm);
    ASSERT_EQ(dialogs_.fileRequests.size(), 2u);
    const auto& request = dialogs_.fileRequests[1];
    EXPECT_EQ(request.title + "|" + request.filter + "|" + request.initialFile,
              "Select Backup File|Zip Files (Firm*.zip)|Firm*.zip|");
    EXPECT_EQ(state_.SelectedArchivePath, archive);
    const std::string labels =
        "TxtTrFNo=Target Firm No.(hidden) TargetFNo=0(hidden) TxtTrYr=Year "
        "No.(hidden) TargetYNo=0(hidden) FinYr=XX(hidden) Path=";
    EXPECT_EQ(view_.shownLabels,
              labels + archive + "(shown) Select=Select Firm(hidden) DirSel(disabled)");
    EXPECT_FALSE(fs::exists(program_ + "/Back"));
    EXPECT_EQ(std::count(log_.events.begin(), log_.events.end(), "BusyOn"), 0);
}

TEST_F(RestoreTest, SelectedYearPicksTargetThenArchiveThenSourceYear) {
    const std::string archive = Backup(1, "Firm1.zip");
    const RestoreChoices selectedYear{FolderChoice::Default, "", "", RestoreType::SelectedYear,
                                      true};
    ShowHideLbl(state_, RestoreType::SelectedYear, 2);

    // Target year 2 of firm 2, then the file dialog is cancelled.
    years_.picks = {YearPick{PickKey::Enter, 1}};
    dialogs_.files = {""};
    SelectPathClick(ctx_, selectedYear);
    EXPECT_EQ(log_.events, (std::vector<std::string>{"YearList", "OpenFile"}));
    ASSERT_EQ(years_.lists.size(), 1u);
    ASSERT_EQ(years_.lists[0].size(), 3u);
    EXPECT_EQ(years_.lists[0][2].no + years_.lists[0][2].from + years_.lists[0][2].to,
              "301/04/202331/03/2024");
    EXPECT_EQ(CaptionsOf(state_).cmdSelectPath.text, "Select Firm");
    EXPECT_TRUE(state_.shown.select);
    EXPECT_EQ(YearText(state_.targetYear), "201/04/202231/03/2023");
    EXPECT_EQ(view_.shownLabels, Describe(state_));  // shown before the file dialog

    // The next press asks only for the file, unpacks it and lists the archive's years.
    log_.events.clear();
    years_.picks = {YearPick{PickKey::Enter, 0}};
    dialogs_.files = {archive};
    SelectPathClick(ctx_, selectedYear);
    EXPECT_EQ(log_.events, (std::vector<std::string>{"OpenFile", "BusyOn", "BusyOff", "YearList"}));
    EXPECT_GT(view_.progressCalls, 0);
    EXPECT_EQ(state_.SourceFirmNo, 1);
    EXPECT_EQ(state_.RestoreStagingFolder, Staging(1));
    EXPECT_EQ(CompareTrees(root_ + "/Firm1", Staging(1)), "");
    // The list opened with the source firm already shown.
    EXPECT_TRUE(
        test::Mentions(labelsAtOpen_[1], "TxtTrFNo=Source Firm No.(shown) TargetFNo=1(shown)"));
    EXPECT_EQ(view_.shownLabels,
              "TxtTrFNo=Source Firm No.(shown) TargetFNo=1(shown) "
              "TxtTrYr=Year No.(shown) TargetYNo=1(shown) FinYr=From Date "
              "01/04/2021 To 31/03/2022(shown) Path=Target Firm No.(hidden) "
              "Select=Select Year(hidden) DirSel(disabled)");
    // An Enter pick of the source leaves the target as it was.
    EXPECT_EQ(YearText(state_.targetYear), "201/04/202231/03/2023");
    EXPECT_EQ(YearText(state_.pickedYear), "101/04/202131/03/2022");
}

TEST_F(RestoreTest, AddYearGoesOnWithTheRememberedFileAndNeverCarriesStaleFiles) {
    const std::string archive = Backup(1, "Firm1.zip");
    const RestoreChoices addYear{FolderChoice::Default, "", "", RestoreType::AddYear, true};
    ShowHideLbl(state_, RestoreType::AddYear, 2);
    years_.picks = {YearPick{PickKey::Esc, 2}};
    dialogs_.files = {archive};
    SelectPathClick(ctx_, addYear);
    EXPECT_EQ(log_.events, (std::vector<std::string>{"OpenFile", "BusyOn", "BusyOff", "YearList"}));
    EXPECT_EQ(view_.shownLabels,
              "TxtTrFNo=Source Firm No.(shown) TargetFNo=1(shown) "
              "TxtTrYr=Year No.(shown) TargetYNo=3(shown) FinYr=From Date "
              "01/04/2023 To 31/03/2024(shown) Path=Target Firm No.(hidden) "
              "Select=Select Year(hidden) DirSel(disabled)");
    EXPECT_EQ(YearText(state_.targetYear), "301/04/202331/03/2024");  // Esc: the target too

    // Left behind as by a run that ended early.
    WriteFile(Staging(1) + "/stale.txt", "old");
    WriteFile(Staging(1) + "/Yr9/DVorn9.mdb", "old");

    // Picked again; the dialog is cancelled but still holds the file, so the click goes on.
    ShowHideLbl(state_, RestoreType::AddYear, 2);
    log_.events.clear();
    years_.picks = {YearPick{PickKey::None, 0}};
    dialogs_.files = {""};
    SelectPathClick(ctx_, addYear);
    EXPECT_EQ(dialogs_.fileRequests.back().initialFile, archive);
    EXPECT_EQ(log_.events, (std::vector<std::string>{"OpenFile", "BusyOn", "BusyOff", "YearList"}));
    EXPECT_EQ(state_.SelectedArchivePath, archive);
    EXPECT_EQ(CompareTrees(root_ + "/Firm1", Staging(1)), "");
    EXPECT_FALSE(state_.shown.select);
    EXPECT_EQ(YearText(state_.targetYear), "301/04/202331/03/2024");  // the list picked nothing
}

// The file name alone counts (the reading of a name itself is the names' own test); a number
// beyond a firm's is refused.
TEST_F(RestoreTest, SourceFirmNumberComesFromTheFileName) {
    const std::pair<const char*, int> names[] = {
        {"/b/Firm12Yr3.zip", 12}, {"/b/Firm32767.zip", 32767}, {"/Firm12/Backup.zip", 0}};
    for (const auto& [name, number] : names) {
        EXPECT_EQ(SourceFirmNoFromName(name), number) << name;
    }
    EXPECT_THROW(SourceFirmNoFromName("/b/Firm32768.zip"), Error);
    EXPECT_THROW(SourceFirmNoFromName("/b/Firm99999999999999999999999.zip"), Error);
}

// ---- Full Firm ----

// The firm's files at the archive's top level, or its folder one level down beside other
// things; over a live firm changed since, or where the firm has no folder yet. Files of an
// earlier killed run in the staging folder never travel with the firm.
TEST_F(RestoreTest, FullFirmReplacesTheFirmWholeAndKeepsTheReplacedOne) {
    const std::string pristine = Keep(root_ + "/Firm2", "firm2");
    const std::string firm1 = Keep(root_ + "/Firm1", "firm1");
    fs::create_directories(tmp_ / "outer");
    fs_.CopyFolder(pristine, tmp_ / "outer/Firm2", false);
    WriteFile(tmp_ / "outer/Other/x.dat", "beside the firm");
    std::string live;
    for (const bool oneLevelDown : {false, true}) {
        SCOPED_TRACE(oneLevelDown);
        fs::remove(backups_ + "/Firm2.zip");
        PackFolder(oneLevelDown ? tmp_ / "outer" : pristine, backups_ + "/Firm2.zip");
        if (oneLevelDown) {
            fs::remove_all(root_ + "/Firm2");  // no live folder: nothing is set aside
        } else {
            WriteFile(root_ + "/Firm2/Yr2/new.dat", "new");
            fs::remove_all(root_ + "/Firm2/Yr3");
            live = Keep(root_ + "/Firm2", "live");
        }
        WriteFile(Staging(2) + "/stale.txt", "old");
        dialogs_.shown.clear();
        dialogs_.answers = {Answer::Yes};
        EXPECT_EQ(RunRestore(ctx_, FullFirmFrom(backups_)), RestoreEnd::Exit);
        EXPECT_EQ(CompareTrees(pristine, root_ + "/Firm2"), "");
        EXPECT_EQ(CompareTrees(firm1, root_ + "/Firm1"), "");
        EXPECT_EQ(Names(root_),
                  (std::vector<std::string>{"Bkp", "Firm1", "Firm2", "Res", "Root.mdb"}));
        const auto copies = Names(program_ + "/Back/Replaced");
        EXPECT_EQ(Names(program_ + "/Back"), std::vector<std::string>{"Replaced"});
        ASSERT_EQ(copies.size(), 1u);  // the latest only
        const std::string copy = program_ + "/Back/Replaced/" + copies[0];
        EXPECT_EQ(CompareTrees(live, copy), "");
        std::string detail = "Firm 2 was restored from \"" + backups_ + "/Firm2.zip\".";
        if (!oneLevelDown) {
            detail += " The firm as it was before is kept at \"" + copy + "\".";
        }
        EXPECT_EQ(dialogs_.shown, (std::vector<Message>{{kCompleted, "Backup", Buttons::YesNo,
                                                         Icon::None, Answer::Yes, detail}}));
    }
    EXPECT_GT(view_.progressCalls, 0);
}

TEST_F(RestoreTest, FullFirmRefusalsChangeNothingLive) {
    const std::string before = Keep(root_, "root");
    // No archive in the folder (a current-year archive does not count).
    fs::copy_file(Backup(2, "Firm2.zip"), backups_ + "/Firm2Yr2.zip");
    fs::remove(backups_ + "/Firm2.zip");
    EXPECT_THROW(FullFirm(ctx_, FullFirmFrom(backups_)), ProgramEnd);
    // An archive without the firm database at either level.
    const std::string noDatabase = tmp_ / "nodb";
    fs::create_directories(noDatabase + "/Firm2");
    fs_.CopyFolder(root_ + "/Firm2/Yr1", noDatabase + "/Firm2/Yr1", false);
    WriteFile(noDatabase + "/Firm2.mdb.bak", "not it");
    PackFolder(noDatabase, backups_ + "/Firm2.zip");
    EXPECT_THROW(FullFirm(ctx_, FullFirmFrom(backups_)), ProgramEnd);
    EXPECT_FALSE(fs::exists(Staging(2)));
    // A hostile archive: nothing lands outside the staging folder, nothing stays staged.
    fs::remove(backups_ + "/Firm2.zip");
    HostileArchive(backups_ + "/Firm2.zip");
    EXPECT_THROW(FullFirm(ctx_, FullFirmFrom(backups_)), ProgramEnd);
    ASSERT_EQ(dialogs_.shown.size(), 3u);
    EXPECT_EQ(dialogs_.shown[0],
              (Message{"Backup File Not Found For Firm No. 2", "Restore", Buttons::Ok, Icon::None,
                       Answer::Ok,
                       "There is no file Firm2.zip in the folder \"" + backups_ +
                           "\"; choose the folder that holds the firm's backup."}));
    EXPECT_EQ(dialogs_.shown[1], Invalid(NoStagedFirmDetail(2)));
    EXPECT_EQ(dialogs_.shown[2].text, kInvalid);
    EXPECT_NE(dialogs_.shown[2].detail, "");
    EXPECT_FALSE(fs::exists(program_ + "/evil"));
    EXPECT_EQ(Names(program_ + "/Back"), std::vector<std::string>{".Firm2.lock"});
    fs::remove_all(program_ + "/Back");
    EXPECT_EQ(CompareTrees(before, root_), "");
}

TEST_F(RestoreTest, FailedMovePutsTheLiveFirmBack) {
    Backup(2, "Firm2.zip");
    WriteFile(root_ + "/Firm2/Yr2/since.dat", "entered after the backup");
    const std::string live = Keep(root_ + "/Firm2", "live");
    HookedFileSystem failing;
    failing.before = [&](const std::string& op, const std::string& from, const std::string&) {
        if (op == "MoveFolder" && from == Staging(2)) {
            throw FileSystemError("MoveFolder: refused by the test");
        }
    };
    RestoreContext ctx{values_, failing, dialogs_, years_, view_, state_, TheSystemClock()};
    EXPECT_THROW(RunRestore(ctx, FullFirmFrom(backups_)), FileSystemError);
    EXPECT_EQ(CompareTrees(live, root_ + "/Firm2"), "");
    EXPECT_EQ(Names(root_), (std::vector<std::string>{"Bkp", "Firm1", "Firm2", "Res", "Root.mdb"}));
    EXPECT_EQ(Names(program_ + "/Back"), std::vector<std::string>{"Replaced"});
    EXPECT_EQ(Names(program_ + "/Back/Replaced"), std::vector<std::string>{});
}

// A run of the firm elsewhere: refused with the lock's sentence, nothing changed or staged.
TEST_F(RestoreTest, SecondRunOfTheFirmIsRefused) {
    Backup(2, "Firm2.zip");
    const std::string before = Keep(root_, "root");
    RunLock other = LockFirm(values_, 2, TheSystemClock());
    const std::string refusal =
        ErrorText<RunLocked>([&] { LockFirm(values_, 2, TheSystemClock()); });
    EXPECT_THROW(RunRestore(ctx_, FullFirmFrom(backups_)), RunRefused);
    EXPECT_EQ(dialogs_.shown,
              (std::vector<Message>{{refusal, "Restore", Buttons::Ok, Icon::Exclamation}}));
    EXPECT_EQ(Names(program_ + "/Back"), std::vector<std::string>{".Firm2.lock"});
    other.Release();
    fs::remove_all(program_ + "/Back");
    fs::remove(program_ + "/settings.ini");
    fs::remove(program_ + "/history.tsv");  // the refused run is recorded
    EXPECT_EQ(CompareTrees(before, root_), "");
}

}  // namespace
}  // namespace vornback
