#include "gui/start_window.h"

#include <QMessageBox>
#include <string>

#include "base/clock.h"
#include "base/data_tree.h"
#include "base/dialogs.h"
#include "gui/backup_window.h"
#include "gui/qt_dialogs.h"
#include "gui/restore_window.h"
#include "gui/year_list_window.h"
#include "mail/mail.h"
#include "platform/file_system.h"
#include "recovery/recovery.h"
#include "startup/mail_account.h"
#include "startup/window_settings.h"

namespace vornback {

int RunStartWindow(const StartupDecision& decision) {
    const std::string settings = SettingsFile(decision.values);
    LocalFileSystem fs;
    // What killed runs left is finished or removed before a window touches a firm.
    if (const auto done = RecoverAtStartup(decision.values, fs); !done.empty()) {
        std::string text;
        for (const std::string& line : done) {
            text += (text.empty() ? "" : "\n") + line;
        }
        QMessageBox::information(nullptr, QString::fromUtf8(kProgramTitle),
                                 QString::fromStdString(text));
    }
    if (decision.window == StartWindow::Restore) {
        QtDialogs dialogs;
        QtYearChooser years;
        RestoreWindow window(decision.values, decision.defaultFolder, fs, dialogs, years);
        dialogs.SetOwner(&window);
        years.SetOwner(&window);
        return window.ShowForm(decision.StartLocation, LoadRestoreWindowSettings(settings));
    }

    SystemClock clock;
    CurlMailTransport mail(MailSettingsFor(settings), clock);
    QtDialogs dialogs;
    BackupWindow window(decision.values, decision.defaultFolder, fs, dialogs, clock, mail,
                        RegionalDecimalSeparator());
    dialogs.SetOwner(&window);
    return window.ShowForm(decision.StartLocation, LoadBackupWindowSettings(settings));
}

StartupDecision DecideChosenStartup(const ChooserPick& pick, const Workplace& place) {
    return DecideStartup(std::to_string(pick.firm) + "," + pick.year + "," + pick.mode, place);
}

}  // namespace vornback
