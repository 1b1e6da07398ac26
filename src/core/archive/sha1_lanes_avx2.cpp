// IterateSha1Chains for AVX2 (this file is built with -mavx2; run only where the CPU has it).
#define SHA1_CHAINS_FUNCTION IterateSha1ChainsAvx2
#include "archive/sha1_lanes.inc"
