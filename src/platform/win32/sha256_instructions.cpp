#include "platform/win32/sha256_instructions.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace plat {
namespace sha256 {

#if defined(__i386__) || defined(__x86_64__)

bool HasInstructions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool ssse3 = (c >> 9 & 1) != 0, sse41 = (c >> 19 & 1) != 0;
  // Leaf 7, sub-leaf 0, EBX bit 29; __get_cpuid_count answers 0 when leaf 7 is missing.
  if (!ssse3 || !sse41 || __get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return (b >> 29 & 1) != 0;
}

// The state is kept in two registers as the instructions take it: ABEF and CDGH. Four
// rounds per 16 bytes of message schedule, two SHA256RNDS2 of two rounds each.
__attribute__((target("sha,sse4.1,ssse3"))) void CompressBlocks(uint32_t state[8], const uint8_t* data,
                                                                 size_t blocks) {
  const __m128i order = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);  // big endian words
  __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0])), 0xB1);
  __m128i s1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4])), 0x1B);
  __m128i s0 = _mm_alignr_epi8(cdab, s1, 8);  // ABEF
  s1 = _mm_blend_epi16(s1, cdab, 0xF0);       // CDGH
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef = s0, cdgh = s1;
    __m128i m[4];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
      if (i < 4) {
        m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), order);
      } else {
        m[i % 4] = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(m[i % 4], m[(i + 1) % 4]),
                                                      _mm_alignr_epi8(m[(i + 3) % 4], m[(i + 2) % 4], 4)),
                                        m[(i + 3) % 4]);
      }
      const __m128i t =
          _mm_add_epi32(m[i % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRoundConstants[4 * i])));
      s1 = _mm_sha256rnds2_epu32(s1, s0, t);
      s0 = _mm_sha256rnds2_epu32(s0, s1, _mm_shuffle_epi32(t, 0x0E));
    }
    s0 = _mm_add_epi32(s0, abef);
    s1 = _mm_add_epi32(s1, cdgh);
  }
  const __m128i feba = _mm_shuffle_epi32(s0, 0x1B);
  s1 = _mm_shuffle_epi32(s1, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, s1, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(s1, feba, 8));
}

#else

bool HasInstructions() { return false; }
void CompressBlocks(uint32_t*, const uint8_t*, size_t) { __builtin_trap(); }

#endif

}  // namespace sha256
}  // namespace plat
