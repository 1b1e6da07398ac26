// vornback-cli: the headless tool. Backs up and restores as the window program does,
// lists the run history, lists and checks archives, builds sample data trees and runs the
// archive component. Exit status: 0 success, 1 failure (message on stderr), 2 usage,
// 3 backup made but not mailed, 4 backup made but not copied offsite, 130 interrupted.
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/errors.h"
#include "common.h"
#include "platform/posix.h"
#include "sample/sample_tree.h"
#include "startup/launch.h"
#include "store/registers.h"

namespace vornback {
namespace {

int MakeSample(const std::vector<std::string>& args);
int Pack(const std::vector<std::string>& args);
int Unpack(const std::vector<std::string>& args);

// One entry per command: its synopsis and what it does, for the usage text and --help, and
// the function that runs it.
struct CommandHelp {
    const char* name;
    const char* synopsis;
    const char* text;
    int (*run)(const std::vector<std::string>& args);
};

const CommandHelp kCommands[] = {
    {"backup",
     "backup <firm>,<year> [--type single|date|day] [--to DIR] [--current-year] [--images]\n"
     "       [--mail ADDRESS] [--drill] [--program-folder DIR] [--dry-run] [--keep-last N]\n"
     "       [--keep-daily N] [--keep-weekly N] [--keep-monthly N] [--keep-yearly N]\n"
     "       [--offsite URL] [--offsite-host-key SHA256:...] [--offsite-identity FILE]\n"
     "       [--offsite-verify 0|1]",
     "back up the firm as the window's \"&Backup\" does; options not given are taken from\n"
     "the settings file as the window opens with them (without --to: the default folder).\n"
     "Exit status 0 done, 1 failed or refused, 2 usage, 3 backup made but not mailed,\n"
     "4 backup made but its offsite copy failed (the reason on stderr and in the history),\n"
     "130 interrupted (no archive written, older generations intact). --dry-run shows what\n"
     "would be done. A date-wise or day-wise backup then removes the firm's older archives\n"
     "that the keep policy (section [Keep], or the --keep-* options) does not keep.\n"
     "--drill (or the settings key Drill=1) runs the restore drill on the new archive\n"
     "before the generations rotate; a failed drill keeps them (exit 1).",
     BackupCommand},
    {"restore",
     "restore <firm>,<year> --archive FILE --type full|year|add-firm|add-year\n"
     "       [--source-year N] [--target-year N] [--yes] [--program-folder DIR]",
     "restore as the window's \"&Restore\" does: full firm, selected year (--source-year of\n"
     "the archive over --target-year of the firm), add firm, add year (--source-year).\n"
     "Without --yes a restore that would replace data says what and changes nothing.",
     RestoreCommand},
    {"history", "history [--firm N] [--json] [--program-folder DIR]",
     "list the backups and restores recorded beside the settings file", HistoryCommand},
    {"list",
     "list DIR|sftp://user@host[:port]/folder [--why [--keep-last N] ...] [--program-folder DIR]\n"
     "       [--offsite-host-key SHA256:...] [--offsite-identity FILE]",
     "list the archives in a backup folder and its date-wise and day-wise sub-folders;\n"
     "--why shows the keep policy's decision on each dated archive: the rules that keep it\n"
     "(\"daily 3\", \"newest good copy\") or \"remove\". An sftp:// folder is reached with the\n"
     "key and host key of the offsite settings (or --offsite-identity, --offsite-host-key)",
     ListCommand},
    {"prune",
     "prune [<firm>] [DIR] [--dry-run] [--json] [--keep-last N] [--keep-daily N]\n"
     "       [--keep-weekly N] [--keep-monthly N] [--keep-yearly N] [--program-folder DIR]",
     "remove the date-wise and day-wise archives (of one firm, or all) that the keep policy\n"
     "does not keep; the policy is section [Keep] of the settings, each option in place of\n"
     "its key. DIR is the backup folder (default: the default backup folder). --dry-run\n"
     "shows every archive with the rules that keep it or \"remove\" and changes nothing.",
     PruneCommand},
    {"verify", "verify ARCHIVE|DIR|sftp://...  [--program-folder DIR] [--offsite-...]",
     "read every entry of the archives (those in a folder too) and check their CRCs;\n"
     "the archives of an sftp:// folder are downloaded to a scratch file first;\n"
     "exit status 1 when any fails",
     VerifyCommand},
    {"drill",
     "drill <firm>,<year> [--archive FILE] [--json] [--scratch DIR] [--program-folder DIR]",
     "prove an archive restorable: unpack it into a private scratch folder, check every\n"
     "entry, open every database with its key and check it, match the year register with\n"
     "the year folders (default: the newest Firm<n>.zip of the backup folder). Recorded in\n"
     "the history. Exit status 0 proven, 1 failed, 2 usage.",
     DrillCommand},
    {"doctor", "doctor [--data DIR] [--fix] [--json] [--program-folder DIR]",
     "examine the live data tree: registers and folders, databases, letter-case twins,\n"
     "leftovers of interrupted runs, stale locks; --fix removes leftovers and stale locks\n"
     "only. Exit status 0 healthy, 1 findings.",
     DoctorCommand},
    {"offsite",
     "offsite set|show|test [--url sftp://user@host[:port]/folder] [--host-key SHA256:...]\n"
     "       [--identity FILE] [--verify 0|1] [--encrypt 0|1] [--passphrase-file FILE]\n"
     "       [--program-folder DIR]",
     "set writes section [Offsite] of the settings file (an empty --url turns the copy\n"
     "off), show prints it, test connects, checks the host key and the login, and writes\n"
     "and removes a probe file in the folder. A backup copies its checked archive there;\n"
     "backup takes --offsite URL, --offsite-host-key, --offsite-identity, --offsite-verify\n"
     "for one run. A failed offsite copy leaves the local backup as it is: exit status 4.",
     OffsiteCommand},
    {"make-sample", "make-sample DIR [--firms N] [--years K] [--scale S] [--seed N]",
     "build a sample host data tree at DIR (missing or empty), with the programs copied\n"
     "into DIR/Bkp",
     MakeSample},
    {"pack", "pack SOURCE ARCHIVE [--exclude PATTERN]...",
     "pack the folder SOURCE into a new zip archive", Pack},
    {"unpack", "unpack ARCHIVE DEST", "unpack an archive below DEST (created when missing)",
     Unpack},
};

std::string UsageText() {
    std::string text =
        "usage: vornback-cli <command> [arguments]   (vornback-cli <command> --help)\n"
        "       vornback-cli --version\n\ncommands:\n";
    for (const CommandHelp& c : kCommands) {
        text += "  " + std::string(c.synopsis) + "\n";
    }
    return text;
}

const CommandHelp* FindCommand(const std::string& name) {
    for (const CommandHelp& c : kCommands) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

std::string gCommand;  // the command being run, for the usage shown after a mistake

extern "C" void OnSignal(int) {
    gCancel = true;
}

// The programs that make the sample tree runnable: this tool and, when built beside it,
// the window program.
std::vector<std::string> ProgramFiles() {
    std::vector<std::string> files;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return files;
    }
    files.push_back(self.string());
    const auto window = self.parent_path().parent_path() / "app" / "vornback";
    const auto beside = self.parent_path() / "vornback";
    for (const auto& candidate : {beside, window}) {
        if (std::filesystem::is_regular_file(candidate, ec)) {
            files.push_back(candidate.string());
            break;
        }
    }
    return files;
}

// Builds the tree in a child process, so that Ctrl-C stops it at once: the child is ended
// and the part it had built removed (a folder that held anything is never touched, as the
// builder refuses it before writing).
int BuildSample(const std::string& dir, const SampleOptions& options) {
    namespace fs = std::filesystem;
    std::error_code error;
    const bool wasThere = fs::exists(dir, error);
    const bool wasEmpty = !wasThere || (fs::is_directory(dir, error) && fs::is_empty(dir, error));
    std::cout.flush();
    const pid_t child = ::fork();
    if (child < 0) {
        throw Error("make-sample could not start its builder: " + std::string(strerror(errno)));
    }
    if (child == 0) {
        int status = kOk;
        try {
            MakeSampleTree(dir, options);
        } catch (const std::exception& e) {
            std::cerr << "vornback-cli: " << e.what() << "\n";
            status = kFailure;
        }
        std::_Exit(status);
    }
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (gCancel) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            if (wasEmpty) {
                for (const auto& entry : fs::directory_iterator(dir, error)) {
                    fs::remove_all(entry.path(), error);
                }
                if (!wasThere) {
                    fs::remove(dir, error);
                }
            }
            std::cerr << "vornback-cli: interrupted; the part of the sample tree already built "
                         "was removed\n";
            return kInterrupted;
        }
        ::usleep(20000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != kOk) {
        return kFailure;
    }
    std::cout << "sample data tree at " << dir << ", program folder " << dir << "/Bkp\n";
    return kOk;
}

int MakeSample(const std::vector<std::string>& args) {
    if (args.empty()) {
        throw Usage{"make-sample needs a folder"};
    }
    SampleOptions options;
    std::string dir;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) {
                throw Usage{a + " needs a value"};
            }
            return args[++i];
        };
        if (a == "--firms") {
            options.firms = static_cast<int>(NumberOption(a, value(), 1, 1000));
        } else if (a == "--years") {
            options.years = static_cast<int>(NumberOption(a, value(), 0, 50));
        } else if (a == "--scale") {
            const std::string& v = value();
            char* end = nullptr;
            options.scale = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(options.scale > 0) || options.scale > 10000) {
                throw Usage{"--scale wants a number above 0, not \"" + v + "\""};
            }
        } else if (a == "--seed") {
            options.seed = static_cast<uint64_t>(NumberOption(a, value(), 0, INT64_MAX));
        } else if (!a.empty() && a[0] == '-') {
            throw Usage{"unknown option " + a};
        } else if (dir.empty()) {
            dir = a;
        } else {
            throw Usage{"make-sample takes one folder"};
        }
    }
    if (dir.empty()) {
        throw Usage{"make-sample needs a folder"};
    }
    options.programFiles = ProgramFiles();
    return BuildSample(dir, options);
}

