// The backup window through its controls; what a screen reader is told of all three
// windows; the program's own options; the Qt message boxes.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/errors.h"
#include "gui/backup_window.h"
#include "gui/qt_dialogs.h"
#include "gui/restore_window.h"
#include "gui/year_list_window.h"
#include "mail/mail.h"
#include "sample/sample_tree.h"
#include "support/window_test_support.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using test::Click;
using test::Focused;
using test::WhenModal;

class FixedClock : public Clock {
  public:
    Today Now() override { return {2015, 3, 14, "Saturday"}; }
};

class NoMail : public MailTransport {
    SendResult Send(const MailToSend&) override { return {false, "no mail here"}; }
};

class BackupWindowTest : public test::WindowTest<BackupWindow, BackupWindowSettings> {
  protected:
    BackupWindowTest() : WindowTest("Back", "optHardDiskBack1", "txtBackPath") {}
    void SetUp() override {
        values = test::SampleProgram(dir / "data", 1, 2, 0.2, "B");
        destination = dir / "backups";
        fs::create_directory(destination);
    }
    void Open(const std::string& start = "", const BackupWindowSettings& stored = {},
              const std::string& defaultFolder = "") {
        window = std::make_unique<BackupWindow>(
            values, defaultFolder.empty() ? destination + "/Default" : defaultFolder, files,
            dialogs, clock, mail, ".");
        Show(start, stored);
    }
    QCheckBox* Check(const char* name) { return Control<QCheckBox>(name); }
    // Each control as "name", "-" when hidden, "*" when checked, "#" when disabled.
    std::string States(std::initializer_list<const char*> names) {
        std::string states;
        for (const char* name : names) {
            auto* w = Control<QWidget>(name);
            auto* b = qobject_cast<QAbstractButton*>(w);
            states += std::string(name) + (w->isVisible() ? "" : "-") +
                      (b && b->isChecked() ? "*" : "") + (w->isEnabled() ? "" : "#") + " ";
        }
        return states;
    }
    std::string destination;
    FixedClock clock;
    NoMail mail;
};

TEST_F(BackupWindowTest, OpensFromTheStoredChoicesWithANoteForAMissingFirmFolder) {
    const BackupWindowSettings saved{1, 1, 1, 1, "a@b.c"};
    Open("/some/where", saved);
    EXPECT_EQ(States({"optHardDiskBack0", "lblHDPath", "txtBackPath", "cmdBackPath", "optBackType1",
                      "ChkCurYr", "ChkIncAtcDoc", "frmAdvBackType", "chkSendEmail",
                      "txtEmailToSend", "Animation1", "lblNote"}),
              "optHardDiskBack0* lblHDPath txtBackPath- cmdBackPath- optBackType1* ChkCurYr* "
              "ChkIncAtcDoc# frmAdvBackType chkSendEmail txtEmailToSend- Animation1- lblNote- ");
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Backup For Firm No.1"));
    EXPECT_EQ(Edit("txtBackPath")->text(), QStringLiteral("/some/where"));
    EXPECT_EQ(
        Label("lblHDPath")->text().toStdString() + Edit("txtEmailToSend")->text().toStdString(),
        destination + "/Defaulta@b.c");

    // An index never written reads as "Single"; the image folder counts without the year.
    Open("", {7, 0, 1, 0, ""});
    EXPECT_EQ(States({"optBackType0", "ChkIncAtcDoc", "frmAdvBackType", "lblNote"}),
              "optBackType0-* ChkIncAtcDoc-* frmAdvBackType- lblNote- ");

    // A missing firm folder gets a note (letter case does not matter).
    fs::rename(FirmFolder(values, 1), values.AppFolder + "/FIRM1");
    Open();
    EXPECT_EQ(window->Note(), "");
    values.CurrentFirmNo = 9;
    Open();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Backup For Firm No.9"));
    EXPECT_EQ(window->Note(), "The folder of firm 9 was not found (" + FirmFolder(values, 9) +
                                  "); a backup of this firm cannot be made.");
    EXPECT_FALSE(SettingsWritten()) << "opening writes nothing";
}

