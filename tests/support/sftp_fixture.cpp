#include "support/sftp_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>

#include "support/temp_dir.h"

namespace vornback::test {

namespace {

constexpr const char* kSshd = "/usr/sbin/sshd";

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

int ConnectTo(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

}  // namespace

// A free loopback port (bound and released).
static int FreeLoopbackPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(s);
        throw std::runtime_error("no free loopback port");
    }
    ::close(s);
    return ntohs(address.sin_port);
}

std::string SftpTestServer::Unavailable() {
    if (::access(kSshd, X_OK) != 0) {
        return std::string(kSshd) + " is missing (package openssh-server)";
    }
    if (RunCommand("command -v ssh-keygen") != 0) {
        return "ssh-keygen is missing (package openssh-client)";
    }
    return "";
}

SftpTestServer::SftpTestServer(std::filesystem::path folder) : folder_(std::move(folder)) {
    namespace fs = std::filesystem;
    const passwd* account = ::getpwuid(::geteuid());
    if (account == nullptr) {
        throw std::runtime_error("the test account has no password entry");
    }
    user_ = account->pw_name;
    fs::create_directories(Remote());
    const std::string dir = folder_.string();
    std::string output;
    if (RunCommand("ssh-keygen -q -t ed25519 -N '' -f '" + dir + "/host_key' && ssh-keygen -q -t " +
                       "ed25519 -N '' -f '" + dir + "/user_key' && cp '" + dir +
                       "/user_key.pub' '" + dir + "/authorized_keys' && ssh-keygen -lf '" + dir +
                       "/host_key.pub'",
                   &output) != 0) {
        throw std::runtime_error("ssh-keygen failed: " + output);
    }
    const size_t start = output.find("SHA256:");
    fingerprint_ = output.substr(start, output.find(' ', start) - start);
    ::chmod((dir + "/user_key").c_str(), 0600);

    port_ = FreeLoopbackPort();
    const bool root = ::geteuid() == 0;
    if (root) {
        // The privilege separation folder sshd insists on when started as root.
        fs::create_directories("/run/sshd");
    }
    std::ofstream config(folder_ / "sshd_config");
    config << "ListenAddress 127.0.0.1\nPort " << port_ << "\nHostKey " << dir
           << "/host_key\nPidFile " << dir << "/sshd.pid\nAuthorizedKeysFile " << dir
           << "/authorized_keys\nUsePAM no\nPasswordAuthentication no\n"
           << "KbdInteractiveAuthentication no\nPubkeyAuthentication yes\nStrictModes no\n"
           << "PermitRootLogin " << (root ? "yes" : "no") << "\n"
           << "Subsystem sftp internal-sftp\nLogLevel VERBOSE\n";
    config.close();

    pid_ = ::fork();
    if (pid_ == 0) {
        const int log = ::open((dir + "/sshd.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(log, 2);
        const std::string file = dir + "/sshd_config";
        ::execl(kSshd, kSshd, "-D", "-e", "-f", file.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        const int s = ConnectTo(port_);
        if (s >= 0) {
            ::close(s);
            return;
        }
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        ::usleep(20000);
    }
    std::string log;
    RunCommand("cat '" + dir + "/sshd.log'", &log);
    throw std::runtime_error("sshd did not start: " + log);
}

SftpTestServer::~SftpTestServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

OffsiteSettings SftpTestServer::Settings(const std::string& folder, int port) const {
    OffsiteSettings s;
    s.url = "sftp://" + user_ + "@127.0.0.1:" + std::to_string(port != 0 ? port : port_) +
            (Remote() / folder).string();
    s.hostKeySha256 = fingerprint_;
    s.identityFile = IdentityFile();
    s.connectTimeoutSeconds = 10;
    s.lowSpeedSeconds = 10;
    s.retrySpacing = std::chrono::milliseconds(50);
    return s;
}

CuttingProxy::CuttingProxy(int targetPort, uint64_t cutAfter, int cuts)
    : target_(targetPort), cutAfter_(cutAfter), cuts_(cuts) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("the proxy cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

CuttingProxy::~CuttingProxy() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
}

void CuttingProxy::Serve() {
    while (!stop_) {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0) {
            continue;
        }
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        const int server = ConnectTo(target_);
        const bool cut = connections_++ < cuts_;
        uint64_t up = 0;
        char buffer[65536];
        while (server >= 0 && !stop_) {
            pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(both, 2, 50) <= 0) {
                continue;
            }
            bool closed = false;
            for (int side = 0; side < 2 && !closed; ++side) {
                if ((both[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                    continue;
                }
                size_t want = sizeof buffer;
                if (side == 0 && cut) {
                    want = static_cast<size_t>(std::min<uint64_t>(want, cutAfter_ - up));
                }
                const ssize_t n = ::read(both[side].fd, buffer, want);
                if (n <= 0) {
                    closed = true;
                    break;
                }
                const int to = side == 0 ? server : client;
                ssize_t sent = 0;
                while (sent < n) {
                    const ssize_t w =
                        ::send(to, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
                    if (w <= 0) {
                        closed = true;
                        break;
                    }
                    sent += w;
                }
                if (side == 0) {
                    up += static_cast<uint64_t>(n);
                    bytesUp_ += static_cast<uint64_t>(n);
                    closed = closed || (cut && up >= cutAfter_);
                }
            }
            if (closed) {
                break;
            }
        }
        // A reset rather than an orderly close, as a link that died would look.
        linger hard{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(client);
        if (server >= 0) {
            ::close(server);
        }
    }
}

}  // namespace vornback::test
