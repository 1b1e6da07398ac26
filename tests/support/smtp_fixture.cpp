#include "support/smtp_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace vornback::test {
namespace {

// ---- the server's records: a flat JSON object written by smtp_server.py ---------------

struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    std::string text;  // String and Number; "true"/"false" for Bool
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json* Find(const std::string& key) const {
        for (const auto& [name, value] : members) {
            if (name == key) {
                return &value;
            }
        }
        return nullptr;
    }
};

class JsonReader {
  public:
    explicit JsonReader(std::string text) : s_(std::move(text)) {}

    Json Document() {
        Json value = Value();
        Blanks();
        if (i_ != s_.size()) {
            Fail("text after the value");
        }
        return value;
    }

  private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error("server record: " + what + " at offset " + std::to_string(i_));
    }
    void Blanks() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) {
            ++i_;
        }
    }
    bool Take(char c) {
        Blanks();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool TakeWord(const char* word) {
        std::string w(word);
        if (s_.compare(i_, w.size(), w) == 0) {
            i_ += w.size();
            return true;
        }
        return false;
    }

    Json Value() {
        Blanks();
        Json v;
        if (i_ >= s_.size()) {
            Fail("unexpected end");
        }
        if (Take('{')) {
            v.kind = Json::Kind::Object;
            if (Take('}')) {
                return v;
            }
            do {
                Blanks();
                std::string key = String();
                if (!Take(':')) {
                    Fail("':' expected");
                }
                v.members.emplace_back(std::move(key), Value());
            } while (Take(','));
            if (!Take('}')) {
                Fail("'}' expected");
            }
        } else if (Take('[')) {
            v.kind = Json::Kind::Array;
            if (Take(']')) {
                return v;
            }
            do {
                v.items.push_back(Value());
            } while (Take(','));
            if (!Take(']')) {
                Fail("']' expected");
            }
        } else if (s_[i_] == '"') {
            v.kind = Json::Kind::String;
            v.text = String();
        } else if (TakeWord("null")) {
            v.kind = Json::Kind::Null;
        } else if (TakeWord("true")) {
            v.kind = Json::Kind::Bool;
            v.text = "true";
        } else if (TakeWord("false")) {
            v.kind = Json::Kind::Bool;
            v.text = "false";
        } else {
            v.kind = Json::Kind::Number;
            size_t start = i_;
            while (i_ < s_.size() &&
                   std::string_view("+-.eE0123456789").find(s_[i_]) != std::string_view::npos) {
                ++i_;
            }
            if (i_ == start) {
                Fail("value expected");
            }
            v.text = s_.substr(start, i_ - start);
        }
        return v;
    }

    unsigned Hex4() {
        if (i_ + 4 > s_.size()) {
            Fail("short \\u escape");
        }
        unsigned value = static_cast<unsigned>(std::stoul(s_.substr(i_, 4), nullptr, 16));
        i_ += 4;
        return value;
    }

    static void AppendUtf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    std::string String() {
        if (i_ >= s_.size() || s_[i_] != '"') {
            Fail("string expected");
        }
        ++i_;
        std::string out;
        while (true) {
            if (i_ >= s_.size()) {
                Fail("unterminated string");
            }
            char c = s_[i_++];
            if (c == '"') {
                return out;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= s_.size()) {
                Fail("unterminated escape");
            }
            char e = s_[i_++];
            switch (e) {
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    unsigned cp = Hex4();
                    if (cp >= 0xD800 && cp < 0xDC00 && TakeWord("\\u")) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (Hex4() - 0xDC00);
                    }
                    AppendUtf8(out, cp);
                    break;
                }
                default:
                    out += e;
                    break;  // \" \\ \/
            }
        }
    }

    std::string s_;
    size_t i_ = 0;
};

std::optional<std::string> OptionalText(const Json& record, const char* key) {
    const Json* v = record.Find(key);
    if (v == nullptr || v->kind == Json::Kind::Null) {
        return std::nullopt;
    }
    return v->text;
}

std::string Text(const Json& record, const char* key) {
    return OptionalText(record, key).value_or("");
}

