// The restore window: the folder that holds the backup, the restore type with its select
// button and the firm and year labels, and the "&Restore" button that starts the restore
// run. It owns the restore state and shows the labels the operations leave in it; it does
// no file or database work itself.
#pragma once

#include <string>

#include "gui/main_window.h"
#include "restore/restore_run.h"
#include "restore/restore_state.h"
#include "startup/launch.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace vornback {

class RestoreWindow : public MainWindow, public RestoreView {
    Q_OBJECT

  public:
    // The collaborators are borrowed and must outlive the window. volume is where
    // ProgramFolder lies; it settles the default restore folder.
    RestoreWindow(const ProgramValues& values, const VolumeInfo& volume, FileSystem& fs,
                  Dialogs& dialogs, YearChooser& years, QWidget* parent = nullptr);
    ~RestoreWindow() override;

    // Loads the window from section "Rest" of the settings (first use only) and fills it
    // (ShowForm shows it modally).
    void FillForm(const std::string& StrPathStr) override;

    const RestoreState& State() const { return state_; }

    // RestoreView
    void BusyOn() override { MainWindow::BusyOn(); }
    void BusyOff() override { MainWindow::BusyOff(); }
    void FocusBrowseButton() override;
    void ShowProgress(const ArchiveProgress& progress) override {
        MainWindow::ShowProgress(progress);
    }
    void ShowLabels() override;

  protected:
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

    YearChooser& years_;
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

    bool loaded_ = false;
    bool settingUp_ = false;
};

}  // namespace vornback
