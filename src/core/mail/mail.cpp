#include "mail/mail.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>

#include "base/dialogs.h"
#include "base/errors.h"

// The build fixes the server and the account (CMake cache variables VORNBACK_SMTP_*).
#ifndef VORNBACK_SMTP_HOST
#define VORNBACK_SMTP_HOST "smtp.gmail.com"
#endif
#ifndef VORNBACK_SMTP_PORT
#define VORNBACK_SMTP_PORT 465
#endif
#ifndef VORNBACK_SMTP_USER
#define VORNBACK_SMTP_USER ""
#endif
#ifndef VORNBACK_SMTP_PASSWORD
#define VORNBACK_SMTP_PASSWORD ""
#endif
static_assert(VORNBACK_SMTP_PORT > 0 && VORNBACK_SMTP_PORT <= 65535,
              "VORNBACK_SMTP_PORT must be a TCP port number");

namespace vornback {
namespace {

constexpr const char* kSubject = "Auto Backup From ";
constexpr const char* kBody = "Dear User, Auto Back up sent For Firm ";
constexpr const char* kSenderName = "Backup From ";
constexpr const char* kRecipientName = "";

constexpr const char* kAttachmentMissingText =
    "Attachment File may be Zero Length or Doesn't Present, Please Check if File Exist.";
constexpr const char* kSendFailedText =
    "There is Some Problem with Your SMTP Settings, Please Check it with Your SMTP Provider";
constexpr const char* kSendCompletedText = "E-Mail Send Completed.";
constexpr const char* kComponentMissingText =
    "Some Required Files is Missing, Re-installing Program May Solve the Problem.";
constexpr const char* kComponentMissingTitle = "Sender";

constexpr auto kKeepAliveInterval = std::chrono::milliseconds(50);

// ---- environment ------------------------------------------------------------------------

// An unset or empty variable leaves the build-time value alone.
std::optional<std::string> FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

// Plain decimal 1..65535, nothing else.
std::optional<int> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

// ---- libcurl plumbing -------------------------------------------------------------------

void InitCurlOnce() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (result != CURLE_OK) {
        throw Error(std::string("The mail library could not be started (") +
                    curl_easy_strerror(result) + ").");
    }
}

struct CurlCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct MimeCleanup {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};
struct ListCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;
using MimeHandle = std::unique_ptr<curl_mime, MimeCleanup>;
using ListHandle = std::unique_ptr<curl_slist, ListCleanup>;

// An option that libcurl refuses means this libcurl cannot do the job (smtps or TLS not
// built in): the mail component is unusable, not the send failed.
template <typename T>
void SetOption(CURL* curl, CURLoption option, T value) {
    CURLcode rc = curl_easy_setopt(curl, option, value);
    if (rc != CURLE_OK) {
        throw Error(std::string("The mail library refused a setting (") + curl_easy_strerror(rc) +
                    "); it may lack smtps or TLS.");
    }
}

void Append(ListHandle& list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) {
        throw std::bad_alloc();
    }
    list.release();
    list.reset(grown);
}

void Check(CURLcode rc, const char* what) {
    if (rc != CURLE_OK) {
        throw Error(std::string("The mail library ") + what + " (" + curl_easy_strerror(rc) + ").");
    }
}

// libcurl logs in only when the server offers AUTH, and otherwise sends the mail without
// a login. The account's login is required here, so the commands going out are watched
// and the message body refuses to be read (which aborts before the end of DATA, so the
// server keeps nothing) unless AUTH went out first. By the time the body is read a failed
// login has already ended the transfer, so "AUTH was sent" means "logged in".
// The server's last refusal (a 4xx or 5xx answer) is kept too: it is the cause shown when
// the send fails. Later answers (the goodbye to QUIT) do not overwrite it.
struct LoginWatch {
    bool loggedIn = false;
    std::string refusal;
};

