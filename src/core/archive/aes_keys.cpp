// The key derivation of WinZip AES: PBKDF2-HMAC-SHA1, 1000 iterations, 66 bytes.
//
// PKCS5_PBKDF2_HMAC_SHA1 of OpenSSL 3 goes through its provider layer and copies whole
// HMAC contexts on every iteration; the derivation is the main cost of an encrypted copy
// (once per file entry). Here each iteration is two single-block SHA-1 transforms from the
// pad states computed once, the message of every block fixed in length (64 + 20 bytes).
// The transform is deprecated in OpenSSL 3 but present, and uses the CPU's SHA
// instructions where it has them.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/sha.h>

#include <cstring>

#include "archive/aes_copy.h"

namespace vornback::archive_internal {

namespace {

constexpr int kIterations = 1000;
constexpr size_t kBlock = 64;
constexpr size_t kDigest = 20;

void StoreDigest(const SHA_CTX& state, uint8_t* out) {
    const SHA_LONG words[5] = {state.h0, state.h1, state.h2, state.h3, state.h4};
    for (size_t w = 0; w < 5; ++w) {
        for (size_t b = 0; b < 4; ++b) {
            out[w * 4 + b] = static_cast<uint8_t>(words[w] >> (24 - 8 * b));
        }
    }
}

// SHA-1 of (the pad block absorbed in start) + 20 bytes, the last block padded.
class PaddedBlock {
  public:
    PaddedBlock() {
        std::memset(block_, 0, sizeof block_);
        block_[kDigest] = 0x80;
        constexpr uint64_t bits = (kBlock + kDigest) * 8;
        block_[kBlock - 2] = static_cast<uint8_t>(bits >> 8);
        block_[kBlock - 1] = static_cast<uint8_t>(bits & 0xFF);
    }
    uint8_t* Message() { return block_; }
    void Hash(const SHA_CTX& start, uint8_t* out) {
        SHA_CTX state = start;
        SHA1_Transform(&state, block_);
        StoreDigest(state, out);
    }

  private:
    uint8_t block_[kBlock];
};

}  // namespace

AesKeys DeriveAesKeys(const std::string& passphrase, const uint8_t* salt) {
    uint8_t key[kBlock] = {};
    if (passphrase.size() > kBlock) {
        SHA1(reinterpret_cast<const uint8_t*>(passphrase.data()), passphrase.size(), key);
    } else {
        std::memcpy(key, passphrase.data(), passphrase.size());
    }
    uint8_t pad[kBlock];
    SHA_CTX inner;
    SHA_CTX outer;
    for (size_t i = 0; i < kBlock; ++i) {
        pad[i] = static_cast<uint8_t>(key[i] ^ 0x36);
    }
    SHA1_Init(&inner);
    SHA1_Update(&inner, pad, kBlock);
    for (size_t i = 0; i < kBlock; ++i) {
        pad[i] = static_cast<uint8_t>(key[i] ^ 0x5C);
    }
    SHA1_Init(&outer);
    SHA1_Update(&outer, pad, kBlock);

    uint8_t derived[4 * kDigest];
    PaddedBlock innerBlock;
    PaddedBlock outerBlock;
    for (uint32_t index = 1; index <= 4; ++index) {
        // U1 = HMAC(salt || index), through the ordinary calls.
        uint8_t counter[4] = {0, 0, 0, static_cast<uint8_t>(index)};
        SHA_CTX first = inner;
        SHA1_Update(&first, salt, kAesSalt);
        SHA1_Update(&first, counter, sizeof counter);
        SHA1_Final(outerBlock.Message(), &first);
        uint8_t u[kDigest];
        outerBlock.Hash(outer, u);
        uint8_t* t = derived + (index - 1) * kDigest;
        std::memcpy(t, u, kDigest);
        for (int j = 1; j < kIterations; ++j) {
            std::memcpy(innerBlock.Message(), u, kDigest);
            innerBlock.Hash(inner, outerBlock.Message());
            outerBlock.Hash(outer, u);
            for (size_t k = 0; k < kDigest; ++k) {
                t[k] ^= u[k];
            }
        }
    }
    AesKeys keys;
    std::memcpy(keys.encryption.data(), derived, 32);
    std::memcpy(keys.authentication.data(), derived + 32, 32);
    std::memcpy(keys.verifier.data(), derived + 64, kAesVerifier);
    return keys;
}

}  // namespace vornback::archive_internal
