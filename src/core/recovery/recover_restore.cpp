// The restore side of recovery at start-up. A restore that was killed leaves its own kinds
// of leftovers (a firm folder set aside, a half-unpacked staging folder); the restore's
// recovery steps go here, beside the restore's temporary names.
#include "recovery/recovery.h"

namespace vornback {

std::vector<std::string> RecoverRestoreLeftovers(const ProgramValues&, FileSystem&) {
    return {};
}

}  // namespace vornback
