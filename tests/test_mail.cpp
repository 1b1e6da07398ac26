#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <new>
#include <ostream>
#include <regex>
#include <thread>

#include "base/dialogs.h"
#include "base/errors.h"
#include "mail/mail.h"
#include "support/scripted_dialogs.h"
#include "support/smtp_fixture.h"
#include "support/temp_dir.h"

namespace vornback {

void PrintTo(const Message& m, std::ostream* os) {
    *os << "{\"" << m.text << "\", \"" << m.title << "\", detail \"" << m.detail << "\"}";
}
void PrintTo(const SendResult& r, std::ostream* os) {
    *os << "{ok " << r.ok << ", \"" << r.error << "\"}";
}
void PrintTo(const MailOutcome& o, std::ostream* os) {
    *os << "{sent " << o.sent << ", \"" << o.detail << "\"}";
}

namespace {

using test::ClosedLoopbackPort;
using test::ReceivedMail;
using test::ScriptedDialogs;
using test::SmtpTestServer;
using test::TempDir;
using test::WriteFile;

constexpr const char* kRecipient = "owner@firm.test";

Message Plain(const char* text, const std::string& detail = "") {
    return Message{text, kProgramTitle, Buttons::Ok, Icon::None, Answer::Ok, detail};
}
const Message kCompleted = Plain("E-Mail Send Completed.");
Message SettingsProblem(const std::string& cause) {
    return Plain(
        "There is Some Problem with Your SMTP Settings, Please Check it with Your SMTP Provider",
        cause);
}

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

// Checks the fields that change with every mail (date, id, the raw text) and removes them,
// so that the rest compares as one value.
ReceivedMail Settled(ReceivedMail mail, const std::string& password) {
    EXPECT_TRUE(std::regex_match(mail["message_id"], std::regex("<[^<>@ ]+@vornback\\.test>")))
        << mail["message_id"];
    EXPECT_EQ(mail["raw"].find(password), std::string::npos) << "the password travelled";
    EXPECT_TRUE(std::all_of(mail["raw"].begin(), mail["raw"].end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80u;
    })) << "8-bit byte in the message";
    for (const char* volatileField : {"message_id", "raw", "date"}) {
        mail.erase(volatileField);
    }
    return mail;
}

long LocalOffsetSeconds() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_gmtoff;
}

// The backup mail as it arrives, with the given attachments (file name -> bytes).
ReceivedMail BackupMail(const SmtpSettings& s, const std::map<std::string, std::string>& files) {
    ReceivedMail mail{{"mail_from", s.user},
                      {"rcpt_tos", kRecipient},
                      {"authenticated", "yes"},
                      {"subject", "Auto Backup From "},
                      {"body", "Dear User, Auto Back up sent For Firm "},
                      {"from", "\"Backup From \" <" + s.user + ">"},
                      {"to", std::string("<") + kRecipient + ">"},
                      {"mime_version", "1.0"},
                      {"words_whole", "yes"},
                      {"date_fresh", "yes"},
                      {"date_offset", std::to_string(LocalOffsetSeconds())}};
    for (const auto& [name, bytes] : files) {
        mail["att/" + name] = bytes;
        mail["type/" + name] = "application/zip";
    }
    return mail;
}

// Through real TLS and login: what the person is told, what the run is handed, and what
// the server received, each as one value.
TEST(SendBackupMail, OverTlsWithLogin) {
    TempDir dir;
    SmtpTestServer server(dir.Path() / "server");
    const SmtpSettings good = server.Settings();
    const std::string archive = dir / "Firm3.zip";
    const std::string bytes = BinaryArchive(300 * 1024);
    WriteFile(archive, bytes);
    ClosedLoopbackPort closed;

    SmtpSettings wrongPassword = good, nobodyListens = good, untrusted = good;
    wrongPassword.password = "not-the-password";
    nobodyListens.port = closed.Port();
    untrusted.caFile = "";  // the system's store does not know the throw-away certificate
    const std::string nowhere = dir / "Nowhere.zip";
    const std::string refusedLogin =
        "The server refused the login (535 5.7.8 Authentication "
        "credentials invalid)";
    const std::string noServer =
        "No mail server answers at 127.0.0.1:" + std::to_string(closed.Port());
    const std::string notTrusted =
        "The server's certificate is not trusted (SSL certificate "
        "problem: self-signed certificate)";
    struct Case {
        const char* name;
        SmtpSettings settings;
        std::string attachment;
        MailOutcome outcome;
        std::vector<Message> shown;
        std::vector<ReceivedMail> received;
    } cases[] = {
        {"accepted",
         good,
         archive,
         {true, ""},
         {kCompleted},
         {BackupMail(good, {{"Firm3.zip", bytes}})}},
        {"no attachment",
         good,
         nowhere,
         {true, ""},
         {Plain(
              "Attachment File may be Zero Length or Doesn't Present, Please Check if File Exist.",
              nowhere),
          kCompleted},
         {BackupMail(good, {})}},
        {"refused login",
         wrongPassword,
         archive,
         {false, refusedLogin},
         {SettingsProblem(refusedLogin)},
         {}},
        {"unreachable", nobodyListens, archive, {false, noServer}, {SettingsProblem(noServer)}, {}},
        {"untrusted", untrusted, archive, {false, notTrusted}, {SettingsProblem(notTrusted)}, {}},
    };
    size_t before = 0;
    for (const Case& c : cases) {
        CurlMailTransport transport(c.settings);
        ScriptedDialogs dialogs;
        int keepAlives = 0;
        EXPECT_EQ(
            SendBackupMail(c.attachment, kRecipient, transport, dialogs, [&] { ++keepAlives; }),
            c.outcome)
            << c.name;
        EXPECT_EQ(dialogs.shown, c.shown) << c.name;
        EXPECT_GE(keepAlives, c.outcome.sent ? 2 : 1) << c.name;
        std::vector<ReceivedMail> received = server.Received();
        std::vector<ReceivedMail> now;
        for (size_t i = before; i < received.size(); ++i) {
            now.push_back(Settled(received[i], good.password));
        }
        before = received.size();
        EXPECT_EQ(now, c.received) << c.name;
    }
}

