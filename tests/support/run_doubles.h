// Test doubles shared by the backup and restore run tests: one event log for the views'
// calls and the messages, so that their order can be checked; a file system whose moves,
// copies and deletions can be made to fail or be raced by another program; and a restore
// view that keeps the labels it was last asked to show; a clock that stands still.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "platform/file_system.h"
#include "restore/restore_run.h"
#include "restore/year_list.h"
#include "support/scripted_dialogs.h"

namespace vornback::test {

struct EventLog {
    std::vector<std::string> events;
};

// Logs every message text and each file dialog ("OpenFile") before answering as scripted.
// A clock standing still at noon (UTC) on Saturday, 14 March 2015, or at the second set.
class FixedClock : public Clock {
  public:
    vornback::Today Now() override { return vornback::Today{2015, 3, 14, "Saturday"}; }
    int64_t Seconds() override { return seconds; }
    int64_t seconds = 1426334400;
};

class LoggingDialogs : public ScriptedDialogs {
  public:
    explicit LoggingDialogs(EventLog& log) : log_(log) {}
    Answer Show(const Message& message) override;
    std::string OpenFile(const std::string& title, const std::string& filter,
                         const std::string& initialFile) override;

  private:
    EventLog& log_;
};

// The real file system with a hook before and after each move, copy, Kill and ReplaceFile: a hook
// that throws makes that call fail; one that changes the disk plays another program.
class HookedFileSystem : public LocalFileSystem {
  public:
    using Hook =
        std::function<void(const std::string& op, const std::string& from, const std::string& to)>;
    void MoveFile(const std::string& from, const std::string& to) override;
    void MoveFolder(const std::string& from, const std::string& to) override;
    void CopyFolder(const std::string& from, const std::string& to, bool overwrite) override;
    void Kill(const std::string& path) override;
    void ReplaceFile(const std::string& from, const std::string& to) override;
    Hook before, after;

  private:
    void Around(const char* op, const std::string& from, const std::string& to,
                const std::function<void()>& call);
};

// Logs BusyOn, BusyOff and Focus; counts progress calls; keeps the labels as last shown, in
// the words describe gives them (nothing without it).
class LoggingRestoreView : public RestoreView {
  public:
    LoggingRestoreView(EventLog& log, const RestoreState& state) : log_(log), state_(state) {}
    void BusyOn() override;
    void BusyOff() override { log_.events.push_back("BusyOff"); }
    void FocusBrowseButton() override { log_.events.push_back("Focus"); }
    void ShowProgress(const ArchiveProgress&) override { ++progressCalls; }
    void ShowLabels() override {
        if (describe) {
            shownLabels = describe(state_);
        }
    }

    int progressCalls = 0;
    std::string shownLabels;
    std::function<std::string(const RestoreState&)> describe;
    std::function<void()> onBusyOn;

  private:
    EventLog& log_;
    const RestoreState& state_;
};

// Answers the year list from a queue (a list not planned fails the test) and keeps each list
// shown; `opened`, when set, is called as each list opens.
class ScriptedYears : public YearChooser {
  public:
    YearPick ChooseYear(const std::vector<YearListRow>& rows) override;
    std::deque<YearPick> picks;
    std::vector<std::vector<YearListRow>> lists;
    std::function<void()> opened;
};

}  // namespace vornback::test
