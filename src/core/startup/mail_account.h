// The mail account in section "Mail" of the settings file (Host, Port, User and
// PasswordFile), so that a person who installed the package can point the backup mail at
// their own server. The build-time values stay the defaults; the environment's
// VORNBACK_SMTP_* variables override both. The password is never kept in the settings
// file: PasswordFile names a file that must be the user's own and private.
#pragma once

#include <string>

#include "mail/mail.h"

namespace vornback {

// The section as the file holds it; "" for a missing key.
struct MailAccount {
    std::string host;
    std::string port;
    std::string user;
    std::string passwordFile;
};

MailAccount LoadMailAccount(const std::string& settingsFile);

// Writes the four keys (the rest of the file stays as it is).
void SaveMailAccount(const MailAccount& account, const std::string& settingsFile);

// The settings a mail goes out with: the build-time values, then each key the section
// sets, then the environment. A port that is not 1-65535 or a password file that cannot
// be read or is open to others sets SmtpSettings::problem (the mail then fails with it);
// never throws.
SmtpSettings MailSettingsFor(const std::string& settingsFile);

}  // namespace vornback
