// The crypto service as platform/crypto.h promises it, on whichever implementation this
// build has (OpenSSL on Linux, CNG on Windows): the platform header, the standard
// library and GoogleTest only. The signature is a fixed one made once by the
// publisher's tool (support/signed_list_vector.h), so the Windows build checks what the
// tool's OpenSSL signing produced.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/crypto.h"
#include "support/signed_list_vector.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string Digest(const std::string& bytes) {
  uint8_t d[plat::kSha256Size];
  if (!plat::Sha256(bytes.data(), bytes.size(), d)) return "failed";
  return Hex(d, sizeof d);
}

// The vector's public key, the SHA-256 of what it signed and the signature r || s.
struct Vector {
  std::vector<uint8_t> key = FromHex(zdtest::kVectorPublicPointHex);
  std::vector<uint8_t> signature = FromHex(zdtest::kVectorSignatureHex);
  uint8_t digest[plat::kSha256Size] = {};
  Vector() {
    const std::string list = zdtest::kVectorSignedList;
    const std::string signedBytes = list.substr(0, list.rfind("#zd-signature "));
    EXPECT_TRUE(plat::Sha256(signedBytes.data(), signedBytes.size(), digest));
  }
  bool Verifies() const { return plat::VerifyP256Signature(key.data(), digest, signature.data()); }
};

TEST(Sha256, KnownDigestsWholeAndInPieces) {
  EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // One million 'a', added in pieces that cross the 64-byte blocks every way.
  const std::string a(1000000, 'a');
  plat::Sha256Handle hash = plat::StartSha256();
  ASSERT_NE(hash, nullptr);
  size_t at = 0;
  for (size_t piece = 0; at < a.size(); piece = (piece * 7 + 13) % 200) {
    const size_t n = std::min(piece, a.size() - at);
    ASSERT_TRUE(plat::AddToSha256(hash, a.data() + at, n));
    at += n;
  }
  uint8_t d[plat::kSha256Size];
  ASSERT_TRUE(plat::FinishSha256(hash, d));
  EXPECT_EQ(Hex(d, sizeof d), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(Digest(a), Hex(d, sizeof d));

  // Null handles fail without harm; a hash given up costs nothing more.
  EXPECT_FALSE(plat::AddToSha256(nullptr, "x", 1));
  EXPECT_FALSE(plat::FinishSha256(nullptr, d));
  plat::AbandonSha256(nullptr);
  hash = plat::StartSha256();
  ASSERT_NE(hash, nullptr);
  EXPECT_FALSE(plat::AddToSha256(hash, nullptr, 1)) << "no bytes to add";
  EXPECT_FALSE(plat::AddToSha256(hash, "x", 1)) << "a failed hash stays failed";
  EXPECT_FALSE(plat::FinishSha256(hash, d));
}

// Messages whose last block holds 0, 1, 55, 56, 63, 64 and 65 bytes (the padding's edges:
// up to 55 the length fits behind the 0x80, from 56 it takes a block of its own), added in
// uneven pieces, give the one-shot digest; the digests together give a known one.
TEST(Sha256, PaddingEdgesInUnevenPieces) {
  std::string digests;
  for (const size_t tail : {0, 1, 55, 56, 63, 64, 65}) {
    std::string message(128 + tail, '\0');
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i * 131 + 7);
    plat::Sha256Handle hash = plat::StartSha256();
    ASSERT_NE(hash, nullptr);
    size_t at = 0;
    for (size_t piece = 1; at < message.size(); piece = (piece * 7 + 13) % 97 + 1) {
      const size_t n = std::min(piece, message.size() - at);
      ASSERT_TRUE(plat::AddToSha256(hash, message.data() + at, n));
      at += n;
    }
    uint8_t d[plat::kSha256Size];
    ASSERT_TRUE(plat::FinishSha256(hash, d));
    EXPECT_EQ(Hex(d, sizeof d), Digest(message)) << message.size() << " bytes";
    digests.append(reinterpret_cast<const char*>(d), sizeof d);
  }
  EXPECT_EQ(Digest(digests), "e05152b9923ce068effceb7346cfdabe90dceb922376ff0faefa9958429df3b8");
}

TEST(P256, VerifiesTheToolsSignatureAndNothingElse) {
  Vector v;
  ASSERT_EQ(v.key.size(), plat::kP256PublicKeySize);
  ASSERT_EQ(v.signature.size(), plat::kP256SignatureSize);
  EXPECT_TRUE(v.Verifies());

  // A bit of every byte of the signature, and bits across the digest and the key.
  for (size_t byte = 0; byte < plat::kP256SignatureSize; ++byte) {
    Vector changed;
    changed.signature[byte] ^= static_cast<uint8_t>(1u << (byte % 8));
    EXPECT_FALSE(changed.Verifies()) << "signature byte " << byte;
  }
  for (size_t byte = 0; byte < plat::kSha256Size; byte += 5) {
    Vector changed;
    changed.digest[byte] ^= 0x10;
    EXPECT_FALSE(changed.Verifies()) << "digest byte " << byte;
  }
  for (size_t byte = 1; byte < plat::kP256PublicKeySize; byte += 7) {
    Vector changed;
    changed.key[byte] ^= 0x01;  // another X or Y: off the curve, or another key
    EXPECT_FALSE(changed.Verifies()) << "key byte " << byte;
  }
  // Only the uncompressed form is a key; r and s must lie in 1 .. n-1.
  for (const uint8_t form : {0x00, 0x02, 0x03, 0x06, 0x07}) {
    Vector changed;
    changed.key[0] = form;
    EXPECT_FALSE(changed.Verifies()) << "point form " << int(form);
  }
  const std::vector<uint8_t> order = FromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
  for (const size_t half : {size_t{0}, size_t{32}}) {
    Vector zero;
    std::memset(zero.signature.data() + half, 0, 32);
    EXPECT_FALSE(zero.Verifies()) << (half == 0 ? "r" : "s") << " = 0";
    Vector n;
    std::memcpy(n.signature.data() + half, order.data(), 32);
    EXPECT_FALSE(n.Verifies()) << (half == 0 ? "r" : "s") << " = n";
  }
}

// Hashes and checks run on several threads at once (the downloads hash on the FTP
// client's thread while the list is judged on another).
TEST(Crypto, ThreadsHashAndVerifyAtOnce) {
  const std::string a(300000, 'a');
  const std::string expected = Digest(a);
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const Vector v;
      for (int i = 0; i < 5; ++i) good[t] += Digest(a) == expected && v.Verifies();
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(good, std::vector<int>(4, 5));
}

}  // namespace
