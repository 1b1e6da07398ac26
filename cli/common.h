// What the headless tool's commands share: exit statuses, the Ctrl-C flag, usage
// mistakes, the option reader, the one-line progress display, the program folder and the
// scratch folders of remote archives.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive/archive.h"
#include "offsite/offsite_settings.h"
#include "retention/keep_policy.h"
#include "startup/workplace.h"

namespace vornback {

constexpr int kOk = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;
constexpr int kMailFailed = 3;     // the backup stands, checked; only its mail failed
constexpr int kOffsiteFailed = 4;  // the backup stands, checked; its offsite copy failed
constexpr int kInterrupted = 130;  // Ctrl-C, as a shell reports a process ended by SIGINT

// Set by SIGINT and SIGTERM; long work reads it and stops at a safe point.
extern std::atomic<bool> gCancel;

// A command line the tool cannot read: exit status 2, the message and the command's usage.
struct Usage {
    std::string message;
};

// -h or --help among a command's options: its usage is shown and nothing else is done.
struct HelpAsked {};

// The options of one command: values ("--to DIR"), flags ("--yes") and the rest in order.
struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    std::vector<std::string> flags;
    // Every value of a repeatable option, in the order given.
    std::map<std::string, std::vector<std::string>> lists;

    bool Has(const std::string& option) const;
    std::string Value(const std::string& option, const std::string& fallback = "") const;
};

// Reads args against the options a command knows, with the conventions of GNU tools:
// "--opt value" and "--opt=value", options before and after the other arguments, "--"
// ends the options. -h/--help (throws HelpAsked) and -q/--quiet are known to every
// command. An unknown option, a missing value or an option given twice (other than a
// repeatable one) throws Usage.
ParsedArgs ParseArgs(const std::vector<std::string>& args,
                     const std::vector<std::string>& valueOptions,
                     const std::vector<std::string>& flagOptions,
                     const std::vector<std::string>& repeatableOptions = {});

// A whole number from lo to hi, or Usage naming the option.
long long NumberOption(const std::string& name, const std::string& text, long long lo,
                       long long hi);

// The workplace of --program-folder DIR or --data DIR as FindWorkplace finds it, with this
// tool's own folder; an installed tool without either option or configuration throws Usage
// naming both ways. Where the history and locks go instead is said on stderr unless quiet.
Workplace WorkplaceOption(const ParsedArgs& args, bool sayWhere = true);

// Kept for the commands that need only the program folder.
std::string ProgramFolderOption(const ParsedArgs& args);

// JSON output: an ordered object keeps its keys in the order they were set.
using Json = nlohmann::ordered_json;

// A text for JSON: valid UTF-8 as it stands; each byte that is not part of a valid UTF-8
// sequence (a name written in another encoding) as the four characters \xNN.
std::string ReadableUtf8(const std::string& text);

// A number as JSON: a decimal number as a number, "" as null, anything else as text.
Json NumberOrNull(const std::string& text);

// Prints the objects as one JSON array, an object per line.
void PrintJsonArray(const std::vector<Json>& objects);

// Shows one progress line on a terminal: the step it is in, its share done, the bytes
// done and in all (MiB, 1,048,576 bytes), the rate and the time left; redrawn at most ten
// times a second; quiet when stderr is not a terminal. A run of several steps (a backup
// packs, then checks) names them in order: each counts from 0 again under the next name,
// so the figures of one step never run backwards.
class ProgressLine {
  public:
    explicit ProgressLine(std::vector<const char*> steps);
    explicit ProgressLine(const char* step) : ProgressLine(std::vector<const char*>{step}) {}
    ~ProgressLine() { Finish(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Empty when the line is quiet, so the work skips the reporting altogether.
    ArchiveProgressFn Callback();
    void Show(const ArchiveProgress& progress);
    // A step without figures (mailing): its name alone.
    void ShowStep(const char* step);
    // Clears the line, so that a message can follow on a clean line.
    void Finish();

  private:
    std::vector<const char*> steps_;
    size_t step_ = 0;
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_{};
    uint64_t lastDone_ = 0;
};

// The commands of run_commands.cpp (backup, restore, history) and of archive_commands.cpp
// (list, verify); each returns its exit status. pack, unpack and make-sample are in main.cpp.
int BackupCommand(const std::vector<std::string>& args);
int RestoreCommand(const std::vector<std::string>& args);
int HistoryCommand(const std::vector<std::string>& args);
int ListCommand(const std::vector<std::string>& args);
int VerifyCommand(const std::vector<std::string>& args);
int PruneCommand(const std::vector<std::string>& args);

// The passphrase of encrypted archives from --passphrase-file FILE (its first line; the file
// must be the user's own and private), "" without the option.
std::string PassphraseOption(const ParsedArgs& parsed);
// What the tool says when an archive cannot be read: an encrypted archive read without a
// passphrase says how to give one.
std::string ArchiveFailureText(const ArchiveError& e);

// The keep options of backup, prune and list --why.
extern const std::vector<std::string> kKeepOptions;
// The policy with each --keep-* option given in place of its rule (Usage for a count that
// is not a whole number from 0 to 10000).
KeepPolicy KeepOptions(const ParsedArgs& parsed, KeepPolicy policy);
// list DIR --why: every archive of the folder's date-wise and day-wise folders with the
// rules that keep it, or "remove".
int ExplainKeep(const std::string& folder, const ParsedArgs& parsed);
int DrillCommand(const std::vector<std::string>& args);
int DoctorCommand(const std::vector<std::string>& args);
int OffsiteCommand(const std::vector<std::string>& args);
int MailCommand(const std::vector<std::string>& args);

// The options that override section "Offsite" for one run: --offsite URL,
// --offsite-host-key, --offsite-identity, --offsite-encrypt, --offsite-passphrase-file,
// --offsite-verify.
extern const std::vector<std::string> kOffsiteValueOptions;
// Section "Offsite" of the program folder's settings with the options given applied.
OffsiteSettings OffsiteSettingsFor(const ParsedArgs& parsed, const std::string& programFolder);
// list and verify of an sftp:// folder, connecting with the settings' key and host key.
int ListRemote(const std::string& url, const OffsiteSettings& settings);
// passphrase: the one the remote archives are encrypted with ("" for plain ones).
int VerifyRemote(const std::string& url, const OffsiteSettings& settings,
                 const std::string& passphrase = "");
int ConfigCommand(const std::vector<std::string>& args);

// A private folder of this run in the temporary folder (vornback-<purpose>-XXXXXX), removed
// with all it holds when this goes. what names it in the error when it cannot be made.
class ScratchFolder {
  public:
    ScratchFolder(const std::string& purpose, const std::string& what);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace vornback
