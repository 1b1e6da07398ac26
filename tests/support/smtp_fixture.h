// A real SMTP server with implicit TLS and login on 127.0.0.1 for the mail tests
// (tests/support/smtp_server.py under Debian's /usr/bin/python3), and what it received.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "mail/mail.h"

namespace vornback::test {

struct SmtpServerOptions {
    std::string user = "backup.sender@vornback.test";
    std::string password = "Pa55 \"word\"; x";
    bool offerLogin = true;     // false: no AUTH offered, mail accepted without login
    int lifetimeSeconds = 120;  // the server ends by itself after this at the latest
};

struct ReceivedAttachment {
    std::string filename;     // as named in the message
    std::string contentType;  // e.g. application/zip
    std::string bytes;        // decoded
};

struct ReceivedMail {
    std::string mailFrom;              // envelope sender
    std::vector<std::string> rcptTos;  // envelope recipients
    bool authenticated = false;        // the client logged in
    // Headers as received, RFC 2047 words decoded; empty when absent.
    std::optional<std::string> subject, from, to, date, messageId, mimeVersion;
    std::optional<double> dateEpoch;  // the Date header as seconds since the epoch
    bool headerWordsWhole = false;    // each RFC 2047 word decodes on its own
    std::optional<std::string> body;  // the text/plain part, decoded
    std::vector<ReceivedAttachment> attachments;
    std::string raw;  // the whole message as it arrived
};

class SmtpTestServer {
  public:
    // Starts the server; its certificate and what it receives go to folder. Throws
    // std::runtime_error when it does not report ready within 20 seconds.
    explicit SmtpTestServer(std::filesystem::path folder, SmtpServerOptions options = {});
    ~SmtpTestServer();
    SmtpTestServer(const SmtpTestServer&) = delete;
    SmtpTestServer& operator=(const SmtpTestServer&) = delete;

    int Port() const { return port_; }
    const std::string& CertificateFile() const { return certificate_; }
    // Settings that reach this server: 127.0.0.1, its port, the account, its certificate
    // as the trusted CA, short timeouts.
    SmtpSettings Settings() const;
    // Every message received so far, in order.
    std::vector<ReceivedMail> Received() const;
    // Ends the server and waits for it (also done by the destructor).
    void Stop();

  private:
    std::filesystem::path folder_;
    SmtpServerOptions options_;
    pid_t pid_ = -1;
    int stdinPipe_ = -1;  // closing it tells the server to end
    int port_ = 0;
    std::string certificate_;
};

// A loopback port that is bound but not listening: connections to it are refused for as
// long as this object lives.
class ClosedLoopbackPort {
  public:
    ClosedLoopbackPort();
    ~ClosedLoopbackPort();
    ClosedLoopbackPort(const ClosedLoopbackPort&) = delete;
    ClosedLoopbackPort& operator=(const ClosedLoopbackPort&) = delete;
    int Port() const { return port_; }

  private:
    int socket_ = -1;
    int port_ = 0;
};

}  // namespace vornback::test
