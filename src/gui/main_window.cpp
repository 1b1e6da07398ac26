#include "gui/main_window.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include "base/data_tree.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "gui/elided_label.h"
#include "platform/file_system.h"
#include "platform/run_lock.h"

namespace vornback {
namespace {

constexpr int kProgressSteps = 1000;
constexpr qint64 kRepaintMilliseconds = 40;

}  // namespace

MainWindow::MainWindow(const ProgramValues& values, std::string defaultFolder, FileSystem& fs,
                       Dialogs& dialogs, QWidget* parent)
    : QDialog(parent),
      values_(values),
      fs_(fs),
      dialogs_(dialogs),
      defaultFolder_(std::move(defaultFolder)),
      settingsFile_(SettingsFile(values)) {}

MainWindow::~MainWindow() = default;

int MainWindow::RunModal() {
    exec();
    return exitCode_;
}

void MainWindow::Speak(QWidget* control, const char* name, const char* description) {
    control->setAccessibleName(QString::fromUtf8(name));
    control->setAccessibleDescription(QString::fromUtf8(description));
}

void MainWindow::Assemble(const char* name) {
    setObjectName(QString::fromLatin1(name));
    auto* outer = new QVBoxLayout(this);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    BuildControls(outer);
    SetTabOrder();
    NameControls();
    ConnectEvents();
}

QButtonGroup* MainWindow::OptionGroup(const char* name,
                                      std::initializer_list<QAbstractButton*> options) {
    auto* group = Named<QButtonGroup>(name, this);
    int id = 0;
    for (QAbstractButton* option : options) {
        group->addButton(option, id++);
    }
    return group;
}

std::tuple<QRadioButton*, QRadioButton*, QButtonGroup*, ElidedLabel*, QLineEdit*, QPushButton*>
MainWindow::BuildFolderChoice(QWidget* parent, int width, const char* group, const char* box,
                              const char* browse) {
    const std::string name = group;
    auto* defaultOption =
        Named<QRadioButton>((name + "0").c_str(), QStringLiteral("Default Directory"), parent);
    auto* otherOption = Named<QRadioButton>((name + "1").c_str(), QStringLiteral("Others"), parent);
    QButtonGroup* options = OptionGroup(group, {defaultOption, otherOption});
    // A long folder is cut in the middle, whole in its tooltip and for a screen reader.
    auto* defaultPath = Named<ElidedLabel>("lblHDPath", width, parent);
    defaultPath->SetFullText(QStringLiteral("&Path"));
    defaultPath->setTextFormat(Qt::PlainText);
    defaultPath->setFrameShape(QFrame::StyledPanel);
    defaultPath->setFrameShadow(QFrame::Sunken);
    auto* pathBox = Named<QLineEdit>(box, parent);
    pathBox->setMinimumWidth(width);
    auto* browseButton = Named<QPushButton>(browse, QStringLiteral("..."), parent);
    browseButton->setFixedWidth(
        browseButton->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 24);
    connect(options, &QButtonGroup::idToggled, this,
            [this, options, defaultPath, pathBox, browseButton](int id, bool checked) {
                if (checked) {
                    ShowFolderChoice(id, defaultPath, pathBox, browseButton);
                }
                TabStopOnSelectedOption(options);
            });
    return {defaultOption, otherOption, options, defaultPath, pathBox, browseButton};
}

void MainWindow::BuildNoteLine(QLayout* outer) {
    lblNote = new QLabel(this);
    lblNote->setObjectName(QStringLiteral("lblNote"));
    lblNote->setTextFormat(Qt::PlainText);
    lblNote->setWordWrap(true);
    lblNote->hide();
    // Its name is its text: a reader speaks the note itself, not a fixed word.
    lblNote->setAccessibleDescription(
        QStringLiteral("What the window found or what the next run will do"));
    outer->addWidget(lblNote);
}

void MainWindow::SetNote(const std::string& text) {
    lblNote->setText(Q(text));
    lblNote->setVisible(!text.empty());
}

std::string MainWindow::Note() const {
    return lblNote->isHidden() ? std::string() : lblNote->text().toStdString();
}

void MainWindow::NoAutoDefault(QPushButton* button) {
    button->setAutoDefault(false);
    button->setDefault(false);
}

QHBoxLayout* MainWindow::BuildButtonRow(QWidget* frame, const QString& okCaption) {
    Animation1 = new QFrame(frame);
    Animation1->setObjectName(QStringLiteral("Animation1"));
    Animation1->hide();
    Speak(Animation1, "Run progress", "Shows how far the run is while it works");
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
    Speak(clipBar, "Busy", "The run is working");
    Speak(progressBar, "Progress", "How much of the current step is done");
    lblProgress = new QLabel(Animation1);
    lblProgress->setObjectName(QStringLiteral("lblProgress"));
    lblProgress->setTextFormat(Qt::PlainText);
    // Read by its text, like every label that shows what the run found or does.
    lblProgress->setAccessibleDescription(
        QStringLiteral("Files done and the name being worked on"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), Animation1);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    NoAutoDefault(cmdCancel);
    Speak(cmdCancel, "Cancel", "Stop the run before it changes anything");
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cancelRequested_ = true; });
    auto* progressRow = new QHBoxLayout;
    progressRow->addWidget(progressBar, 1);
    progressRow->addWidget(cmdCancel);
    busy->addWidget(clipBar);
    busy->addLayout(progressRow);
    busy->addWidget(lblProgress);

    cmdOk = new QPushButton(okCaption, frame);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    cmdClose = new QPushButton(QStringLiteral("&Close"), frame);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    NoAutoDefault(cmdOk);
    NoAutoDefault(cmdClose);
    cmdOk->setAccessibleDescription(okCaption == QStringLiteral("&Backup")
                                        ? QStringLiteral("Start the backup")
                                        : QStringLiteral("Start the restore"));
    cmdClose->setAccessibleDescription(QStringLiteral("Close the window and end the program"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Animation1, 1);
    buttons->addStretch(0);
    buttons->addWidget(cmdOk);
    buttons->addWidget(cmdClose);
    connect(cmdClose, &QPushButton::clicked, this, [this] { close(); });
    return buttons;
}

