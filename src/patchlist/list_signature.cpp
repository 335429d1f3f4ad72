// Signed patch lists: reading and judging the signed block, and writing its lines.
//
// Every field is read by a strict grammar and nothing is read past a line: numbers have
// a fixed range and no leading zeros, hex is lower case, base64 is canonical (padding
// where it belongs, unused bits zero). The signature covers the raw bytes, and every
// form of a directive line has exactly one spelling, so a change to any byte of a
// signed list either changes the signed bytes or breaks the block.
#include "patchlist/list_signature.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr char kPrefix[] = "#zd-";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr char kHeaderTag[] = "#zd-signed ";
constexpr char kHashTag[] = "#zd-sha256 ";
constexpr char kSignatureTag[] = "#zd-signature ";
constexpr char kFormatField[] = "format=";
constexpr char kSequenceField[] = " sequence=";
constexpr char kExpiresField[] = " expires=";
constexpr char kNever[] = "never";
constexpr size_t kTimeTextLength = 20;  // YYYY-MM-DDTHH:MM:SSZ
constexpr int32_t kInt32Max = 2147483647;

constexpr uint64_t kTicksPerSecond = 10000000ULL;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDays1601To1970 = 134774;

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789abcdef";

bool StartsWith(const char* text, size_t length, const char* tag) {
  const size_t n = std::strlen(tag);
  return length >= n && std::memcmp(text, tag, n) == 0;
}

// White space as the list's parser splits columns on.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case too: each value has one spelling
}

bool ParseHex(const char* text, size_t length, uint8_t* out, size_t size) {
  if (length != size * 2) return false;
  for (size_t i = 0; i < size; ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

void WriteHex(const uint8_t* bytes, size_t size, char* out) {
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 15];
  }
}

int Base64Value(char c) {
  const char* found = c != '\0' ? std::strchr(kBase64, c) : nullptr;
  return found != nullptr ? static_cast<int>(found - kBase64) : -1;
}

size_t Base64Length(size_t size) { return (size + 2) / 3 * 4; }

// Decodes exactly `size` bytes from their canonical text of Base64Length(size)
// characters: '=' only as the padding the size calls for, the unused bits zero.
bool ParseBase64(const char* text, size_t length, uint8_t* out, size_t size) {
  if (length != Base64Length(size)) return false;
  const size_t padding = (3 - size % 3) % 3;
  size_t written = 0;
  for (size_t group = 0; group < length; group += 4) {
    uint32_t bits = 0;
    const bool last = group + 4 == length;
    for (size_t i = 0; i < 4; ++i) {
      const char c = text[group + i];
      const bool padded = last && i >= 4 - padding;
      int value = 0;
      if (padded) {
        if (c != '=') return false;
      } else if ((value = Base64Value(c)) < 0) {
        return false;
      }
      bits = bits << 6 | static_cast<uint32_t>(value);
    }
    const size_t bytes = last ? 3 - padding : 3;
    // The bits below the last byte's must be zero, or two texts would give one key.
    if (last && padding > 0 && (bits & ((1u << (8 * padding)) - 1)) != 0) return false;
    for (size_t i = 0; i < bytes; ++i) out[written++] = static_cast<uint8_t>(bits >> (16 - 8 * i));
  }
  return written == size;
}

void WriteBase64(const uint8_t* bytes, size_t size, char* out) {
  size_t o = 0;
  for (size_t i = 0; i < size; i += 3) {
    const size_t n = size - i < 3 ? size - i : 3;
    uint32_t bits = static_cast<uint32_t>(bytes[i]) << 16;
    if (n > 1) bits |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (n > 2) bits |= bytes[i + 2];
    out[o++] = kBase64[bits >> 18 & 63];
    out[o++] = kBase64[bits >> 12 & 63];
    out[o++] = n > 1 ? kBase64[bits >> 6 & 63] : '=';
    out[o++] = n > 2 ? kBase64[bits & 63] : '=';
  }
}

// A decimal count of 1 to maxDigits digits, no leading zero (a lone "0" only when
// zeroAllowed), at most `max`.
bool ParseCount(const char* text, size_t length, size_t maxDigits, uint64_t max, bool zeroAllowed, uint64_t* out) {
  if (length == 0 || length > maxDigits) return false;
  if (text[0] == '0' && (length > 1 || !zeroAllowed)) return false;
  uint64_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (value > max) return false;
  *out = value;
  return true;
}

// Civil dates in days since 1970-01-01 and back (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

