// Fuzzes the settings reader: an input is the text of a settings file.
//
// For each key the patcher reads from section PATCH_FTP:
//  - the text read into a buffer of any capacity ends within it, holds exactly the
//    number of characters returned (no NUL inside) and is the value read whole, cut to
//    capacity - 1; a capacity of 0 writes nothing; a value holds no line break;
//  - the fallback is given exactly when the key is absent;
//  - section and key names match without regard to case;
//  - the integer is the fallback when the key is absent or empty, otherwise what its
//    text states: blanks, an optional sign and digits read as far as they go (no
//    digits give 0), held at UINT32_MAX above and at INT32_MIN below, a negative number
//    taken as its 32-bit pattern.
// Then ReadPatchConfig on a fresh record: it succeeds exactly when the six values are
// there (texts non-empty, the port from 1 to 65535) and the list's temporary path fits;
// every text field ends within its 256 bytes, holds at most 255 characters and is the
// value as read; a failure fills the fields before the failing key and leaves the
// later ones, and the temporary path, untouched.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "app/patcher.h"
#include "fuzz_support.h"
#include "platform/files.h"
#include "platform/settings.h"

namespace {

using zdfuzz::Printable;

const char kSection[] = "PATCH_FTP";
const char kFallback[] = "#fallback#";

struct Key {
  const char* name;
  const char* otherCase;
};
const Key kKeys[] = {
    {"SERVERIP", "serverIp"}, {"PORT", "port"},           {"USERID", "UserID"},
    {"PASSWD", "passwd"},     {"BASEDIRECTORY", "BaseDirectory"}, {"LISTFILE", "listFile"},
};

const std::string& SettingsPath() {
  static const std::string path = [] {
    // The list's temporary directory is made in the scratch directory too, so a run
    // leaves nothing behind.
    const std::string& scratch = zdfuzz::ScratchDir();
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", scratch.c_str(), 1);
    return scratch + "/VornPatch.ini";
  }();
  return path;
}

// Reads `key` into a heap buffer of exactly `capacity` bytes, so that a write past it
// is caught, and checks what the buffer holds against the count returned.
std::string ReadText(const char* section, const char* key, const char* fallback, size_t capacity) {
  std::unique_ptr<char[]> buffer(new char[capacity == 0 ? 1 : capacity]);
  std::memset(buffer.get(), 0x5A, capacity == 0 ? 1 : capacity);
  const size_t n = plat::ReadIniText(SettingsPath().c_str(), section, key, fallback, buffer.get(), capacity);
  if (capacity == 0) {
    ZD_FUZZ_CHECK(n == 0 && buffer[0] == 0x5A, std::string("a zero capacity was written to: ") + key);
    return std::string();
  }
  ZD_FUZZ_CHECK(n < capacity, std::string(key) + ": " + std::to_string(n) + " characters returned for a capacity of " +
                                  std::to_string(capacity));
  ZD_FUZZ_CHECK(buffer[n] == '\0', std::string(key) + ": the text does not end where its count says");
  ZD_FUZZ_CHECK(std::strlen(buffer.get()) == n,
                std::string(key) + ": " + std::to_string(n) + " characters returned, the text holds " +
                    std::to_string(std::strlen(buffer.get())) + ": '" + Printable(buffer.get()) + "'");
  return std::string(buffer.get(), n);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

uint32_t StatedUnsigned(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size() || text[i] < '0' || text[i] > '9') return 0;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value <= (int64_t{1} << 40)) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > int64_t{UINT32_MAX}) value = UINT32_MAX;
  if (value < int64_t{INT32_MIN}) value = INT32_MIN;
  return static_cast<uint32_t>(value);
}

// Checks one key and gives its value as read whole.
std::string CheckKey(const Key& key, size_t inputSize) {
  // Room for any value the input can hold, and for the fallback.
  const size_t room = inputSize + sizeof kFallback + 1;
  const std::string whole = ReadText(kSection, key.name, "", room);
  const std::string withFallback = ReadText(kSection, key.name, kFallback, room);
  const bool present = !(whole.empty() && withFallback == kFallback);
  ZD_FUZZ_CHECK(!present || withFallback == whole,
                std::string(key.name) + ": the fallback changed a value that is there: '" + Printable(whole) +
                    "' / '" + Printable(withFallback) + "'");
  ZD_FUZZ_CHECK(whole.find('\n') == std::string::npos, std::string(key.name) + ": a value holds a line break");

  for (size_t capacity : {0, 1, 2, 8, 256}) {
    const std::string cut = ReadText(kSection, key.name, "", capacity);
    const size_t expected = capacity == 0 ? 0 : std::min(whole.size(), capacity - 1);
    ZD_FUZZ_CHECK(cut == whole.substr(0, expected),
                  std::string(key.name) + ": read into " + std::to_string(capacity) + " bytes gives '" +
                      Printable(cut) + "', the value is '" + Printable(whole) + "'");
  }
  ZD_FUZZ_CHECK(ReadText("patch_ftp", key.otherCase, "", room) == whole,
                std::string(key.name) + ": names in another case find another value");

  const uint32_t number = plat::ReadIniUnsigned(SettingsPath().c_str(), kSection, key.name, 7);
  const uint32_t expected = whole.empty() ? 7 : StatedUnsigned(whole);
  ZD_FUZZ_CHECK(number == expected, std::string(key.name) + ": the integer read is " + std::to_string(number) +
                                        ", the text '" + Printable(whole) + "' says " + std::to_string(expected));
  return whole;
}

