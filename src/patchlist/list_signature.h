// Signed patch lists: the publisher's signature, the list's sequence number and expiry,
// and the SHA-256 of every file the list has clients download, carried inside the list
// as comment lines. Clients without a key skip them like any comment ('#' first), so
// they read the same entries as from the list without them, and a list and its
// signature are always replaced together.
//
// The signed block is made of directive lines, the lines that begin with "#zd-". Each
// ends in CR LF and is at most kMaxDirectiveLine bytes long with it, so that a client
// reading lines into its 4096-byte buffer takes each one whole. In the order of the file:
//
//   #zd-signed format=1 sequence=<N> expires=<YYYY-MM-DDTHH:MM:SSZ or never>
//   #zd-sha256 <64 lower-case hex digits> <stored size> <remote name>     (any number)
//   #zd-signature <key id: 16 lower-case hex digits> <r || s in base64, 88 characters>
//
// - The header comes before every other directive line, once. N is 1 to 18 decimal
//   digits without a leading zero. The expiry is a UTC time; "never" for none.
// - A hash line gives the SHA-256 and the length of a file as the server stores it
//   (for a 'Z' entry the packed bytes), for the entries whose remote name column is
//   exactly <remote name> (1 to 1023 bytes, no blank). Each name appears once. The size
//   is a decimal count up to 2^31 - 1, without leading zeros.
// - The signature line is the last line: the list ends with its CR LF. It signs the
//   SHA-256 of every byte of the list before its first byte (the raw bytes, line ends
//   included), with ECDSA P-256. The key id is the first 8 bytes of the SHA-256 of the
//   key's 65-byte point, so a client knows which of its keys to try.
// - Any other line is the list's own (entries, free comments) and taken as it is: it is
//   signed like every other byte, and nothing here reads it.
// A list without the signature line but with a well-formed header and hash lines is
// unsigned, and its hashes can still be checked; a list without any directive line is
// unsigned and carries nothing. Everything else in directive lines (an unknown "#zd-"
// line, a field out of form, a second header, a hash line before the header or after
// the signature, a line too long, bytes after the signature line) makes the block
// malformed, and nothing of it may be used.
//
// Public keys, as VornPatch.ini's PUBLICKEY= and the build's built-in keys give them:
// the base64 (RFC 4648, with its padding) of the key's uncompressed point, 88
// characters; several separated by commas, blanks around each ignored.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/crypto.h"
#include "platform/files.h"

constexpr uint32_t kSignedListFormat = 1;
// A client's line buffer holds 4095 bytes and the terminating NUL.
constexpr size_t kMaxDirectiveLine = 4095;
constexpr size_t kMaxRemoteName = 1023;
constexpr uint64_t kMaxListSequence = 999999999999999999ULL;
constexpr size_t kKeyIdSize = 8;
constexpr size_t kPublicKeyTextLength = 88;
constexpr size_t kMaxPublicKeys = 8;

enum class ListSignatureFault {
  kNone,          // signed, and (after Verify) by one of the keys
  kUnsigned,      // no signature line (perhaps not a single directive line)
  kMalformed,     // a directive line out of form or out of place
  kNoResources,   // memory or the hashing service failed: nothing can be said
  kUnknownKey,    // signed by a key that is none of the given ones
  kBadSignature,  // the signature does not verify: the list was changed after signing
};

// A short reason, for the tool's messages.
const char* DescribeListSignatureFault(ListSignatureFault fault);

struct SignedListHeader {
  uint32_t format = kSignedListFormat;
  uint64_t sequence = 0;
  bool expires = false;
  plat::FileTime expiresAt = 0;  // UTC; whole seconds
};

// The list is past its expiry at `nowUtc` (plat::CurrentUtcFileTime()).
bool ListHasExpired(const SignedListHeader& header, plat::FileTime nowUtc);

struct ListPublicKey {
  uint8_t point[plat::kP256PublicKeySize] = {};
  uint8_t id[kKeyIdSize] = {};
};

struct ListPublicKeys {
  ListPublicKey keys[kMaxPublicKeys];
  size_t count = 0;
};

// The keys built into this program (the build's ZIDODIRUV_PUBLIC_KEYS), in the form
// above; empty when there are none. A settings file can add keys, never remove these.
extern const char kBuiltInPublicKeys[];

// Adds the keys named in `text` (comma-separated, as above) to `keys`; a key already
// there is not added twice. Blank text adds nothing and succeeds. False, with `keys`
// unchanged, when any item is not a key (empty, of another length or alphabet, padding
// out of place, not an uncompressed point) or the keys would exceed kMaxPublicKeys.
bool AddPublicKeys(const char* text, ListPublicKeys* keys);

