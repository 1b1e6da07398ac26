// The restore window driven through its controls on the offscreen platform: how it opens
// from the settings, the labels and the select button of each restore type, the folder
// choice, the keyboard, the busy state, and whole restores of each type started with
// "&Restore" on a sample data tree.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/data_tree.h"
#include "base/errors.h"
#include "gui/restore_window.h"
#include "gui/year_list_window.h"
#include "platform/file_system.h"
#include "restore/year_list.h"
#include "store/registers.h"
#include "support/temp_dir.h"
#include "support/tree_compare.h"
#include "support/window_test_support.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using test::Click;
using test::Focused;
using test::WaitFor;

// Answers the year lists from a queue and keeps the rows each list was given.
class ScriptedYears : public YearChooser {
  public:
    YearPick ChooseYear(const std::vector<YearListRow>& rows) override {
        lists.push_back(rows);
        if (picks.empty()) {
            ADD_FAILURE() << "unplanned year list";
            return {};
        }
        YearPick pick = picks.front();
        picks.pop_front();
        return pick;
    }
    std::deque<YearPick> picks;
    std::vector<std::vector<YearListRow>> lists;
};

// A file system whose folder moves fail, as a full or failing disk would make them.
class FailingMoves : public LocalFileSystem {
  public:
    void MoveFolder(const std::string& source, const std::string&) override {
        throw FileSystemError("cannot move \"" + source + "\": disk failure");
    }
};

// Copies a tree keeping modification times, for comparisons after a restore.
void CopyKeepingTimes(const std::string& from, const std::string& to) {
    ASSERT_EQ(test::RunCommand("cp -a '" + from + "' '" + to + "'"), 0);
}

class RestoreWindowTest : public test::WindowTest<RestoreWindow> {
  protected:
    RestoreWindowTest() : WindowTest("Rest", "optHardDiskRest1", "txtRestPath") {}

    void SetUp() override {
        values = test::SampleProgram(dir / "data", 2, 3, 0.05, "R");
        backups = dir / "backups";
        fs::create_directory(backups);
    }

    RestoreWindow& Open(const std::string& startLocation = "", VolumeInfo volume = {"/", false},
                        FileSystem* fileSystem = nullptr, YearChooser* chooser = nullptr) {
        window = std::make_unique<RestoreWindow>(values, volume, fileSystem ? *fileSystem : files,
                                                 dialogs, chooser ? *chooser : years);
        Show(startLocation);
        return *window;
    }

    QComboBox* TypeList() { return Control<QComboBox>("CboRestType"); }
    bool Enabled(const char* name) { return Control<QWidget>(name)->isEnabled(); }

    // Shown in its place, whether or not its frame is visible.
    bool Shown(const char* name) { return !Control<QWidget>(name)->isHidden(); }
    // The labels and the select button that are shown, as one text ("name " each).
    std::string ShownLabels() {
        std::string shown;
        for (const char* name : {"LblTxtTrFNo", "LblTargetFNo", "LblTxtTrYr", "LblTargetYNo",
                                 "LblFinYr", "LblPath", "cmdSelectPath"}) {
            shown += Shown(name) ? std::string(name) + " " : "";
        }
        return shown;
    }

    // Picks a restore type in the open list with the keyboard, as a person does.
    void PickType(int index) {
        QComboBox* list = TypeList();
        list->showPopup();
        ASSERT_TRUE(WaitFor([this] { return ListOpen(); }));
        list->view()->setCurrentIndex(list->model()->index(index, 0));
        QTest::keyClick(list->view(), Qt::Key_Return);
        ASSERT_TRUE(WaitFor([this] { return ListClosed(); }));
    }

    // The type list's popup is up and has the keyboard (the platform activates it a moment
    // after it is shown), or it is gone and the window has the keyboard back.
    bool ListOpen() {
        QWidget* popup = TypeList()->view()->window();
        return popup->isVisible() && QGuiApplication::focusWindow() == popup->windowHandle();
    }
    bool ListClosed() {
        return !TypeList()->view()->isVisible() &&
               QGuiApplication::focusWindow() == window->windowHandle();
    }

    // The archive a backup of firm n writes: its firm folder packed whole.
    std::string Backup(const ProgramValues& from, int n) {
        const std::string archive = backups + "/Firm" + std::to_string(n) + ".zip";
        PackFolder(FirmFolder(from, n), archive);
        return archive;
    }

