// The libzip sources of packing: each file entry's data is what the deflate pipeline made,
// handed to libzip inside zip_close() on the calling thread, with progress, cancel and the
// first failure in words. Private to the archive folder.
#pragma once

#include <zip.h>

#include <cstdint>
#include <string>

#include "archive/archive.h"
#include "archive/pack_pipeline.h"

namespace vornback::archive_internal {

// What the entry sources share: the pipeline, the progress so far, the cancel flag and the
// first failure in words (libzip only passes an error code up). Used on the calling thread
// only, inside zip_close().
struct PackState {
    const PackOptions* options = nullptr;
    PackPipeline* pipeline = nullptr;
    zip_t* za = nullptr;
    ArchiveProgress progress;
    uint64_t lastReported = 0;
    bool cancelled = false;
    std::string failure;

    void Report(bool force);

    // Called while waiting for a worker: keeps the progress coming (the window repaints in
    // it) and tells whether to go on.
    bool Idle();
};

// A libzip source for one file entry. Its data is what the workers made: raw deflate for a
// deflated entry, the file's own bytes for a stored one. libzip asks for the size and the
// method (STAT) when it reaches the entry, reads the data, and asks again for the CRC.
struct EntrySource {
    PackState* state = nullptr;
    const PackItem* item = nullptr;
    size_t itemIndex = 0;
    zip_uint64_t zipIndex = 0;
    bool decided = false;
    bool stored = false;
    bool complete = false;  // every piece handed over and the file checked
    size_t job = 0;         // the piece being handed over
    size_t jobEnd = 0;
    PackResult* current = nullptr;
    size_t offset = 0;  // within the current piece's data
    uint32_t crc = 0;
    zip_error_t error{};

    zip_int64_t Fail(int zipError, const std::string& failure);

    zip_int64_t Cancel();

    PackResult* WaitFor(size_t piece);

    // Settles the method from the file's first piece. A stored file turns its entry to
    // the stored method here, before libzip reads it: libzip then copies the bytes as they
    // are and computes their CRC itself.
    zip_int64_t Decide();

    zip_int64_t Open();

    // Whether the file on disk is still the one the folder walk saw.
    bool Unchanged() const;

    zip_int64_t Read(void* data, zip_uint64_t length);

    void Close();

    zip_int64_t Stat(void* data, zip_uint64_t length);

    static zip_int64_t Callback(void* userdata, void* data, zip_uint64_t length,
                                zip_source_cmd_t command);
};

}  // namespace vornback::archive_internal
