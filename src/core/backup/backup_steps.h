// What the files of the backup run share among themselves: the message helper, the
// removal of what a failed step made, and the steps after the archive is in place (the
// copy that leaves the machine, the pruning of older backups).
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "backup/backup_run.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "base/warnings.h"
#include "startup/launch.h"

namespace vornback {

inline constexpr const char* kBackupTitle = "Backup";

inline void Tell(BackupContext& ctx, const std::string& text, Icon icon = Icon::None) {
    ctx.dialogs.Show(Message{text, kProgramTitle, Buttons::Ok, icon, Answer::Ok});
}

// Runs a removal when the scope ends unless dismissed: what a failed run made is removed
// whatever ended it. A removal that fails leaves its reason as a warning; the run's own
// failure is what the person must see.
class Leftover {
  public:
    explicit Leftover(std::function<void()> removal) : removal_(std::move(removal)) {}
    ~Leftover() {
        if (!removal_) {
            return;
        }
        try {
            removal_();
        } catch (const Error& e) {
            Warn(e.what());
        }
    }
    Leftover(const Leftover&) = delete;
    Leftover& operator=(const Leftover&) = delete;
    void Dismiss() { removal_ = nullptr; }

  private:
    std::function<void()> removal_;
};

// The file the offsite copy and the mail send: the archive, or with "Encrypt" on (and a
// plain local archive) its encrypted copy, made only when something is to leave, beside
// the generations under a name that the folder's recovery removes.
LeavingCopy LeavingCopyOf(BackupContext& ctx, const BackupChoices& choices,
                          const OffsiteSettings& offsite, const std::string& destination,
                          const std::string& archive, const std::string& localPassphrase);

// After a date-wise or day-wise backup: the firm's older archives of the same kind (whole
// firm, or current year of this year) that the keep policy no longer keeps are removed.
// The new archive has just been checked, so it counts as the newest good copy unverified.
// Gives "removed 3 older backups: ..." for the closing message, "" when none went.
std::string RemoveOlderBackups(BackupContext& ctx, const BackupChoices& choices,
                               const std::string& destination, const std::string& archive,
                               bool currentYearOnly);

// After the offsite copy of a date-wise or day-wise backup: the same keep policy on the
// offsite folder's archives of the firm, of the same kind and in the same set of
// sub-folders. The archive just copied and checked there counts as the newest good copy.
// Gives "offsite: removed 2 older backups: ..." for the closing message, "" when none went.
std::string RemoveOlderOffsiteBackups(BackupContext& ctx, const BackupChoices& choices,
                                      const std::string& destination, const std::string& archive,
                                      bool currentYearOnly, const std::string& passphrase);

}  // namespace vornback