int WatchCommands(CURL*, curl_infotype type, char* data, size_t size, void* userp) {
    auto* watch = static_cast<LoginWatch*>(userp);
    // Only the command name is looked at; the rest of an AUTH line holds the credentials.
    if (type == CURLINFO_HEADER_OUT && size >= 5 && std::memcmp(data, "AUTH ", 5) == 0) {
        watch->loggedIn = true;
    }
    if (type == CURLINFO_HEADER_IN && size > 0 && (data[0] == '4' || data[0] == '5')) {
        std::string_view reply(data, size);
        while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) {
            reply.remove_suffix(1);
        }
        watch->refusal = reply;
    }
    return 0;
}

struct BodySource {
    const std::string* text = nullptr;
    size_t offset = 0;
    const LoginWatch* login = nullptr;
};

size_t ReadBody(char* buffer, size_t size, size_t count, void* userp) {
    auto* source = static_cast<BodySource*>(userp);
    if (!source->login->loggedIn) {
        return CURL_READFUNC_ABORT;
    }
    size_t n = std::min(size * count, source->text->size() - source->offset);
    std::memcpy(buffer, source->text->data() + source->offset, n);
    source->offset += n;
    return n;
}

int SeekBody(void* userp, curl_off_t offset, int origin) {
    auto* source = static_cast<BodySource*>(userp);
    if (origin != SEEK_SET || offset < 0 || static_cast<size_t>(offset) > source->text->size()) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    source->offset = static_cast<size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

// ---- message headers --------------------------------------------------------------------

bool IsAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// An address goes into the SMTP commands and the headers as it stands; a control
// character or an angle bracket in it could end a command or a header early.
bool AddressIsSafe(std::string_view address) {
    for (char c : address) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '<' || c == '>') {
            return false;
        }
    }
    return true;
}

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                     static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[v >> 18 & 63];
        out += kDigits[v >> 12 & 63];
        out += kDigits[v >> 6 & 63];
        out += kDigits[v & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size()) {
            v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        out += kDigits[v >> 18 & 63];
        out += kDigits[v >> 12 & 63];
        out += i + 1 < bytes.size() ? kDigits[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

// RFC 2047 "B" encoded words of at most 75 characters, never splitting a UTF-8
// character, folded onto continuation lines.
std::string EncodedWords(std::string_view text) {
    constexpr size_t kMaxChunk = 45;  // 60 base64 characters + 12 of framing
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.size(), start + kMaxChunk);
        while (end < text.size() && end > start + 1 &&
               (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            --end;
        }
        if (!out.empty()) {
            out += "\r\n ";
        }
        out += "=?UTF-8?B?" + Base64(text.substr(start, end - start)) + "?=";
        start = end;
    }
    return out;
}

std::string UnstructuredValue(std::string_view text) {
    return IsAscii(text) ? std::string(text) : EncodedWords(text);
}

// "Display Name" <address>, or just <address> without a name.
std::string Mailbox(std::string_view name, std::string_view address) {
    std::string out;
    if (!name.empty()) {
        if (IsAscii(name)) {
            out += '"';
            for (char c : name) {
                if (c == '"' || c == '\\') {
                    out += '\\';
                }
                out += c;
            }
            out += '"';
        } else {
            out += EncodedWords(name);
        }
        out += ' ';
    }
    out += '<';
    out += address;
    out += '>';
    return out;
}

// RFC 5322 date in local time with the zone's offset; names in English whatever the locale.
std::string MailDate(std::time_t now) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    localtime_r(&now, &local);
    long offset = local.tm_gmtoff / 60;  // minutes east of UTC
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) {
        offset = -offset;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[local.tm_wday], local.tm_mday, kMonths[local.tm_mon], local.tm_year + 1900,
                  local.tm_hour, local.tm_min, local.tm_sec, sign, offset / 60, offset % 60);
    return text;
}

