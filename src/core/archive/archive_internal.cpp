// Shared pieces of the archive component; see archive_internal.h.
#include "archive/archive_internal.h"

#include "archive/archive.h"
#include "platform/posix.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

namespace vornback::archive_internal {

namespace {
// Buffers from this size on are mapped rather than taken from the allocator.
constexpr size_t kMapThreshold = 256 * 1024;
}  // namespace

std::string ZipErrorText(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string reason = zip_error_strerror(&error);
    zip_error_fini(&error);
    return reason;
}

std::string SystemReason(int error) {
    return std::strerror(error);
}

std::string ExtendedTimestamp(int64_t mtime) {
    const auto value = static_cast<uint32_t>(mtime);
    std::string data(5, '\0');
    data[0] = 0x01;  // only the modification time follows
    for (int i = 0; i < 4; ++i) {
        data[static_cast<size_t>(1 + i)] = static_cast<char>((value >> (8 * i)) & 0xFFu);
    }
    return data;
}

std::optional<int64_t> ParseExtendedTimestamp(const uint8_t* data, uint16_t length) {
    if (data == nullptr || length < 5 || (data[0] & 0x01u) == 0) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | data[1 + i];
    }
    return static_cast<int64_t>(value);
}

unsigned WorkerThreads(unsigned requested) {
    // More threads than this gain nothing on deflate and only cost memory.
    constexpr unsigned kMostThreads = 64;
    if (requested == 0) {
        requested = std::thread::hardware_concurrency();
    }
    return std::clamp(requested, 1u, kMostThreads);
}

Buffer::Buffer(size_t capacity) {
    Grow(capacity);
}

Buffer::~Buffer() {
    Free();
}

Buffer::Buffer(Buffer&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_), mapped_(other.mapped_) {
    other.data_ = nullptr;
    other.size_ = 0;
    other.capacity_ = 0;
    other.mapped_ = false;
}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        Free();
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        mapped_ = other.mapped_;
        other.data_ = nullptr;
        other.size_ = 0;
        other.capacity_ = 0;
        other.mapped_ = false;
    }
    return *this;
}

void Buffer::Grow(size_t capacity) {
    if (capacity <= capacity_) {
        return;
    }
    uint8_t* data = nullptr;
    const bool mapped = capacity >= kMapThreshold;
    if (mapped) {
        void* p =
            ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            throw std::bad_alloc();
        }
        data = static_cast<uint8_t*>(p);
    } else {
        data = static_cast<uint8_t*>(std::malloc(capacity));
        if (data == nullptr) {
            throw std::bad_alloc();
        }
    }
    if (size_ > 0) {
        std::memcpy(data, data_, size_);
    }
    const size_t size = size_;
    Free();
    data_ = data;
    size_ = size;
    capacity_ = capacity;
    mapped_ = mapped;
}

void Buffer::Free() {
    if (data_ != nullptr) {
        if (mapped_) {
            ::munmap(data_, capacity_);
        } else {
            std::free(data_);
        }
    }
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    mapped_ = false;
}

// Renames without replacing: the archive path must still be free at the moment of the
// rename.
void RenameNoReplace(const std::string& from, const std::string& to) {
    const int error = RenameNoReplaceAt(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str());
    if (error == 0) {
        return;
    }
    if (error == EEXIST) {
        throw ArchiveError(to + ": the archive already exists");
    }
    throw ArchiveError(to + ": cannot put the archive in place: " + SystemReason(error));
}

}  // namespace vornback::archive_internal
