// The restore window: the folder that holds the backup, the restore type with its select
// button and the firm and year labels, and the "&Restore" button that starts the restore
// run. It owns the restore state and shows the labels the operations leave in it; it does
// no file or database work itself.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <string>

#include "restore/restore_run.h"
#include "restore/restore_state.h"
#include "startup/launch.h"

class QButtonGroup;
class QCheckBox;
class QCloseEvent;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace vornback {

class RestoreWindow : public QDialog, public RestoreView {
    Q_OBJECT

  public:
    // The collaborators are borrowed and must outlive the window. volume is where
    // ProgramFolder lies; it settles the default restore folder.
    RestoreWindow(const ProgramValues& values, const VolumeInfo& volume, FileSystem& fs,
                  Dialogs& dialogs, YearChooser& years, QWidget* parent = nullptr);
    ~RestoreWindow() override;

    // Loads the window from section "Rest" of the settings (first use only), fills it and
    // shows it modally. Returns when the window has closed, with the program's exit
    // status: 0 after "&Close", Esc, the close box or a Yes to the completion question;
    // the code of a ProgramEnd; 1 after a failure that was shown in a critical message box.
    int ShowForm(const std::string& StrPathStr);

    // ShowForm without showing the window (tests show it themselves).
    void FillForm(const std::string& StrPathStr);

    int ExitCode() const { return exitCode_; }
    bool Busy() const { return busy_; }
    const RestoreState& State() const { return state_; }
    // The default restore folder shown for "Default Directory".
    const std::string& DefaultFolder() const { return defaultFolder_; }

    // RestoreView
    void BusyOn() override;
    void BusyOff() override;
    void FocusBrowseButton() override;
    void ShowProgress(const ArchiveProgress& progress) override;
    void ShowLabels() override;

  public slots:
    void reject() override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    void SetTabOrder();
    void ConnectEvents();
    // Fills the type list and reads "RestType" and "AdvSet".
    void Load();

    void OnHardDiskClicked(int index);
    void OnAdvSetChanged();
    void OnRestTypePicked();
    void OnBrowse();
    void OnSelectPath();
    void OnRestore();
    void FixOptionTabStops();

    RestoreChoices ReadChoices() const;
    RestoreContext Context();
    // Runs one event handler: a ProgramEnd closes the window with its code, any other
    // failure is shown in a critical message box and closes the window with 1.
    template <typename Handler>
    void Guarded(Handler&& handler);
    void EndProgram(int exitCode);
    void Repaint(bool force);

    const ProgramValues& values_;
    FileSystem& fs_;
    Dialogs& dialogs_;
    YearChooser& years_;
    std::string defaultFolder_;
    std::string settingsFile_;
    RestoreState state_;

    QGroupBox* Frame1 = nullptr;
    QGroupBox* FrmDirSel = nullptr;
    QRadioButton* optHardDiskRest0 = nullptr;
    QRadioButton* optHardDiskRest1 = nullptr;
    QButtonGroup* optHardDiskRest = nullptr;
    QLabel* lblHDPath = nullptr;
    QLineEdit* txtRestPath = nullptr;
    QPushButton* cmdRestPath = nullptr;
    QCheckBox* chkAdvSet = nullptr;
    QGroupBox* FrmAdvSet = nullptr;
    QComboBox* CboRestType = nullptr;
    QPushButton* cmdSelectPath = nullptr;
    QLabel* LblTxtTrFNo = nullptr;
    QLabel* LblTargetFNo = nullptr;
    QLabel* LblTxtTrYr = nullptr;
    QLabel* LblTargetYNo = nullptr;
    QLabel* LblFinYr = nullptr;
    QLabel* LblPath = nullptr;
    QPushButton* cmdOk = nullptr;
    QPushButton* cmdClose = nullptr;
    // The busy area: the clip (a running bar, when the clip file exists), the progress of
    // the current unpack or copy, and the name being worked on.
    QFrame* Animation1 = nullptr;
    QProgressBar* clipBar = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* lblProgress = nullptr;

    bool loaded_ = false;
    bool settingUp_ = false;
    bool busy_ = false;
    bool running_ = false;
    bool okHadFocus_ = false;
    int exitCode_ = 0;
    QElapsedTimer lastRepaint_;
};

}  // namespace vornback