    std::string backups;
    ScriptedYears years;
};

TEST_F(RestoreWindowTest, OpensFromTheRestSectionAndSurvivesValuesNeverWritten) {
    Open("/some/where");
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Restore For Firm No.1"));
    QComboBox* list = TypeList();
    QStringList types;
    for (int i = 0; i < list->count(); ++i) {
        types << list->itemText(i);
    }
    EXPECT_EQ(types.join(QLatin1Char('|')),
              QStringLiteral("Full Firm|Selected Year|Add Firm|Add Year"));
    EXPECT_EQ(list->currentIndex(), 0);
    EXPECT_FALSE(list->view()->isVisible()) << "setting up must not open the list";
    EXPECT_FALSE(Control<QCheckBox>("chkAdvSet")->isChecked());
    EXPECT_FALSE(Control<QWidget>("FrmAdvSet")->isVisible());
    // The "Full Firm" column: the target firm, no select button, the folder frame usable.
    EXPECT_EQ(ShownLabels(), "LblTxtTrFNo LblTargetFNo ");
    EXPECT_EQ(Label("LblTxtTrFNo")->text(), QStringLiteral("Target Firm No."));
    EXPECT_EQ(Label("LblTargetFNo")->text(), QStringLiteral("1"));
    EXPECT_TRUE(Enabled("FrmDirSel"));
    // "Default Directory" with the default folder; the folder given waits hidden.
    EXPECT_TRUE(Option("optHardDiskRest0")->isChecked());
    EXPECT_TRUE(Label("lblHDPath")->isVisible());
    EXPECT_EQ(Label("lblHDPath")->text(), QStringLiteral("/VornBack"));
    EXPECT_FALSE(Edit("txtRestPath")->isVisible());
    EXPECT_FALSE(Button("cmdRestPath")->isVisible());
    EXPECT_EQ(Edit("txtRestPath")->text(), QStringLiteral("/some/where"));
    EXPECT_FALSE(Control<QWidget>("Animation1")->isVisible());
    EXPECT_FALSE(SettingsWritten()) << "opening writes nothing";

    Setting("RestType", "3");
    Setting("AdvSet", "1");
    Open();
    EXPECT_EQ(TypeList()->currentIndex(), 3);
    EXPECT_TRUE(Control<QWidget>("FrmAdvSet")->isVisible());
    EXPECT_TRUE(Button("cmdSelectPath")->isVisible());
    EXPECT_EQ(Button("cmdSelectPath")->text(), QStringLiteral("Select Firm"));
    EXPECT_FALSE(Shown("LblTargetFNo"));
    EXPECT_FALSE(Enabled("FrmDirSel"));

    // Nothing chosen: the labels and the button keep their design state.
    Setting("RestType", "-1");
    Open();
    EXPECT_EQ(TypeList()->currentIndex(), -1);
    EXPECT_TRUE(TypeList()->currentText().isEmpty());
    EXPECT_EQ(ShownLabels(), "");
    EXPECT_EQ(Label("LblTargetFNo")->text(), QStringLiteral("0"));
    EXPECT_EQ(Button("cmdSelectPath")->text(), QStringLiteral("..."));
    EXPECT_TRUE(Enabled("FrmDirSel"));

    // Values the program never writes still open the window: "Full Firm", unticked.
    for (const char* stored : {"7", "-2", "Add Firm"}) {
        Setting("RestType", stored);
        Setting("AdvSet", "2");
        Open();
        EXPECT_EQ(TypeList()->currentIndex(), 0) << stored;
        EXPECT_FALSE(Control<QCheckBox>("chkAdvSet")->isChecked());
        EXPECT_FALSE(Control<QWidget>("FrmAdvSet")->isVisible());
    }
}

