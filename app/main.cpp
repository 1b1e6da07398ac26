// vornback: the window program the host starts as "<firm>,<year>,<mode>". It reads the
// command line and the settings, opens the backup window (or, for "R", the restore
// window) and ends when that window closes. "--help" and "--version" print and end without
// a window. "--choose" (and an installed program started without a command line) opens
// the chooser of data tree, firm and year first. An installed program (its folder lies in
// no data tree) works on the data tree of "--data DIR" or of the user's configuration and
// never writes into its own folder. Exit status: 0 normally, 2 for a command line or
// program folder that cannot be read, for an installed program without a data tree or for
// a machine without a display (no window opens), 1 when a failure ended the program (its
// text was shown), and the code of a refusal that ended it.
#include <QApplication>
#include <QMessageBox>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "base/warnings.h"
#include "gui/choose_window.h"
#include "gui/qt_dialogs.h"
#include "gui/start_window.h"
#include "platform/posix.h"
#include "startup/launch.h"
#include "startup/workplace.h"
#include "store/registers.h"

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "Usage: vornback [--data DIR] <firm>,<year>,<mode>\n"
    "       vornback [--data DIR] --choose\n"
    "Backs up or restores one firm of the accounting data this program is installed in.\n"
    "\n"
    "  vornback 3,2,B     the backup window for firm 3, current year 2\n"
    "  vornback 3,2,R     the restore window for firm 3, current year 2\n"
    "  vornback 3         the backup window for firm 3 (no year, no mode)\n"
    "  vornback --choose  a window to choose the data tree, the firm and the year\n"
    "  vornback --help    this text\n"
    "  vornback --version the program's version\n"
    "\n"
    "Any mode other than R opens the backup window. Fields after the third are ignored.\n"
    "A program installed outside the data tree (/usr/bin) works on the data tree of\n"
    "--data DIR or of the user's configuration (set by \"vornback-cli config --data DIR\"\n"
    "or chosen in the chooser); started without a command line it opens the chooser.\n"
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

// The window program's own options before the host's command line: "--choose" and
// "--data DIR" ("--data=DIR"); "--" ends them. The rest is the host's command line.
struct Options {
    bool choose = false;
    std::optional<std::string> data;
    std::vector<const char*> line{"vornback"};
};

Options ReadOptions(int argc, char** argv) {
    Options options;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnd || arg.rfind("--", 0) != 0) {
            options.line.push_back(argv[i]);
        } else if (arg == "--") {
            optionsEnd = true;
        } else if (arg == "--choose" && !options.choose) {
            options.choose = true;
        } else if ((arg == "--data" || arg.rfind("--data=", 0) == 0) && !options.data) {
            if (arg == "--data" && i + 1 == argc) {
                throw vornback::UsageError("--data needs a value");
            }
            options.data = arg == "--data" ? argv[++i] : arg.substr(7);
        } else if (arg == "--choose" || arg.rfind("--data", 0) == 0) {
            throw vornback::UsageError(arg.substr(0, arg.find('=')) + " is given twice");
        } else {
            throw vornback::UsageError("unknown option " + arg.substr(0, arg.find('=')) +
                                       " (vornback --help shows the usage)");
        }
    }
    if (options.choose && options.line.size() > 1) {
        throw vornback::UsageError(
            "--choose takes no command line; the firm and year are chosen in it");
    }
    return options;
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
    std::string chooserTree;  // the chooser opens on it when chosen
    bool choose = false;
    std::string ownFolder;
    try {
        const Options options = ReadOptions(argc, argv);
        ownFolder = RunningProgramFolder();
        // An installed program started without a command line (the desktop's menu) has no
        // firm to open: the person chooses one.
        choose = options.choose || (options.line.size() == 1 && !InDataTree(ownFolder));
        if (choose) {
            // The tree of --data, else the one this program lies in, else the configured.
            chooserTree = options.data            ? *options.data
                          : InDataTree(ownFolder) ? ownFolder.substr(0, ownFolder.rfind('/'))
                                                  : ConfiguredDataTree();
        } else {
            const Workplace place = FindWorkplace(std::nullopt, options.data, ownFolder);
            decision = DecideStartup(
                JoinArguments(static_cast<int>(options.line.size()), options.line.data()), place);
            if (const std::string note = StateFolderNote(place); !note.empty()) {
                Complain(note);
            }
        }
    } catch (const NoDataTree& e) {
        Complain(std::string(e.what()) + "; or choose it in \"vornback --choose\"");
        return kUsage;
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
        if (choose) {
            QtDialogs dialogs;
            SystemClock clock;
            ChooseWindow chooser(chooserTree, dialogs, clock);
            dialogs.SetOwner(&chooser);
            chooser.exec();
            const ChooserPick& pick = chooser.Pick();
            if (pick.mode.empty()) {
                return 0;
            }
            const Workplace place = FindWorkplace(std::nullopt, pick.dataTree, ownFolder);
            if (const std::string note = StateFolderNote(place); !note.empty()) {
                Complain(note);
            }
            decision = DecideChosenStartup(pick, place);
        }
        return RunStartWindow(decision);
    } catch (const ProgramEnd& end) {
        return end.ExitCode();
    } catch (const Error& e) {
        return ShowFailure(e.what());
    } catch (const std::exception& e) {
        return ShowFailure("The program met a failure it cannot recover from and ends.", e.what());
    }
}
