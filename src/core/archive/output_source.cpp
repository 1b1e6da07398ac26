// The libzip source archives are written through; see output_source.h.
#include "archive/output_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/archive_internal.h"

namespace vornback::archive_internal {

namespace {
// Bytes gathered before they are written.
constexpr size_t kWriteSize = 1024 * 1024;
// Bytes written between two starts of the write-back.
constexpr uint64_t kWritebackStep = 16 * 1024 * 1024;
}  // namespace

zip_source_t* OutputSource::Create(zip_error_t* error) {
    zip_error_init(&error_);
    return zip_source_function_create(Callback, this, error);
}

zip_int64_t OutputSource::Fail(int zipError, int systemError, const std::string& what) {
    zip_error_set(&error_, zipError, systemError);
    if (failure_.empty()) {
        failure_ = path_ + ": " + what + ": " + SystemReason(systemError);
    }
    return -1;
}

zip_int64_t OutputSource::Begin() {
    fd_ = Fd(::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd_.Valid()) {
        return Fail(ZIP_ER_OPEN, errno, "cannot write the archive");
    }
    pending_.clear();
    pending_.reserve(kWriteSize);
    pendingAt_ = position_ = end_ = started_ = 0;
    return 0;
}

bool OutputSource::Flush() {
    if (pending_.empty()) {
        return true;
    }
    if (const int error = WriteAllAt(fd_.Get(), pending_.data(), pending_.size(), pendingAt_);
        error != 0) {
        Fail(ZIP_ER_WRITE, error, "cannot write the archive");
        return false;
    }
    pending_.clear();
    // Start writing what is complete to the disk, without waiting for it; the sync at the
    // end then waits only for the last piece.
    if (sync_ && end_ - started_ >= kWritebackStep) {
        ::sync_file_range(fd_.Get(), static_cast<off_t>(started_),
                          static_cast<off_t>(end_ - started_), SYNC_FILE_RANGE_WRITE);
        started_ = end_;
    }
    return true;
}

zip_int64_t OutputSource::Write(const void* data, zip_uint64_t length) {
    // libzip goes back to complete each entry's local header once the entry is written;
    // while the header is still among the pending bytes it is mended there, not written
    // twice.
    const bool inPending = position_ >= pendingAt_ && position_ <= pendingAt_ + pending_.size();
    if (!pending_.empty() && !inPending && !Flush()) {
        return -1;
    }
    if (pending_.empty()) {
        pendingAt_ = position_;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    const size_t at = static_cast<size_t>(position_ - pendingAt_);
    const size_t over = std::min<size_t>(pending_.size() - at, length);
    std::memcpy(pending_.data() + at, bytes, over);
    pending_.insert(pending_.end(), bytes + over, bytes + length);
    position_ += length;
    end_ = std::max(end_, position_);
    if (pending_.size() >= kWriteSize && !Flush()) {
        return -1;
    }
    return static_cast<zip_int64_t>(length);
}

zip_int64_t OutputSource::Seek(void* data, zip_uint64_t length) {
    const zip_int64_t to = zip_source_seek_compute_offset(position_, end_, data, length, &error_);
    if (to < 0) {
        return -1;
    }
    position_ = static_cast<uint64_t>(to);
    return 0;
}

zip_int64_t OutputSource::Commit() {
    if (!Flush()) {
        return -1;
    }
    if (sync_ && ::fsync(fd_.Get()) != 0) {
        return Fail(ZIP_ER_WRITE, errno, "cannot write the archive to disk");
    }
    if (const int error = fd_.Close(); error != 0) {
        return Fail(ZIP_ER_WRITE, error, "cannot write the archive");
    }
    return 0;
}

zip_int64_t OutputSource::Callback(void* userdata, void* data, zip_uint64_t length,
                                   zip_source_cmd_t command) {
    auto* self = static_cast<OutputSource*>(userdata);
    switch (command) {
        case ZIP_SOURCE_STAT:
            // A new archive: libzip reads nothing from it (this is how a missing file
            // answers).
            zip_error_set(&self->error_, ZIP_ER_READ, ENOENT);
            return -1;
        case ZIP_SOURCE_BEGIN_WRITE:
            return self->Begin();
        case ZIP_SOURCE_WRITE:
            return self->Write(data, length);
        case ZIP_SOURCE_SEEK_WRITE:
            return self->Seek(data, length);
        case ZIP_SOURCE_TELL_WRITE:
            return static_cast<zip_int64_t>(self->position_);
        case ZIP_SOURCE_COMMIT_WRITE:
            return self->Commit();
        case ZIP_SOURCE_ROLLBACK_WRITE:
        case ZIP_SOURCE_REMOVE:
            // The caller removes the temporary file.
            self->fd_.Reset();
            self->pending_.clear();
            return 0;
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&self->error_, data, length);
        case ZIP_SOURCE_FREE:
            return 0;  // the object belongs to the pack run
        case ZIP_SOURCE_SUPPORTS:
            return ZIP_SOURCE_SUPPORTS_WRITABLE;
        default:
            zip_error_set(&self->error_, ZIP_ER_OPNOTSUPP, 0);
            return -1;
    }
}

}  // namespace vornback::archive_internal
