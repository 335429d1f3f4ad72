// Windows: SHA-256 and ECDSA P-256 through CNG (bcrypt.dll, Vista and later); SHA-256
// with the processor's SHA instructions instead where it has them (sha256_instructions.h):
// CNG's is plain code under Wine, where it held the hashing thread that follows every
// download of a signed list back. This file then pads and finishes the hash itself.
//
// bcrypt.dll is loaded from the system folder on first use rather than imported: the
// program keeps starting on systems without it (as files.cpp does for
// GetFinalPathNameByHandleA), where every call here then fails, and no folder but the
// system's is ever searched for it. The two algorithm providers are opened once and
// kept for the process's life; CNG lets one provider serve any number of threads, each
// with hash and key objects of its own.
//
// The public key is imported as an ECCPUBLIC blob (its header, then X and Y); the
// signature is r || s as CNG takes it. Wine 8 (bcrypt over GnuTLS) verifies P-256
// signatures made by OpenSSL and refuses altered ones; its SHA-256 is plain code.
#include "platform/crypto.h"

#include "platform/win32/sha256_instructions.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <new>

namespace plat {

struct Sha256State {
  // Through CNG: its hash and the memory of the hash object, which CNG asks of the caller.
  BCRYPT_HASH_HANDLE handle = nullptr;
  unsigned char* object = nullptr;
  // With the SHA instructions (no CNG handle): the chaining state, the bytes of a block
  // not yet whole (`used` of them) and the count of every byte added.
  uint32_t state[8] = {};
  uint8_t block[64] = {};
  size_t used = 0;
  uint64_t total = 0;
  bool failed = false;
};

namespace {

constexpr NTSTATUS kSuccess = 0;

// The calls used, as bcrypt.dll exports them.
struct Cng {
  decltype(&BCryptOpenAlgorithmProvider) openProvider = nullptr;
  decltype(&BCryptGetProperty) getProperty = nullptr;
  decltype(&BCryptCreateHash) createHash = nullptr;
  decltype(&BCryptHashData) hashData = nullptr;
  decltype(&BCryptFinishHash) finishHash = nullptr;
  decltype(&BCryptDestroyHash) destroyHash = nullptr;
  decltype(&BCryptImportKeyPair) importKeyPair = nullptr;
  decltype(&BCryptVerifySignature) verifySignature = nullptr;
  decltype(&BCryptDestroyKey) destroyKey = nullptr;

  BCRYPT_ALG_HANDLE sha256 = nullptr;
  BCRYPT_ALG_HANDLE ecdsa = nullptr;
  ULONG hashObjectSize = 0;

  template <typename F>
  static bool Find(HMODULE module, const char* name, F* out) {
    *out = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *out != nullptr;
  }

