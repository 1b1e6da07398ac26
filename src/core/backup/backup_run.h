// The backup run and the operations it orders: the destination check (RetValidPath), the
// current-year staging (PreCurYr, CheckBackFolder), the compaction of the staged year
// database (MaintData), packing, the generations and the mail. Qt-free: the window hands
// in what its controls hold and implements BackupView.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "archive/archive.h"
#include "archive/run_view.h"
#include "offsite/offsite_settings.h"
#include "retention/keep_policy.h"
#include "startup/launch.h"
#include "startup/window_settings.h"

namespace vornback {

class Clock;
class Dialogs;
class FileSystem;
class MailTransport;

// Where in the backup folder the archive goes: the folder itself ("Single"), a sub-folder
// named for the date ("Date wise") or for the day of the week ("Day wise").
enum class BackupType { Single = 0, DateWise = 1, DayWise = 2 };

// The type of a position of the window's type options: 0 Single, 1 Date wise, any other
// Day wise.
BackupType BackupTypeAt(int index);

// What the person chose in the backup window at the moment of the run.
struct BackupChoices {
    FolderChoice folder = FolderChoice::Default;
    std::string defaultFolder;  // the default backup folder, as the window shows it
    std::string backupPath;     // the person's own backup folder
    BackupType type = BackupType::Single;
    bool advanced = false;         // "Advance Back Type"
    bool includeImages = false;    // "Include Image Folder"
    bool currentYearOnly = false;  // "Only Current Year"
    bool sendEmail = false;        // "Send Email"
    std::string emailAddress;
    // The keep policy for date-wise and day-wise backups; without one, section "Keep" of
    // the settings holds it (the headless tool's options take its place).
    std::optional<KeepPolicy> keep;
    // 1: the new archive must pass the restore drill before the generations rotate; one
    // that fails it is removed and the previous generations stay as they were.
    int drill = 0;
};

// What the run needs of the window besides the busy area and the progress.
class BackupView : public RunView {
  public:
    // Lets the window repaint without taking user input (during the mail).
    virtual void KeepAlive() = 0;
};

struct BackupContext {
    const ProgramValues& values;
    FileSystem& fs;
    Dialogs& dialogs;
    Clock& clock;
    MailTransport& mail;
    BackupView& view;
    std::string decimalSeparator = ".";
    // Set to true to stop packing or checking the archive (the headless tool's Ctrl-C);
    // the run then throws ArchiveCancelled with the generations as they were.
    const std::atomic<bool>* cancel = nullptr;
    // The offsite copy: without a value the run reads section "Offsite" of the settings
    // file (the headless tool hands in its overrides here); no URL, no copy.
    std::optional<OffsiteSettings> offsite{};
    // Set by the run when a wanted offsite copy failed: the reason.
    std::string offsiteFailure{};
    // The window keeps its choices in the settings for its next opening; the headless
    // tool's options hold for one run and leave the settings as they are.
    bool keepChoices = true;
};

// What leaves the machine for a backup (offsite and mail): the archive itself, or with
// "Encrypt" on its AES-256 copy beside it (the local archive stays plain unless
// "EncryptLocal" in section "Back" encrypts the archive itself).
struct LeavingCopy {
    std::string path;        // the file that is sent; "" when nothing may leave
    std::string passphrase;  // the one it is encrypted with; "" for a plain file
    std::string failure;     // why nothing may leave (no passphrase, the copy failed)
};

// Checks the chosen location, writes the window's choices to section "Back" of the
// settings (when ctx.keepChoices), adds the date or day sub-folder and creates it. Returns the
// destination, or
// "" after telling the person why. A folder that cannot be created throws FileSystemError.
std::string RetValidPath(BackupContext& ctx, const BackupChoices& choices);

// destination + "/Firm" + n [+ "Yr" + y] + ".zip"; with previous, "/OFirm" instead.
std::string ArchivePath(const ProgramValues& values, const std::string& destination,
                        bool currentYearOnly, bool previous);

// Creates the staging root when missing; false on any failure (never throws).
bool CheckBackFolder(BackupContext& ctx, const std::string& stagingRoot);

// Builds the trimmed current-year copy of the firm in the staging folder and sets
// backupSourceFolder to it; compacts its year database when the archive is to be mailed.
// Returns false when it stopped at the staging-root permission check (message shown).
bool PreCurYr(BackupContext& ctx, const BackupChoices& choices, std::string& backupSourceFolder);

// Compacts the staged year database strFilePath/Yr<y>/DVorn<y>.mdb (names found in any
// letter case) through a temporary copy in ProgramFolder/Back, named for this run alone,
// with its own key ("" first, then the year password), keeping its password state;
// "invalid pass" when neither key opens it. Other failures leave the staged database as
// it was, with the reason as a warning and no copy left. Returns true when the compacted
// copy took the database's place.
bool MaintData(BackupContext& ctx, const std::string& strFilePath,
               const std::string& backupSourceFolder);

// The size in units of 1,048,576 bytes rounded to three decimals (halves to even),
// written in the shortest plain form with the given decimal separator: "15", "15.5",
// "17.125".
std::string SizeInMegabytes(uint64_t bytes, const std::string& decimalSeparator);

inline constexpr uint64_t kMailSizeQuestionBytes = 15728640;  // 15 x 1,048,576

// The mail step of the run, for a finished archive, when "Send Email" is checked: an
// archive of kMailSizeQuestionBytes or more is mailed only after a Yes to the size
// question; a failed mail shows "Backup Can not Email" and the backup stays as it is.
// Gives back why the archive was not mailed (for the history), empty when it was or was
// not to be.
// leaving: the file to mail in place of the archive (its encrypted copy), under the
// archive's name; null mails the archive.
std::string MailBackupArchive(BackupContext& ctx, const BackupChoices& choices,
                              const std::string& archivePath, const LeavingCopy* leaving = nullptr);

// Whether section "Back" of the settings file asks for encrypted local archives.
bool EncryptLocalWanted(const std::string& settingsFile);

// The offsite copy of a finished backup's archive (checked and rotated in), when one is
// set up: leaving.path uploaded beside the remote generations of the same date or day
// sub-folder under the archive's name and rotated in there. A failure never touches the
// local generations: it sets ctx.offsiteFailure and gives back "offsite copy failed:
// <reason>" for the completion message and the history; "" when copied or not wanted.
std::string CopyBackupOffsite(BackupContext& ctx, const BackupChoices& choices,
                              const std::string& destination, const std::string& archive,
                              const std::string& previous, const LeavingCopy& leaving);

// How a completed run ends. A run that does not complete throws: RunStopped when it stops at
// a check of the person's choices (the folder, the year, the space; the window stays open),
// ProgramEnd after another refusal (the window closes), RunLocked when another run holds
// the firm, Error for a failure; every message is shown before the throw.
enum class RunEnd {
    KeepOpen,  // completed; the person answered No to leaving
    Exit,      // completed; the person answered Yes: the window closes
};

// The whole run of the "&Backup" button. backupSourceFolder is the window member the run
// and the staging share. The run holds the firm's lock in the staging root and in the
// destination while it changes files (not while the mail's size question or the closing
// question waits): a second run of the firm throws RunLocked before it changes anything,
// and so does a current-year run while a restore window holds the firm's staging folder.
// Leftovers of killed runs of the firm in the destination are recovered first. The new
// archive is written and checked under a name of its own, then rotated in so that a
// restorable last archive exists at every moment. Failures of files, archives and
// databases throw after this run's temporary archive and staging folder are removed; the
// generations are then as they were. A date-wise or day-wise backup then removes the
// firm's older archives of that kind that its keep policy no longer keeps (a failure
// there leaves its reason as a warning, the backup stands). The history line is written
// before the closing question, whose detail names the archive, its size (left out when the
// archive can no longer be read) and the archives removed.
RunEnd RunBackup(BackupContext& ctx, const BackupChoices& choices, std::string& backupSourceFolder);

}  // namespace vornback