unsigned DaysInMonth(int64_t y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

constexpr int kFirstYear = 1970;
constexpr int kLastYear = 9999;

// "YYYY-MM-DDTHH:MM:SSZ" as a file time (UTC).
bool ParseUtcTime(const char* text, size_t length, plat::FileTime* out) {
  if (length != kTimeTextLength) return false;
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  for (size_t i = 0; i < kTimeTextLength; ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  const auto number = [text](size_t at, size_t digits) {
    unsigned value = 0;
    for (size_t i = 0; i < digits; ++i) value = value * 10 + static_cast<unsigned>(text[at + i] - '0');
    return value;
  };
  const unsigned year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const unsigned hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (year < kFirstYear || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return false;
  }
  const int64_t days = DaysFromCivil(year, month, day) + kDays1601To1970;
  const uint64_t seconds = static_cast<uint64_t>(days) * 86400ULL + hour * 3600ULL + minute * 60ULL + second;
  *out = seconds * kTicksPerSecond;
  return true;
}

bool FormatUtcTime(plat::FileTime time, char* out, size_t capacity) {
  if (time % kTicksPerSecond != 0) return false;
  const uint64_t seconds = time / kTicksPerSecond;
  const int64_t days = static_cast<int64_t>(seconds / 86400ULL) - kDays1601To1970;
  const unsigned inDay = static_cast<unsigned>(seconds % 86400ULL);
  int64_t year;
  unsigned month, day;
  CivilFromDays(days, &year, &month, &day);
  if (year < kFirstYear || year > kLastYear) return false;
  const int n = std::snprintf(out, capacity, "%04d-%02u-%02uT%02u:%02u:%02uZ", static_cast<int>(year), month, day,
                              inDay / 3600, inDay / 60 % 60, inDay % 60);
  return n == static_cast<int>(kTimeTextLength) && static_cast<size_t>(n) < capacity;
}

// A remote name as the list's remote name column can hold it.
bool IsRemoteName(const char* name, size_t length) {
  if (length == 0 || length > kMaxRemoteName) return false;
  for (size_t i = 0; i < length; ++i) {
    if (name[i] == '\0' || IsBlank(name[i])) return false;
  }
  return true;
}

// Copies a finished line into out with its terminating NUL; the length, or 0.
size_t Emit(const char* line, size_t length, char* out, size_t capacity) {
  if (length > kMaxDirectiveLine || length >= capacity) return 0;
  std::memcpy(out, line, length);
  out[length] = '\0';
  return length;
}

}  // namespace

struct SignedList::Record {
  size_t name;    // offset in names_
  size_t length;  // of the name
  FileHash file;
};

const char* DescribeListSignatureFault(ListSignatureFault fault) {
  switch (fault) {
    case ListSignatureFault::kNone:
      return "signed";
    case ListSignatureFault::kUnsigned:
      return "not signed";
    case ListSignatureFault::kMalformed:
      return "its signed block is malformed";
    case ListSignatureFault::kNoResources:
      return "it could not be checked (out of memory or no SHA-256)";
    case ListSignatureFault::kUnknownKey:
      return "signed by a key that is none of the given ones";
    case ListSignatureFault::kBadSignature:
      return "its signature does not match its bytes";
  }
  return "unknown";
}

bool ListHasExpired(const SignedListHeader& header, plat::FileTime nowUtc) {
  return header.expires && nowUtc >= header.expiresAt;
}

bool PublicKeyId(const uint8_t point[plat::kP256PublicKeySize], uint8_t id[kKeyIdSize]) {
  uint8_t digest[plat::kSha256Size];
  if (!plat::Sha256(point, plat::kP256PublicKeySize, digest)) return false;
  std::memcpy(id, digest, kKeyIdSize);
  return true;
}

bool FormatPublicKey(const uint8_t point[plat::kP256PublicKeySize], char* out, size_t capacity) {
  if (point[0] != 0x04 || capacity <= kPublicKeyTextLength) return false;
  WriteBase64(point, plat::kP256PublicKeySize, out);
  out[kPublicKeyTextLength] = '\0';
  return true;
}

bool AddPublicKeys(const char* text, ListPublicKeys* keys) {
  ListPublicKeys result = *keys;
  const char* p = text;
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (*p != '\0' && blank(*p)) ++p;
  if (*p == '\0') return true;
  for (;;) {
    while (blank(*p)) ++p;
    const char* start = p;
    while (*p != '\0' && *p != ',' && !blank(*p)) ++p;
    const size_t length = static_cast<size_t>(p - start);
    while (blank(*p)) ++p;
    if (*p != '\0' && *p != ',') return false;  // a blank inside a key

    ListPublicKey key;
    if (!ParseBase64(start, length, key.point, sizeof key.point) || key.point[0] != 0x04 ||
        !PublicKeyId(key.point, key.id)) {
      return false;
    }
    bool known = false;
    for (size_t i = 0; i < result.count && !known; ++i) {
      known = std::memcmp(result.keys[i].point, key.point, sizeof key.point) == 0;
    }
    if (!known) {
      if (result.count == kMaxPublicKeys) return false;
      result.keys[result.count++] = key;
    }
    if (*p == '\0') break;
    ++p;  // the comma; an item must follow it
  }
  *keys = result;
  return true;
}

size_t FormatSignedHeaderLine(const SignedListHeader& header, char* out, size_t capacity) {
  if (header.format != kSignedListFormat || header.sequence == 0 || header.sequence > kMaxListSequence) return 0;
  char expires[kTimeTextLength + 1];
  if (!header.expires) {
    std::memcpy(expires, kNever, sizeof kNever);
  } else if (!FormatUtcTime(header.expiresAt, expires, sizeof expires)) {
    return 0;
  }
  char line[128];
  const int n = std::snprintf(line, sizeof line, "%s%s%u%s%llu%s%s\r\n", kHeaderTag, kFormatField,
                              static_cast<unsigned>(header.format), kSequenceField,
                              static_cast<unsigned long long>(header.sequence), kExpiresField, expires);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof line) return 0;
  return Emit(line, static_cast<size_t>(n), out, capacity);
}

