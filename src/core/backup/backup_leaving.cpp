// What leaves the machine after a backup, and what goes after it: the encrypted copy, the
// mail, the offsite copy, and the older backups here and offsite that the keep policy no
// longer keeps.
#include <string>

#include "backup/backup_run.h"
#include "backup/backup_steps.h"
#include "base/data_tree.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "base/warnings.h"
#include "history/history.h"
#include "mail/mail.h"
#include "offsite/offsite_copy.h"
#include "offsite/offsite_prune.h"
#include "offsite/passphrase.h"
#include "platform/file_system.h"
#include "retention/prune.h"
#include "startup/settings.h"

namespace vornback {

namespace {

// What the pruning here and offsite ask alike: the keep policy (the choices' own, else
// section "Keep" of the settings), the firm, the kind of archive, the set of folders, the
// history and the cancel flag. False when nothing is to be pruned: a single backup, or a
// policy that keeps everything.
template <typename Request>
bool KeepRequest(BackupContext& ctx, const BackupChoices& choices, bool currentYearOnly,
                 Request& request) {
    const ProgramValues& v = ctx.values;
    if (choices.type == BackupType::Single) {
        return false;
    }
    request.policy = choices.keep ? *choices.keep : LoadKeepPolicy(SettingsFile(v));
    if (!request.policy.Any()) {
        return false;
    }
    request.firm = v.CurrentFirmNo;
    request.yearNo = currentYearOnly ? v.CurrentYearNo : "";
    request.set = choices.type == BackupType::DateWise ? ArchiveSet::DateWise : ArchiveSet::DayWise;
    request.historyFile = HistoryFile(v);
    request.cancel = ctx.cancel;
    return true;
}

}  // namespace

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

std::string MailBackupArchive(BackupContext& ctx, const BackupChoices& choices,
                              const std::string& archivePath, const LeavingCopy* leaving) {
    if (!choices.sendEmail) {
        return "";
    }
    if (leaving != nullptr && leaving->path.empty()) {
        // Nothing plain leaves when it is to leave encrypted.
        ctx.dialogs.Show(Message{"Backup Can not Email", kProgramTitle, Buttons::Ok, Icon::Critical,
                                 Answer::Ok, leaving->failure});
        return "the archive was written but not mailed: " + leaving->failure;
    }
    const std::string& mailed = leaving != nullptr ? leaving->path : archivePath;
    const uint64_t size = ctx.fs.FileLength(mailed);
    if (size >= kMailSizeQuestionBytes) {
        const Answer answer =
            ctx.dialogs.Show(Message{"File size is " + SizeInMegabytes(size, ctx.decimalSeparator) +
                                         " Do you want to send E-Mail.",
                                     kBackupTitle, Buttons::YesNo, Icon::None, Answer::No});
        if (answer != Answer::Yes) {
            return "";
        }
    }
    const MailOutcome outcome = SendBackupMail(
        mailed, choices.emailAddress, ctx.mail, ctx.dialogs, [&ctx] { ctx.view.KeepAlive(); },
        NameOf(archivePath));
    if (outcome.sent) {
        return "";
    }
    ctx.dialogs.Show(Message{"Backup Can not Email", kProgramTitle, Buttons::Ok, Icon::Critical,
                             Answer::Ok, outcome.detail});
    return "the archive was written but not mailed" +
           (outcome.detail.empty() ? std::string() : ": " + outcome.detail);
}

LeavingCopy LeavingCopyOf(BackupContext& ctx, const BackupChoices& choices,
                          const OffsiteSettings& offsite, const std::string& destination,
                          const std::string& archive, const std::string& localPassphrase) {
    LeavingCopy leaving{archive, localPassphrase, ""};
    if (!offsite.encrypt || !localPassphrase.empty() ||
        (!offsite.Configured() && !choices.sendEmail)) {
        return leaving;
    }
    leaving.path.clear();
    try {
        leaving.passphrase = EncryptionPassphrase(offsite.passphraseFile);
        const std::string copy =
            JoinPath(destination, EncryptedCopyName(NameOf(archive), NewRunTag()));
        EncryptOptions options;
        options.progress = [&ctx](const ArchiveProgress& p) { ctx.view.ShowProgress(p); };
        options.cancel = ctx.cancel;
        EncryptArchiveCopy(archive, copy, leaving.passphrase, options);
        leaving.path = copy;
    } catch (const ArchiveCancelled&) {
        leaving.failure = "interrupted before the encrypted copy was made";
    } catch (const Error& e) {
        leaving.failure = std::string("no encrypted copy, so nothing was sent: ") + e.what();
    }
    return leaving;
}

bool EncryptLocalWanted(const std::string& settingsFile) {
    return NumericSetting(ReadSetting("Back", "EncryptLocal", settingsFile)) != 0;
}

std::string CopyBackupOffsite(BackupContext& ctx, const BackupChoices& choices,
                              const std::string& destination, const std::string& archive,
                              const std::string& previous, const LeavingCopy& leaving) {
    ctx.offsiteFailure.clear();
    try {
        const OffsiteSettings settings =
            ctx.offsite ? *ctx.offsite : LoadOffsiteSettings(SettingsFile(ctx.values));
        if (!settings.Configured()) {
            return "";
        }
        if (leaving.path.empty()) {
            throw OffsiteError(leaving.failure);
        }
        OffsiteCopyOptions options;
        options.progress = [&ctx](const ArchiveProgress& p) { ctx.view.ShowProgress(p); };
        options.cancel = ctx.cancel;
        options.passphrase = leaving.passphrase;
        // A part found on the server is read back into a temporary name of this run in the
        // destination, which the folder's recovery clears should the run be killed.
        const std::string scratch =
            JoinPath(destination, BackupTemporaryName(NameOf(archive), NewRunTag()));
        const OffsiteCopyResult copied = CopyOffsite(
            settings, leaving.path, choices.type == BackupType::Single ? "" : NameOf(destination),
            NameOf(archive), NameOf(previous), scratch, options);
        for (const std::string& note : copied.notes) {
            Warn("offsite: " + note);
        }
        return "";
    } catch (const ArchiveCancelled&) {
        ctx.offsiteFailure = "interrupted";
    } catch (const Error& e) {
        ctx.offsiteFailure = e.what();
    }
    return "offsite copy failed: " + ctx.offsiteFailure;
}

std::string RemoveOlderBackups(BackupContext& ctx, const BackupChoices& choices,
                               const std::string& destination, const std::string& archive,
                               bool currentYearOnly) {
    PruneRequest request;
    if (!KeepRequest(ctx, choices, currentYearOnly, request)) {
        return "";
    }
    request.ownFolder = destination;
    request.knownGood = archive;
    try {
        const PruneOutcome outcome =
            PruneBackupFolder(ctx.fs, ctx.clock, FolderOf(destination), request);
        for (const std::string& line : outcome.notes) {
            Warn(line);
        }
        for (const std::string& line : outcome.failures) {
            Warn("an older backup was not removed: " + line);
        }
        return RemovedBackupsText(outcome.removed);
    } catch (const Error& e) {
        // The backup itself is made and checked; only the clearing of older ones stopped.
        Warn(std::string("older backups were not removed: ") + e.what());
        return "";
    }
}

std::string RemoveOlderOffsiteBackups(BackupContext& ctx, const BackupChoices& choices,
                                      const std::string& destination, const std::string& archive,
                                      bool currentYearOnly, const std::string& passphrase) {
    OffsitePruneRequest request;
    if (!KeepRequest(ctx, choices, currentYearOnly, request)) {
        return "";
    }
    request.knownGood = NameOf(destination) + "/" + NameOf(archive);
    // A remote archive is read back into a temporary name of this run in the destination,
    // which the folder's recovery clears should the run be killed.
    request.scratch = JoinPath(destination, BackupTemporaryName(NameOf(archive), NewRunTag()));
    request.passphrase = passphrase;
    try {
        const OffsiteSettings settings =
            ctx.offsite ? *ctx.offsite : LoadOffsiteSettings(SettingsFile(ctx.values));
        if (!settings.Configured()) {
            return "";
        }
        const PruneOutcome outcome = PruneOffsiteFolder(settings, ctx.clock, request);
        for (const std::string& line : outcome.failures) {
            Warn("an older offsite backup was not removed: " + line);
        }
        const std::string removed = RemovedBackupsText(outcome.removed);
        return removed.empty() ? "" : "offsite: " + removed;
    } catch (const Error& e) {
        // The backup and its offsite copy are made; only the clearing of older ones stopped.
        Warn(std::string("older offsite backups were not removed: ") + e.what());
        return "";
    }
}

}  // namespace vornback
