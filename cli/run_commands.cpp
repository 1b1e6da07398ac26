// backup, restore and history: the window's own runs, driven from the command line. The
// command line gives the choices a person would make in the window; what the window would
// ask is answered here, never asked, and every message becomes a line on stderr.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "backup/backup_run.h"
#include "base/clock.h"
#include "base/data_tree.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "base/text.h"
#include "common.h"
#include "history/history.h"
#include "mail/mail.h"
#include "platform/file_system.h"
#include "recovery/recovery.h"
#include "restore/restore_run.h"
#include "restore/year_list.h"
#include "retention/prune.h"
#include "startup/firm_list.h"
#include "startup/launch.h"
#include "startup/mail_account.h"
#include "startup/window_settings.h"
#include "store/registers.h"

namespace vornback {
namespace {

constexpr const char* kBackupDone = "Back up Completed. Do You Want To Exit?";
constexpr const char* kRestoreDone = "Restore Competed. Do You Want To Exit?";
constexpr const char* kMailFailure = "Backup Can not Email";

// Answers what the window would ask: the closing questions with Yes (the tool ends
// anyway), every other question with the answer the command line gave. Messages become
// lines on stderr; the archive "chosen in the file dialog" is the one named by --archive.
class CommandLineDialogs : public Dialogs {
  public:
    CommandLineDialogs(ProgressLine& line, bool yes, std::string archive = "")
        : line_(line), yes_(yes), archive_(std::move(archive)) {}

    Answer Show(const Message& m) override {
        if (m.text == kBackupDone || m.text == kRestoreDone) {
            // The older backups the keep policy removed, here and in the offsite folder, are
            // said on the command line too.
            for (const char* said : {"; removed ", "; offsite: removed "}) {
                const size_t removed = m.detail.find(said);
                if (removed == std::string::npos) {
                    continue;
                }
                size_t end = m.detail.find("; ", removed + 2);
                end = std::min(end, m.detail.find(". ", removed));
                end = end == std::string::npos ? m.detail.size() - 1 : end;
                line_.Finish();
                std::cerr << "vornback-cli: " << m.detail.substr(removed + 2, end - removed - 2)
                          << "\n";
            }
            doneDetail = m.detail;
            return Answer::Yes;
        }
        line_.Finish();
        std::string text = "vornback-cli: " + m.text;
        if (!m.detail.empty()) {
            text += " (" + m.detail + ")";
        }
        if (m.buttons == Buttons::YesNo) {
            std::cerr << text << " -> " << (yes_ ? "Yes" : "No") << "\n";
            return yes_ ? Answer::Yes : Answer::No;
        }
        std::cerr << text << "\n";
        mailFailed = mailFailed || m.text == kMailFailure;
        return Answer::Ok;
    }
    std::string BrowseForFolder(const std::string&, const std::string&) override { return ""; }
    // After a refused year the window's steps stop here, before anything is unpacked.
    std::string OpenFile(const std::string&, const std::string&, const std::string&) override {
        return years_ != nullptr && !years_->empty() ? "" : archive_;
    }
    void StopAfterRefusal(const std::string* refusal) { years_ = refusal; }

    bool mailFailed = false;
    std::string doneDetail;  // what the closing question said: the archive, what was replaced

  private:
    ProgressLine& line_;
    bool yes_;
    std::string archive_;
    const std::string* years_ = nullptr;
};

class CommandLineBackupView : public BackupView {
  public:
    explicit CommandLineBackupView(ProgressLine& line) : line_(line) {}
    void BusyOn() override {}
    void BusyOff() override {}
    void FocusBrowseButton() override {}
    void ShowProgress(const ArchiveProgress& p) override { line_.Show(p); }
    void KeepAlive() override {
        if (!mailing_) {
            mailing_ = true;
            line_.ShowStep("mailing");
        }
    }