TEST_F(BackupWindowTest, ControlsFollowTheirCheckBoxesAndOptions) {
    Open();
    const auto click = [this](std::initializer_list<const char*> names) {
        for (const char* name : names) {
            Click(Control<QWidget>(name));
        }
        return States({"lblHDPath", "txtBackPath", "cmdBackPath", "frmAdvBackType", "ChkIncAtcDoc",
                       "txtEmailToSend"});
    };
    EXPECT_EQ(click({"chkAdvSet", "ChkIncAtcDoc", "ChkCurYr", "chkSendEmail", "optHardDiskBack1"}),
              "lblHDPath- txtBackPath cmdBackPath frmAdvBackType ChkIncAtcDoc# txtEmailToSend ");
    EXPECT_EQ(click({"ChkCurYr", "chkSendEmail", "optHardDiskBack0", "chkAdvSet"}),
              "lblHDPath txtBackPath- cmdBackPath- frmAdvBackType- ChkIncAtcDoc- txtEmailToSend- ");
    Click(Check("chkAdvSet"));
    EXPECT_EQ(States({"ChkIncAtcDoc"}), "ChkIncAtcDoc ");
    EXPECT_FALSE(SettingsWritten());
}

TEST_F(BackupWindowTest, EnterMovesTheFocusInTabOrderAndPressesAFocusedButton) {
    Open("", {2, 0, 0, 1, ""});
    Click(Option("optHardDiskBack1"));
    Edit("txtBackPath")->clear();
    Click(Check("chkSendEmail"));
    Option("optHardDiskBack1")->setFocus(Qt::TabFocusReason);
    // Of each option group only the selected option is a stop (Tab leaves a button).
    const auto next = [] {
        QWidget* w = QApplication::focusWidget();
        QTest::keyClick(w, qobject_cast<QPushButton*>(w) ? Qt::Key_Tab : Qt::Key_Return);
        return Focused();
    };
    for (const char* control : {"txtBackPath", "cmdBackPath", "chkSendEmail", "txtEmailToSend",
                                "chkAdvSet", "optBackType2", "cmdOk"}) {
        EXPECT_EQ(next(), control);
    }
    // Enter presses a focused button; the picker starts in the default folder's parent.
    dialogs.folders = {""};
    Button("cmdBackPath")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(Button("cmdBackPath"), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(Focused(), "cmdBackPath");
    ASSERT_EQ(dialogs.folderRequests.size(), 1u);
    EXPECT_EQ(dialogs.folderRequests[0].initialFolder, destination);
    EXPECT_EQ(dialogs.folderRequests[0].title, "Please Select Folder, Where You Put Your Backup");
    Button("cmdOk")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(Button("cmdOk"), Qt::Key_Return);
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Please Select Backup Path"});
    EXPECT_EQ(Focused(), "cmdBackPath");
    dialogs.folders = {"/chosen/folder"};  // a chosen folder replaces the text
    Click(Button("cmdBackPath"));
    EXPECT_EQ(Edit("txtBackPath")->text(), QStringLiteral("/chosen/folder"));
}

TEST_F(BackupWindowTest, MailAddressIsStoredWhenTheFocusMovesOnNotWhenTheWindowCloses) {
    Open();
    Click(Check("chkSendEmail"));
    QLineEdit* address = Edit("txtEmailToSend");
    Click(address);
    QTest::keyClicks(address, QStringLiteral("first@example.com"));
    EXPECT_EQ(Stored("SendEMailAdd"), "");
    QTest::keyClick(address, Qt::Key_Tab);
    EXPECT_EQ(Stored("SendEMailAdd"), "first@example.com");
    Click(address);
    QTest::keyClicks(address, QStringLiteral(".org"));
    QTest::keyClick(address, Qt::Key_Escape);  // ends the program: nothing stored
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 0);
    EXPECT_EQ(Stored("SendEMailAdd"), "first@example.com");
}

TEST_F(BackupWindowTest, BusyStateHidesTheButtonsShowsProgressAndRefusesClosingTwiceSafe) {
    Open();
    Button("cmdOk")->setFocus(Qt::TabFocusReason);
    window->BusyOn();
    window->BusyOn();  // the second call must not forget where the focus was
    EXPECT_EQ(States({"cmdOk", "cmdClose", "Animation1", "clipBar", "progressBar"}),
              "cmdOk- cmdClose- Animation1 clipBar- progressBar ");
    ArchiveProgress p{3'000'000'000ULL, 6'000'000'000ULL, 2, 5, "Yr1/DVorn1.mdb"};
    window->ShowProgress(p);
    EXPECT_EQ(Control<QProgressBar>("progressBar")->value(), 500);
    window->close();
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_TRUE(window->isVisible());
    window->BusyOff();
    window->BusyOff();
    EXPECT_EQ(States({"cmdOk", "cmdClose", "Animation1"}), "cmdOk cmdClose Animation1- ");
    EXPECT_EQ(Focused(), "cmdOk");
    Click(Button("cmdClose"));
    EXPECT_FALSE(window->isVisible());
}

