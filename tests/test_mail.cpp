#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <ostream>
#include <random>
#include <thread>

#include "base/errors.h"
#include "mail/mail.h"
#include "support/scripted_dialogs.h"
#include "support/smtp_fixture.h"
#include "support/temp_dir.h"

namespace vornback {

void PrintTo(const SendResult& r, std::ostream* os) {
    *os << "{ok " << r.ok << ", \"" << r.error << "\"}";
}
namespace {

using namespace test;

constexpr const char* kRecipient = "owner@firm.test";
// India: a half-hour offset catches a wrong sign or minutes field in the Date header.
const int kZone = (setenv("TZ", "Asia/Kolkata", 1), tzset(), 0);

Message Plain(const std::string& text, const std::string& detail = "") {
    return Message{text, kProgramTitle, Buttons::Ok, Icon::None, Answer::Ok, detail};
}
const Message kCompleted = Plain("E-Mail Send Completed.");
const std::string kSmtp =
    "There is Some Problem with Your SMTP Settings, Please Check it with Your SMTP Provider";

// Every byte value in a run, then scattered ones, so that any encoding slip shows.
std::string BinaryArchive(size_t size) {
    std::string bytes(size, '\0');
    std::mt19937 random(12345);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i < 4096 ? i : random());
    }
    return bytes;
}

// The mails the server received since the last call, less the fields that change with
// every mail (checked here), so that the rest compares as one value.
std::vector<ReceivedMail> NewMails(const SmtpTestServer& server, size_t& seen) {
    auto mails = server.Received();
    mails.erase(mails.begin(), mails.begin() + static_cast<long>(seen));
    seen += mails.size();
    for (ReceivedMail& mail : mails) {
        const std::string& raw = mail["raw"];
        EXPECT_TRUE(mail["message_id"].ends_with("@vornback.test>"));
        EXPECT_EQ(raw.find(server.Settings().password), std::string::npos) << "password sent";
        EXPECT_TRUE(std::all_of(raw.begin(), raw.end(), [](char c) { return c > 0; })) << raw;
        EXPECT_FALSE(mail["date"].empty());
        mail.erase("message_id"), mail.erase("raw"), mail.erase("date");
    }
    return mails;
}

// A mail as it arrives: from the account, logged in, dated now in the local zone.
ReceivedMail Arrived(const SmtpSettings& s, const std::string& recipient,
                     const std::string& subject, const std::string& body, const std::string& from,
                     const std::map<std::string, std::string>& files) {
    ReceivedMail mail{
        {"mail_from", s.user},         {"rcpt_tos", recipient}, {"authenticated", "yes"},
        {"subject", subject},          {"body", body},          {"from", from + "<" + s.user + ">"},
        {"to", "<" + recipient + ">"}, {"mime_version", "1.0"}, {"words_whole", "yes"},
        {"date_fresh", "yes"},         {"date_offset", "19800"}};
    for (const auto& [name, bytes] : files) {
        mail["att/" + name] = bytes;
        mail["type/" + name] =
            name.ends_with(".zip") ? "application/zip" : "application/octet-stream";
    }
    return mail;
}

ReceivedMail BackupMail(const SmtpSettings& s, const std::map<std::string, std::string>& files) {
    return Arrived(s, kRecipient, "Auto Backup From ", "Dear User, Auto Back up sent For Firm ",
                   "\"Backup From \" ", files);
}