  private:
    ProgressLine& line_;
    bool mailing_ = false;
};

class CommandLineRestoreView : public RestoreView {
  public:
    CommandLineRestoreView(ProgressLine& line, std::string passphrase)
        : line_(line), passphrase_(std::move(passphrase)) {}
    void BusyOn() override {}
    void BusyOff() override {}
    void FocusBrowseButton() override {}
    void ShowProgress(const ArchiveProgress& p) override { line_.Show(p); }
    void ShowLabels() override {}
    std::optional<std::string> Passphrase(const std::string& archive) override {
        if (passphrase_.empty()) {
            std::cerr << "vornback-cli: " << archive
                      << " is encrypted: give its passphrase with --passphrase-file FILE\n";
            return std::nullopt;
        }
        return passphrase_;
    }

  private:
    ProgressLine& line_;
    std::string passphrase_;
};

// Picks the years named on the command line from the lists the window would show, in the
// order the window shows them; a year that is not in its list is remembered as refused.
class CommandLineYears : public YearChooser {
  public:
    struct Wanted {
        long long year;
        std::string list;  // whose register the list shows
    };
    explicit CommandLineYears(std::vector<Wanted> wanted) : wanted_(std::move(wanted)) {}

    YearPick ChooseYear(const std::vector<YearListRow>& rows) override {
        if (next_ >= wanted_.size() || !refusal.empty()) {
            return {};
        }
        const Wanted& want = wanted_[next_++];
        std::string held;
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].no == std::to_string(want.year)) {
                return YearPick{PickKey::Enter, i};
            }
            held += (held.empty() ? "" : ", ") + rows[i].no;
        }
        refusal = "Year " + std::to_string(want.year) + " is not in " + want.list + " (it holds " +
                  (held.empty() ? "no year" : "years " + held) + "); nothing was restored.";
        return {};
    }

    std::string refusal;

  private:
    std::vector<Wanted> wanted_;
    size_t next_ = 0;
};

// The firm's current year: the year of its register whose period holds today, else its
// latest year. Error when the register cannot be read or holds no year.
std::string CurrentYear(const ProgramValues& values) {
    std::vector<YearRow> years;
    try {
        Database db = OpenFirmConnection(values);
        years = YearsInOrder(db);
    } catch (const DatabaseError& e) {
        throw Error("The current year of firm " + std::to_string(values.CurrentFirmNo) +
                    " cannot be read from its year register: " + e.what() +
                    ". Give the year as <firm>,<year>.");
    }
    if (years.empty()) {
        throw Error("The year register of firm " + std::to_string(values.CurrentFirmNo) +
                    " holds no year; nothing was backed up.");
    }
    const Today today = SystemClock().Now();
    return std::to_string(
        years[CurrentYearIndex(years, Date{today.year, today.month, today.day})].Col99);
}

// "<firm>,<year>" with the mode letter the window program would get, in the data tree the
// options name.
StartupDecision Decide(const std::string& firmYear, const std::string& mode,
                       const ParsedArgs& parsed) {
    const size_t comma = firmYear.find(',');
    // A backup may name the firm alone: its current year is then read from its register.
    const bool yearGiven = comma != std::string::npos;
    const std::string firm = firmYear.substr(0, comma);
    if ((yearGiven &&
         (firmYear.find(',', comma + 1) != std::string::npos || comma + 1 == firmYear.size())) ||
        !IsDecimalNumber(firm) || (!yearGiven && mode != "B")) {
        throw Usage{"the firm and year are given as <firm>,<year>, for example 1,2" +
                    std::string(mode == "B" ? " (or the firm alone for its current year)" : "") +
                    "; not \"" + firmYear + "\""};
    }
    const Workplace place = WorkplaceOption(parsed);
    StartupDecision start;
    try {
        start = DecideStartup((yearGiven ? firmYear : firm + ",0") + "," + mode, place);
    } catch (const UsageError& e) {
        throw Usage{e.what()};
    }
    if (!yearGiven) {
        start.values.CurrentYearNo = CurrentYear(start.values);
    }
    return start;
}

std::string OnePositional(const ParsedArgs& parsed, const char* command) {
    if (parsed.positional.size() != 1) {
        throw Usage{std::string(command) + " takes one <firm>,<year>"};
    }
    return parsed.positional[0];
}

// What an interrupted run of the firm left is finished or undone first, under the firm's
// lock, as the window program's start does; each action is a line.
void RecoverFirmFirst(const ProgramValues& values) {
    LocalFileSystem fs;
    for (const std::string& line : RecoverFirm(values, fs, values.CurrentFirmNo)) {
        std::cerr << "vornback-cli: " << line << "\n";
    }
}

