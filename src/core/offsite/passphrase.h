// The passphrase of the encrypted archives: from the desktop keyring when one answers and
// holds it, otherwise from the file PassphraseFile names, which must be the user's own
// and private (as the mail password's). A passphrase shorter than kShortestPassphrase is
// refused: the format's key derivation is weak, so its length is the defence.
#pragma once

#include <optional>
#include <string>

namespace vornback {

// The keyring entry's attributes, as `secret-tool store` takes them.
inline constexpr const char* kKeyringApplication = "vornback";
inline constexpr const char* kKeyringPurpose = "archive-passphrase";

// The passphrase the desktop keyring holds for the archives (libsecret, loaded when the
// program runs: a machine without it, without a secret service or without the entry
// gives nothing). Never throws.
std::optional<std::string> KeyringPassphrase();

// The first line of the passphrase file. Throws Error with a plain reason: the file
// missing, not private, not the user's own, empty, or the passphrase too short.
std::string PassphraseFromFile(const std::string& passphraseFile);

// The keyring's passphrase when it has one, else the file's. Throws Error saying how to
// give one when neither is there, or why the file cannot be used.
std::string EncryptionPassphrase(const std::string& passphraseFile);

}  // namespace vornback
