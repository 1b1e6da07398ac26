// The archive component's packing on top of libzip. The folder is walked and every entry
// added in sorted order; worker threads read and deflate the files ahead of libzip
// (pack_pipeline.h: whole files, and large ones in chunks, all with libdeflate), or find
// them not worth deflating and leave them stored, within a fixed memory budget. libzip, inside
// zip_close() on the calling thread, takes each finished deflate stream as it is and writes the
// archive through output_source.h into a temporary file beside the target. The bytes of an archive
// depend on the files alone, never on the number of threads.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/deflate_chunks.h"
#include "archive/entry_names_internal.h"
#include "archive/entry_source.h"
#include "archive/output_source.h"
#include "archive/pack_pipeline.h"
#include "base/errors.h"
#include "base/temp_names.h"

namespace vornback {
namespace {

using namespace archive_internal;

// ---------------------------------------------------------------------------------------
// Packing

// The most folders a pack keeps open for their files (one descriptor each), well within
// the usual limit of 1,024 open files; files of further folders are opened by path.
constexpr size_t kHeldFolders = 256;

bool ValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        if (c < 0x80) {
            extra = 0;
        } else if ((c & 0xE0u) == 0xC0u && c >= 0xC2) {
            extra = 1;
        } else if ((c & 0xF0u) == 0xE0u) {
            extra = 2;
        } else if ((c & 0xF8u) == 0xF0u && c <= 0xF4) {
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= text.size() && extra > 0) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0u) != 0x80u) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

bool Excluded(const std::string& relative, const std::vector<std::string>& patterns) {
    for (const std::string& pattern : patterns) {
        if (MatchesExclusion(relative, pattern)) {
            return true;
        }
    }
    return false;
}

// Collects the entries below a folder, depth first, each folder's children sorted by name,
// a folder's own entry before its contents. Links are neither stored nor followed: a link
// inside the firm folder may point anywhere (out of the firm, or back up into it), and a
// restore must never create one, so the backup holds only real files and folders; the
// links are listed in links for the caller to show. Other special files (pipes, devices,
// sockets) are left out for the same reason. Each folder is read and its children looked
// at through the folder's own descriptor, opened without following links; the files keep
// their folder's descriptor (see PackItem::folder) while no more than kHeldFolders are held.
// Each entry goes to the pipeline as it is found, so the workers start on the first files
// while the rest of the folder is still being read.
void CollectEntries(const std::shared_ptr<const Fd>& folderHandle, const std::string& folder,
                    const std::string& prefix, const PackOptions& options, PackPipeline& pipeline,
                    std::vector<std::string>& links, size_t& heldFolders) {
    const int folderFd = folderHandle->Get();
    bool held = false;  // some file of this folder keeps its descriptor
    std::vector<std::string> names;
    {
        const int listFd = ::dup(folderFd);
        DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
        if (dir == nullptr) {
            const int error = errno;
            if (listFd >= 0) {
                ::close(listFd);
            }
            throw ArchiveError(folder + ": cannot read folder: " + SystemReason(error));
        }
        std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
        errno = 0;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") {
                names.emplace_back(name);
            }
            errno = 0;
        }
        if (errno != 0) {
            throw ArchiveError(folder + ": cannot read folder: " + SystemReason(errno));
        }
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (Cancelled(options.cancel)) {
            throw ArchiveCancelled("packing cancelled");
        }
        const std::string relative = prefix + name;
        const std::string full = folder + "/" + name;
        if (Excluded(relative, options.excludePatterns)) {
            continue;
        }
        struct stat st {};
        if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            throw ArchiveError(full + ": cannot read: " + SystemReason(errno));
        }
        if (S_ISLNK(st.st_mode)) {
            links.push_back(relative);
            continue;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
            continue;  // a special file, see above
        }
        if (!ValidUtf8(name)) {
            throw ArchiveError(full + ": the name is not valid UTF-8 and cannot be stored");
        }
        PackItem item;
        item.fullPath = full;
        item.mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
        item.mtimeExact = st.st_mtim;
        if (S_ISDIR(st.st_mode)) {
            item.isFolder = true;
            item.entryName = relative + "/";
            pipeline.Add(item);
            auto child = std::make_shared<const Fd>(
                ::openat(folderFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!child->Valid()) {
                throw ArchiveError(full + ": cannot read folder: " + SystemReason(errno));
            }
            CollectEntries(child, full, relative + "/", options, pipeline, links, heldFolders);
        } else {
            item.entryName = relative;
            item.size = static_cast<uint64_t>(st.st_size);
            if (!held && heldFolders < kHeldFolders) {
                held = true;
                ++heldFolders;
            }
            if (held) {
                item.folder = folderHandle;
                item.name = name;
            }
            pipeline.Add(std::move(item));
        }
    }
}

