// The backup window: the folder choice, the backup type and options, the mail address, and
// the "&Backup" button that starts the backup run. It shows the busy area while a run works
// and keeps the person's choices only through the run (and the mail address on leaving its
// box). The window does no file work itself: everything goes through the run.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <string>

#include "backup/backup_run.h"
#include "startup/launch.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QCloseEvent;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace vornback {

class BackupWindow : public QDialog, public BackupView {
    Q_OBJECT

  public:
    // The collaborators are borrowed and must outlive the window. volume is where
    // ProgramFolder lies; it settles the default backup folder.
    BackupWindow(const ProgramValues& values, const VolumeInfo& volume, FileSystem& fs,
                 Dialogs& dialogs, Clock& clock, MailTransport& mail, std::string decimalSeparator,
                 QWidget* parent = nullptr);
    ~BackupWindow() override;

    // Fills the window from section "Back" of the settings and shows it modally. Returns
    // when the window has closed, with the program's exit status: 0 after "&Close", Esc,
    // the close box or a Yes to the completion question; the code of a ProgramEnd; 1 after
    // a failure that was shown in a critical message box.
    int ShowForm(const std::string& StrPathStr);

    // ShowForm's filling, without showing the window (tests show it themselves).
    void FillForm(const std::string& StrPathStr);

    int ExitCode() const { return exitCode_; }
    bool Busy() const { return busy_; }
    // The default backup folder shown for "Default Directory".
    const std::string& DefaultFolder() const { return defaultFolder_; }

    // BackupView
    void BusyOn() override;
    void BusyOff() override;
    void FocusBrowseButton() override;
    void ShowProgress(const ArchiveProgress& progress) override;
    void KeepAlive() override;

  public slots:
    void reject() override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    void SetTabOrder();
    void ConnectEvents();

    void OnHardDiskClicked(int index);
    void OnAdvSetChanged();
    void OnCurYrChanged();
    void OnSendEmailChanged();
    void OnBrowse();
    void OnBackup();
    void StoreEmailAddress();
    // Only the selected option of each group is a tab stop, as the keyboard expects.
    void FixOptionTabStops();

    BackupChoices ReadChoices() const;
    // Runs one event handler: a ProgramEnd closes the window with its code, any other
    // failure is shown in a critical message box and closes the window with 1.
    template <typename Handler>
    void Guarded(Handler&& handler);
    void EndProgram(int exitCode);
    void Repaint(bool force);

    const ProgramValues& values_;
    FileSystem& fs_;
    Dialogs& dialogs_;
    Clock& clock_;
    MailTransport& mail_;
    std::string decimalSeparator_;
    std::string defaultFolder_;
    std::string settingsFile_;

    // Window member shared with the run and the current-year staging.
    std::string BackupSourceFolder;

    QGroupBox* FrmBackup = nullptr;
    QRadioButton* optHardDiskBack0 = nullptr;
    QRadioButton* optHardDiskBack1 = nullptr;
    QButtonGroup* optHardDiskBack = nullptr;
    QLabel* lblHDPath = nullptr;
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
    QPushButton* cmdOk = nullptr;
    QPushButton* cmdClose = nullptr;
    // The busy area: the clip (a running bar, when the clip file exists), the progress of
    // the current pack, copy or compaction, and the name being worked on.
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
