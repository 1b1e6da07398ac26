#include "offsite/sftp_session.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

#include "platform/posix.h"
#include "platform/private_file.h"

namespace vornback {

namespace {

constexpr long kBlock = 512 * 1024;

// The server's refusals, each told with the server's own words after it.
constexpr std::pair<CURLcode, const char*> kServerRefusals[] = {
    {CURLE_REMOTE_DISK_FULL, "no space on the server"},
    {CURLE_REMOTE_ACCESS_DENIED, "the server refused access"},
    {CURLE_REMOTE_FILE_NOT_FOUND, "not found on the server"},
    {CURLE_QUOTE_ERROR, "the server refused a command"},
};

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Parses one line of a long folder listing as the server (or libcurl) writes it:
// "-rw-------    1 user  group   12345 Dec  7 18:22 name".
bool ParseListing(const std::string& line, RemoteEntry& entry) {
    std::istringstream in(line);
    std::string mode, links, owner, group, size, month, day, time;
    if (!(in >> mode >> links >> owner >> group >> size >> month >> day >> time) ||
        mode.size() < 10) {
        return false;
    }
    std::string name;
    std::getline(in, name);
    const size_t start = name.find_first_not_of(' ');
    if (start == std::string::npos) {
        return false;
    }
    name = name.substr(start);
    if (mode[0] == 'l') {
        const size_t arrow = name.find(" -> ");
        if (arrow != std::string::npos) {
            name.resize(arrow);
        }
    }
    if (name == "." || name == "..") {
        return false;
    }
    entry.name = name;
    entry.folder = mode[0] == 'd';
    entry.size = std::strtoull(size.c_str(), nullptr, 10);
    return true;
}

}  // namespace

struct SftpSession::Request {
    std::string url;
    // Upload
    int fd = -1;
    uint64_t position = 0;
    uint64_t total = 0;
    // Download and listing
    std::function<void(const char*, size_t)> sink;
    std::string sinkError;
    ArchiveProgressFn progress;
    const std::atomic<bool>* cancel = nullptr;
    std::string readError;
};

SftpSession::SftpSession(const OffsiteSettings& settings, const std::atomic<bool>* cancel)
    : settings_(settings), cancel_(cancel) {
    CheckOffsiteSettings(settings_);
    address_ = ParseSftpUrl(settings_.url);
    fingerprint_ = FingerprintBase64(settings_.hostKeySha256);
    try {
        ReadPrivateFile(settings_.identityFile, "The offsite key file");
    } catch (const Error& e) {
        throw OffsiteError(e.what());
    }
    GlobalInit();
    curl_ = curl_easy_init();
    if (curl_ == nullptr) {
        throw OffsiteError("The SFTP library could not be set up.");
    }
}

SftpSession::~SftpSession() {
    if (curl_ != nullptr) {
        curl_easy_cleanup(static_cast<CURL*>(curl_));
    }
}

std::string SftpSession::Quoted(const std::string& path) {
    std::string q = "\"";
    for (const char c : path) {
        if (c == '"' || c == '\\') {
            q += '\\';
        }
        q += c;
    }
    return q + "\"";
}

void SftpSession::Perform(Request& r, const std::string& what) {
    CURL* curl = static_cast<CURL*>(curl_);
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "sftp");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PUBLICKEY));
    curl_easy_setopt(curl, CURLOPT_SSH_PRIVATE_KEYFILE, settings_.identityFile.c_str());
    // The pinned key is checked before the login: a wrong server never sees a byte.
    curl_easy_setopt(curl, CURLOPT_SSH_HOST_PUBLIC_KEY_SHA256, fingerprint_.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, settings_.connectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, settings_.lowSpeedBytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, settings_.lowSpeedSeconds);
    curl_easy_setopt(curl, CURLOPT_NEW_FILE_PERMS, 0600L);
    curl_easy_setopt(curl, CURLOPT_NEW_DIRECTORY_PERMS, 0700L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kBlock);
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, kBlock);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &r);
    curl_easy_setopt(
        curl, CURLOPT_XFERINFOFUNCTION,
        +[](void* p, curl_off_t downTotal, curl_off_t downNow, curl_off_t, curl_off_t) {
            auto* req = static_cast<Request*>(p);
            if (req->cancel != nullptr && req->cancel->load()) {
                return 1;
            }
            if (req->progress) {
                ArchiveProgress progress;
                progress.bytesTotal =
                    req->total != 0 ? req->total : static_cast<uint64_t>(downTotal);
                progress.bytesDone = req->fd >= 0 ? req->position : static_cast<uint64_t>(downNow);
                req->progress(progress);
            }
            return 0;
        });
    r.cancel = cancel_;
    const CURLcode code = curl_easy_perform(curl);
    lastCode_ = code;
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    if (code == CURLE_OK) {
        return;
    }
    if (code == CURLE_ABORTED_BY_CALLBACK && cancel_ != nullptr && cancel_->load()) {
        throw ArchiveCancelled("The offsite copy was interrupted.");
    }
    const std::string server = address_.host + ":" + std::to_string(address_.port);
    const std::string detail = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
    std::string reason;
    bool linkLost = false;
    switch (code) {
        case CURLE_PEER_FAILED_VERIFICATION:
            reason = "host key mismatch: the server at " + server +
                     " does not have the key set in HostKeySHA256; nothing was sent";
            break;
        case CURLE_LOGIN_DENIED:
            reason = "login refused: the server at " + server + " did not accept " + address_.user +
                     " with the key " + settings_.identityFile;
            break;
        case CURLE_COULDNT_RESOLVE_HOST:
            reason = "the server name " + address_.host + " is not known";
            break;
        case CURLE_COULDNT_CONNECT:
            reason = "no SFTP server answers at " + server;
            linkLost = true;
            break;
        case CURLE_READ_ERROR:
            reason = r.readError.empty() ? detail : r.readError;
            break;
        case CURLE_WRITE_ERROR:
            reason = r.sinkError.empty() ? detail : r.sinkError;
            break;
        default:
            for (const auto& [refused, text] : kServerRefusals) {
                if (code == refused) {
                    reason = std::string(text) + " (" + detail + ")";
                }
            }
            // Otherwise a broken, reset or stalled link, or an SSH failure on the way:
            // another try may get further.
            linkLost = reason.empty();
            if (linkLost) {
                reason = "connection lost (" + detail + ")";
            }
            break;
    }
    throw SftpError(reason + " while " + what, linkLost);
}

