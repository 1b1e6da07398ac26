#include "restore/restore_run.h"

#include <cstdio>
#include <functional>
#include <limits>
#include <random>

#include "base/data_tree.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "base/text.h"
#include "history/history.h"
#include "platform/file_system.h"
#include "restore/year_list.h"
#include "restore/year_restores.h"
#include "startup/window_settings.h"

namespace vornback {

namespace {

constexpr const char* kRestoreTitle = "Restore";
constexpr const char* kSelectYear = "Select Year";
constexpr const char* kSelectFirm = "Select Firm";

// Characters [start, start + length) counted from 1, as the period caption is read back;
// a caption too short gives what there is, possibly nothing.
std::string Mid(const std::string& text, size_t start, size_t length) {
    if (start == 0 || start > text.size()) {
        return "";
    }
    return text.substr(start - 1, length);
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Best effort on the way out of a failure: the original error is what the person must see.
void Quietly(const std::function<void()>& step) {
    try {
        step();
    } catch (...) {
    }
}

void RemoveStaging(RestoreContext& ctx, const std::string& staging) {
    Quietly([&] {
        if (ctx.fs.FolderExists(staging)) {
            ctx.fs.DeleteFolder(staging, false);
        }
    });
}

// "Invalid Backup File": what was staged goes and the program ends.
[[noreturn]] void RefuseArchive(RestoreContext& ctx, const std::string& staging) {
    ctx.dialogs.Show(Message{"Invalid Backup File", kRestoreTitle, Buttons::Ok, Icon::Exclamation});
    RemoveStaging(ctx, staging);
    throw ProgramEnd();
}

// Unpacks the archive into the staging folder, emptied first so that files of an earlier
// run that ended early never travel with the new ones. A damaged or hostile archive ends
// the program after "Invalid Backup File" with nothing left staged; any other failure
// removes what was staged and goes on up. Returns normally only with the archive unpacked.
void UnpackIntoStaging(RestoreContext& ctx, const std::string& archive,
                       const std::string& staging) {
    if (ctx.fs.FolderExists(staging)) {
        ctx.fs.DeleteFolder(staging, false);
    }
    UnpackOptions options;
    options.progress = [&ctx](const ArchiveProgress& p) { ctx.view.ShowProgress(p); };
    try {
        UnpackArchive(archive, staging, options);
    } catch (const ArchiveError&) {
        RefuseArchive(ctx, staging);
    } catch (...) {
        RemoveStaging(ctx, staging);
        throw;
    }
}

// The choose-archive step. The dialog starts on the file of its previous use; a cancel
// leaves that file chosen, so the click goes on with it. False when there is none at all.
bool ChooseArchive(RestoreContext& ctx) {
    RestoreState& state = ctx.state;
    const std::string chosen = ctx.dialogs.OpenFile(
        "Select Backup File", "Zip Files (Firm*.zip)|Firm*.zip", state.fileDialogMemory);
    if (!chosen.empty()) {
        state.fileDialogMemory = chosen;
    }
    if (state.fileDialogMemory.empty()) {
        return false;
    }
    state.SelectedArchivePath = state.fileDialogMemory;
    return true;
}

// The unpack step: the archive chosen goes into ProgramFolder/Back/Firm<source firm>.
void UnpackStep(RestoreContext& ctx) {
    RestoreState& state = ctx.state;
    ctx.view.BusyOn();
    try {
        state.SourceFirmNo = SourceFirmNoFromName(state.SelectedArchivePath);
        state.RestoreStagingFolder = StagingFirmFolder(ctx.values, state.SourceFirmNo);
        UnpackIntoStaging(ctx, state.SelectedArchivePath, state.RestoreStagingFolder);
    } catch (...) {
        ctx.view.BusyOff();
        throw;
    }
    state.labels.LblTxtTrFNo = LabelState{"Source Firm No.", true};
    state.labels.LblTargetFNo = LabelState{std::to_string(state.SourceFirmNo), true};
    state.labels.cmdSelectPath.caption = kSelectYear;
    ctx.view.BusyOff();
    ctx.view.ShowLabels();
}

void HideSelectButton(RestoreContext& ctx) {
    ctx.state.labels.cmdSelectPath.visible = false;
    ctx.view.ShowLabels();
}

// A name beside the firm folder that no firm walk and no person takes for a firm folder,
// and that nothing exists at yet.
std::string AsideName(RestoreContext& ctx, const std::string& n) {
    std::random_device device;
    std::mt19937 random(device());
    for (;;) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        const std::string path =
            JoinPath(ctx.values.AppFolder, ".Firm" + n + ".replaced-" + suffix);
        if (!ctx.fs.FolderExists(path) && !ctx.fs.FileExists(path)) {
            return path;
        }
    }
}

// Puts the staged firm folder in the live one's place. The live folder is set aside under
// another name first and deleted only once the new one stands in its place, so a failure
// at any step leaves one of the two whole at the firm folder's path.
void SwapIntoPlace(RestoreContext& ctx, const std::string& staged, const std::string& firm,
                   const std::string& n) {
    std::string aside;
    if (ctx.fs.FolderExists(firm)) {
        aside = AsideName(ctx, n);
        ctx.fs.MoveFolder(firm, aside);
    }
    try {
        ctx.fs.MoveFolder(staged, firm);
    } catch (const std::exception& moveError) {
        if (!aside.empty()) {
            try {
                ctx.fs.MoveFolder(aside, firm);
            } catch (const std::exception& backError) {
                throw FileSystemError(std::string(moveError.what()) +
                                      "; the firm's own data could not be put back and is kept "
                                      "whole at \"" +
                                      aside + "\": " + backError.what());
            }
        }
        throw;
    }
    if (!aside.empty()) {
        try {
            ctx.fs.DeleteFolder(aside, false);
        } catch (const std::exception& e) {
            throw FileSystemError("Firm " + n + " has been restored, but the folder it replaced " +
                                  "could not be deleted and stays at \"" + aside +
                                  "\": " + e.what());
        }
    }
}

}  // namespace

void ShowHideLbl(RestoreState& state, int restTypeIndex, int32_t currentFirmNo) {
    if (restTypeIndex < 0 || restTypeIndex > 3) {
        return;
    }
    RestoreLabels& l = state.labels;
    const std::string firmNo = std::to_string(currentFirmNo);
    const bool targetShown = restTypeIndex <= 1;
    l.LblTxtTrFNo.visible = targetShown;
    l.LblTargetFNo.visible = targetShown;
    if (restTypeIndex != 2) {
        l.LblTargetFNo.caption = firmNo;
    }
    l.LblTxtTrYr.visible = false;
    l.LblTargetYNo.visible = false;
    if (restTypeIndex == 0 || restTypeIndex == 2) {
        l.LblFinYr.visible = false;
    }
    if (restTypeIndex == 0) {
        l.cmdSelectPath.visible = false;
    } else {
        l.cmdSelectPath = LabelState{restTypeIndex == 1 ? kSelectYear : kSelectFirm, true};
    }
    l.FrmDirSelEnabled = restTypeIndex == 0;
}

std::string RetValidPath(RestoreContext& ctx, const RestoreChoices& choices) {
    if (choices.hardDiskIndex == 0) {
        return choices.lblHDPath;
    }
    if (Trimmed(choices.txtRestPath).empty()) {
        ctx.dialogs.Show(Message{"Please Select Restore Path", kProgramTitle, Buttons::Ok});
        ctx.view.FocusBrowseButton();
        return "";
    }
    return choices.txtRestPath;
}

void SelectPathClick(RestoreContext& ctx, const RestoreChoices& choices) {
    RestoreState& state = ctx.state;
    RestoreLabels& labels = state.labels;
    const int type = choices.restTypeIndex;
    // Some steps set the next caption and run the click once more.
    for (;;) {
        const std::string caption = labels.cmdSelectPath.caption;
        if (caption == kSelectYear && type == 1) {
            RetYearNo(ctx);
            state.TargetYearNo = labels.LblTargetYNo.caption;
            state.TargetYearFrom = Mid(labels.LblFinYr.caption, 11, 10);
            state.TargetYearTo = Mid(labels.LblFinYr.caption, 25, 10);
            labels.cmdSelectPath.caption = kSelectFirm;
            ctx.view.ShowLabels();
            continue;
        }
        if (caption == kSelectFirm && type == 1) {
            if (!ChooseArchive(ctx)) {
                return;
            }
            UnpackStep(ctx);
            RetYearToAdd(ctx);
            HideSelectButton(ctx);
            return;
        }
        if (caption == kSelectFirm && type == 2) {
            if (!ChooseArchive(ctx)) {
                return;
            }
            labels.cmdSelectPath.visible = false;
            labels.LblPath = LabelState{state.SelectedArchivePath, true};
            ctx.view.ShowLabels();
            return;
        }
        if (caption == kSelectFirm && type == 3) {
            if (!ChooseArchive(ctx)) {
                return;
            }
            UnpackStep(ctx);
            continue;
        }
        if (caption == kSelectYear && type == 3) {
            RetYearToAdd(ctx);
            HideSelectButton(ctx);
            return;
        }
        return;
    }
}

int16_t SourceFirmNoFromName(const std::string& archivePath) {
    const size_t slash = archivePath.find_last_of(kSeparator);
    const std::string name =
        slash == std::string::npos ? archivePath : archivePath.substr(slash + 1);
    const std::string rest = name.size() > 4 ? name.substr(4) : "";
    int64_t number = 0;
    for (const char c : rest) {
        if (c < '0' || c > '9') {
            break;
        }
        number = number * 10 + (c - '0');
        if (number > std::numeric_limits<int16_t>::max()) {
            throw Error("The backup file \"" + name +
                        "\" names a firm number beyond 32767, the highest a firm can have");
        }
    }
    return static_cast<int16_t>(number);
}

static RestoreEnd RunRestoreSteps(RestoreContext& ctx, const RestoreChoices& choices) {
    // The choices are kept before anything is restored, so a refused or failed run still
    // leaves them for the next start.
    const std::string settings = SettingsFile(ctx.values);
    SaveRestoreChoices(settings, choices.txtRestPath, choices.restTypeIndex, choices.chkAdvSet);

    ctx.view.BusyOn();
    switch (choices.restTypeIndex) {
        case 0:
            FullFirm(ctx, choices);
            break;
        case 1:
            SelectedYear(ctx);
            break;
        case 2:
            AddFirm(ctx);
            break;
        case 3:
            AddYear(ctx);
            break;
        default:
            break;
    }
    ctx.view.BusyOff();

    const Answer answer =
        ctx.dialogs.Show(Message{"Restore Competed. Do You Want To Exit?", "Backup", Buttons::YesNo,
                                 Icon::None, Answer::Yes});
    return answer == Answer::Yes ? RestoreEnd::Exit : RestoreEnd::KeepOpen;
}

// Every run leaves one line in the history, however it ends.
RestoreEnd RunRestore(RestoreContext& ctx, const RestoreChoices& choices) {
    static constexpr const char* kKinds[] = {"restore-full", "restore-year", "add-firm",
                                             "add-year"};
    const int type = choices.restTypeIndex;
    RunRecord record(ctx.values, type >= 0 && type <= 3 ? kKinds[type] : "restore-none");
    if (type == 0) {
        const std::string folder =
            choices.hardDiskIndex == 0 ? choices.lblHDPath : choices.txtRestPath;
        record.SetArchive(
            JoinPath(folder, "Firm" + std::to_string(ctx.values.CurrentFirmNo) + ".zip"));
    } else {
        record.SetArchive(ctx.state.SelectedArchivePath);
    }
    try {
        const RestoreEnd end = RunRestoreSteps(ctx, choices);
        record.Finish(RunResult::Ok);
        return end;
    } catch (...) {
        record.Fail();
        throw;
    }
}

void FullFirm(RestoreContext& ctx, const RestoreChoices& choices) {
    const std::string folder = RetValidPath(ctx, choices);
    if (folder.empty()) {
        return;
    }
    const ProgramValues& v = ctx.values;
    const std::string n = std::to_string(v.CurrentFirmNo);
    const std::string archive = JoinPath(folder, "Firm" + n + ".zip");
    if (!ctx.fs.FileExists(archive)) {
        ctx.dialogs.Show(
            Message{"Backup File Not Found For Firm No. " + n, kRestoreTitle, Buttons::Ok});
        throw ProgramEnd();
    }

    const std::string outer = StagingFirmFolder(v, v.CurrentFirmNo);
    RestoreState& state = ctx.state;
    state.RestoreStagingFolder = outer;
    UnpackIntoStaging(ctx, archive, outer);

    // The firm's files at the archive's top level, or its firm folder one level down; the
    // unpacked copy must hold the firm database before the live folder is touched.
    const std::string database = "Firm" + n + ".mdb";
    if (!ctx.fs.FileExists(JoinPath(outer, database))) {
        const std::string inner = JoinPath(outer, "Firm" + n);
        if (!ctx.fs.FileExists(JoinPath(inner, database))) {
            RefuseArchive(ctx, outer);
        }
        state.RestoreStagingFolder = inner;
    }

    SwapIntoPlace(ctx, state.RestoreStagingFolder, FirmFolder(v, v.CurrentFirmNo), n);
    if (ctx.fs.FolderExists(outer)) {
        ctx.fs.DeleteFolder(outer, false);
    }
}

}  // namespace vornback