// Unique per message: the time in seconds, the process and a counter, at the sender's
// domain (or "localhost" when the user name has none that fits).
std::string MessageId(std::string_view user, int64_t now) {
    static std::atomic<unsigned long> counter{0};
    std::string domain = "localhost";
    size_t at = user.rfind('@');
    if (at != std::string_view::npos && at + 1 < user.size()) {
        std::string_view candidate = user.substr(at + 1);
        bool fits = true;
        for (char c : candidate) {
            fits = fits && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') || c == '.' || c == '-');
        }
        if (fits) {
            domain = std::string(candidate);
        }
    }
    return "<" + std::to_string(now) + "." + std::to_string(getpid()) + "." +
           std::to_string(++counter) + ".vornback@" + domain + ">";
}

std::string AttachmentType(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return extension == ".zip" ? "application/zip" : "application/octet-stream";
}

std::string ServerUrl(const SmtpSettings& settings) {
    std::string host = settings.host;
    // An IPv6 literal needs its brackets in a URL.
    if (host.find(':') != std::string::npos && host.front() != '[') {
        host = "[" + host + "]";
    }
    return "smtps://" + host + ":" + std::to_string(settings.port);
}

SendResult Failed(std::string cause) {
    return SendResult{false, std::move(cause)};
}

// Why a send failed, as the person reads it under the settings message.
std::string FailureCause(CURLcode rc, const LoginWatch& watch, const SmtpSettings& settings,
                         const char* errorText) {
    const std::string where = settings.host + ":" + std::to_string(settings.port);
    const std::string said = errorText[0] != '\0' ? errorText : curl_easy_strerror(rc);
    switch (rc) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return "The mail server name " + settings.host + " could not be found";
        case CURLE_COULDNT_CONNECT:
            return "No mail server answers at " + where;
        case CURLE_OPERATION_TIMEDOUT:
            return "No mail server answered in time at " + where;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return "The server's certificate is not trusted (" + said + ")";
        case CURLE_SSL_CONNECT_ERROR:
            return "No secure connection could be made with " + where + " (" + said + ")";
        case CURLE_LOGIN_DENIED:
            return "The server refused the login (" + watch.refusal + ")";
        case CURLE_ABORTED_BY_CALLBACK:
            if (!watch.loggedIn) {
                return "The server " + where + " offered no login, so the mail was not sent";
            }
            break;
        default:
            break;
    }
    if (!watch.refusal.empty()) {
        return "The server refused the mail (" + watch.refusal + ")";
    }
    return "The mail could not be sent (" + said + ")";
}

Message PlainMessage(const char* text, std::string detail = {}) {
    return Message{text, kProgramTitle, Buttons::Ok, Icon::None, Answer::Ok, std::move(detail)};
}

MailOutcome ComponentMissing(Dialogs& dialogs, const std::string& cause) {
    dialogs.Show(Message{kComponentMissingText, kComponentMissingTitle, Buttons::Ok, Icon::None,
                         Answer::Ok, cause});
    return MailOutcome{false, cause};
}

void CallKeepAlive(const std::function<void()>& keepAlive) {
    if (keepAlive) {
        keepAlive();
    }
}

}  // namespace

SmtpSettings BuiltInSmtpSettings() {
    SmtpSettings settings;
    settings.host = VORNBACK_SMTP_HOST;
    settings.port = VORNBACK_SMTP_PORT;
    settings.user = VORNBACK_SMTP_USER;
    settings.password = VORNBACK_SMTP_PASSWORD;
    return settings;
}

SmtpSettings SmtpSettingsFromEnvironment() {
    SmtpSettings settings = BuiltInSmtpSettings();
    ApplySmtpEnvironment(settings);
    return settings;
}

