// What a backup or restore run needs of the window that started it (or of the headless
// tool's stand-in): the busy area, the progress of the archive work, the focus on the folder
// browse button. Each run's own view adds what only that run asks.
#pragma once

#include "archive/archive.h"

namespace vornback {

class RunView {
  public:
    virtual ~RunView() = default;
    virtual void BusyOn() = 0;
    virtual void BusyOff() = 0;
    virtual void FocusBrowseButton() = 0;  // the focus goes to the folder browse button
    // Progress of the current pack, unpack, copy or compaction; the window shows it in the
    // busy area and repaints.
    virtual void ShowProgress(const ArchiveProgress& progress) = 0;
    // From here on the run puts its work in place and finishes: a cancel no longer stops it.
    virtual void CancelTooLate() {}
};

}  // namespace vornback
