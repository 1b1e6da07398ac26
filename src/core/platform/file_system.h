// The file-system service: the runs' operations on the files and folders of the data tree,
// the staging folder and the backup folders go through this interface, so that tests can
// substitute one that fails, is killed or loses power at a chosen call. LocalFileSystem is
// the real one.
//
// Outside it, each for its reason (the power-cut tests still see their syncs, but take the
// names they create as durable):
// - the history (history/history.cpp) is appended in place with one write and a sync, so
//   that a reader and a concurrent run see whole lines only; it lives beside the settings,
//   outside the trees a run owns, and is written where no run's service exists (the
//   command line's prune of an offsite folder);
// - the settings file and the workplace file (startup/) are written outside any run (a
//   setting changed by a window or a command, the data tree chosen at start-up) through
//   the free WriteWholeFile below: the same create, sync, rename and folder-sync steps as
//   the service's;
// - lock files (platform/run_lock.cpp) hold a flock on their descriptor;
// - archives are written and read by libzip (archive/), databases and the compacted copy
//   of a year database by SQLite (store/), remote copies over SFTP (offsite/); each syncs
//   its own files, and the runs move and remove them through the service.
//
// Every failure of the service throws FileSystemError whose text is one sentence a person
// can act on: what could not be done, which file or folder, the system's reason and what
// to try, for example
//   Could not create the folder "/data/Back/Firm3": No such file or directory. Check that
//   the folder above it exists, then try again.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace vornback {

struct FileEntry {
    std::string name;  // the last path component
    std::string path;  // the folder's path joined with the name
};

class FileSystem {
  public:
    virtual ~FileSystem() = default;

    // True only when a regular file (a link to one counts) exists at the path.
    virtual bool FileExists(const std::string& path) = 0;
    // True only when a folder (a link to one counts) exists at the path.
    virtual bool FolderExists(const std::string& path) = 0;

    // Creates one folder. Throws when the parent is missing or something exists there.
    virtual void CreateFolder(const std::string& path) = 0;

    // Deletes one file. Without force, a read-only file (no owner write bit) is refused;
    // with force it is deleted too. Throws when the file is missing or is a folder.
    virtual void DeleteFile(const std::string& path, bool force) = 0;

    // Deletes a folder with everything in it. Without force, the whole tree is checked
    // first and a read-only file anywhere refuses the deletion before anything is removed.
    // Throws when the folder is missing. A link inside is removed, never followed.
    virtual void DeleteFolder(const std::string& path, bool force) = 0;

    // Copies a folder with its files and sub-folders to destination, creating it when
    // missing (its parent must exist) and merging into it when it exists. A file of the
    // same name is replaced only with overwrite; without it the copy throws on meeting
    // one (files copied before stay). Modification times are kept.
    virtual void CopyFolder(const std::string& source, const std::string& destination,
                            bool overwrite) = 0;

    // Renames or moves one file; never replaces an existing destination (throws).
    virtual void MoveFile(const std::string& source, const std::string& destination) = 0;
    // Renames or moves a folder on the same volume; never replaces an existing destination.
    virtual void MoveFolder(const std::string& source, const std::string& destination) = 0;

    // The direct sub-folders, or the direct files, of a folder, sorted by name.
    // Throws when the folder is missing.
    virtual std::vector<FileEntry> SubFolders(const std::string& path) = 0;
    virtual std::vector<FileEntry> Files(const std::string& path) = 0;

    // The directory lookup: the name of the entry at the path, or "" when there is none.
    // Only plain files (regular, not hidden) count unless foldersCount is true. Never
    // throws.
    virtual std::string Dir(const std::string& path, bool foldersCount = false) = 0;

    // Deletes the named file regardless of its read-only state (delete by name).
    virtual void Kill(const std::string& path) = 0;

    // The file's length in bytes; throws when there is no file.
    virtual uint64_t FileLength(const std::string& path) = 0;

