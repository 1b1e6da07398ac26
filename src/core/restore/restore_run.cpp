#include "restore/restore_run.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "base/data_tree.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "base/warnings.h"
#include "history/history.h"
#include "platform/file_system.h"
#include "platform/posix.h"
#include "recovery/recovery.h"
#include "restore/safe_swap.h"
#include "restore/staged_firm.h"
#include "restore/year_list.h"
#include "restore/year_restores.h"
#include "startup/window_settings.h"

namespace vornback {

namespace {

constexpr const char* kRestoreTitle = "Restore";

// Folders that a backup may leave out of an archive (the image folder, left out unless the
// person asks for it): a Full Firm restore of such an archive keeps the live ones.
constexpr const char* kLeftOutByBackups[] = {"AttachDocs"};

// On the way out of a failure the original error is what the person must see; a staging
// folder that cannot go is only reported (the next start removes it).
void RemoveStaging(RestoreContext& ctx, const std::string& staging) {
    try {
        DeleteIfThere(ctx.fs, staging);
    } catch (const FileSystemError& e) {
        Warn(std::string("the staging folder stays: ") + e.what());
    }
}

// "Invalid Backup File" with its cause: what was staged goes and the program ends.
[[noreturn]] void RefuseArchive(RestoreContext& ctx, const std::string& staging,
                                const std::string& cause) {
    ctx.dialogs.Show(Message{"Invalid Backup File", kRestoreTitle, Buttons::Ok, Icon::Exclamation,
                             Answer::Ok, cause});
    RemoveStaging(ctx, staging);
    throw ProgramEnd();
}

// The end of every run, whatever its ending: the staging folders of the firms whose locks
// the run holds are removed (they are the run's own, or stale), then the locks go. With
// keepUnpacked (a run refused before it began) the archive the window unpacked stays for
// the next try, under its staging lock.
void EndRun(RestoreContext& ctx, bool keepUnpacked = false) {
    for (const auto& [firm, lock] : ctx.state.locks) {
        if (!keepUnpacked || ctx.state.stagingLocks.count(firm) == 0) {
            RemoveStaging(ctx, StagingFirmFolder(ctx.values, firm));
        }
    }
    ctx.state.locks.clear();
    if (!keepUnpacked) {
        DiscardUnpacked(ctx);
    }
}

void ShowLocked(RestoreContext& ctx, const RunLocked& e) {
    ctx.dialogs.Show(Message{e.what(), kRestoreTitle, Buttons::Ok, Icon::Exclamation});
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

// The unpack step: the archive chosen goes into ProgramFolder/Back/Firm<source firm>. The
// firm's lock is held while the archive is unpacked; then only the staging folder's lock
// stays with the window until the run, so a run of that firm that leaves the folder alone
// goes on meanwhile. An archive unpacked earlier by this window goes first. False when
// another run holds that firm or its staging folder.
bool UnpackStep(RestoreContext& ctx) {
    RestoreState& state = ctx.state;
    ctx.view.BusyOn();
    try {
        DiscardUnpacked(ctx);
        state.SourceFirmNo = SourceFirmNoFromName(state.SelectedArchivePath);
        state.RestoreStagingFolder = StagingFirmFolder(ctx.values, state.SourceFirmNo);
        HoldFirm(ctx, state.SourceFirmNo);
        UnpackIntoStaging(ctx, state.SelectedArchivePath, state.RestoreStagingFolder);
        state.stagingLocks[state.SourceFirmNo] = std::make_shared<RunLock>(
            HoldStagingFolder(ctx.values, state.SourceFirmNo, ctx.values.CurrentFirmNo, ctx.clock));
        state.locks.clear();
    } catch (const RunLocked& e) {
        ctx.view.BusyOff();
        state.locks.clear();
        ShowLocked(ctx, e);
        return false;
    } catch (...) {
        ctx.view.BusyOff();
        state.locks.clear();
        throw;
    }
    state.shown.firm = true;
    state.shown.sourceFirm = true;
    state.shown.firmNo = state.SourceFirmNo;
    state.shown.step = SelectStep::SelectYear;
    ctx.view.BusyOff();
    ctx.view.ShowLabels();
    return true;
}

void HideSelectButton(RestoreContext& ctx) {
    ctx.state.shown.select = false;
    ctx.view.ShowLabels();
}

// A folder's tree under a new name, its files hard links of the originals (a copy where the
// file system has none): the image folder is not written twice.
void LinkTree(FileSystem& fs, const std::string& from, const std::string& to) {
    fs.CreateFolder(to);
    for (const FileEntry& file : fs.Files(from)) {
        if (!fs.HardLink(file.path, JoinPath(to, file.name))) {
            fs.DeleteFolder(to, true);
            fs.CopyFolder(from, to, false);
            return;
        }
    }
    for (const FileEntry& folder : fs.SubFolders(from)) {
        LinkTree(fs, folder.path, JoinPath(to, folder.name));
    }
}

// Folders that the live firm has and the archive left out travel into the staged firm as
// hard links, so the live firm stays whole until the swap and nothing is duplicated.
void KeepLeftOutFolders(RestoreContext& ctx, const std::string& live, const std::string& staged) {
    if (!ctx.fs.FolderExists(live)) {
        return;
    }
    for (const char* name : kLeftOutByBackups) {
        const auto kept = FindNoCase(ctx.fs, live, name, true);
        if (kept && !FindNoCase(ctx.fs, staged, name, true)) {
            LinkTree(ctx.fs, *kept, JoinPath(staged, kept->substr(live.size() + 1)));
        }
    }
}

// The stamp of a folder name of the replaced copies of firm n (Firm<n>-<stamp>), or "".
std::string ReplacedStampOf(const std::string& name, int64_t n) {
    const std::string prefix = ReplacedCopyName(n, "");
    const bool ours = name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
                      name[prefix.size()] >= '0' && name[prefix.size()] <= '9';
    return ours ? name.substr(prefix.size()) : "";
}

// Replaces the live firm by the staged one; the replaced firm is moved into Back/Replaced,
// and of the firm's copies there the newest ones stay ("KeepReplaced", 3 unless set), the
// older ones going once the new one stands. Returns the kept copies, newest first; none
// when the firm had no folder.
std::vector<std::string> ReplaceFirm(RestoreContext& ctx, const std::string& staged, int64_t n) {
    FileSystem& fs = ctx.fs;
    const ProgramValues& v = ctx.values;
    const std::string live = LiveFirmFolder(v, fs, n);
    KeepLeftOutFolders(ctx, live, staged);
    SyncTree(fs, staged);

    const std::string replaced = ReplacedRoot(v);
    if (!fs.FolderExists(replaced)) {
        fs.CreateFolder(replaced);
        fs.SyncFolder(StagingRoot(v));
    } else if (const int err = MakePrivate(replaced, true); err != 0) {
        // The copies are only as private as their folder.
        throw FileSystemError("Could not make the folder \"" + replaced +
                              "\" of the replaced firms private: " + std::strerror(err));
    }
    // The new copy's stamp must sort before every copy of the firm made in the same second:
    // an older copy removed meanwhile frees its name, and a copy taking that name again would
    // count as older than those beside it and be the one removed.
    std::vector<std::string> stamps;
    for (const FileEntry& entry : fs.SubFolders(replaced)) {
        if (std::string s = ReplacedStampOf(entry.name, n); !s.empty()) {
            stamps.push_back(std::move(s));
        }
    }
    const std::string second = Stamp(ctx.clock);
    const auto taken = [&](const std::string& candidate) {
        return fs.FolderExists(ReplacedCopy(v, n, candidate)) ||
               std::any_of(stamps.begin(), stamps.end(), [&](const std::string& old) {
                   return old.compare(0, second.size(), second) == 0 && !NewerStamp(candidate, old);
               });
    };
    std::string stamp = second;
    for (int serial = 2; taken(stamp); ++serial) {
        stamp = second + "-" + std::to_string(serial);
    }
    const std::string copy = ReplacedCopy(v, n, stamp);
    const bool hadLive = fs.FolderExists(live);
    SwapIntoPlace(fs, v, staged, live, copy, FirmSwapMarker(v, n, stamp));
    if (!hadLive) {
        return {};
    }
    std::vector<std::pair<std::string, std::string>> copies;  // stamp, path
    for (const FileEntry& entry : fs.SubFolders(replaced)) {
        if (std::string s = ReplacedStampOf(entry.name, n); !s.empty()) {
            copies.emplace_back(std::move(s), entry.path);
        }
    }
    std::sort(copies.begin(), copies.end(),
              [](const auto& a, const auto& b) { return NewerStamp(a.first, b.first); });
    const size_t keep = static_cast<size_t>(ReplacedCopiesToKeep(SettingsFile(v)));
    std::vector<std::string> kept;
    for (const auto& [s, path] : copies) {
        if (kept.size() < keep || path == copy) {
            kept.push_back(path);
        } else {
            DeleteWhole(fs, path);
        }
    }
    return kept;
}

}  // namespace

void HoldFirm(RestoreContext& ctx, int64_t n) {
    HoldFirmLock(ctx.state.locks, ctx.values, n, ctx.clock);
    if (ctx.state.stagingLocks.count(n) == 0) {
        try {
            EnsureStagingFolderFree(ctx.values, n, ctx.clock);
        } catch (const RunLocked&) {
            ctx.state.locks.erase(n);
            throw;
        }
    }
}

void DiscardUnpacked(RestoreContext& ctx) {
    for (const auto& [firm, lock] : ctx.state.stagingLocks) {
        RemoveStaging(ctx, StagingFirmFolder(ctx.values, firm));
    }
    ctx.state.stagingLocks.clear();
}

void UnpackIntoStaging(RestoreContext& ctx, const std::string& archive,
                       const std::string& staging) {
    DeleteIfThere(ctx.fs, staging);
    UnpackOptions options;
    options.progress = [&ctx](const ArchiveProgress& p) { ctx.view.ShowProgress(p); };
    options.cancel = ctx.cancel;
    try {
        if (ArchiveEncrypted(archive)) {
            options.passphrase = ctx.view.Passphrase(archive).value_or("");
        }
        UnpackArchive(archive, staging, options);
        // The staged copy of a firm's books is private whatever the umask.
        if (const int err = MakePrivate(staging, true); err != 0) {
            throw FileSystemError("Could not make the staging folder \"" + staging +
                                  "\" private: " + std::strerror(err));
        }
    } catch (const ArchiveCancelled&) {
        RemoveStaging(ctx, staging);
        throw;
    } catch (const PassphraseError& e) {
        // Nothing of an encrypted archive was unpacked without its passphrase.
        ctx.dialogs.Show(Message{e.Missing() ? "The backup file is encrypted; its passphrase is "
                                               "needed to restore it"
                                             : "wrong passphrase",
                                 kRestoreTitle, Buttons::Ok, Icon::Exclamation, Answer::Ok,
                                 e.what()});
        RemoveStaging(ctx, staging);
        throw ProgramEnd();
    } catch (const ArchiveError& e) {
        RefuseArchive(ctx, staging, e.what());
    } catch (const Error&) {
        RemoveStaging(ctx, staging);
        throw;
    }
}

RestoreType RestoreTypeAt(int index) {
    return index >= 0 && index <= 3 ? static_cast<RestoreType>(index) : RestoreType::None;
}

void ShowHideLbl(RestoreState& state, RestoreType type, int32_t currentFirmNo) {
    if (type == RestoreType::None) {
        return;
    }
    RestoreShown& s = state.shown;
    s.firm = type == RestoreType::FullFirm || type == RestoreType::SelectedYear;
    if (type != RestoreType::AddFirm) {
        s.firmNo = currentFirmNo;
    }
    s.yearNo = false;
    if (type == RestoreType::FullFirm || type == RestoreType::AddFirm) {
        s.period = false;
    }
    if (type == RestoreType::FullFirm) {
        s.select = false;
    } else {
        s.step =
            type == RestoreType::SelectedYear ? SelectStep::SelectYear : SelectStep::SelectFirm;
        s.select = true;
    }
    s.folderChoice = type == RestoreType::FullFirm;
}

std::string RetValidPath(RestoreContext& ctx, const RestoreChoices& choices) {
    if (choices.folder == FolderChoice::Default) {
        return choices.defaultFolder;
    }
    if (TrimBlanks(choices.restorePath).empty()) {
        ctx.dialogs.Show(Message{"Please Select Restore Path", kProgramTitle, Buttons::Ok});
        ctx.view.FocusBrowseButton();
        return "";
    }
    return choices.restorePath;
}

void SelectPathClick(RestoreContext& ctx, const RestoreChoices& choices) {
    RestoreState& state = ctx.state;
    const RestoreType type = choices.type;
    // Some steps set the next step and run the click once more.
    for (;;) {
        const SelectStep step = state.shown.step;
        if (step == SelectStep::SelectYear && type == RestoreType::SelectedYear) {
            RetYearNo(ctx);
            state.targetYear = state.pickedYear;
            state.shown.step = SelectStep::SelectFirm;
            ctx.view.ShowLabels();
            continue;
        }
        if (step == SelectStep::SelectFirm && type == RestoreType::SelectedYear) {
            if (!ChooseArchive(ctx) || !UnpackStep(ctx)) {
                return;
            }
            RetYearToAdd(ctx);
            HideSelectButton(ctx);
            return;
        }
        if (step == SelectStep::SelectFirm && type == RestoreType::AddFirm) {
            if (!ChooseArchive(ctx)) {
                return;
            }
            state.shown.select = false;
            state.shown.archive = true;
            ctx.view.ShowLabels();
            return;
        }
        if (step == SelectStep::SelectFirm && type == RestoreType::AddYear) {
            if (!ChooseArchive(ctx) || !UnpackStep(ctx)) {
                return;
            }
            continue;
        }
        if (step == SelectStep::SelectYear && type == RestoreType::AddYear) {
            RetYearToAdd(ctx);
            HideSelectButton(ctx);
            return;
        }
        return;
    }
}

int16_t SourceFirmNoFromName(const std::string& archivePath) {
    const std::string name = NameOf(archivePath);
    const auto number = ArchiveFirmNumber(name, std::numeric_limits<int16_t>::max());
    if (!number) {
        throw Error("The backup file \"" + name +
                    "\" names a firm number beyond 32767, the highest a firm can have");
    }
    return static_cast<int16_t>(*number);
}

static void RunRestoreSteps(RestoreContext& ctx, const RestoreChoices& choices) {
    // The choices are kept before anything is restored, so a refused or failed run still
    // leaves them for the next start.
    if (ctx.keepChoices) {
        const std::string notSaved =
            SaveRestoreChoices(SettingsFile(ctx.values), choices.restorePath,
                               static_cast<int>(choices.type), choices.advanced ? 1 : 0);
        if (!notSaved.empty()) {
            ctx.dialogs.Show(Message{notSaved, kRestoreTitle, Buttons::Ok, Icon::Exclamation});
        }
    }

    ctx.view.BusyOn();
    ctx.state.restoredDetail.clear();
    // Only "Full Firm" unpacks during the run; the other types start changing at once.
    if (choices.type != RestoreType::FullFirm) {
        ctx.view.CancelTooLate();
    }
    try {
        switch (choices.type) {
            case RestoreType::FullFirm:
                FullFirm(ctx, choices);
                break;
            case RestoreType::SelectedYear:
                SelectedYear(ctx);
                break;
            case RestoreType::AddFirm:
                AddFirm(ctx);
                break;
            case RestoreType::AddYear:
                AddYear(ctx);
                break;
            case RestoreType::None:
                break;
        }
    } catch (const RunLocked& e) {
        // Refused before anything changed: what the window unpacked stays for the next try.
        EndRun(ctx, true);
        ctx.view.BusyOff();
        ShowLocked(ctx, e);
        throw RunRefused();
    } catch (...) {
        EndRun(ctx);
        throw;
    }
    EndRun(ctx);
    ctx.view.BusyOff();
}

// Every run leaves one line in the history, however it ends; a finished run is recorded
// before the closing question, with the time of its own work.
RestoreEnd RunRestore(RestoreContext& ctx, const RestoreChoices& choices) {
    static constexpr const char* kKinds[] = {"restore-full", "restore-year", "add-firm",
                                             "add-year"};
    const RestoreType type = choices.type;
    AllowGroupRead(GroupReadAllowed(SettingsFile(ctx.values)));
    RunRecord record(ctx.values,
                     type == RestoreType::None ? "restore-none" : kKinds[static_cast<int>(type)],
                     ctx.clock);
    if (type == RestoreType::FullFirm) {
        const std::string folder =
            choices.folder == FolderChoice::Default ? choices.defaultFolder : choices.restorePath;
        record.SetArchive(
            JoinPath(folder, FormatArchiveName(ArchiveName{ctx.values.CurrentFirmNo, "", false})));
    } else {
        record.SetArchive(ctx.state.SelectedArchivePath);
    }
    // The message that stops a run is its reason in the history.
    MessageMemo memo(ctx.dialogs);
    RestoreContext run{ctx.values, ctx.fs,          memo,      ctx.years, ctx.view, ctx.state,
                       ctx.clock,  ctx.keepChoices, ctx.cancel};
    try {
        RunRestoreSteps(run, choices);
    } catch (...) {
        record.Fail(memo.Last());
        throw;
    }
    record.Finish(RunResult::Ok);
    const Answer answer =
        ctx.dialogs.Show(Message{"Restore Competed. Do You Want To Exit?", "Backup", Buttons::YesNo,
                                 Icon::None, Answer::Yes, ctx.state.restoredDetail});
    return answer == Answer::Yes ? RestoreEnd::Exit : RestoreEnd::KeepOpen;
}

void RecoverFirstOrRefuse(RestoreContext& ctx, int64_t n) {
    std::string done;
    for (const std::string& line : RecoverHeldFirm(ctx.values, ctx.fs, n)) {
        done += (done.empty() ? "" : "\n") + line;
    }
    if (!done.empty()) {
        ctx.dialogs.Show(Message{done, kRestoreTitle, Buttons::Ok, Icon::Information});
    }
    if (HasPendingMarker(ctx.values, ctx.fs, n)) {
        ctx.dialogs.Show(Message{"An interrupted restore of firm " + std::to_string(n) +
                                     " left work below \"" + StagingRoot(ctx.values) +
                                     "\" that could not be finished; nothing was changed. "
                                     "Start the program again to finish it.",
                                 kRestoreTitle, Buttons::Ok, Icon::Exclamation});
        throw ProgramEnd();
    }
}

void FullFirm(RestoreContext& ctx, const RestoreChoices& choices) {
    const std::string folder = RetValidPath(ctx, choices);
    if (folder.empty()) {
        return;
    }
    const ProgramValues& v = ctx.values;
    const int64_t n = v.CurrentFirmNo;
    const std::string name = FormatArchiveName(ArchiveName{n, "", false});
    const std::string archive = JoinPath(folder, name);
    if (!ctx.fs.FileExists(archive)) {
        ctx.dialogs.Show(Message{"Backup File Not Found For Firm No. " + std::to_string(n),
                                 kRestoreTitle, Buttons::Ok, Icon::None, Answer::Ok,
                                 "There is no file " + name + " in the folder \"" + folder +
                                     "\"; choose the folder that holds the firm's backup."});
        throw ProgramEnd();
    }
    HoldFirm(ctx, n);
    RecoverFirstOrRefuse(ctx, n);

    const std::string outer = StagingFirmFolder(v, n);
    RestoreState& state = ctx.state;
    state.RestoreStagingFolder = outer;
    UnpackIntoStaging(ctx, archive, outer);
    // The unpacked copy must hold the firm database before the live folder is touched.
    const auto staged = FindStagedFirm(ctx.fs, outer, n);
    if (!staged) {
        RefuseArchive(ctx, outer, NoStagedFirmDetail(n));
    }
    state.RestoreStagingFolder = staged->folder;

    ctx.view.CancelTooLate();
    const std::vector<std::string> kept = ReplaceFirm(ctx, staged->folder, n);
    DeleteIfThere(ctx.fs, outer);
    state.restoredDetail = "Firm " + std::to_string(n) + " was restored from \"" + archive + "\".";
    for (size_t i = 0; i < kept.size(); ++i) {
        state.restoredDetail += i == 0
                                    ? " The firm as it was before is kept at \"" + kept[i] + "\""
                                    : (i == 1 ? "; earlier copies at \"" : ", \"") + kept[i] + "\"";
    }
    if (!kept.empty()) {
        state.restoredDetail += ".";
    }
}

}  // namespace vornback
