#include "restore/restore_window.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFocusEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "common/dialogs.h"
#include "common/errors.h"
#include "components/file_system.h"
#include "startup/data_tree.h"
#include "startup/settings.h"

namespace vornback {
namespace {

constexpr int kProgressSteps = 1000;
constexpr qint64 kRepaintMilliseconds = 40;
constexpr int kTypeCount = static_cast<int>(std::size(kRestoreTypes));

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

void NoAutoDefault(QPushButton* button) {
    button->setAutoDefault(false);
    button->setDefault(false);
}

QLabel* MakeLabel(const char* name, const LabelState& design, QWidget* parent) {
    auto* label = new QLabel(Q(design.caption), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setVisible(design.visible);
    return label;
}

void Show(QLabel* label, const LabelState& state) {
    label->setText(Q(state.caption));
    label->setVisible(state.visible);
}

bool IsPlainEnter(const QKeyEvent* key) {
    const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    return plain && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter);
}

}  // namespace

RestoreWindow::RestoreWindow(const ProgramValues& values, const VolumeInfo& volume, FileSystem& fs,
                             Dialogs& dialogs, YearChooser& years, QWidget* parent)
    : QDialog(parent),
      values_(values),
      fs_(fs),
      dialogs_(dialogs),
      years_(years),
      defaultFolder_(DefaultBackupFolder(values.ProgramFolder, volume.root, volume.network)),
      settingsFile_(SettingsFile(values)) {
    setObjectName(QStringLiteral("Restore"));
    BuildControls();
    SetTabOrder();
    ConnectEvents();
}

RestoreWindow::~RestoreWindow() = default;

void RestoreWindow::BuildControls() {
    const RestoreLabels design;
    auto* outer = new QVBoxLayout(this);
    outer->setSizeConstraint(QLayout::SetFixedSize);

    Frame1 = new QGroupBox(QStringLiteral("Data Restore"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    outer->addWidget(Frame1);
    auto* frame = new QVBoxLayout(Frame1);

    // The folder choice: "Default Directory" with the default folder beside it, "Others"
    // with the folder box and its browse button.
    FrmDirSel = new QGroupBox(Frame1);
    FrmDirSel->setObjectName(QStringLiteral("FrmDirSel"));
    auto* folders = new QGridLayout(FrmDirSel);
    optHardDiskRest0 = new QRadioButton(QStringLiteral("Default Directory"), FrmDirSel);
    optHardDiskRest0->setObjectName(QStringLiteral("optHardDiskRest0"));
    optHardDiskRest1 = new QRadioButton(QStringLiteral("Others"), FrmDirSel);
    optHardDiskRest1->setObjectName(QStringLiteral("optHardDiskRest1"));
    optHardDiskRest = new QButtonGroup(this);
    optHardDiskRest->setObjectName(QStringLiteral("optHardDiskRest"));
    optHardDiskRest->addButton(optHardDiskRest0, 0);
    optHardDiskRest->addButton(optHardDiskRest1, 1);
    optHardDiskRest0->setChecked(true);

    lblHDPath = new QLabel(QStringLiteral("&Path"), FrmDirSel);
    lblHDPath->setObjectName(QStringLiteral("lblHDPath"));
    lblHDPath->setTextFormat(Qt::PlainText);
    lblHDPath->setFrameShape(QFrame::StyledPanel);
    lblHDPath->setFrameShadow(QFrame::Sunken);
    lblHDPath->setMinimumWidth(360);
    txtRestPath = new QLineEdit(FrmDirSel);
    txtRestPath->setObjectName(QStringLiteral("txtRestPath"));
    txtRestPath->setMinimumWidth(360);
    cmdRestPath = new QPushButton(QStringLiteral("..."), FrmDirSel);
    cmdRestPath->setObjectName(QStringLiteral("cmdRestPath"));
    cmdRestPath->setFixedWidth(cmdRestPath->fontMetrics().horizontalAdvance(QStringLiteral("...")) +
                               24);
    folders->addWidget(optHardDiskRest0, 0, 0);
    folders->addWidget(lblHDPath, 0, 1, 1, 2);
    folders->addWidget(optHardDiskRest1, 1, 0);
    folders->addWidget(txtRestPath, 1, 1);
    folders->addWidget(cmdRestPath, 1, 2);
    folders->setColumnStretch(1, 1);
    frame->addWidget(FrmDirSel);

    // "Advance Back Type" sits on the top edge of its frame but outside it: the frame
    // disappears with the box unticked, the box itself stays.
    chkAdvSet = new QCheckBox(QStringLiteral("Advance Back Type"), Frame1);
    chkAdvSet->setObjectName(QStringLiteral("chkAdvSet"));
    frame->addWidget(chkAdvSet, 0, Qt::AlignLeft);

    FrmAdvSet = new QGroupBox(Frame1);
    FrmAdvSet->setObjectName(QStringLiteral("FrmAdvSet"));
    FrmAdvSet->hide();
    auto* advanced = new QGridLayout(FrmAdvSet);
    CboRestType = new QComboBox(FrmAdvSet);
    CboRestType->setObjectName(QStringLiteral("CboRestType"));
    cmdSelectPath = new QPushButton(Q(design.cmdSelectPath.caption), FrmAdvSet);
    cmdSelectPath->setObjectName(QStringLiteral("cmdSelectPath"));
    cmdSelectPath->setVisible(design.cmdSelectPath.visible);
    LblTxtTrFNo = MakeLabel("LblTxtTrFNo", design.LblTxtTrFNo, FrmAdvSet);
    LblTxtTrFNo->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    LblTargetFNo = MakeLabel("LblTargetFNo", design.LblTargetFNo, FrmAdvSet);
    LblTxtTrYr = MakeLabel("LblTxtTrYr", design.LblTxtTrYr, FrmAdvSet);
    LblTxtTrYr->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    LblTargetYNo = MakeLabel("LblTargetYNo", design.LblTargetYNo, FrmAdvSet);
    LblFinYr = MakeLabel("LblFinYr", design.LblFinYr, FrmAdvSet);
    QFont bold = LblFinYr->font();
    bold.setBold(true);
    LblFinYr->setFont(bold);
    QPalette darkRed = LblFinYr->palette();
    darkRed.setColor(QPalette::WindowText, QColor(Qt::darkRed));
    LblFinYr->setPalette(darkRed);
    LblPath = MakeLabel("LblPath", design.LblPath, FrmAdvSet);
    LblPath->setWordWrap(true);
    // Row 0: the type, its button and the firm; row 1: the year number at the right;
    // row 2: the archive path and the year's period.
    advanced->addWidget(CboRestType, 0, 0);
    advanced->addWidget(cmdSelectPath, 0, 1);
    advanced->addWidget(LblTxtTrFNo, 0, 2);
    advanced->addWidget(LblTargetFNo, 0, 3);
    advanced->addWidget(LblTxtTrYr, 1, 2);
    advanced->addWidget(LblTargetYNo, 1, 3);
    advanced->addWidget(LblPath, 2, 0, 1, 2);
    advanced->addWidget(LblFinYr, 2, 2, 1, 2);
    advanced->setColumnStretch(2, 1);
    frame->addWidget(FrmAdvSet);

    // The busy area takes the place of the two buttons while a run works.
    Animation1 = new QFrame(Frame1);
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

    cmdOk = new QPushButton(QStringLiteral("&Restore"), Frame1);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    cmdClose = new QPushButton(QStringLiteral("&Close"), Frame1);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    // Enter moves the focus on; no button may take it as its own press as well.
    NoAutoDefault(cmdOk);
    NoAutoDefault(cmdClose);
    NoAutoDefault(cmdRestPath);
    NoAutoDefault(cmdSelectPath);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Animation1, 1);
    buttons->addStretch(0);
    buttons->addWidget(cmdOk);
    buttons->addWidget(cmdClose);
    frame->addLayout(buttons);
}

void RestoreWindow::SetTabOrder() {
    QWidget* const order[] = {optHardDiskRest0, optHardDiskRest1, txtRestPath,   cmdRestPath,
                              chkAdvSet,        CboRestType,      cmdSelectPath, cmdOk,
                              cmdClose};
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
    // With its list open, the type list's keys go to the list.
    CboRestType->view()->installEventFilter(this);
}

void RestoreWindow::ConnectEvents() {
    connect(optHardDiskRest, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked) {
            OnHardDiskClicked(id);
        }
        FixOptionTabStops();
    });
    connect(chkAdvSet, &QCheckBox::toggled, this, [this](bool) { OnAdvSetChanged(); });
    // A pick of the same type again counts too: it puts the select button back to its start.
    connect(CboRestType, &QComboBox::activated, this, [this](int) { OnRestTypePicked(); });
    connect(cmdRestPath, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(cmdSelectPath, &QPushButton::clicked, this, [this] { OnSelectPath(); });
    connect(cmdOk, &QPushButton::clicked, this, [this] { OnRestore(); });
    connect(cmdClose, &QPushButton::clicked, this, [this] { close(); });
}

void RestoreWindow::Load() {
    for (const char* type : kRestoreTypes) {
        CboRestType->addItem(QString::fromLatin1(type));
    }
    // The program writes -1 (nothing chosen) to 3. A damaged file must not stop the window,
    // so any other number reads as a missing key: "Full Firm".
    int restType = NumericSetting(ReadSetting("Rest", "RestType", settingsFile_));
    if (restType < -1 || restType >= kTypeCount) {
        restType = 0;
    }
    CboRestType->setCurrentIndex(restType);

    // Only 1 ticks the box; every other value leaves it unticked.
    chkAdvSet->setChecked(NumericSetting(ReadSetting("Rest", "AdvSet", settingsFile_)) == 1);
    OnAdvSetChanged();

    OnRestTypePicked();
}

void RestoreWindow::FillForm(const std::string& StrPathStr) {
    settingUp_ = true;
    if (!loaded_) {
        Load();
        loaded_ = true;
    }
    setWindowTitle(QStringLiteral("Restore For Firm No.") + QString::number(values_.CurrentFirmNo));
    txtRestPath->setText(Q(StrPathStr));
    // The window opens on the default folder every time, whatever was used last.
    optHardDiskRest0->setChecked(true);
    OnHardDiskClicked(0);
    FixOptionTabStops();
    optHardDiskRest0->setFocus(Qt::OtherFocusReason);
    settingUp_ = false;
}

int RestoreWindow::ShowForm(const std::string& StrPathStr) {
    FillForm(StrPathStr);
    exec();
    return exitCode_;
}

void RestoreWindow::OnHardDiskClicked(int index) {
    if (index == 0) {
        cmdRestPath->hide();
        txtRestPath->hide();
        lblHDPath->show();
        lblHDPath->setText(Q(defaultFolder_));
    } else {
        cmdRestPath->show();
        txtRestPath->show();
        lblHDPath->hide();
    }
}

void RestoreWindow::OnAdvSetChanged() {
    FrmAdvSet->setVisible(chkAdvSet->isChecked());
}

void RestoreWindow::OnRestTypePicked() {
    ShowHideLbl(state_, CboRestType->currentIndex(), values_.CurrentFirmNo);
    ShowLabels();
}

void RestoreWindow::FixOptionTabStops() {
    const QList<QAbstractButton*> options = optHardDiskRest->buttons();
    QAbstractButton* stop = optHardDiskRest->checkedButton();
    if (stop == nullptr && !options.isEmpty()) {
        stop = options.first();
    }
    for (QAbstractButton* b : options) {
        b->setFocusPolicy(b == stop ? Qt::StrongFocus : Qt::ClickFocus);
    }
}

void RestoreWindow::ShowLabels() {
    const RestoreLabels& l = state_.labels;
    Show(LblTxtTrFNo, l.LblTxtTrFNo);
    Show(LblTargetFNo, l.LblTargetFNo);
    Show(LblTxtTrYr, l.LblTxtTrYr);
    Show(LblTargetYNo, l.LblTargetYNo);
    Show(LblFinYr, l.LblFinYr);
    Show(LblPath, l.LblPath);
    cmdSelectPath->setText(Q(l.cmdSelectPath.caption));
    cmdSelectPath->setVisible(l.cmdSelectPath.visible);
    FrmDirSel->setEnabled(l.FrmDirSelEnabled);
}

void RestoreWindow::OnBrowse() {
    Guarded([this] {
        const std::string chosen = dialogs_.BrowseForFolder(
            txtRestPath->text().toStdString(), "Please Select Folder, Where From Restore Backup");
        if (!chosen.empty()) {
            txtRestPath->setText(Q(chosen));
        }
    });
}

RestoreChoices RestoreWindow::ReadChoices() const {
    RestoreChoices c;
    c.hardDiskIndex = optHardDiskRest->checkedId();
    c.lblHDPath = lblHDPath->text().toStdString();
    c.txtRestPath = txtRestPath->text().toStdString();
    c.restTypeIndex = CboRestType->currentIndex();
    c.chkAdvSet = chkAdvSet->isChecked() ? 1 : 0;
    return c;
}

RestoreContext RestoreWindow::Context() {
    return RestoreContext{values_, fs_, dialogs_, years_, *this, state_};
}

void RestoreWindow::OnSelectPath() {
    if (running_ || busy_) {
        return;
    }
    running_ = true;
    Guarded([this] {
        RestoreContext ctx = Context();
        SelectPathClick(ctx, ReadChoices());
        ShowLabels();
    });
    running_ = false;
}

void RestoreWindow::OnRestore() {
    if (running_ || busy_) {
        return;
    }
    running_ = true;
    Guarded([this] {
        RestoreContext ctx = Context();
        const RestoreEnd end = RunRestore(ctx, ReadChoices());
        if (end == RestoreEnd::Exit) {
            EndProgram(0);
        } else {
            ShowLabels();
        }
    });
    running_ = false;
}

template <typename Handler>
void RestoreWindow::Guarded(Handler&& handler) {
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

void RestoreWindow::EndProgram(int exitCode) {
    exitCode_ = exitCode;
    busy_ = false;
    done(exitCode);
}

void RestoreWindow::BusyOn() {
    busy_ = true;
    okHadFocus_ = cmdOk->hasFocus();
    cmdClose->hide();
    cmdOk->hide();
    progressBar->setValue(0);
    lblProgress->clear();
    // Qt Widgets has no player for the clip; a running bar stands in for it when the clip
    // is installed, and without it the busy area shows only the progress.
    clipBar->setVisible(fs_.FileExists(ClipFile(values_)));
    Animation1->show();
    Repaint(true);
}

void RestoreWindow::BusyOff() {
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

void RestoreWindow::FocusBrowseButton() {
    // The run may ask for this while busy; the focus must not go back to "&Restore" after.
    okHadFocus_ = false;
    cmdRestPath->setFocus(Qt::OtherFocusReason);
}

void RestoreWindow::ShowProgress(const ArchiveProgress& progress) {
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

void RestoreWindow::Repaint(bool force) {
    if (!force && lastRepaint_.isValid() && lastRepaint_.elapsed() < kRepaintMilliseconds) {
        return;
    }
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    lastRepaint_.start();
}

void RestoreWindow::reject() {
    // Esc and "&Close" lead here; neither may end a run halfway.
    if (busy_) {
        return;
    }
    QDialog::reject();
}

void RestoreWindow::closeEvent(QCloseEvent* event) {
    if (busy_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

bool RestoreWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && IsPlainEnter(static_cast<QKeyEvent*>(event))) {
        if (watched == CboRestType->view()) {
            // The open list takes the Enter as the pick and closes; the focus then moves on
            // from the type list, once it has it back.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (CboRestType->hasFocus()) {
                        focusNextChild();
                    }
                },
                Qt::QueuedConnection);
        } else {
            focusNextChild();
        }
        // The key itself goes on to the control as well.
        return false;
    }
    if (watched == CboRestType && event->type() == QEvent::FocusIn) {
        // Arriving at the type list opens it, as long as the person arrives there by the
        // keyboard or from code: a click opens it anyway, and the focus coming back from
        // the open list or from another window must not open it again.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        const bool arrived = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
                             reason == Qt::ShortcutFocusReason || reason == Qt::OtherFocusReason;
        if (arrived && !settingUp_ && isVisible()) {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (CboRestType->hasFocus() && CboRestType->isVisible() && !busy_) {
                        CboRestType->showPopup();
                    }
                },
                Qt::QueuedConnection);
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace vornback
