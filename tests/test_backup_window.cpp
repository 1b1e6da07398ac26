// The backup window driven through its controls on the offscreen platform: how it opens
// from the settings, how its controls follow each other, the keyboard, the folder picker,
// the mail address, the busy state, and whole backups started with "&Backup". Also the Qt
// dialogs adapter and the folder picker on their own.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/clock.h"
#include "base/data_tree.h"
#include "base/errors.h"
#include "gui/backup_window.h"
#include "gui/folder_picker.h"
#include "gui/qt_dialogs.h"
#include "mail/mail.h"
#include "platform/file_system.h"
#include "sample/sample_tree.h"
#include "support/temp_dir.h"
#include "support/window_test_support.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using test::Click;
using test::Focused;
using test::TempDir;
using test::WhenModal;

class FixedClock : public Clock {
  public:
    Today Now() override { return today; }
    Today today{2015, 3, 14, "Saturday"};
};

// Accepts every mail and keeps what it was given; the send runs on a worker thread.
class RecordingMail : public MailTransport {
  public:
    SendResult Send(const MailToSend& mail) override {
        std::lock_guard<std::mutex> lock(mutex);
        sent.push_back(mail);
        return {true, ""};
    }
    std::vector<MailToSend> Sent() {
        std::lock_guard<std::mutex> lock(mutex);
        return sent;
    }
    std::mutex mutex;
    std::vector<MailToSend> sent;
};

// A file system whose CreateFolder ends the program, as a refusal deep in a run would.
class RefusingFileSystem : public LocalFileSystem {
  public:
    void CreateFolder(const std::string&) override { throw ProgramEnd(4); }
};

// Whether any entry of the archive lies below folder.
bool AnyBelow(const std::string& archive, const std::string& folder) {
    const std::vector<ArchiveEntry> entries = ListArchive(archive);
    return std::any_of(entries.begin(), entries.end(),
                       [&](const ArchiveEntry& e) { return e.name.rfind(folder + "/", 0) == 0; });
}

class BackupWindowTest : public test::WindowTest<BackupWindow> {
  protected:
    BackupWindowTest() : WindowTest("Back", "optHardDiskBack1", "txtBackPath") {}

    void SetUp() override {
        values = test::SampleProgram(dir / "data", 2, 2, 0.2, "B");
        destination = dir / "backups";
        fs::create_directory(destination);
    }

    BackupWindow& Open(const std::string& startLocation = "", FileSystem* fileSystem = nullptr,
                       VolumeInfo volume = {"/", false}) {
        window = std::make_unique<BackupWindow>(values, volume, fileSystem ? *fileSystem : files,
                                                dialogs, clock, mail, ".");
        Show(startLocation);
        return *window;
    }

    QCheckBox* Check(const char* name) { return Control<QCheckBox>(name); }

    std::string destination;
    FixedClock clock;
    RecordingMail mail;
};

