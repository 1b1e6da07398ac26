#include "restore/staged_firm.h"

#include "base/data_tree.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "base/text.h"
#include "platform/file_system.h"
#include "restore/safe_swap.h"

namespace vornback {

std::optional<StagedFirm> FindStagedFirm(FileSystem& fs, const std::string& outer, int64_t n) {
    const std::string name = FirmFolderName(n);
    if (auto flat = FindNoCase(fs, outer, FirmDatabaseName(n), false)) {
        return StagedFirm{outer, *flat};
    }
    if (auto inner = FindNoCase(fs, outer, name, true)) {
        if (auto nested = FindNoCase(fs, *inner, FirmDatabaseName(n), false)) {
            return StagedFirm{*inner, *nested};
        }
    }
    return std::nullopt;
}

std::string NoStagedFirmDetail(int64_t n) {
    return "The archive holds no firm database " + FirmDatabaseName(n) +
           ", neither at its top level nor in a folder " + FirmFolderName(n) +
           "; choose a backup of firm " + std::to_string(n) + ".";
}

Database OpenStagedFirmConnection(const ProgramValues& values, int32_t sourceFirmNo,
                                  std::string& restoreStagingFolder, FileSystem& fs,
                                  Dialogs& dialogs) {
    const std::string outer = StagingFirmFolder(values, sourceFirmNo);
    if (const auto staged = FindStagedFirm(fs, outer, sourceFirmNo)) {
        if (staged->folder != outer) {
            restoreStagingFolder = staged->folder;
        }
        return Database::Open(staged->database, kFirmPassword);
    }
    dialogs.Show(Message{"Invalid Backup File", "Restore", Buttons::Ok, Icon::Exclamation,
                         Answer::Ok, NoStagedFirmDetail(sourceFirmNo)});
    DeleteIfThere(fs, outer);
    throw ProgramEnd();
}

}  // namespace vornback
