// Recovery at start-up: finishes or undoes what runs killed midway left in the data tree
// and the staging area, before anything else touches a firm.
#pragma once

#include <string>
#include <vector>

#include "base/program_values.h"

namespace vornback {

class FileSystem;

// What interrupted restores left: a firm or year folder set aside and not put back, a
// folder placed without its register row, partial copies and stale staging folders. Each
// action is one plain line of the result. Firms whose run lock is held are left alone.
std::vector<std::string> RecoverRestoreLeftovers(const ProgramValues& values, FileSystem& fs);

}  // namespace vornback
