#include "backup/backup_window.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <utility>

#include "common/dialogs.h"
#include "common/errors.h"
#include "components/file_system.h"
#include "startup/data_tree.h"
#include "startup/settings.h"

namespace vornback {
namespace {

constexpr int kProgressSteps = 1000;
constexpr qint64 kRepaintMilliseconds = 40;

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

int CheckValue(const QCheckBox* box) {
    return box->isChecked() ? 1 : 0;
}

void NoAutoDefault(QPushButton* button) {
    button->setAutoDefault(false);
    button->setDefault(false);
}

}  // namespace

BackupWindow::BackupWindow(const ProgramValues& values, const VolumeInfo& volume, FileSystem& fs,
                           Dialogs& dialogs, Clock& clock, MailTransport& mail,
                           std::string decimalSeparator, QWidget* parent)
    : QDialog(parent),
      values_(values),
      fs_(fs),
      dialogs_(dialogs),
      clock_(clock),
      mail_(mail),
      decimalSeparator_(std::move(decimalSeparator)),
      defaultFolder_(DefaultBackupFolder(values.ProgramFolder, volume.root, volume.network)),
      settingsFile_(SettingsFile(values)) {
    setObjectName(QStringLiteral("Backup"));
    BuildControls();
    SetTabOrder();
    ConnectEvents();
}

BackupWindow::~BackupWindow() = default;

void BackupWindow::BuildControls() {
    auto* outer = new QVBoxLayout(this);
    outer->setSizeConstraint(QLayout::SetFixedSize);

    FrmBackup = new QGroupBox(QStringLiteral("Data Backup"), this);
    FrmBackup->setObjectName(QStringLiteral("FrmBackup"));
    outer->addWidget(FrmBackup);
    auto* frame = new QVBoxLayout(FrmBackup);

    optHardDiskBack0 = new QRadioButton(QStringLiteral("Default Directory"), FrmBackup);
    optHardDiskBack0->setObjectName(QStringLiteral("optHardDiskBack0"));
    optHardDiskBack1 = new QRadioButton(QStringLiteral("Others"), FrmBackup);
    optHardDiskBack1->setObjectName(QStringLiteral("optHardDiskBack1"));
    optHardDiskBack = new QButtonGroup(this);
    optHardDiskBack->setObjectName(QStringLiteral("optHardDiskBack"));
    optHardDiskBack->addButton(optHardDiskBack0, 0);
    optHardDiskBack->addButton(optHardDiskBack1, 1);
    auto* folderChoice = new QHBoxLayout;
    folderChoice->addWidget(optHardDiskBack0);
    folderChoice->addWidget(optHardDiskBack1);
    folderChoice->addStretch(1);
    frame->addLayout(folderChoice);

    lblHDPath = new QLabel(QStringLiteral("&Path"), FrmBackup);
    lblHDPath->setObjectName(QStringLiteral("lblHDPath"));
    lblHDPath->setTextFormat(Qt::PlainText);
    lblHDPath->setFrameShape(QFrame::StyledPanel);
    lblHDPath->setFrameShadow(QFrame::Sunken);
    txtBackPath = new QLineEdit(FrmBackup);
    txtBackPath->setObjectName(QStringLiteral("txtBackPath"));
    // Room for a path of some length, whichever of the two folder controls shows.
    txtBackPath->setMinimumWidth(360);
    lblHDPath->setMinimumWidth(360);
    cmdBackPath = new QPushButton(QStringLiteral("..."), FrmBackup);
    cmdBackPath->setObjectName(QStringLiteral("cmdBackPath"));
    cmdBackPath->setFixedWidth(cmdBackPath->fontMetrics().horizontalAdvance(QStringLiteral("...")) +
                               24);
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(lblHDPath, 1);
    folderRow->addWidget(txtBackPath, 1);
    folderRow->addWidget(cmdBackPath);
    frame->addLayout(folderRow);

    chkSendEmail = new QCheckBox(QStringLiteral("Send Email"), FrmBackup);
    chkSendEmail->setObjectName(QStringLiteral("chkSendEmail"));
    txtEmailToSend = new QLineEdit(FrmBackup);
    txtEmailToSend->setObjectName(QStringLiteral("txtEmailToSend"));
    txtEmailToSend->hide();
    auto* mailRow = new QHBoxLayout;
    mailRow->addWidget(chkSendEmail);
    mailRow->addWidget(txtEmailToSend, 1);
    mailRow->addStretch(0);
    frame->addLayout(mailRow);

    chkAdvSet = new QCheckBox(QStringLiteral("Advance Back Type"), FrmBackup);
    chkAdvSet->setObjectName(QStringLiteral("chkAdvSet"));
    frame->addWidget(chkAdvSet, 0, Qt::AlignLeft);

    frmAdvBackType = new QGroupBox(QStringLiteral("Advance "), FrmBackup);
    frmAdvBackType->setObjectName(QStringLiteral("frmAdvBackType"));
    frmAdvBackType->hide();
    auto* advanced = new QVBoxLayout(frmAdvBackType);
    ChkCurYr = new QCheckBox(QStringLiteral("Only Current Year"), frmAdvBackType);
    ChkCurYr->setObjectName(QStringLiteral("ChkCurYr"));
    ChkIncAtcDoc = new QCheckBox(QStringLiteral("Include Image Folder"), frmAdvBackType);
    ChkIncAtcDoc->setObjectName(QStringLiteral("ChkIncAtcDoc"));
    auto* options = new QHBoxLayout;
    options->addWidget(ChkCurYr);
    options->addWidget(ChkIncAtcDoc);
    options->addStretch(1);
    advanced->addLayout(options);
    optBackType0 = new QRadioButton(QStringLiteral("Single"), frmAdvBackType);
    optBackType0->setObjectName(QStringLiteral("optBackType0"));
    optBackType1 = new QRadioButton(QStringLiteral("Date wise"), frmAdvBackType);
    optBackType1->setObjectName(QStringLiteral("optBackType1"));
    optBackType2 = new QRadioButton(QStringLiteral("Day wise"), frmAdvBackType);
    optBackType2->setObjectName(QStringLiteral("optBackType2"));
    optBackType = new QButtonGroup(this);
    optBackType->setObjectName(QStringLiteral("optBackType"));
    optBackType->addButton(optBackType0, 0);
    optBackType->addButton(optBackType1, 1);
    optBackType->addButton(optBackType2, 2);
    auto* types = new QHBoxLayout;
    types->addWidget(optBackType0);
    types->addWidget(optBackType1);
    types->addWidget(optBackType2);
    types->addStretch(1);
    advanced->addLayout(types);
    frame->addWidget(frmAdvBackType);

    // The busy area takes the place of the two buttons while a run works.
    Animation1 = new QFrame(FrmBackup);
    Animation1->setObjectName(QStringLiteral("Animation1"));
    Animation1->hide();
    auto* busy = new QVBoxLayout(Animation1);
    busy->setContentsMargins(0, 0, 0, 0);
    clipBar = new QProgressBar(Animation1);
    clipBar->setObjectName(QStringLiteral("clipBar"));
    clipBar->setRange(0, 0);  // no end: it keeps running while the run works
    clipBar->setTextVisible(false);
    clipBar->setMaximumHeight(8);
    clipBar->hide();
    progressBar = new QProgressBar(Animation1);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, kProgressSteps);
    progressBar->setValue(0);
    lblProgress = new QLabel(Animation1);
    lblProgress->setObjectName(QStringLiteral("lblProgress"));
    lblProgress->setTextFormat(Qt::PlainText);
    busy->addWidget(clipBar);
    busy->addWidget(progressBar);
    busy->addWidget(lblProgress);

