// SHA-256 and P-256 verification of the build's crypto service, next to a plain C++
// SHA-256 compiled with the program's own flags, in one run:
//
//   bench/crypto_bench [MiB] [rounds] [service]          (Linux: OpenSSL's libcrypto)
//   wine build/win32/bench/crypto_bench.exe [MiB] [rounds] [service]   (Windows: CNG)
//
// Hashes MiB (default 256) of data in the 256 KiB pieces a download delivers, from
// memory, `rounds` times (default 3), and prints the median time and rate of each, and
// the time of one signature check (the median of 200). Two SHA-256 of its own are here
// only to be measured against the service: FIPS 180-4 written out in plain C++, and the
// same with the processor's SHA instructions (x86, where it has them). With "service"
// only the service hashes (to load one core with the hashing a download would need,
// beside a transfer measured on its own).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define ZD_BENCH_SHA_NI 1
#endif

#include "platform/crypto.h"
#include "support/signed_list_vector.h"

namespace {

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

class PortableSha256 {
 public:
  void Add(const uint8_t* p, size_t n) {
    total_ += n;
    while (n > 0) {
      if (used_ == 0 && n >= 64) {
        Block(p);
        p += 64;
        n -= 64;
        continue;
      }
      const size_t k = std::min(n, 64 - used_);
      std::memcpy(buffer_ + used_, p, k);
      used_ += k;
      p += k;
      n -= k;
      if (used_ == 64) {
        Block(buffer_);
        used_ = 0;
      }
    }
  }
  void Finish(uint8_t out[32]) {
    const uint64_t bits = total_ * 8;
    const uint8_t one = 0x80, zero = 0;
    Add(&one, 1);
    while (used_ != 56) Add(&zero, 1);
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    Add(length, 8);
    for (int i = 0; i < 8; ++i) {
      for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<uint8_t>(h_[i] >> (24 - 8 * j));
    }
  }

 private:
  static uint32_t R(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
  void Block(const uint8_t* p) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      w[i] = static_cast<uint32_t>(p[4 * i]) << 24 | static_cast<uint32_t>(p[4 * i + 1]) << 16 |
             static_cast<uint32_t>(p[4 * i + 2]) << 8 | p[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = R(w[i - 15], 7) ^ R(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = R(w[i - 2], 17) ^ R(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 = h + (R(e, 6) ^ R(e, 11) ^ R(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
      const uint32_t t2 = (R(a, 2) ^ R(a, 13) ^ R(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g, h_[7] += h;
  }

 public:
  // The chaining state, public so the SHA instructions can start from it and be compared.
  uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

 private:
  uint64_t total_ = 0;
  uint8_t buffer_[64] = {};
  size_t used_ = 0;
};

#ifdef ZD_BENCH_SHA_NI
bool HasShaInstructions() {
  unsigned a, b, c, d;
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b >> 29 & 1) != 0;
}

// The compression of whole 64-byte blocks with SHA256RNDS2, SHA256MSG1 and SHA256MSG2.
__attribute__((target("sha,sse4.1,ssse3"))) void ShaBlocks(uint32_t state[8], const uint8_t* data, size_t blocks) {
  const __m128i order = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
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
      __m128i t = _mm_add_epi32(m[i % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&K[4 * i])));
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
#endif

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int Hex(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }
void FromHex(const char* hex, uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(Hex(hex[2 * i]) << 4 | Hex(hex[2 * i + 1]));
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const bool serviceOnly = argc > 3 && std::strcmp(argv[3], "service") == 0;
  const size_t piece = 256 * 1024;
  std::vector<uint8_t> data(piece);
  for (size_t i = 0; i < piece; ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  const size_t pieces = mib * 1024 * 1024 / piece;

  std::vector<double> service, portable, instructions;
  uint8_t a[32] = {}, b[32] = {};
  uint32_t blocksState[8] = {};
  uint32_t portableState[8] = {};
  for (int round = 0; round < rounds; ++round) {
    Clock::time_point start = Clock::now();
    plat::Sha256Handle hash = plat::StartSha256();
    for (size_t i = 0; i < pieces; ++i) plat::AddToSha256(hash, data.data(), piece);
    if (!plat::FinishSha256(hash, a)) {
      std::fprintf(stderr, "the crypto service cannot hash\n");
      return 1;
    }
    service.push_back(Since(start));
    if (serviceOnly) continue;

    start = Clock::now();
    PortableSha256 own;
    for (size_t i = 0; i < pieces; ++i) own.Add(data.data(), piece);
    std::memcpy(portableState, own.h_, sizeof portableState);  // after whole blocks only
    own.Finish(b);
    portable.push_back(Since(start));
#ifdef ZD_BENCH_SHA_NI
    if (HasShaInstructions()) {
      start = Clock::now();
      PortableSha256 initial;
      std::memcpy(blocksState, initial.h_, sizeof blocksState);
      for (size_t i = 0; i < pieces; ++i) ShaBlocks(blocksState, data.data(), piece / 64);
      instructions.push_back(Since(start));
    }
#endif
  }
  if (!instructions.empty() && std::memcmp(blocksState, portableState, sizeof blocksState) != 0) {
    std::fprintf(stderr, "the SHA instructions disagree\n");
    return 1;
  }
  if (serviceOnly) {
    std::printf("SHA-256 of %zu MiB by the crypto service: %.3f s\n", mib, Median(service));
    return 0;
  }
  if (std::memcmp(a, b, 32) != 0) {
    std::fprintf(stderr, "the two SHA-256 disagree\n");
    return 1;
  }

  // The contract test's fixed signature: a key, the SHA-256 of the signed bytes, r || s.
  uint8_t key[65], digest[32], signature[64];
  FromHex(zdtest::kVectorPublicPointHex, key, sizeof key);
  FromHex(zdtest::kVectorSignatureHex, signature, sizeof signature);
  const std::string list = zdtest::kVectorSignedList;
  const std::string signedBytes = list.substr(0, list.rfind("#zd-signature "));
  plat::Sha256(signedBytes.data(), signedBytes.size(), digest);
  std::vector<double> verify;
  if (!plat::VerifyP256Signature(key, digest, signature)) {
    std::fprintf(stderr, "the signature check failed\n");
    return 1;
  }
  for (int i = 0; i < 200; ++i) {
    const Clock::time_point start = Clock::now();
    plat::VerifyP256Signature(key, digest, signature);
    verify.push_back(Since(start));
  }

  const double mb = static_cast<double>(pieces * piece) / (1024.0 * 1024.0);
  std::printf("SHA-256 of %.0f MiB in 256 KiB pieces, median of %d rounds:\n", mb, rounds);
  std::printf("  crypto service   %7.3f s  %7.1f MiB/s\n", Median(service), mb / Median(service));
  std::printf("  portable C++     %7.3f s  %7.1f MiB/s\n", Median(portable), mb / Median(portable));
  if (!instructions.empty()) {
    std::printf("  SHA instructions %7.3f s  %7.1f MiB/s\n", Median(instructions), mb / Median(instructions));
  }
  std::printf("P-256 signature check: %.3f ms (median of 200)\n", Median(verify) * 1000.0);
  return 0;
}
