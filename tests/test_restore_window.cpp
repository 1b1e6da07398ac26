// The restore window through its controls, and one whole "Selected Year" restore with the
// note that names what it will overwrite.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QInputDialog>
#include <QTimer>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "gui/restore_window.h"
#include "history/history.h"
#include "platform/run_lock.h"
#include "recovery/recovery.h"
#include "restore/year_list.h"
#include "startup/settings.h"
#include "support/cli_tool.h"
#include "support/refusal.h"
#include "support/run_doubles.h"
#include "support/test_data.h"
#include "support/tree_compare.h"
#include "support/window_test_support.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using namespace test;

class RestoreWindowTest : public test::WindowTest<RestoreWindow, RestoreWindowSettings> {
  protected:
    RestoreWindowTest() : WindowTest("Rest", "optHardDiskRest1", "txtRestPath") {}
    void SetUp() override {
        values = test::SampleProgram(dir / "data", 2, 3, 0.05, "R");
        backups = dir / "backups";
        fs::create_directory(backups);
    }
    void Open(const RestoreWindowSettings& stored, const std::string& start = "") {
        window =
            std::make_unique<RestoreWindow>(values, backups + "/VornBack", files, dialogs, years);
        Show(start, stored);
    }
    QComboBox* TypeList() { return Control<QComboBox>("CboRestType"); }
    // The labels shown, the select button's caption, "dir#" for a disabled folder frame.
    std::string ShownLabels() {
        std::string shown;
        for (const char* name :
             {"LblTxtTrFNo", "LblTargetFNo", "LblTxtTrYr", "LblTargetYNo", "LblFinYr", "LblPath"}) {
            shown += Control<QWidget>(name)->isHidden() ? "" : std::string(name) + " ";
        }
        QPushButton* select = Button("cmdSelectPath");
        shown += select->isHidden() ? "" : "[" + select->text().toStdString() + "] ";
        return shown + (Control<QWidget>("FrmDirSel")->isEnabled() ? "dir" : "dir#");
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
    bool ListOpen() {
        QWidget* popup = TypeList()->view()->window();
        return popup->isVisible() && QGuiApplication::focusWindow() == popup->windowHandle();
    }
    bool ListClosed() {
        return !TypeList()->view()->isVisible() &&
               QGuiApplication::focusWindow() == window->windowHandle();
    }
    std::vector<std::string> Staged() { return test::Names(StagingRoot(values)); }
    std::string backups;
    test::ScriptedYears years;
};

TEST_F(RestoreWindowTest, OpensFromTheStoredChoices) {
    struct Case {
        RestoreWindowSettings stored;
        int index;
        bool advanced;
        const char* labels;
    };
    const std::vector<Case> cases = {
        {{0, 0}, 0, false, "LblTxtTrFNo LblTargetFNo dir"},
        {{3, 1}, 3, true, "[Select Firm] dir#"},
        {{-1, 1}, -1, true, "dir"},                           // nothing chosen: the design state
        {{7, 2}, 0, false, "LblTxtTrFNo LblTargetFNo dir"}};  // never written: "Full Firm"
    for (const Case& c : cases) {
        Open(c.stored, "/some/where");
        EXPECT_EQ(TypeList()->currentIndex(), c.index);
        EXPECT_EQ(Visible("FrmAdvSet"), c.advanced);
        EXPECT_EQ(ShownLabels(), c.labels);
        EXPECT_FALSE(TypeList()->view()->isVisible()) << "setting up must not open the list";
    }
    EXPECT_EQ(TypeList()->count(), 4);
    EXPECT_EQ(TypeList()->itemText(1) + TypeList()->itemText(3),
              QStringLiteral("Selected YearAdd Year"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Restore For Firm No.1"));
    EXPECT_EQ(Label("LblTargetFNo")->text(), QStringLiteral("1"));
    EXPECT_EQ(Label("lblHDPath")->toolTip().toStdString(), backups + "/VornBack");
    EXPECT_EQ(Edit("txtRestPath")->text(), QStringLiteral("/some/where"));
    EXPECT_FALSE(SettingsWritten()) << "opening writes nothing";
}

TEST_F(RestoreWindowTest, LabelsFollowThePickedTypeAndTheFileDialogStartsInTheShownFolder) {
    Open({2, 1});
    dialogs.files = {"", ""};
    Click(Button("cmdSelectPath"));  // "Add Firm": the dialog starts in the default folder
    Open({0, 1});
    ChooseOthers(values.AppFolder);
    PickType(2);
    Click(Button("cmdSelectPath"));  // "Others": in the typed folder
    ASSERT_EQ(dialogs.fileRequests.size(), 2u);
    EXPECT_EQ(dialogs.fileRequests[0].initialFile, backups);  // the nearest existing folder
    EXPECT_EQ(dialogs.fileRequests[1].initialFile, values.AppFolder);
    PickType(1);  // picked again, a type starts its button over
    EXPECT_EQ(ShownLabels(), "LblTxtTrFNo LblTargetFNo [Select Year] dir#");
    EXPECT_EQ(Stored("RestType"), "") << "picking a type writes nothing";
}

TEST_F(RestoreWindowTest, EnterMovesTheFocusArrivingAtTheTypeListOpensItAndButtonsPress) {
    Open({0, 1}, backups);
    QComboBox* list = TypeList();
    Option("optHardDiskRest0")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(Focused(), "chkAdvSet");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(Focused(), "CboRestType");
    ASSERT_TRUE(WaitFor([this] { return ListOpen(); }));
    QTest::keyClick(list->view(), Qt::Key_Escape);  // closes only the list
    ASSERT_TRUE(WaitFor([this] { return ListClosed(); }));
    QTest::qWait(20);
    EXPECT_FALSE(list->view()->isVisible()) << "the focus coming back must not reopen it";
    // Enter in the open list picks the entry and moves on to the button it shows.
    list->showPopup();
    ASSERT_TRUE(WaitFor([this] { return ListOpen(); }));
    QTest::keyClick(list->view(), Qt::Key_Down);
    QTest::keyClick(list->view(), Qt::Key_Down);
    QTest::keyClick(list->view(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(WaitFor([] { return Focused() == "cmdSelectPath"; })) << Focused();
    EXPECT_EQ(list->currentIndex(), 2);
    // Enter on the focused button presses it: the file dialog (cancelled).
    dialogs.files = {""};
    QTest::keyClick(Button("cmdSelectPath"), Qt::Key_Return);
    EXPECT_EQ(dialogs.fileRequests.size(), 1u);
    EXPECT_EQ(Focused(), "cmdSelectPath");
    // The modal window ends with "&Close" (ShowForm's status).
    window = std::make_unique<RestoreWindow>(values, backups + "/VornBack", files, dialogs, years);
    QTimer::singleShot(0, window.get(), [this] { Click(Button("cmdClose")); });
    EXPECT_EQ(window->ShowForm(backups, {}), 0);
}

TEST_F(RestoreWindowTest, SelectedYearShowsWhatItWillOverwriteUntilRestoreIsPressed) {
    const std::string archive = backups + "/Firm1.zip";
    PackFolder(FirmFolder(values, 1), archive);
    Open({1, 1});
    years.picks = {{PickKey::Esc, 1}};  // the target year 2; then the file dialog cancelled
    dialogs.files = {""};
    Click(Button("cmdSelectPath"));
    const std::string target = "Year 2 of firm 1 (01/04/2022 to 31/03/2023) will be overwritten";
    EXPECT_EQ(window->Note(), target + ".");
    years.picks = {{PickKey::Enter, 0}};  // the source year 1 of the archive
    dialogs.files = {archive};
    Click(Button("cmdSelectPath"));
    EXPECT_EQ(ShownLabels(), "LblTxtTrFNo LblTargetFNo LblTxtTrYr LblTargetYNo LblFinYr dir#");
    EXPECT_EQ(Label("LblTxtTrFNo")->text(), QStringLiteral("Source Firm No."));
    EXPECT_EQ(Label("LblFinYr")->text(), QStringLiteral("From Date 01/04/2021 To 31/03/2022"));
    EXPECT_EQ(window->Note(), target + " from the archive " + archive + ".");

    // "Others" with blanks is refused; the browse button keeps the focus.
    PickType(0);
    ChooseOthers("   ");
    dialogs.answers = {Answer::No};
    Click(Button("cmdOk"));
    EXPECT_EQ(Focused(), "cmdRestPath");
    EXPECT_EQ(window->Note(), "") << "the note goes once the run starts";
    EXPECT_EQ(dialogs.Texts(),
              (std::vector<std::string>{"Please Select Restore Path",
                                        "Restore Competed. Do You Want To Exit?"}));
    EXPECT_EQ(Stored("LPath") + "|" + Stored("RestType") + "|" + Stored("AdvSet"), "|0|1");
    // A whole restore from the folder; the focus comes back to "&Restore".
    ChooseOthers(backups);
    dialogs.answers = {Answer::No};
    Button("cmdOk")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(Button("cmdOk"), Qt::Key_Return);
    EXPECT_EQ(dialogs.Texts().back(), "Restore Competed. Do You Want To Exit?");
    EXPECT_EQ(dialogs.shown.size(), 3u) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_EQ(Focused(), "cmdOk");
    EXPECT_FALSE(fs::exists(StagingFirmFolder(values, 1)));
}

// "Restore drill" beside the folder: the firm's archive in the shown folder is proven (or
// not) in a scratch folder, the answer is a message, and the history has its drill line.
TEST_F(RestoreWindowTest, RestoreDrillButtonProvesTheFoldersArchive) {
    const std::string folder = backups + "/VornBack";
    const std::string archive = folder + "/Firm1.zip";
    struct Case {
        const char* name;
        std::function<void()> prepare;
        std::string text;
        Icon icon;
    } cases[] = {
        {"no archive", [] {}, "There is no backup Firm1.zip in " + folder + " to drill.",
         Icon::Exclamation},
        {"healthy archive",
         [&] {
             fs::create_directories(folder);
             PackFolder(values.AppFolder + "/Firm1", archive);
         },
         "The backup " + archive + " is proven restorable.", Icon::Information},
        {"truncated archive", [&] { fs::resize_file(archive, fs::file_size(archive) / 2); },
         "The backup " + archive + " failed the restore drill.", Icon::Critical},
    };
    Open({0, 0});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        Click(Button("cmdDrill"));
        ASSERT_FALSE(dialogs.shown.empty());
        EXPECT_EQ(dialogs.shown.back().text, c.text);
        EXPECT_EQ(dialogs.shown.back().icon, c.icon);
    }
    std::string results;
    for (const HistoryRecord& r : ReadHistory(HistoryFile(values))) {
        results += r.kind + " " + ResultWord(r.result) + ", ";
    }
    EXPECT_EQ(results, "drill ok, drill failed, ");
}

// Waiting with an unpacked archive, the window holds that staging folder alone: a run of
// the archive's firm that leaves the folder alone goes on, one that needs it is refused
// with the holder named, recovery leaves it; closing the window removes it.
TEST_F(RestoreWindowTest, AnIdleWindowHoldsOnlyTheStagingFolderItUnpackedAndClosingRemovesIt) {
    const std::string archive = backups + "/Firm2.zip";
    PackFolder(FirmFolder(values, 2), archive);
    Open({1, 1});
    years.picks = {{PickKey::Esc, 1}, {PickKey::Enter, 0}};
    dialogs.files = {archive};
    Click(Button("cmdSelectPath"));
    const std::string staging = StagingFirmFolder(values, 2);
    ASSERT_TRUE(fs::exists(staging));
    const std::string cli =
        "backup 2,1 --program-folder '" + values.ProgramFolder + "' --to '" + backups + "'";
    test::RunCli(cli, 0);
    EXPECT_TRUE(test::Mentions(
        test::RunCli(cli + " --current-year", 1),
        "the restore window of firm 1, process " + std::to_string(::getpid()) +
            ", holds an unpacked archive of firm 2; close it or finish that restore"));
    EXPECT_EQ(RecoverAtStartup(values, files), std::vector<std::string>{});
    EXPECT_TRUE(fs::exists(staging + "/Yr1"));
    Click(Button("cmdClose"));
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 0);
    EXPECT_EQ(Staged(), std::vector<std::string>{});
    EXPECT_EQ(RecoverAtStartup(values, files), std::vector<std::string>{});
}

// An encrypted archive: the window asks for its passphrase (typed hidden) before it
// unpacks; a wrong one is told plainly and nothing is unpacked.
TEST_F(RestoreWindowTest, AnEncryptedArchiveIsUnpackedWithThePassphraseAskedFor) {
    const std::string plain = dir / "Firm2-plain.zip";
    const std::string archive = backups + "/Firm2.zip";
    PackFolder(FirmFolder(values, 2), plain);
    EncryptArchiveCopy(plain, archive, "correct horse battery staple");
    Open({1, 1});
    const std::string staging = StagingFirmFolder(values, 2);
    struct Case {
        const char* typed;
        bool unpacked;
    };
    for (const Case c : {Case{"correct horse battery stable", false},
                         Case{"correct horse battery staple", true}}) {
        SCOPED_TRACE(c.typed);
        bool asked = false;
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] {
            auto* ask = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            if (ask != nullptr) {
                asked = true;
                EXPECT_EQ(ask->textEchoMode(), QLineEdit::Password);
                ask->setTextValue(QString::fromUtf8(c.typed));
                ask->accept();
            }
        });
        answer.start(20);
        years.picks = {{PickKey::Esc, 1}, {PickKey::Enter, 0}};
        dialogs.files = {archive};
        try {
            Click(Button("cmdSelectPath"));
        } catch (const ProgramEnd&) {
        }
        answer.stop();
        EXPECT_TRUE(asked);
        EXPECT_EQ(fs::exists(staging + "/Yr1"), c.unpacked);
        if (!c.unpacked) {
            ASSERT_FALSE(dialogs.shown.empty());
            EXPECT_EQ(dialogs.Texts().back(), "wrong passphrase");
            EXPECT_FALSE(fs::exists(staging));
            dialogs.shown.clear();
            if (!window->isVisible()) {
                Open({1, 1});
            }
        }
    }
}

// A run is recorded and its lock released before the closing question; a run refused for a
// busy firm leaves the window open; a No to overwriting a year counts as cancelled.
TEST_F(RestoreWindowTest, RunsAreRecordedBeforeTheirQuestionAndARefusalKeepsTheWindowOpen) {
    const std::string archive = backups + "/Firm1.zip";
    PackFolder(FirmFolder(values, 1), archive);
    Open({0, 1});
    ChooseOthers(backups);
    std::vector<std::string> atQuestion;
    dialogs.onShow = [&](const Message& m) {
        if (m.text == "Restore Competed. Do You Want To Exit?") {
            const bool free =
                RunLock::TryTake(FirmLockFile(values, 1), TheSystemClock()).has_value();
            atQuestion.push_back(test::LastRun(values) + (free ? " free" : " locked"));
        }
    };
    std::optional<RunLock> other(LockFirm(values, 1, TheSystemClock()));
    Click(Button("cmdOk"));
    EXPECT_TRUE(window->isVisible());
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_TRUE(test::Mentions(dialogs.shown[0].text, "is already running"));
    EXPECT_EQ(test::LastRun(values), "restore-full refused");
    other.reset();
    dialogs.answers = {Answer::No};
    Click(Button("cmdOk"));
    EXPECT_EQ(atQuestion, std::vector<std::string>{"restore-full ok free"});

    PickType(1);
    years.picks = {{PickKey::Esc, 1}, {PickKey::Enter, 1}};
    dialogs.files = {archive};
    Click(Button("cmdSelectPath"));
    dialogs.answers = {Answer::No};
    Click(Button("cmdOk"));
    EXPECT_EQ(dialogs.Texts().back(), "Old data will be Overwrite Are You Sure");
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(test::LastRun(values), "restore-year cancelled");
    EXPECT_EQ(Staged(), std::vector<std::string>{"Replaced"});
}

// "Cancel" while "Full Firm" unpacks leaves the live firm as it was and no staging behind; a
// type that has nothing to unpack in its run cannot be cancelled once it started.
TEST_F(RestoreWindowTest, CancelWhileUnpackingLeavesTheLiveFirmUntouched) {
    const std::string archive = backups + "/Firm1.zip";
    PackFolder(FirmFolder(values, 1), archive);
    test::WriteFile(FirmFolder(values, 1) + "/New.txt", "not in the archive");
    const std::string kept = dir / "kept";
    fs::copy(FirmFolder(values, 1), kept, fs::copy_options::recursive);
    Open({0, 1});
    ChooseOthers(backups);
    QTimer::singleShot(0, [this] { Click(Button("cmdCancel")); });
    Click(Button("cmdOk"));
    EXPECT_EQ(test::CompareTrees(kept, FirmFolder(values, 1), {false}), "");
    EXPECT_EQ(Staged(), std::vector<std::string>{});
    EXPECT_EQ(test::LastRun(values), "restore-full cancelled");
    EXPECT_TRUE(window->isVisible());

    PickType(1);
    years.picks = {{PickKey::Esc, 1}, {PickKey::Enter, 1}};
    dialogs.files = {archive};
    Click(Button("cmdSelectPath"));
    std::string cancelAtQuestion;
    dialogs.onShow = [&](const Message& m) {
        if (m.text == "Old data will be Overwrite Are You Sure") {
            QPushButton* cancel = Button("cmdCancel");
            cancelAtQuestion = (cancel->isVisible() ? "shown " : "hidden ") +
                               std::string(cancel->isEnabled() ? "enabled " : "disabled ") +
                               cancel->toolTip().toStdString();
        }
    };
    dialogs.answers = {Answer::Yes, Answer::No};
    Click(Button("cmdOk"));
    EXPECT_EQ(cancelAtQuestion,
              "shown disabled Too late to cancel: the run is putting its work in place and "
              "finishes first.");
    EXPECT_EQ(test::LastRun(values), "restore-year ok");
}

// "Full Firm" moves the replaced firm into Back/Replaced and keeps the newest three copies
// (a settings key changes the number), naming each in the closing detail; the image folder
// that the archive left out comes along as hard links, not as a second copy. All the runs
// fall into one second: each copy's stamp still sorts newer than the one before.
TEST_F(RestoreWindowTest, FullFirmKeepsTheNewestReplacedCopiesAndNamesThem) {
    PackOptions withoutImages;
    withoutImages.excludePatterns = {"AttachDocs\\*.*"};
    PackFolder(FirmFolder(values, 1), backups + "/Firm1.zip", withoutImages);
    Open({0, 1});
    test::FixedClock oneSecond;
    window->UseClock(oneSecond);
    ChooseOthers(backups);
    const std::string replaced = StagingRoot(values) + "/Replaced";
    const auto copies = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(replaced)) {
            names.push_back(e.path().string());
        }
        std::sort(names.rbegin(), names.rend());
        return names;
    };
    std::vector<std::string> made;  // each run's newest copy
    for (int run = 0; run < 4; ++run) {
        const std::vector<std::string> before = fs::exists(replaced) ? copies() : made;
        dialogs.answers = {Answer::No};
        Click(Button("cmdOk"));
        for (const std::string& c : copies()) {
            if (std::find(before.begin(), before.end(), c) == before.end()) {
                made.push_back(c);
            }
        }
    }
    ASSERT_EQ(made.size(), 4u);
    EXPECT_EQ(copies().size(), 3u);
    EXPECT_FALSE(fs::exists(made[0])) << "the oldest goes";
    EXPECT_EQ(dialogs.shown.back().detail,
              "Firm 1 was restored from \"" + backups + "/Firm1.zip\". The firm as it was before " +
                  "is kept at \"" + made[3] + "\"; earlier copies at \"" + made[2] + "\", \"" +
                  made[1] + "\".");
    const std::string scan = "/AttachDocs/Scan0001.jpg";
    EXPECT_TRUE(fs::equivalent(FirmFolder(values, 1) + scan, made[3] + scan));

    WriteSetting("Rest", "KeepReplaced", "1", SettingsFile(values));
    dialogs.answers = {Answer::No};
    Click(Button("cmdOk"));
    EXPECT_EQ(copies().size(), 1u);
    EXPECT_EQ(RecoverAtStartup(values, files), std::vector<std::string>{});
}

}  // namespace
}  // namespace vornback
