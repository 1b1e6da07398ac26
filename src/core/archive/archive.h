// The archive component: packs a folder into a zip archive and unpacks one into a folder.
// Archives are ordinary zip files (deflate level 6, or stored for a file that deflate does
// not shrink; ZIP64 when needed, UTF-8 names, modification times exact to the second
// through the extended timestamp field) that Info-ZIP unzip and Python's zipfile open.
// Reading treats every archive as hostile: a name that is absolute, carries a drive letter,
// climbs out with "..", or a link entry refuses the whole archive before anything is
// written. The work runs on several threads; progress callbacks are always made on the
// calling thread, at least every 50 ms, and the cancel flag is read on every thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/errors.h"

namespace vornback {

struct ArchiveProgress {
    uint64_t bytesDone = 0;   // uncompressed bytes of the files done so far
    uint64_t bytesTotal = 0;  // uncompressed bytes of all files
    uint64_t filesDone = 0;
    uint64_t filesTotal = 0;
    std::string currentName;  // entry name being worked on
};

using ArchiveProgressFn = std::function<void(const ArchiveProgress&)>;

struct PackOptions {
    // Patterns read relative to the source folder, with "\" or "/" as separators and the
    // wildcards "*" and "?" (names compared without regard to ASCII case). A file or
    // folder whose leading path components match the pattern's components is left out,
    // with everything below it; "AttachDocs\*.*" leaves the folder AttachDocs out whole.
    std::vector<std::string> excludePatterns;
    ArchiveProgressFn progress;                 // may be empty
    const std::atomic<bool>* cancel = nullptr;  // set to true to stop; throws ArchiveCancelled
    // Worker threads that read and deflate; 0 takes one per core. The archive's bytes are
    // the same whatever the number.
    unsigned threads = 0;
    // False for an archive that is only a step and removed afterwards (the plain archive an
    // encrypted one is made from): it is not written to the disk, neither before nor after
    // its rename. A kill or power cut leaves it under a temporary name, which the next start
    // removes.
    bool sync = true;
};

struct UnpackOptions {
    ArchiveProgressFn progress;
    const std::atomic<bool>* cancel = nullptr;
    unsigned threads = 0;  // worker threads that inflate and write; 0 takes one per core
    // The passphrase of an encrypted archive (WinZip AES); empty for a plain one. An
    // encrypted archive without it, or with a wrong one, throws PassphraseError before
    // anything is written.
    std::string passphrase;
};

// An encrypted archive read without a passphrase (Missing()), or with a wrong one.
class PassphraseError : public ArchiveError {
  public:
    PassphraseError(const std::string& what, bool missing)
        : ArchiveError(what), missing_(missing) {}
    bool Missing() const { return missing_; }

  private:
    bool missing_;
};

// The shortest passphrase an encrypted archive is made with: the format derives its key
// with few iterations, so the length of the passphrase is the defence.
inline constexpr size_t kShortestPassphrase = 12;

struct EncryptOptions {
    ArchiveProgressFn progress;
    const std::atomic<bool>* cancel = nullptr;
    // The source is only a step (the plain archive an encrypted local one is made from,
    // never synced): removed once the copy is checked and before the copy is synced, so
    // that its bytes are never written to the disk.
    bool removeSource = false;
};

struct ArchiveEntry {
    std::string name;  // as stored, with "/" separators
    bool isFolder = false;
    uint64_t size = 0;
    uint64_t compressedSize = 0;
    uint32_t crc = 0;
    int64_t mtime = 0;  // seconds since the epoch, UTC
};

// What a finished pack has to tell besides the archive.
struct PackSummary {
    // Links met in the source (relative paths, "/" separators): neither stored nor
    // followed, as a restore must never create one; the caller shows them.
    std::vector<std::string> skippedLinks;
};

// Packs everything below sourceFolder (files, sub-folders, empty folders as folder
// entries) into a new archive at archivePath, entries named relative to sourceFolder.
// archivePath must not exist. The archive is written under a temporary name beside it
// (temp_names::PackTemporaryPath), synced, renamed into place, and its folder synced. On
// any failure (unreadable file, disk full, cancel) no file is left at archivePath, the
// temporary files are removed, and ArchiveError (or ArchiveCancelled) is thrown.
PackSummary PackFolder(const std::string& sourceFolder, const std::string& archivePath,
                       const PackOptions& options = {});

// Unpacks every entry of the archive below destFolder, creating it and its parents when
// missing; files that exist are replaced. Names are checked before anything is written
// (two entries on one path, or on paths that differ only in letter case, refuse the
// archive), and the free space on the destination (or its nearest existing parent). Each
// file is written under a temporary name, synced and renamed when complete, so a damaged
// entry (CRC mismatch, truncation) leaves no half-written file; each folder that received
// entries is synced at the end. Throws ArchiveError for a fault of the archive itself
// (not a zip, damaged, hostile, CRC), FileSystemError with a plain sentence for a failure
// of the destination (disk full, quota, permission, another file system, something in the
// way), ArchiveCancelled on cancel.
void UnpackArchive(const std::string& archivePath, const std::string& destFolder,
                   const UnpackOptions& options = {});

// All or nothing: unpacks into a new folder beside destFolder
// (temp_names::UnpackTemporaryFolder) and renames it to destFolder once complete and
// synced. destFolder must be missing or an empty folder (FileSystemError otherwise). On any
// failure or cancel the temporary folder is removed and nothing is left at destFolder;
// throws as UnpackArchive.
void UnpackArchiveWhole(const std::string& archivePath, const std::string& destFolder,
                        const UnpackOptions& options = {});

// Writes an AES-256 (WinZip AES) copy of a checked archive at targetPath, which must not
// exist: every file entry's compressed bytes as they stand, encrypted with the passphrase
// (never inflated and deflated again), names, times and attributes as in the source;
// folder entries stay plain. File names stay readable, as the format leaves them. The
// copy is written privately under a piece's name (temp_names::PackTemporaryPath) by one
// worker per core, read back and checked with the keys it was written with: every header,
// password verifier and authentication code, and every entry's bytes decrypted and
// compared with the source's; libzip opens it with its consistency check. (An archive that
// needs ZIP64 is copied by libzip instead and read back with the passphrase, every CRC and
// authentication code checked.) Only then, synced, it takes targetPath, and the folder is
// synced: whatever bears that name is a checked copy. On any failure nothing is left at
// targetPath. Throws ArchiveError (ArchiveCancelled on cancel); a passphrase shorter than
// kShortestPassphrase is refused before anything is written.
void EncryptArchiveCopy(const std::string& sourcePath, const std::string& targetPath,
                        const std::string& passphrase, const EncryptOptions& options = {});

// Whether any entry of the archive is encrypted; throws ArchiveError when it is not a
// readable zip.
bool ArchiveEncrypted(const std::string& archivePath);

// Reads every entry and checks its CRC; throws ArchiveError naming the first bad entry.
void VerifyArchive(const std::string& archivePath, const UnpackOptions& options = {});

// The entries of an archive as stored; throws ArchiveError when it is not a readable zip.
std::vector<ArchiveEntry> ListArchive(const std::string& archivePath);

// Whether a path relative to the packed folder (with "/" separators) is left out by the
// exclusion pattern.
bool MatchesExclusion(const std::string& relativePath, const std::string& pattern);

}  // namespace vornback