// Refused before anything reaches the server, or by the server, with the cause in words;
// a server that offers no login never gets the mail.
TEST(CurlMailTransport, RefusalsKeepTheirCause) {
    TempDir dir;
    SmtpTestServer server(dir.Path() / "server");
    SmtpTestServer noLogin(dir.Path() / "nologin", false);
    const std::string noLoginAt = "127.0.0.1:" + std::to_string(noLogin.Settings().port);
    const std::string unsafe = "An e-mail address holds a line break, a control character or < >";
    const struct {
        const SmtpTestServer& server;
        MailToSend mail;
        SendResult result;
    } cases[] = {
        {server,
         {"", "s", "b", "n", "", ""},
         {false, "The server refused the mail (553 5.1.3 Empty recipient address)"}},
        {server, {"a@firm.test>\r\nRCPT TO:<b@firm.test", "s", "b", "n", "", ""}, {false, unsafe}},
        {server, {"a@firm.test\nBcc: b@firm.test", "s", "b", "n", "", ""}, {false, unsafe}},
        {server,
         {kRecipient, "a\r\nBcc: x@y.test", "b", "", "", ""},
         {false, "The subject or a sender or recipient name holds a line break"}},
        {noLogin,
         {kRecipient, "s", "b", "n", "", ""},
         {false, "The server " + noLoginAt + " offered no login, so the mail was not sent"}},
        {server, {"o.w-n+er@sub.firm.test", "s", "b", "", "", ""}, {true, ""}},
    };
    for (const auto& c : cases) {
        const SendResult r = CurlMailTransport(c.server.Settings()).Send(c.mail);
        EXPECT_EQ(r, c.result) << c.mail.recipient;
    }
    EXPECT_TRUE(noLogin.Received().empty());
    const auto mails = server.Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].at("rcpt_tos"), "o.w-n+er@sub.firm.test");
}

TEST(CurlMailTransport, NonAsciiTextsAndLocalTimeZone) {
    // India: a half-hour offset catches a wrong sign or minutes field in the Date header.
    const char* oldTz = getenv("TZ");
    const std::string savedTz = oldTz != nullptr ? oldTz : "";
    setenv("TZ", "Asia/Kolkata", 1);
    tzset();
    TempDir dir;
    SmtpTestServer server(dir.Path() / "server");
    // Long enough for two encoded words, with a character where the first one fills up.
    const std::string subject =
        "Sicherung für Firma 3 – März, schöne Grüße aus Köln und Düsseldorf ";
    const std::string body = "Grüße\r\nZeile mit Leerzeichen am Ende \r\n";
    const std::string archive = dir / "Firm3.bin";
    WriteFile(archive, BinaryArchive(70000));
    const SendResult result =
        CurlMailTransport(server.Settings())
            .Send({kRecipient, subject, body, "Müller \"Backup\" Söhne", "", archive});
    oldTz != nullptr ? setenv("TZ", savedTz.c_str(), 1) : unsetenv("TZ");
    tzset();

    ASSERT_TRUE(result.ok) << result.error;
    const auto mails = server.Received();
    ASSERT_EQ(mails.size(), 1u);
    ReceivedMail expected{{"mail_from", server.Settings().user},
                          {"rcpt_tos", kRecipient},
                          {"authenticated", "yes"},
                          {"subject", subject},
                          {"body", body},
                          {"from", "Müller \"Backup\" Söhne <" + server.Settings().user + ">"},
                          {"to", std::string("<") + kRecipient + ">"},
                          {"mime_version", "1.0"},
                          {"words_whole", "yes"},
                          {"date_fresh", "yes"},
                          {"date_offset", "19800"},
                          {"att/Firm3.bin", BinaryArchive(70000)},
                          {"type/Firm3.bin", "application/octet-stream"}};
    EXPECT_EQ(Settled(mails[0], server.Settings().password), expected);
}

