// The encrypted copy of a checked archive; see EncryptArchiveCopy in archive.h.
//
// The copy is written by the own writer in aes_copy.cpp, which derives the entries' keys
// on several threads and checks the copy with those keys afterwards. An archive that needs
// ZIP64 (an entry or offset at 4 GiB or beyond, more than 65535 entries) is not written by
// it: such a copy is made by libzip, as below, and read back with the passphrase.
//
// libzip encrypts an entry added from another archive without inflating it: the source
// hands over the compressed bytes (a whole entry of an archive opened for reading is read
// compressed), and as long as the new entry keeps the source's method, only the
// encryption layer sits between them. The CRC comes from the source's directory.
#include <fcntl.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "archive/aes_copy.h"
#include "archive/archive.h"
#include "archive/archive_internal.h"
#include "archive/output_source.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "platform/posix.h"

namespace vornback {

namespace {

using namespace archive_internal;

struct ZipReader {
    zip_t* za = nullptr;
    ~ZipReader() {
        if (za != nullptr) {
            zip_discard(za);
        }
    }
};

zip_t* OpenForReading(const std::string& path) {
    int code = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (za == nullptr) {
        const std::string reason = ZipErrorText(code);
        throw ArchiveError(path + ": cannot open: " + reason);
    }
    return za;
}

bool NamesFolder(const char* name) {
    const size_t n = std::strlen(name);
    return n > 0 && name[n - 1] == '/';
}

// What the progress and cancel callbacks of zip_close() need.
struct CloseState {
    const EncryptOptions* options = nullptr;
    ArchiveProgress progress;
};

void OnProgress(zip_t*, double fraction, void* data) {
    auto* state = static_cast<CloseState*>(data);
    if (state->options->progress) {
        state->progress.bytesDone =
            static_cast<uint64_t>(fraction * static_cast<double>(state->progress.bytesTotal));
        state->options->progress(state->progress);
    }
}

int OnCancel(zip_t*, void* data) {
    return Cancelled(static_cast<CloseState*>(data)->options->cancel) ? 1 : 0;
}

// Gives every extra field of the source entry (the extended timestamp among them) to the
// new entry, where it was: central directory, local header or both.
void CopyExtraFields(zip_t* source, zip_uint64_t from, zip_t* target, zip_uint64_t to,
                     const std::string& targetPath, const char* name) {
    for (const zip_flags_t where : {ZIP_FL_CENTRAL, ZIP_FL_LOCAL}) {
        const zip_int16_t count = zip_file_extra_fields_count(source, from, where);
        for (zip_int16_t i = 0; i < count; ++i) {
            zip_uint16_t id = 0;
            zip_uint16_t length = 0;
            const zip_uint8_t* data = zip_file_extra_field_get(
                source, from, static_cast<zip_uint16_t>(i), &id, &length, where);
            if (data != nullptr && zip_file_extra_field_set(target, to, id, ZIP_EXTRA_FIELD_NEW,
                                                            data, length, where) != 0) {
                throw ArchiveError(targetPath + ": entry " + name +
                                   ": cannot keep its extra field: " + zip_strerror(target));
            }
        }
    }
}

}  // namespace

bool ArchiveEncrypted(const std::string& archivePath) {
    ZipReader reader;
    reader.za = OpenForReading(archivePath);
    const zip_int64_t count = zip_get_num_entries(reader.za, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(reader.za, static_cast<zip_uint64_t>(i), 0, &st) == 0 &&
            (st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE) {
            return true;
        }
    }
    return false;
}

namespace {

// Writes the copy at targetPath (private, empty) with libzip, synced by its output.
void WriteWithLibzip(const std::string& sourcePath, const std::string& targetPath,
                     const std::string& passphrase, const EncryptOptions& options) {
    if (zip_encryption_method_supported(ZIP_EM_AES_256, 1) == 0) {
        throw ArchiveError("This build of libzip cannot write AES-256 encrypted archives.");
    }
    ZipReader source;
    source.za = OpenForReading(sourcePath);

    OutputSource output(targetPath, true);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* sink = output.Create(&error);
    zip_t* target =
        sink == nullptr ? nullptr : zip_open_from_source(sink, ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (target == nullptr) {
        if (sink != nullptr) {
            zip_source_free(sink);
        }
        const std::string reason = zip_error_strerror(&error);
        zip_error_fini(&error);
        throw ArchiveError(targetPath + ": cannot create the encrypted copy: " + reason);
    }
    zip_error_fini(&error);
    std::unique_ptr<zip_t, void (*)(zip_t*)> discard(target, zip_discard);

    CloseState state;
    state.options = &options;
    const zip_int64_t count = zip_get_num_entries(source.za, 0);
    for (zip_int64_t n = 0; n < count; ++n) {
        const auto i = static_cast<zip_uint64_t>(n);
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(source.za, i, 0, &st) != 0 || (st.valid & ZIP_STAT_NAME) == 0) {
            throw ArchiveError(sourcePath + ": entry " + std::to_string(i) +
                               ": cannot read: " + zip_strerror(source.za));
        }
        const auto fail = [&](const std::string& what) {
            throw ArchiveError(targetPath + ": entry " + st.name + ": " + what + ": " +
                               zip_strerror(target));
        };
        if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE) {
            throw ArchiveError(sourcePath + ": entry " + st.name + ": already encrypted");
        }
        // The whole entry, read compressed: its bytes pass on as they are.
        zip_source_t* data = zip_source_zip(target, source.za, i, 0, 0, -1);
        if (data == nullptr) {
            fail("cannot read it from " + sourcePath);
        }
        const zip_int64_t added = zip_file_add(target, st.name, data, ZIP_FL_ENC_UTF_8);
        if (added < 0) {
            zip_source_free(data);
            fail("cannot add it");
        }
        const auto to = static_cast<zip_uint64_t>(added);
        // The method the source has, so that nothing is inflated or deflated again.
        const zip_int32_t method = (st.valid & ZIP_STAT_COMP_METHOD) != 0
                                       ? static_cast<zip_int32_t>(st.comp_method)
                                       : ZIP_CM_STORE;
        if (zip_set_file_compression(target, to, method, 0) != 0) {
            fail("cannot keep its compression");
        }
        if ((st.valid & ZIP_STAT_MTIME) != 0 && zip_file_set_mtime(target, to, st.mtime, 0) != 0) {
            fail("cannot keep its time");
        }
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(source.za, i, 0, &system, &attributes) == 0 &&
            zip_file_set_external_attributes(target, to, 0, system, attributes) != 0) {
            fail("cannot keep its attributes");
        }
        CopyExtraFields(source.za, i, target, to, targetPath, st.name);
        if (!NamesFolder(st.name)) {
            if (zip_file_set_encryption(target, to, ZIP_EM_AES_256, passphrase.c_str()) != 0) {
                fail("cannot encrypt it");
            }
            state.progress.bytesTotal += (st.valid & ZIP_STAT_SIZE) != 0 ? st.size : 0;
            ++state.progress.filesTotal;
        }
    }
    zip_register_progress_callback_with_state(target, 0.01, OnProgress, nullptr, &state);
    zip_register_cancel_callback_with_state(target, OnCancel, nullptr, &state);
    // zip_close() writes the whole copy through output, which syncs it at the end.
    if (zip_close(target) != 0) {
        if (Cancelled(options.cancel)) {
            throw ArchiveCancelled("encrypting cancelled");
        }
        if (!output.Failure().empty()) {
            throw ArchiveError(output.Failure());
        }
        throw ArchiveError(targetPath +
                           ": cannot write the encrypted copy: " + zip_strerror(target));
    }
    discard.release();
}