std::vector<RemoteEntry> SftpSession::List(const std::string& folder, bool* exists) {
    curl_easy_reset(static_cast<CURL*>(curl_));
    Request r;
    r.url = address_.UrlOf(folder == "/" ? folder : folder + "/");
    std::string text;
    r.sink = [&text](const char* data, size_t size) { text.append(data, size); };
    CURL* curl = static_cast<CURL*>(curl_);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t, size_t n, void* p) -> size_t {
            static_cast<Request*>(p)->sink(data, n);
            return n;
        });
    if (exists != nullptr) {
        *exists = true;
    }
    try {
        Perform(r, "listing " + folder);
    } catch (const SftpError&) {
        if (lastCode_ == CURLE_REMOTE_FILE_NOT_FOUND) {
            if (exists != nullptr) {
                *exists = false;
            }
            return {};
        }
        throw;
    }
    std::vector<RemoteEntry> entries;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        RemoteEntry entry;
        if (ParseListing(line, entry)) {
            entries.push_back(entry);
        }
    }
    return entries;
}

void SftpSession::Upload(const std::string& localFile, const std::string& remotePath,
                         uint64_t offset, const ArchiveProgressFn& progress) {
    Fd fd(::open(localFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        throw OffsiteError("The archive " + localFile +
                           " cannot be opened: " + std::strerror(errno));
    }
    const off_t size = ::lseek(fd.Get(), 0, SEEK_END);
    if (size < 0 || static_cast<uint64_t>(size) < offset) {
        throw OffsiteError("The archive " + localFile + " is shorter than its remote part.");
    }
    curl_easy_reset(static_cast<CURL*>(curl_));
    CURL* curl = static_cast<CURL*>(curl_);
    Request r;
    r.url = address_.UrlOf(remotePath);
    r.fd = fd.Get();
    r.position = offset;
    r.total = static_cast<uint64_t>(size);
    r.progress = progress;
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_FTP_CREATE_MISSING_DIRS, static_cast<long>(CURLFTP_CREATE_DIR));
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    if (offset > 0) {
        // The remote file is opened for appending and the local one read from offset.
        curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(offset));
    }
    curl_easy_setopt(curl, CURLOPT_READDATA, &r);
    curl_easy_setopt(
        curl, CURLOPT_READFUNCTION, +[](char* buffer, size_t, size_t n, void* p) -> size_t {
            auto* req = static_cast<Request*>(p);
            for (;;) {
                const ssize_t got = ::pread(req->fd, buffer, n, static_cast<off_t>(req->position));
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got < 0) {
                    req->readError =
                        std::string("the archive cannot be read: ") + std::strerror(errno);
                    return CURL_READFUNC_ABORT;
                }
                req->position += static_cast<uint64_t>(got);
                return static_cast<size_t>(got);
            }
        });
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, &r);
    curl_easy_setopt(
        curl, CURLOPT_SEEKFUNCTION, +[](void* p, curl_off_t to, int origin) -> int {
            auto* req = static_cast<Request*>(p);
            if (origin != SEEK_SET || to < 0) {
                return CURL_SEEKFUNC_CANTSEEK;
            }
            req->position = static_cast<uint64_t>(to);
            return CURL_SEEKFUNC_OK;
        });
    Perform(r, "uploading to " + remotePath);
}

