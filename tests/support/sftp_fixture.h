// A real OpenSSH server for the offsite tests, started by the test on 127.0.0.1 and a free
// port with a host key and a user key of its own (internal-sftp, keys only), and a small
// TCP proxy that cuts the link after a number of bytes, as a dropped connection would.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "offsite/offsite_settings.h"

namespace vornback::test {

class SftpTestServer {
  public:
    // Why the server cannot run here ("" when it can): sshd or ssh-keygen missing.
    static std::string Unavailable();

    // Generates the keys in folder and starts sshd; throws std::runtime_error when it is
    // not listening within 20 seconds.
    explicit SftpTestServer(std::filesystem::path folder);
    ~SftpTestServer();
    SftpTestServer(const SftpTestServer&) = delete;
    SftpTestServer& operator=(const SftpTestServer&) = delete;

    int Port() const { return port_; }
    std::string IdentityFile() const { return (folder_ / "user_key").string(); }
    std::string User() const { return user_; }
    // A folder the account may write, empty at the start: the tests' remote side.
    std::filesystem::path Remote() const { return folder_ / "remote"; }

    // Settings for the remote folder (below Remote()) through the given port (the
    // server's own by default), with short waits between tries.
    OffsiteSettings Settings(const std::string& folder = "backups", int port = 0) const;

  private:
    std::filesystem::path folder_;
    std::string user_;
    std::string fingerprint_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// Forwards 127.0.0.1:Port() to the target port; each of the first `cuts` connections is
// cut (both sides closed) once `cutAfter` bytes went from the client to the server.
class CuttingProxy {
  public:
    CuttingProxy(int targetPort, uint64_t cutAfter, int cuts);
    ~CuttingProxy();
    CuttingProxy(const CuttingProxy&) = delete;
    CuttingProxy& operator=(const CuttingProxy&) = delete;

    int Port() const { return port_; }
    int Connections() const { return connections_; }
    uint64_t BytesUp() const { return bytesUp_; }  // client to server, all connections

  private:
    void Serve();

    int target_;
    uint64_t cutAfter_;
    int cuts_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<uint64_t> bytesUp_{0};
    std::thread thread_;
};

}  // namespace vornback::test