    // Makes a file's contents, or a folder's entries (names created, renamed or removed
    // in it), durable on the disk before the call returns. Throws when it cannot.
    virtual void SyncFile(const std::string& path) = 0;
    virtual void SyncFolder(const std::string& path) = 0;

    // Gives the file a second name (a hard link; the destination must not exist). Returns
    // false, changing nothing, when the file system has no hard links; throws on any
    // other failure.
    virtual bool HardLink(const std::string& existing, const std::string& link) = 0;

    // Renames a file over an existing one in a single step (the destination, when it
    // exists, is replaced; at no moment is it missing). Only the generation rotation of
    // the backup replaces files this way; everything else uses MoveFile.
    virtual void ReplaceFile(const std::string& source, const std::string& destination) = 0;

    // Whether both paths name one and the same file (two names of it). Never throws.
    virtual bool SameFile(const std::string& a, const std::string& b) = 0;

    // Writes a small file whole (settings, configurations): see WriteWholeFile below. Throws
    // when it cannot, the file at path as it was.
    virtual void WriteWholeFile(const std::string& path, const std::string& bytes,
                                unsigned mode) = 0;
};

// Writes a small file whole under a new temporary name beside path, with the permission
// bits mode, syncs it, renames it over path and syncs the folder: a kill or a power loss
// leaves the old file or the new one whole, and once this returns the new one stays.
// Returns 0, or the errno of the step that failed, which *step names ("create", "write",
// "rename" or "sync the folder"); the temporary file is then gone.
int WriteWholeFile(const std::string& path, const std::string& bytes, unsigned mode,
                   const char** step);

// Why a folder cannot take new files, in words for the person: "" when it is a folder
// this user may write into; otherwise "does not exist", "is not a folder" or "is not
// writable for this user".
std::string FolderProblem(const std::string& path);

// The bytes free for this user on the volume that holds path; 0 when it cannot tell.
uint64_t FreeBytes(const std::string& path);

// The path below root whose components match the given ones without regard to ASCII
// letter case, as the data tree is read ("yr2" finds "YR2"). Each component that exists in
// another case takes the case found; one that does not exist keeps its given spelling
// (and so do those below it), so the result can name a missing file in a message.
std::string LookupNoCase(FileSystem& fs, const std::string& root,
                         std::initializer_list<std::string> components);

// The one case-blind lookup of an entry: the folder (wantFolder) or file of folder whose name
// equals name without regard to ASCII letter case, the exact spelling first; nothing when
// there is none of that kind (an entry of the other kind with that name does not count).
std::optional<std::string> FindNoCase(FileSystem& fs, const std::string& folder,
                                      const std::string& name, bool wantFolder);

class LocalFileSystem : public FileSystem {
  public:
    bool FileExists(const std::string& path) override;
    bool FolderExists(const std::string& path) override;
    void CreateFolder(const std::string& path) override;
    void DeleteFile(const std::string& path, bool force) override;
    void DeleteFolder(const std::string& path, bool force) override;
    void CopyFolder(const std::string& source, const std::string& destination,
                    bool overwrite) override;
    void MoveFile(const std::string& source, const std::string& destination) override;
    void MoveFolder(const std::string& source, const std::string& destination) override;
    std::vector<FileEntry> SubFolders(const std::string& path) override;
    std::vector<FileEntry> Files(const std::string& path) override;
    std::string Dir(const std::string& path, bool foldersCount = false) override;
    void Kill(const std::string& path) override;
    uint64_t FileLength(const std::string& path) override;
    void SyncFile(const std::string& path) override;
    void SyncFolder(const std::string& path) override;
    bool HardLink(const std::string& existing, const std::string& link) override;
    void ReplaceFile(const std::string& source, const std::string& destination) override;
    bool SameFile(const std::string& a, const std::string& b) override;
    void WriteWholeFile(const std::string& path, const std::string& bytes, unsigned mode) override;
};

}  // namespace vornback
