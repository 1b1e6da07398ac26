#include "gui/restore_window.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <ctime>
#include <functional>
#include <tuple>
#include <utility>

#include "base/dialogs.h"
#include "base/text.h"
#include "drill/drill.h"
#include "gui/choice_list.h"
#include "gui/elided_label.h"
#include "gui/restore_captions.h"

namespace vornback {
namespace {

constexpr int kTypeCount = static_cast<int>(std::size(kRestoreTypes));

// A hidden label holds no text: a screen reader walks hidden labels too, and would read
// the design's placeholders ("XX", "0") or a caption that is not shown.
QString Shown(const Caption& caption) {
    return caption.visible ? QString::fromStdString(caption.text) : QString();
}

void Show(QLabel* label, const Caption& caption) {
    label->setText(Shown(caption));
    label->setVisible(caption.visible);
}

QLabel* MakeLabel(const char* name, const Caption& design, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    Show(label, design);
    return label;
}

// The window's dialogs, with the file dialog starting in the folder the window shows for
// as long as it has no file of its own to start on.
class StartInShownFolder : public Dialogs {
  public:
    StartInShownFolder(Dialogs& inner, std::function<std::string()> folder)
        : inner_(inner), folder_(std::move(folder)) {}
    Answer Show(const Message& message) override { return inner_.Show(message); }
    std::string BrowseForFolder(const std::string& initialFolder,
                                const std::string& title) override {
        return inner_.BrowseForFolder(initialFolder, title);
    }
    std::string OpenFile(const std::string& title, const std::string& filter,
                         const std::string& initialFile) override {
        return inner_.OpenFile(title, filter, initialFile.empty() ? folder_() : initialFile);
    }