// Through real TLS and login: what the person is told, what the run is handed, and what
// the server received, each as one value.
TEST(SendBackupMail, OverTlsWithLogin) {
    TempDir dir;
    SmtpTestServer server(dir.Path() / "server");
    const SmtpSettings good = server.Settings();
    const std::string archive = dir / "Firm3.zip", nowhere = dir / "Nowhere.zip";
    const std::string bytes = BinaryArchive(300 * 1024);
    WriteFile(archive, bytes);
    ClosedLoopbackPort closed;
    SmtpSettings wrongPassword = good, nobodyListens = good, untrusted = good;
    wrongPassword.password = "not-the-password";
    nobodyListens.port = closed.port;
    untrusted.caFile = "";  // the system's store does not know the throw-away certificate
    const std::string refused =
        "The server refused the login (535 5.7.8 Authentication credentials invalid)";
    const std::string noServer =
        "No mail server answers at 127.0.0.1:" + std::to_string(closed.port);
    const std::string notTrusted =
        "The server's certificate is not trusted (SSL certificate problem: self-signed "
        "certificate)";
    const struct {
        SmtpSettings settings;
        std::string attachment;
        MailOutcome outcome;
        std::vector<Message> shown;
        std::vector<ReceivedMail> received = {};
    } cases[] = {
        // clang-format off
        {good, archive, {true, ""}, {kCompleted}, {BackupMail(good, {{"Firm3.zip", bytes}})}},
        {good, nowhere, {true, ""},
         {Plain("Attachment File may be Zero Length or Doesn't Present, Please Check if File Exist.",
                nowhere), kCompleted},
         {BackupMail(good, {})}},
        {wrongPassword, archive, {false, refused}, {Plain(kSmtp, refused)}},
        {nobodyListens, archive, {false, noServer}, {Plain(kSmtp, noServer)}},
        {untrusted, archive, {false, notTrusted}, {Plain(kSmtp, notTrusted)}},
        // clang-format on
    };
    size_t seen = 0;
    for (const auto& c : cases) {
        CurlMailTransport transport(c.settings, TheSystemClock());
        ScriptedDialogs dialogs;
        EXPECT_EQ(SendBackupMail(c.attachment, kRecipient, transport, dialogs, {}), c.outcome);
        EXPECT_EQ(dialogs.shown, c.shown);
        EXPECT_EQ(NewMails(server, seen), c.received) << c.outcome.detail;
    }
}

// What the transport sends and refuses, with the cause in words; non-ASCII texts travel
// as 7-bit encoded words.
TEST(CurlMailTransport, SendsOrRefusesWithTheCause) {
    TempDir dir;
    SmtpTestServer server(dir.Path() / "server"), noLogin(dir.Path() / "nologin", false);
    const SmtpSettings& s = server.Settings();
    const std::string archive = dir / "Firm3.bin";
    WriteFile(archive, BinaryArchive(70000));
    // Long enough for two encoded words, with a character where the first one fills up.
    const std::string subject =
        "Sicherung für Firma 3 – März, schöne Grüße aus Köln und Düsseldorf ";
    const std::string body = "Grüße\r\nZeile mit Leerzeichen am Ende \r\n";
    const std::string unsafe = "An e-mail address holds a line break, a control character or < >";
    const auto plain = [](std::string to, std::string title = "s") {
        return MailToSend{std::move(to), std::move(title), "b", "n", "", ""};
    };
    const std::string plus = "o.w-n+er@sub.firm.test";
    const struct {
        const SmtpTestServer& server;
        MailToSend mail;
        SendResult result;
        std::vector<ReceivedMail> received = {};
    } cases[] = {
        // clang-format off
        {server, {kRecipient, subject, body, "Müller \"Backup\" Söhne", "", archive}, {true, ""},
         {Arrived(s, kRecipient, subject, body, "Müller \"Backup\" Söhne ",
                  {{"Firm3.bin", BinaryArchive(70000)}})}},
        {server, plain(plus), {true, ""}, {Arrived(s, plus, "s", "b", "\"n\" ", {})}},
        {server, plain(""), {false, "The server refused the mail (553 5.1.3 Empty recipient address)"}},
        {server, plain("a@firm.test>\r\nRCPT TO:<b@firm.test"), {false, unsafe}},
        {server, plain("a@firm.test\nBcc: b@firm.test"), {false, unsafe}},
        {server, plain(kRecipient, "a\r\nBcc: x@y.test"),
         {false, "The subject or a sender or recipient name holds a line break"}},
        {noLogin, plain(kRecipient), {false, "The server 127.0.0.1:" +
             std::to_string(noLogin.Settings().port) + " offered no login, so the mail was not sent"}},
        // clang-format on
    };
    size_t seen = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(CurlMailTransport(c.server.Settings(), TheSystemClock()).Send(c.mail), c.result);
        EXPECT_EQ(NewMails(server, seen), c.received) << c.mail.recipient;
    }
    EXPECT_TRUE(noLogin.Received().empty());
}