TEST_F(BackupWindowTest, OpensWithTheSavedChoicesOrPlainAndFollowsTheVolume) {
    Setting("BackType", "1");
    Setting("CurYr", "1");
    Setting("IncAtcDoc", "1");
    Setting("AdvSet", "1");
    Setting("SendEMailAdd", "books@example.com");
    Open("/some/where");
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Backup For Firm No.1"));
    EXPECT_TRUE(Option("optHardDiskBack0")->isChecked());
    EXPECT_TRUE(Visible("lblHDPath"));
    EXPECT_FALSE(Visible("txtBackPath"));
    EXPECT_FALSE(Visible("cmdBackPath"));
    EXPECT_EQ(Edit("txtBackPath")->text(), QStringLiteral("/some/where"));
    EXPECT_TRUE(Option("optBackType1")->isChecked());
    EXPECT_TRUE(Check("ChkCurYr")->isChecked());
    // Only the current year: the image folder stays out, whatever was stored.
    EXPECT_FALSE(Check("ChkIncAtcDoc")->isChecked());
    EXPECT_FALSE(Check("ChkIncAtcDoc")->isEnabled());
    EXPECT_TRUE(Check("chkAdvSet")->isChecked());
    EXPECT_TRUE(Visible("frmAdvBackType"));
    // "Send Email" is never restored; the address waits hidden behind it.
    EXPECT_FALSE(Check("chkSendEmail")->isChecked());
    EXPECT_FALSE(Visible("txtEmailToSend"));
    EXPECT_EQ(Edit("txtEmailToSend")->text(), QStringLiteral("books@example.com"));
    EXPECT_FALSE(Visible("Animation1"));

    // An index the program never writes reads as a missing key; the image folder counts
    // when the current year is not ticked.
    Setting("BackType", "7");
    Setting("CurYr", "0");
    Setting("AdvSet", "0");
    Open();
    EXPECT_TRUE(Option("optBackType0")->isChecked());
    EXPECT_TRUE(Check("ChkIncAtcDoc")->isChecked());
    EXPECT_TRUE(Check("ChkIncAtcDoc")->isEnabled());
    EXPECT_FALSE(Visible("frmAdvBackType"));

    // Without settings everything is plain, and opening writes nothing.
    fs::remove(SettingsFile(values));
    Open("", nullptr, {"/mnt/data", false});
    EXPECT_TRUE(Option("optBackType0")->isChecked());
    for (const char* box : {"ChkCurYr", "ChkIncAtcDoc", "chkAdvSet", "chkSendEmail"}) {
        EXPECT_FALSE(Check(box)->isChecked()) << box;
    }
    EXPECT_TRUE(Edit("txtEmailToSend")->text().isEmpty());
    EXPECT_FALSE(SettingsWritten());
    // The default folder follows the volume that holds the program folder.
    EXPECT_EQ(Label("lblHDPath")->text(), QStringLiteral("/mnt/data/VornBack"));
    EXPECT_EQ(window->DefaultFolder(), "/mnt/data/VornBack");
    Open("", nullptr, {"/srv", true});
    EXPECT_EQ(Label("lblHDPath")->text().toStdString(), values.ProgramFolder + "/Back");
}

TEST_F(BackupWindowTest, ControlsFollowTheirCheckBoxesAndOptions) {
    Open();
    Click(Check("chkAdvSet"));
    ASSERT_TRUE(Visible("frmAdvBackType"));
    QCheckBox* images = Check("ChkIncAtcDoc");
    Click(images);
    ASSERT_TRUE(images->isChecked());
    Click(Check("ChkCurYr"));
    EXPECT_FALSE(images->isChecked());
    EXPECT_FALSE(images->isEnabled());
    Click(Check("ChkCurYr"));
    EXPECT_FALSE(images->isChecked());
    EXPECT_TRUE(images->isEnabled());

    Click(Check("chkSendEmail"));
    EXPECT_TRUE(Visible("txtEmailToSend"));
    Click(Check("chkSendEmail"));
    EXPECT_FALSE(Visible("txtEmailToSend"));

    Click(Option("optHardDiskBack1"));
    EXPECT_TRUE(Visible("txtBackPath"));
    EXPECT_TRUE(Visible("cmdBackPath"));
    EXPECT_FALSE(Visible("lblHDPath"));
    Click(Option("optHardDiskBack0"));
    EXPECT_FALSE(Visible("txtBackPath"));
    EXPECT_TRUE(Visible("lblHDPath"));

    Click(Check("chkAdvSet"));
    EXPECT_FALSE(Visible("frmAdvBackType"));
    EXPECT_FALSE(SettingsWritten());
}

