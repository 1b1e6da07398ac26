#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <new>
#include <regex>
#include <thread>

#include "base/dialogs.h"
#include "mail/mail.h"
#include "support/scripted_dialogs.h"
#include "support/smtp_fixture.h"
#include "support/temp_dir.h"

namespace vornback {
namespace {

using test::ClosedLoopbackPort;
using test::ReceivedMail;
using test::ScriptedDialogs;
using test::SmtpServerOptions;
using test::SmtpTestServer;
using test::TempDir;
using test::WriteFile;

constexpr const char* kCompleted = "E-Mail Send Completed.";
constexpr const char* kSettingsProblem =
    "There is Some Problem with Your SMTP Settings, Please Check it with Your SMTP Provider";
constexpr const char* kNoAttachment =
    "Attachment File may be Zero Length or Doesn't Present, Please Check if File Exist.";
constexpr const char* kRecipient = "owner@firm.test";

// Every byte value, in runs and scattered, so that any encoding slip shows.
std::string BinaryArchive(size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 12345;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(i < 4096 ? i % 256 : state >> 16 & 0xFF);
    }
    return bytes;
}

void ExpectPlainOkBoxes(const ScriptedDialogs& dialogs) {
    for (const Message& m : dialogs.shown) {
        EXPECT_EQ(m.title, kProgramTitle) << m.text;
        EXPECT_EQ(m.buttons, Buttons::Ok) << m.text;
        EXPECT_EQ(m.icon, Icon::None) << m.text;
    }
}

// The fixed texts of every backup mail, as the recipient's program reads them.
void ExpectBackupMailTexts(const ReceivedMail& mail, const std::string& user) {
    EXPECT_TRUE(mail.authenticated);
    EXPECT_EQ(mail.mailFrom, user);
    EXPECT_EQ(mail.rcptTos, std::vector<std::string>{kRecipient});
    EXPECT_EQ(mail.subject, "Auto Backup From ");
    EXPECT_EQ(mail.body, "Dear User, Auto Back up sent For Firm ");
    EXPECT_EQ(mail.from, "\"Backup From \" <" + user + ">");
    EXPECT_EQ(mail.to, std::string("<") + kRecipient + ">");
    EXPECT_EQ(mail.mimeVersion, "1.0");
    ASSERT_TRUE(mail.dateEpoch.has_value()) << mail.date.value_or("no Date header");
    EXPECT_NEAR(*mail.dateEpoch, static_cast<double>(std::time(nullptr)), 120.0);
    ASSERT_TRUE(mail.messageId.has_value());
    EXPECT_TRUE(std::regex_match(*mail.messageId, std::regex("<[^<>@ ]+@vornback\\.test>")))
        << *mail.messageId;
}

TEST(SendBackupMail, DeliversTheArchiveByteForByte) {
    TempDir dir;
    SmtpTestServer server(dir.Path() / "server");
    const std::string archive = dir / "Firm3.zip";
    const std::string bytes = BinaryArchive(300 * 1024);
    WriteFile(archive, bytes);

    CurlMailTransport transport(server.Settings());
    ScriptedDialogs dialogs;
    int keepAlives = 0;
    EXPECT_TRUE(SendBackupMail(archive, kRecipient, transport, dialogs, [&] { ++keepAlives; }));

    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{kCompleted});
    ExpectPlainOkBoxes(dialogs);
    EXPECT_GE(keepAlives, 2);  // before the send and after it, plus while it runs
    auto mails = server.Received();
    ASSERT_EQ(mails.size(), 1u);
    ExpectBackupMailTexts(mails[0], server.Settings().user);
    ASSERT_EQ(mails[0].attachments.size(), 1u);
    EXPECT_EQ(mails[0].attachments[0].filename, "Firm3.zip");
    EXPECT_EQ(mails[0].attachments[0].contentType, "application/zip");
    EXPECT_TRUE(mails[0].attachments[0].bytes == bytes) << "attachment differs from the archive";
    // The password never travels in the message itself.
    EXPECT_EQ(mails[0].raw.find(server.Settings().password), std::string::npos);
}