    cmdOk = new QPushButton(QStringLiteral("&Backup"), FrmBackup);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    cmdClose = new QPushButton(QStringLiteral("&Close"), FrmBackup);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    // Enter moves the focus on; no button may take it as its own press as well.
    NoAutoDefault(cmdOk);
    NoAutoDefault(cmdClose);
    NoAutoDefault(cmdBackPath);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Animation1, 1);
    buttons->addStretch(0);
    buttons->addWidget(cmdOk);
    buttons->addWidget(cmdClose);
    frame->addLayout(buttons);
}

void BackupWindow::SetTabOrder() {
    QWidget* const order[] = {optHardDiskBack0, optHardDiskBack1, txtBackPath, cmdBackPath,
                              chkSendEmail,     txtEmailToSend,   chkAdvSet,   optBackType0,
                              optBackType1,     optBackType2,     cmdOk,       cmdClose,
                              ChkIncAtcDoc,     ChkCurYr};
    QWidget* previous = nullptr;
    for (QWidget* w : order) {
        if (previous != nullptr) {
            setTabOrder(previous, w);
        }
        previous = w;
        // Only the controls watch for Enter, not their containers: a key that a control
        // ignores travels up to them and must not move the focus a second time.
        w->installEventFilter(this);
    }
}

void BackupWindow::ConnectEvents() {
    connect(optHardDiskBack, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked) {
            OnHardDiskClicked(id);
        }
        FixOptionTabStops();
    });
    connect(optBackType, &QButtonGroup::idToggled, this,
            [this](int, bool) { FixOptionTabStops(); });
    connect(chkAdvSet, &QCheckBox::toggled, this, [this](bool) { OnAdvSetChanged(); });
    connect(ChkCurYr, &QCheckBox::toggled, this, [this](bool) { OnCurYrChanged(); });
    connect(chkSendEmail, &QCheckBox::toggled, this, [this](bool) { OnSendEmailChanged(); });
    connect(cmdBackPath, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(cmdOk, &QPushButton::clicked, this, [this] { OnBackup(); });
    connect(cmdClose, &QPushButton::clicked, this, [this] { close(); });
}