TEST_F(BackupWindowTest, FolderPickerReplacesThePathAndAnEmptyFolderIsRefused) {
    Open(destination);
    Click(Option("optHardDiskBack1"));
    dialogs.folders = {"/chosen/folder", ""};
    Click(Button("cmdBackPath"));
    Click(Button("cmdBackPath"));
    ASSERT_EQ(dialogs.folderRequests.size(), 2u);
    EXPECT_EQ(dialogs.folderRequests[0].initialFolder, destination);
    EXPECT_EQ(dialogs.folderRequests[0].title, "Please Select Folder, Where You Put Your Backup");
    EXPECT_EQ(dialogs.folderRequests[1].initialFolder, "/chosen/folder");
    EXPECT_EQ(Edit("txtBackPath")->text(), QStringLiteral("/chosen/folder"));
    EXPECT_TRUE(dialogs.shown.empty());

    // No folder typed: refused, and the focus goes to the browse button.
    Edit("txtBackPath")->clear();
    Click(Button("cmdOk"));
    ASSERT_EQ(dialogs.Texts(), std::vector<std::string>{"Please Select Backup Path"});
    EXPECT_EQ(Focused(), "cmdBackPath");
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(Visible("cmdOk"));
    EXPECT_FALSE(SettingsWritten());
}