// The one line a successful backup ends with, from the line the run left in the history:
// the archive, its size, its files and the time the run took.
std::string BackupSummary(const ProgramValues& values) {
    const std::vector<HistoryRecord> records = ReadHistory(HistoryFile(values));
    for (auto r = records.rbegin(); r != records.rend(); ++r) {
        if (r->firm == values.CurrentFirmNo && r->kind.rfind("backup", 0) == 0 &&
            r->result == RunResult::Ok) {
            char figures[128];
            std::snprintf(figures, sizeof figures, "%s (%llu bytes), %llu files, %.1f s",
                          SizeText(r->bytes).c_str(), static_cast<unsigned long long>(r->bytes),
                          static_cast<unsigned long long>(r->files), r->seconds);
            return "backed up firm " + std::to_string(r->firm) + ", year " + r->year + " into " +
                   r->archive + ": " + figures;
        }
    }
    return "backed up firm " + std::to_string(values.CurrentFirmNo);
}

int Interrupted(const char* what) {
    std::cerr << "vornback-cli: interrupted; " << what << "\n";
    return kInterrupted;
}

// Files and bytes below a folder, to say what a restore would replace.
std::string Contents(const std::string& folder) {
    uint64_t files = 0;
    uint64_t bytes = 0;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file(error)) {
            ++files;
            bytes += it->file_size(error);
        }
    }
    return std::to_string(files) + " files, " + std::to_string(bytes) + " bytes";
}

}  // namespace