TEST_F(BackupWindowTest, WholeFirmAndCurrentYearRunsEndWithTheFocusOnBackup) {
    Open(destination, {1, 0, 0, 1, ""});
    ChooseOthers(destination);
    dialogs.answers = {Answer::No, Answer::No};
    Click(Button("cmdOk"));
    EXPECT_TRUE(fs::exists(destination + "/20150314/Firm1.zip"));
    EXPECT_EQ(Focused(), "cmdOk");
    Click(Check("ChkCurYr"));
    Click(Button("cmdOk"));
    EXPECT_TRUE(fs::exists(destination + "/20150314/Firm1Yr2.zip"));
    EXPECT_FALSE(fs::exists(StagingFirmFolder(values, 1)));
    EXPECT_EQ(Focused(), "cmdOk");
    EXPECT_EQ(dialogs.Texts(),
              std::vector<std::string>(2, "Back up Completed. Do You Want To Exit?"));
    EXPECT_EQ(Stored("LPath") + " " + Stored("BackType") + Stored("CurYr") + Stored("AdvSet"),
              destination + " 111");
    EXPECT_TRUE(Visible("cmdOk"));
    dialogs.answers = {Answer::Yes};
    Click(Button("cmdOk"));
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 0);
}

TEST_F(BackupWindowTest, AFailureIsShownWithItsCauseAndEndsTheProgram) {
    Open("", {}, dir / "no-such-volume/VornBack");
    Click(Button("cmdOk"));
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 1);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].icon, Icon::Critical);
    EXPECT_EQ(dialogs.shown[0].title, "vornback");
    EXPECT_NE(dialogs.shown[0].text.find("no-such-volume"), std::string::npos);
}

TEST_F(BackupWindowTest, EveryControlOfTheThreeWindowsHasANameAndADescription) {
    Open("", {0, 0, 0, 1, ""});
    EXPECT_EQ(test::UnnamedControls(window.get()), "");
    QtYearChooser years;
    RestoreWindow restore(values, "/default", files, dialogs, years);
    restore.FillForm("", {3, 1});
    EXPECT_EQ(test::UnnamedControls(&restore), "");
    YearListWindow list({{"1", "01/04/2021", "31/03/2022"}});
    EXPECT_EQ(test::UnnamedControls(&list), "");
}

TEST(WindowProgram, HelpVersionAndRefusalsWithoutAWindow) {
    test::TempDir dir;
    const SampleOptions options{1, 1, 1.0, 1, 2021, {VORNBACK_APP_PATH}};
    const std::string program = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" +
                                MakeSampleTree(dir / "data", options) + "/vornback' ";
    struct Case {
        const char* arguments;
        int status;
        const char* start;  // what the output begins with
        int lines;
    };
    // clang-format off
    for (const Case& c : std::vector<Case>{
             {"--help", 0, "Usage: vornback <firm>,<year>,<mode>\n", 13},
             {"--version", 0, "vornback 0.", 1}, {"1,2,B", 2, "vornback: no display", 1},
             {"1,2", 2, "vornback: the command line \"1,2\"", 1},
             {"firm,2,B", 2, "vornback: the firm number \"firm\"", 1}}) {
        // clang-format on
        std::string output;
        EXPECT_EQ(test::RunCommand(program + c.arguments + " 2>&1", &output), c.status);
        EXPECT_EQ(output.rfind(c.start, 0), 0u) << output;
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), c.lines) << output;
    }
}

TEST(QtDialogsTest, MessageBoxesCarryTheExactTextCauseTitleButtonsAndIcon) {
    QtDialogs dialogs;
    WhenModal([](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text() + QLatin1Char('|') + box->informativeText() + QLatin1Char('|') +
                      box->windowTitle(),
                  QStringLiteral("Invalid Backup File|The archive is damaged.|Restore"));
        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
        box->button(QMessageBox::Yes)->click();
    });
    EXPECT_EQ(dialogs.Show({"Invalid Backup File", "Restore", Buttons::YesNo, Icon::None,
                            Answer::No, "The archive is damaged."}),
              Answer::Yes);
}

}  // namespace
}  // namespace vornback