TEST_F(BackupWindowTest, EnterMovesTheFocusInTabOrderWithoutPressingButtons) {
    Setting("AdvSet", "1");
    Setting("BackType", "2");
    Open(destination);
    Click(Option("optHardDiskBack1"));
    Click(Check("chkSendEmail"));
    Option("optHardDiskBack1")->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(Focused(), "optHardDiskBack1");

    // Of each option group only the selected option is a stop; the buttons are passed over.
    const std::vector<std::string> expected = {"txtBackPath",    "cmdBackPath",     "chkSendEmail",
                                               "txtEmailToSend", "chkAdvSet",       "optBackType2",
                                               "cmdOk",          "cmdClose",        "ChkIncAtcDoc",
                                               "ChkCurYr",       "optHardDiskBack1"};
    for (const std::string& next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        EXPECT_EQ(Focused(), next);
    }
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(dialogs.shown.empty()) << "Enter on \"&Backup\" must not start a run";
    EXPECT_TRUE(Button("cmdOk")->isVisible());
    EXPECT_EQ(Stored("BackType"), "2");  // no run wrote its choices

    // Hidden and disabled controls are skipped; the keypad's Enter works the same.
    Click(Option("optHardDiskBack0"));
    Click(Check("chkSendEmail"));
    Click(Check("chkAdvSet"));
    Option("optHardDiskBack0")->setFocus(Qt::TabFocusReason);
    for (const char* next :
         {"chkSendEmail", "chkAdvSet", "cmdOk", "cmdClose", "optHardDiskBack0"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
        EXPECT_EQ(Focused(), next);
    }
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

    // No check on the text: an empty box is stored as it stands.
    Click(address);
    address->clear();
    Click(Check("chkAdvSet"));
    EXPECT_EQ(Stored("SendEMailAdd"), "");

    Click(address);
    QTest::keyClicks(address, QStringLiteral("second@example.com"));
    // Esc ends the program; leaving the box that way stores nothing, and no run wrote.
    QTest::keyClick(address, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 0);
    EXPECT_EQ(Stored("SendEMailAdd"), "");
    EXPECT_EQ(Stored("LPath"), "");
}

TEST_F(BackupWindowTest, CloseEndsTheModalWindowWithoutWritingSettings) {
    // The modal ShowForm returns when "&Close" is pressed.
    window = std::make_unique<BackupWindow>(values, VolumeInfo{"/", false}, files, dialogs, clock,
                                            mail, ".");
    QTimer::singleShot(0, window.get(), [this] { Click(Button("cmdClose")); });
    EXPECT_EQ(window->ShowForm(destination), 0);
    EXPECT_FALSE(SettingsWritten());
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(BackupWindowTest, BusyAreaShowsProgressInPlaceOfTheButtonsAndRefusesClosing) {
    Open();
    QProgressBar* clip = Control<QProgressBar>("clipBar");
    window->BusyOn();
    EXPECT_TRUE(window->Busy());
    EXPECT_FALSE(Visible("cmdOk"));
    EXPECT_FALSE(Visible("cmdClose"));
    EXPECT_TRUE(Visible("Animation1"));
    EXPECT_FALSE(clip->isVisible()) << "no clip installed: the busy area shows progress only";

    ArchiveProgress p;
    p.bytesDone = 3'000'000'000ULL;
    p.bytesTotal = 6'000'000'000ULL;  // beyond the range of int
    p.filesDone = 2;
    p.filesTotal = 5;
    p.currentName = "Yr1/DVorn1.mdb";
    window->ShowProgress(p);
    QProgressBar* bar = Control<QProgressBar>("progressBar");
    EXPECT_EQ(bar->value() * 2, bar->maximum());
    EXPECT_TRUE(Label("lblProgress")->text().contains(QStringLiteral("Yr1/DVorn1.mdb")));

    window->close();
    QTest::keyClick(window.get(), Qt::Key_Escape);
    window->reject();
    EXPECT_TRUE(window->isVisible());
    window->BusyOff();
    EXPECT_FALSE(Visible("Animation1"));
    EXPECT_TRUE(Visible("cmdOk"));
    EXPECT_TRUE(Visible("cmdClose"));

    // With the clip installed, a running bar stands in for it.
    test::WriteFile(ClipFile(values), "RIFF");
    window->BusyOn();
    EXPECT_TRUE(clip->isVisible());
    EXPECT_EQ(clip->maximum(), 0);
    window->BusyOff();
    window->close();
    EXPECT_FALSE(window->isVisible());
}

TEST_F(BackupWindowTest, WholeFirmBackupKeepsOneOlderGenerationAndAsksToExit) {
    Open(destination);
    ChooseOthers(destination);

    // First run: image folder left out; No keeps the window open.
    dialogs.answers = {Answer::No};
    Click(Button("cmdOk"));
    const std::string archive = destination + "/Firm1.zip";
    const std::string older = destination + "/OFirm1.zip";
    ASSERT_TRUE(fs::exists(archive)) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_FALSE(fs::exists(older));
    const std::vector<ArchiveEntry> entries = ListArchive(archive);
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                            [](const ArchiveEntry& e) { return e.name == "Firm1.mdb"; }));
    EXPECT_TRUE(AnyBelow(archive, "Yr1"));
    EXPECT_FALSE(AnyBelow(archive, "AttachDocs"));
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Back up Completed. Do You Want To Exit?");
    EXPECT_EQ(dialogs.shown[0].title, "Backup");
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(Visible("cmdOk"));
    EXPECT_FALSE(Visible("Animation1"));
    EXPECT_EQ(Stored("LPath"), destination);
    EXPECT_EQ(Stored("BackType"), "0");
    EXPECT_EQ(Stored("IncAtcDoc"), "0");

    // Second run with the image folder: the first archive becomes the older generation;
    // Yes closes the window and ends the program normally.
    Click(Check("chkAdvSet"));
    Click(Check("ChkIncAtcDoc"));
    dialogs.answers = {Answer::Yes};
    Click(Button("cmdOk"));
    ASSERT_TRUE(fs::exists(older));
    EXPECT_FALSE(AnyBelow(older, "AttachDocs"));
    EXPECT_TRUE(AnyBelow(archive, "AttachDocs"));
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 0);
    EXPECT_EQ(Stored("IncAtcDoc"), "1");
    EXPECT_EQ(Stored("AdvSet"), "1");
}

