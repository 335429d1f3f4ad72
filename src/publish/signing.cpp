// Keys and signatures of the publisher's tool, through OpenSSL (signing.h).
#include "publish/signing.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "platform/clock.h"
#include "platform/crypto.h"
#include "publish/packer.h"

namespace publish {
namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// OpenSSL's own reason for the last failure on this thread, and an empty queue after it.
std::string OpenSslReason() {
  const unsigned long code = ERR_peek_last_error();
  char text[256] = "unknown reason";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

// A key file is never encrypted by this tool; one that is would otherwise make OpenSSL
// ask for a pass phrase on the terminal.
int NoPassphrase(char*, int, int, void*) { return 0; }

// The key's public point, uncompressed; false when it is not a P-256 key.
bool PublicPoint(EVP_PKEY* key, uint8_t point[plat::kP256PublicKeySize], std::string* error) {
  char group[64] = "";
  size_t length = 0;
  if (EVP_PKEY_is_a(key, "EC") != 1 ||
      EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) != 1 ||
      std::strcmp(group, "prime256v1") != 0) {
    ERR_clear_error();
    *error = "not an ECDSA P-256 key";
    return false;
  }
  if (EVP_PKEY_set_utf8_string_param(key, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed") != 1 ||
      EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, plat::kP256PublicKeySize, &length) != 1 ||
      length != plat::kP256PublicKeySize || point[0] != 0x04) {
    *error = "cannot read its public key: " + OpenSslReason();
    return false;
  }
  return true;
}

bool LoadPrivateKey(const std::string& keyFile, Key* out, std::string* error) {
  FILE* file = std::fopen(keyFile.c_str(), "rb");
  if (file == nullptr) {
    *error = Errno("cannot read the key file " + keyFile);
    return false;
  }
  EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, NoPassphrase, nullptr);
  std::fclose(file);
  if (key == nullptr) {
    *error = keyFile + " holds no private key this tool can use (an unencrypted PEM key): " + OpenSslReason();
    return false;
  }
  out->reset(key);
  uint8_t point[plat::kP256PublicKeySize];
  std::string why;
  if (!PublicPoint(key, point, &why)) {
    *error = keyFile + ": " + why;
    return false;
  }
  return true;
}

bool KeyLine(EVP_PKEY* key, std::string* line, std::string* error) {
  uint8_t point[plat::kP256PublicKeySize];
  char text[kPublicKeyTextLength + 1];
  if (!PublicPoint(key, point, error)) return false;
  if (!FormatPublicKey(point, text, sizeof text)) {
    *error = "cannot write the public key";
    return false;
  }
  *line = std::string("PUBLICKEY=") + text;
  return true;
}

// r || s of a DER signature, each exactly 32 bytes; false for anything else.
bool RawSignature(const unsigned char* der, size_t length, uint8_t out[plat::kP256SignatureSize]) {
  const unsigned char* p = der;
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length));
  if (sig == nullptr) return false;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig, &r, &s);
  const int half = static_cast<int>(plat::kP256SignatureSize / 2);
  const bool ok = p == der + length && BN_num_bytes(r) <= half && BN_num_bytes(s) <= half &&
                  BN_bn2binpad(r, out, half) == half && BN_bn2binpad(s, out + half, half) == half;
  ECDSA_SIG_free(sig);
  return ok;
}

constexpr uint64_t kTicksPerSecond = 10000000ULL;
constexpr uint64_t kSeconds1601To1970 = 11644473600ULL;

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first);
}

// The value of "PUBLICKEY=value" (the name in any case, blanks around '='), or false.
bool KeyValue(const std::string& line, std::string* value) {
  static const char kName[] = "PUBLICKEY";
  const std::string text = Trimmed(line);
  if (text.size() < sizeof kName || strncasecmp(text.c_str(), kName, sizeof kName - 1) != 0) return false;
  const size_t equals = text.find_first_not_of(" \t", sizeof kName - 1);
  if (equals == std::string::npos || text[equals] != '=') return false;
  *value = Trimmed(text.substr(equals + 1));
  return true;
}

bool AddKeyText(const std::string& text, ListPublicKeys* keys) {
  return !text.empty() && AddPublicKeys(text.c_str(), keys);
}

}  // namespace

