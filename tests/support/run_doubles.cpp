#include "support/run_doubles.h"

#include <gtest/gtest.h>

namespace vornback::test {

Answer LoggingDialogs::Show(const Message& message) {
    log_.events.push_back(message.text);
    return ScriptedDialogs::Show(message);
}

std::string LoggingDialogs::OpenFile(const std::string& title, const std::string& filter,
                                     const std::string& initialFile) {
    log_.events.push_back("OpenFile");
    return ScriptedDialogs::OpenFile(title, filter, initialFile);
}

void HookedFileSystem::MoveFile(const std::string& from, const std::string& to) {
    Around("MoveFile", from, to, [&] { LocalFileSystem::MoveFile(from, to); });
}

void HookedFileSystem::MoveFolder(const std::string& from, const std::string& to) {
    Around("MoveFolder", from, to, [&] { LocalFileSystem::MoveFolder(from, to); });
}

void HookedFileSystem::CopyFolder(const std::string& from, const std::string& to, bool overwrite) {
    Around("CopyFolder", from, to, [&] { LocalFileSystem::CopyFolder(from, to, overwrite); });
}

void HookedFileSystem::Kill(const std::string& path) {
    Around("Kill", path, "", [&] { LocalFileSystem::Kill(path); });
}

void HookedFileSystem::ReplaceFile(const std::string& from, const std::string& to) {
    Around("ReplaceFile", from, to, [&] { LocalFileSystem::ReplaceFile(from, to); });
}

void HookedFileSystem::Around(const char* op, const std::string& from, const std::string& to,
                              const std::function<void()>& call) {
    if (before) {
        before(op, from, to);
    }
    call();
    if (after) {
        after(op, from, to);
    }
}

void LoggingRestoreView::BusyOn() {
    log_.events.push_back("BusyOn");
    if (onBusyOn) {
        onBusyOn();
    }
}

YearPick ScriptedYears::ChooseYear(const std::vector<YearListRow>& rows) {
    lists.push_back(rows);
    if (opened) {
        opened();
    }
    if (picks.empty()) {
        ADD_FAILURE() << "unplanned year list";
        return {};
    }
    const YearPick pick = picks.front();
    picks.pop_front();
    return pick;
}

}  // namespace vornback::test
