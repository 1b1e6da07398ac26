// IterateSha1Chains for AVX-512F (this file is built with -mavx512f; run only where the CPU
// has it).
#define SHA1_CHAINS_FUNCTION IterateSha1ChainsAvx512
#include "archive/sha1_lanes.inc"