void ApplySmtpEnvironment(SmtpSettings& settings) {
    if (auto host = FromEnvironment("VORNBACK_SMTP_HOST")) {
        settings.host = *host;
    }
    // A port that is not a plain number from 1 to 65535 is ignored: the build's port stays.
    if (auto text = FromEnvironment("VORNBACK_SMTP_PORT")) {
        if (auto port = ParsePort(*text)) {
            settings.port = *port;
        }
    }
    if (auto user = FromEnvironment("VORNBACK_SMTP_USER")) {
        settings.user = *user;
    }
    if (auto password = FromEnvironment("VORNBACK_SMTP_PASSWORD")) {
        settings.password = *password;
    }
    if (auto caFile = FromEnvironment("VORNBACK_SMTP_CAFILE")) {
        settings.caFile = *caFile;
    }
}

bool AttachmentUsable(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return false;
    }
    auto size = std::filesystem::file_size(path, ec);
    return !ec && size > 0;
}

SendResult CurlMailTransport::Send(const MailToSend& mail) {
    InitCurlOnce();
    if (!settings_.problem.empty()) {
        return Failed(settings_.problem);
    }

    // Refused before anything goes out: these would end a command or a header early.
    if (settings_.host.empty() || HasLineBreak(settings_.host)) {
        return Failed("No mail server name is set, or it holds a line break");
    }
    if (settings_.port < 1 || settings_.port > 65535) {
        return Failed("The mail server port " + std::to_string(settings_.port) +
                      " is not a port number (1 to 65535)");
    }
    if (!AddressIsSafe(settings_.user) || !AddressIsSafe(mail.recipient)) {
        return Failed("An e-mail address holds a line break, a control character or < >");
    }
    if (HasLineBreak(mail.subject) || HasLineBreak(mail.senderName) ||
        HasLineBreak(mail.recipientName)) {
        return Failed("The subject or a sender or recipient name holds a line break");
    }

    CurlHandle curl(curl_easy_init());
    if (!curl) {
        throw Error("The mail library could not open a session.");
    }
    CURL* c = curl.get();
    char errorText[CURL_ERROR_SIZE] = {};
    LoginWatch login;

    SetOption(c, CURLOPT_ERRORBUFFER, errorText);
    SetOption(c, CURLOPT_PROTOCOLS_STR, "smtps");
    SetOption(c, CURLOPT_URL, ServerUrl(settings_).c_str());
    SetOption(c, CURLOPT_USERNAME, settings_.user.c_str());
    SetOption(c, CURLOPT_PASSWORD, settings_.password.c_str());
    SetOption(c, CURLOPT_SSL_VERIFYPEER, 1L);
    SetOption(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!settings_.caFile.empty()) {
        SetOption(c, CURLOPT_CAINFO, settings_.caFile.c_str());
    }
    SetOption(c, CURLOPT_CONNECTTIMEOUT, settings_.connectTimeoutSeconds);
    SetOption(c, CURLOPT_TIMEOUT, settings_.totalTimeoutSeconds);
    // Runs on a worker thread: no signals for timeouts.
    SetOption(c, CURLOPT_NOSIGNAL, 1L);
    // The debug hook sees the commands; with it set nothing is printed.
    SetOption(c, CURLOPT_DEBUGFUNCTION, &WatchCommands);
    SetOption(c, CURLOPT_DEBUGDATA, &login);
    SetOption(c, CURLOPT_VERBOSE, 1L);

    const std::string from = "<" + settings_.user + ">";
    SetOption(c, CURLOPT_MAIL_FROM, from.c_str());
    ListHandle recipients;
    Append(recipients, mail.recipient);
    SetOption(c, CURLOPT_MAIL_RCPT, recipients.get());

    ListHandle headers;
    const int64_t now = clock_.Seconds();
    Append(headers, "Date: " + MailDate(static_cast<std::time_t>(now)));
    Append(headers, "From: " + Mailbox(mail.senderName, settings_.user));
    Append(headers, "To: " + Mailbox(mail.recipientName, mail.recipient));
    Append(headers, "Subject: " + UnstructuredValue(mail.subject));
    Append(headers, "Message-ID: " + MessageId(settings_.user, now));
    // libcurl adds MIME-Version and the multipart Content-Type itself.
    SetOption(c, CURLOPT_HTTPHEADER, headers.get());

    MimeHandle mime(curl_mime_init(c));
    if (!mime) {
        throw std::bad_alloc();
    }
    BodySource body{&mail.body, 0, &login};
    curl_mimepart* text = curl_mime_addpart(mime.get());
    if (text == nullptr) {
        throw std::bad_alloc();
    }
    Check(curl_mime_data_cb(text, static_cast<curl_off_t>(mail.body.size()), &ReadBody, &SeekBody,
                            nullptr, &body),
          "could not take the message text");
    Check(curl_mime_type(text, "text/plain; charset=utf-8"), "refused a content type");
    // Quoted-printable keeps trailing blanks and any non-ASCII text intact on the way.
    Check(curl_mime_encoder(text, "quoted-printable"), "refused an encoder");

    if (!mail.attachmentPath.empty()) {
        curl_mimepart* file = curl_mime_addpart(mime.get());
        if (file == nullptr) {
            throw std::bad_alloc();
        }
        CURLcode rc = curl_mime_filedata(file, mail.attachmentPath.c_str());
        if (rc != CURLE_OK) {
            return Failed("The archive " + mail.attachmentPath + " could not be attached (" +
                          curl_easy_strerror(rc) + ")");
        }
        const std::filesystem::path path(mail.attachmentName.empty() ? mail.attachmentPath
                                                                     : mail.attachmentName);
        Check(curl_mime_filename(file, path.filename().string().c_str()), "refused a file name");
        Check(curl_mime_type(file, AttachmentType(path).c_str()), "refused a content type");
        Check(curl_mime_encoder(file, "base64"), "refused an encoder");
    }
    SetOption(c, CURLOPT_MIMEPOST, mime.get());

    const CURLcode rc = curl_easy_perform(c);
    if (rc == CURLE_OK) {
        return SendResult{true, ""};
    }
    return Failed(FailureCause(rc, login, settings_, errorText));
}

