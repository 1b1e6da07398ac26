// The restore window: the folder that holds the backup, the restore type with its select
// button and the firm and year labels, and the "&Restore" button that starts the restore
// run. It owns the restore state and shows the labels the operations leave in it; it does
// no file or database work itself. After a "Selected Year" pick a note under the frame
// names the year that will be overwritten and the archive, until "&Restore" is pressed.
#pragma once

#include <memory>
#include <string>

#include "gui/main_window.h"
#include "restore/restore_run.h"
#include "restore/restore_state.h"
#include "startup/launch.h"
#include "startup/window_settings.h"

class QComboBox;

namespace vornback {

class ElidedLabel;

class RestoreWindow : public MainWindow, public RestoreView {
    Q_OBJECT

  public:
    // The collaborators are borrowed and must outlive the window. defaultFolder is the
    // default restore folder ("Default Directory").
    RestoreWindow(const ProgramValues& values, const std::string& defaultFolder, FileSystem& fs,
                  Dialogs& dialogs, YearChooser& years, QWidget* parent = nullptr);
    ~RestoreWindow() override;

    // Loads the window from the stored choices (first use only), fills it and shows it
    // modally; returns the exit status (MainWindow::RunModal).
    int ShowForm(const std::string& StrPathStr, const RestoreWindowSettings& stored);
    // ShowForm's loading and filling, without showing the window (tests show it themselves).
    void FillForm(const std::string& StrPathStr, const RestoreWindowSettings& stored);
    // The clock of the runs' stamps (the system clock unless set; it must outlive the window).
    void UseClock(Clock& clock) { clock_ = &clock; }

    const RestoreState& State() const { return state_; }

    // RestoreView
    void BusyOn() override { MainWindow::BusyOn(); }
    void BusyOff() override { MainWindow::BusyOff(); }
    void FocusBrowseButton() override;
    void ShowProgress(const ArchiveProgress& progress) override {
        MainWindow::ShowProgress(progress);
    }
    void ShowLabels() override;
    void CancelTooLate() override { DisableCancel(); }
    // Asks for the passphrase of an encrypted archive (the typing hidden).
    std::optional<std::string> Passphrase(const std::string& archive) override;

  public slots:
    // However the window closes, what its steps unpacked goes with it.
    void done(int result) override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls(QVBoxLayout* outer) override;
    void SetTabOrder() override;
    void NameControls() override;
    void ConnectEvents() override;
    // Fills the type list and sets the stored type and "Advance Back Type".
    void Load(const RestoreWindowSettings& stored);
    // The folder the window shows for the restore (the default one, or the typed one), or
    // the nearest folder above it that exists.
    std::string ShownFolder();
    // The note naming the year a "Selected Year" restore will overwrite, or none.
    void ShowTargetNote();

    void OnHardDiskClicked(int index);
    void OnAdvSetChanged();
    void OnRestTypePicked();
    void OnBrowse();
    // The restore drill on the chosen archive; its result in a message and the history.
    void OnDrill();
    void OnSelectPath();
    void OnRestore();
    void FixOptionTabStops();

    RestoreChoices ReadChoices() const;
    RestoreContext Context();

    YearChooser& years_;
    Clock* clock_ = &TheSystemClock();
    // The dialogs the operations see: the file dialog starts in the shown folder.
    std::unique_ptr<Dialogs> runDialogs_;
    RestoreState state_;
    bool targetNote_ = false;

    QGroupBox* Frame1 = nullptr;
    QGroupBox* FrmDirSel = nullptr;
    QRadioButton* optHardDiskRest0 = nullptr;
    QRadioButton* optHardDiskRest1 = nullptr;
    QButtonGroup* optHardDiskRest = nullptr;
    ElidedLabel* lblHDPath = nullptr;
    QLineEdit* txtRestPath = nullptr;
    QPushButton* cmdRestPath = nullptr;
    QPushButton* cmdDrill = nullptr;
    QCheckBox* chkAdvSet = nullptr;
    QGroupBox* FrmAdvSet = nullptr;
    QComboBox* CboRestType = nullptr;
    QPushButton* cmdSelectPath = nullptr;
    QLabel* LblTxtTrFNo = nullptr;
    QLabel* LblTargetFNo = nullptr;
    QLabel* LblTxtTrYr = nullptr;
    QLabel* LblTargetYNo = nullptr;
    QLabel* LblFinYr = nullptr;
    ElidedLabel* LblPath = nullptr;

    bool loaded_ = false;
    bool settingUp_ = false;
};

}  // namespace vornback
