#include "support/smtp_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

namespace fs = std::filesystem;

namespace vornback::test {

SmtpTestServer::SmtpTestServer(fs::path folder, bool offerLogin) : folder_(std::move(folder)) {
    fs::create_directories(folder_);
    settings_ =
        SmtpSettings{"127.0.0.1", 0, "backup.sender@vornback.test", "Pa55 \"word\"; x", "", 5, 60};
    // The script lies beside this file in the source tree (named by the build, since
    // __FILE__ is relative when the compiler is given relative paths).
    const std::string script = fs::path(VORNBACK_TEST_SUPPORT_DIR) / "smtp_server.py";
    const char* argv[] = {"/usr/bin/python3",
                          script.c_str(),
                          folder_.c_str(),
                          settings_.user.c_str(),
                          settings_.password.c_str(),
                          offerLogin ? nullptr : "--no-auth",
                          nullptr};
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        throw std::runtime_error("the test SMTP server could not be started");
    }
    const fs::path ready = folder_ / "ready";
    for (int i = 0; i < 400 && !fs::exists(ready); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::istringstream(fs::exists(ready) ? ReadFile(ready) : "") >> settings_.port >>
        settings_.caFile;
    if (settings_.port <= 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        throw std::runtime_error("the test SMTP server did not get ready in " + folder_.string());
    }
}

SmtpTestServer::~SmtpTestServer() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

std::vector<ReceivedMail> SmtpTestServer::Received() const {
    std::vector<ReceivedMail> mails;
    for (int n = 1; fs::is_directory(folder_ / ("msg-" + std::to_string(n))); ++n) {
        const fs::path message = folder_ / ("msg-" + std::to_string(n));
        ReceivedMail& mail = mails.emplace_back();
        for (const auto& entry : fs::recursive_directory_iterator(message)) {
            if (entry.is_regular_file()) {
                mail[fs::relative(entry.path(), message)] = ReadFile(entry.path());
            }
        }
    }
    return mails;
}

ClosedLoopbackPort::ClosedLoopbackPort() : socket(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (bind(socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no loopback port could be bound");
    }
    port = ntohs(address.sin_port);
}

ClosedLoopbackPort::~ClosedLoopbackPort() {
    close(socket);
}

}  // namespace vornback::test