MailOutcome SendBackupMail(const std::string& attachmentPath, const std::string& recipient,
                           MailTransport& transport, Dialogs& dialogs,
                           const std::function<void()>& keepAlive,
                           const std::string& attachmentName) {
    try {
        MailToSend mail;
        mail.subject = kSubject;
        mail.body = kBody;
        mail.senderName = kSenderName;

        if (AttachmentUsable(attachmentPath)) {
            mail.attachmentPath = attachmentPath;
            mail.attachmentName = attachmentName;
        } else {
            dialogs.Show(PlainMessage(kAttachmentMissingText, attachmentPath));
        }
        CallKeepAlive(keepAlive);

        mail.recipientName = kRecipientName;
        mail.recipient = recipient;

        // Declared after mail: if anything below throws, the future's destructor waits for
        // the worker before mail goes away.
        std::future<SendResult> pending =
            std::async(std::launch::async, [&transport, &mail] { return transport.Send(mail); });
        while (pending.wait_for(kKeepAliveInterval) != std::future_status::ready) {
            CallKeepAlive(keepAlive);
        }
        SendResult result = pending.get();
        if (!result.ok) {
            dialogs.Show(PlainMessage(kSendFailedText, result.error));
            return MailOutcome{false, result.error};
        }

        CallKeepAlive(keepAlive);
        dialogs.Show(PlainMessage(kSendCompletedText));
        return MailOutcome{true, ""};
    } catch (const Error& error) {
        // The mail library cannot do its job: the system's component message, with why.
        return ComponentMissing(dialogs, error.what());
    } catch (const std::system_error& error) {
        // The worker thread could not be started.
        return ComponentMissing(
            dialogs,
            std::string("The mail could not be sent in the background (") + error.what() + ").");
    }
}

}  // namespace vornback