void SftpSession::Download(const std::string& remotePath,
                           const std::function<void(const char*, size_t)>& sink,
                           const ArchiveProgressFn& progress) {
    curl_easy_reset(static_cast<CURL*>(curl_));
    CURL* curl = static_cast<CURL*>(curl_);
    Request r;
    r.url = address_.UrlOf(remotePath);
    r.sink = sink;
    r.progress = progress;
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t, size_t n, void* p) -> size_t {
            auto* req = static_cast<Request*>(p);
            try {
                req->sink(data, n);
            } catch (const std::exception& e) {
                req->sinkError = e.what();
                return 0;
            }
            return n;
        });
    Perform(r, "reading " + remotePath);
}

void SftpSession::Commands(const std::vector<std::string>& commands) {
    curl_easy_reset(static_cast<CURL*>(curl_));
    CURL* curl = static_cast<CURL*>(curl_);
    curl_slist* list = nullptr;
    for (const std::string& c : commands) {
        list = curl_slist_append(list, c.c_str());
    }
    Request r;
    r.url = address_.UrlOf(address_.folder == "/" ? "/" : address_.folder + "/");
    curl_easy_setopt(curl, CURLOPT_QUOTE, list);
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    try {
        Perform(r, "changing files on the server");
    } catch (...) {
        curl_slist_free_all(list);
        throw;
    }
    curl_slist_free_all(list);
}

}  // namespace vornback

namespace vornback {

std::optional<uint64_t> SftpSession::FreeBytes(const std::string& folder) {
    curl_easy_reset(static_cast<CURL*>(curl_));
    CURL* curl = static_cast<CURL*>(curl_);
    // A leading "*": a server without the statvfs extension is not an error.
    curl_slist* list = curl_slist_append(nullptr, ("*statvfs " + Quoted(folder)).c_str());
    Request r;
    r.url = address_.UrlOf(folder == "/" ? "/" : folder + "/");
    std::string text;
    r.sink = [&text](const char* data, size_t size) { text.append(data, size); };
    curl_easy_setopt(curl, CURLOPT_QUOTE, list);
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(
        curl, CURLOPT_HEADERFUNCTION, +[](char* data, size_t, size_t n, void* p) -> size_t {
            static_cast<Request*>(p)->sink(data, n);
            return n;
        });
    try {
        Perform(r, "asking for the free space in " + folder);
    } catch (...) {
        curl_slist_free_all(list);
        throw;
    }
    curl_slist_free_all(list);
    // "f_frsize: 4096" and "f_bavail: 123" lines.
    auto field = [&text](const std::string& name) -> std::optional<uint64_t> {
        const size_t at = text.find(name + ": ");
        if (at == std::string::npos) {
            return std::nullopt;
        }
        return std::strtoull(text.c_str() + at + name.size() + 2, nullptr, 10);
    };
    const auto unit = field("f_frsize");
    const auto available = field("f_bavail");
    if (!unit || !available) {
        return std::nullopt;
    }
    return *unit * *available;
}

std::optional<int64_t> SftpSession::ModifiedTime(const std::string& path) {
    curl_easy_reset(static_cast<CURL*>(curl_));
    CURL* curl = static_cast<CURL*>(curl_);
    Request r;
    r.url = address_.UrlOf(path);
    // A stat of the file, and nothing read from it.
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_FILETIME, 1L);
    Perform(r, "asking for the time of " + path);
    curl_off_t time = -1;
    if (curl_easy_getinfo(curl, CURLINFO_FILETIME_T, &time) != CURLE_OK || time < 0) {
        return std::nullopt;
    }
    return static_cast<int64_t>(time);
}

}  // namespace vornback
