// Unpacking and verifying archives, and listing them. The work is split by role: the
// checks of an archive before anything is written (unpack_checks), the reading of one
// entry (entry_reading), the writing below the destination (unpack_destination) and the
// run with its workers (unpack_run); here they are put together.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/entry_names_internal.h"
#include "archive/unpack_checks.h"
#include "archive/unpack_destination.h"
#include "archive/unpack_run.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "base/warnings.h"
#include "platform/posix.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using namespace archive_internal;

// Unpacks into target.folder; see UnpackArchive.
void UnpackInto(const std::string& archivePath, const Target& given, const UnpackOptions& options) {
    ReadArchive archive(archivePath, true, options.passphrase);
    const std::vector<ReadEntry> entries = CheckedEntries(archive);
    Target target = given;
    target.needed = ReadTotals(entries).bytesTotal;
    CheckDestination(target, entries);
    std::error_code ec;
    target.fresh = !fs::exists(target.folder, ec) || fs::is_empty(target.folder, ec);

    const Fd root = Destination::OpenRoot(target);
    Destination destination(target, root.Get());
    // Folders first, on this thread: the stored ones and those the files need.
    for (const ReadEntry& entry : entries) {
        destination.Folder(entry.parts,
                           entry.isFolder ? entry.parts.size() : entry.parts.size() - 1);
    }
    ReadRun run(archivePath, entries, options, &target, root.Get());
    // Files written but not placed are removed whatever way this is left early.
    struct Cleanup {
        Destination& destination;
        std::vector<Pending>& written;
        ~Cleanup() {
            for (const Pending& pending : written) {
                destination.Remove(pending);
            }
        }
    } cleanup{destination, run.Written()};
    run.Run();

    // Every file is synced under its temporary name before any is renamed to its own, and
    // the renames are synced with the folders that received them.
    std::vector<Pending>& written = run.Written();
    if (target.fresh) {
        written.clear();  // already under their own names
    } else {
        std::sort(written.begin(), written.end(), [](const Pending& a, const Pending& b) {
            return a.entry->index < b.entry->index;
        });
        SyncDestination(root.Get(), target);
    }
    while (!written.empty()) {
        destination.Place(written.back());
        written.pop_back();
    }

    // Folder times last, deepest first, since writing into a folder changes its time.
    std::vector<const ReadEntry*> folders;
    for (const ReadEntry& entry : entries) {
        if (entry.isFolder) {
            folders.push_back(&entry);
        }
    }
    std::stable_sort(folders.begin(), folders.end(), [](const ReadEntry* a, const ReadEntry* b) {
        return a->parts.size() > b->parts.size();
    });
    for (const ReadEntry* folder : folders) {
        destination.SetFolderTime(folder->parts, folder->mtime);
    }
    SyncDestination(root.Get(), target);
    run.FinalReport();
}

}  // namespace

void UnpackArchive(const std::string& archivePath, const std::string& destFolder,
                   const UnpackOptions& options) {
    UnpackInto(archivePath, Target{destFolder, destFolder, 0}, options);
}

void UnpackArchiveWhole(const std::string& archivePath, const std::string& destFolder,
                        const UnpackOptions& options) {
    std::error_code ec;
    const bool exists = fs::exists(fs::symlink_status(destFolder, ec));
    if (exists &&
        (!fs::is_directory(fs::symlink_status(destFolder, ec)) || !fs::is_empty(destFolder, ec))) {
        throw FileSystemError("Could not unpack the archive into " + destFolder +
                              ": it already holds something; choose a new or empty folder.");
    }
    fs::path dest = fs::absolute(destFolder);
    if (!dest.has_filename()) {
        dest = dest.parent_path();  // a trailing separator
    }
    // The parents made here are removed again when the unpack fails.
    fs::path firstMade;
    for (fs::path at = dest.parent_path(); !fs::exists(at, ec) && at != at.parent_path();
         at = at.parent_path()) {
        firstMade = at;
    }
    fs::create_directories(dest.parent_path(), ec);
    if (ec) {
        ThrowDestinationFailure(destFolder, "creating its parent folder", ec.value(), 0);
    }
    const std::string temporary = temp_names::UnpackTemporaryFolder(dest.string());
    // Removes the temporary folder (or the first parent made here), and all below it,
    // unless it was renamed into place.
    struct Cleanup {
        std::string path;
        ~Cleanup() {
            if (!path.empty()) {
                std::error_code ignored;
                fs::remove_all(path, ignored);
                if (ignored) {
                    Warn("cannot remove " + path + ": " + ignored.message());
                }
            }
        }
    } cleanup{firstMade.empty() ? temporary : firstMade.string()};
    if (::mkdir(temporary.c_str(), 0777) != 0) {
        ThrowDestinationFailure(destFolder, "creating the folder " + temporary, errno, 0);
    }
    UnpackInto(archivePath, Target{temporary, destFolder, 0}, options);
    if (exists && ::rmdir(dest.c_str()) != 0) {
        ThrowDestinationFailure(destFolder, "replacing the empty folder", errno, 0);
    }
    if (const int error = RenameNoReplaceAt(AT_FDCWD, temporary.c_str(), AT_FDCWD, dest.c_str());
        error != 0) {
        ThrowDestinationFailure(destFolder, "putting the unpacked folder in place", error, 0);
    }
    cleanup.path.clear();
    Fd parent(::open(dest.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.Valid() || SyncFolder(parent.Get()) != 0) {
        ThrowDestinationFailure(destFolder, "writing its parent folder to the disk", errno, 0);
    }
}

void VerifyArchive(const std::string& archivePath, const UnpackOptions& options) {
    ReadArchive archive(archivePath, true, options.passphrase);
    const std::vector<ReadEntry> entries = CheckedEntries(archive);
    ReadRun run(archivePath, entries, options, nullptr, -1);
    run.Run();
    run.FinalReport();
}

std::vector<ArchiveEntry> ListArchive(const std::string& archivePath) {
    ReadArchive archive(archivePath);
    std::vector<ArchiveEntry> result;
    const zip_uint64_t count = archive.Count();
    for (zip_uint64_t i = 0; i < count; ++i) {
        const zip_stat_t st = archive.Stat(i);
        ArchiveEntry entry;
        entry.name = st.name;
        std::replace(entry.name.begin(), entry.name.end(), '\\', '/');
        entry.isFolder = entry_names::NamesFolder(entry.name);
        entry.size = (st.valid & ZIP_STAT_SIZE) != 0 ? st.size : 0;
        entry.compressedSize = (st.valid & ZIP_STAT_COMP_SIZE) != 0 ? st.comp_size : 0;
        entry.crc = (st.valid & ZIP_STAT_CRC) != 0 ? st.crc : 0;
        entry.mtime = archive.MTime(i, st);
        result.push_back(std::move(entry));
    }
    return result;
}

}  // namespace vornback
