#include "restore/staged_firm.h"

#include "base/data_tree.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "base/text.h"
#include "platform/file_system.h"

namespace vornback {

Database OpenStagedFirmConnection(const ProgramValues& values, int32_t sourceFirmNo,
                                  std::string& restoreStagingFolder, FileSystem& fs,
                                  Dialogs& dialogs) {
    const std::string outer = StagingFirmFolder(values, sourceFirmNo);
    const std::string name = "Firm" + std::to_string(sourceFirmNo);
    const std::string flat = JoinPath(outer, name + ".mdb");
    if (fs.FileExists(flat)) {
        return Database::Open(flat, kFirmPassword);
    }
    const std::string inner = JoinPath(outer, name);
    const std::string nested = JoinPath(inner, name + ".mdb");
    if (fs.FileExists(nested)) {
        restoreStagingFolder = inner;
        return Database::Open(nested, kFirmPassword);
    }
    dialogs.Show(Message{"Invalid Backup File", "Restore", Buttons::Ok, Icon::Exclamation});
    if (fs.FolderExists(outer)) {
        fs.DeleteFolder(outer, false);
    }
    throw ProgramEnd();
}

}  // namespace vornback