int BackupCommand(const std::vector<std::string>& args) {
    std::vector<std::string> valueOptions = {"--type", "--to", "--mail", "--program-folder",
                                             "--data"};
    valueOptions.insert(valueOptions.end(), kKeepOptions.begin(), kKeepOptions.end());
    valueOptions.insert(valueOptions.end(), kOffsiteValueOptions.begin(),
                        kOffsiteValueOptions.end());
    const ParsedArgs parsed = ParseArgs(
        args, valueOptions,
        {"--current-year", "--whole-firm", "--images", "--no-images", "--dry-run", "--drill"});
    const std::string firmYear = OnePositional(parsed, "backup");
    int type = -1;
    if (parsed.Has("--type")) {
        const std::string t = parsed.Value("--type");
        type = t == "single" ? 0 : t == "date" ? 1 : t == "day" ? 2 : -1;
        if (type < 0) {
            throw Usage{"--type is single, date or day, not \"" + t + "\""};
        }
    }
    for (const auto& [one, other] :
         {std::pair{"--current-year", "--whole-firm"}, std::pair{"--images", "--no-images"},
          std::pair{"--images", "--current-year"}}) {
        if (parsed.Has(one) && parsed.Has(other)) {
            throw Usage{std::string(one) + " cannot go with " + other +
                        (std::string(other) == "--current-year"
                             ? ": a current-year backup has no images"
                             : "")};
        }
    }
    if (parsed.Has("--mail") && TrimBlanks(parsed.Value("--mail")).empty()) {
        throw Usage{"--mail needs an address"};
    }
    const StartupDecision start = Decide(firmYear, "B", parsed);
    const ProgramValues& values = start.values;
    const std::string settingsFile = SettingsFile(values);
    const BackupWindowSettings stored = LoadBackupWindowSettings(settingsFile);

    // The window's controls as they would open, with this run's options in their place;
    // each choice remembers where it came from, for --dry-run.
    const std::string fromSettings = "settings file " + settingsFile;
    auto from = [&](const char* option) { return std::string("option ") + option; };
    BackupChoices c;
    c.defaultFolder = start.defaultFolder;
    c.backupPath = start.StartLocation;
    std::string folderFrom = "the default backup folder";
    if (parsed.Has("--to")) {
        c.folder = FolderChoice::Other;
        c.backupPath = parsed.Value("--to");
        folderFrom = from("--to");
    }
    const int storedType = stored.BackType;
    std::string typeFrom = type >= 0 ? from("--type") : fromSettings;
    if (type < 0 && (storedType < 0 || storedType > 2)) {
        typeFrom = "the window's first choice (no type in the " + fromSettings + ")";
    }
    c.type = BackupTypeAt(type >= 0 ? type : (storedType >= 0 && storedType <= 2 ? storedType : 0));
    // --images and --whole-firm ask for a whole-firm backup: a stored "Only Current Year"
    // gives way to them.
    const bool wholeFirm = parsed.Has("--whole-firm") || parsed.Has("--images");
    c.currentYearOnly = parsed.Has("--current-year") || (stored.CurYr == 1 && !wholeFirm);
    const std::string yearFrom = parsed.Has("--current-year") ? from("--current-year")
                                 : parsed.Has("--whole-firm") ? from("--whole-firm")
                                 : parsed.Has("--images")     ? from("--images")
                                                              : fromSettings;
    c.includeImages = !c.currentYearOnly && !parsed.Has("--no-images") &&
                      (parsed.Has("--images") || stored.IncAtcDoc == 1);
    const std::string imagesFrom = parsed.Has("--images")         ? from("--images")
                                   : parsed.Has("--no-images")    ? from("--no-images")
                                   : parsed.Has("--current-year") ? from("--current-year")
                                                                  : fromSettings;
    const bool advanced = type >= 0 || parsed.Has("--current-year") || parsed.Has("--images") ||
                          parsed.Has("--whole-firm") || parsed.Has("--no-images");
    c.advanced = advanced || stored.AdvSet == 1;
    c.sendEmail = parsed.Has("--mail");
    c.emailAddress = parsed.Value("--mail");
    // The keep options stand in for their keys of section "Keep"; the others stay.
    const KeepPolicy storedKeep = LoadKeepPolicy(SettingsFile(values));
    if (const KeepPolicy keep = KeepOptions(parsed, storedKeep); !(keep == storedKeep)) {
        c.keep = keep;
    }
    c.drill = parsed.Has("--drill") || stored.Drill == 1 ? 1 : 0;

    if (parsed.Has("--dry-run")) {
        static const char* const kTypes[] = {"single", "date", "day"};
        const std::string into = c.folder == FolderChoice::Default ? c.defaultFolder : c.backupPath;
        std::cout << "backup of firm " << values.CurrentFirmNo << ", year " << values.CurrentYearNo
                  << ", from " << FirmFolder(values, values.CurrentFirmNo) << " into " << into
                  << " (" << kTypes[static_cast<int>(c.type)]
                  << (c.currentYearOnly ? ", current year only" : "")
                  << (c.includeImages ? ", with images" : "")
                  << (c.sendEmail ? ", mailed to " + c.emailAddress : "")
                  << (c.type != BackupType::Single
                          ? ", keep " + KeepOptions(parsed, storedKeep).Text()
                          : "")
                  << (c.drill ? ", drilled before the generations rotate" : "") << ")\n"
                  << "  folder: " << into << " (" << folderFrom << ")\n"
                  << "  type: " << kTypes[static_cast<int>(c.type)] << " (" << typeFrom << ")\n"
                  << "  what: " << (c.currentYearOnly ? "the current year only" : "the whole firm")
                  << " (" << yearFrom << ")\n"
                  << "  images: " << (c.includeImages ? "included" : "left out") << " ("
                  << imagesFrom << ")\n"
                  << "  mail: " << (c.sendEmail ? c.emailAddress : "none") << " ("
                  << (c.sendEmail ? from("--mail") : "no --mail") << ")\n"
                  << "  settings file: " << settingsFile
                  << " (read only: this tool never writes it)\n";
        return kOk;
    }

    RecoverFirmFirst(values);
    ProgressLine line({"packing", "checking"});
    CommandLineDialogs dialogs(line, true);
    CommandLineBackupView view(line);
    LocalFileSystem fs;
    SystemClock clock;
    CurlMailTransport mail(MailSettingsFor(SettingsFile(values)), clock);
    BackupContext ctx{values, fs, dialogs, clock, mail, view, RegionalDecimalSeparator()};
    ctx.cancel = &gCancel;
    ctx.offsite = OffsiteSettingsFor(parsed, values.ProgramFolder);
    ctx.keepChoices = false;
    std::string backupSourceFolder;
    // A stopped run's message is on stderr already.
    bool stopped = false;
    try {
        RunBackup(ctx, c, backupSourceFolder);
    } catch (const ArchiveCancelled&) {
        line.Finish();
        return Interrupted("no archive was written and the older generations are as they were");
    } catch (const RunStopped&) {
        stopped = true;
    }
    line.Finish();
    if (gCancel) {
        return Interrupted("the backup had been made and checked already");
    }
    if (stopped) {
        return kFailure;
    }
    if (!parsed.Has("--quiet")) {
        std::cout << BackupSummary(values) << "\n";
    }
    if (!ctx.offsiteFailure.empty()) {
        std::cerr << "vornback-cli: the backup is made and checked, but its offsite copy failed: "
                  << ctx.offsiteFailure << "\n";
        return kOffsiteFailed;
    }
    return dialogs.mailFailed ? kMailFailed : kOk;
}