  Cng() {
    char path[MAX_PATH + 16];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    std::memcpy(path + length, "\\bcrypt.dll", sizeof "\\bcrypt.dll");
    const HMODULE module = LoadLibraryA(path);
    if (module == nullptr) return;
    const bool found = Find(module, "BCryptOpenAlgorithmProvider", &openProvider) &&
                       Find(module, "BCryptGetProperty", &getProperty) &&
                       Find(module, "BCryptCreateHash", &createHash) && Find(module, "BCryptHashData", &hashData) &&
                       Find(module, "BCryptFinishHash", &finishHash) &&
                       Find(module, "BCryptDestroyHash", &destroyHash) &&
                       Find(module, "BCryptImportKeyPair", &importKeyPair) &&
                       Find(module, "BCryptVerifySignature", &verifySignature) &&
                       Find(module, "BCryptDestroyKey", &destroyKey);
    if (!found) return;
    ULONG got = 0;
    if (openProvider(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != kSuccess ||
        getProperty(sha256, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&hashObjectSize), sizeof hashObjectSize,
                    &got, 0) != kSuccess ||
        got != sizeof hashObjectSize) {
      sha256 = nullptr;
    }
    if (openProvider(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != kSuccess) ecdsa = nullptr;
  }
};

// Loaded once, on first use, by whichever thread comes first (the compiler makes the
// initialisation of a local static safe between threads); never unloaded.
const Cng& System() {
  static const Cng cng;
  return cng;
}

// Asked of the processor once; the same answer for every thread.
bool UseInstructions() {
  static const bool has = sha256::HasInstructions();
  return has;
}

void AddWithInstructions(Sha256State& hash, const unsigned char* bytes, size_t length) {
  hash.total += length;
  if (hash.used > 0) {
    const size_t take = length < sizeof hash.block - hash.used ? length : sizeof hash.block - hash.used;
    std::memcpy(hash.block + hash.used, bytes, take);
    hash.used += take;
    bytes += take;
    length -= take;
    if (hash.used < sizeof hash.block) return;
    sha256::CompressBlocks(hash.state, hash.block, 1);
    hash.used = 0;
  }
  // Whole blocks straight from the caller's bytes; the rest waits in `block`.
  const size_t blocks = length / sizeof hash.block;
  if (blocks > 0) sha256::CompressBlocks(hash.state, bytes, blocks);
  bytes += blocks * sizeof hash.block;
  length -= blocks * sizeof hash.block;
  std::memcpy(hash.block, bytes, length);
  hash.used = length;
}

// FIPS 180-4's padding: 0x80, zeros up to 8 bytes short of a block's end (into a block
// of their own when fewer than 9 bytes are left), the message's length in bits, big
// endian; then the state, big endian, is the digest.
void FinishWithInstructions(Sha256State& hash, uint8_t digest[kSha256Size]) {
  const uint64_t bits = hash.total * 8;
  hash.block[hash.used++] = 0x80;
  if (hash.used > sizeof hash.block - 8) {
    std::memset(hash.block + hash.used, 0, sizeof hash.block - hash.used);
    sha256::CompressBlocks(hash.state, hash.block, 1);
    hash.used = 0;
  }
  std::memset(hash.block + hash.used, 0, sizeof hash.block - 8 - hash.used);
  for (int i = 0; i < 8; ++i) hash.block[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  sha256::CompressBlocks(hash.state, hash.block, 1);
  for (size_t i = 0; i < 8; ++i) {
    for (size_t j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(hash.state[i] >> (24 - 8 * j));
  }
}

void Release(Sha256Handle hash) {
  if (hash == nullptr) return;
  if (hash->handle != nullptr) System().destroyHash(hash->handle);
  delete[] hash->object;
  delete hash;
}

}  // namespace

Sha256Handle StartSha256() {
  const Cng& cng = System();
  // Also with the instructions: a system without CNG fails every call, as platform/crypto.h says.
  if (cng.sha256 == nullptr) return nullptr;
  Sha256Handle hash = new (std::nothrow) Sha256State;
  if (hash == nullptr) return nullptr;
  if (UseInstructions()) {
    std::memcpy(hash->state, sha256::kInitialState, sizeof hash->state);
    return hash;
  }
  hash->object = new (std::nothrow) unsigned char[cng.hashObjectSize];
  if (hash->object == nullptr ||
      cng.createHash(cng.sha256, &hash->handle, hash->object, cng.hashObjectSize, nullptr, 0, 0) != kSuccess) {
    hash->handle = nullptr;
    Release(hash);
    return nullptr;
  }
  return hash;
}

bool AddToSha256(Sha256Handle hash, const void* data, size_t length) {
  if (hash == nullptr || hash->failed) return false;
  if (length == 0) return true;
  if (data == nullptr) {
    hash->failed = true;
    return false;
  }
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  if (hash->handle == nullptr) {
    AddWithInstructions(*hash, bytes, length);
    return true;
  }
  // CNG counts in ULONG: a larger buffer goes in pieces.
  while (length > 0) {
    const ULONG piece = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
    if (System().hashData(hash->handle, const_cast<PUCHAR>(bytes), piece, 0) != kSuccess) {
      hash->failed = true;
      return false;
    }
    bytes += piece;
    length -= piece;
  }
  return true;
}

bool FinishSha256(Sha256Handle hash, uint8_t digest[kSha256Size]) {
  if (hash == nullptr) return false;
  bool done = false;
  if (!hash->failed && hash->handle == nullptr) {
    FinishWithInstructions(*hash, digest);
    done = true;
  } else if (!hash->failed) {
    UCHAR out[kSha256Size];
    if (System().finishHash(hash->handle, out, sizeof out, 0) == kSuccess) {
      std::memcpy(digest, out, kSha256Size);
      done = true;
    }
  }
  Release(hash);
  return done;
}

void AbandonSha256(Sha256Handle hash) { Release(hash); }

bool VerifyP256Signature(const uint8_t publicKey[kP256PublicKeySize], const uint8_t digest[kSha256Size],
                         const uint8_t signature[kP256SignatureSize]) {
  const Cng& cng = System();
  if (cng.ecdsa == nullptr || publicKey[0] != 0x04) return false;
  // BCRYPT_ECCKEY_BLOB, then X and Y: the point less its leading 0x04.
  constexpr size_t kCoordinates = kP256PublicKeySize - 1;
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + kCoordinates];
  BCRYPT_ECCKEY_BLOB header;
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = kCoordinates / 2;
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, publicKey + 1, kCoordinates);

  BCRYPT_KEY_HANDLE key = nullptr;
  if (cng.importKeyPair(cng.ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob, sizeof blob, 0) != kSuccess) {
    return false;
  }
  UCHAR hashCopy[kSha256Size];
  UCHAR signatureCopy[kP256SignatureSize];
  std::memcpy(hashCopy, digest, sizeof hashCopy);
  std::memcpy(signatureCopy, signature, sizeof signatureCopy);
  const bool valid =
      cng.verifySignature(key, nullptr, hashCopy, sizeof hashCopy, signatureCopy, sizeof signatureCopy, 0) == kSuccess;
  cng.destroyKey(key);
  return valid;
}

}  // namespace plat