ReceivedMail ReadRecord(const fs::path& folder, int n) {
    const std::string stem = "msg-" + std::to_string(n);
    Json record = JsonReader(ReadFile(folder / (stem + ".json"))).Document();
    ReceivedMail mail;
    mail.mailFrom = Text(record, "mail_from");
    if (const Json* tos = record.Find("rcpt_tos")) {
        for (const Json& to : tos->items) {
            mail.rcptTos.push_back(to.text);
        }
    }
    mail.authenticated = Text(record, "authenticated") == "true";
    mail.subject = OptionalText(record, "subject");
    mail.from = OptionalText(record, "from");
    mail.to = OptionalText(record, "to");
    mail.date = OptionalText(record, "date");
    if (auto epoch = OptionalText(record, "date_epoch")) {
        mail.dateEpoch = std::stod(*epoch);
    }
    mail.headerWordsWhole = Text(record, "header_words_whole") == "true";
    mail.messageId = OptionalText(record, "message_id");
    mail.mimeVersion = OptionalText(record, "mime_version");
    mail.body = OptionalText(record, "body");
    if (const Json* attachments = record.Find("attachments")) {
        for (const Json& a : attachments->items) {
            mail.attachments.push_back(ReceivedAttachment{Text(a, "filename"),
                                                          Text(a, "content_type"),
                                                          ReadFile(folder / Text(a, "saved_as"))});
        }
    }
    mail.raw = ReadFile(folder / (stem + ".eml"));
    return mail;
}

// The script lies beside this file in the source tree.
fs::path ServerScript() {
    return fs::path(__FILE__).parent_path() / "smtp_server.py";
}

}  // namespace

SmtpTestServer::SmtpTestServer(fs::path folder, SmtpServerOptions options)
    : folder_(std::move(folder)), options_(std::move(options)) {
    fs::create_directories(folder_);
    const fs::path script = ServerScript();
    if (!fs::exists(script)) {
        throw std::runtime_error("test SMTP server script missing: " + script.string());
    }
    std::vector<std::string> args = {"/usr/bin/python3", script.string(),
                                     "--outdir",         folder_.string(),
                                     "--user",           options_.user,
                                     "--password",       options_.password,
                                     "--lifetime",       std::to_string(options_.lifetimeSeconds)};
    if (!options_.offerLogin) {
        args.push_back("--no-auth");
    }
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ == 0) {
        // The child: only async-signal-safe calls until exec.
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid_ < 0) {
        close(in[1]);
        close(out[0]);
        throw std::runtime_error("fork failed");
    }
    stdinPipe_ = in[1];

    // Wait for "READY <port> <certificate>\n", 20 seconds at most.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[512];
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;  // the server ended before it was ready
        }
        line.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);

    std::istringstream words(line);
    std::string ready;
    words >> ready >> port_ >> certificate_;
    if (ready != "READY" || port_ <= 0 || certificate_.empty()) {
        Stop();
        throw std::runtime_error("the test SMTP server did not start: '" + line + "'");
    }
}

SmtpTestServer::~SmtpTestServer() {
    Stop();
}

void SmtpTestServer::Stop() {
    if (stdinPipe_ >= 0) {
        close(stdinPipe_);
        stdinPipe_ = -1;
    }
    if (pid_ <= 0) {
        return;
    }
    // The closed pipe ends it; give it five seconds, then kill it.
    for (int i = 0; i < 250; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

SmtpSettings SmtpTestServer::Settings() const {
    SmtpSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port_;
    settings.user = options_.user;
    settings.password = options_.password;
    settings.caFile = certificate_;
    settings.connectTimeoutSeconds = 5;
    settings.totalTimeoutSeconds = 60;
    return settings;
}

std::vector<ReceivedMail> SmtpTestServer::Received() const {
    std::vector<ReceivedMail> mails;
    for (int n = 1; fs::exists(folder_ / ("msg-" + std::to_string(n) + ".json")); ++n) {
        mails.push_back(ReadRecord(folder_, n));
    }
    return mails;
}

ClosedLoopbackPort::ClosedLoopbackPort() {
    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(socket_);
        throw std::runtime_error("bind failed");
    }
    port_ = ntohs(address.sin_port);
}

ClosedLoopbackPort::~ClosedLoopbackPort() {
    close(socket_);
}

}  // namespace vornback::test
