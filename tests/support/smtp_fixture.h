// A real SMTP server with implicit TLS and login on 127.0.0.1 for the mail tests
// (smtp_server.py beside this file, under Debian's /usr/bin/python3), and what it received.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "mail/mail.h"

namespace vornback::test {

// One received message, field name to value: "mail_from", "rcpt_tos" (one per line),
// "authenticated", "subject", "from", "to" (RFC 2047 words decoded), "date", "date_offset"
// (seconds east of UTC), "date_fresh" (within two minutes), "message_id", "mime_version",
// "words_whole" (each encoded word decodes alone), "body", "raw", and per attachment
// "att/<filename>" (decoded bytes) and "type/<filename>". Absent headers are absent.
using ReceivedMail = std::map<std::string, std::string>;

class SmtpTestServer {
  public:
    // Starts the server in folder; without offerLogin it takes mail without a login.
    // Throws std::runtime_error when it is not ready within 20 seconds.
    explicit SmtpTestServer(std::filesystem::path folder, bool offerLogin = true);
    ~SmtpTestServer();
    // 127.0.0.1, its port, the account, its certificate as the trusted CA, short timeouts.
    const SmtpSettings& Settings() const { return settings_; }
    // Every message received so far, in order.
    std::vector<ReceivedMail> Received() const;

  private:
    std::filesystem::path folder_;
    SmtpSettings settings_;
    pid_t pid_ = -1;
};

// A loopback port that is bound but not listening: connections to it are refused.
struct ClosedLoopbackPort {
    ClosedLoopbackPort();
    ~ClosedLoopbackPort();
    int socket = -1;
    int port = 0;
};

}  // namespace vornback::test
