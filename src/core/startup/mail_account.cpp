#include "startup/mail_account.h"

#include "base/errors.h"
#include "platform/private_file.h"
#include "startup/settings.h"

namespace vornback {

namespace {
SettingsSection MailSection(const std::string& settingsFile) {
    return SettingsSection("Mail", settingsFile);
}
}  // namespace

MailAccount LoadMailAccount(const std::string& settingsFile) {
    const SettingsSection section = MailSection(settingsFile);
    return MailAccount{section.Text("Host"), section.Text("Port"), section.Text("User"),
                       section.Text("PasswordFile")};
}

void SaveMailAccount(const MailAccount& account, const std::string& settingsFile) {
    const SettingsSection section = MailSection(settingsFile);
    section.Write("Host", account.host);
    section.Write("Port", account.port);
    section.Write("User", account.user);
    section.Write("PasswordFile", account.passwordFile);
}

SmtpSettings MailSettingsFor(const std::string& settingsFile) {
    SmtpSettings settings = BuiltInSmtpSettings();
    const MailAccount account = LoadMailAccount(settingsFile);
    if (!account.host.empty()) {
        settings.host = account.host;
    }
    if (!account.port.empty()) {
        long port = 0;
        bool digits = account.port.size() <= 5;
        for (const char c : account.port) {
            digits = digits && c >= '0' && c <= '9';
            port = port * 10 + (c - '0');
        }
        if (digits && port >= 1 && port <= 65535) {
            settings.port = static_cast<int>(port);
        } else {
            settings.problem =
                "The mail port \"" + account.port + "\" in the settings is not a port (1 to 65535)";
        }
    }
    if (!account.user.empty()) {
        settings.user = account.user;
    }
    if (!account.passwordFile.empty()) {
        try {
            settings.password = ReadPrivateFile(account.passwordFile, "The mail password file");
        } catch (const Error& e) {
            settings.problem = e.what();
        }
    }
    ApplySmtpEnvironment(settings);
    return settings;
}

}  // namespace vornback