bool GenerateSigningKey(const std::string& keyFile, std::string* publicKeyLine, std::string* error) {
  Key key(EVP_EC_gen("P-256"));
  if (!key) {
    *error = "cannot make a key: " + OpenSslReason();
    return false;
  }
  if (!KeyLine(key.get(), publicKeyLine, error)) return false;
  BIO* memory = BIO_new(BIO_s_mem());
  if (memory == nullptr || PEM_write_bio_PrivateKey(memory, key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    BIO_free(memory);
    *error = "cannot write the key: " + OpenSslReason();
    return false;
  }
  char* pem = nullptr;
  const long pemLength = BIO_get_mem_data(memory, &pem);

  // A new file only: an existing key (perhaps the one players' programs trust) is never
  // replaced, and a link in its place is not followed.
  const int fd = ::open(keyFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = errno == EEXIST ? keyFile + " already exists; a key file is never overwritten"
                             : Errno("cannot create " + keyFile);
    BIO_free(memory);
    return false;
  }
  const bool written = ::fchmod(fd, 0600) == 0 && pemLength > 0 && WriteAll(fd, pem, static_cast<size_t>(pemLength)) &&
                       ::fsync(fd) == 0;
  if (!written) *error = Errno("cannot write " + keyFile);
  OPENSSL_cleanse(pem, static_cast<size_t>(pemLength));
  BIO_free(memory);
  if (::close(fd) != 0 && written) *error = Errno("cannot write " + keyFile);
  if (!error->empty()) {
    ::unlink(keyFile.c_str());
    return false;
  }
  return true;
}

bool PublicKeyLineOf(const std::string& keyFile, std::string* publicKeyLine, std::string* error) {
  Key key;
  return LoadPrivateKey(keyFile, &key, error) && KeyLine(key.get(), publicKeyLine, error);
}

std::string SignedHeaderLine(const SignedListHeader& header, std::string* error) {
  char line[kMaxDirectiveLine + 1];
  const size_t n = FormatSignedHeaderLine(header, line, sizeof line);
  if (n == 0) *error = "the sequence must be 1 to 18 digits and the expiry between 1970 and 9999, in whole seconds";
  return std::string(line, n);
}

std::string FileHashLine(const FileHash& file, const std::string& remoteName, std::string* error) {
  char line[kMaxDirectiveLine + 1];
  const size_t n = FormatFileHashLine(file, remoteName.data(), remoteName.size(), line, sizeof line);
  if (n == 0) *error = "cannot list the hash of " + remoteName + " (a name of 1 to 1023 characters without blanks)";
  return std::string(line, n);
}

bool HashStoredFile(const std::string& path, FileHash* out, std::string* error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = Errno("cannot read " + path);
    return false;
  }
  plat::Sha256Handle hash = plat::StartSha256();
  std::vector<char> buffer(1 << 20);
  uint64_t total = 0;
  bool ok = hash != nullptr;
  size_t n;
  while (ok && (n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    ok = plat::AddToSha256(hash, buffer.data(), n);
    total += n;
  }
  const bool readFailed = std::ferror(file) != 0;
  std::fclose(file);
  FileHash result;
  if (!ok || readFailed) {
    plat::AbandonSha256(hash);
    *error = readFailed ? "cannot read " + path : "cannot hash " + path;
    return false;
  }
  if (!plat::FinishSha256(hash, result.sha256)) {
    *error = "cannot hash " + path;
    return false;
  }
  if (total > 2147483647u) {
    *error = path + " is larger than the 2 GiB - 1 bytes a client can take";
    return false;
  }
  result.size = static_cast<int32_t>(total);
  *out = result;
  return true;
}

bool ReadSignedBlock(const std::string& listPath, SignedList* block, ListSignatureFault* fault, std::string* error) {
  FILE* file = std::fopen(listPath.c_str(), "rb");
  if (file == nullptr) {
    *error = Errno("cannot read " + listPath);
    return false;
  }
  std::vector<char> buffer(1 << 20);
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) block->Feed(buffer.data(), n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    *error = "cannot read " + listPath;
    return false;
  }
  *fault = block->Finish();
  return true;
}