TEST_F(BackupWindowTest, DateAndDayWiseFoldersComeFromTheClock) {
    Setting("AdvSet", "1");
    Open(destination);
    ChooseOthers(destination);
    Click(Option("optBackType1"));
    dialogs.answers = {Answer::No, Answer::No};
    Click(Button("cmdOk"));
    EXPECT_TRUE(fs::exists(destination + "/20150314/Firm1.zip"))
        << ::testing::PrintToString(dialogs.Texts());

    Click(Option("optBackType2"));
    Click(Check("ChkCurYr"));
    Click(Button("cmdOk"));
    EXPECT_TRUE(fs::exists(destination + "/Saturday/Firm1Yr2.zip"))
        << ::testing::PrintToString(dialogs.Texts());
    EXPECT_FALSE(fs::exists(StagingFirmFolder(values, 1)));
    EXPECT_EQ(Stored("BackType"), "2");
    EXPECT_EQ(Stored("CurYr"), "1");
}

TEST_F(BackupWindowTest, RunIsBusyLocksTheWindowAndMailsToTheTypedAddress) {
    Open(destination);
    ChooseOthers(destination);
    Click(Check("chkSendEmail"));
    QLineEdit* address = Edit("txtEmailToSend");
    Click(address);
    QTest::keyClicks(address, QStringLiteral("owner@example.com"));

    // What the window looked like while the run was busy, seen from a timer that fires
    // when the run lets the window repaint, after trying to close it.
    std::string whileBusy;
    QTimer watcher;
    watcher.setInterval(0);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (!whileBusy.empty() || !window->Busy()) {
            return;
        }
        window->close();
        QTest::keyClick(window.get(), Qt::Key_Escape);
        for (const char* name : {"cmdOk", "cmdClose", "Animation1"}) {
            whileBusy += std::string(name) + (Visible(name) ? "+ " : "- ");
        }
        whileBusy += (window->isVisible() ? "open " : "closed ") + Stored("SendEMailAdd");
    });
    watcher.start();
    dialogs.answers = {Answer::No};
    Click(Button("cmdOk"));
    watcher.stop();
    EXPECT_EQ(whileBusy, "cmdOk- cmdClose- Animation1+ open owner@example.com");

    const std::vector<MailToSend> sent = mail.Sent();
    ASSERT_EQ(sent.size(), 1u) << ::testing::PrintToString(dialogs.Texts());
    EXPECT_EQ(sent[0].recipient, "owner@example.com");
    EXPECT_EQ(sent[0].attachmentPath, destination + "/Firm1.zip");
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(Visible("cmdOk"));
    EXPECT_EQ(dialogs.Texts().back(), "Back up Completed. Do You Want To Exit?");
}

TEST_F(BackupWindowTest, FailuresAreShownAndEndTheProgram) {
    // The default folder cannot be created: its parent is missing.
    Open("", nullptr, {(dir / "no-such-volume") + "/", false});
    Click(Button("cmdOk"));
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 1);
    EXPECT_FALSE(window->Busy());
    ASSERT_FALSE(dialogs.shown.empty());
    const Message& shown = dialogs.shown.back();
    EXPECT_EQ(shown.icon, Icon::Critical);
    EXPECT_EQ(shown.title, "vornback");
    EXPECT_NE(shown.text.find("no-such-volume"), std::string::npos) << shown.text;

    // A refusal that ends the program closes the window with its own code, silently.
    dialogs.shown.clear();
    RefusingFileSystem refusing;
    Open("", &refusing, {(dir / "no-such-volume") + "/", false});
    Click(Button("cmdOk"));
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->ExitCode(), 4);
    EXPECT_TRUE(dialogs.shown.empty());
}

// The program refuses a command line it cannot read before it needs a display.
TEST(WindowProgram, RefusesAnUnreadableCommandLineWithoutOpeningAWindow) {
    TempDir dir;
    SampleOptions options;
    options.firms = 1;
    options.years = 1;
    options.programFiles = {VORNBACK_APP_PATH};
    const std::string program = MakeSampleTree(dir / "data", options) + "/vornback";
    const std::string noDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ";

    std::string output;
    EXPECT_EQ(test::RunCommand(noDisplay + "'" + program + "' 1,2", &output), 2);
    EXPECT_EQ(output.rfind("vornback: ", 0), 0u) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;

    output.clear();
    EXPECT_EQ(test::RunCommand(noDisplay + "'" + program + "' firm,2,B", &output), 2);
    EXPECT_NE(output.find("firm"), std::string::npos) << output;
}