TEST(SendBackupMail, MissingOrEmptyAttachmentIsReportedAndTheMailStillGoes) {
    TempDir dir;
    SmtpTestServer server(dir.Path() / "server");
    CurlMailTransport transport(server.Settings());
    const std::string empty = dir / "Firm4.zip";
    WriteFile(empty, "");

    for (const std::string& path : {dir / "Nowhere.zip", empty, std::string()}) {
        ScriptedDialogs dialogs;
        EXPECT_TRUE(SendBackupMail(path, kRecipient, transport, dialogs, {})) << path;
        EXPECT_EQ(dialogs.Texts(), (std::vector<std::string>{kNoAttachment, kCompleted})) << path;
        ExpectPlainOkBoxes(dialogs);
    }

    auto mails = server.Received();
    ASSERT_EQ(mails.size(), 3u);
    for (const auto& mail : mails) {
        ExpectBackupMailTexts(mail, server.Settings().user);
        EXPECT_TRUE(mail.attachments.empty());
    }
    EXPECT_NE(mails[0].messageId, mails[1].messageId);
    EXPECT_NE(mails[1].messageId, mails[2].messageId);
}

// A refused login, a server nobody runs and an untrusted certificate: the settings message
// alone, soon, with curl's code in the error and never the password.
TEST(SendBackupMail, RefusedLoginUnreachableServerOrUntrustedCertificateFail) {
    TempDir dir;
    const std::string archive = dir / "Firm3.zip";
    WriteFile(archive, BinaryArchive(1000));
    SmtpTestServer server(dir.Path() / "server");

    ClosedLoopbackPort closed;
    SmtpSettings nobodyListens = server.Settings();
    nobodyListens.port = closed.Port();
    SmtpSettings untrusted = server.Settings();
    untrusted.caFile = "";  // the system's store does not know the throw-away certificate
    SmtpSettings wrongPassword = server.Settings();
    wrongPassword.password = "not-the-password";

    for (const auto& [settings, code] :
         {std::pair{wrongPassword, 67}, std::pair{nobodyListens, 7}, std::pair{untrusted, 60}}) {
        CurlMailTransport transport(settings);
        ScriptedDialogs dialogs;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(SendBackupMail(archive, kRecipient, transport, dialogs, {}));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{kSettingsProblem});
        ExpectPlainOkBoxes(dialogs);

        SendResult result = transport.Send(MailToSend{kRecipient, "s", "b", "n", "", archive});
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find("curl code " + std::to_string(code)), std::string::npos)
            << result.error;
        EXPECT_EQ(result.error.find(settings.password), std::string::npos) << result.error;
    }
    EXPECT_TRUE(server.Received().empty());
}

TEST(CurlMailTransport, RefusesToSendWithoutLogin) {
    // A server that offers no AUTH would take the mail unauthenticated; the account's
    // login is required, so nothing may arrive.
    TempDir dir;
    SmtpServerOptions options;
    options.offerLogin = false;
    SmtpTestServer server(dir.Path() / "server", options);
    CurlMailTransport transport(server.Settings());

    SendResult result = transport.Send(MailToSend{kRecipient, "s", "body", "n", "", ""});
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("offered no login"), std::string::npos) << result.error;
    EXPECT_TRUE(server.Received().empty());
}