void MainWindow::ChainTabOrder(std::initializer_list<QWidget*> order) {
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

void MainWindow::TabStopOnSelectedOption(QButtonGroup* group) {
    const QList<QAbstractButton*> buttons = group->buttons();
    QAbstractButton* stop = group->checkedButton();
    if (stop == nullptr && !buttons.isEmpty()) {
        stop = buttons.first();
    }
    for (QAbstractButton* b : buttons) {
        b->setFocusPolicy(b == stop ? Qt::StrongFocus : Qt::ClickFocus);
    }
}

void MainWindow::ShowFolderChoice(int index, ElidedLabel* defaultPath, QLineEdit* pathBox,
                                  QPushButton* browse) {
    if (index == 0) {
        browse->hide();
        pathBox->hide();
        defaultPath->show();
        defaultPath->SetFullText(Q(defaultFolder_));
    } else {
        browse->show();
        pathBox->show();
        defaultPath->hide();
    }
}

void MainWindow::BrowseInto(QLineEdit* pathBox, const char* title) {
    Guarded([this, pathBox, title] {
        std::string start = pathBox->text().toStdString();
        if (start.empty()) {
            start = NearestExistingFolder(defaultFolder_);
        }
        const std::string chosen = dialogs_.BrowseForFolder(start, title);
        if (!chosen.empty()) {
            pathBox->setText(Q(chosen));
        }
    });
}

std::string MainWindow::NearestExistingFolder(std::string folder) {
    // The default folder may not exist before the first backup; its nearest existing
    // parent is the next best place to start a dialog.
    while (!folder.empty() && !fs_.FolderExists(folder)) {
        const size_t cut = folder.find_last_of("/\\");
        const std::string parent =
            cut == std::string::npos ? std::string() : folder.substr(0, std::max<size_t>(cut, 1));
        folder = parent == folder ? std::string() : parent;
    }
    return folder;
}

void MainWindow::GuardedRun(const std::function<void()>& handler) {
    if (running_ || busy_) {
        return;
    }
    running_ = true;
    Guarded(handler);
    running_ = false;
}

void MainWindow::Guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const RunRefused&) {
        // Another run holds what this one needs; the refusal was shown. The window stays,
        // so the person can try again once that run has finished.
        BusyOff();
    } catch (const ProgramEnd& end) {
        EndProgram(end.ExitCode());
    } catch (const ArchiveCancelled&) {
        // Stopped by "Cancel" before anything was put in place; the run cleaned up.
        BusyOff();
    } catch (const RunLocked& e) {
        BusyOff();
        dialogs_.Show(Message{e.what(), kProgramTitle, Buttons::Ok, Icon::Exclamation});
    } catch (const Error& e) {
        // The system's own failures say in one sentence what failed, where and why.
        ShowFailure(Message{e.what(), kProgramTitle, Buttons::Ok, Icon::Critical});
    } catch (const std::exception& e) {
        // A failure of the machine itself (memory, a library): its own words are the cause.
        ShowFailure(Message{"The program met a failure it cannot recover from and ends.",
                            kProgramTitle, Buttons::Ok, Icon::Critical, Answer::Ok, e.what()});
    }
}