// Sends slowly, or fails in ways no send should, to watch the caller's side.
class SlowTransport : public MailTransport {
  public:
    SendResult Send(const MailToSend& mail) override {
        sendThread = std::this_thread::get_id();
        received = mail;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        if (failure == 1) {
            throw Error("The mail library refused a setting (x).");
        }
        if (failure == 2) {
            throw std::bad_alloc();
        }
        return SendResult{true, ""};
    }
    std::thread::id sendThread;
    MailToSend received;
    int failure = 0;
};

TEST(SendBackupMail, WorkerSendsWhileTheWindowRepaints) {
    TempDir dir;
    const std::string archive = dir / "Firm3.zip";
    WriteFile(archive, "x");
    SlowTransport transport;
    ScriptedDialogs dialogs;
    int keepAlives = 0;
    bool onCallerThread = true;
    const auto caller = std::this_thread::get_id();
    EXPECT_EQ(SendBackupMail(archive, "", transport, dialogs,
                             [&] {
                                 ++keepAlives;
                                 onCallerThread =
                                     onCallerThread && std::this_thread::get_id() == caller;
                             }),
              (MailOutcome{true, ""}));
    // 400 ms at about one call per 50 ms, plus the calls before and after.
    EXPECT_GE(keepAlives, 6);
    EXPECT_TRUE(onCallerThread);
    EXPECT_NE(transport.sendThread, caller);
    EXPECT_EQ(dialogs.shown, std::vector<Message>{kCompleted});
    // The empty recipient is handed on as it is, with the fixed texts.
    const MailToSend expected{
        "",     "Auto Backup From ", "Dear User, Auto Back up sent For Firm ", "Backup From ", "",
        archive};
    EXPECT_EQ(std::tie(transport.received.recipient, transport.received.subject,
                       transport.received.body, transport.received.senderName,
                       transport.received.recipientName, transport.received.attachmentPath),
              std::tie(expected.recipient, expected.subject, expected.body, expected.senderName,
                       expected.recipientName, expected.attachmentPath));

    // A mail library that cannot do its job: the component message with the reason.
    transport.failure = 1;
    ScriptedDialogs broken;
    const std::string reason = "The mail library refused a setting (x).";
    EXPECT_EQ(SendBackupMail(archive, kRecipient, transport, broken, {}),
              (MailOutcome{false, reason}));
    EXPECT_EQ(broken.shown,
              (std::vector<Message>{{"Some Required Files is Missing, Re-installing "
                                     "Program May Solve the Problem.",
                                     "Sender", Buttons::Ok, Icon::None, Answer::Ok, reason}}));
    // Out of memory is no mail problem: it goes on to the program's top.
    transport.failure = 2;
    EXPECT_THROW(SendBackupMail(archive, kRecipient, transport, broken, {}), std::bad_alloc);
}

TEST(SmtpSettings, EnvironmentOverridesTheBuildValues) {
    const char* names[] = {"VORNBACK_SMTP_HOST", "VORNBACK_SMTP_PORT", "VORNBACK_SMTP_USER",
                           "VORNBACK_SMTP_PASSWORD", "VORNBACK_SMTP_CAFILE"};
    for (const char* name : names) {
        unsetenv(name);
    }
    const SmtpSettings built = SmtpSettingsFromEnvironment();
    EXPECT_EQ(built.caFile, "");
    const char* values[] = {"mail.firm.test", "2465", "sender@firm.test", "p a;s\"s", "/ca.pem"};
    for (size_t i = 0; i < 5; ++i) {
        setenv(names[i], values[i], 1);
    }
    const SmtpSettings s = SmtpSettingsFromEnvironment();
    EXPECT_EQ(std::tie(s.host, s.user, s.password, s.caFile),
              std::tie(values[0], values[2], values[3], values[4]));
    EXPECT_EQ(s.port, 2465);
    // A port that is not a plain number in range leaves the build's port; so does an
    // empty variable for any setting.
    for (const auto& [port, expected] :
         std::vector<std::pair<const char*, int>>{{"65535", 65535},
                                                  {"1", 1},
                                                  {"0", built.port},
                                                  {"65536", built.port},
                                                  {"25x", built.port},
                                                  {"-25", built.port},
                                                  {" 25", built.port},
                                                  {"", built.port}}) {
        setenv("VORNBACK_SMTP_PORT", port, 1);
        EXPECT_EQ(SmtpSettingsFromEnvironment().port, expected) << "'" << port << "'";
    }
    setenv("VORNBACK_SMTP_HOST", "", 1);
    EXPECT_EQ(SmtpSettingsFromEnvironment().host, built.host);
    for (const char* name : names) {
        unsetenv(name);
    }
}

}  // namespace
}  // namespace vornback
