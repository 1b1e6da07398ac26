// The current-year staging of the backup run: the staging root, the trimmed copy of the
// firm and the compaction of its year database.
#include <string>

#include "backup/backup_run.h"
#include "backup/backup_steps.h"
#include "base/data_tree.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "base/warnings.h"
#include "platform/file_system.h"
#include "store/compaction.h"
#include "store/registers.h"

namespace vornback {

bool CheckBackFolder(BackupContext& ctx, const std::string& stagingRoot) {
    try {
        if (!ctx.fs.FolderExists(stagingRoot)) {
            ctx.fs.CreateFolder(stagingRoot);
        }
        return true;
    } catch (const FileSystemError& e) {
        Warn(e.what());
        return false;
    }
}

bool PreCurYr(BackupContext& ctx, const BackupChoices& choices, std::string& backupSourceFolder) {
    const ProgramValues& v = ctx.values;
    const std::string& y = v.CurrentYearNo;
    const std::string stagingRoot = StagingRoot(v);
    const std::string source = LookupNoCase(ctx.fs, v.AppFolder, {FirmFolderName(v.CurrentFirmNo)});
    const std::string staging = StagingFirmFolder(v, v.CurrentFirmNo);

    if (!CheckBackFolder(ctx, stagingRoot)) {
        Tell(ctx, "Problem with folder permission, Please try again later", Icon::Critical);
        return false;
    }
    // A copy left by an interrupted run is replaced, never merged into.
    if (ctx.fs.FolderExists(staging)) {
        ctx.fs.DeleteFolder(staging, false);
    }
    ctx.view.BusyOn();
    ctx.fs.CopyFolder(source, staging, false);

    // The year folder keeps its database only.
    const std::string yearDatabase = ToLower(YearDatabaseName(y));
    for (const FileEntry& file : ctx.fs.Files(LookupNoCase(ctx.fs, staging, {YearFolderName(y)}))) {
        if (ToLower(file.name) != yearDatabase) {
            ctx.fs.DeleteFile(file.path, true);
        }
    }
    // The firm keeps its own files, the current year and the folders d and g.
    const std::string yearFolder = ToLower(YearFolderName(y));
    for (const FileEntry& folder : ctx.fs.SubFolders(staging)) {
        const std::string name = ToLower(folder.name);
        if (name != yearFolder && name != "d" && name != "g") {
            ctx.fs.DeleteFolder(folder.path, false);
        }
    }

    backupSourceFolder = staging;
    if (choices.sendEmail) {
        MaintData(ctx, backupSourceFolder, backupSourceFolder);
    }
    return true;
}

bool MaintData(BackupContext& ctx, const std::string& strFilePath,
               const std::string& backupSourceFolder) {
    // Maintenance is a courtesy to the mail: whatever goes wrong, the backup goes on with
    // the staged database as it was (the reason goes out as a warning).
    const ProgramValues& v = ctx.values;
    const std::string& y = v.CurrentYearNo;
    const std::string source =
        LookupNoCase(ctx.fs, strFilePath, {YearFolderName(y), YearDatabaseName(y)});
    const std::string target =
        LookupNoCase(ctx.fs, backupSourceFolder, {YearFolderName(y), YearDatabaseName(y)});
    // The copy's name is this run's own, so no earlier copy can be in its way.
    const std::string temporary =
        JoinPath(StagingRoot(v), CompactionTemporaryName(y, v.CurrentFirmNo, NewRunTag()));

    // Without a staged database there is nothing to compact, and no password to doubt.
    if (!ctx.fs.FileExists(source)) {
        return false;
    }
    try {
        CompactDatabase(source, temporary, "");
    } catch (const DatabaseError& plain) {
        // A protected year database opens only with the year password.
        try {
            CompactDatabase(source, temporary, kYearPassword);
        } catch (const DatabaseError& protectedToo) {
            Warn(std::string("the staged year database was not compacted: ") + plain.what() + "; " +
                 protectedToo.what());
            Tell(ctx, "invalid pass");
            return false;
        }
    }
    Leftover copy([&] {
        if (ctx.fs.FileExists(temporary)) {
            ctx.fs.Kill(temporary);
        }
    });
    try {
        if (ctx.fs.FileExists(target)) {
            ctx.fs.DeleteFile(target, false);
        }
        ctx.fs.MoveFile(temporary, target);
    } catch (const FileSystemError& e) {
        Warn(std::string("the compacted year database was not put in place: ") + e.what());
        return false;
    }
    copy.Dismiss();
    return true;
}

}  // namespace vornback