TEST(CurlMailTransport, RecipientIsPassedOnAsItStands) {
    TempDir dir;
    SmtpTestServer server(dir.Path() / "server");
    CurlMailTransport transport(server.Settings());

    // Empty: goes to the server, which refuses it.
    SendResult empty = transport.Send(MailToSend{"", "s", "b", "n", "", ""});
    EXPECT_FALSE(empty.ok);
    EXPECT_NE(empty.error.find("553"), std::string::npos) << empty.error;
    // A line break would smuggle a second command or header: refused before anything
    // reaches libcurl or the server.
    for (const MailToSend& hostile :
         {MailToSend{"a@firm.test>\r\nRCPT TO:<b@firm.test", "s", "b", "n", "", ""},
          MailToSend{"a@firm.test\nBcc: b@firm.test", "s", "b", "n", "", ""},
          MailToSend{kRecipient, "a\r\nBcc: x@y.test", "b", "", "", ""}}) {
        SendResult r = transport.Send(hostile);
        EXPECT_FALSE(r.ok) << hostile.recipient;
        EXPECT_EQ(r.error.find("curl code"), std::string::npos) << r.error;
    }
    EXPECT_TRUE(server.Received().empty());

    // Plus addresses and the like go through untouched.
    EXPECT_TRUE(transport.Send(MailToSend{"o.w-n+er@sub.firm.test", "s", "b", "", "", ""}).ok);
    auto mails = server.Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcptTos, std::vector<std::string>{"o.w-n+er@sub.firm.test"});
}

TEST(CurlMailTransport, NonAsciiTextsAndLocalTimeZone) {
    // India: a half-hour offset catches a wrong sign or minutes field in the Date header.
    const char* oldTz = getenv("TZ");
    const std::string savedTz = oldTz != nullptr ? oldTz : "";
    setenv("TZ", "Asia/Kolkata", 1);
    tzset();

    TempDir dir;
    SmtpTestServer server(dir.Path() / "server");
    CurlMailTransport transport(server.Settings());
    // Long enough for two encoded words, with a character where the first one fills up.
    const std::string subject =
        "Sicherung für Firma 3 – März, schöne Grüße aus Köln und Düsseldorf ";
    const std::string body = "Grüße\r\nZeile mit Leerzeichen am Ende \r\n";
    const std::string archive = dir / "Firm3.bin";
    WriteFile(archive, BinaryArchive(70000));
    SendResult result = transport.Send(
        MailToSend{kRecipient, subject, body, "Müller \"Backup\" Söhne", "", archive});

    if (oldTz != nullptr) {
        setenv("TZ", savedTz.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();

    ASSERT_TRUE(result.ok) << result.error;
    auto mails = server.Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].subject, subject);
    EXPECT_TRUE(mails[0].headerWordsWhole) << mails[0].raw.substr(0, 800);
    EXPECT_EQ(mails[0].body, body);
    EXPECT_EQ(mails[0].from, "Müller \"Backup\" Söhne <" + server.Settings().user + ">");
    EXPECT_TRUE(mails[0].date.value_or("").ends_with(" +0530")) << mails[0].date.value_or("");
    ASSERT_TRUE(mails[0].dateEpoch.has_value());
    EXPECT_NEAR(*mails[0].dateEpoch, static_cast<double>(std::time(nullptr)), 120.0);
    ASSERT_EQ(mails[0].attachments.size(), 1u);
    EXPECT_EQ(mails[0].attachments[0].contentType, "application/octet-stream");
    EXPECT_EQ(mails[0].attachments[0].filename, "Firm3.bin");
    // Headers and body travel as 7-bit text.
    for (char c : mails[0].raw) {
        ASSERT_LT(static_cast<unsigned char>(c), 0x80u) << "8-bit byte in the message";
    }
}

// Sends slowly, or fails in a way no send should, to watch the caller's side.
class SlowTransport : public MailTransport {
  public:
    SendResult Send(const MailToSend& mail) override {
        sendThread = std::this_thread::get_id();
        received = mail;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        if (throwOutOfMemory) {
            throw std::bad_alloc();
        }
        return SendResult{succeed, succeed ? "" : "refused"};
    }
    std::thread::id sendThread;
    MailToSend received;
    bool succeed = true;
    bool throwOutOfMemory = false;
};

