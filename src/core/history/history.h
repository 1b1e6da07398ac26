// The run history: every backup and restore, from the window or the headless tool, adds
// one line to history.tsv beside the settings file, so that an office can see when the
// last good backup was and what a failed one said. A line is appended with one write of
// at most kMaxHistoryLine bytes on a file opened for appending, then synced: a crash
// leaves the file with or without the whole line, never with half of one in the middle;
// the reader skips a line it cannot read (a torn tail, a damaged byte) and goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/dialogs.h"
#include "base/program_values.h"

namespace vornback {

class Clock;

enum class RunResult { Ok, Stopped, Refused, Cancelled, Failed };

// The word a result is written as: "ok", "stopped", "refused", "cancelled", "failed".
const char* ResultWord(RunResult result);

struct HistoryRecord {
    int64_t time = 0;  // start of the run, seconds since the epoch (UTC)
    int32_t firm = 0;
    std::string year;     // CurrentYearNo as given
    std::string kind;     // "backup", "backup-year", "restore-full", "restore-year", ...
    std::string archive;  // the archive written or read; "" when the run never got to one
    uint64_t bytes = 0;   // the archive's size after a successful run
    uint64_t files = 0;   // its file entries after a successful run
    double seconds = 0;
    RunResult result = RunResult::Ok;
    std::string reason;  // why the run failed or stopped; "" otherwise

    bool operator==(const HistoryRecord&) const = default;
};

// A line, with its new-line, is never longer than this (the size the system writes in one
// piece to a file opened for appending, as to a pipe); longer texts are cut to fit.
inline constexpr size_t kMaxHistoryLine = 4096;

// ProgramFolder/history.tsv, or StateFolder/history.tsv when the values name one.
std::string HistoryFile(const ProgramValues& values);

// One tab-separated line ending in "\n": time as YYYY-MM-DDTHH:MM:SSZ, firm, year, kind,
// archive, bytes, files, seconds, result, reason. Tabs, new-lines and backslashes in the
// texts are written as \t, \n and \\.
std::string FormatHistoryLine(const HistoryRecord& record);

// The record of one line (without its new-line), or nothing when the line is damaged.
std::optional<HistoryRecord> ParseHistoryLine(const std::string& line);

// Appends the record's line and syncs the file (and its folder, when the file is new or
// was empty). A file whose last line lacks its new-line (a write cut off by a crash) gets
// one first, so that the torn line stays alone.
// Throws FileSystemError naming the file when it cannot be opened, written or synced.
void AppendHistory(const std::string& file, const HistoryRecord& record);

// Every readable line of the file in order; a missing file gives none. Throws
// FileSystemError when the file exists but cannot be read.
std::vector<HistoryRecord> ReadHistory(const std::string& file);

// Appends the "prune" line of an archive a keep policy removed, stamped with the clock's
// time now; "" as the file records nothing. A line that cannot be written is a warning.
void RecordPrune(const std::string& file, Clock& clock, int64_t firm, const std::string& yearNo,
                 const std::string& archive, uint64_t bytes, const std::string& reason);

// A text as a JSON string, quotes included.
std::string JsonText(const std::string& text);

// The record as one JSON object (no new-line).
std::string HistoryJson(const HistoryRecord& record);

// A time as local "YYYY-MM-DD HH:MM".
std::string LocalTimeText(int64_t time);

// The kind of a restore drill's line.
inline constexpr const char* kDrillKind = "drill";

// What the restore drills say of the firm's last backup: "proven <date>" when the newest
// drill of the firm passed on that very archive at or after its backup; otherwise "not
// proven since <date>" with the date of the last drill that passed (or, when none ever
// did, of the first that failed); "" when the firm has no drill. Dates are local
// YYYY-MM-DD.
std::string DrillProofText(const std::vector<HistoryRecord>& records, int32_t firm,
                           const HistoryRecord& lastBackup);

// "Last backup: <date time>, <size>, <folder>" for the firm's last successful backup in the
// file, followed by ", " and DrillProofText when the firm has drills, or "No backup yet";
// then " (offsite copy failed: <reason>)" when that backup's offsite copy failed. Never
// throws: an unreadable file reads as no backup.
std::string LastBackupText(const std::string& file, int32_t firm);

// Writes one history line for a run when it ends. The run sets the archive as soon as it
// knows it; Finish (normal end) or Fail (inside the handler of the failure that ends the
// run) writes the line. A line that cannot be written leaves its reason as a warning and
// never changes the run's own outcome.
class RunRecord {
  public:
    // The line's time is the clock's when the run starts.
    RunRecord(const ProgramValues& values, std::string kind, Clock& clock);
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    void SetArchive(const std::string& archive) { record_.archive = archive; }
    // An Ok result also records the archive's size and file entries.
    void Finish(RunResult result, const std::string& reason = "");
    // Takes the result and reason from the exception being handled: a refusal already
    // shown (its reason is the message shown, given as shown), another run holding the
    // firm (refused, with the text naming that run), a cancel or a No that ends the run
    // (cancelled), or a failure with its text.
    void Fail(const std::string& shown = "");

  private:
    void CountArchive();  // the archive's size and file entries, when it can still be read

    std::string file_;
    HistoryRecord record_;
    int64_t startNanoseconds_ = 0;
    bool written_ = false;
};

// Passes every message on to the person and keeps the last one that was not a question:
// the message that said why a run stopped, kept whole in the history.
class MessageMemo : public Dialogs {
  public:
    explicit MessageMemo(Dialogs& inner) : inner_(inner) {}
    Answer Show(const Message& message) override;
    std::string BrowseForFolder(const std::string& initialFolder,
                                const std::string& title) override {
        return inner_.BrowseForFolder(initialFolder, title);
    }
    std::string OpenFile(const std::string& title, const std::string& filter,
                         const std::string& initialFile) override {
        return inner_.OpenFile(title, filter, initialFile);
    }
    // "<text> (<detail>)", or "" when no message was shown.
    const std::string& Last() const { return last_; }

  private:
    Dialogs& inner_;
    std::string last_;
};

}  // namespace vornback