size_t FormatFileHashLine(const FileHash& file, const char* remoteName, size_t length, char* out, size_t capacity) {
  if (file.size < 0 || !IsRemoteName(remoteName, length)) return 0;
  char hex[2 * plat::kSha256Size + 1];
  WriteHex(file.sha256, plat::kSha256Size, hex);
  hex[2 * plat::kSha256Size] = '\0';
  char line[kMaxDirectiveLine + 1];
  const int n = std::snprintf(line, sizeof line, "%s%s %ld %.*s\r\n", kHashTag, hex, static_cast<long>(file.size),
                              static_cast<int>(length), remoteName);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof line) return 0;
  return Emit(line, static_cast<size_t>(n), out, capacity);
}

size_t FormatSignatureLine(const uint8_t keyId[kKeyIdSize], const uint8_t signature[plat::kP256SignatureSize],
                           char* out, size_t capacity) {
  char line[160];
  size_t n = std::strlen(kSignatureTag);
  std::memcpy(line, kSignatureTag, n);
  WriteHex(keyId, kKeyIdSize, line + n);
  n += 2 * kKeyIdSize;
  line[n++] = ' ';
  WriteBase64(signature, plat::kP256SignatureSize, line + n);
  n += Base64Length(plat::kP256SignatureSize);
  line[n++] = '\r';
  line[n++] = '\n';
  return Emit(line, n, out, capacity);
}

SignedList::SignedList() {
  hash_ = plat::StartSha256();
  if (hash_ == nullptr) state_ = State::kNoResources;
}

SignedList::~SignedList() {
  plat::AbandonSha256(hash_);
  std::free(records_);
  std::free(names_);
}

bool SignedList::Fail(State state) {
  state_ = state;
  plat::AbandonSha256(hash_);
  hash_ = nullptr;
  return false;
}

bool SignedList::Hash(const void* bytes, size_t length) {
  if (length == 0) return true;
  return plat::AddToSha256(hash_, bytes, length) || Fail(State::kNoResources);
}

bool SignedList::Feed(const void* data, size_t length) {
  if (state_ == State::kSigned && length > 0) return Fail(State::kMalformed);  // bytes after the signature
  if (state_ != State::kReading) return state_ == State::kSigned;
  const char* p = static_cast<const char*>(data);
  const char* const end = p + length;
  // Bytes of ordinary lines are hashed in runs; a line that may be a directive is held.
  const char* pending = p;
  while (p < end) {
    if (inDirective_) {
      // The rest of a directive line, up to its LF, held whole.
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      const size_t n = static_cast<size_t>((lf != nullptr ? lf + 1 : end) - p);
      if (n > sizeof line_ - lineLength_) return Fail(State::kMalformed);  // a directive too long
      std::memcpy(line_ + lineLength_, p, n);
      lineLength_ += n;
      p += n;
      if (lf == nullptr) continue;
      const bool ended = EndDirective();
      lineLength_ = 0;
      inDirective_ = false;
      atLineStart_ = true;
      pending = p;
      if (!ended) return false;
      if (state_ == State::kSigned) {
        if (p < end) return Fail(State::kMalformed);
        return true;
      }
      continue;
    }
    if (lineLength_ > 0) {
      // Holding the first bytes of a line that begins like a directive ("#zd-").
      const char c = *p++;
      line_[lineLength_++] = c;
      if (c == kPrefix[lineLength_ - 1]) {
        inDirective_ = lineLength_ == kPrefixLength;
        continue;
      }
      // Not a directive after all: an ordinary line from here on.
      if (!Hash(line_, lineLength_)) return false;
      atLineStart_ = c == '\n';
      lineLength_ = 0;
      pending = p;
      continue;
    }
    if (atLineStart_ && *p == kPrefix[0]) {
      if (!Hash(pending, static_cast<size_t>(p - pending))) return false;
      atLineStart_ = false;
      line_[lineLength_++] = *p++;
      continue;
    }
    atLineStart_ = false;
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    if (lf == nullptr) {
      p = end;
      break;
    }
    p = lf + 1;
    atLineStart_ = true;
  }
  if (lineLength_ == 0 && !inDirective_) return Hash(pending, static_cast<size_t>(end - pending));
  return true;
}

