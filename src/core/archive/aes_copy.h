// The writer of the AES-256 encrypted copy of a checked archive (WinZip AES, vendor version
// AE-2), and the check of that copy against the keys it was written with. Private to
// src/core/archive; EncryptArchiveCopy in archive.h is the way in.
//
// Every file entry of the source is copied with its compressed bytes as they stand: local
// header with method 99 and the encryption flag, the 0x9901 extra field (AE-2, "AE",
// strength 3 = AES-256, the real method) before the entry's own extra fields, then a random
// 16-byte salt, the 2-byte password verifier, the compressed bytes in AES-256-CTR (WinZip's
// counter: little endian, starting at 1) and the first 10 bytes of an HMAC-SHA1 of the
// ciphertext. The CRC stays for entries of 20 bytes or more (libzip checks it there even
// with AE-2) and is 0 below. Folder entries are copied unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <openssl/sha.h>

#include "archive/archive.h"

namespace vornback::archive_internal {

constexpr size_t kAesSalt = 16;
constexpr size_t kAesVerifier = 2;
constexpr size_t kAesCode = 10;  // the stored part of the HMAC-SHA1

struct AesKeys {
    std::array<uint8_t, 32> encryption{};
    std::array<uint8_t, 32> authentication{};
    std::array<uint8_t, kAesVerifier> verifier{};
};

// The keys a copy was written with, by the entry's salt (its 16 bytes as a string).
using AesCopyKeys = std::map<std::string, AesKeys>;

using AesSalt = std::array<uint8_t, kAesSalt>;

// The SHA-1 states after an HMAC key's two padded blocks (a key longer than a block hashed
// first): where every HMAC-SHA1 with that key starts, the derivation's and the copy's.
struct HmacPads {
    SHA_CTX inner;
    SHA_CTX outer;
    HmacPads(const uint8_t* key, size_t length);
};

// How the keys are derived: one chain at a time (the CPU's SHA instructions through
// OpenSSL's transform), or 16 chains side by side with AVX2 or AVX-512F.
enum class KeyDerivation { OneChain, Avx2, Avx512 };

// The ways this CPU can derive keys, the fastest last.
std::vector<KeyDerivation> KeyDerivations();

// The keys of count entries, from their salts: PBKDF2-HMAC-SHA1 of the passphrase and the
// salt, 1000 iterations, 66 bytes (encryption key, authentication key, verifier). The
// fastest way this CPU has unless `way` says which (one of KeyDerivations()).
void DeriveAesKeys(const std::string& passphrase, const AesSalt* salts, size_t count, AesKeys* keys,
                   std::optional<KeyDerivation> way = std::nullopt);

// Writes the encrypted copy of the archive at sourcePath to fd (an empty file opened for
// writing; targetPath names it in messages) on one worker thread per core, each taking
// four entries at a time (their keys derived at once) and writing them in their places.
// Starts the write-back to the disk as it goes, but does not sync. Returns the keys by salt;
// std::nullopt, with nothing written, when the copy would need ZIP64 (an entry or offset at 4 GiB
// or beyond, or more than 65535 entries), which this writer does not write. Throws ArchiveError
// (ArchiveCancelled on cancel).
std::optional<AesCopyKeys> WriteAesCopy(const std::string& sourcePath, int fd,
                                        const std::string& targetPath,
                                        const std::string& passphrase,
                                        const EncryptOptions& options);

// Reads the copy at copyPath back from the disk and checks it against the source archive
// and the keys it was written with: the same entries in the same order, every header
// field, each file entry's salt known, its verifier and authentication code right, its
// bytes decrypting to the source's compressed bytes exactly, folder entries unchanged; then
// libzip opens the copy with its consistency check. Throws ArchiveError naming what is
// wrong (ArchiveCancelled on cancel).
void CheckAesCopy(const std::string& sourcePath, const std::string& copyPath,
                  const AesCopyKeys& keys, const EncryptOptions& options);

}  // namespace vornback::archive_internal