void MainWindow::ShowFailure(const Message& message) {
    std::fprintf(stderr, "vornback: %s%s%s\n", message.text.c_str(),
                 message.detail.empty() ? "" : " ", message.detail.c_str());
    if (busy_) {
        BusyOff();
    }
    dialogs_.Show(message);
    EndProgram(1);
}

void MainWindow::EndProgram(int exitCode) {
    exitCode_ = exitCode;
    busy_ = false;
    done(exitCode);
}

void MainWindow::BusyOn() {
    if (busy_) {
        return;
    }
    busy_ = true;
    // The window's own focus, whether or not it is the active window at this moment: the
    // activation may arrive while the button is hidden, which would move the focus on.
    okHadFocus_ = focusWidget() == cmdOk;
    cmdClose->hide();
    cmdOk->hide();
    progressBar->setValue(0);
    lblProgress->clear();
    cancelRequested_ = false;
    cmdCancel->setEnabled(true);
    cmdCancel->setToolTip(QString());
    qApp->installEventFilter(this);
    // Qt Widgets has no player for the clip; a running bar stands in for it when the clip
    // is installed, and without it the busy area shows only the progress.
    clipBar->setVisible(fs_.FileExists(ClipFile(values_)));
    Animation1->show();
    Repaint(true);
}

void MainWindow::BusyOff() {
    if (!busy_) {
        return;
    }
    qApp->removeEventFilter(this);
    Animation1->hide();
    clipBar->hide();
    // A reader walks hidden labels too: the last step's files must not stay behind in it.
    lblProgress->clear();
    cmdOk->show();
    cmdClose->show();
    busy_ = false;
    if (okHadFocus_) {
        cmdOk->setFocus(Qt::OtherFocusReason);
        okHadFocus_ = false;
    }
}

void MainWindow::DisableCancel() {
    cmdCancel->setEnabled(false);
    const QString why = QStringLiteral(
        "Too late to cancel: the run is putting its work in place and finishes first.");
    cmdCancel->setToolTip(why);
    cmdCancel->setAccessibleDescription(why);
}

bool MainWindow::InputBlocked(QObject* watched, QEvent* event) const {
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
        case QEvent::ContextMenu:
            break;
        default:
            return false;
    }
    // Only this window's controls are held back; a message box the run shows takes its input.
    auto* w = qobject_cast<QWidget*>(watched);
    return w != nullptr && w->window() == this && w != cmdCancel;
}

void MainWindow::ShowProgress(const ArchiveProgress& progress) {
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

void MainWindow::Repaint(bool force) {
    if (!force && lastRepaint_.isValid() && lastRepaint_.elapsed() < kRepaintMilliseconds) {
        return;
    }
    // The person's input goes to "Cancel" alone (InputBlocked).
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    lastRepaint_.start();
}

void MainWindow::reject() {
    // Esc and "&Close" lead here; neither may end a run halfway.
    if (busy_) {
        return;
    }
    QDialog::reject();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (busy_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (busy_ && InputBlocked(watched, event)) {
        return true;
    }
    if (auto* w = qobject_cast<QWidget*>(watched); busy_ && (w == nullptr || w->window() != this)) {
        // Watched for the busy time only: another window's keys are its own.
        return QDialog::eventFilter(watched, event);
    }
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (plain && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
            if (auto* button = qobject_cast<QPushButton*>(watched)) {
                // A focused button takes Enter as its press, and only as that.
                button->click();
                return true;
            }
            focusNextChild();
        }
        // The key itself goes on to the control as well.
        return false;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace vornback
