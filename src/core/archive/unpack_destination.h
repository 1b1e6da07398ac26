// Writing an unpack's files below its destination folder: checking before the first write
// that nothing is in the way and that the files fit, creating folders and files without
// ever following a link out of the folder, placing files written under temporary names,
// and making it all durable. A failure is one plain sentence that names the folder the
// person chose. Private to the archive folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix.h"

namespace vornback::archive_internal {

struct ReadEntry;

// Where a run writes: the real folder, the folder the person chose (the same, or the one a
// whole unpack renames into place at the end) and the bytes the files need.
struct Target {
    std::string folder;
    std::string shown;
    uint64_t needed = 0;
    // The folder was missing or empty: no file of its own can be damaged, so files are
    // written under their own names at once (a failure removes them all the same) instead
    // of under temporary ones renamed at the end.
    bool fresh = false;
};

// A file written under its temporary name (or its own, see Target::fresh), waiting to be
// renamed to its own.
struct Pending {
    const ReadEntry* entry = nullptr;
    std::string tempName;
};

// A failure of the destination (not of the archive) as one plain sentence naming the folder
// the person chose: what could not be done, why, and what to try. Throws FileSystemError.
[[noreturn]] void ThrowDestinationFailure(const std::string& shown, const std::string& what,
                                          int error, uint64_t needed);

// Writes below the destination folder only: every folder is opened from the destination
// down, one component at a time, without following links, so a link placed in the
// destination (or swapped in while unpacking) can never lead a write out of it.
// Each worker has its own, all on one open root folder.
class Destination {
  public:
    Destination(const Target& target, int rootFd) : target_(target), rootFd_(rootFd) {}

    // Creates the destination folder and its parents where missing and opens it.
    static Fd OpenRoot(const Target& target);

    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    // The folder made of the first count components, created where missing.
    int Folder(const std::vector<std::string>& parts, size_t count);

    // Writes one file under a temporary name in its folder: Begin creates it, Write adds
    // its bytes in order, Finish closes it and gives the name back; the file is renamed
    // into place only once every file is written and synced (Place). A failure removes
    // the file being written.
    void Begin(const ReadEntry& entry);
    void Write(const char* data, size_t length);
    std::string Finish(const ReadEntry& entry);

    // Renames a written file over its own name.
    void Place(const Pending& pending);

    // Removes a written file that is not to be placed; best effort, as it runs after a
    // failure that is already on its way.
    void Remove(const Pending& pending);

    // Sets a stored folder time; best effort, as a file system may refuse it.
    void SetFolderTime(const std::vector<std::string>& parts, int64_t mtime);

    // Removes the file being written, if any (after a failure or a cancel).
    void DropTemporary();

  private:
    [[noreturn]] void Fail(const std::string& what, int error);

    const Target& target_;
    int rootFd_ = -1;
    std::string cachedKey_;
    Fd cachedFd_;
    // The file being written.
    Fd out_;
    std::string relative_;  // its path below the destination, for messages
    uint64_t done_ = 0;     // its bytes written
    uint64_t started_ = 0;  // its write-back has been started up to here
    int tempFolder_ = -1;
    std::string tempName_;
};

// Flushes everything written on the destination's file system to the disk. One syncfs
// stands for an fsync of every file and folder written: on this kind of disk each fsync
// costs milliseconds, which for thousands of small files would cost more than the unpack.
void SyncDestination(int rootFd, const Target& target);

// Before the first write: what already lies at the destination must not be in the way (a
// folder where a file goes, a file or link where a folder goes), and the files must fit in
// the free space of the destination, or of its nearest existing parent when it is still
// to be made.
void CheckDestination(const Target& target, const std::vector<ReadEntry>& entries);

// The calls that make an unpack durable: syncfs for the destination's file system, fsync
// for one folder. Tests put in calls that fail; ReplaceSyncCalls gives back those replaced.
struct SyncCalls {
    int (*fileSystem)(int fd) = nullptr;
    int (*folder)(int fd) = nullptr;
};
SyncCalls ReplaceSyncCalls(SyncCalls calls);
// Through the calls in place: 0, or -1 with errno set.
int SyncFileSystem(int fd);
int SyncFolder(int fd);

}  // namespace vornback::archive_internal