int Pack(const std::vector<std::string>& args) {
    PackOptions options;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--exclude") {
            if (i + 1 >= args.size()) {
                throw Usage{"--exclude needs a pattern"};
            }
            options.excludePatterns.push_back(args[++i]);
        } else if (!args[i].empty() && args[i][0] == '-') {
            throw Usage{"unknown option " + args[i]};
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 2) {
        throw Usage{"pack needs SOURCE and ARCHIVE"};
    }
    ProgressLine line("packing");
    options.progress = line.Callback();
    options.cancel = &gCancel;
    const PackSummary summary = PackFolder(positional[0], positional[1], options);
    line.Finish();
    for (const std::string& link : summary.skippedLinks) {
        std::cerr << "vornback-cli: " << link << " is a link and was not packed\n";
    }
    return kOk;
}

int Unpack(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        throw Usage{"unpack needs ARCHIVE and DEST"};
    }
    ProgressLine line("unpacking");
    UnpackOptions options;
    options.progress = line.Callback();
    options.cancel = &gCancel;
    try {
        // All or nothing: a failed or cancelled unpack leaves nothing at DEST.
        UnpackArchiveWhole(args[0], args[1], options);
    } catch (const ArchiveCancelled&) {
        throw;
    } catch (const Error& e) {
        throw Error(std::string(e.what()) + " (nothing was unpacked into " + args[1] + ")");
    }
    line.Finish();
    return kOk;
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        throw Usage{"no command given"};
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << UsageText();
        return kOk;
    }
    if (command == "--version") {
        std::cout << "vornback-cli " << VORNBACK_VERSION << "\n";
        return kOk;
    }
    const std::vector<std::string> args(argv + 2, argv + argc);
    const CommandHelp* help = FindCommand(command);
    if (help == nullptr) {
        throw Usage{"unknown command \"" + command + "\""};
    }
    gCommand = command;
    if (std::find(args.begin(), args.end(), "--help") != args.end()) {
        std::cout << "usage: vornback-cli " << help->synopsis << "\n\n" << help->text << "\n";
        return kOk;
    }
    if (!CipherAvailable()) {
        throw Error(
            "the database library has no encryption support; refusing to work on "
            "password-protected registers");
    }
    return help->run(args);
}

}  // namespace
}  // namespace vornback