TEST(SendBackupMail, WindowKeepsRepaintingWhileTheWorkerSends) {
    TempDir dir;
    const std::string archive = dir / "Firm3.zip";
    WriteFile(archive, "x");
    SlowTransport transport;
    ScriptedDialogs dialogs;
    int keepAlives = 0;
    bool onCallerThread = true;
    const auto caller = std::this_thread::get_id();
    EXPECT_TRUE(SendBackupMail(archive, "", transport, dialogs, [&] {
        ++keepAlives;
        onCallerThread = onCallerThread && std::this_thread::get_id() == caller;
    }));
    // 400 ms at about one call per 50 ms, plus the calls before and after.
    EXPECT_GE(keepAlives, 6);
    EXPECT_LE(keepAlives, 14);
    EXPECT_TRUE(onCallerThread);
    EXPECT_NE(transport.sendThread, caller);
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{kCompleted});
    // The empty recipient is handed on as it is, with the fixed texts.
    EXPECT_EQ(transport.received.recipient, "");
    EXPECT_EQ(transport.received.recipientName, "");
    EXPECT_EQ(transport.received.senderName, "Backup From ");
    EXPECT_EQ(transport.received.attachmentPath, archive);

    transport.succeed = false;
    ScriptedDialogs failed;
    EXPECT_FALSE(SendBackupMail(archive, kRecipient, transport, failed, {}));
    EXPECT_EQ(failed.Texts(), std::vector<std::string>{kSettingsProblem});

    transport.throwOutOfMemory = true;
    ScriptedDialogs broken;
    EXPECT_FALSE(SendBackupMail(archive, kRecipient, transport, broken, {}));
    ASSERT_EQ(broken.shown.size(), 1u);
    EXPECT_EQ(broken.shown[0].text,
              "Some Required Files is Missing, Re-installing Program May Solve the Problem.");
    EXPECT_EQ(broken.shown[0].title, "Sender");
    EXPECT_EQ(broken.shown[0].buttons, Buttons::Ok);
}

TEST(SmtpSettings, EnvironmentOverridesTheBuildValues) {
    const char* names[] = {"VORNBACK_SMTP_HOST", "VORNBACK_SMTP_PORT", "VORNBACK_SMTP_USER",
                           "VORNBACK_SMTP_PASSWORD", "VORNBACK_SMTP_CAFILE"};
    for (const char* name : names) {
        unsetenv(name);
    }
    const SmtpSettings built = SmtpSettingsFromEnvironment();
    EXPECT_GE(built.port, 1);
    EXPECT_LE(built.port, 65535);
    EXPECT_EQ(built.caFile, "");

    setenv("VORNBACK_SMTP_HOST", "mail.firm.test", 1);
    setenv("VORNBACK_SMTP_PORT", "2465", 1);
    setenv("VORNBACK_SMTP_USER", "sender@firm.test", 1);
    setenv("VORNBACK_SMTP_PASSWORD", "p a;s\"s", 1);
    setenv("VORNBACK_SMTP_CAFILE", "/etc/firm/ca.pem", 1);
    SmtpSettings s = SmtpSettingsFromEnvironment();
    EXPECT_EQ(s.host, "mail.firm.test");
    EXPECT_EQ(s.port, 2465);
    EXPECT_EQ(s.user, "sender@firm.test");
    EXPECT_EQ(s.password, "p a;s\"s");
    EXPECT_EQ(s.caFile, "/etc/firm/ca.pem");

    // A port that is not a plain number in range leaves the build's port; so does an
    // empty variable for any setting.
    for (const char* port : {"0", "65536", "25x", "-25", " 25", "abc", ""}) {
        setenv("VORNBACK_SMTP_PORT", port, 1);
        EXPECT_EQ(SmtpSettingsFromEnvironment().port, built.port) << "'" << port << "'";
    }
    setenv("VORNBACK_SMTP_PORT", "65535", 1);
    EXPECT_EQ(SmtpSettingsFromEnvironment().port, 65535);
    setenv("VORNBACK_SMTP_HOST", "", 1);
    EXPECT_EQ(SmtpSettingsFromEnvironment().host, built.host);

    for (const char* name : names) {
        unsetenv(name);
    }
}

}  // namespace
}  // namespace vornback
