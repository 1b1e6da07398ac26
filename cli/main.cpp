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
#include "base/warnings.h"
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
     "backup <firm>[,<year>] [--type single|date|day] [--to DIR]\n"
     "       [--current-year|--whole-firm] [--images|--no-images] [--mail ADDRESS] [--drill]\n"
     "       [--data DIR|--program-folder DIR] [--dry-run] [-q] [--keep-last N]\n"
     "       [--keep-daily N] [--keep-weekly N] [--keep-monthly N] [--keep-yearly N]\n"
     "       [--offsite URL] [--offsite-host-key SHA256:...] [--offsite-identity FILE]\n"
     "       [--offsite-verify 0|1] [--offsite-encrypt 0|1] [--offsite-passphrase-file FILE]",
     "back up the firm as the window's \"&Backup\" does (without a year: the firm's current\n"
     "year, from its year register). The options hold for this run only; those not given\n"
     "are taken from the window's settings file, which this tool only reads (without --to:\n"
     "the default folder). --dry-run shows each choice and where it came from.\n"
     "Exit status 0 done, 1 failed or refused, 2 usage, 3 backup made but not mailed,\n"
     "4 backup made but its offsite copy failed (the reason on stderr and in the history),\n"
     "130 interrupted (no archive written, older generations intact). A date-wise or\n"
     "day-wise backup then removes the firm's older archives that the keep policy (section\n"
     "[Keep], or the --keep-* options) does not keep. --drill (or the settings key Drill=1)\n"
     "runs the restore drill on the new archive before the generations rotate; a failed\n"
     "drill keeps them (exit 1). With Encrypt=1 (or --offsite-encrypt 1) the offsite copy\n"
     "and the mail are an AES-256 copy of the archive; EncryptLocal=1 in section [Back]\n"
     "encrypts the local archive itself.",
     BackupCommand},
    {"restore",
     "restore <firm>,<year> --archive FILE --type full|year|add-firm|add-year\n"
     "       [--source-year N] [--target-year N] [--yes] [--data DIR|--program-folder DIR] [-q]\n"
     "       [--passphrase-file FILE]",
     "restore as the window's \"&Restore\" does: full firm, selected year (--source-year of\n"
     "the archive over --target-year of the firm), add firm, add year (--source-year).\n"
     "Without --yes a restore that would replace data says what and changes nothing.\n"
     "An encrypted archive is read with the passphrase in --passphrase-file FILE.",
     RestoreCommand},
    {"history", "history [--firm N] [--json] [--data DIR|--program-folder DIR]",
     "list the backups and restores recorded beside the settings file", HistoryCommand},
    {"list",
     "list DIR|sftp://user@host[:port]/folder [--json] [--why [--keep-last N] ...]\n"
     "       [--program-folder DIR] [--offsite-host-key SHA256:...] [--offsite-identity FILE]",
     "list the archives in a backup folder and its date-wise and day-wise sub-folders;\n"
     "--why shows the keep policy's decision on each dated archive: the rules that keep it\n"
     "(\"daily 3\", \"newest good copy\") or \"remove\". An sftp:// folder is reached with the\n"
     "key and host key of the offsite settings (or --offsite-identity, --offsite-host-key)",
     ListCommand},
    {"prune",
     "prune [<firm>] [DIR|sftp://user@host[:port]/folder] [--dry-run] [--json] [--keep-last N]\n"
     "       [--keep-daily N] [--keep-weekly N] [--keep-monthly N] [--keep-yearly N]\n"
     "       [--data DIR|--program-folder DIR] [--offsite-host-key SHA256:...]\n"
     "       [--offsite-identity FILE]",
     "remove the date-wise and day-wise archives (of one firm, or all) that the keep policy\n"
     "does not keep; the policy is section [Keep] of the settings, each option in place of\n"
     "its key. DIR is the backup folder (default: the default backup folder); an sftp://\n"
     "folder is the offsite folder, reached with the key and host key of the offsite\n"
     "settings (or the --offsite-* options). --dry-run shows every archive with the rules\n"
     "that keep it or \"remove\" and changes nothing.",
     PruneCommand},
    {"verify",
     "verify ARCHIVE|DIR|sftp://... [--json] [--passphrase-file FILE] [--program-folder DIR]\n"
     "       [--offsite-...]",
     "read every entry of the archives (those in a folder too) and check their CRCs;\n"
     "the archives of an sftp:// folder are downloaded to a scratch file first;\n"
     "encrypted ones are read with the passphrase in --passphrase-file FILE;\n"
     "exit status 1 when any fails",
     VerifyCommand},
    {"drill",
     "drill <firm>,<year> [--archive FILE] [--json] [--scratch DIR] [--program-folder DIR]\n"
     "       [--passphrase-file FILE]",
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
    {"config", "config [--data DIR]",
     "name the data tree an installed tool works on (kept in\n"
     "$XDG_CONFIG_HOME/vornback/vornback.conf); without --data, show it",
     ConfigCommand},
    {"mail",
     "mail set|show|test [--host HOST] [--port N] [--user USER] [--password-file FILE]\n"
     "       [--to ADDRESS] [--program-folder DIR]",
     "set writes section [Mail] of the settings file (the password stays in its file,\n"
     "which must be your own and private), show prints it and the account in use, test\n"
     "logs in and sends a short message --to ADDRESS",
     MailCommand},
    {"make-sample", "make-sample DIR [--firms N] [--years K] [--scale S] [--seed N]",
     "build a sample host data tree at DIR (missing or empty), with the programs copied\n"
     "into DIR/Bkp",
     MakeSample},
    {"pack", "pack SOURCE ARCHIVE [--exclude PATTERN]...",
     "pack the folder SOURCE into a new zip archive", Pack},
    {"unpack", "unpack ARCHIVE DEST [--passphrase-file FILE]",
     "unpack an archive below DEST (created when missing); an encrypted one with the\n"
     "passphrase in --passphrase-file FILE",
     Unpack},
};

