// The restore state: what the select button's steps leave for the restore run (source
// firm, staging folder, chosen archive, picked and target years) and what the restore
// window shows of it. One object, owned by the restore window and handed to the
// operations; the window words every label from it and never reads a value back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "restore/safe_swap.h"
#include "store/registers.h"

namespace vornback {

// The restore types, in the order the window lists them; None when none is chosen.
enum class RestoreType { None = -1, FullFirm = 0, SelectedYear = 1, AddFirm = 2, AddYear = 3 };

// The type of a position in the window's type list; None for any position off the list.
RestoreType RestoreTypeAt(int index);

// The select button's next step; NotSet until a type with a select button was chosen.
enum class SelectStep { NotSet, SelectYear, SelectFirm };

// Which parts of the window's firm and year area show, and what the firm part says.
struct RestoreShown {
    bool firm = false;        // the firm number, with the text before it
    bool sourceFirm = false;  // the firm number is the archive's, not the one restored into
    int32_t firmNo = 0;       // the firm number shown
    bool yearNo = false;      // the picked year's number, with the text before it
    bool period = false;      // the picked year's first and last day
    bool archive = false;     // the archive chosen for "Add Firm"
    bool select = false;      // the select button
    SelectStep step = SelectStep::NotSet;
    bool folderChoice = true;  // the folder frame takes input
};

struct RestoreState {
    int16_t SourceFirmNo = 0;
    std::string RestoreStagingFolder;
    std::string SelectedArchivePath;
    // The file dialog keeps the file of its previous use in this window; a cancel leaves it.
    std::string fileDialogMemory;
    // The year last picked in either year list, as its register holds it.
    std::optional<YearRow> pickedYear;
    // "Selected Year": the current firm's year that the restore overwrites.
    std::optional<YearRow> targetYear;
    int16_t NewYearNo = 0;
    RestoreShown shown;
    // The firm locks a run holds while it changes files; the run that ends releases them
    // and removes the staging folders of those firms.
    FirmLocks locks;
    // The staging locks the window holds while it waits on the person with an unpacked
    // archive (its firm's lock is free meanwhile); the run or the window's closing removes
    // the folder and releases them.
    FirmLocks stagingLocks;
    // What the last run restored, for the closing question's informative line.
    std::string restoredDetail;
};

// The period of a picked year as the window and the messages word it: "From Date
// DD/MM/YYYY To DD/MM/YYYY"; "XX" before any pick.
std::string PeriodText(const std::optional<YearRow>& year);

}  // namespace vornback