int main(int argc, char** argv) {
    // Day names and the decimal separator follow the person's regional settings, as in the
    // window program.
    std::setlocale(LC_ALL, "");
    vornback::ReadTimeZoneOnce();
    std::signal(SIGINT, vornback::OnSignal);
    std::signal(SIGTERM, vornback::OnSignal);
    int status = vornback::kFailure;
    try {
        status = vornback::Run(argc, argv);
    } catch (const vornback::Usage& u) {
        const vornback::CommandHelp* help = vornback::FindCommand(vornback::gCommand);
        std::cerr << "vornback-cli: " << u.message << "\n\n"
                  << (help != nullptr ? "usage: vornback-cli " + std::string(help->synopsis) + "\n"
                                      : vornback::UsageText());
        return vornback::kUsage;
    } catch (const vornback::ArchiveCancelled&) {
        std::cerr << "vornback-cli: interrupted; nothing was left half-written\n";
        return vornback::kInterrupted;
    } catch (const vornback::ProgramEnd& end) {
        // A refusal whose message is on stderr already.
        return end.ExitCode();
    } catch (const std::exception& e) {
        std::cerr << "vornback-cli: " << e.what() << "\n";
        status = vornback::kFailure;
    }
    return vornback::gCancel ? vornback::kInterrupted : status;
}
