// The backup window: the folder choice, the backup type and options, the mail address, and
// the "&Backup" button that starts the backup run. It shows the busy area while a run works
// and keeps the person's choices only through the run (and the mail address on leaving its
// box). The window does no file work itself: it is filled from the stored choices it is
// given, and everything else goes through the run. A firm whose folder is missing gets a
// note under the frame, so the person learns it before pressing "&Backup".
#pragma once

#include <string>

#include "backup/backup_run.h"
#include "gui/main_window.h"
#include "startup/launch.h"
#include "startup/window_settings.h"

namespace vornback {

class ElidedLabel;

class BackupWindow : public MainWindow, public BackupView {
    Q_OBJECT

  public:
    // The collaborators are borrowed and must outlive the window. defaultFolder is the
    // default backup folder ("Default Directory").
    BackupWindow(const ProgramValues& values, const std::string& defaultFolder, FileSystem& fs,
                 Dialogs& dialogs, Clock& clock, MailTransport& mail, std::string decimalSeparator,
                 QWidget* parent = nullptr);
    ~BackupWindow() override;

    // Fills the window from the stored choices and shows it modally; returns the exit
    // status (MainWindow::RunModal).
    int ShowForm(const std::string& StrPathStr, const BackupWindowSettings& stored);
    // ShowForm's filling, without showing the window (tests show it themselves).
    void FillForm(const std::string& StrPathStr, const BackupWindowSettings& stored);

    // BackupView
    void BusyOn() override { MainWindow::BusyOn(); }
    void BusyOff() override { MainWindow::BusyOff(); }
    void FocusBrowseButton() override;
    void ShowProgress(const ArchiveProgress& progress) override {
        MainWindow::ShowProgress(progress);
    }
    void KeepAlive() override { Repaint(false); }
    void CancelTooLate() override { DisableCancel(); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void ShowLastBackup();  // the history's last good backup of the firm, under the frame
    void BuildControls(QVBoxLayout* outer) override;
    void SetTabOrder() override;
    void NameControls() override;
    void ConnectEvents() override;

    void OnHardDiskClicked(int index);
    void OnAdvSetChanged();
    void OnCurYrChanged();
    void OnSendEmailChanged();
    void OnBrowse();
    void OnBackup();
    // Saves the address in the settings; a save that fails is told (deferred: shown once
    // the focus change that caused it is over).
    void StoreEmailAddress(bool deferWarning);
    // Whether the firm's folder exists, whatever the letter case of its name.
    bool FirmFolderFound(const std::string& firm);
    // The note for a firm without a folder, "" when the folder is there.
    std::string MissingFirmNote();
    void FixOptionTabStops();

    BackupChoices ReadChoices() const;

    Clock& clock_;
    MailTransport& mail_;
    std::string decimalSeparator_;

    // Window member shared with the run and the current-year staging.
    std::string BackupSourceFolder;
    int drill_ = 0;  // the settings' "Drill" key

    QGroupBox* FrmBackup = nullptr;
    QRadioButton* optHardDiskBack0 = nullptr;
    QRadioButton* optHardDiskBack1 = nullptr;
    QButtonGroup* optHardDiskBack = nullptr;
    ElidedLabel* lblHDPath = nullptr;
    QLineEdit* txtBackPath = nullptr;
    QPushButton* cmdBackPath = nullptr;
    QCheckBox* chkAdvSet = nullptr;
    QGroupBox* frmAdvBackType = nullptr;
    QCheckBox* ChkCurYr = nullptr;
    QCheckBox* ChkIncAtcDoc = nullptr;
    QRadioButton* optBackType0 = nullptr;
    QRadioButton* optBackType1 = nullptr;
    QRadioButton* optBackType2 = nullptr;
    QButtonGroup* optBackType = nullptr;
    QCheckBox* chkSendEmail = nullptr;
    QLineEdit* txtEmailToSend = nullptr;
};

}  // namespace vornback
