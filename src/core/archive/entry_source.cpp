// The libzip sources of packing; see entry_source.h.
#include "archive/entry_source.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace vornback::archive_internal {

void PackState::Report(bool force) {
    if (options->progress && (force || progress.bytesDone - lastReported >= kProgressStep)) {
        lastReported = progress.bytesDone;
        options->progress(progress);
    }
}

bool PackState::Idle() {
    if (Cancelled(options->cancel)) {
        return false;
    }
    Report(true);
    return !Cancelled(options->cancel);
}

zip_int64_t EntrySource::Fail(int zipError, const std::string& failure) {
    zip_error_set(&error, zipError, 0);
    if (state->failure.empty()) {
        state->failure = failure;
    }
    return -1;
}

zip_int64_t EntrySource::Cancel() {
    state->cancelled = true;
    zip_error_set(&error, ZIP_ER_CANCELLED, 0);
    return -1;
}

PackResult* EntrySource::WaitFor(size_t piece) {
    return state->pipeline->Wait(piece, [this] { return state->Idle(); });
}

zip_int64_t EntrySource::Decide() {
    if (decided) {
        return 0;
    }
    const size_t first = state->pipeline->FirstJob(itemIndex);
    PackResult* result = WaitFor(first);
    if (result == nullptr) {
        return Cancel();
    }
    if (!result->failure.empty()) {
        return Fail(ZIP_ER_READ, result->failure);
    }
    stored = result->stored;
    if (stored && zip_set_file_compression(state->za, zipIndex, ZIP_CM_STORE, 0) != 0) {
        return Fail(ZIP_ER_INTERNAL, item->fullPath + ": cannot store the entry");
    }
    decided = true;
    return 0;
}

zip_int64_t EntrySource::Open() {
    if (Cancelled(state->options->cancel)) {
        return Cancel();
    }
    job = state->pipeline->FirstJob(itemIndex);
    jobEnd = state->pipeline->JobEnd(itemIndex);
    current = nullptr;
    offset = 0;
    crc = 0;
    complete = false;
    state->progress.currentName = item->entryName;
    state->Report(true);
    return 0;
}

bool EntrySource::Unchanged() const {
    struct stat st {};
    return ::fstatat(item->At(), item->Name(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == item->size &&
           st.st_mtim.tv_sec == item->mtimeExact.tv_sec &&
           st.st_mtim.tv_nsec == item->mtimeExact.tv_nsec;
}

zip_int64_t EntrySource::Read(void* data, zip_uint64_t length) {
    if (Cancelled(state->options->cancel)) {
        return Cancel();
    }
    for (;;) {
        if (current == nullptr) {
            if (job == jobEnd) {
                if (!complete) {
                    if (!Unchanged()) {
                        return Fail(ZIP_ER_READ,
                                    item->fullPath + ": the file changed while it was packed");
                    }
                    complete = true;
                }
                return 0;
            }
            current = WaitFor(job);
            if (current == nullptr) {
                return Cancel();
            }
            if (!current->failure.empty()) {
                return Fail(ZIP_ER_READ, current->failure);
            }
            offset = 0;
        }
        const size_t available = current->data.Size() - offset;
        if (available == 0) {
            const PackJob& piece = state->pipeline->Job(job);
            crc =
                piece.first ? current->crc : deflate::Crc32Combine(crc, current->crc, piece.length);
            state->progress.bytesDone += piece.length;
            state->pipeline->Release(job);
            current = nullptr;
            ++job;
            state->Report(false);
            continue;
        }
        const size_t n = static_cast<size_t>(std::min<zip_uint64_t>(available, length));
        std::memcpy(data, current->data.Data() + offset, n);
        offset += n;
        return static_cast<zip_int64_t>(n);
    }
}

void EntrySource::Close() {
    if (complete) {
        ++state->progress.filesDone;
        state->Report(true);
    }
}

zip_int64_t EntrySource::Stat(void* data, zip_uint64_t length) {
    if (length < sizeof(zip_stat_t)) {
        zip_error_set(&error, ZIP_ER_INVAL, 0);
        return -1;
    }
    if (const zip_int64_t result = Decide(); result < 0) {
        return result;
    }
    auto* st = static_cast<zip_stat_t*>(data);
    zip_stat_init(st);
    st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME | ZIP_STAT_COMP_METHOD;
    st->size = item->size;
    st->mtime = static_cast<time_t>(item->mtime);
    st->comp_method = stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
    if (complete) {
        st->valid |= ZIP_STAT_CRC;
        st->crc = crc;
    }
    return sizeof(zip_stat_t);
}

zip_int64_t EntrySource::Callback(void* userdata, void* data, zip_uint64_t length,
                                  zip_source_cmd_t command) {
    auto* self = static_cast<EntrySource*>(userdata);
    switch (command) {
        case ZIP_SOURCE_OPEN:
            return self->Open();
        case ZIP_SOURCE_READ:
            return self->Read(data, length);
        case ZIP_SOURCE_CLOSE:
            self->Close();
            return 0;
        case ZIP_SOURCE_STAT:
            return self->Stat(data, length);
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&self->error, data, length);
        case ZIP_SOURCE_FREE:
            return 0;  // the object itself belongs to the pack run
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                                  ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        default:
            zip_error_set(&self->error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
    }
}

}  // namespace vornback::archive_internal
