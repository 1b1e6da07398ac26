// vornback: the window program the host starts as "<firm>,<year>,<mode>". It reads the
// command line and the settings, opens the backup window (or, for "R", the restore
// window) and ends when that window closes. Exit status: 0 normally, 2 for a command line
// or program folder that cannot be read (no window opens), 1 when a failure ended the
// program (its text was shown), and the code of a refusal that ended it.
#include <QApplication>
#include <QMessageBox>
#include <clocale>
#include <cstdio>
#include <exception>
#include <string>

#include "base/clock.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "gui/backup_window.h"
#include "gui/qt_dialogs.h"
#include "gui/restore_window.h"
#include "gui/year_list_window.h"
#include "mail/mail.h"
#include "platform/file_system.h"
#include "recovery/recovery.h"
#include "startup/launch.h"
#include "store/registers.h"

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;

void Complain(const std::string& text) {
    std::fprintf(stderr, "vornback: %s\n", text.c_str());
}

int ShowFailure(const std::string& text) {
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(vornback::kProgramTitle),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return kFailure;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vornback;
    std::setlocale(LC_ALL, "");

    // Everything that can refuse the start is settled before Qt opens the display, so a
    // wrong command line is reported on a machine without one as well.
    StartupDecision decision;
    VolumeInfo volume;
    try {
        const std::string programFolder = RunningProgramFolder();
        volume = LookUpVolume(programFolder);
        decision = DecideStartup(JoinArguments(argc, argv), programFolder, volume);
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

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kProgramTitle));
    // QApplication sets the C locale from the environment again; the day names and the
    // decimal separator follow the person's regional settings.
    std::setlocale(LC_ALL, "");

    try {
        LocalFileSystem fs;
        // What killed runs left is finished or removed before a window touches a firm.
        if (const auto done = RecoverAtStartup(decision.values, fs); !done.empty()) {
            std::string text;
            for (const std::string& line : done) {
                text += line + "\n";
            }
            QMessageBox::information(nullptr, QString::fromUtf8(kProgramTitle),
                                     QString::fromStdString(text));
        }
        if (decision.window == StartWindow::Restore) {
            QtDialogs dialogs;
            QtYearChooser years;
            RestoreWindow window(decision.values, volume, fs, dialogs, years);
            dialogs.SetOwner(&window);
            years.SetOwner(&window);
            return window.ShowForm(decision.StartLocation);
        }

        SystemClock clock;
        CurlMailTransport mail(SmtpSettingsFromEnvironment());
        QtDialogs dialogs;
        BackupWindow window(decision.values, volume, fs, dialogs, clock, mail,
                            RegionalDecimalSeparator());
        dialogs.SetOwner(&window);
        return window.ShowForm(decision.StartLocation);
    } catch (const ProgramEnd& end) {
        return end.ExitCode();
    } catch (const std::exception& e) {
        return ShowFailure(e.what());
    }
}