int RestoreCommand(const std::vector<std::string>& args) {
    const ParsedArgs parsed = ParseArgs(args,
                                        {"--archive", "--type", "--source-year", "--target-year",
                                         "--program-folder", "--data", "--passphrase-file"},
                                        {"--yes"});
    const std::string firmYear = OnePositional(parsed, "restore");
    static const std::vector<std::string> kTypes = {"full", "year", "add-firm", "add-year"};
    const std::string typeName = parsed.Value("--type");
    const auto found = std::find(kTypes.begin(), kTypes.end(), typeName);
    if (found == kTypes.end()) {
        throw Usage{"--type is full, year, add-firm or add-year"};
    }
    const int type = static_cast<int>(found - kTypes.begin());
    if (!parsed.Has("--archive") || parsed.Value("--archive").empty()) {
        throw Usage{"restore needs --archive FILE"};
    }
    const bool needsSource = type == 1 || type == 3;
    if (needsSource != parsed.Has("--source-year") || (type == 1) != parsed.Has("--target-year")) {
        throw Usage{"--type " + typeName +
                    (type == 1   ? " needs --source-year and --target-year"
                     : type == 3 ? " needs --source-year and takes no --target-year"
                                 : " takes no --source-year or --target-year")};
    }
    const long long source =
        needsSource ? NumberOption("--source-year", parsed.Value("--source-year"), 0, 32767) : 0;
    const long long target =
        type == 1 ? NumberOption("--target-year", parsed.Value("--target-year"), 0, 32767) : 0;

    const StartupDecision start = Decide(firmYear, "R", parsed);
    const ProgramValues& values = start.values;
    const std::string n = std::to_string(values.CurrentFirmNo);
    std::error_code error;
    const std::filesystem::path archive =
        std::filesystem::absolute(parsed.Value("--archive"), error).lexically_normal();
    if (error || !std::filesystem::is_regular_file(archive, error)) {
        throw Error("The archive \"" + parsed.Value("--archive") +
                    "\" is not a file; give the path of a backup archive.");
    }
    const std::string fullArchive = FormatArchiveName(ArchiveName{values.CurrentFirmNo, "", false});
    if (type == 0 && archive.filename() != fullArchive) {
        throw Usage{"a full restore of firm " + n + " reads its archive " + fullArchive +
                    ", not \"" + archive.filename().string() + "\""};
    }

    RecoverFirmFirst(values);
    RestoreChoices c;
    c.defaultFolder = start.defaultFolder;
    c.folder = FolderChoice::Other;
    c.restorePath = archive.parent_path().string();
    c.type = RestoreTypeAt(type);
    c.advanced = type != 0 || LoadRestoreWindowSettings(SettingsFile(values)).AdvSet == 1;

    ProgressLine line("unpacking");
    CommandLineDialogs dialogs(line, parsed.Has("--yes"), archive.string());
    CommandLineRestoreView view(line, PassphraseOption(parsed));
    std::vector<CommandLineYears::Wanted> wanted;
    if (type == 1) {
        wanted.push_back({target, "the year register of firm " + n});
    }
    if (needsSource) {
        wanted.push_back({source, "the year register of the archive " + archive.string()});
    }
    CommandLineYears years(wanted);
    dialogs.StopAfterRefusal(&years.refusal);
    LocalFileSystem fs;
    RestoreState state;
    RestoreContext ctx{values, fs, dialogs, years, view, state, TheSystemClock()};
    ctx.keepChoices = false;

    // The choosing steps of the window; they fill only the staging folder.
    ShowHideLbl(state, c.type, values.CurrentFirmNo);
    if (type != 0) {
        SelectPathClick(ctx, c);
    }
    const std::string staged = StagingFirmFolder(values, state.SourceFirmNo);
    auto removeStaged = [&] {
        if (type != 0 && type != 2 && fs.FolderExists(staged)) {
            fs.DeleteFolder(staged, false);
        }
    };
    if (!years.refusal.empty()) {
        removeStaged();
        throw Error(years.refusal);
    }
    // What a restore over live data would replace; only --yes lets it go ahead.
    std::string replaced;
    if (type == 0 && fs.FolderExists(FirmFolder(values, values.CurrentFirmNo))) {
        replaced = "the firm folder " + FirmFolder(values, values.CurrentFirmNo);
    }
    const std::string liveYear = YearFolder(values, values.CurrentFirmNo, std::to_string(target));
    if (type == 1 && fs.FolderExists(liveYear)) {
        replaced = "the files of the year folder " + liveYear + " that the archive holds";
    }
    if (!replaced.empty() && !parsed.Has("--yes")) {
        const std::string folder = type == 0 ? FirmFolder(values, values.CurrentFirmNo) : liveYear;
        removeStaged();
        std::cerr << "vornback-cli: this restore would replace " << replaced << " ("
                  << Contents(folder) << " now) with the contents of " << archive.string()
                  << "; nothing was changed. Add --yes to restore.\n";
        return kFailure;
    }
    RunRestore(ctx, c);
    line.Finish();
    if (gCancel) {
        return Interrupted("the restore had finished already");
    }
    if (!parsed.Has("--quiet")) {
        std::cout << "restored: " << dialogs.doneDetail << "\n";
    }
    return kOk;
}

