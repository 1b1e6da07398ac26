// The libzip source an archive is written through: the temporary file itself, written in
// large pieces, its write-back to the disk started as it grows (so that the sync at the
// end finds little left to write and the disk works while the workers deflate), and synced
// when libzip commits. libzip's own file source would write through a second temporary
// file and stdio in 8 KiB pieces. Private to the archive folder.
#pragma once

#include <zip.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix.h"

namespace vornback::archive_internal {

class OutputSource {
  public:
    // path: the temporary archive, already created by the caller, which also removes it
    // when the archive is not kept. Without sync nothing is written to the disk on purpose.
    OutputSource(std::string path, bool sync) : path_(std::move(path)), sync_(sync) {}
    OutputSource(const OutputSource&) = delete;
    OutputSource& operator=(const OutputSource&) = delete;

    // A libzip source on this object (which must outlive it); null with error set when
    // libzip cannot make one.
    zip_source_t* Create(zip_error_t* error);

    // The system's reason for the first write that failed, empty when none did.
    const std::string& Failure() const { return failure_; }

  private:
    static zip_int64_t Callback(void* userdata, void* data, zip_uint64_t length,
                                zip_source_cmd_t command);
    zip_int64_t Fail(int zipError, int systemError, const std::string& what);
    zip_int64_t Begin();
    zip_int64_t Write(const void* data, zip_uint64_t length);
    zip_int64_t Seek(void* data, zip_uint64_t length);
    zip_int64_t Commit();
    // Writes the pending bytes at their offset; false (with the failure set) on an error.
    bool Flush();

    std::string path_;
    bool sync_;
    Fd fd_;
    std::vector<uint8_t> pending_;  // bytes not yet written, starting at pendingAt_
    uint64_t pendingAt_ = 0;
    uint64_t position_ = 0;  // where libzip writes next
    uint64_t end_ = 0;       // the length of the archive so far
    uint64_t started_ = 0;   // the write-back has been started up to here
    std::string failure_;
    zip_error_t error_{};
};

}  // namespace vornback::archive_internal
