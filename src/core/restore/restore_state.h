// The restore state: what the select button's steps leave for the restore run (source
// firm, staging folder, chosen archive, picked and target years) and the texts and
// states of the restore window's labels that carry them. One object, owned by the
// restore window and handed to the operations; the window shows what it holds.
#pragma once

#include <cstdint>
#include <string>

#include "restore/safe_swap.h"

namespace vornback {

// A label or button of the restore window as the operations leave it.
struct LabelState {
    std::string caption;
    bool visible = false;
};

struct RestoreLabels {
    LabelState LblTxtTrFNo{"Target Firm No.", false};
    LabelState LblTargetFNo{"0", false};
    LabelState LblTxtTrYr{"Year No.", false};
    LabelState LblTargetYNo{"0", false};
    LabelState LblFinYr{"XX", false};
    LabelState LblPath{"Target Firm No.", false};
    LabelState cmdSelectPath{"...", false};
    bool FrmDirSelEnabled = true;
};

struct RestoreState {
    int16_t SourceFirmNo = 0;
    std::string RestoreStagingFolder;
    std::string SelectedArchivePath;
    // The file dialog keeps the file of its previous use in this window; a cancel leaves it.
    std::string fileDialogMemory;
    std::string PickedYearNo, PickedYearFrom, PickedYearTo;
    std::string TargetYearNo, TargetYearFrom, TargetYearTo;
    int16_t NewYearNo = 0;
    RestoreLabels labels;
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

// Characters [start, start + length) of a caption counted from 1, as the period caption is
// read back; a caption too short gives what there is, possibly nothing.
inline std::string Mid(const std::string& text, size_t start, size_t length) {
    if (start == 0 || start > text.size()) {
        return "";
    }
    return text.substr(start - 1, length);
}

}  // namespace vornback
