// The restore run and the steps the restore window orders: the folder check
// (RetValidPath), ShowHideLbl, the select button's small machine, the run of the chosen
// restore type and "Full Firm". Qt-free: the window hands in what the person chose and
// implements RestoreView; the state lives in the window's RestoreState.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "archive/archive.h"
#include "archive/run_view.h"
#include "base/clock.h"
#include "restore/restore_state.h"
#include "startup/launch.h"
#include "startup/window_settings.h"

namespace vornback {

class Dialogs;
class FileSystem;
class YearChooser;

// What the person chose in the restore window at the moment of a click.
struct RestoreChoices {
    FolderChoice folder = FolderChoice::Default;
    std::string defaultFolder;  // the default restore folder, as the window shows it
    std::string restorePath;    // the other folder, as typed
    RestoreType type = RestoreType::FullFirm;
    bool advanced = false;  // "Advance Back Type" ticked
};

inline constexpr const char* kRestoreTypes[] = {"Full Firm", "Selected Year", "Add Firm",
                                                "Add Year"};

// What the operations need of the window besides the busy area and the progress (the
// cancel ends before the run changes the live data tree).
class RestoreView : public RunView {
  public:
    // What the state shows changed: the window shows it now (before a modal list opens).
    virtual void ShowLabels() = 0;
    // The passphrase of the chosen archive, which is encrypted (the window asks for it);
    // nothing when the person gives none.
    virtual std::optional<std::string> Passphrase(const std::string& archive) {
        (void)archive;
        return std::nullopt;
    }
};

struct RestoreContext {
    const ProgramValues& values;
    FileSystem& fs;
    Dialogs& dialogs;
    YearChooser& years;
    RestoreView& view;
    RestoreState& state;
    // The time of the stamps the run gives (the replaced firm's copy).
    Clock& clock;
    // The window keeps its choices in the settings; the headless tool never writes them.
    bool keepChoices = true;
    // Set to true to stop unpacking: the archive's staging folder goes, nothing live has
    // changed, and ArchiveCancelled goes up.
    const std::atomic<bool>* cancel = nullptr;
};

// ShowHideLbl: sets what the firm and year area shows, the select button's first step and
// whether the folder frame takes input, for the type; None changes nothing.
void ShowHideLbl(RestoreState& state, RestoreType type, int32_t currentFirmNo);

// RetValidPath: the folder to restore from. "Default Directory": the default folder.
// "Others": "" with "Please Select Restore Path" (and the focus on the browse button) when
// the text is blank, else the text as typed.
std::string RetValidPath(RestoreContext& ctx, const RestoreChoices& choices);

// The select button's click for the chosen type, by its step (the machine of the choosing
// steps): file dialog, SourceFirmNo, unpack into the staging folder, year lists.
void SelectPathClick(RestoreContext& ctx, const RestoreChoices& choices);

// The number read from an archive's file name: the name less its first four characters,
// leading digits, rounded; none give 0. Throws Error when it does not fit 16 bits.
int16_t SourceFirmNoFromName(const std::string& archivePath);

enum class RestoreEnd {
    KeepOpen,  // the person answered No to leaving
    Exit,      // Yes: the window closes
};

// The "&Restore" click: writes "LPath", "RestType", "AdvSet", BusyOn, runs the chosen
// type, BusyOff, records the run in the history, then asks "Restore Competed. Do You Want
// To Exit?" (its detail says what was restored). A firm or staging folder held by another
// run shows the refusal and throws RunRefused, keeping what the window unpacked; another
// refusal inside a type throws ProgramEnd after its message (RunDeclined after a No to
// overwriting); failures throw Error. Otherwise, whatever the ending, the staging folders
// of the firms the run locked are removed and the locks released, all before the question.
RestoreEnd RunRestore(RestoreContext& ctx, const RestoreChoices& choices);

// Takes firm n's lock for the run (kept in the state) and checks that no other window holds
// its staging folder. Throws RunLocked naming the holder; the firm's lock then is not kept.
void HoldFirm(RestoreContext& ctx, int64_t n);

// What the window unpacked and still holds goes, and its staging locks with it (the window
// closes, or a new archive takes the place of the old one). A folder that cannot be removed
// is reported as a warning; the next start removes it.
void DiscardUnpacked(RestoreContext& ctx);

// Unpacks an archive into a staging folder, emptied first so that files of an earlier run
// never travel with the new ones. A fault of the archive itself shows "Invalid Backup File"
// with the cause as its detail, removes what was staged and throws ProgramEnd; a failure
// on the writing side (disk full, permission) removes what was staged and goes on up.
void UnpackIntoStaging(RestoreContext& ctx, const std::string& archive, const std::string& staging);

// Before a run changes firm n, whose lock it holds: what an interrupted run of the firm left
// (a marker, a copy set aside) is finished or undone first and told in one message; a
// marker that stays after that refuses the run (message, ProgramEnd) with nothing changed.
void RecoverFirstOrRefuse(RestoreContext& ctx, int64_t n);

// FullFirm, "Full Firm": the whole firm folder of CurrentFirmNo from <folder>/Firm<n>.zip.
// The staged firm gets the live firm's image folder when the archive holds none, is synced,
// and is swapped in; the replaced firm is moved to Back/Replaced/Firm<n>-<stamp>, where the
// newest copies stay (ReplacedCopiesToKeep) and the closing question's detail names each.
void FullFirm(RestoreContext& ctx, const RestoreChoices& choices);

}  // namespace vornback