void SyncFolderOf(const std::string& targetPath) {
    const std::string folder = targetPath.substr(0, targetPath.find_last_of('/') + 1);
    Fd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid() || ::fsync(dir.Get()) != 0) {
        throw ArchiveError(targetPath +
                           ": cannot write its folder to the disk: " + SystemReason(errno));
    }
}

void RemoveSource(const std::string& sourcePath) {
    if (::unlink(sourcePath.c_str()) != 0) {
        throw ArchiveError(sourcePath + ": cannot remove it: " + SystemReason(errno));
    }
}

}  // namespace

void EncryptArchiveCopy(const std::string& sourcePath, const std::string& targetPath,
                        const std::string& passphrase, const EncryptOptions& options) {
    if (passphrase.size() < kShortestPassphrase) {
        throw ArchiveError("The passphrase has " + std::to_string(passphrase.size()) +
                           " characters; an encrypted archive needs at least " +
                           std::to_string(kShortestPassphrase) + ".");
    }
    // The checked source: its directory and every local header consistent.
    {
        ZipReader source;
        source.za = OpenForReading(sourcePath);
    }

    // The copy is written under a piece's name, made private before a byte is written, and
    // takes its own name only once it is synced and checked: whatever bears that name is
    // whole. The piece goes whatever ends this early; one a kill leaves is removed at the
    // next start.
    const std::string piece = temp_names::PackTemporaryPath(targetPath);
    Fd created(::open(piece.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, PrivateFileMode()));
    if (!created.Valid()) {
        throw ArchiveError(targetPath +
                           ": cannot create the encrypted copy: " + SystemReason(errno));
    }
    struct Removal {
        const std::string& path;
        bool renamed = false;
        ~Removal() {
            if (!renamed) {
                ::unlink(path.c_str());
            }
        }
    } removal{piece};
    if (const int err = MakePrivate(created.Get(), false); err != 0) {
        throw ArchiveError(targetPath + ": cannot make the copy private: " + SystemReason(err));
    }

    std::optional<AesCopyKeys> keys =
        WriteAesCopy(sourcePath, created.Get(), targetPath, passphrase, options);
    if (!keys) {
        created.Reset();
        WriteWithLibzip(sourcePath, piece, passphrase, options);
    }
    if (Cancelled(options.cancel)) {
        throw ArchiveCancelled("encrypting cancelled");
    }

    // The copy that leaves is the copy that was read back. (The disk writes it meanwhile:
    // the writer started the write-back, the sync below waits for what is left.)
    if (keys) {
        CheckAesCopy(sourcePath, piece, *keys, options);
    } else {
        UnpackOptions check;
        check.progress = options.progress;
        check.cancel = options.cancel;
        check.passphrase = passphrase;
        VerifyArchive(piece, check);
    }
    if (options.removeSource) {
        RemoveSource(sourcePath);
    }
    if (keys) {  // libzip's copy was synced as it was closed
        if (::fsync(created.Get()) != 0) {
            throw ArchiveError(targetPath + ": cannot write the encrypted copy to the disk: " +
                               SystemReason(errno));
        }
        if (const int err = created.Close(); err != 0) {
            throw ArchiveError(targetPath +
                               ": cannot write the encrypted copy: " + SystemReason(err));
        }
    }
    RenameNoReplace(piece, targetPath);
    removal.renamed = true;
    SyncFolderOf(targetPath);
}

}  // namespace vornback