// The type picked sets the labels and the select button; "Select Year" opens the real year
// list over the window first.
TEST_F(RestoreWindowTest, LabelsAndSelectButtonFollowEachPickedType) {
    Setting("AdvSet", "1");
    QtYearChooser chooser;
    Open("", {"/", false}, nullptr, &chooser);
    chooser.SetOwner(window.get());
    PickType(1);  // "Selected Year"
    EXPECT_EQ(ShownLabels(), "LblTxtTrFNo LblTargetFNo cmdSelectPath ");
    EXPECT_EQ(Button("cmdSelectPath")->text(), QStringLiteral("Select Year"));
    EXPECT_FALSE(Enabled("FrmDirSel"));

    // The target year from the current firm's list; the file dialog is then cancelled,
    // so the button waits for the archive.
    QStringList listed;
    test::WhenModal([&listed](QWidget* modal) {
        ASSERT_NE(qobject_cast<YearListWindow*>(modal), nullptr);
        auto* grid = test::Find<QTableWidget>(modal, "msgYear");
        for (int r = 0; r < grid->rowCount(); ++r) {
            listed << grid->item(r, 0)->text() + QLatin1Char(' ') + grid->item(r, 1)->text();
        }
        QTest::keyClick(grid, Qt::Key_Down);
        QTest::keyClick(grid, Qt::Key_Return);
    });
    dialogs.files = {""};
    Click(Button("cmdSelectPath"));
    EXPECT_EQ(listed.join(QLatin1Char('|')),
              QStringLiteral("1 01/04/2021|2 01/04/2022|3 01/04/2023"));
    EXPECT_EQ(Button("cmdSelectPath")->text(), QStringLiteral("Select Firm"));
    EXPECT_EQ(ShownLabels(),
              "LblTxtTrFNo LblTargetFNo LblTxtTrYr LblTargetYNo LblFinYr cmdSelectPath ");
    EXPECT_EQ(Label("LblTargetYNo")->text(), QStringLiteral("2"));
    EXPECT_EQ(Label("LblFinYr")->text(), QStringLiteral("From Date 01/04/2022 To 31/03/2023"));
    EXPECT_EQ(window->State().TargetYearNo, "2");
    EXPECT_EQ(window->State().TargetYearTo, "31/03/2023");
    ASSERT_EQ(dialogs.fileRequests.size(), 1u);
    EXPECT_EQ(dialogs.fileRequests[0].title, "Select Backup File");
    EXPECT_EQ(dialogs.fileRequests[0].filter, "Zip Files (Firm*.zip)|Firm*.zip");
    // Pressed again, it asks only for the file (a year list now would hang the test).
    dialogs.files = {""};
    Click(Button("cmdSelectPath"));
    EXPECT_EQ(dialogs.fileRequests.size(), 2u);
    EXPECT_EQ(Button("cmdSelectPath")->text(), QStringLiteral("Select Firm"));
    test::ShowActive(window.get());  // the platform leaves it inactive after the list

    PickType(3);  // "Add Year": the year labels go, the period stays as it was
    EXPECT_EQ(ShownLabels(), "LblFinYr cmdSelectPath ");
    EXPECT_EQ(Button("cmdSelectPath")->text(), QStringLiteral("Select Firm"));

    PickType(1);  // picked again: the button starts over, the period still stands
    EXPECT_EQ(Button("cmdSelectPath")->text(), QStringLiteral("Select Year"));
    EXPECT_EQ(ShownLabels(), "LblTxtTrFNo LblTargetFNo LblFinYr cmdSelectPath ");

    PickType(2);  // "Add Firm"
    EXPECT_EQ(ShownLabels(), "cmdSelectPath ");
    EXPECT_EQ(Button("cmdSelectPath")->text(), QStringLiteral("Select Firm"));
    EXPECT_FALSE(Enabled("FrmDirSel"));

    PickType(0);  // "Full Firm"
    EXPECT_EQ(ShownLabels(), "LblTxtTrFNo LblTargetFNo ");
    EXPECT_TRUE(Enabled("FrmDirSel"));
    EXPECT_EQ(Stored("RestType"), "") << "picking a type writes nothing";
}