int HistoryCommand(const std::vector<std::string>& args) {
    const ParsedArgs parsed = ParseArgs(args, {"--firm", "--program-folder", "--data"}, {"--json"});
    if (!parsed.positional.empty()) {
        throw Usage{"history takes no " + parsed.positional[0]};
    }
    const bool oneFirm = parsed.Has("--firm");
    const long long firm =
        oneFirm ? NumberOption("--firm", parsed.Value("--firm"), INT32_MIN, INT32_MAX) : 0;
    ProgramValues values;
    const Workplace place = WorkplaceOption(parsed, false);
    values.ProgramFolder = place.programFolder;
    values.StateFolder = place.stateFolder;
    std::vector<Json> objects;
    for (const HistoryRecord& r : ReadHistory(HistoryFile(values))) {
        if (oneFirm && r.firm != firm) {
            continue;
        }
        if (parsed.Has("--json")) {
            char time[32];
            const std::time_t t = static_cast<std::time_t>(r.time);
            std::tm tm{};
            gmtime_r(&t, &tm);
            std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &tm);
            Json o;
            o["time"] = time;
            o["firm"] = r.firm;
            o["year"] = NumberOrNull(r.year);
            o["kind"] = ReadableUtf8(r.kind);
            o["archive"] = r.archive.empty() ? Json(nullptr) : Json(ReadableUtf8(r.archive));
            o["bytes"] = r.bytes;
            o["files"] = r.files;
            o["seconds"] = r.seconds;
            o["result"] = ResultWord(r.result);
            o["reason"] = ReadableUtf8(r.reason);
            objects.push_back(std::move(o));
            continue;
        }
        char numbers[96];
        std::snprintf(numbers, sizeof numbers, "%llu bytes  %llu files  %.1f s",
                      static_cast<unsigned long long>(r.bytes),
                      static_cast<unsigned long long>(r.files), r.seconds);
        std::cout << LocalTimeText(r.time) << "  firm " << r.firm << "  year " << r.year << "  "
                  << r.kind << "  " << ResultWord(r.result) << "  " << numbers << "  "
                  << (r.archive.empty() ? "-" : r.archive)
                  << (r.reason.empty() ? "" : "  " + r.reason) << "\n";
    }
    if (parsed.Has("--json")) {
        PrintJsonArray(objects);
    }
    return kOk;
}

}  // namespace vornback
