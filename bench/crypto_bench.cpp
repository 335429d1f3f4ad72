// SHA-256 and P-256 verification of the build's crypto service, next to a plain C++
// SHA-256 compiled with the program's own flags, in one run:
//
//   bench/crypto_bench [MiB] [rounds] [service]          (Linux: OpenSSL's libcrypto)
//   wine build/win32/bench/crypto_bench.exe [MiB] [rounds] [service]   (Windows: CNG)
//
// Hashes MiB (default 256) of data in the 256 KiB pieces a download delivers, from
// memory, `rounds` times (default 3), and prints the median time and rate of each, and
// the time of one signature check (the median of 200). Two SHA-256 are measured against
// the service: FIPS 180-4 written out in plain C++ (here only), and the compression with
// the processor's SHA instructions (x86, where it has them) that the Windows build's
// service hashes with (src/platform/win32/sha256_instructions.h; compiled into this
// program on Linux). Under Windows without those instructions the service is CNG. With "service"
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
#define ZD_BENCH_SHA_NI 1
#endif

#include "platform/crypto.h"
#include "platform/win32/sha256_instructions.h"
#include "support/signed_list_vector.h"

namespace {

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

using plat::sha256::kRoundConstants;

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
      const uint32_t t1 = h + (R(e, 6) ^ R(e, 11) ^ R(e, 25)) + ((e & f) ^ (~e & g)) + kRoundConstants[i] + w[i];
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
    if (plat::sha256::HasInstructions()) {
      start = Clock::now();
      PortableSha256 initial;
      std::memcpy(blocksState, initial.h_, sizeof blocksState);
      for (size_t i = 0; i < pieces; ++i) plat::sha256::CompressBlocks(blocksState, data.data(), piece / 64);
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
