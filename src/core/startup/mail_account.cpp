#include "startup/mail_account.h"

#include "base/errors.h"
#include "platform/private_file.h"
#include "startup/settings.h"

namespace vornback {

namespace {
constexpr const char* kSection = "Mail";
}

MailAccount LoadMailAccount(const std::string& settingsFile) {
    return MailAccount{ReadSetting(kSection, "Host", settingsFile),
                       ReadSetting(kSection, "Port", settingsFile),
                       ReadSetting(kSection, "User", settingsFile),
                       ReadSetting(kSection, "PasswordFile", settingsFile)};
}

void SaveMailAccount(const MailAccount& account, const std::string& settingsFile) {
    WriteSetting(kSection, "Host", account.host, settingsFile);
    WriteSetting(kSection, "Port", account.port, settingsFile);
    WriteSetting(kSection, "User", account.user, settingsFile);
    WriteSetting(kSection, "PasswordFile", account.passwordFile, settingsFile);
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
