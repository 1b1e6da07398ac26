// The restore window's captions, worded from the restore state by one pure function: the
// labels of the firm and year area, the select button and the folder frame. The window
// shows what this gives and never reads a value back from a caption.
#pragma once

#include <string>

#include "restore/restore_state.h"

namespace vornback {

struct Caption {
    std::string text;
    bool visible = false;
};

struct RestoreCaptions {
    Caption LblTxtTrFNo;
    Caption LblTargetFNo;
    Caption LblTxtTrYr;
    Caption LblTargetYNo;
    Caption LblFinYr;
    Caption LblPath;
    Caption cmdSelectPath;
    bool FrmDirSelEnabled = true;
};

// The captions for the state; RestoreState{} gives the window's captions as it opens.
RestoreCaptions CaptionsOf(const RestoreState& state);

}  // namespace vornback
