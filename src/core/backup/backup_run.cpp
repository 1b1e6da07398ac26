#include "backup/backup_run.h"

#include <cstdio>
#include <functional>
#include <vector>

#include "base/clock.h"
#include "base/data_tree.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "base/text.h"
#include "history/history.h"
#include "mail/mail.h"
#include "platform/file_system.h"
#include "startup/settings.h"
#include "store/compaction.h"
#include "store/registers.h"

namespace vornback {

namespace {

constexpr const char* kSection = "Back";
constexpr const char* kBackupTitle = "Backup";

void Tell(BackupContext& ctx, const std::string& text, Icon icon = Icon::None) {
    ctx.dialogs.Show(Message{text, kProgramTitle, Buttons::Ok, icon, Answer::Ok});
}

std::string DateFolderName(const Today& today) {
    char name[32];
    std::snprintf(name, sizeof name, "%04d%02d%02d", today.year, today.month, today.day);
    return name;
}

// The new archive is written beside the old ones under a name that no file dialog filter
// ("Firm*.zip") and no generation name can match, and only renamed in once it is checked.
std::string TemporaryArchivePath(const std::string& destination, const std::string& archive) {
    const size_t slash = archive.find_last_of(kSeparator);
    const std::string name = slash == std::string::npos ? archive : archive.substr(slash + 1);
    return JoinPath(destination, "." + name + ".partial");
}

// Best effort on the way out of a failure: the original error is what the person must see.
void RemoveQuietly(const std::function<void()>& removal) {
    try {
        removal();
    } catch (...) {
    }
}

// Packs the source into the temporary archive and reads every entry back; a failure
// leaves no temporary archive behind.
void PackChecked(BackupContext& ctx, const std::string& sourceFolder, const std::string& temporary,
                 const std::vector<std::string>& exclusions) {
    if (ctx.fs.FileExists(temporary)) {
        ctx.fs.Kill(temporary);  // left over from an interrupted run
    }
    const ArchiveProgressFn progress = [&ctx](const ArchiveProgress& p) {
        ctx.view.ShowProgress(p);
    };
    PackOptions pack;
    pack.excludePatterns = exclusions;
    pack.progress = progress;
    pack.cancel = ctx.cancel;
    PackFolder(sourceFolder, temporary, pack);
    try {
        UnpackOptions verify;
        verify.progress = progress;
        verify.cancel = ctx.cancel;
        VerifyArchive(temporary, verify);
    } catch (...) {
        RemoveQuietly([&] { ctx.fs.Kill(temporary); });
        throw;
    }
}

// The older generation goes, the last archive becomes the older generation and the new,
// checked archive takes the last one's name.
void RotateGenerations(BackupContext& ctx, const std::string& temporary, const std::string& archive,
                       const std::string& previous) {
    if (!ctx.fs.Dir(previous).empty()) {
        ctx.fs.Kill(previous);
    }
    if (!ctx.fs.Dir(archive).empty()) {
        ctx.fs.MoveFile(archive, previous);
    }
    ctx.fs.MoveFile(temporary, archive);
}

}  // namespace

std::string RetValidPath(BackupContext& ctx, const BackupChoices& choices) {
    const std::string settings = SettingsFile(ctx.values);
    std::string base;
    if (choices.hardDiskIndex == 0) {
        base = choices.lblHDPath;
        if (!ctx.fs.FolderExists(base)) {
            ctx.fs.CreateFolder(base);
        }
    } else {
        base = choices.txtBackPath;
        if (base.empty()) {
            Tell(ctx, "Please Select Backup Path");
            ctx.view.FocusBrowseButton();
            return "";
        }
        if (ctx.fs.Dir(base, true).empty()) {
            Tell(ctx, "Invalid Backup Path");
            ctx.view.FocusBrowseButton();
            return "";
        }
        WriteSetting(kSection, "LPath", choices.txtBackPath, settings);
    }

    std::string destination;
    if (choices.backTypeIndex == 0) {
        WriteSetting(kSection, "BackType", "0", settings);
        destination = base;
    } else if (choices.backTypeIndex == 1) {
        WriteSetting(kSection, "BackType", "1", settings);
        destination = JoinPath(base, DateFolderName(ctx.clock.Now()));
    } else {
        WriteSetting(kSection, "BackType", "2", settings);
        destination = JoinPath(base, ctx.clock.Now().dayName);
    }

    WriteSetting(kSection, "AdvSet", std::to_string(choices.chkAdvSet), settings);
    WriteSetting(kSection, "IncAtcDoc", std::to_string(choices.ChkIncAtcDoc), settings);
    WriteSetting(kSection, "CurYr", std::to_string(choices.ChkCurYr), settings);

    if (!ctx.fs.FolderExists(destination)) {
        ctx.fs.CreateFolder(destination);
    }
    return destination;
}

std::string ArchivePath(const ProgramValues& values, const std::string& destination,
                        bool currentYearOnly, bool previous) {
    std::string name = previous ? "OFirm" : "Firm";
    name += std::to_string(values.CurrentFirmNo);
    if (currentYearOnly) {
        name += "Yr" + values.CurrentYearNo;
    }
    name += ".zip";
    return JoinPath(destination, name);
}

bool CheckBackFolder(BackupContext& ctx, const std::string& stagingRoot) {
    try {
        if (!ctx.fs.FolderExists(stagingRoot)) {
            ctx.fs.CreateFolder(stagingRoot);
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool PreCurYr(BackupContext& ctx, const BackupChoices& choices, std::string& backupSourceFolder) {
    const ProgramValues& v = ctx.values;
    const std::string& y = v.CurrentYearNo;
    const std::string stagingRoot = StagingRoot(v);
    const std::string source = FirmFolder(v, v.CurrentFirmNo);
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
    const std::string yearDatabase = ToLower("DVorn" + y + ".mdb");
    for (const FileEntry& file : ctx.fs.Files(JoinPath(staging, "Yr" + y))) {
        if (ToLower(file.name) != yearDatabase) {
            ctx.fs.DeleteFile(file.path, true);
        }
    }
    // The firm keeps its own files, the current year and the folders d and g.
    const std::string yearFolder = "yr" + y;
    for (const FileEntry& folder : ctx.fs.SubFolders(staging)) {
        const std::string name = ToLower(folder.name);
        if (name != yearFolder && name != "d" && name != "g") {
            ctx.fs.DeleteFolder(folder.path, false);
        }
    }

    backupSourceFolder = staging;
    if (choices.chkSendEmail == 1) {
        MaintData(ctx, backupSourceFolder, backupSourceFolder);
    }
    return true;
}

bool MaintData(BackupContext& ctx, const std::string& strFilePath,
               const std::string& backupSourceFolder) {
    // Maintenance is a courtesy to the mail: whatever goes wrong, the backup goes on with
    // the staged database as it was.
    try {
        const std::string& y = ctx.values.CurrentYearNo;
        const std::string yearPart = JoinPath("Yr" + y, "DVorn" + y + ".mdb");
        const std::string source = JoinPath(strFilePath, yearPart);
        const std::string temporary = JoinPath(StagingRoot(ctx.values), "M" + y + ".mdb");
        const std::string target = JoinPath(backupSourceFolder, yearPart);

        // Without a staged database there is nothing to compact, and no password to doubt.
        if (!ctx.fs.FileExists(source)) {
            return false;
        }

        bool failed = false;
        try {
            if (ctx.fs.FileExists(temporary)) {
                ctx.fs.DeleteFile(temporary, false);
            }
        } catch (...) {
            failed = true;
        }
        try {
            CompactDatabase(source, temporary, "");
        } catch (...) {
            failed = true;
        }
        if (failed) {
            // A protected year database opens only with the year password.
            try {
                CompactDatabase(source, temporary, kYearPassword);
            } catch (...) {
                Tell(ctx, "invalid pass");
                return false;
            }
        }

        if (!ctx.fs.FileExists(temporary)) {
            return false;
        }
        try {
            if (ctx.fs.FileExists(target)) {
                ctx.fs.DeleteFile(target, false);
            }
        } catch (...) {
            // The move below then refuses to replace the staged database.
        }
        ctx.fs.MoveFile(temporary, target);
        return true;
    } catch (...) {
        return false;
    }
}

std::string SizeInMegabytes(uint64_t bytes, const std::string& decimalSeparator) {
    constexpr uint64_t kMegabyte = 1048576;
    // Thousandths of a megabyte, split so that no product can overflow.
    const uint64_t whole = bytes / kMegabyte;
    const uint64_t rest = (bytes % kMegabyte) * 1000;
    uint64_t thousandths = whole * 1000 + rest / kMegabyte;
    const uint64_t remainder = rest % kMegabyte;
    if (remainder * 2 > kMegabyte || (remainder * 2 == kMegabyte && thousandths % 2 == 1)) {
        ++thousandths;
    }
    std::string text = std::to_string(thousandths / 1000);
    uint64_t fraction = thousandths % 1000;
    if (fraction != 0) {
        int digits = 3;
        while (fraction % 10 == 0) {
            fraction /= 10;
            --digits;
        }
        std::string fractionText = std::to_string(fraction);
        fractionText.insert(0, static_cast<size_t>(digits) - fractionText.size(), '0');
        text += decimalSeparator + fractionText;
    }
    return text;
}

void MailBackupArchive(BackupContext& ctx, const BackupChoices& choices,
                       const std::string& archivePath) {
    if (choices.chkSendEmail != 1) {
        return;
    }
    const uint64_t size = ctx.fs.FileLength(archivePath);
    if (size >= kMailSizeQuestionBytes) {
        const Answer answer =
            ctx.dialogs.Show(Message{"File size is " + SizeInMegabytes(size, ctx.decimalSeparator) +
                                         " Do you want to send E-Mail.",
                                     kBackupTitle, Buttons::YesNo, Icon::None, Answer::No});
        if (answer != Answer::Yes) {
            return;
        }
    }
    if (!SendBackupMail(archivePath, choices.txtEmailToSend, ctx.mail, ctx.dialogs,
                        [&ctx] { ctx.view.KeepAlive(); })) {
        Tell(ctx, "Backup Can not Email", Icon::Critical);
    }
}

static RunEnd RunBackupSteps(BackupContext& ctx, const BackupChoices& choices,
                             std::string& backupSourceFolder, RunRecord& record) {
    const std::string destination = RetValidPath(ctx, choices);
    if (destination.empty()) {
        return RunEnd::Stopped;
    }
    const ProgramValues& v = ctx.values;
    const bool currentYearOnly = choices.ChkCurYr == 1;
    const std::string archive = ArchivePath(v, destination, currentYearOnly, false);
    const std::string previous = ArchivePath(v, destination, currentYearOnly, true);
    record.SetArchive(archive);
    const std::string temporary = TemporaryArchivePath(destination, archive);
    const std::string staging = StagingFirmFolder(v, v.CurrentFirmNo);

    ctx.view.BusyOn();
    std::vector<std::string> exclusions;
    try {
        if (currentYearOnly) {
            if (!PreCurYr(ctx, choices, backupSourceFolder)) {
                ctx.view.BusyOff();
                return RunEnd::Stopped;
            }
        } else {
            backupSourceFolder = FirmFolder(v, v.CurrentFirmNo);
            if (choices.ChkIncAtcDoc != 1) {
                exclusions.push_back("AttachDocs\\*.*");
            }
        }
        PackChecked(ctx, backupSourceFolder, temporary, exclusions);
        RotateGenerations(ctx, temporary, archive, previous);
        if (currentYearOnly && ctx.fs.FolderExists(staging)) {
            ctx.fs.DeleteFolder(staging, false);
        }
    } catch (...) {
        RemoveQuietly([&] {
            if (ctx.fs.FileExists(temporary)) {
                ctx.fs.Kill(temporary);
            }
        });
        if (currentYearOnly) {
            RemoveQuietly([&] {
                if (ctx.fs.FolderExists(staging)) {
                    ctx.fs.DeleteFolder(staging, false);
                }
            });
        }
        throw;
    }

    MailBackupArchive(ctx, choices, archive);
    ctx.view.BusyOff();
    const Answer answer =
        ctx.dialogs.Show(Message{"Back up Completed. Do You Want To Exit?", kBackupTitle,
                                 Buttons::YesNo, Icon::None, Answer::Yes});
    return answer == Answer::Yes ? RunEnd::Exit : RunEnd::KeepOpen;
}

// Every run leaves one line in the history, however it ends.
RunEnd RunBackup(BackupContext& ctx, const BackupChoices& choices,
                 std::string& backupSourceFolder) {
    RunRecord record(ctx.values, choices.ChkCurYr == 1 ? "backup-year" : "backup");
    try {
        const RunEnd end = RunBackupSteps(ctx, choices, backupSourceFolder, record);
        record.Finish(
            end == RunEnd::Stopped ? RunResult::Stopped : RunResult::Ok,
            end == RunEnd::Stopped ? "stopped before packing; the message shown says why" : "");
        return end;
    } catch (...) {
        record.Fail();
        throw;
    }
}

}  // namespace vornback