void BackupWindow::FillForm(const std::string& StrPathStr) {
    setWindowTitle(QStringLiteral("Backup For Firm No.") + QString::number(values_.CurrentFirmNo));
    FrmBackup->setVisible(true);
    txtBackPath->setText(Q(StrPathStr));

    optHardDiskBack0->setChecked(true);
    OnHardDiskClicked(0);

    // The program never writes another index; a damaged file must not stop the window, so
    // an unknown index reads as a missing key.
    const int backType = NumericSetting(ReadSetting("Back", "BackType", settingsFile_));
    QAbstractButton* type = optBackType->button(backType);
    (type != nullptr ? type : optBackType0)->setChecked(true);

    ChkCurYr->setChecked(NumericSetting(ReadSetting("Back", "CurYr", settingsFile_)) == 1);
    if (ChkCurYr->isChecked()) {
        ChkIncAtcDoc->setChecked(false);
        ChkIncAtcDoc->setEnabled(false);
    } else {
        ChkIncAtcDoc->setChecked(NumericSetting(ReadSetting("Back", "IncAtcDoc", settingsFile_)) ==
                                 1);
        ChkIncAtcDoc->setEnabled(true);
    }

    chkAdvSet->setChecked(NumericSetting(ReadSetting("Back", "AdvSet", settingsFile_)) == 1);
    OnAdvSetChanged();

    txtEmailToSend->setText(Q(ReadSetting("Back", "SendEMailAdd", settingsFile_)));
    OnSendEmailChanged();

    FixOptionTabStops();
    optHardDiskBack0->setFocus(Qt::OtherFocusReason);
}

int BackupWindow::ShowForm(const std::string& StrPathStr) {
    FillForm(StrPathStr);
    exec();
    return exitCode_;
}

void BackupWindow::OnHardDiskClicked(int index) {
    if (index == 0) {
        cmdBackPath->hide();
        txtBackPath->hide();
        lblHDPath->show();
        lblHDPath->setText(Q(defaultFolder_));
    } else {
        cmdBackPath->show();
        txtBackPath->show();
        lblHDPath->hide();
    }
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
    for (QButtonGroup* group : {optHardDiskBack, optBackType}) {
        const QList<QAbstractButton*> buttons = group->buttons();
        QAbstractButton* stop = group->checkedButton();
        if (stop == nullptr && !buttons.isEmpty()) {
            stop = buttons.first();
        }
        for (QAbstractButton* b : buttons) {
            b->setFocusPolicy(b == stop ? Qt::StrongFocus : Qt::ClickFocus);
        }
    }
}

void BackupWindow::OnBrowse() {
    Guarded([this] {
        const std::string chosen = dialogs_.BrowseForFolder(
            txtBackPath->text().toStdString(), "Please Select Folder, Where You Put Your Backup");
        if (!chosen.empty()) {
            txtBackPath->setText(Q(chosen));
        }
    });
}

void BackupWindow::StoreEmailAddress() {
    WriteSetting("Back", "SendEMailAdd", txtEmailToSend->text().toStdString(), settingsFile_);
}

BackupChoices BackupWindow::ReadChoices() const {
    BackupChoices c;
    c.hardDiskIndex = optHardDiskBack->checkedId();
    c.lblHDPath = lblHDPath->text().toStdString();
    c.txtBackPath = txtBackPath->text().toStdString();
    c.backTypeIndex = optBackType->checkedId();
    c.chkAdvSet = CheckValue(chkAdvSet);
    c.ChkIncAtcDoc = CheckValue(ChkIncAtcDoc);
    c.ChkCurYr = CheckValue(ChkCurYr);
    c.chkSendEmail = CheckValue(chkSendEmail);
    c.txtEmailToSend = txtEmailToSend->text().toStdString();
    return c;
}

