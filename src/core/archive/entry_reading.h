// Reading the bytes of one entry on a worker thread: inflating it (libdeflate for an entry
// held whole, zlib a chunk at a time for a large one), checking its size and CRC, and
// handing the bytes on as they come. Private to the archive folder.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include "archive/archive_internal.h"
#include "archive/deflate_chunks.h"
#include "archive/unpack_checks.h"

namespace vornback::archive_internal {

// Thrown in a worker that stops because an earlier entry failed or the run was cancelled;
// the run reports the real reason instead.
struct Abandoned {};

// Whether the worker on one entry is to give it up: after a cancel, or when an entry
// before it failed. Entries before a failed one are finished, as they would have been
// when unpacking one after the other.
struct StopCheck {
    const std::atomic<size_t>* failedAt = nullptr;
    const std::atomic<bool>* all = nullptr;
    size_t file = 0;
    bool operator()() const {
        return all->load(std::memory_order_relaxed) ||
               failedAt->load(std::memory_order_relaxed) < file;
    }
};

// A worker's buffers, kept from one entry to the next: fresh pages for every file (mapped,
// faulted in, zeroed, unmapped) cost more system time than the inflating. What all workers
// keep stays within the run's allowance; beyond it they are given back.
struct Scratch {
    Buffer packed;  // the compressed bytes of an entry held whole, or a piece of one streamed
    Buffer out;     // the inflated bytes
};

// Where the bytes of an entry go, piece by piece, as they are inflated.
using EntrySink = std::function<void(const char* data, size_t length)>;

// Reads one entry to its end, handing each piece to sink, and checks its size and CRC.
// Deflated entries held whole are inflated by libdeflate in one call; larger ones are
// inflated by zlib a chunk at a time; stored ones are read as they lie. Any other method
// goes through libzip's own inflater. Throws ArchiveError naming the entry,
// ArchiveCancelled, or Abandoned when stop is set.
void ReadEntryData(const ReadArchive& archive, const ReadEntry& entry, deflate::Inflater& inflater,
                   Scratch& scratch, const std::atomic<bool>* cancel, const StopCheck& stop,
                   const EntrySink& sink);

// Whether a worker's own handle shows the entry the checked directory listed: the file
// must not have been swapped between the two opens.
bool SameEntry(const ReadArchive& archive, const ReadEntry& entry);

}  // namespace vornback::archive_internal
