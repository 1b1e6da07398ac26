// mail set|show|test: the mail account of section "Mail" of the settings file.
#include <iostream>

#include "base/clock.h"
#include "base/data_tree.h"
#include "base/errors.h"
#include "common.h"
#include "platform/private_file.h"
#include "startup/mail_account.h"

namespace vornback {

int MailCommand(const std::vector<std::string>& args) {
    const ParsedArgs parsed = ParseArgs(
        args, {"--host", "--port", "--user", "--password-file", "--to", "--program-folder"}, {});
    if (parsed.positional.size() != 1) {
        throw Usage{"mail takes one of set, show or test"};
    }
    const std::string action = parsed.positional[0];
    ProgramValues values;
    values.ProgramFolder = ProgramFolderOption(parsed);
    const std::string file = SettingsFile(values);
    MailAccount account = LoadMailAccount(file);
    const size_t folderOption = parsed.Has("--program-folder") ? 1 : 0;
    if (action == "set") {
        if (parsed.Has("--to")) {
            throw Usage{"mail set takes no --to"};
        }
        account.host = parsed.Value("--host", account.host);
        account.user = parsed.Value("--user", account.user);
        account.passwordFile = parsed.Value("--password-file", account.passwordFile);
        if (parsed.Has("--port")) {
            account.port = std::to_string(NumberOption("--port", parsed.Value("--port"), 1, 65535));
        }
        // Kept only when the account can be used: a password file open to others is
        // refused here, not at the first backup.
        if (!account.passwordFile.empty()) {
            try {
                ReadPrivateFile(account.passwordFile, "The mail password file");
            } catch (const Error& e) {
                throw Error(std::string(e.what()) + " The settings were not changed.");
            }
        }
        SaveMailAccount(account, file);
        std::cout << "mail settings written to " << file << "\n";
        return kOk;
    }
    if (action == "show") {
        if (parsed.values.size() > folderOption) {
            throw Usage{"mail show takes only --program-folder"};
        }
        const SmtpSettings used = MailSettingsFor(file);
        std::cout << "Host=" << account.host << "\nPort=" << account.port
                  << "\nUser=" << account.user << "\nPasswordFile=" << account.passwordFile
                  << "\n(in use: " << used.user << " at " << used.host << ":" << used.port
                  << (used.problem.empty() ? "" : "; " + used.problem) << ")\n";
        return kOk;
    }
    if (action == "test") {
        if (parsed.values.size() != folderOption + 1 || !parsed.Has("--to") ||
            parsed.Value("--to").empty()) {
            throw Usage{"mail test needs --to ADDRESS (and takes only --program-folder)"};
        }
        CurlMailTransport transport(MailSettingsFor(file), TheSystemClock());
        MailToSend mail;
        mail.recipient = parsed.Value("--to");
        mail.subject = "vornback mail test";
        mail.body = "This message tests the mail account of the backups.\r\n";
        mail.senderName = "vornback";
        const SendResult result = transport.Send(mail);
        if (!result.ok) {
            throw Error("The test message was not sent: " + result.error);
        }
        std::cout << "a test message went to " << mail.recipient << "\n";
        return kOk;
    }
    throw Usage{"mail takes one of set, show or test, not \"" + action + "\""};
}

}  // namespace vornback
