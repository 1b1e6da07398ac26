// Where the offsite copy goes and how: section "Offsite" of the settings file (the
// windows do not otherwise touch it), the SFTP address it names and the pinned host key.
#pragma once

#include <chrono>
#include <string>

#include "base/errors.h"

namespace vornback {

// A failure of the offsite copy; the text says why in plain words (host key mismatch,
// login refused, no space on the server, connection lost after N tries).
class OffsiteError : public Error {
  public:
    using Error::Error;
};

struct OffsiteSettings {
    std::string url;             // "URL": sftp://user@host[:port]/folder
    std::string hostKeySha256;   // "HostKeySHA256": as ssh-keygen -lf prints it
    std::string identityFile;    // "IdentityFile": the private key
    bool encrypt = false;        // "Encrypt"
    std::string passphraseFile;  // "PassphraseFile"
    bool verify = true;          // "Verify": read the remote copy back

    // The link's limits, not kept in the file: a connection that stays slower than
    // lowSpeedBytes per second for lowSpeedSeconds counts as lost.
    long connectTimeoutSeconds = 30;
    long lowSpeedBytes = 1024;
    long lowSpeedSeconds = 60;
    int tries = 4;  // uploads of one archive, each resuming where the last stopped
    std::chrono::milliseconds retrySpacing{5000};  // before the second try; doubles

    // Whether an offsite copy is wanted at all: a URL is set.
    bool Configured() const { return !url.empty(); }
};

// The section's keys as the file holds them; missing keys keep their defaults ("Verify"
// on, "Encrypt" off; "0" and "1" are read by the numeric reading rule).
OffsiteSettings LoadOffsiteSettings(const std::string& settingsFile);

// Writes every key of the section (the others in the file stay as they are).
void SaveOffsiteSettings(const OffsiteSettings& settings, const std::string& settingsFile);

// The parts of an sftp:// address.
struct SftpAddress {
    std::string user;
    std::string host;
    int port = 22;
    std::string folder;  // absolute, without a trailing "/"; "/" for the root

    // sftp://user@host:port with the given absolute path, each path byte that a URL
    // cannot hold as it stands written as %XX.
    std::string UrlOf(const std::string& path) const;
};

// Reads sftp://user@host[:port]/folder. Throws OffsiteError saying what is wrong: another
// scheme, no user, no host, a port outside 1-65535, no folder, a folder with ".." or a
// control character.
SftpAddress ParseSftpUrl(const std::string& url);

// The fingerprint's base64 part as ssh-keygen -lf prints it ("SHA256:" optional, no
// padding): 43 characters of the base64 alphabet. Throws OffsiteError otherwise.
std::string FingerprintBase64(const std::string& text);

// Whether the settings are complete enough to connect: the URL readable, the host key
// given and well formed, the identity file given. Throws OffsiteError naming the key.
void CheckOffsiteSettings(const OffsiteSettings& settings);

}  // namespace vornback
