// Hashing and signature checks for signed patch lists: SHA-256 and ECDSA over the
// curve P-256 (secp256r1, prime256v1) with SHA-256.
//
// Bytes in, bytes out; every byte string has a fixed size:
// - a digest is the 32 bytes of SHA-256;
// - a public key is the uncompressed point, 65 bytes: 0x04, X, Y (32 bytes each, big
//   endian), as SEC 1 writes it and as OpenSSL's and the Windows crypto API's key
//   blobs hold it (behind their own headers);
// - a signature is r and s, 32 bytes each, big endian, one after the other (64 bytes):
//   the form the Windows crypto API takes; the Linux build converts it to the DER
//   sequence OpenSSL takes, and back, without the caller's knowledge.
//
// Threads: a hash in progress belongs to one thread at a time (it may be handed to
// another between calls); any number of hashes may run on different threads at once;
// VerifyP256Signature and Sha256 may be called from any thread at any time. Nothing
// here keeps state between calls that a caller could see; the first call may load the
// system's library (Windows), every later one only computes.
//
// Failures: every call reports failure by its result and never throws, aborts or
// reads or writes past the sizes above. A hash that fails once stays failed: its later
// AddToSha256 calls return false and its FinishSha256 gives no digest. A system without
// these services (Windows before Vista has no CNG) fails every call: StartSha256 gives
// null and VerifyP256Signature false, so a caller that demands a signature refuses
// rather than accepts.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plat {

constexpr size_t kSha256Size = 32;
constexpr size_t kP256PublicKeySize = 65;
constexpr size_t kP256SignatureSize = 64;

struct Sha256State;
using Sha256Handle = Sha256State*;

// A new SHA-256 of no bytes yet; null when the system cannot hash.
Sha256Handle StartSha256();
// Adds `length` bytes (any length, 0 included; `data` may be null only for 0).
// False when the hash has failed; it stays failed.
bool AddToSha256(Sha256Handle hash, const void* data, size_t length);
// Writes the digest of every byte added and releases the hash, also when it fails.
// False (digest untouched) for a failed hash or a null handle.
bool FinishSha256(Sha256Handle hash, uint8_t digest[kSha256Size]);
// Releases a hash without a digest (a download that was given up). Null is harmless.
void AbandonSha256(Sha256Handle hash);

// The digest of one buffer.
bool Sha256(const void* data, size_t length, uint8_t digest[kSha256Size]);

// True only when `signature` is a valid ECDSA P-256 signature of `digest` (the SHA-256
// of the signed bytes) by the private key of `publicKey`. False for everything else: a
// signature by another key or of other bytes, r or s outside 1 .. n-1, a public key
// that is not an uncompressed point on the curve, or a failure of the system.
bool VerifyP256Signature(const uint8_t publicKey[kP256PublicKeySize], const uint8_t digest[kSha256Size],
                         const uint8_t signature[kP256SignatureSize]);

}  // namespace plat