// The Qt dialogs adapter and the folder picker, answered from a timer once they are up.
class QtDialogsTest : public ::testing::Test {
  protected:
    TempDir dir;
};

TEST_F(QtDialogsTest, MessageBoxesCarryTheExactTextTitleButtonsAndIcon) {
    QtDialogs dialogs;
    WhenModal([](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), QStringLiteral("File size is 15 Do you want to send E-Mail."));
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Backup"));
        EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
        EXPECT_EQ(box->buttons().size(), 2);
        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
        box->button(QMessageBox::Yes)->click();
    });
    EXPECT_EQ(dialogs.Show({"File size is 15 Do you want to send E-Mail.", "Backup", Buttons::YesNo,
                            Icon::None, Answer::No}),
              Answer::Yes);

    // Esc on a Yes/No box answers No.
    WhenModal([](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); });
    EXPECT_EQ(dialogs.Show({"Back up Completed. Do You Want To Exit?", "Backup", Buttons::YesNo,
                            Icon::None, Answer::Yes}),
              Answer::No);

    // An OK box without a title gets the program's; text is shown as plain text.
    WhenModal([](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("vornback"));
        EXPECT_EQ(box->icon(), QMessageBox::Critical);
        EXPECT_EQ(box->textFormat(), Qt::PlainText);
        EXPECT_EQ(box->buttons().size(), 1);
        box->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(
        dialogs.Show({"<b>Backup Can not Email</b>", "", Buttons::Ok, Icon::Critical, Answer::Ok}),
        Answer::Ok);
}

TEST_F(QtDialogsTest, FileFiltersBecomeQtNameFilters) {
    EXPECT_EQ(QtNameFilters("Zip Files (Firm*.zip)|Firm*.zip"), "Zip Files (Firm*.zip)");
    EXPECT_EQ(QtNameFilters("Zip Files|*.zip;*.ZIP|All Files|*.*"),
              "Zip Files (*.zip *.ZIP);;All Files (*.*)");
    EXPECT_EQ(QtNameFilters(""), "");
}

TEST_F(QtDialogsTest, FolderPickerStartsOnTheFolderAndGivesTheChoiceOrNothing) {
    const std::string start = dir / "start";
    const std::string chosen = dir / "start/chosen";
    fs::create_directories(chosen);

    WhenModal([&](QWidget* w) {
        auto* picker = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(picker, nullptr);
        EXPECT_EQ(picker->windowTitle(),
                  QStringLiteral("Please Select Folder, Where You Put Your Backup"));
        EXPECT_EQ(picker->fileMode(), QFileDialog::Directory);
        EXPECT_TRUE(picker->testOption(QFileDialog::ShowDirsOnly));
        EXPECT_EQ(picker->directory().absolutePath().toStdString(), start);
        picker->selectFile(QString::fromStdString(chosen));
        QMetaObject::invokeMethod(picker, "accept");
    });
    EXPECT_EQ(BrowseForFolder(nullptr, start, "Please Select Folder, Where You Put Your Backup"),
              chosen);

    WhenModal([](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); });
    EXPECT_EQ(BrowseForFolder(nullptr, start, "title"), "");

    // A missing initial folder leaves the picker at its own starting point.
    WhenModal([&](QWidget* w) {
        auto* picker = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(picker, nullptr);
        EXPECT_NE(picker->directory().absolutePath().toStdString(), dir / "missing");
        picker->reject();
    });
    EXPECT_EQ(BrowseForFolder(nullptr, dir / "missing", "title"), "");
}

}  // namespace
}  // namespace vornback
