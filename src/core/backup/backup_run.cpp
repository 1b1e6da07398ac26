#include "backup/backup_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "backup/backup_steps.h"
#include "base/clock.h"
#include "base/data_tree.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "base/warnings.h"
#include "drill/drill.h"
#include "history/history.h"
#include "offsite/passphrase.h"
#include "platform/file_system.h"
#include "platform/posix.h"
#include "platform/run_lock.h"
#include "recovery/recovery.h"
#include "startup/settings.h"
#include "startup/window_settings.h"
#include "store/registers.h"

namespace vornback {

namespace {

// Whether this user cannot write in an existing folder (a read-only mount or permissions).
bool ReadOnlyForUs(const std::string& folder) {
    return ::access(folder.c_str(), F_OK) == 0 && ::access(folder.c_str(), W_OK) != 0 &&
           (errno == EACCES || errno == EROFS || errno == EPERM);
}

// Packs the source into the run's own temporary archive and reads every entry back; a
// failure leaves no temporary archive behind. Returns the links met in the source, which
// an archive does not hold.
// With a passphrase (EncryptLocal) the checked archive is encrypted into the temporary
// archive's name, and the encrypted one checked with the passphrase.
std::vector<std::string> PackChecked(BackupContext& ctx, const std::string& sourceFolder,
                                     const std::string& temporary,
                                     const std::vector<std::string>& exclusions,
                                     const std::string& passphrase) {
    const ArchiveProgressFn progress = [&ctx](const ArchiveProgress& p) {
        ctx.view.ShowProgress(p);
    };
    PackOptions pack;
    pack.excludePatterns = exclusions;
    pack.progress = progress;
    pack.cancel = ctx.cancel;
    // The plain archive, when it is encrypted afterwards, is a piece of the temporary
    // archive (which the next start removes, whatever a kill or power cut leaves of it),
    // never synced, and removed before the encrypted copy is synced, so that its bytes
    // never reach the disk: only the encrypted copy stays.
    pack.sync = passphrase.empty();
    const std::string packed =
        passphrase.empty() ? temporary : temp_names::PackTemporaryPath(temporary);
    PackSummary summary = PackFolder(sourceFolder, packed, pack);
    Leftover unchecked([&] {
        if (ctx.fs.FileExists(packed)) {
            ctx.fs.Kill(packed);
        }
        if (packed != temporary && ctx.fs.FileExists(temporary)) {
            ctx.fs.Kill(temporary);
        }
    });
    UnpackOptions verify;
    verify.progress = progress;
    verify.cancel = ctx.cancel;
    VerifyArchive(packed, verify);
    if (!passphrase.empty()) {
        EncryptOptions encrypt;
        encrypt.progress = progress;
        encrypt.cancel = ctx.cancel;
        encrypt.removeSource = true;
        EncryptArchiveCopy(packed, temporary, passphrase, encrypt);
    }
    unchecked.Dismiss();
    for (const std::string& link : summary.skippedLinks) {
        Warn("left out of the backup, a link: " + link);
    }
    return std::move(summary.skippedLinks);
}

// The last archive becomes the older generation and the new, checked archive takes the
// last one's name, so that a restorable last archive exists at every moment: the last
// archive gets a second name, that name replaces the older generation, and the new archive
// replaces the last one. Without hard links the last archive itself replaces the older
// generation; a kill before the new one is in leaves it missing for that moment, and the
// next run (or the next start) completes the rotation from the checked temporary archive.
void RotateGenerations(BackupContext& ctx, const std::string& destination,
                       const std::string& temporary, const std::string& archive,
                       const std::string& previous, const std::string& tag) {
    // The packer synced the archive, renamed it to its temporary name and synced the
    // folder, so that name is on the disk before anything here depends on it.
    if (ctx.fs.FileExists(archive)) {
        const std::string link = JoinPath(destination, RotationLinkName(NameOf(archive), tag));
        const bool linked = ctx.fs.HardLink(archive, link);
        // Gone once renamed; left only by a failed rename (or one onto the same file).
        Leftover secondName([&] {
            if (linked && ctx.fs.FileExists(link)) {
                ctx.fs.Kill(link);
            }
        });
        ctx.fs.ReplaceFile(linked ? link : archive, previous);
        ctx.fs.SyncFolder(destination);
    }
    ctx.fs.ReplaceFile(temporary, archive);
    ctx.fs.SyncFolder(destination);
}

// The restore drill on the new, checked archive before it rotates in; recorded in the
// history under the archive's final name. A failed drill throws, and the run's failure
// path removes the temporary archive: the previous generations stay as they were.
void DrillNewArchive(BackupContext& ctx, const std::string& temporary, const std::string& archive,
                     bool currentYearOnly, const std::string& passphrase) {
    const int64_t start = ctx.clock.Seconds();
    DrillOptions options;
    options.onlyYear = currentYearOnly ? ctx.values.CurrentYearNo : "";
    options.progress = [&ctx](const ArchiveProgress& p) { ctx.view.ShowProgress(p); };
    options.cancel = ctx.cancel;
    options.passphrase = passphrase;
    DrillReport report = DrillArchive(temporary, ctx.values.CurrentFirmNo, options);
    report.archive = archive;
    RecordDrill(ctx.values, report, start);
    if (!report.Proven()) {
        throw Error(
            "The new archive failed the restore drill, so the previous backups were "
            "kept as they were: " +
            report.Reason());
    }
}

}  // namespace

BackupType BackupTypeAt(int index) {
    return index == 0   ? BackupType::Single
           : index == 1 ? BackupType::DateWise
                        : BackupType::DayWise;
}

std::string RetValidPath(BackupContext& ctx, const BackupChoices& choices) {
    const std::string settings = SettingsFile(ctx.values);
    std::string base;
    if (choices.folder == FolderChoice::Default) {
        base = choices.defaultFolder;
        if (!ctx.fs.FolderExists(base)) {
            ctx.fs.CreateFolder(base);
        }
    } else {
        base = choices.backupPath;
        if (base.empty()) {
            Tell(ctx, "Please Select Backup Path");
            ctx.view.FocusBrowseButton();
            return "";
        }
    }
    // A folder that is missing or that this user may not write to is refused before
    // anything is written; the detail says which folder, why, and what to do.
    std::string problem = FolderProblem(base);
    if (problem.empty() && choices.folder == FolderChoice::Other &&
        ctx.fs.Dir(base, true).empty()) {
        problem = "cannot be read";
    }
    if (!problem.empty()) {
        ctx.dialogs.Show(Message{"Invalid Backup Path", kProgramTitle, Buttons::Ok, Icon::None,
                                 Answer::Ok,
                                 "The backup folder \"" + base + "\" " + problem +
                                     "; choose a folder that exists and that you may write to."});
        ctx.view.FocusBrowseButton();
        return "";
    }

    std::string destination;
    if (ctx.keepChoices) {
        const std::string notSaved = SaveBackupChoices(
            settings, choices.folder == FolderChoice::Default ? nullptr : &choices.backupPath,
            static_cast<int>(choices.type), choices.advanced ? 1 : 0, choices.includeImages ? 1 : 0,
            choices.currentYearOnly ? 1 : 0);
        if (!notSaved.empty()) {
            ctx.dialogs.Show(Message{notSaved, kProgramTitle, Buttons::Ok, Icon::Exclamation});
        }
    }
    if (choices.type == BackupType::Single) {
        destination = base;
    } else if (choices.type == BackupType::DateWise) {
        destination = JoinPath(base, DateFolderName(ctx.clock.Now()));
    } else {
        destination = JoinPath(base, DayFolderName(ctx.clock.Now()));
    }

    if (!ctx.fs.FolderExists(destination)) {
        ctx.fs.CreateFolder(destination);
    }
    return destination;
}

std::string ArchivePath(const ProgramValues& values, const std::string& destination,
                        bool currentYearOnly, bool previous) {
    return JoinPath(destination, FormatArchiveName(ArchiveName{
                                     values.CurrentFirmNo,
                                     currentYearOnly ? values.CurrentYearNo : "", previous}));
}

namespace {

// The bytes of the files below folder, without the image folder when it is left out: what
// a backup packs, and so about the most its archive takes (packing only makes it smaller).
// What cannot be read counts nothing here; the packing itself reports it.
uint64_t BytesToPack(const std::string& folder, bool withoutImages) {
    namespace fs = std::filesystem;
    uint64_t total = 0;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied,
                                        error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (withoutImages && it.depth() == 0 && it->is_directory(error) &&
            ToLower(it->path().filename().string()) == "attachdocs") {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file(error)) {
            const uintmax_t size = it->file_size(error);
            total += error ? 0 : size;
        }
        error.clear();
    }
    return total;
}

// A failure whose system reason is a full disk or an exhausted quota. The packer's errors
// carry the system's reason as its text (strerror), beside the temporary archive's name.
bool DiskFull(const Error& e) {
    const std::string text = e.what();
    return text.find(std::strerror(ENOSPC)) != std::string::npos ||
           text.find(std::strerror(EDQUOT)) != std::string::npos;
}

// The run stops because the backup folder's disk cannot take the archive: the folder, the
// space the backup needs and the space free, never the run's temporary archive.
void TellNoSpace(BackupContext& ctx, const std::string& destination, uint64_t needed) {
    ctx.dialogs.Show(Message{
        "There is not enough space for the backup", kProgramTitle, Buttons::Ok, Icon::Exclamation,
        Answer::Ok,
        "no space in the backup folder \"" + destination + "\": about " +
            SizeInMegabytes(needed, ctx.decimalSeparator) + " MB needed, " +
            SizeInMegabytes(FreeBytes(destination), ctx.decimalSeparator) +
            " MB free. Free some space on that disk or choose another folder, then try again."});
}

// What a finished backup leaves for its mail and its closing question.
struct BackupMade {
    std::string archive;
    LeavingCopy leaving;  // what the offsite copy and the mail send
    // The file the mail sends, opened while the firm's locks were held: the mail goes out
    // after they are released, while another run of the firm may recover or rotate the
    // folder, and reads what this run made whatever that run does to the names.
    Fd mailed;
    std::vector<std::string> skippedLinks;
    std::string offsite;         // why the offsite copy failed, "" when it did not
    std::string removed;         // the older backups the keep policy removed
    std::string offsiteRemoved;  // the older offsite backups it removed
};

// The steps of the run that change files, under the firm's locks: they are released when
// this returns, before the mail and before any question waits on the person. A run that
// stops early throws RunStopped after the message that says why.
BackupMade MakeBackup(BackupContext& ctx, const BackupChoices& choices,
                      std::string& backupSourceFolder, RunRecord& record) {
    const ProgramValues& v = ctx.values;
    const std::string firmText = "firm " + std::to_string(v.CurrentFirmNo);
    const bool currentYearOnly = choices.currentYearOnly;
    if (currentYearOnly && v.CurrentYearNo.empty()) {
        Tell(ctx,
             "The program was started without a year, so there is no current year to back up. "
             "Untick \"Only Current Year\" to back up the whole firm, or start the program "
             "with the firm and the year (such as " +
                 std::to_string(v.CurrentFirmNo) + ",2,B).",
             Icon::Exclamation);
        throw RunStopped();
    }
    // One backup or restore of a firm at a time; a second one is refused before it changes
    // anything (RunLocked names the run that holds the firm).
    // Without a usable staging root the firm's lock cannot be kept there; the destination's
    // lock still keeps two runs apart, and a current-year run then stops at the staging.
    // A lock that cannot be taken (a program folder this user may not write to) refuses the
    // run: without it a second run of the firm could not be kept out.
    std::optional<RunLock> firmLock;
    try {
        firmLock.emplace(LockFirm(v, v.CurrentFirmNo, ctx.clock));
    } catch (const FileSystemError& e) {
        const std::string why =
            ReadOnlyForUs(StagingRoot(v)) || ReadOnlyForUs(v.ProgramFolder)
                ? "The data tree is read-only (\"" + v.ProgramFolder +
                      "\" cannot be written), so the lock that keeps two runs of " + firmText +
                      " apart cannot be taken there."
                : std::string(e.what());
        ctx.dialogs.Show(Message{"Problem with folder permission, Please try again later",
                                 kProgramTitle, Buttons::Ok, Icon::Critical, Answer::Ok,
                                 why + " Nothing was backed up."});
        throw ProgramEnd();
    }
    // A current-year backup stages in the firm's staging folder, which a restore window may
    // hold with an unpacked archive; a whole-firm backup leaves that folder alone.
    if (currentYearOnly && firmLock) {
        EnsureStagingFolderFree(v, v.CurrentFirmNo, ctx.clock);
    }
    const std::string destination = RetValidPath(ctx, choices);
    if (destination.empty()) {
        throw RunStopped();
    }
    const RunLock destinationLock =
        RunLock::Take(DestinationLockFile(destination, v.CurrentFirmNo), firmText, ctx.clock);
    for (const std::string& line : RecoverDestination(ctx.fs, destination, v.CurrentFirmNo)) {
        Warn(line);
    }
    // Killed backups into other date-wise or day-wise folders are tidied here too: a dated
    // folder is never the destination again.
    const std::string backupFolder =
        choices.type == BackupType::Single ? destination : FolderOf(destination);
    for (const std::string& line : RecoverBackupFolder(ctx.fs, backupFolder, v.CurrentFirmNo)) {
        Warn(line);
    }

    // Encrypted archives: the passphrase is read before anything is written, so that a
    // missing or unsafe one refuses an encrypted local backup rather than leaving it plain.
    const OffsiteSettings offsite =
        ctx.offsite ? *ctx.offsite : LoadOffsiteSettings(SettingsFile(v));
    const bool encryptLocal = EncryptLocalWanted(SettingsFile(v));
    const std::string localPassphrase =
        encryptLocal ? EncryptionPassphrase(offsite.passphraseFile) : std::string();

    BackupMade made;
    made.archive = ArchivePath(v, destination, currentYearOnly, false);
    const std::string& archive = made.archive;
    const std::string previous = ArchivePath(v, destination, currentYearOnly, true);
    record.SetArchive(archive);
    const std::string tag = NewRunTag();
    const std::string temporary = JoinPath(destination, BackupTemporaryName(NameOf(archive), tag));
    const std::string staging = StagingFirmFolder(v, v.CurrentFirmNo);

    ctx.view.BusyOn();
    std::vector<std::string> exclusions;
    {
        // On a failure: the run's temporary archive and staging copy go; the generations
        // are as they were.
        Leftover leftover([&] {
            if (ctx.fs.FileExists(temporary)) {
                ctx.fs.Kill(temporary);
            }
            if (currentYearOnly && ctx.fs.FolderExists(staging)) {
                ctx.fs.DeleteFolder(staging, false);
            }
        });
        if (currentYearOnly) {
            if (!PreCurYr(ctx, choices, backupSourceFolder)) {
                ctx.view.BusyOff();
                throw RunStopped();
            }
        } else {
            backupSourceFolder =
                LookupNoCase(ctx.fs, v.AppFolder, {FirmFolderName(v.CurrentFirmNo)});
            if (!choices.includeImages) {
                exclusions.push_back("AttachDocs\\*.*");
            }
        }
        // The last archive of this kind is the best guess of the new one's size; a first
        // backup can only count what it packs. A disk that cannot tell its free space (0)
        // is left to the packing, which stops the same way when the disk fills.
        const uint64_t toPack = BytesToPack(backupSourceFolder, !exclusions.empty());
        const uint64_t expected = ctx.fs.FileExists(archive) ? ctx.fs.FileLength(archive) : toPack;
        const uint64_t free = FreeBytes(destination);
        if (free != 0 && free < expected) {
            ctx.view.BusyOff();
            TellNoSpace(ctx, destination, expected);
            throw RunStopped();
        }
        try {
            made.skippedLinks =
                PackChecked(ctx, backupSourceFolder, temporary, exclusions, localPassphrase);
        } catch (const Error& e) {
            if (!DiskFull(e) || dynamic_cast<const ArchiveCancelled*>(&e) != nullptr) {
                throw;
            }
            // The packer removes its partial archive when it fails; should one remain, it goes
            // before the space is told, so that the free space is what the disk has.
            if (ctx.fs.FileExists(temporary)) {
                ctx.fs.Kill(temporary);
            }
            ctx.view.BusyOff();
            TellNoSpace(ctx, destination, std::max(toPack, expected));
            throw RunStopped();
        }
        if (choices.drill == 1) {
            DrillNewArchive(ctx, temporary, archive, currentYearOnly, localPassphrase);
        }
        ctx.view.CancelTooLate();
        RotateGenerations(ctx, destination, temporary, archive, previous, tag);
        leftover.Dismiss();
        if (currentYearOnly && ctx.fs.FolderExists(staging)) {
            ctx.fs.DeleteFolder(staging, false);
        }
    }
    made.leaving = LeavingCopyOf(ctx, choices, offsite, destination, archive, localPassphrase);
    // The encrypted copy goes before the locks are released, whatever ends the run here: the
    // mail holds it open by then. A kill before that leaves it under a name that the
    // folder's recovery removes.
    const std::string copy = made.leaving.path != archive ? made.leaving.path : std::string();
    Leftover encryptedCopy([&ctx, copy] {
        if (!copy.empty() && ctx.fs.FileExists(copy)) {
            ctx.fs.Kill(copy);
        }
    });
    made.offsite = CopyBackupOffsite(ctx, choices, destination, archive, previous, made.leaving);
    if (made.offsite.empty()) {
        made.offsiteRemoved = RemoveOlderOffsiteBackups(ctx, choices, destination, archive,
                                                        currentYearOnly, made.leaving.passphrase);
    }
    made.removed = RemoveOlderBackups(ctx, choices, destination, archive, currentYearOnly);
    if (choices.sendEmail && !made.leaving.path.empty()) {
        made.mailed = Fd(::open(made.leaving.path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!made.mailed.Valid()) {
            made.leaving.failure = "the file to mail, " + made.leaving.path +
                                   ", could not be opened: " + std::strerror(errno);
            made.leaving.path.clear();
        }
    }
    return made;
}

// What the mail sends: the file held open by the run, under a name that reaches it whatever
// became of its own name.
LeavingCopy MailedCopy(const BackupMade& made) {
    LeavingCopy mailed = made.leaving;
    if (made.mailed.Valid()) {
        mailed.path = "/proc/self/fd/" + std::to_string(made.mailed.Get());
    }
    return mailed;
}

// The closing question's detail: the archive and its size, the older backups removed, the
// links left out, a failed offsite copy. What cannot be worked out any more (the archive
// deleted while a question waited) is left out; the question follows all the same.
std::string CompletionDetail(BackupContext& ctx, const BackupMade& made) {
    std::string detail;
    try {
        if (ctx.fs.FileExists(made.archive)) {
            detail = "The backup is " + made.archive + " (" +
                     SizeInMegabytes(ctx.fs.FileLength(made.archive), ctx.decimalSeparator) +
                     " MB)";
        }
    } catch (const Error& e) {
        Warn(e.what());
    }
    if (!made.removed.empty()) {
        detail += detail.empty() ? "Older backups: " + made.removed : "; " + made.removed;
    }
    if (!made.offsiteRemoved.empty()) {
        detail +=
            detail.empty() ? "Older backups: " + made.offsiteRemoved : "; " + made.offsiteRemoved;
    }
    if (!detail.empty()) {
        detail += ".";
    }
    for (size_t i = 0; i < made.skippedLinks.size(); ++i) {
        if (i == 0) {
            detail +=
                std::string(detail.empty() ? "" : " ") + "Links are not backed up; left out: ";
        } else {
            detail += ", ";
        }
        detail += made.skippedLinks[i];
    }
    if (!made.skippedLinks.empty()) {
        detail += ".";
    }
    if (!made.offsite.empty()) {
        detail += std::string(detail.empty() ? "" : " ") + "The " + made.offsite +
                  "; the backup on this computer is complete.";
    }
    return detail;
}

}  // namespace

// Every run leaves one line in the history, however it ends; a finished run is recorded
// before its closing question, with the time of its own work.
RunEnd RunBackup(BackupContext& ctx, const BackupChoices& choices,
                 std::string& backupSourceFolder) {
    AllowGroupRead(GroupReadAllowed(SettingsFile(ctx.values)));
    RunRecord record(ctx.values, choices.currentYearOnly ? "backup-year" : "backup", ctx.clock);
    // The message that stops a run is its reason in the history.
    MessageMemo memo(ctx.dialogs);
    BackupContext run{
        ctx.values,           ctx.fs,     memo,        ctx.clock, ctx.mail,       ctx.view,
        ctx.decimalSeparator, ctx.cancel, ctx.offsite, {},        ctx.keepChoices};
    std::optional<BackupMade> made;
    std::string note;  // a backup made but not mailed or not copied offsite says so
    try {
        made = MakeBackup(run, choices, backupSourceFolder, record);
        ctx.offsiteFailure = run.offsiteFailure;
        const LeavingCopy mailed = MailedCopy(*made);
        note = MailBackupArchive(run, choices, made->archive, &mailed);
        if (!made->offsite.empty()) {
            note = made->offsite + (note.empty() ? "" : "; " + note);
        }
    } catch (const RunStopped&) {
        ctx.offsiteFailure = run.offsiteFailure;
        record.Finish(RunResult::Stopped, memo.Last());
        throw;
    } catch (...) {
        ctx.offsiteFailure = run.offsiteFailure;
        record.Fail(memo.Last());
        throw;
    }
    record.Finish(RunResult::Ok, note);
    ctx.view.BusyOff();
    Message done{"Back up Completed. Do You Want To Exit?", kBackupTitle, Buttons::YesNo,
                 Icon::None, Answer::Yes};
    done.detail = CompletionDetail(ctx, *made);
    const Answer answer = ctx.dialogs.Show(done);
    return answer == Answer::Yes ? RunEnd::Exit : RunEnd::KeepOpen;
}

}  // namespace vornback
