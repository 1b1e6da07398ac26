// PBKDF2-HMAC-SHA1's iterations on 16 chains at once, with the CPU's vector instructions.
//
// Every iteration of the derivation is two SHA-1 transforms that wait on each other, so one
// chain keeps the CPU's SHA unit waiting; the 16 chains of four entries' keys (four 20-byte
// blocks each) are independent and go through the vector lanes side by side. The same code
// is built once for AVX-512F and once for AVX2 (sha1_lanes_avx512.cpp, sha1_lanes_avx2.cpp);
// aes_keys.cpp picks what the CPU runs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vornback::archive_internal {

constexpr size_t kSha1Lanes = 16;

// The chains, word-major: u is each chain's last HMAC, t the XOR of all of them so far.
struct Sha1Chains {
    uint32_t u[5][kSha1Lanes];
    uint32_t t[5][kSha1Lanes];
};

// Runs `iterations` more iterations of every chain: u = HMAC(u) with the HMAC's inner and
// outer states (SHA-1 after the key's padded block, the same for all chains), t ^= u.
void IterateSha1ChainsAvx512(const uint32_t* inner, const uint32_t* outer, Sha1Chains& chains,
                             int iterations);
void IterateSha1ChainsAvx2(const uint32_t* inner, const uint32_t* outer, Sha1Chains& chains,
                           int iterations);

}  // namespace vornback::archive_internal
