// One connection to the offsite server over SFTP (libcurl with libssh2): the host key is
// checked against the pinned fingerprint before anything is sent, the login is by key
// only, and every request has a connect timeout and a low-speed limit. The handle keeps
// its connection between requests.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "offsite/offsite_settings.h"

namespace vornback {

// A request that failed; linkLost says whether another try may get further (the
// connection broke or stalled) or not (host key, login, no space, refused).
class SftpError : public OffsiteError {
  public:
    SftpError(const std::string& text, bool linkLost) : OffsiteError(text), linkLost_(linkLost) {}
    bool LinkLost() const { return linkLost_; }

  private:
    bool linkLost_;
};

struct RemoteEntry {
    std::string name;
    uint64_t size = 0;
    bool folder = false;
};

class SftpSession {
  public:
    // Checks the settings (CheckOffsiteSettings) and that the identity file is private;
    // throws OffsiteError. Connects only with the first request.
    explicit SftpSession(const OffsiteSettings& settings,
                         const std::atomic<bool>* cancel = nullptr);
    ~SftpSession();
    SftpSession(const SftpSession&) = delete;
    SftpSession& operator=(const SftpSession&) = delete;

    const SftpAddress& Address() const { return address_; }

    // The entries of a remote folder ("." and ".." left out); empty when it does not
    // exist (then *exists is set to false when given). Throws SftpError.
    std::vector<RemoteEntry> List(const std::string& folder, bool* exists = nullptr);

    // Writes the local file to the remote path, creating missing folders (private to the
    // account, as the file). From offset on, appending to what the remote file holds: the
    // remote must then hold exactly offset bytes. Throws SftpError; ArchiveCancelled when
    // cancelled.
    void Upload(const std::string& localFile, const std::string& remotePath, uint64_t offset,
                const ArchiveProgressFn& progress = {});

    // Reads the remote file, handing each block to sink in order. Throws SftpError.
    void Download(const std::string& remotePath,
                  const std::function<void(const char* data, size_t size)>& sink,
                  const ArchiveProgressFn& progress = {});

    // SFTP commands run in order on the server ("rm PATH", "rename FROM TO", "mkdir
    // PATH"; a leading "*" lets that one fail). Paths are quoted here. Throws SftpError.
    void Commands(const std::vector<std::string>& commands);

    // The bytes the server says are free for the account in the folder (statvfs), or
    // nothing when it does not say. Throws SftpError when the request fails otherwise.
    std::optional<uint64_t> FreeBytes(const std::string& folder);

    // The remote file's modification time, seconds since the epoch, as the server's stat
    // gives it; nothing when the server does not say. Throws SftpError.
    std::optional<int64_t> ModifiedTime(const std::string& path);

    // A path quoted for a command.
    static std::string Quoted(const std::string& path);

  private:
    struct Request;
    void Perform(Request& request, const std::string& what);

    OffsiteSettings settings_;
    SftpAddress address_;
    std::string fingerprint_;
    const std::atomic<bool>* cancel_;
    void* curl_ = nullptr;
    int lastCode_ = 0;  // of the last request
};

}  // namespace vornback
