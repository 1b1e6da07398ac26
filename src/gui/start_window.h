// The window a start opens, once the start-up decision is made: what killed runs left is
// finished or undone first (said in one message), then the backup or the restore window
// runs until it closes. The host's command line and the chooser both end here.
#pragma once

#include "gui/choose_window.h"
#include "startup/launch.h"
#include "startup/workplace.h"

namespace vornback {

// Returns the program's exit status; throws ProgramEnd and Error as the windows do.
int RunStartWindow(const StartupDecision& decision);

// The start the chooser's pick stands for: the host's command line "<firm>,<year>,<mode>"
// in the workplace of the pick's data tree.
StartupDecision DecideChosenStartup(const ChooserPick& pick, const Workplace& place);

}  // namespace vornback