std::string UsageText() {
    std::string text =
        "usage: vornback-cli <command> [arguments]   (vornback-cli <command> -h|--help)\n"
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
    const ParsedArgs parsed = ParseArgs(args, {"--firms", "--years", "--scale", "--seed"}, {});
    if (parsed.positional.size() != 1) {
        throw Usage{"make-sample takes one folder"};
    }
    SampleOptions options;
    if (parsed.Has("--firms")) {
        options.firms = static_cast<int>(NumberOption("--firms", parsed.Value("--firms"), 1, 1000));
    }
    if (parsed.Has("--years")) {
        options.years = static_cast<int>(NumberOption("--years", parsed.Value("--years"), 0, 50));
    }
    if (parsed.Has("--scale")) {
        const std::string v = parsed.Value("--scale");
        char* end = nullptr;
        options.scale = std::strtod(v.c_str(), &end);
        if (v.empty() || *end != '\0' || !(options.scale > 0) || options.scale > 10000) {
            throw Usage{"--scale wants a number above 0, not \"" + v + "\""};
        }
    }
    if (parsed.Has("--seed")) {
        options.seed =
            static_cast<uint64_t>(NumberOption("--seed", parsed.Value("--seed"), 0, INT64_MAX));
    }
    options.programFiles = ProgramFiles();
    return BuildSample(parsed.positional[0], options);
}

int Pack(const std::vector<std::string>& args) {
    const ParsedArgs parsed = ParseArgs(args, {}, {}, {"--exclude"});
    if (parsed.positional.size() != 2) {
        throw Usage{"pack needs SOURCE and ARCHIVE"};
    }
    PackOptions options;
    const auto excluded = parsed.lists.find("--exclude");
    if (excluded != parsed.lists.end()) {
        options.excludePatterns = excluded->second;
    }
    const std::vector<std::string>& positional = parsed.positional;
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

int Unpack(const std::vector<std::string>& parameters) {
    const ParsedArgs parsed = ParseArgs(parameters, {"--passphrase-file"}, {});
    const std::vector<std::string>& args = parsed.positional;
    if (args.size() != 2) {
        throw Usage{"unpack needs ARCHIVE and DEST"};
    }
    UnpackOptions options;
    options.passphrase = PassphraseOption(parsed);
    ProgressLine line("unpacking");
    options.progress = line.Callback();
    options.cancel = &gCancel;
    try {
        // All or nothing: a failed or cancelled unpack leaves nothing at DEST.
        UnpackArchiveWhole(args[0], args[1], options);
    } catch (const ArchiveCancelled&) {
        throw;
    } catch (const ArchiveError& e) {
        throw Error(ArchiveFailureText(e) + " (nothing was unpacked into " + args[1] + ")");
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
    if (!CipherAvailable()) {
        throw Error(
            "the database library has no encryption support; refusing to work on "
            "password-protected registers");
    }
    try {
        return help->run(args);
    } catch (const HelpAsked&) {
        std::cout << "usage: vornback-cli " << help->synopsis << "\n\n" << help->text << "\n";
        return kOk;
    }
}

// The core's warnings, one line each on stderr under the tool's own name.
class PrintWarnings : public WarningSink {
  public:
    void Warn(const std::string& text) override { std::cerr << "vornback-cli: " << text << "\n"; }
};

}  // namespace
}  // namespace vornback

int main(int argc, char** argv) {
    // Day names and the decimal separator follow the person's regional settings, as in the
    // window program.
    std::setlocale(LC_ALL, "");
    vornback::ReadTimeZoneOnce();
    vornback::PrintWarnings warnings;
    vornback::SetWarningSink(&warnings);
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