// The temporary file beside the archive path: created empty and exclusively, removed again
// unless Keep() is called after it has been renamed into place.
class TemporaryArchive {
  public:
    explicit TemporaryArchive(const std::string& archivePath) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string candidate = temp_names::PackTemporaryPath(archivePath);
            Fd fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                         PrivateFileMode()));
            if (fd.Valid()) {
                // The archive keeps this mode: a firm's books, private whatever the umask.
                path_ = candidate;
                if (const int err = MakePrivate(fd.Get(), false); err != 0) {
                    throw ArchiveError(archivePath +
                                       ": cannot make the archive private: " + SystemReason(err));
                }
                return;
            }
            if (errno != EEXIST) {
                throw ArchiveError(archivePath +
                                   ": cannot create the archive: " + SystemReason(errno));
            }
        }
        throw ArchiveError(archivePath + ": cannot find a free temporary name");
    }
    ~TemporaryArchive() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }
    TemporaryArchive(const TemporaryArchive&) = delete;
    TemporaryArchive& operator=(const TemporaryArchive&) = delete;

    const std::string& Path() const { return path_; }
    void Keep() { path_.clear(); }

  private:
    std::string path_;
};

// Owns a zip_t; discards it (writing nothing) unless it has been closed.
struct ZipHandle {
    zip_t* za = nullptr;
    ~ZipHandle() {
        if (za != nullptr) {
            zip_discard(za);
        }
    }
};

void WriteEmptyArchive(const std::string& path) {
    // An archive without entries is only its end record; libzip would rather delete the
    // file than write one.
    static const char kEndRecord[22] = {'P', 'K', 5, 6};
    Fd fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd.Valid() || WriteAll(fd.Get(), kEndRecord, sizeof kEndRecord) != 0) {
        throw ArchiveError(path + ": cannot write: " + SystemReason(errno));
    }
}

void SyncFile(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid() || ::fsync(fd.Get()) != 0) {
        throw ArchiveError(path + ": cannot write to disk: " + SystemReason(errno));
    }
}

// Writes the archive's folder to the disk, so that the rename into place outlives a power
// loss (without it the archive could come back under its temporary name). Should that
// fail, the archive is taken away again: a pack that fails leaves nothing at its path.
void SyncArchiveFolder(const std::string& archivePath) {
    const std::string folder = FolderOf(archivePath);
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.Valid() || ::fsync(fd.Get()) != 0) {
        const int error = errno;
        ::unlink(archivePath.c_str());
        throw ArchiveError(folder + ": cannot write to disk: " + SystemReason(error));
    }
}

void AddEntries(zip_t* za, const std::deque<PackItem>& items,
                std::vector<std::unique_ptr<EntrySource>>& sources, PackState& state,
                const std::string& archivePath) {
    auto fail = [&](const std::string& what) {
        throw ArchiveError(archivePath + ": " + what + ": " + zip_strerror(za));
    };
    for (size_t i = 0; i < items.size(); ++i) {
        const PackItem& item = items[i];
        zip_int64_t index = -1;
        if (item.isFolder) {
            index = zip_dir_add(za, item.entryName.c_str(), ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                fail("cannot add " + item.entryName);
            }
        } else {
            auto source = std::make_unique<EntrySource>();
            source->state = &state;
            source->item = &item;
            source->itemIndex = i;
            zip_error_init(&source->error);
            zip_error_t error;
            zip_error_init(&error);
            zip_source_t* zs =
                zip_source_function_create(EntrySource::Callback, source.get(), &error);
            if (zs == nullptr) {
                const std::string reason = zip_error_strerror(&error);
                zip_error_fini(&error);
                throw ArchiveError(archivePath + ": cannot add " + item.entryName + ": " + reason);
            }
            zip_error_fini(&error);
            EntrySource* added = source.get();
            sources.push_back(std::move(source));
            index = zip_file_add(za, item.entryName.c_str(), zs, ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                zip_source_free(zs);
                fail("cannot add " + item.entryName);
            }
            added->zipIndex = static_cast<zip_uint64_t>(index);
            if (zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE,
                                         deflate::kLevel) != 0) {
                fail("cannot set the compression of " + item.entryName);
            }
        }
        const auto idx = static_cast<zip_uint64_t>(index);
        if (zip_file_set_mtime(za, idx, static_cast<time_t>(item.mtime), 0) != 0) {
            fail("cannot set the time of " + item.entryName);
        }
        if (item.mtime >= 0 && item.mtime <= INT32_MAX) {
            const std::string field = ExtendedTimestamp(item.mtime);
            if (zip_file_extra_field_set(za, idx, kExtendedTimestamp, ZIP_EXTRA_FIELD_NEW,
                                         reinterpret_cast<const zip_uint8_t*>(field.data()),
                                         static_cast<zip_uint16_t>(field.size()),
                                         ZIP_FL_LOCAL | ZIP_FL_CENTRAL) != 0) {
                fail("cannot set the time of " + item.entryName);
            }
        }
        // Unix permissions as Info-ZIP stores them; the folder entry also carries the DOS
        // folder attribute for Windows readers.
        const zip_uint32_t attributes =
            item.isFolder ? ((static_cast<zip_uint32_t>(S_IFDIR | 0755) << 16) | 0x10u)
                          : (static_cast<zip_uint32_t>(S_IFREG | 0644) << 16);
        if (zip_file_set_external_attributes(za, idx, 0, ZIP_OPSYS_UNIX, attributes) != 0) {
            fail("cannot set the attributes of " + item.entryName);
        }
    }
}

}  // namespace