  private:
    Dialogs& inner_;
    std::function<std::string()> folder_;
};

}  // namespace

RestoreWindow::RestoreWindow(const ProgramValues& values, const std::string& defaultFolder,
                             FileSystem& fs, Dialogs& dialogs, YearChooser& years, QWidget* parent)
    : MainWindow(values, defaultFolder, fs, dialogs, parent),
      years_(years),
      runDialogs_(std::make_unique<StartInShownFolder>(dialogs, [this] { return ShownFolder(); })) {
    Assemble("Restore");
}

RestoreWindow::~RestoreWindow() = default;

void RestoreWindow::BuildControls(QVBoxLayout* outer) {
    const RestoreCaptions design = CaptionsOf(RestoreState{});

    Frame1 = Named<QGroupBox>("Frame1", QStringLiteral("Data Restore"), this);
    outer->addWidget(Frame1);
    auto* frame = new QVBoxLayout(Frame1);

    // The folder choice: "Default Directory" with the default folder beside it, "Others"
    // with the folder box and its browse button.
    FrmDirSel = Named<QGroupBox>("FrmDirSel", Frame1);
    auto* folders = new QGridLayout(FrmDirSel);
    // Narrow enough for a 1024x768 screen at scale factor 2.
    std::tie(optHardDiskRest0, optHardDiskRest1, optHardDiskRest, lblHDPath, txtRestPath,
             cmdRestPath) =
        BuildFolderChoice(FrmDirSel, 200, "optHardDiskRest", "txtRestPath", "cmdRestPath");
    optHardDiskRest0->setChecked(true);
    folders->addWidget(optHardDiskRest0, 0, 0);
    folders->addWidget(lblHDPath, 0, 1, 1, 2);
    folders->addWidget(optHardDiskRest1, 1, 0);
    folders->addWidget(txtRestPath, 1, 1);
    folders->addWidget(cmdRestPath, 1, 2);
    // The restore drill proves the archive restorable without touching the live data.
    cmdDrill = Named<QPushButton>("cmdDrill", QStringLiteral("Restore drill"), FrmDirSel);
    folders->addWidget(cmdDrill, 1, 3);
    folders->setColumnStretch(1, 1);
    frame->addWidget(FrmDirSel);

    // "Advance Back Type" sits on the top edge of its frame but outside it: the frame
    // disappears with the box unticked, the box itself stays.
    chkAdvSet = Named<QCheckBox>("chkAdvSet", QStringLiteral("Advance Back Type"), Frame1);
    frame->addWidget(chkAdvSet, 0, Qt::AlignLeft);

    FrmAdvSet = Named<QGroupBox>("FrmAdvSet", Frame1);
    FrmAdvSet->hide();
    auto* advanced = new QGridLayout(FrmAdvSet);
    CboRestType = Named<ChoiceList>("CboRestType", FrmAdvSet);
    cmdSelectPath = Named<QPushButton>("cmdSelectPath", Q(design.cmdSelectPath.text), FrmAdvSet);
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
    LblPath = Named<ElidedLabel>("LblPath", 360, FrmAdvSet);
    LblPath->SetFullText(Shown(design.LblPath));
    LblPath->setVisible(design.LblPath.visible);
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
    QHBoxLayout* buttons = BuildButtonRow(Frame1, QStringLiteral("&Restore"));
    NoAutoDefault(cmdRestPath);
    NoAutoDefault(cmdDrill);
    NoAutoDefault(cmdSelectPath);
    frame->addLayout(buttons);
    BuildNoteLine(outer);
}

void RestoreWindow::NameControls() {
    Speak(Frame1, "Data Restore", "Where the backup comes from and how it is restored");
    Speak(FrmDirSel, "Restore folder choice", "The folder that holds the backup");
    Speak(optHardDiskRest0, "Default Directory", "Restore from the default folder");
    Speak(optHardDiskRest1, "Others", "Restore from a folder of your choice");
    // The folder itself is the line's name (ElidedLabel); the description says what it is.
    lblHDPath->setAccessibleDescription(QStringLiteral("The default restore folder"));
    Speak(txtRestPath, "Restore folder", "The folder that holds the backup");
    Speak(cmdRestPath, "Browse for the restore folder", "Choose the folder that holds the backup");
    Speak(cmdDrill, "Restore drill",
          "Prove the backup restorable in a scratch folder, without changing the data");
    Speak(chkAdvSet, "Advance Back Type", "Show the restore types");
    Speak(FrmAdvSet, "Restore type options", "The restore type and what it restores");
    Speak(CboRestType, "Restore type", "Full Firm, Selected Year, Add Firm or Add Year");
    // The select button's name follows its caption ("Select Year", "Select Firm").
    cmdSelectPath->setAccessibleDescription(
        QStringLiteral("Choose the year or the backup file for the restore type"));
    // The labels keep their text as what is spoken; the description says what it is.
    LblTargetFNo->setAccessibleDescription(QStringLiteral("Firm number"));
    LblTargetYNo->setAccessibleDescription(QStringLiteral("Year number"));
    LblFinYr->setAccessibleDescription(QStringLiteral("The year's first and last day"));
    LblPath->setAccessibleDescription(QStringLiteral("The chosen backup file"));
    Speak(cmdOk, "Restore", "Start the restore");
    Speak(cmdClose, "Close", "Close the window and end the program");
}

std::string RestoreWindow::ShownFolder() {
    std::string folder = txtRestPath->text().toStdString();
    if (optHardDiskRest->checkedId() == 0 || TrimBlanks(folder).empty()) {
        folder = DefaultFolder();
    }
    return NearestExistingFolder(folder);
}

void RestoreWindow::ShowTargetNote() {
    const std::optional<YearRow>& target = state_.targetYear;
    if (!targetNote_ || CboRestType->currentIndex() != 1 || !target) {
        SetNote("");
        return;
    }
    std::string note = "Year " + std::to_string(target->Col99) + " of firm " +
                       std::to_string(values_.CurrentFirmNo) + " (" + DisplayDate(target->Col98) +
                       " to " + DisplayDate(target->Col97) + ") will be overwritten";
    if (!state_.SelectedArchivePath.empty() && cmdSelectPath->isHidden()) {
        note += " from the archive " + state_.SelectedArchivePath;
    }
    SetNote(note + ".");
}

void RestoreWindow::SetTabOrder() {
    // The drill's button comes last, so that the window's own order stays as it was.
    ChainTabOrder({optHardDiskRest0, optHardDiskRest1, txtRestPath, cmdRestPath, chkAdvSet,
                   CboRestType, cmdSelectPath, cmdOk, cmdClose, cmdDrill});
    // With its list open, the type list's keys go to the list.
    CboRestType->view()->installEventFilter(this);
}

void RestoreWindow::ConnectEvents() {
    connect(chkAdvSet, &QCheckBox::toggled, this, [this](bool) { OnAdvSetChanged(); });
    // A pick of the same type again counts too: it puts the select button back to its start.
    connect(CboRestType, &QComboBox::activated, this, [this](int) { OnRestTypePicked(); });
    connect(cmdRestPath, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(cmdDrill, &QPushButton::clicked, this, [this] { OnDrill(); });
    connect(cmdSelectPath, &QPushButton::clicked, this, [this] { OnSelectPath(); });
    connect(cmdOk, &QPushButton::clicked, this, [this] { OnRestore(); });
}

void RestoreWindow::Load(const RestoreWindowSettings& stored) {
    for (const char* type : kRestoreTypes) {
        CboRestType->addItem(QString::fromLatin1(type));
    }
    // The program writes -1 (nothing chosen) to 3. A damaged file must not stop the window,
    // so any other number reads as a missing key: "Full Firm".
    int restType = stored.RestType;
    if (restType < -1 || restType >= kTypeCount) {
        restType = 0;
    }
    CboRestType->setCurrentIndex(restType);

    // Only 1 ticks the box; every other value leaves it unticked.
    chkAdvSet->setChecked(stored.AdvSet == 1);
    OnAdvSetChanged();

    OnRestTypePicked();
}

int RestoreWindow::ShowForm(const std::string& StrPathStr, const RestoreWindowSettings& stored) {
    FillForm(StrPathStr, stored);
    return RunModal();
}

void RestoreWindow::FillForm(const std::string& StrPathStr, const RestoreWindowSettings& stored) {
    settingUp_ = true;
    if (!loaded_) {
        Load(stored);
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

void RestoreWindow::OnHardDiskClicked(int index) {
    ShowFolderChoice(index, lblHDPath, txtRestPath, cmdRestPath);
}

void RestoreWindow::OnAdvSetChanged() {
    FrmAdvSet->setVisible(chkAdvSet->isChecked());
}

void RestoreWindow::OnRestTypePicked() {
    ShowHideLbl(state_, RestoreTypeAt(CboRestType->currentIndex()), values_.CurrentFirmNo);
    ShowLabels();
    targetNote_ = false;
    ShowTargetNote();
}

void RestoreWindow::FixOptionTabStops() {
    TabStopOnSelectedOption(optHardDiskRest);
}

void RestoreWindow::ShowLabels() {
    const RestoreCaptions l = CaptionsOf(state_);
    Show(LblTxtTrFNo, l.LblTxtTrFNo);
    Show(LblTargetFNo, l.LblTargetFNo);
    Show(LblTxtTrYr, l.LblTxtTrYr);
    Show(LblTargetYNo, l.LblTargetYNo);
    Show(LblFinYr, l.LblFinYr);
    LblPath->SetFullText(Shown(l.LblPath));
    LblPath->setVisible(l.LblPath.visible);
    cmdSelectPath->setText(Q(l.cmdSelectPath.text));
    cmdSelectPath->setVisible(l.cmdSelectPath.visible);
    FrmDirSel->setEnabled(l.FrmDirSelEnabled);
}

void RestoreWindow::OnBrowse() {
    BrowseInto(txtRestPath, "Please Select Folder, Where From Restore Backup");
}

void RestoreWindow::OnDrill() {
    GuardedRun([this] {
        // The archive a select step chose, else the firm's newest archive in the folder.
        std::string archive = state_.SelectedArchivePath;
        const RestoreChoices c = ReadChoices();
        const std::string folder =
            c.folder == FolderChoice::Default ? c.defaultFolder : c.restorePath;
        if (archive.empty()) {
            archive = NewestFirmArchive(folder, values_.CurrentFirmNo).value_or("");
        }
        const std::string title = "Restore drill";
        if (archive.empty()) {
            dialogs_.Show(Message{"There is no backup Firm" +
                                      std::to_string(values_.CurrentFirmNo) + ".zip in " + folder +
                                      " to drill.",
                                  title, Buttons::Ok, Icon::Exclamation});
            return;
        }
        const int64_t start = static_cast<int64_t>(std::time(nullptr));
        DrillOptions options;
        options.progress = [this](const ArchiveProgress& p) { ShowProgress(p); };
        BusyOn();
        DrillReport report;
        try {
            report = DrillArchive(archive, values_.CurrentFirmNo, options);
        } catch (...) {
            BusyOff();
            throw;
        }
        BusyOff();
        RecordDrill(values_, report, start);
        if (report.Proven()) {
            dialogs_.Show(Message{"The backup " + archive + " is proven restorable.", title,
                                  Buttons::Ok, Icon::Information, Answer::Ok, DrillText(report)});
        } else {
            dialogs_.Show(Message{"The backup " + archive + " failed the restore drill.", title,
                                  Buttons::Ok, Icon::Critical, Answer::Ok, DrillText(report)});
        }
    });
}

RestoreChoices RestoreWindow::ReadChoices() const {
    RestoreChoices c;
    c.folder = optHardDiskRest->checkedId() == 0 ? FolderChoice::Default : FolderChoice::Other;
    c.defaultFolder = lblHDPath->FullText().toStdString();
    c.restorePath = txtRestPath->text().toStdString();
    c.type = RestoreTypeAt(CboRestType->currentIndex());
    c.advanced = chkAdvSet->isChecked();
    return c;
}

RestoreContext RestoreWindow::Context() {
    return RestoreContext{values_, fs_,     *runDialogs_, years_,      *this,
                          state_,  *clock_, true,         CancelFlag()};
}

void RestoreWindow::OnSelectPath() {
    GuardedRun([this] {
        RestoreContext ctx = Context();
        SelectPathClick(ctx, ReadChoices());
        ShowLabels();
        targetNote_ = true;
        ShowTargetNote();
    });
}

void RestoreWindow::OnRestore() {
    GuardedRun([this] {
        targetNote_ = false;
        ShowTargetNote();
        RestoreContext ctx = Context();
        const RestoreEnd end = RunRestore(ctx, ReadChoices());
        if (end == RestoreEnd::Exit) {
            EndProgram(0);
        } else {
            ShowLabels();
        }
    });
}

void RestoreWindow::done(int result) {
    RestoreContext ctx = Context();
    DiscardUnpacked(ctx);
    MainWindow::done(result);
}

std::optional<std::string> RestoreWindow::Passphrase(const std::string& archive) {
    QInputDialog ask(this);
    ask.setObjectName(QStringLiteral("passphraseDialog"));
    ask.setWindowTitle(QStringLiteral("Passphrase"));
    ask.setInputMode(QInputDialog::TextInput);
    ask.setTextEchoMode(QLineEdit::Password);
    ask.setLabelText(
        QString::fromUtf8("The backup file " + archive + " is encrypted.\nIts passphrase:"));
    ask.setAccessibleName(QStringLiteral("Passphrase"));
    ask.setAccessibleDescription(QStringLiteral("The passphrase of the encrypted backup file"));
    if (ask.exec() != QDialog::Accepted || ask.textValue().isEmpty()) {
        return std::nullopt;
    }
    return ask.textValue().toStdString();
}

void RestoreWindow::FocusBrowseButton() {
    // The run may ask for this while busy; the focus must not go back to "&Restore" after.
    ForgetOkFocus();
    cmdRestPath->setFocus(Qt::OtherFocusReason);
}

bool RestoreWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        const bool enter = plain && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter);
        if (enter && watched == CboRestType->view()) {
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
            return false;
        }
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
                    if (CboRestType->hasFocus() && CboRestType->isVisible() && !Busy()) {
                        CboRestType->showPopup();
                    }
                },
                Qt::QueuedConnection);
        }
    }
    return MainWindow::eventFilter(watched, event);
}

}  // namespace vornback