template <size_t N>
void CheckField(const char (&field)[N], const std::string& expected, const char* name) {
  ZD_FUZZ_CHECK(std::memchr(field, '\0', N) != nullptr, std::string(name) + " runs past its buffer");
  ZD_FUZZ_CHECK(std::strlen(field) <= 255, std::string(name) + " holds more than 255 characters");
  ZD_FUZZ_CHECK(expected == field,
                std::string(name) + " is '" + Printable(field) + "', expected '" + Printable(expected) + "'");
}

template <size_t N>
bool AllZero(const char (&field)[N]) {
  for (char c : field) {
    if (c != '\0') return false;
  }
  return true;
}

void CheckPatchConfig(const std::string (&values)[6]) {
  // What the record can hold: the first 255 characters of each value.
  std::string texts[6];
  for (int i = 0; i < 6; ++i) texts[i] = values[i].substr(0, 255);
  const uint32_t port = plat::ReadIniUnsigned(SettingsPath().c_str(), kSection, "PORT", 0);

  // The key that stops the read, in the order of reading (6: none).
  int failing = 6;
  if (texts[0].empty()) {
    failing = 0;
  } else if (port == 0 || port > 65535) {
    failing = 1;
  } else {
    for (int i = 2; i < 6 && failing == 6; ++i) {
      if (texts[i].empty()) failing = i;
    }
  }
  char temp[1024];
  const bool haveTemp = plat::TempDirectory(temp, sizeof temp);
  // The local copy of the list takes the last component of LISTFILE only.
  const std::string& listFile = texts[5];
  const size_t cut = listFile.find_last_of("/\\");
  const std::string listName = cut == std::string::npos ? listFile : listFile.substr(cut + 1);
  const bool nameOk = !listName.empty() && listName != "." && listName != "..";
  const std::string listTempPath = std::string(haveTemp ? temp : "") + listName;
  const bool fits = haveTemp && nameOk && listTempPath.size() < 1024;

  Patcher patcher;
  const bool read = patcher.ReadPatchConfig(SettingsPath().c_str());
  ZD_FUZZ_CHECK(read == (failing == 6 && fits),
                std::string("ReadPatchConfig gave ") + (read ? "true" : "false") + ", the first missing key is " +
                    std::to_string(failing) + (fits ? "" : " and the list's temporary path does not fit"));

  // Fields up to the failing key hold what was read; those after it are untouched.
  const auto expect = [&](int index, const char (&field)[256], const char* name) {
    if (index <= failing) {
      CheckField(field, texts[index], name);
    } else {
      ZD_FUZZ_CHECK(AllZero(field), std::string(name) + " was written after the read failed");
    }
  };
  expect(0, patcher.serverAddress, "serverAddress");
  if (failing >= 1) {
    ZD_FUZZ_CHECK(patcher.serverPort == port, "serverPort " + std::to_string(patcher.serverPort) +
                                                   ", the setting says " + std::to_string(port));
  } else {
    ZD_FUZZ_CHECK(patcher.serverPort == 0, std::string("serverPort was written after the read failed"));
  }
  expect(2, patcher.userId, "userId");
  expect(3, patcher.password, "password");
  expect(4, patcher.baseDirectory, "baseDirectory");
  expect(5, patcher.listFileName, "listFileName");
  if (read) {
    ZD_FUZZ_CHECK(patcher.serverPort >= 1 && patcher.serverPort <= 65535,
                  "accepted port " + std::to_string(patcher.serverPort));
    ZD_FUZZ_CHECK(std::memchr(patcher.listTempPath, '\0', sizeof patcher.listTempPath) != nullptr,
                  std::string("listTempPath runs past its buffer"));
    ZD_FUZZ_CHECK(listTempPath == patcher.listTempPath, "listTempPath is '" + Printable(patcher.listTempPath) +
                                                            "', expected '" + Printable(listTempPath) + "'");
  } else {
    ZD_FUZZ_CHECK(AllZero(patcher.listTempPath), std::string("listTempPath was written by a failed read"));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zdfuzz::WriteWholeFile(SettingsPath(), data, size);
  std::string values[6];
  for (int i = 0; i < 6; ++i) values[i] = CheckKey(kKeys[i], size);
  CheckPatchConfig(values);
  return 0;
}
