#include "gui/backup_window.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>
#include <tuple>
#include <utility>

#include "base/data_tree.h"
#include "base/dialogs.h"
#include "base/text.h"
#include "gui/elided_label.h"
#include "history/history.h"
#include "platform/file_system.h"

namespace vornback {
namespace {}  // namespace

BackupWindow::BackupWindow(const ProgramValues& values, const std::string& defaultFolder,
                           FileSystem& fs, Dialogs& dialogs, Clock& clock, MailTransport& mail,
                           std::string decimalSeparator, QWidget* parent)
    : MainWindow(values, defaultFolder, fs, dialogs, parent),
      clock_(clock),
      mail_(mail),
      decimalSeparator_(std::move(decimalSeparator)) {
    Assemble("Backup");
}

BackupWindow::~BackupWindow() = default;

void BackupWindow::BuildControls(QVBoxLayout* outer) {
    FrmBackup = Named<QGroupBox>("FrmBackup", QStringLiteral("Data Backup"), this);
    outer->addWidget(FrmBackup);
    auto* frame = new QVBoxLayout(FrmBackup);

    // Room for a path of some length, whichever of the two folder controls shows.
    std::tie(optHardDiskBack0, optHardDiskBack1, optHardDiskBack, lblHDPath, txtBackPath,
             cmdBackPath) =
        BuildFolderChoice(FrmBackup, 360, "optHardDiskBack", "txtBackPath", "cmdBackPath");
    auto* folderChoice = new QHBoxLayout;
    folderChoice->addWidget(optHardDiskBack0);
    folderChoice->addWidget(optHardDiskBack1);
    folderChoice->addStretch(1);
    frame->addLayout(folderChoice);

    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(lblHDPath, 1);
    folderRow->addWidget(txtBackPath, 1);
    folderRow->addWidget(cmdBackPath);
    frame->addLayout(folderRow);

    chkSendEmail = Named<QCheckBox>("chkSendEmail", QStringLiteral("Send Email"), FrmBackup);
    txtEmailToSend = Named<QLineEdit>("txtEmailToSend", FrmBackup);
    txtEmailToSend->hide();
    auto* mailRow = new QHBoxLayout;
    mailRow->addWidget(chkSendEmail);
    mailRow->addWidget(txtEmailToSend, 1);
    mailRow->addStretch(0);
    frame->addLayout(mailRow);

    chkAdvSet = Named<QCheckBox>("chkAdvSet", QStringLiteral("Advance Back Type"), FrmBackup);
    frame->addWidget(chkAdvSet, 0, Qt::AlignLeft);

    frmAdvBackType = Named<QGroupBox>("frmAdvBackType", QStringLiteral("Advance "), FrmBackup);
    frmAdvBackType->hide();
    auto* advanced = new QVBoxLayout(frmAdvBackType);
    ChkCurYr = Named<QCheckBox>("ChkCurYr", QStringLiteral("Only Current Year"), frmAdvBackType);
    ChkIncAtcDoc =
        Named<QCheckBox>("ChkIncAtcDoc", QStringLiteral("Include Image Folder"), frmAdvBackType);
    auto* options = new QHBoxLayout;
    options->addWidget(ChkCurYr);
    options->addWidget(ChkIncAtcDoc);
    options->addStretch(1);
    advanced->addLayout(options);
    optBackType0 = Named<QRadioButton>("optBackType0", QStringLiteral("Single"), frmAdvBackType);
    optBackType1 = Named<QRadioButton>("optBackType1", QStringLiteral("Date wise"), frmAdvBackType);
    optBackType2 = Named<QRadioButton>("optBackType2", QStringLiteral("Day wise"), frmAdvBackType);
    optBackType = OptionGroup("optBackType", {optBackType0, optBackType1, optBackType2});
    auto* types = new QHBoxLayout;
    types->addWidget(optBackType0);
    types->addWidget(optBackType1);
    types->addWidget(optBackType2);
    types->addStretch(1);
    advanced->addLayout(types);
    frame->addWidget(frmAdvBackType);

    // The busy area takes the place of the two buttons while a run works.
    QHBoxLayout* buttons = BuildButtonRow(FrmBackup, QStringLiteral("&Backup"));
    NoAutoDefault(cmdBackPath);
    frame->addLayout(buttons);
    BuildNoteLine(outer);

    // Under the frame: this firm's last good backup, from the run history.
    outer->addWidget(Named<ElidedLabel>("lblLastBackup", 480, this));
}

void BackupWindow::NameControls() {
    Speak(FrmBackup, "Data Backup", "Where the backup goes and what it holds");
    Speak(optHardDiskBack0, "Default Directory", "Back up into the default folder");
    Speak(optHardDiskBack1, "Others", "Back up into a folder of your choice");
    // The folder itself is the line's name (ElidedLabel); the description says what it is.
    lblHDPath->setAccessibleDescription(QStringLiteral("The default backup folder"));
    Speak(txtBackPath, "Backup folder", "The folder to back up into");
    Speak(cmdBackPath, "Browse for the backup folder", "Choose the folder to back up into");
    Speak(chkSendEmail, "Send Email", "Mail the finished backup");
    Speak(txtEmailToSend, "E-mail address", "Where the backup is mailed to");
    Speak(chkAdvSet, "Advance Back Type", "Show the advanced backup options");
    Speak(frmAdvBackType, "Advance", "The advanced backup options");
    Speak(ChkCurYr, "Only Current Year", "Back up only the current financial year");
    Speak(ChkIncAtcDoc, "Include Image Folder", "Put the firm's attached documents in the backup");
    Speak(optBackType0, "Single", "Back up straight into the folder");
    Speak(optBackType1, "Date wise", "Back up into a folder named by today's date");
    Speak(optBackType2, "Day wise", "Back up into a folder named by the day of the week");
    Speak(cmdOk, "Backup", "Start the backup");
    Speak(cmdClose, "Close", "Close the window and end the program");
}

void BackupWindow::SetTabOrder() {
    ChainTabOrder({optHardDiskBack0, optHardDiskBack1, txtBackPath, cmdBackPath, chkSendEmail,
                   txtEmailToSend, chkAdvSet, optBackType0, optBackType1, optBackType2, cmdOk,
                   cmdClose, ChkIncAtcDoc, ChkCurYr});
}

void BackupWindow::ConnectEvents() {
    connect(optBackType, &QButtonGroup::idToggled, this,
            [this](int, bool) { FixOptionTabStops(); });
    connect(chkAdvSet, &QCheckBox::toggled, this, [this](bool) { OnAdvSetChanged(); });
    connect(ChkCurYr, &QCheckBox::toggled, this, [this](bool) { OnCurYrChanged(); });
    connect(chkSendEmail, &QCheckBox::toggled, this, [this](bool) { OnSendEmailChanged(); });
    connect(cmdBackPath, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(cmdOk, &QPushButton::clicked, this, [this] { OnBackup(); });
}

int BackupWindow::ShowForm(const std::string& StrPathStr, const BackupWindowSettings& stored) {
    FillForm(StrPathStr, stored);
    return RunModal();
}

void BackupWindow::FillForm(const std::string& StrPathStr, const BackupWindowSettings& stored) {
    setWindowTitle(QStringLiteral("Backup For Firm No.") + QString::number(values_.CurrentFirmNo));
    FrmBackup->setVisible(true);
    txtBackPath->setText(Q(StrPathStr));

    optHardDiskBack0->setChecked(true);
    OnHardDiskClicked(0);

    // The program never writes another index; a damaged file must not stop the window, so
    // an unknown index reads as a missing key.
    QAbstractButton* type = optBackType->button(stored.BackType);
    (type != nullptr ? type : optBackType0)->setChecked(true);

    ChkCurYr->setChecked(stored.CurYr == 1);
    if (ChkCurYr->isChecked()) {
        ChkIncAtcDoc->setChecked(false);
        ChkIncAtcDoc->setEnabled(false);
    } else {
        ChkIncAtcDoc->setChecked(stored.IncAtcDoc == 1);
        ChkIncAtcDoc->setEnabled(true);
    }

    chkAdvSet->setChecked(stored.AdvSet == 1);
    OnAdvSetChanged();

    txtEmailToSend->setText(Q(stored.SendEMailAdd));
    OnSendEmailChanged();
    // The settings' "Drill" key: every backup proves its new archive before it rotates in.
    drill_ = stored.Drill == 1 ? 1 : 0;

    // The window opens all the same; "&Backup" then says the same sentence.
    SetNote(MissingFirmNote());

    FixOptionTabStops();
    optHardDiskBack0->setFocus(Qt::OtherFocusReason);
    ShowLastBackup();
}

void BackupWindow::ShowLastBackup() {
    findChild<ElidedLabel*>(QStringLiteral("lblLastBackup"))
        ->SetFullText(Q(LastBackupText(HistoryFile(values_), values_.CurrentFirmNo)));
}

void BackupWindow::OnHardDiskClicked(int index) {
    ShowFolderChoice(index, lblHDPath, txtBackPath, cmdBackPath);
}

void BackupWindow::OnAdvSetChanged() {
    frmAdvBackType->setVisible(chkAdvSet->isChecked());
}

void BackupWindow::OnCurYrChanged() {
    if (ChkCurYr->isChecked()) {
        ChkIncAtcDoc->setChecked(false);
        ChkIncAtcDoc->setEnabled(false);
    } else {
        ChkIncAtcDoc->setEnabled(true);
    }
}

void BackupWindow::OnSendEmailChanged() {
    txtEmailToSend->setVisible(chkSendEmail->isChecked());
}

void BackupWindow::FixOptionTabStops() {
    TabStopOnSelectedOption(optHardDiskBack);
    TabStopOnSelectedOption(optBackType);
}

void BackupWindow::OnBrowse() {
    BrowseInto(txtBackPath, "Please Select Folder, Where You Put Your Backup");
}

void BackupWindow::StoreEmailAddress(bool deferWarning) {
    const std::string notSaved =
        SaveEmailAddress(settingsFile_, txtEmailToSend->text().toStdString());
    if (notSaved.empty()) {
        return;
    }
    const Message warning{notSaved, kProgramTitle, Buttons::Ok, Icon::Exclamation};
    if (deferWarning) {
        QTimer::singleShot(0, this, [this, warning] { dialogs_.Show(warning); });
    } else {
        dialogs_.Show(warning);
    }
}

bool BackupWindow::FirmFolderFound(const std::string& firm) {
    if (fs_.FolderExists(firm)) {
        return true;
    }
    // Letter case does not matter in the data tree.
    if (!fs_.FolderExists(values_.AppFolder)) {
        return false;
    }
    for (const FileEntry& entry : fs_.SubFolders(values_.AppFolder)) {
        if (ParseFirmFolderName(entry.name) == values_.CurrentFirmNo) {
            return true;
        }
    }
    return false;
}

std::string BackupWindow::MissingFirmNote() {
    const std::string firm = FirmFolder(values_, values_.CurrentFirmNo);
    return FirmFolderFound(firm)
               ? ""
               : "The folder of firm " + std::to_string(values_.CurrentFirmNo) +
                     " was not found (" + firm + "); a backup of this firm cannot be made.";
}

BackupChoices BackupWindow::ReadChoices() const {
    BackupChoices c;
    c.folder = optHardDiskBack->checkedId() == 0 ? FolderChoice::Default : FolderChoice::Other;
    c.defaultFolder = lblHDPath->FullText().toStdString();
    c.backupPath = txtBackPath->text().toStdString();
    c.type = BackupTypeAt(optBackType->checkedId());
    c.advanced = chkAdvSet->isChecked();
    c.includeImages = ChkIncAtcDoc->isChecked();
    c.currentYearOnly = ChkCurYr->isChecked();
    c.sendEmail = chkSendEmail->isChecked();
    c.emailAddress = txtEmailToSend->text().toStdString();
    c.drill = drill_;
    return c;
}

void BackupWindow::OnBackup() {
    GuardedRun([this] {
        // Pressed while the address box still had the focus (a click from code, or a key
        // that did not move the focus): the address counts as left.
        if (txtEmailToSend->hasFocus()) {
            StoreEmailAddress(false);
        }
        // Without the firm's folder there is nothing to back up: the note's own sentence.
        if (const std::string missing = MissingFirmNote(); !missing.empty()) {
            SetNote(missing);
            dialogs_.Show(Message{missing, kProgramTitle, Buttons::Ok, Icon::Exclamation});
            return;
        }
        BackupContext ctx{values_, fs_,   dialogs_,          clock_,
                          mail_,   *this, decimalSeparator_, CancelFlag()};
        RunEnd end = RunEnd::KeepOpen;
        try {
            end = RunBackup(ctx, ReadChoices(), BackupSourceFolder);
        } catch (const RunStopped&) {
            // The stopped run is the history's last line; the window stays for another try.
            ShowLastBackup();
            throw;
        }
        ShowLastBackup();
        if (end == RunEnd::Exit) {
            EndProgram(0);
        }
    });
}

void BackupWindow::FocusBrowseButton() {
    cmdBackPath->setFocus(Qt::OtherFocusReason);
}

bool BackupWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == txtEmailToSend && event->type() == QEvent::FocusOut) {
        // The address is kept when the person moves on to another control of this window,
        // not when the window closes or another window takes the focus.
        QWidget* next = QApplication::focusWidget();
        if (next != nullptr && next != txtEmailToSend && isAncestorOf(next) && isVisible()) {
            StoreEmailAddress(true);
        }
    }
    return MainWindow::eventFilter(watched, event);
}

}  // namespace vornback
