// vornback: the window program the host starts as "<firm>,<year>,<mode>". It reads the
// command line and the settings, opens the backup window (or, for "R", the restore
// window) and ends when that window closes. "--help" and "--version" print and end without
// a window. Exit status: 0 normally, 2 for a command line or program folder that cannot be
// read or for a machine without a display (no window opens), 1 when a failure ended the
// program (its text was shown), and the code of a refusal that ended it.
#include <QApplication>
#include <QMessageBox>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "base/clock.h"
#include "base/data_tree.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "base/warnings.h"
#include "gui/backup_window.h"
#include "gui/qt_dialogs.h"
#include "gui/restore_window.h"
#include "gui/year_list_window.h"
#include "mail/mail.h"
#include "platform/file_system.h"
#include "platform/posix.h"
#include "recovery/recovery.h"
#include "startup/launch.h"
#include "startup/mail_account.h"
#include "startup/window_settings.h"
#include "store/registers.h"

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "Usage: vornback <firm>,<year>,<mode>\n"
    "Backs up or restores one firm of the accounting data this program is installed in.\n"
    "\n"
    "  vornback 3,2,B     the backup window for firm 3, current year 2\n"
    "  vornback 3,2,R     the restore window for firm 3, current year 2\n"
    "  vornback 3         the backup window for firm 3 (no year, no mode)\n"
    "  vornback --help    this text\n"
    "  vornback --version the program's version\n"
    "\n"
    "Any mode other than R opens the backup window. Fields after the third are ignored.\n"
    "The window needs a display (DISPLAY or WAYLAND_DISPLAY, or QT_QPA_PLATFORM).\n"
    "Exit status: 0 done, 1 a failure ended the program, 2 the command line or the\n"
    "machine cannot start it; other codes: a refusal ended the program.\n";

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

void Complain(const std::string& text) {
    std::fprintf(stderr, "vornback: %s\n", text.c_str());
}

// The core's warnings go to the program's log, stderr, under the program's name.
class LogWarnings : public vornback::WarningSink {
  public:
    void Warn(const std::string& text) override { Complain(text); }
};

// The failure's text is one sentence with its cause; a failure of the machine itself
// (memory, a library) gets a sentence of the program's own and its words as the cause.
int ShowFailure(const std::string& text, const std::string& cause = "") {
    Complain(text + (cause.empty() ? "" : " " + cause));
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(vornback::kProgramTitle),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(QString::fromStdString(cause));
    box.exec();
    return kFailure;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vornback;
    std::setlocale(LC_ALL, "");
    vornback::ReadTimeZoneOnce();
    LogWarnings warnings;
    SetWarningSink(&warnings);
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsageText, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("vornback %s\n", VORNBACK_VERSION);
        return 0;
    }

    // Everything that can refuse the start is settled before Qt opens the display, so a
    // wrong command line is reported on a machine without one as well.
    StartupDecision decision;
    try {
        const std::string programFolder = RunningProgramFolder();
        decision = DecideStartup(JoinArguments(argc, argv), programFolder,
                                 LookUpDefaultFolderFacts(programFolder));
    } catch (const UsageError& e) {
        Complain(e.what());
        return kUsage;
    } catch (const std::exception& e) {
        Complain(e.what());
        return kFailure;
    }
    if (!CipherAvailable()) {
        Complain(
            "the database library has no encryption (SQLCipher); the host's password-protected "
            "databases cannot be read with it");
        return kFailure;
    }
    if (!HasDisplay()) {
        Complain(
            "no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set); "
            "start it from a desktop session");
        return kUsage;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kProgramTitle));
    // QApplication sets the C locale from the environment again; the day names and the
    // decimal separator follow the person's regional settings.
    std::setlocale(LC_ALL, "");

    try {
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
        CurlMailTransport mail(MailSettingsFor(SettingsFile(decision.values)));
        QtDialogs dialogs;
        BackupWindow window(decision.values, decision.defaultFolder, fs, dialogs, clock, mail,
                            RegionalDecimalSeparator());
        dialogs.SetOwner(&window);
        return window.ShowForm(decision.StartLocation, LoadBackupWindowSettings(settings));
    } catch (const ProgramEnd& end) {
        return end.ExitCode();
    } catch (const Error& e) {
        return ShowFailure(e.what());
    } catch (const std::exception& e) {
        return ShowFailure("The program met a failure it cannot recover from and ends.", e.what());
    }
}