void BackupWindow::OnBackup() {
    if (running_ || busy_) {
        return;
    }
    running_ = true;
    Guarded([this] {
        // Pressed while the address box still had the focus (a click from code, or a key
        // that did not move the focus): the address counts as left.
        if (txtEmailToSend->hasFocus()) {
            StoreEmailAddress();
        }
        BackupContext ctx{values_, fs_, dialogs_, clock_, mail_, *this, decimalSeparator_};
        const RunEnd end = RunBackup(ctx, ReadChoices(), BackupSourceFolder);
        if (end == RunEnd::Exit) {
            EndProgram(0);
        }
    });
    running_ = false;
}

template <typename Handler>
void BackupWindow::Guarded(Handler&& handler) {
    try {
        handler();
    } catch (const ProgramEnd& end) {
        EndProgram(end.ExitCode());
    } catch (const std::exception& e) {
        if (busy_) {
            BusyOff();
        }
        dialogs_.Show(Message{e.what(), kProgramTitle, Buttons::Ok, Icon::Critical});
        EndProgram(1);
    } catch (...) {
        if (busy_) {
            BusyOff();
        }
        dialogs_.Show(Message{"The program met an unknown failure and ends.", kProgramTitle,
                              Buttons::Ok, Icon::Critical});
        EndProgram(1);
    }
}

void BackupWindow::EndProgram(int exitCode) {
    exitCode_ = exitCode;
    busy_ = false;
    done(exitCode);
}

void BackupWindow::BusyOn() {
    busy_ = true;
    okHadFocus_ = cmdOk->hasFocus();
    cmdClose->hide();
    cmdOk->hide();
    progressBar->setValue(0);
    lblProgress->clear();
    // Qt Widgets has no player for the clip; a running bar stands in for it when the clip
    // is installed, and without it the busy area shows only the progress, as before.
    clipBar->setVisible(fs_.FileExists(ClipFile(values_)));
    Animation1->show();
    Repaint(true);
}

void BackupWindow::BusyOff() {
    Animation1->hide();
    clipBar->hide();
    cmdOk->show();
    cmdClose->show();
    busy_ = false;
    if (okHadFocus_) {
        cmdOk->setFocus(Qt::OtherFocusReason);
        okHadFocus_ = false;
    }
}

void BackupWindow::FocusBrowseButton() {
    cmdBackPath->setFocus(Qt::OtherFocusReason);
}

void BackupWindow::ShowProgress(const ArchiveProgress& progress) {
    int value = 0;
    if (progress.bytesTotal > 0) {
        value = static_cast<int>(progress.bytesDone * kProgressSteps / progress.bytesTotal);
    } else if (progress.filesTotal > 0) {
        value = static_cast<int>(progress.filesDone * kProgressSteps / progress.filesTotal);
    }
    progressBar->setValue(std::min(value, kProgressSteps));
    lblProgress->setText(QStringLiteral("%1 of %2 files  %3")
                             .arg(progress.filesDone)
                             .arg(progress.filesTotal)
                             .arg(Q(progress.currentName)));
    Repaint(progress.filesDone == progress.filesTotal);
}

void BackupWindow::KeepAlive() {
    Repaint(false);
}

void BackupWindow::Repaint(bool force) {
    if (!force && lastRepaint_.isValid() && lastRepaint_.elapsed() < kRepaintMilliseconds) {
        return;
    }
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    lastRepaint_.start();
}

void BackupWindow::reject() {
    // Esc and "&Close" lead here; neither may end a run halfway.
    if (busy_) {
        return;
    }
    QDialog::reject();
}

void BackupWindow::closeEvent(QCloseEvent* event) {
    if (busy_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

bool BackupWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (plain && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
            focusNextChild();
        }
        // The key itself goes on to the control as well.
        return false;
    }
    if (watched == txtEmailToSend && event->type() == QEvent::FocusOut) {
        // The address is kept when the person moves on to another control of this window,
        // not when the window closes or another window takes the focus.
        QWidget* next = QApplication::focusWidget();
        if (next != nullptr && next != txtEmailToSend && isAncestorOf(next) && isVisible()) {
            StoreEmailAddress();
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace vornback
