// What the backup and the restore window have in common: the borrowed collaborators, the
// default folder; the busy area with "&OK"/"&Close" beside it; a note line under the
// frame; Enter moving the focus on (or pressing a focused button); closing refused while
// busy; the names a screen reader speaks; and the handler guard that turns a ProgramEnd or
// a failure into the program's exit status. Each window builds its own controls and
// layout on top.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <atomic>
#include <functional>
#include <initializer_list>
#include <string>
#include <tuple>
#include <utility>

#include "archive/archive.h"
#include "startup/launch.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QCloseEvent;
class QFrame;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QVBoxLayout;

namespace vornback {

class Dialogs;
class ElidedLabel;
class FileSystem;
struct Message;

class MainWindow : public QDialog {
    Q_OBJECT

  public:
    ~MainWindow() override;

    int ExitCode() const { return exitCode_; }
    bool Busy() const { return busy_; }
    // The default folder shown for "Default Directory".
    const std::string& DefaultFolder() const { return defaultFolder_; }
    // The note line under the frame ("" while it is hidden).
    std::string Note() const;

  public slots:
    void reject() override;

  protected:
    // The collaborators are borrowed and must outlive the window. defaultFolder is the
    // folder "Default Directory" stands for.
    MainWindow(const ProgramValues& values, std::string defaultFolder, FileSystem& fs,
               Dialogs& dialogs, QWidget* parent);

    // Shows the filled window modally. Returns when the window has closed, with the
    // program's exit status: 0 after "&Close", Esc, the close box or a Yes to the
    // completion question; the code of a ProgramEnd; 1 after a failure that was shown in a
    // critical message box.
    int RunModal();

    void closeEvent(QCloseEvent* event) override;
    // Plain Enter (or the keypad's) on a watched control moves the focus on; on a push
    // button it presses the button instead.
    bool eventFilter(QObject* watched, QEvent* event) override;

    // Builds the window (from the derived window's constructor): the controls in a layout
    // of fixed size, their tab order, the names a screen reader speaks, the events.
    void Assemble(const char* name);
    virtual void BuildControls(QVBoxLayout* outer) = 0;
    virtual void SetTabOrder() = 0;
    virtual void NameControls() = 0;
    virtual void ConnectEvents() = 0;

    // The busy area and the two buttons, in one row at the foot of frame; the busy area
    // takes the place of the buttons while a run works.
    QHBoxLayout* BuildButtonRow(QWidget* frame, const QString& okCaption);
    // The note line, added to outer under the frame; hidden while it has no text.
    void BuildNoteLine(QLayout* outer);
    void SetNote(const std::string& text);
    // What a screen reader speaks for the control: its name and what it is for.
    static void Speak(QWidget* control, const char* name, const char* description);
    // Sets the tab order of the controls as listed and lets each of them watch for Enter.
    void ChainTabOrder(std::initializer_list<QWidget*> order);
    // Only the selected option of a group is a tab stop, as the keyboard expects.
    static void TabStopOnSelectedOption(QButtonGroup* group);
    // A new control of the window, under the object name that tests and the accessibility
    // tree find it by.
    template <class Control, class... Args>
    static Control* Named(const char* name, Args&&... args) {
        auto* control = new Control(std::forward<Args>(args)...);
        control->setObjectName(QString::fromLatin1(name));
        return control;
    }
    // The options as one group, with ids 0, 1, ... in the order given.
    QButtonGroup* OptionGroup(const char* name, std::initializer_list<QAbstractButton*> options);
    // The folder choice: the "Default Directory" and "Others" options in the group named
    // group (the options named group0 and group1), the default folder's line (at least
    // width wide), the folder box and its browse button. Picking an option shows its
    // controls and moves the group's tab stop; layout is left to the window.
    std::tuple<QRadioButton*, QRadioButton*, QButtonGroup*, ElidedLabel*, QLineEdit*, QPushButton*>
    BuildFolderChoice(QWidget* parent, int width, const char* group, const char* box,
                      const char* browse);
    // "Default Directory" (index 0) shows the default folder; "Others" the box and its
    // browse button.
    void ShowFolderChoice(int index, ElidedLabel* defaultPath, QLineEdit* pathBox,
                          QPushButton* browse);
    // The folder picker, starting on the box's folder (the default folder, or the nearest
    // folder above it that exists, while the box is empty); a chosen folder replaces the
    // box's text.
    void BrowseInto(QLineEdit* pathBox, const char* title);
    // folder, or the nearest folder above it that exists ("" when none does).
    std::string NearestExistingFolder(std::string folder);

    // Safe to call twice: a second BusyOn keeps the focus recorded by the first (the
    // buttons are hidden by then), a second BusyOff changes nothing.
    void BusyOn();
    void BusyOff();
    void ShowProgress(const ArchiveProgress& progress);
    void Repaint(bool force);
    // The run must not take its focus back to the OK button when it ends.
    void ForgetOkFocus() { okHadFocus_ = false; }
    // Set by "Cancel" in the busy area; the run's packing or unpacking watches it.
    const std::atomic<bool>* CancelFlag() const { return &cancelRequested_; }
    // "Cancel" stays in the busy area, disabled, with the reason as its tooltip.
    void DisableCancel();
    // While busy, the person's input reaches "Cancel" alone.
    bool InputBlocked(QObject* watched, QEvent* event) const;

    // Runs one event handler. Both runs refuse the same way: the message is shown, then the
    // ProgramEnd family is thrown. A ProgramEnd closes the window with its code; a run
    // refused because another holds the firm (RunLocked, RunRefused) or stopped at a check
    // of the person's choices (RunStopped) leaves the window open. Any other failure is
    // shown in a critical message box and closes the window with 1.
    void Guarded(const std::function<void()>& handler);
    // Guarded, but ignored while a run works or another handler runs.
    void GuardedRun(const std::function<void()>& handler);
    void EndProgram(int exitCode);
    // Shows a failure in a critical message box (and on stderr) and ends with 1.
    void ShowFailure(const Message& message);

    static QString Q(const std::string& text) { return QString::fromStdString(text); }
    // Enter moves the focus on; no button may take it as its own press as well.
    static void NoAutoDefault(QPushButton* button);

    const ProgramValues& values_;
    FileSystem& fs_;
    Dialogs& dialogs_;
    std::string defaultFolder_;
    std::string settingsFile_;  // handed to the core's settings load and save

    QPushButton* cmdOk = nullptr;
    QPushButton* cmdClose = nullptr;

  private:
    // The busy area: the clip (a running bar, when the clip file exists), the progress of
    // the current step, and the name being worked on.
    QFrame* Animation1 = nullptr;
    QProgressBar* clipBar = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* lblProgress = nullptr;
    QPushButton* cmdCancel = nullptr;
    QLabel* lblNote = nullptr;
    std::atomic<bool> cancelRequested_{false};

    bool busy_ = false;
    bool running_ = false;
    bool okHadFocus_ = false;
    int exitCode_ = 0;
    QElapsedTimer lastRepaint_;
};

}  // namespace vornback