// Sends as told, to watch the caller's side.
struct FakeTransport : MailTransport {
    SendResult Send(const MailToSend& mail) override { return send(mail); }
    std::function<SendResult(const MailToSend&)> send;
};

TEST(SendBackupMail, WorkerSendsWhileTheWindowRepaints) {
    TempDir dir;
    const std::string archive = dir / "Firm3.zip";
    WriteFile(archive, "x");
    FakeTransport transport;
    MailToSend m;
    std::thread::id sendThread;
    transport.send = [&](const MailToSend& mail) {
        m = mail, sendThread = std::this_thread::get_id();
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        return SendResult{true, ""};
    };
    ScriptedDialogs dialogs;
    std::vector<std::thread::id> keepAlives;
    const auto keepAlive = [&] { keepAlives.push_back(std::this_thread::get_id()); };
    EXPECT_EQ(SendBackupMail(archive, "", transport, dialogs, keepAlive), (MailOutcome{true, ""}));
    // 400 ms at about one call per 50 ms, plus the calls before and after, all on this thread.
    EXPECT_GE(keepAlives.size(), 6u);
    EXPECT_EQ(std::count(keepAlives.begin(), keepAlives.end(), std::this_thread::get_id()),
              static_cast<long>(keepAlives.size()));
    EXPECT_NE(sendThread, std::this_thread::get_id());
    EXPECT_EQ(dialogs.shown, std::vector<Message>{kCompleted});
    // The empty recipient is handed on as it is, with the fixed texts.
    EXPECT_EQ(
        (std::vector{m.recipient, m.subject, m.body, m.senderName, m.recipientName}),
        (std::vector<std::string>{"", "Auto Backup From ", "Dear User, Auto Back up sent For Firm ",
                                  "Backup From ", ""}));
    EXPECT_EQ(m.attachmentPath, archive);
    // A mail library that cannot do its job: the component message with the reason.
    const std::string reason = "The mail library refused a setting (x).";
    transport.send = [&](const MailToSend&) -> SendResult { throw Error(reason); };
    ScriptedDialogs broken;
    EXPECT_EQ(SendBackupMail(archive, kRecipient, transport, broken, {}),
              (MailOutcome{false, reason}));
    EXPECT_EQ(broken.shown,
              (std::vector<Message>{{"Some Required Files is Missing, Re-installing "
                                     "Program May Solve the Problem.",
                                     "Sender", Buttons::Ok, Icon::None, Answer::Ok, reason}}));
    // Out of memory is no mail problem: it goes on to the program's top.
    transport.send = [](const MailToSend&) -> SendResult { throw std::bad_alloc(); };
    EXPECT_THROW(SendBackupMail(archive, kRecipient, transport, broken, {}), std::bad_alloc);
}

TEST(SmtpSettings, EnvironmentOverridesTheBuildValues) {
    const char* names[] = {"VORNBACK_SMTP_HOST", "VORNBACK_SMTP_USER", "VORNBACK_SMTP_PASSWORD",
                           "VORNBACK_SMTP_CAFILE", "VORNBACK_SMTP_PORT"};
    const char* values[] = {"mail.firm.test", "sender@firm.test", "p a;s\"s", "/ca.pem", "2465"};
    for (const char* name : names) {
        unsetenv(name);
    }
    const SmtpSettings built = SmtpSettingsFromEnvironment();
    for (size_t i = 0; i < 5; ++i) {
        setenv(names[i], values[i], 1);
    }
    const SmtpSettings s = SmtpSettingsFromEnvironment();
    EXPECT_EQ((std::vector{s.host, s.user, s.password, s.caFile, std::to_string(s.port)}),
              (std::vector<std::string>(values, values + 5)));
    // A port that is not a plain number from 1 to 65535 leaves the build's port; so does an
    // empty variable for any setting.
    for (const char* port : {"0", "65536", "25x", " 25", ""}) {
        setenv("VORNBACK_SMTP_PORT", port, 1);
        EXPECT_EQ(SmtpSettingsFromEnvironment().port, built.port) << "'" << port << "'";
    }
    setenv("VORNBACK_SMTP_HOST", "", 1);
    EXPECT_EQ(SmtpSettingsFromEnvironment().host, built.host);
    for (const char* name : names) {
        unsetenv(name);
    }
}

}  // namespace
}  // namespace vornback
