// The backup window through its controls; what a screen reader is told of all three
// windows; the program's own options; the Qt message boxes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QAccessible>
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
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/errors.h"
#include "gui/backup_window.h"
#include "gui/qt_dialogs.h"
#include "gui/restore_window.h"
#include "gui/year_list_window.h"
#include "history/history.h"
#include "mail/mail.h"
#include "platform/run_lock.h"
#include "sample/sample_tree.h"
#include "support/refusal.h"
#include "support/run_doubles.h"
#include "support/test_data.h"
#include "support/window_test_support.h"

namespace vornback {
namespace {

using namespace test;

namespace fs = std::filesystem;

// Refuses every mail unless told to take it; keeps what each mail had attached.
class TestMail : public MailTransport {
  public:
    SendResult Send(const MailToSend& m) override {
        attachments.push_back(m.attachmentPath);
        return {accept, accept ? "" : "no mail here"};
    }
    bool accept = false;
    std::vector<std::string> attachments;
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
    TestMail mail;
    QtYearChooser years_;
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
    // A settings file that cannot be written: the address is not saved, and the person is
    // told so once the focus has moved on.
    const std::string settings = SettingsFile(values);
    chmod(settings.c_str(), 0444);
    Click(address);
    QTest::keyClicks(address, QStringLiteral(".net"));
    QTest::keyClick(address, Qt::Key_Tab);
    QTest::qWait(0);
    ASSERT_EQ(dialogs.Texts().size(), 1u);
    EXPECT_TRUE(test::Mentions(dialogs.Texts()[0], "not saved"));
    EXPECT_TRUE(test::Mentions(dialogs.Texts()[0], "SendEMailAdd"));
    chmod(settings.c_str(), 0644);
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

// The run is recorded and its locks are free before the closing question; a refusal for a
// busy firm leaves the window open; the question follows even when its detail cannot be
// worked out (the archive deleted while the mail's size question waited).
TEST_F(BackupWindowTest, TheClosingQuestionWaitsOnARecordedRunWithoutLocksOrAFatalDetail) {
    Open(destination, {0, 0, 0, 0, ""});
    ChooseOthers(destination);
    const std::string archive = destination + "/Firm1.zip";
    std::vector<std::string> atQuestion;  // the last run and the two locks, as they stood
    dialogs.onShow = [&](const Message& m) {
        if (m.text == "Back up Completed. Do You Want To Exit?") {
            const bool firmFree =
                RunLock::TryTake(FirmLockFile(values, 1), TheSystemClock()).has_value();
            const bool destinationFree =
                RunLock::TryTake(DestinationLockFile(destination, 1), TheSystemClock()).has_value();
            atQuestion.push_back(test::LastRun(values) +
                                 (firmFree && destinationFree ? " free" : " locked") + " " +
                                 m.detail.substr(0, m.detail.find('(')));
        } else if (m.text.starts_with("File size is")) {
            fs::remove(archive);  // the person deletes it meanwhile
        }
    };
    // A refusal while another run holds the firm: the window stays for another try.
    std::optional<RunLock> other(LockFirm(values, 1, TheSystemClock()));
    Click(Button("cmdOk"));
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_TRUE(
        test::Mentions(dialogs.shown[0].text, "Wait until it has finished, then try again"));
    EXPECT_EQ(dialogs.shown[0].icon, Icon::Exclamation);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(States({"cmdOk", "Animation1"}), "cmdOk Animation1- ");
    EXPECT_EQ(test::LastRun(values), "backup refused");
    other.reset();

    dialogs.answers = {Answer::No};
    Click(Button("cmdOk"));
    // A mailed archive of 15 MB or more asks first; the mail still carries it, as the run
    // made it.
    test::WriteFile(FirmFolder(values, 1) + "/Scans.bin",
                    test::RandomBytes(kMailSizeQuestionBytes, 7));
    Click(Check("chkSendEmail"));
    Edit("txtEmailToSend")->setText(QStringLiteral("office@example.com"));
    mail.accept = true;
    dialogs.answers = {Answer::Yes, Answer::No};
    Click(Button("cmdOk"));
    EXPECT_EQ(atQuestion, (std::vector<std::string>{"backup ok free The backup is " + archive + " ",
                                                    "backup ok free "}));
    ASSERT_EQ(mail.attachments.size(), 1u);
    EXPECT_NE(mail.attachments[0], "");
    const std::vector<std::string> texts = dialogs.Texts();
    EXPECT_EQ(std::vector<std::string>(texts.end() - 2, texts.end()),
              (std::vector<std::string>{"E-Mail Send Completed.",
                                        "Back up Completed. Do You Want To Exit?"}));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 0);
}

// A run that cannot start says why in the person's words and leaves the window open.
TEST_F(BackupWindowTest, ARunThatCannotStartSaysWhyPlainlyAndKeepsTheWindow) {
    struct Case {
        int32_t firm;
        const char* year;
        BackupWindowSettings stored;
        const char* says;  // the start of the one message
    };
    for (const Case& c : std::vector<Case>{
             {9, "2", {0, 0, 0, 0, ""}, "The folder of firm 9 was not found ("},
             {1, "", {0, 1, 0, 1, ""}, "The program was started without a year, so there is"}}) {
        values.CurrentFirmNo = c.firm;
        values.CurrentYearNo = c.year;
        dialogs.shown.clear();
        Open("", c.stored);
        Click(Button("cmdOk"));
        ASSERT_EQ(dialogs.shown.size(), 1u) << c.says;
        EXPECT_TRUE(dialogs.shown[0].text.starts_with(c.says)) << dialogs.shown[0].text;
        EXPECT_EQ(dialogs.shown[0].text.find(StagingRoot(values)), std::string::npos);
        EXPECT_TRUE(window->isVisible());
        EXPECT_FALSE(fs::exists(destination + "/Default"));
    }
    EXPECT_EQ(window->Note(), "");
}

// "Cancel" in the busy area stops the packing: the generations stay as they were and the
// window stays open; once the archive is checked, the button is disabled with the reason.
TEST_F(BackupWindowTest, CancelWhilePackingLeavesTheGenerationsAsTheyWere) {
    Open(destination, {0, 0, 0, 0, ""});
    ChooseOthers(destination);
    dialogs.answers = {Answer::No};
    Click(Button("cmdOk"));
    const std::string first = test::ReadFile(destination + "/Firm1.zip");
    test::WriteFile(FirmFolder(values, 1) + "/New.txt", "changed since");
    QTimer::singleShot(0, [this] { Click(Button("cmdCancel")); });
    Click(Button("cmdOk"));
    EXPECT_EQ(test::ReadFile(destination + "/Firm1.zip"), first);
    EXPECT_EQ(std::distance(fs::directory_iterator(destination), fs::directory_iterator()), 1)
        << "Firm1.zip alone: no older generation, no temporary archive";
    EXPECT_EQ(test::LastRun(values), "backup cancelled");
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(States({"cmdOk", "Animation1"}), "cmdOk Animation1- ");

    window->BusyOn();
    window->CancelTooLate();
    EXPECT_EQ(States({"cmdCancel"}), "cmdCancel# ");
    EXPECT_FALSE(Button("cmdCancel")->toolTip().isEmpty());
    window->BusyOff();
}

// Both windows fit a 1024x768 screen (in the scale factor's pixels; the suite runs this at
// scale 1 and 2) with long folders: a path is cut to fit, whole in its tooltip and for a
// screen reader.
TEST_F(BackupWindowTest, BothWindowsFitASmallScreenWithLongPathsCutToFit) {
    std::string deep = destination;
    for (int i = 0; i < 12; ++i) {
        deep += "/a-folder-with-a-rather-long-name-" + std::to_string(i);
    }
    fs::create_directories(deep);
    HistoryRecord last{1796669050, 7, "2", "backup",      deep + "/Firm1.zip",
                       2048,       3, 1,   RunResult::Ok, ""};
    AppendHistory(HistoryFile(values), last);
    values.CurrentFirmNo = 7;  // no folder: a note with a long path as well
    Open("", {0, 1, 1, 1, ""}, deep);
    const auto fits = [](QWidget* w) {
        const QSize screen(static_cast<int>(1024 / w->devicePixelRatio()),
                           static_cast<int>(768 / w->devicePixelRatio()));
        const QSize size = w->frameGeometry().size().expandedTo(w->sizeHint());
        return size.width() <= screen.width() && size.height() <= screen.height()
                   ? std::string("fits")
                   : std::to_string(size.width()) + "x" + std::to_string(size.height()) + " on " +
                         std::to_string(screen.width()) + "x" + std::to_string(screen.height());
    };
    EXPECT_EQ(fits(window.get()), "fits");
    for (const char* name : {"lblHDPath", "lblLastBackup"}) {
        QLabel* label = Label(name);
        EXPECT_LT(label->text().size(), label->toolTip().size()) << name;
        EXPECT_NE(label->toolTip().indexOf(QString::fromStdString(deep)), -1) << name;
        QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(label);
        EXPECT_NE((reader->text(QAccessible::Name) + reader->text(QAccessible::Description))
                      .indexOf(QString::fromStdString(deep)),
                  -1)
            << name;
    }

    values.CurrentFirmNo = 1;
    RestoreWindow restore(values, deep, files, dialogs, years_);
    restore.FillForm(deep, {2, 1});
    test::ShowActive(&restore);
    dialogs.files = {deep + "/Firm1.zip"};
    Click(test::Find<QPushButton>(&restore, "cmdSelectPath"));  // "Add Firm": the archive's path
    EXPECT_EQ(fits(&restore), "fits");
    EXPECT_EQ(test::Find<QLabel>(&restore, "LblPath")->toolTip().toStdString(),
              deep + "/Firm1.zip");
}

TEST_F(BackupWindowTest, AFailureIsShownWithItsCauseAndEndsTheProgram) {
    Open("", {}, dir / "no-such-volume/VornBack");
    Click(Button("cmdOk"));
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 1);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(std::tie(dialogs.shown[0].icon, dialogs.shown[0].title),
              std::make_tuple(Icon::Critical, "vornback"));
    EXPECT_TRUE(test::Mentions(dialogs.shown[0].text, "no-such-volume"));
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
             {"--help", 0, "Usage: vornback [--data DIR] <firm>,<year>,<mode>\n", 18},
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