TEST_F(RestoreWindowTest, FolderPickerReplacesThePathOnlyWhenAFolderIsChosen) {
    Open(backups);
    Click(Option("optHardDiskRest1"));
    EXPECT_TRUE(Button("cmdRestPath")->isVisible());
    EXPECT_FALSE(Label("lblHDPath")->isVisible());
    dialogs.folders = {"/chosen/folder", ""};
    Click(Button("cmdRestPath"));
    Click(Button("cmdRestPath"));
    ASSERT_EQ(dialogs.folderRequests.size(), 2u);
    EXPECT_EQ(dialogs.folderRequests[0].initialFolder, backups);
    EXPECT_EQ(dialogs.folderRequests[0].title, "Please Select Folder, Where From Restore Backup");
    EXPECT_EQ(dialogs.folderRequests[1].initialFolder, "/chosen/folder");
    EXPECT_EQ(Edit("txtRestPath")->text(), QStringLiteral("/chosen/folder"));
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(RestoreWindowTest, EnterMovesTheFocusAndArrivingAtTheTypeListOpensIt) {
    Setting("AdvSet", "1");
    Open(backups);
    QComboBox* list = TypeList();
    Option("optHardDiskRest0")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(Focused(), "chkAdvSet");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(Focused(), "CboRestType");
    ASSERT_TRUE(WaitFor([this] { return ListOpen(); }));

    // Esc closes only the open list.
    QTest::keyClick(list->view(), Qt::Key_Escape);
    ASSERT_TRUE(WaitFor([this] { return ListClosed(); }));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(Focused(), "CboRestType");
    QTest::qWait(20);
    EXPECT_FALSE(list->view()->isVisible()) << "the focus coming back must not reopen it";

    // Enter in the open list picks the entry and moves on to the button it shows.
    list->showPopup();
    ASSERT_TRUE(WaitFor([this] { return ListOpen(); }));
    QTest::keyClick(list->view(), Qt::Key_Down);
    QTest::keyClick(list->view(), Qt::Key_Down);
    QTest::keyClick(list->view(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(WaitFor([this] { return Focused() == "cmdSelectPath"; })) << Focused();
    EXPECT_EQ(list->currentIndex(), 2);
    EXPECT_EQ(Button("cmdSelectPath")->text(), QStringLiteral("Select Firm"));

    // Buttons are passed over, not pressed; the disabled folder frame is skipped.
    for (const char* next : {"cmdOk", "cmdClose", "chkAdvSet"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        EXPECT_EQ(Focused(), next);
    }
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(dialogs.shown.empty()) << "Enter on \"&Restore\" must not start a run";
    EXPECT_TRUE(dialogs.fileRequests.empty());
    EXPECT_EQ(Stored("RestType"), "");

    // Enter on the closed list moves on too; a click into it opens it only by the click.
    list->setFocus(Qt::MouseFocusReason);
    QTest::qWait(20);
    EXPECT_FALSE(list->view()->isVisible());
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_EQ(Focused(), "cmdSelectPath");
}

TEST_F(RestoreWindowTest, EscAndCloseEndTheProgramWithoutWritingSettingsButNotWhileBusy) {
    Open();
    QWidget* box = Control<QCheckBox>("chkAdvSet");
    window->BusyOn();
    EXPECT_FALSE(Button("cmdOk")->isVisible());
    EXPECT_FALSE(Button("cmdClose")->isVisible());
    EXPECT_TRUE(Control<QWidget>("Animation1")->isVisible());
    window->close();
    QTest::keyClick(box, Qt::Key_Escape);
    EXPECT_TRUE(window->isVisible());
    window->BusyOff();
    EXPECT_TRUE(Button("cmdClose")->isVisible());
    EXPECT_FALSE(Control<QWidget>("Animation1")->isVisible());
    QTest::keyClick(box, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 0);

    window = std::make_unique<RestoreWindow>(values, VolumeInfo{"/", false}, files, dialogs, years);
    QTimer::singleShot(0, window.get(), [this] { Click(Button("cmdClose")); });
    EXPECT_EQ(window->ShowForm(backups), 0);
    EXPECT_FALSE(SettingsWritten());
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(RestoreWindowTest, RunWritesTheChoicesFirstAndFullFirmBringsBackEveryFileWithItsTime) {
    const std::string firm = FirmFolder(values, 1);
    CopyKeepingTimes(firm, dir / "firm1-backed-up");
    Backup(values, 1);
    // Work done after the backup: a changed, a deleted and a new file.
    test::WriteFile(firm + "/Yr2/Vch2.dat", "changed");
    fs::remove(firm + "/Yr1/Vch1.dat");
    test::WriteFile(firm + "/Yr3/new.txt", "new");
    CopyKeepingTimes(firm, dir / "firm1-before");

    // No type chosen: the choices are written first, nothing is restored, the run asks.
    Setting("RestType", "-1");
    Setting("AdvSet", "1");
    Open();
    ChooseOthers(backups);
    dialogs.answers = {Answer::No};
    Click(Button("cmdOk"));
    EXPECT_EQ(Stored("LPath"), backups);
    EXPECT_EQ(Stored("RestType"), "-1");
    EXPECT_EQ(Stored("AdvSet"), "1");
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Restore Competed. Do You Want To Exit?");
    EXPECT_EQ(dialogs.shown[0].title, "Backup");
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(Button("cmdOk")->isVisible());

    // "Others" with only blanks: refused, the browse button keeps the focus after the busy
    // state, nothing is restored, and the run still asks.
    PickType(0);
    ChooseOthers("   ");
    dialogs.answers = {Answer::No};
    Click(Button("cmdOk"));
    ASSERT_EQ(dialogs.shown.size(), 3u);
    EXPECT_EQ(dialogs.shown[1].text, "Please Select Restore Path");
    EXPECT_EQ(dialogs.shown[1].title, "vornback");
    EXPECT_EQ(dialogs.shown[2].text, "Restore Competed. Do You Want To Exit?");
    EXPECT_EQ(Stored("RestType"), "0");
    EXPECT_EQ(Focused(), "cmdRestPath");
    EXPECT_EQ(test::CompareTrees(dir / "firm1-before", firm), "");

    // "Full Firm" from the folder brings the firm back as backed up, times and all, without
    // a word before the question; Yes ends the program normally.
    ChooseOthers(backups);
    dialogs.answers = {Answer::Yes};
    Click(Button("cmdOk"));
    EXPECT_EQ(test::CompareTrees(dir / "firm1-backed-up", firm), "");
    EXPECT_FALSE(fs::exists(StagingFirmFolder(values, 1)));
    ASSERT_EQ(dialogs.shown.size(), 4u) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_EQ(dialogs.shown[3].text, "Restore Competed. Do You Want To Exit?");
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 0);
}

TEST_F(RestoreWindowTest, SelectedYearOverwritesTheTargetYearFromTheArchive) {
    const std::string year = FirmFolder(values, 1) + "/Yr2";
    CopyKeepingTimes(year, dir / "yr2-backed-up");
    const std::string archive = Backup(values, 1);
    test::WriteFile(year + "/Vch2.dat", "changed after the backup");

    Setting("RestType", "1");
    Setting("AdvSet", "1");
    Open();
    years.picks = {{PickKey::Esc, 1}, {PickKey::Enter, 1}};  // target year 2, then source 2
    dialogs.files = {archive};
    Click(Button("cmdSelectPath"));
    ASSERT_EQ(years.lists.size(), 2u) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_EQ(years.lists[1].size(), 3u);
    EXPECT_FALSE(Shown("cmdSelectPath"));
    EXPECT_EQ(Label("LblTxtTrFNo")->text(), QStringLiteral("Source Firm No."));
    EXPECT_EQ(Label("LblTargetFNo")->text(), QStringLiteral("1"));
    EXPECT_EQ(Label("LblTargetYNo")->text(), QStringLiteral("2"));
    EXPECT_EQ(Label("LblFinYr")->text(), QStringLiteral("From Date 01/04/2022 To 31/03/2023"));
    EXPECT_FALSE(Button("cmdOk")->isHidden()) << "the unpack's busy state has ended";

    dialogs.answers = {Answer::Yes, Answer::No};  // overwrite; stay
    Click(Button("cmdOk"));
    const std::vector<std::string> texts = dialogs.Texts();
    ASSERT_EQ(texts.size(), 2u) << ::testing::PrintToString(texts);
    EXPECT_EQ(texts[0], "Old data will be Overwrite Are You Sure");
    EXPECT_EQ(test::CompareTrees(dir / "yr2-backed-up", year), "");
    EXPECT_FALSE(fs::exists(StagingFirmFolder(values, 1)));
    EXPECT_TRUE(window->isVisible());
}

TEST_F(RestoreWindowTest, AddFirmRegistersTheArchiveAsANewFirm) {
    const std::string archive = Backup(values, 2);
    Setting("RestType", "2");
    Setting("AdvSet", "1");
    Open();
    dialogs.files = {archive};
    Click(Button("cmdSelectPath"));
    EXPECT_FALSE(Shown("cmdSelectPath"));
    EXPECT_TRUE(Shown("LblPath"));
    EXPECT_EQ(Label("LblPath")->text().toStdString(), archive);

    dialogs.answers = {Answer::No};
    Click(Button("cmdOk"));
    ASSERT_EQ(dialogs.Texts(),
              (std::vector<std::string>{"Firm Added New Firm No Is 3",
                                        "Restore Competed. Do You Want To Exit?"}));
    EXPECT_TRUE(fs::exists(FirmFolder(values, 3) + "/Firm3.mdb"));
    EXPECT_EQ(test::CompareTrees(FirmFolder(values, 2) + "/Yr1", FirmFolder(values, 3) + "/Yr1"),
              "");
    Database root = OpenRootConnection(values);
    std::vector<int> numbers;
    for (const FirmRow& row : AllFirmRows(root)) {
        numbers.push_back(row.Col99);
    }
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 1001}));
    EXPECT_FALSE(fs::exists(StagingFirmFolder(values, 2)));
    EXPECT_FALSE(fs::exists(StagingFirmFolder(values, 3)));
}

TEST_F(RestoreWindowTest, AddYearBringsAYearOfTheArchiveInAsTheNextYear) {
    // Another firm 1 whose years lie later than every year of this one.
    const ProgramValues other = test::SampleProgram(dir / "other", 1, 2, 0.05, "R", 2030);
    const std::string archive = Backup(other, 1);

    Setting("RestType", "3");
    Setting("AdvSet", "1");
    Open();
    years.picks = {{PickKey::Enter, 1}};
    dialogs.files = {archive};
    Click(Button("cmdSelectPath"));
    ASSERT_EQ(years.lists.size(), 1u) << ::testing::PrintToString(dialogs.Texts());
    ASSERT_EQ(years.lists[0].size(), 2u);
    EXPECT_EQ(years.lists[0][1].from, "01/04/2031");
    EXPECT_FALSE(Shown("cmdSelectPath"));
    EXPECT_EQ(Label("LblTxtTrFNo")->text(), QStringLiteral("Source Firm No."));
    EXPECT_TRUE(Shown("LblTargetFNo"));
    EXPECT_EQ(Label("LblFinYr")->text(), QStringLiteral("From Date 01/04/2031 To 31/03/2032"));

    dialogs.answers = {Answer::Yes};
    Click(Button("cmdOk"));
    ASSERT_EQ(dialogs.Texts(),
              (std::vector<std::string>{"Year Added New Year No Is 4",
                                        "Restore Competed. Do You Want To Exit?"}));
    EXPECT_EQ(test::ReadFile(FirmFolder(values, 1) + "/Yr4/DVorn4.mdb"),
              test::ReadFile(FirmFolder(other, 1) + "/Yr2/DVorn2.mdb"));
    Database firm = OpenFirmConnection(values);
    const std::vector<YearRow> rows = YearsInOrder(firm);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[3].Col99, 4);
    EXPECT_EQ(DisplayDate(rows[3].Col98), "01/04/2031");
    EXPECT_EQ(DisplayDate(rows[3].Col97), "31/03/2032");
    EXPECT_FALSE(window->isVisible());
}

