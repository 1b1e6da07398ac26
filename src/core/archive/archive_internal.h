// Pieces shared by the packing and the unpacking halves of the archive component: file
// descriptors, the cancel check, the extended timestamp field, owned byte
// buffers that give their memory back at once, and the number of worker threads. Private
// to src/core/archive.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/posix.h"

namespace vornback::archive_internal {

// The extended timestamp extra field (Info-ZIP "UT"): a flag byte, then the modification
// time as seconds since the epoch, UTC, little endian.
constexpr uint16_t kExtendedTimestamp = 0x5455;

// Files up to this size are held whole in memory and inflated in one call when unpacking;
// larger ones are read in chunks, so that memory stays bounded whatever the file size.
constexpr uint64_t kWholeFileLimit = 16 * 1024 * 1024;
// The unit of reading a large file when unpacking.
constexpr size_t kChunkSize = 1024 * 1024;
// Packing: files up to this size are deflated whole in one call; larger ones in
// independent chunks of this size, one chunk per worker at a time. Large enough that the
// chunks cost next to nothing in size against one stream, small enough that two or more
// workers share even a single large file.
constexpr size_t kPackChunk = 4 * 1024 * 1024;
// How many bytes pass between two progress reports inside one file.
constexpr uint64_t kProgressStep = 1024 * 1024;

std::string SystemReason(int error);
// libzip's text for the error code an open of an archive gave back.
std::string ZipErrorText(int code);

// Renames without replacing: the archive path must still be free at the moment of the
// rename. Throws ArchiveError.
void RenameNoReplace(const std::string& from, const std::string& to);

inline bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

std::string ExtendedTimestamp(int64_t mtime);
// Reads the modification time out of an extended timestamp field, when it holds one.
std::optional<int64_t> ParseExtendedTimestamp(const uint8_t* data, uint16_t length);

// The worker threads to use: the option when set, otherwise one per core.
unsigned WorkerThreads(unsigned requested);

// An owned byte buffer of a fixed capacity and a used size. Large buffers are mapped
// straight from the system and unmapped when freed, so that the memory bound of packing
// and unpacking holds in resident memory too, not only in what the allocator tracks.
class Buffer {
  public:
    Buffer() = default;
    explicit Buffer(size_t capacity);
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;

    uint8_t* Data() { return data_; }
    const uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }
    size_t Capacity() const { return capacity_; }
    void SetSize(size_t size) { size_ = size; }
    // Grows the capacity, keeping the bytes in use.
    void Grow(size_t capacity);

  private:
    void Free();
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool mapped_ = false;
};

}  // namespace vornback::archive_internal
