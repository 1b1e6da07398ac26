// What the backup and the restore window have in common: the borrowed collaborators, the
// default folder and the settings file; the busy area with "&OK"/"&Close" beside it; Enter
// moving the focus on; closing refused while busy; and the handler guard that turns a
// ProgramEnd or a failure into the program's exit status. Each window builds its own
// controls and layout on top.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <functional>
#include <initializer_list>
#include <string>

#include "archive/archive.h"
#include "startup/launch.h"

class QButtonGroup;
class QCloseEvent;
class QFrame;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace vornback {

class Dialogs;
class FileSystem;

class MainWindow : public QDialog {
    Q_OBJECT

  public:
    ~MainWindow() override;

    // Fills the window and shows it modally. Returns when the window has closed, with the
    // program's exit status: 0 after "&Close", Esc, the close box or a Yes to the
    // completion question; the code of a ProgramEnd; 1 after a failure that was shown in a
    // critical message box.
    int ShowForm(const std::string& StrPathStr);
    // ShowForm's filling, without showing the window (tests show it themselves).
    virtual void FillForm(const std::string& StrPathStr) = 0;

    int ExitCode() const { return exitCode_; }
    bool Busy() const { return busy_; }
    // The default folder shown for "Default Directory".
    const std::string& DefaultFolder() const { return defaultFolder_; }

  public slots:
    void reject() override;

  protected:
    // The collaborators are borrowed and must outlive the window. volume is where
    // ProgramFolder lies; it settles the default folder.
    MainWindow(const ProgramValues& values, const VolumeInfo& volume, FileSystem& fs,
               Dialogs& dialogs, QWidget* parent);

    void closeEvent(QCloseEvent* event) override;
    // Plain Enter (or the keypad's) on a watched control moves the focus on.
    bool eventFilter(QObject* watched, QEvent* event) override;

    // The busy area and the two buttons, in one row at the foot of frame; the busy area
    // takes the place of the buttons while a run works.
    QHBoxLayout* BuildButtonRow(QWidget* frame, const QString& okCaption);
    // Sets the tab order of the controls as listed and lets each of them watch for Enter.
    void ChainTabOrder(std::initializer_list<QWidget*> order);
    // Only the selected option of a group is a tab stop, as the keyboard expects.
    static void TabStopOnSelectedOption(QButtonGroup* group);
    // "Default Directory" (index 0) shows the default folder; "Others" the box and its
    // browse button.
    void ShowFolderChoice(int index, QLabel* defaultPath, QLineEdit* pathBox, QPushButton* browse);
    // The folder picker, starting on the box's folder; a chosen folder replaces its text.
    void BrowseInto(QLineEdit* pathBox, const char* title);

    void BusyOn();
    void BusyOff();
    void ShowProgress(const ArchiveProgress& progress);
    void Repaint(bool force);
    // The run must not take its focus back to the OK button when it ends.
    void ForgetOkFocus() { okHadFocus_ = false; }

    // Runs one event handler: a ProgramEnd closes the window with its code, any other
    // failure is shown in a critical message box and closes the window with 1.
    void Guarded(const std::function<void()>& handler);
    // Guarded, but ignored while a run works or another handler runs.
    void GuardedRun(const std::function<void()>& handler);
    void EndProgram(int exitCode);

    static QString Q(const std::string& text) { return QString::fromStdString(text); }
    // Enter moves the focus on; no button may take it as its own press as well.
    static void NoAutoDefault(QPushButton* button);

    const ProgramValues& values_;
    FileSystem& fs_;
    Dialogs& dialogs_;
    std::string defaultFolder_;
    std::string settingsFile_;

    QPushButton* cmdOk = nullptr;
    QPushButton* cmdClose = nullptr;

  private:
    // The busy area: the clip (a running bar, when the clip file exists), the progress of
    // the current step, and the name being worked on.
    QFrame* Animation1 = nullptr;
    QProgressBar* clipBar = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* lblProgress = nullptr;

    bool busy_ = false;
    bool running_ = false;
    bool okHadFocus_ = false;
    int exitCode_ = 0;
    QElapsedTimer lastRepaint_;
};

}  // namespace vornback
