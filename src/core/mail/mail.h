// Mailing a finished backup: the archive goes out as an attachment over SMTP with
// implicit TLS (smtps://), login required, the server's certificate verified. The server,
// the account and its password are fixed at build time and can be overridden by the
// environment (VORNBACK_SMTP_HOST, _PORT, _USER, _PASSWORD, _CAFILE) for tests and
// deployments.
#pragma once

#include <functional>
#include <string>

#include "base/clock.h"

namespace vornback {

class Dialogs;

struct SmtpSettings {
    std::string host;
    int port = 465;
    std::string user;  // also the sender address
    std::string password;
    std::string caFile;  // "" uses the system's certificate store
    long connectTimeoutSeconds = 30;
    long totalTimeoutSeconds = 1800;
    // Why these settings cannot be used (a password file open to others, a port that is
    // not one); a send then fails with this reason before connecting. "" when usable.
    std::string problem{};
};

// The build-time values with the environment's overrides applied.
SmtpSettings SmtpSettingsFromEnvironment();
// The build-time values alone.
SmtpSettings BuiltInSmtpSettings();
// Applies the environment's overrides (VORNBACK_SMTP_HOST, _PORT, _USER, _PASSWORD,
// _CAFILE) to settings.
void ApplySmtpEnvironment(SmtpSettings& settings);

struct MailToSend {
    std::string recipient;  // passed on unchanged, even when empty
    std::string subject;
    std::string body;
    std::string senderName;        // display name of the sender
    std::string recipientName;     // display name of the recipient
    std::string attachmentPath;    // "" sends no attachment
    std::string attachmentName{};  // the name the attachment carries; "" for the file's own
};

struct SendResult {
    bool ok = false;
    // Why the send failed, as a person reads it under the settings message: the server's
    // answer ("The server refused the login (535 ...)") or what kept the mail from going
    // ("No mail server answers at host:port"). Never holds the password.
    std::string error;
    bool operator==(const SendResult&) const = default;
};

// The transport that really sends; tests of the callers may substitute it.
class MailTransport {
  public:
    virtual ~MailTransport() = default;
    // Blocks until the server has answered. Must not throw for a failed send.
    virtual SendResult Send(const MailToSend& mail) = 0;
};

// libcurl over smtps:// with the given settings; the mail's Date is the clock's time.
class CurlMailTransport : public MailTransport {
  public:
    CurlMailTransport(SmtpSettings settings, Clock& clock)
        : settings_(std::move(settings)), clock_(clock) {}
    SendResult Send(const MailToSend& mail) override;

  private:
    SmtpSettings settings_;
    Clock& clock_;
};

// Whether a file can be attached: it exists and is not empty.
bool AttachmentUsable(const std::string& path);

// What became of a backup mail: sent, or not with the cause that was shown.
struct MailOutcome {
    bool sent = false;
    std::string detail;  // the cause of a failure; empty when sent
    bool operator==(const MailOutcome&) const = default;
};

// Mails a backup archive to the recipient with the fixed subject, body and display
// names, showing the messages of the mail operation through dialogs (each failure's cause
// as the message's detail). The send runs on a worker thread; keepAlive is called about
// every 50 ms meanwhile so the window keeps repainting. Sent when the server accepted the
// mail. A mail library that cannot be set up gives the "Sender" message and not sent;
// other failures (out of memory) and ProgramEnd from a dialog pass through.
// attachmentName: the name the archive carries in the mail ("" for the file's own).
MailOutcome SendBackupMail(const std::string& attachmentPath, const std::string& recipient,
                           MailTransport& transport, Dialogs& dialogs,
                           const std::function<void()>& keepAlive,
                           const std::string& attachmentName = "");

}  // namespace vornback