PackSummary PackFolder(const std::string& sourceFolder, const std::string& archivePath,
                       const PackOptions& options) {
    struct stat st {};
    if (::stat(sourceFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw ArchiveError(sourceFolder + ": folder not found");
    }
    if (::lstat(archivePath.c_str(), &st) == 0) {
        throw ArchiveError(archivePath + ": the archive already exists");
    }

    PackSummary summary;
    PackState state;
    state.options = &options;
    // The workers start at once, reading and deflating while the folder is walked and the
    // entries are added.
    PackPipeline pipeline;
    pipeline.Start(WorkerThreads(options.threads));
    state.pipeline = &pipeline;
    {
        auto root = std::make_shared<const Fd>(
            ::open(sourceFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!root->Valid()) {
            throw ArchiveError(sourceFolder + ": cannot read folder: " + SystemReason(errno));
        }
        size_t heldFolders = 0;
        CollectEntries(root, sourceFolder, "", options, pipeline, summary.skippedLinks,
                       heldFolders);
    }
    pipeline.Close();
    const std::deque<PackItem>& items = pipeline.Items();
    for (const PackItem& item : items) {
        if (!item.isFolder) {
            state.progress.bytesTotal += item.size;
            ++state.progress.filesTotal;
        }
    }

    TemporaryArchive temporary(archivePath);
    if (items.empty()) {
        WriteEmptyArchive(temporary.Path());
        if (options.sync) {
            SyncFile(temporary.Path());
        }
    } else {
        std::vector<std::unique_ptr<EntrySource>> sources;
        OutputSource output(temporary.Path(), options.sync);
        ZipHandle zip;
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t* target = output.Create(&error);
        if (target != nullptr) {
            zip.za = zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &error);
            if (zip.za == nullptr) {
                zip_source_free(target);
            }
        }
        if (zip.za == nullptr) {
            const std::string reason = zip_error_strerror(&error);
            zip_error_fini(&error);
            throw ArchiveError(archivePath + ": cannot create the archive: " + reason);
        }
        zip_error_fini(&error);
        state.za = zip.za;
        AddEntries(zip.za, items, sources, state, archivePath);
        // zip_close() writes the whole archive through output, which syncs it at the end.
        if (zip_close(zip.za) != 0) {
            if (state.cancelled || Cancelled(options.cancel)) {
                throw ArchiveCancelled("packing cancelled");
            }
            if (!state.failure.empty()) {
                throw ArchiveError(state.failure);
            }
            if (!output.Failure().empty()) {
                throw ArchiveError(output.Failure());
            }
            throw ArchiveError(archivePath + ": cannot write the archive: " + zip_strerror(zip.za));
        }
        zip.za = nullptr;
    }
    if (Cancelled(options.cancel)) {
        throw ArchiveCancelled("packing cancelled");
    }
    RenameNoReplace(temporary.Path(), archivePath);
    temporary.Keep();
    if (options.sync) {
        SyncArchiveFolder(archivePath);
    }
    if (options.progress) {
        state.progress.currentName.clear();
        options.progress(state.progress);
    }
    return summary;
}

}  // namespace vornback
