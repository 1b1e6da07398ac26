// The key derivation of WinZip AES: PBKDF2-HMAC-SHA1, 1000 iterations, 66 bytes.
//
// PKCS5_PBKDF2_HMAC_SHA1 of OpenSSL 3 goes through its provider layer and copies whole
// HMAC contexts on every iteration; the derivation is the main cost of an encrypted copy
// (once per file entry). Here each iteration is two single-block SHA-1 transforms from the
// pad states computed once, the message of every block fixed in length (64 + 20 bytes).
// The 66 bytes are four independent chains of 20; where the CPU has AVX2 or AVX-512F, four
// entries' 16 chains run side by side in the vector lanes (sha1_lanes.h). Otherwise one
// chain at a time, through OpenSSL's SHA-1 transform (deprecated in OpenSSL 3 but present;
// it uses the CPU's SHA instructions where it has them).
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

#include "archive/aes_copy.h"
#include "archive/sha1_lanes.h"

namespace vornback::archive_internal {

namespace {

constexpr int kIterations = 1000;
constexpr size_t kBlock = 64;
constexpr size_t kDigest = 20;
constexpr size_t kChains = 4;  // 20-byte blocks of the 66 derived bytes

void StoreWord(uint32_t word, uint8_t* out) {
    for (size_t b = 0; b < 4; ++b) {
        out[b] = static_cast<uint8_t>(word >> (24 - 8 * b));
    }
}

void StoreDigest(const SHA_CTX& state, uint8_t* out) {
    const SHA_LONG words[5] = {state.h0, state.h1, state.h2, state.h3, state.h4};
    for (size_t w = 0; w < 5; ++w) {
        StoreWord(words[w], out + w * 4);
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

// The first link of chain `index` (1 to 4): HMAC(salt || index), through the ordinary calls.
void FirstLink(const HmacPads& pads, const AesSalt& salt, uint32_t index, uint8_t* out) {
    const uint8_t counter[4] = {0, 0, 0, static_cast<uint8_t>(index)};
    SHA_CTX first = pads.inner;
    SHA1_Update(&first, salt.data(), kAesSalt);
    SHA1_Update(&first, counter, sizeof counter);
    PaddedBlock outerBlock;
    SHA1_Final(outerBlock.Message(), &first);
    outerBlock.Hash(pads.outer, out);
}

AesKeys KeysOf(const uint8_t* derived) {
    AesKeys keys;
    std::memcpy(keys.encryption.data(), derived, 32);
    std::memcpy(keys.authentication.data(), derived + 32, 32);
    std::memcpy(keys.verifier.data(), derived + 64, kAesVerifier);
    return keys;
}

AesKeys DeriveOne(const HmacPads& pads, const AesSalt& salt) {
    uint8_t derived[kChains * kDigest];
    PaddedBlock innerBlock;
    PaddedBlock outerBlock;
    for (uint32_t index = 1; index <= kChains; ++index) {
        uint8_t u[kDigest];
        FirstLink(pads, salt, index, u);
        uint8_t* t = derived + (index - 1) * kDigest;
        std::memcpy(t, u, kDigest);
        for (int j = 1; j < kIterations; ++j) {
            std::memcpy(innerBlock.Message(), u, kDigest);
            innerBlock.Hash(pads.inner, outerBlock.Message());
            outerBlock.Hash(pads.outer, u);
            for (size_t k = 0; k < kDigest; ++k) {
                t[k] ^= u[k];
            }
        }
    }
    return KeysOf(derived);
}

#ifdef VORNBACK_SHA1_LANES
constexpr size_t kEntriesAtOnce = kSha1Lanes / kChains;

uint32_t LoadWord(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 |
           static_cast<uint32_t>(in[2]) << 8 | in[3];
}

// Up to four entries at once, their chains in the vector lanes (unused lanes run idle).
void DeriveFour(const HmacPads& pads, const AesSalt* salts, size_t count, AesKeys* keys,
                KeyDerivation way) {
    Sha1Chains chains{};
    for (size_t entry = 0; entry < count; ++entry) {
        for (uint32_t index = 1; index <= kChains; ++index) {
            uint8_t u[kDigest];
            FirstLink(pads, salts[entry], index, u);
            const size_t lane = entry * kChains + index - 1;
            for (size_t w = 0; w < 5; ++w) {
                chains.u[w][lane] = chains.t[w][lane] = LoadWord(u + 4 * w);
            }
        }
    }
    const uint32_t inner[5] = {pads.inner.h0, pads.inner.h1, pads.inner.h2, pads.inner.h3,
                               pads.inner.h4};
    const uint32_t outer[5] = {pads.outer.h0, pads.outer.h1, pads.outer.h2, pads.outer.h3,
                               pads.outer.h4};
    if (way == KeyDerivation::Avx512) {
        IterateSha1ChainsAvx512(inner, outer, chains, kIterations - 1);
    } else {
        IterateSha1ChainsAvx2(inner, outer, chains, kIterations - 1);
    }
    for (size_t entry = 0; entry < count; ++entry) {
        uint8_t derived[kChains * kDigest];
        for (size_t chain = 0; chain < kChains; ++chain) {
            for (size_t w = 0; w < 5; ++w) {
                StoreWord(chains.t[w][entry * kChains + chain], derived + chain * kDigest + 4 * w);
            }
        }
        keys[entry] = KeysOf(derived);
    }
}
#endif

}  // namespace

HmacPads::HmacPads(const uint8_t* key, size_t length) {
    uint8_t block[kBlock] = {};
    if (length > kBlock) {
        SHA1(key, length, block);
    } else {
        std::memcpy(block, key, length);
    }
    uint8_t pad[kBlock];
    for (size_t i = 0; i < kBlock; ++i) {
        pad[i] = static_cast<uint8_t>(block[i] ^ 0x36);
    }
    SHA1_Init(&inner);
    SHA1_Update(&inner, pad, kBlock);
    for (size_t i = 0; i < kBlock; ++i) {
        pad[i] = static_cast<uint8_t>(block[i] ^ 0x5C);
    }
    SHA1_Init(&outer);
    SHA1_Update(&outer, pad, kBlock);
}

std::vector<KeyDerivation> KeyDerivations() {
    std::vector<KeyDerivation> ways{KeyDerivation::OneChain};
#ifdef VORNBACK_SHA1_LANES
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        ways.push_back(KeyDerivation::Avx2);
    }
    if (__builtin_cpu_supports("avx512f")) {
        ways.push_back(KeyDerivation::Avx512);
    }
#endif
    return ways;
}

void DeriveAesKeys(const std::string& passphrase, const AesSalt* salts, size_t count, AesKeys* keys,
                   std::optional<KeyDerivation> way) {
    static const KeyDerivation fastest = KeyDerivations().back();
    const KeyDerivation chosen = way.value_or(fastest);
    // The HMAC's states after the passphrase's padded blocks, the same for every entry.
    const HmacPads pads(reinterpret_cast<const uint8_t*>(passphrase.data()), passphrase.size());
#ifdef VORNBACK_SHA1_LANES
    if (chosen != KeyDerivation::OneChain) {
        for (size_t i = 0; i < count; i += kEntriesAtOnce) {
            DeriveFour(pads, salts + i, std::min(kEntriesAtOnce, count - i), keys + i, chosen);
        }
        return;
    }
#else
    static_cast<void>(chosen);  // one way only without the vector paths
#endif
    for (size_t i = 0; i < count; ++i) {
        keys[i] = DeriveOne(pads, salts[i]);
    }
}

}  // namespace vornback::archive_internal