bool SignedList::EndDirective() {
  // Every directive line ends in CR LF; the fields are what lies between.
  if (lineLength_ < 2 || line_[lineLength_ - 2] != '\r') return Fail(State::kMalformed);
  const size_t length = lineLength_ - 2;
  ++directives_;
  if (StartsWith(line_, length, kSignatureTag)) return TakeSignature(line_, length);
  if (!Hash(line_, lineLength_)) return false;
  if (StartsWith(line_, length, kHeaderTag)) return TakeHeader(line_, length);
  if (StartsWith(line_, length, kHashTag)) return TakeHash(line_, length);
  return Fail(State::kMalformed);
}

bool SignedList::TakeHeader(const char* text, size_t length) {
  if (directives_ != 1) return Fail(State::kMalformed);  // the header comes first, once
  const char* p = text + std::strlen(kHeaderTag);
  const char* const end = text + length;
  const auto field = [&p, end](const char* name) {
    const size_t n = std::strlen(name);
    if (static_cast<size_t>(end - p) < n || std::memcmp(p, name, n) != 0) return false;
    p += n;
    return true;
  };
  const auto value = [&p, end]() {
    const char* start = p;
    while (p < end && *p != ' ') ++p;
    return static_cast<size_t>(p - start);
  };
  uint64_t format = 0;
  uint64_t sequence = 0;
  if (!field(kFormatField)) return Fail(State::kMalformed);
  const char* at = p;
  size_t n = value();
  if (!ParseCount(at, n, 4, 9999, false, &format) || format != kSignedListFormat) return Fail(State::kMalformed);
  if (!field(kSequenceField)) return Fail(State::kMalformed);
  at = p;
  n = value();
  if (!ParseCount(at, n, 18, kMaxListSequence, false, &sequence)) return Fail(State::kMalformed);
  if (!field(kExpiresField)) return Fail(State::kMalformed);
  at = p;
  n = value();
  if (p != end) return Fail(State::kMalformed);  // nothing may follow the expiry
  SignedListHeader header;
  header.format = static_cast<uint32_t>(format);
  header.sequence = sequence;
  if (n == sizeof kNever - 1 && std::memcmp(at, kNever, n) == 0) {
    header.expires = false;
  } else if (ParseUtcTime(at, n, &header.expiresAt)) {
    header.expires = true;
  } else {
    return Fail(State::kMalformed);
  }
  header_ = header;
  hasHeader_ = true;
  return true;
}

bool SignedList::TakeHash(const char* text, size_t length) {
  if (!hasHeader_) return Fail(State::kMalformed);
  const char* p = text + std::strlen(kHashTag);
  const char* const end = text + length;
  FileHash file;
  const size_t hexLength = 2 * plat::kSha256Size;
  if (static_cast<size_t>(end - p) < hexLength + 1 || !ParseHex(p, hexLength, file.sha256, plat::kSha256Size) ||
      p[hexLength] != ' ') {
    return Fail(State::kMalformed);
  }
  p += hexLength + 1;
  const char* size = p;
  while (p < end && *p != ' ') ++p;
  uint64_t count = 0;
  if (p == end || !ParseCount(size, static_cast<size_t>(p - size), 10, kInt32Max, true, &count)) {
    return Fail(State::kMalformed);
  }
  file.size = static_cast<int32_t>(count);
  const char* name = p + 1;
  const size_t nameLength = static_cast<size_t>(end - name);
  if (!IsRemoteName(name, nameLength)) return Fail(State::kMalformed);

  if (count_ == recordCapacity_) {
    const size_t capacity = recordCapacity_ == 0 ? 64 : recordCapacity_ * 2;
    void* grown = std::realloc(records_, capacity * sizeof(Record));
    if (grown == nullptr) return Fail(State::kNoResources);
    records_ = static_cast<Record*>(grown);
    recordCapacity_ = capacity;
  }
  if (namesCapacity_ - namesUsed_ < nameLength) {
    size_t capacity = namesCapacity_ == 0 ? 4096 : namesCapacity_ * 2;
    while (capacity - namesUsed_ < nameLength) capacity *= 2;
    void* grown = std::realloc(names_, capacity);
    if (grown == nullptr) return Fail(State::kNoResources);
    names_ = static_cast<char*>(grown);
    namesCapacity_ = capacity;
  }
  std::memcpy(names_ + namesUsed_, name, nameLength);
  Record& record = records_[count_++];
  record.name = namesUsed_;
  record.length = nameLength;
  record.file = file;
  namesUsed_ += nameLength;
  return true;
}