TEST_F(RestoreWindowTest, RefusalsAndFailuresEndTheProgram) {
    // A damaged archive is refused with its message; the program ends with nothing staged.
    test::WriteFile(backups + "/Firm1.zip", "not a zip archive");
    Setting("RestType", "3");
    Setting("AdvSet", "1");
    Open();
    dialogs.files = {backups + "/Firm1.zip"};
    Click(Button("cmdSelectPath"));
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Invalid Backup File"});
    EXPECT_FALSE(window->isVisible());
    EXPECT_NE(window->ExitCode(), 0);
    EXPECT_FALSE(window->Busy());
    EXPECT_FALSE(fs::exists(StagingFirmFolder(values, 1)));
    EXPECT_TRUE(years.lists.empty());

    // A failure the system does not handle is shown in a critical box; the firm stays whole.
    dialogs.shown.clear();
    Setting("RestType", "0");
    fs::remove(backups + "/Firm1.zip");
    Backup(values, 1);
    CopyKeepingTimes(FirmFolder(values, 1), dir / "firm1-before");
    FailingMoves failing;
    Open("", {"/", false}, &failing);
    ChooseOthers(backups);
    Click(Button("cmdOk"));
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].icon, Icon::Critical);
    EXPECT_EQ(dialogs.shown[0].title, "vornback");
    EXPECT_NE(dialogs.shown[0].text.find("disk failure"), std::string::npos);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 1);
    EXPECT_FALSE(window->Busy());
    EXPECT_EQ(test::CompareTrees(dir / "firm1-before", FirmFolder(values, 1)), "");
}

}  // namespace
}  // namespace vornback
