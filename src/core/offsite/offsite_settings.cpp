#include "offsite/offsite_settings.h"

#include <cstdio>

#include "startup/settings.h"

namespace vornback {

namespace {

constexpr const char* kSection = "Offsite";

bool UrlSafe(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/';
}

}  // namespace

OffsiteSettings LoadOffsiteSettings(const std::string& settingsFile) {
    const SettingsSection section(kSection, settingsFile);
    OffsiteSettings s;
    s.url = section.Text("URL");
    s.hostKeySha256 = section.Text("HostKeySHA256");
    s.identityFile = section.Text("IdentityFile");
    s.encrypt = section.Flag("Encrypt", false);
    s.passphraseFile = section.Text("PassphraseFile");
    s.verify = section.Flag("Verify", true);
    return s;
}

void SaveOffsiteSettings(const OffsiteSettings& s, const std::string& settingsFile) {
    const SettingsSection section(kSection, settingsFile);
    section.Write("URL", s.url);
    section.Write("HostKeySHA256", s.hostKeySha256);
    section.Write("IdentityFile", s.identityFile);
    section.Write("Encrypt", s.encrypt ? "1" : "0");
    section.Write("PassphraseFile", s.passphraseFile);
    section.Write("Verify", s.verify ? "1" : "0");
}

std::string SftpAddress::UrlOf(const std::string& path) const {
    std::string url = "sftp://";
    for (const unsigned char c : user) {
        if (UrlSafe(c) && c != '/') {
            url += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            url += hex;
        }
    }
    url += "@" + host + ":" + std::to_string(port);
    for (const unsigned char c : path) {
        if (UrlSafe(c)) {
            url += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            url += hex;
        }
    }
    return url;
}

SftpAddress ParseSftpUrl(const std::string& url) {
    const std::string shown = "The offsite address \"" + url + "\"";
    const std::string scheme = "sftp://";
    if (url.compare(0, scheme.size(), scheme) != 0) {
        throw OffsiteError(shown + " is not an sftp:// address (sftp://user@host[:port]/folder).");
    }
    const std::string rest = url.substr(scheme.size());
    const size_t slash = rest.find('/');
    if (slash == std::string::npos) {
        throw OffsiteError(shown + " names no folder (sftp://user@host[:port]/folder).");
    }
    const std::string authority = rest.substr(0, slash);
    SftpAddress a;
    const size_t at = authority.rfind('@');
    if (at == std::string::npos || at == 0) {
        throw OffsiteError(shown + " names no user (sftp://user@host[:port]/folder).");
    }
    a.user = authority.substr(0, at);
    std::string hostPort = authority.substr(at + 1);
    // A bracketed IPv6 address holds colons of its own; the port follows "]:".
    const size_t close = hostPort.find(']');
    const size_t colon = hostPort.rfind(':');
    if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
        const std::string port = hostPort.substr(colon + 1);
        long value = 0;
        bool digits = !port.empty() && port.size() <= 5;
        for (const char c : port) {
            digits = digits && c >= '0' && c <= '9';
            value = value * 10 + (c - '0');
        }
        if (!digits || value < 1 || value > 65535) {
            throw OffsiteError(shown + " has the port \"" + port + "\"; a port is 1 to 65535.");
        }
        a.port = static_cast<int>(value);
        hostPort.resize(colon);
    }
    a.host = hostPort;
    if (a.host.empty() || a.host.find_first_of(" /@?#") != std::string::npos) {
        throw OffsiteError(shown + " names no host (sftp://user@host[:port]/folder).");
    }
    a.folder = rest.substr(slash);
    while (a.folder.size() > 1 && a.folder.back() == '/') {
        a.folder.pop_back();
    }
    for (const unsigned char c : a.folder) {
        if (c < 0x20 || c == 0x7f) {
            throw OffsiteError(shown + " has a control character in its folder.");
        }
    }
    if (("/" + a.folder + "/").find("/../") != std::string::npos) {
        throw OffsiteError(shown + " climbs out of its folder with \"..\".");
    }
    for (const unsigned char c : a.user) {
        if (c < 0x20 || c == 0x7f || c == ':') {
            throw OffsiteError(shown + " has a user name that cannot be used.");
        }
    }
    return a;
}

std::string FingerprintBase64(const std::string& text) {
    std::string b64 = text;
    if (b64.compare(0, 7, "SHA256:") == 0) {
        b64 = b64.substr(7);
    }
    while (!b64.empty() && b64.back() == '=') {
        b64.pop_back();
    }
    bool alphabet = b64.size() == 43;
    for (const char c : b64) {
        alphabet = alphabet && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '+' || c == '/');
    }
    if (!alphabet) {
        throw OffsiteError("The host key fingerprint \"" + text +
                           "\" is not a SHA-256 fingerprint as ssh-keygen -lf prints it "
                           "(SHA256: and 43 characters).");
    }
    return b64;
}

void CheckOffsiteSettings(const OffsiteSettings& s) {
    ParseSftpUrl(s.url);
    if (s.hostKeySha256.empty()) {
        throw OffsiteError(
            "No host key fingerprint is set for the offsite server (HostKeySHA256): get it "
            "with ssh-keyscan and ssh-keygen -lf; a server is never trusted on first use.");
    }
    FingerprintBase64(s.hostKeySha256);
    if (s.identityFile.empty()) {
        throw OffsiteError("No private key is set for the offsite server (IdentityFile).");
    }
}

}  // namespace vornback