bool SignedList::TakeSignature(const char* text, size_t length) {
  if (!hasHeader_) return Fail(State::kMalformed);
  const char* p = text + std::strlen(kSignatureTag);
  const char* const end = text + length;
  const size_t idLength = 2 * kKeyIdSize;
  const size_t signatureLength = Base64Length(plat::kP256SignatureSize);
  if (static_cast<size_t>(end - p) != idLength + 1 + signatureLength || !ParseHex(p, idLength, keyId_, kKeyIdSize) ||
      p[idLength] != ' ' ||
      !ParseBase64(p + idLength + 1, signatureLength, signature_, plat::kP256SignatureSize)) {
    return Fail(State::kMalformed);
  }
  // Everything before this line is what was signed.
  const bool hashed = plat::FinishSha256(hash_, digest_);
  hash_ = nullptr;
  if (!hashed) return Fail(State::kNoResources);
  state_ = State::kSigned;
  return true;
}

ListSignatureFault SignedList::Finish() {
  if (state_ == State::kFinished) return result_;
  State reached = state_;
  if (reached == State::kReading && inDirective_) reached = State::kMalformed;  // a directive without its line end
  plat::AbandonSha256(hash_);
  hash_ = nullptr;
  state_ = State::kFinished;
  switch (reached) {
    case State::kMalformed:
      result_ = ListSignatureFault::kMalformed;
      return result_;
    case State::kNoResources:
      result_ = ListSignatureFault::kNoResources;
      return result_;
    case State::kSigned:
      result_ = ListSignatureFault::kNone;
      break;
    default:
      result_ = ListSignatureFault::kUnsigned;
      break;
  }
  // Hash lines sorted by name for the look-ups; a name given twice is malformed.
  const char* names = names_;
  const auto less = [names](const Record& a, const Record& b) {
    const int c = std::memcmp(names + a.name, names + b.name, a.length < b.length ? a.length : b.length);
    return c != 0 ? c < 0 : a.length < b.length;
  };
  std::sort(records_, records_ + count_, less);
  for (size_t i = 1; i < count_; ++i) {
    if (!less(records_[i - 1], records_[i])) {
      result_ = ListSignatureFault::kMalformed;
      break;
    }
  }
  return result_;
}

ListSignatureFault SignedList::Read(const void* bytes, size_t length) {
  Feed(bytes, length);
  return Finish();
}

ListSignatureFault SignedList::Verify(const ListPublicKeys& keys) const {
  if (state_ != State::kFinished) return ListSignatureFault::kNoResources;
  if (result_ != ListSignatureFault::kNone) return result_;
  bool known = false;
  for (size_t i = 0; i < keys.count; ++i) {
    if (std::memcmp(keys.keys[i].id, keyId_, kKeyIdSize) != 0) continue;
    known = true;
    if (plat::VerifyP256Signature(keys.keys[i].point, digest_, signature_)) return ListSignatureFault::kNone;
  }
  return known ? ListSignatureFault::kBadSignature : ListSignatureFault::kUnknownKey;
}

bool SignedList::FindFileHash(const char* remoteName, size_t length, FileHash* out) const {
  if (state_ != State::kFinished ||
      (result_ != ListSignatureFault::kNone && result_ != ListSignatureFault::kUnsigned)) {
    return false;
  }
  size_t low = 0, high = count_;
  while (low < high) {
    const size_t mid = low + (high - low) / 2;
    const Record& record = records_[mid];
    int c = std::memcmp(names_ + record.name, remoteName, record.length < length ? record.length : length);
    if (c == 0) c = record.length < length ? -1 : record.length > length ? 1 : 0;
    if (c == 0) {
      *out = record.file;
      return true;
    }
    if (c < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return false;
}
