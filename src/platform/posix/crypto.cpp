// Linux: SHA-256 and ECDSA P-256 through OpenSSL's libcrypto (3.0, Debian 12).
//
// The public key is imported from its octets with the group's name; OpenSSL's import
// refuses a point that is not on the curve. Only the uncompressed form (0x04) is taken,
// as the Windows build takes it: OpenSSL would also read the hybrid forms 0x06 and 0x07
// of the same length. The signature arrives as r || s and is handed to OpenSSL as the
// DER sequence it expects; r or s of 0 or not below the group's order fails there.
#include "platform/crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <new>

namespace plat {

struct Sha256State {
  EVP_MD_CTX* context = nullptr;
  bool failed = false;
};

namespace {

constexpr size_t kHalf = kP256SignatureSize / 2;

void Release(Sha256Handle hash) {
  if (hash == nullptr) return;
  EVP_MD_CTX_free(hash->context);
  delete hash;
}

EVP_PKEY* ImportPublicKey(const uint8_t publicKey[kP256PublicKeySize]) {
  if (publicKey[0] != 0x04) return nullptr;
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  if (context == nullptr) return nullptr;
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<uint8_t*>(publicKey),
                                        kP256PublicKeySize),
      OSSL_PARAM_construct_end()};
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata_init(context) != 1 || EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    key = nullptr;
  }
  EVP_PKEY_CTX_free(context);
  return key;
}

// r || s as the DER sequence of two integers. Zero bytes when it cannot be built.
int SignatureDer(const uint8_t signature[kP256SignatureSize], unsigned char** der) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  if (sig == nullptr) return 0;
  BIGNUM* r = BN_bin2bn(signature, kHalf, nullptr);
  BIGNUM* s = BN_bin2bn(signature + kHalf, kHalf, nullptr);
  int length = 0;
  if (r != nullptr && s != nullptr && ECDSA_SIG_set0(sig, r, s) == 1) {
    r = s = nullptr;  // the signature owns them now
    length = i2d_ECDSA_SIG(sig, der);
  }
  BN_free(r);
  BN_free(s);
  ECDSA_SIG_free(sig);
  return length > 0 ? length : 0;
}

}  // namespace

Sha256Handle StartSha256() {
  Sha256Handle hash = new (std::nothrow) Sha256State;
  if (hash == nullptr) return nullptr;
  hash->context = EVP_MD_CTX_new();
  if (hash->context == nullptr || EVP_DigestInit_ex(hash->context, EVP_sha256(), nullptr) != 1) {
    Release(hash);
    ERR_clear_error();
    return nullptr;
  }
  return hash;
}

bool AddToSha256(Sha256Handle hash, const void* data, size_t length) {
  if (hash == nullptr || hash->failed) return false;
  if (length == 0) return true;
  if (data == nullptr || EVP_DigestUpdate(hash->context, data, length) != 1) {
    hash->failed = true;
    ERR_clear_error();
  }
  return !hash->failed;
}

bool FinishSha256(Sha256Handle hash, uint8_t digest[kSha256Size]) {
  if (hash == nullptr) return false;
  bool done = false;
  if (!hash->failed) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(hash->context, out, &length) == 1 && length == kSha256Size) {
      for (size_t i = 0; i < kSha256Size; ++i) digest[i] = out[i];
      done = true;
    }
  }
  Release(hash);
  return done;
}

void AbandonSha256(Sha256Handle hash) { Release(hash); }

bool VerifyP256Signature(const uint8_t publicKey[kP256PublicKeySize], const uint8_t digest[kSha256Size],
                         const uint8_t signature[kP256SignatureSize]) {
  EVP_PKEY* key = ImportPublicKey(publicKey);
  if (key == nullptr) {
    ERR_clear_error();
    return false;
  }
  unsigned char* der = nullptr;
  const int derLength = SignatureDer(signature, &der);
  bool valid = false;
  EVP_PKEY_CTX* context = derLength > 0 ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
  if (context != nullptr && EVP_PKEY_verify_init(context) == 1 &&
      EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1) {
    // 1 is a valid signature; 0 an invalid one; below 0 a failure.
    valid = EVP_PKEY_verify(context, der, static_cast<size_t>(derLength), digest, kSha256Size) == 1;
  }
  EVP_PKEY_CTX_free(context);
  OPENSSL_free(der);
  EVP_PKEY_free(key);
  // A refused key or signature leaves reasons on this thread's error queue; libcurl
  // reads that queue too, so nothing is left there.
  if (!valid) ERR_clear_error();
  return valid;
}

}  // namespace plat