bool LoadPublicKeys(const std::string& text, ListPublicKeys* keys, std::string* error) {
  std::string value;
  if (AddKeyText(KeyValue(text, &value) ? value : Trimmed(text), keys)) return true;
  struct stat st;
  if (::stat(text.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (1 << 20)) {
    *error = "--key " + text + ": neither public keys (" + std::to_string(kPublicKeyTextLength) +
             " characters of base64 each, separated by commas) nor a file that holds them";
    return false;
  }
  std::ifstream in(text, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  if (!in) {
    *error = Errno("cannot read " + text);
    return false;
  }
  const std::string whole = content.str();
  if (whole.find("PRIVATE KEY-----") != std::string::npos) {
    std::string line;
    return PublicKeyLineOf(text, &line, error) && KeyValue(line, &value) && AddKeyText(value, keys);
  }
  std::istringstream lines(whole);
  for (std::string line; std::getline(lines, line);) {
    if (!KeyValue(line, &value)) continue;
    if (AddKeyText(value, keys)) return true;
    *error = text + ": its PUBLICKEY= line names no key or something else: \"" + value + "\"";
    return false;
  }
  if (AddKeyText(Trimmed(whole), keys)) return true;
  *error = text + ": holds neither a line PUBLICKEY=... nor public keys";
  return false;
}

std::string KeyIdText(const uint8_t id[kKeyIdSize]) {
  char text[2 * kKeyIdSize + 1];
  for (size_t i = 0; i < kKeyIdSize; ++i) std::snprintf(text + 2 * i, 3, "%02x", id[i]);
  return text;
}

std::string UtcText(plat::FileTime time) {
  const time_t seconds = static_cast<time_t>(time / kTicksPerSecond - kSeconds1601To1970);
  struct tm fields;
  char text[64] = "?";
  if (time / kTicksPerSecond >= kSeconds1601To1970 && ::gmtime_r(&seconds, &fields) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &fields);
  return text;
}

SignedListHeader NewHeader(uint64_t sequence, int days) {
  SignedListHeader header;
  header.sequence = sequence;
  if (days > 0) {
    header.expires = true;
    header.expiresAt = (plat::CurrentUtcFileTime() / kTicksPerSecond + static_cast<uint64_t>(days) * 86400ULL) *
                       kTicksPerSecond;
  }
  return header;
}

std::string DescribeSignedBlock(const SignedList& block, ListSignatureFault fault) {
  if (fault == ListSignatureFault::kUnsigned && !block.hasHeader()) return "unsigned";
  if (fault != ListSignatureFault::kNone && fault != ListSignatureFault::kUnsigned)
    return DescribeListSignatureFault(fault);
  const SignedListHeader& header = block.header();
  std::string text = fault == ListSignatureFault::kNone ? "signed by key " + KeyIdText(block.keyId())
                                                        : "not signed (a header and hashes, no signature line)";
  text += ", sequence " + std::to_string(header.sequence) + ", expires " +
          (header.expires ? UtcText(header.expiresAt) : std::string("never"));
  return text;
}

bool AppendSignature(const std::string& keyFile, std::string* list, std::string* error) {
  Key key;
  if (!LoadPrivateKey(keyFile, &key, error)) return false;
  uint8_t point[plat::kP256PublicKeySize];
  uint8_t keyId[kKeyIdSize];
  uint8_t digest[plat::kSha256Size];
  if (!PublicPoint(key.get(), point, error) || !PublicKeyId(point, keyId) ||
      !plat::Sha256(list->data(), list->size(), digest)) {
    if (error->empty()) *error = "cannot hash the list";
    return false;
  }

  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key.get(), nullptr);
  unsigned char der[160];
  size_t derLength = sizeof der;
  const bool signedOk = context != nullptr && EVP_PKEY_sign_init(context) == 1 &&
                        EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1 &&
                        EVP_PKEY_sign(context, der, &derLength, digest, sizeof digest) == 1;
  EVP_PKEY_CTX_free(context);
  uint8_t signature[plat::kP256SignatureSize];
  if (!signedOk || !RawSignature(der, derLength, signature)) {
    *error = "cannot sign: " + OpenSslReason();
    return false;
  }
  char line[kMaxDirectiveLine + 1];
  const size_t n = FormatSignatureLine(keyId, signature, line, sizeof line);
  std::string signedList = *list;
  signedList.append(line, n);
  // The list as a client with this key will judge it: a header first, whole directive
  // lines, and a signature that verifies.
  SignedList check;
  ListSignatureFault fault = check.Read(signedList.data(), signedList.size());
  ListPublicKeys keys;
  if (fault == ListSignatureFault::kNone) {
    std::memcpy(keys.keys[0].point, point, sizeof point);
    std::memcpy(keys.keys[0].id, keyId, sizeof keyId);
    keys.count = 1;
    fault = check.Verify(keys);
  }
  if (n == 0 || fault != ListSignatureFault::kNone) {
    *error = std::string("the signed list would not verify: ") + DescribeListSignatureFault(fault) +
             (fault == ListSignatureFault::kUnsigned || fault == ListSignatureFault::kMalformed
                  ? " (it needs its header line first and CR LF line ends)"
                  : "");
    return false;
  }
  *list = std::move(signedList);
  return true;
}

}  // namespace publish
