// SHA-256's compression function with the x86 SHA instructions (SHA256RNDS2, SHA256MSG1,
// SHA256MSG2), which crypto.cpp uses instead of CNG where the processor has them: CNG's
// SHA-256 is plain code under Wine and slower than the instructions under Windows too.
// Whole 64-byte blocks only; the caller keeps the partial block, pads and finishes.
// No Windows headers: the Linux crypto benchmark compiles this file as well.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plat {
namespace sha256 {

// FIPS 180-4: the round constants and the state a new hash starts from.
inline constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
inline constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// True when the processor has the SHA instructions and the SSSE3 and SSE4.1 ones the
// compression also uses (cpuid). Always false on processors other than x86.
bool HasInstructions();

// Compresses `blocks` whole 64-byte blocks at `data` into `state`. Only where
// HasInstructions() is true (an x86 build): anywhere else the processor faults.
void CompressBlocks(uint32_t state[8], const uint8_t* data, size_t blocks);

}  // namespace sha256
}  // namespace plat