// The text of a key (kPublicKeyTextLength characters and a NUL), and its id. False when
// `point` is not an uncompressed point (0x04 first), `capacity` is too small, or the
// hashing service fails.
bool FormatPublicKey(const uint8_t point[plat::kP256PublicKeySize], char* out, size_t capacity);
bool PublicKeyId(const uint8_t point[plat::kP256PublicKeySize], uint8_t id[kKeyIdSize]);

// The hash and length of one stored file, as its hash line gives them.
struct FileHash {
  uint8_t sha256[plat::kSha256Size] = {};
  int32_t size = 0;
};

// Reads a list's bytes, in pieces of any size and in order, and judges its signed block
// as it goes: the bytes are hashed, directive lines are held and checked one at a
// time, and nothing else of the list is kept, so a list of any length costs only its
// hash lines' names and hashes. Not for use by two threads at once.
class SignedList {
 public:
  SignedList();
  ~SignedList();

  // Adds the next bytes of the list. False once the block has turned out malformed or
  // a resource failed; Finish then says which, and later bytes are ignored.
  bool Feed(const void* bytes, size_t length);
  // After the last byte: kNone for a signed list (not yet verified), kUnsigned,
  // kMalformed or kNoResources. Call once.
  ListSignatureFault Finish();

  // The whole list at once: Feed then Finish.
  ListSignatureFault Read(const void* bytes, size_t length);

  // After Finish gave kNone: whether one of `keys` signed the list (kNone), or
  // kUnknownKey or kBadSignature. Any other state of the list gives its own fault.
  ListSignatureFault Verify(const ListPublicKeys& keys) const;

  // After Finish gave kNone or kUnsigned: whether there was a header, and its fields.
  bool hasHeader() const { return hasHeader_; }
  const SignedListHeader& header() const { return header_; }

  // After Finish gave kNone or kUnsigned: the hash line for a remote name, compared
  // byte for byte with the list's remote name column. False when it has none.
  bool FindFileHash(const char* remoteName, size_t length, FileHash* out) const;
  size_t hashCount() const { return count_; }

  // The key id and the digest of the signed bytes, after Finish gave kNone.
  const uint8_t* keyId() const { return keyId_; }
  const uint8_t* signedDigest() const { return digest_; }

 private:
  struct Record;
  enum class State { kReading, kMalformed, kNoResources, kSigned, kFinished };

  bool EndDirective();
  bool TakeHeader(const char* text, size_t length);
  bool TakeHash(const char* text, size_t length);
  bool TakeSignature(const char* text, size_t length);
  bool Hash(const void* bytes, size_t length);
  bool Fail(State state);

  State state_ = State::kReading;
  ListSignatureFault result_ = ListSignatureFault::kNoResources;
  plat::Sha256Handle hash_ = nullptr;
  // The line being read: whether it has begun, whether it is a directive line, which is
  // held whole until its end, and how many of its first bytes have been looked at.
  bool atLineStart_ = true;
  bool inDirective_ = false;
  char line_[kMaxDirectiveLine];
  size_t lineLength_ = 0;
  int directives_ = 0;

  bool hasHeader_ = false;
  SignedListHeader header_;
  uint8_t keyId_[kKeyIdSize] = {};
  uint8_t signature_[plat::kP256SignatureSize] = {};
  uint8_t digest_[plat::kSha256Size] = {};

  // Hash lines: records sorted by name after Finish, names one after another in names_.
  Record* records_ = nullptr;
  size_t count_ = 0;
  size_t recordCapacity_ = 0;
  char* names_ = nullptr;
  size_t namesUsed_ = 0;
  size_t namesCapacity_ = 0;

  SignedList(const SignedList&) = delete;
  SignedList& operator=(const SignedList&) = delete;
};

// For the publisher's tool: the directive lines, CR LF included, into `out`. Each gives
// the length written (without the terminating NUL), or 0 when a field is out of range
// (a sequence of 0 or above kMaxListSequence, an expiry before 1970 or after 9999, a
// size out of 0 .. 2^31 - 1, a remote name empty, too long or with a blank) or the
// line does not fit `capacity`.
size_t FormatSignedHeaderLine(const SignedListHeader& header, char* out, size_t capacity);
size_t FormatFileHashLine(const FileHash& file, const char* remoteName, size_t length, char* out, size_t capacity);
size_t FormatSignatureLine(const uint8_t keyId[kKeyIdSize], const uint8_t signature[plat::kP256SignatureSize],
                           char* out, size_t capacity);
