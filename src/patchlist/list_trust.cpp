#include "patchlist/list_trust.h"

#include <cstdio>
#include <cstring>

#include "patchlist/config.h"
#include "platform/settings.h"

const char kSequenceFileName[] = "VornPatch.seq";

bool ReadInstallationKeys(const char* settingsPath, ListPublicKeys* keys) {
  keys->count = 0;
  if (!AddPublicKeys(kBuiltInPublicKeys, keys)) return false;
  // One more than a setting holds, so an over-long value is seen rather than cut.
  char text[257];
  const size_t length = plat::ReadIniText(settingsPath, kSettingsSection, "PUBLICKEY", "", text, sizeof text);
  if (length > 255) return false;
  return AddPublicKeys(text, keys);
}

uint64_t ReadAcceptedSequence(const char* installDir) {
  char path[1024];
  char resolved[1024];
  if (!JoinPath(path, sizeof path, installDir, kSequenceFileName) ||
      !plat::ResolvePath(path, resolved, sizeof resolved))
    return 0;
  std::FILE* file = std::fopen(resolved, "rb");
  if (file == nullptr) return 0;
  char text[32] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  uint64_t value = 0;
  size_t i = 0;
  for (; i < n && text[i] >= '0' && text[i] <= '9' && i < 18; ++i) value = value * 10 + (text[i] - '0');
  // Anything but digits and a line end is not this file's: counted as none.
  if (i == 0 || (i < n && text[i] != '\r' && text[i] != '\n')) return 0;
  return value;
}

bool WriteAcceptedSequence(const char* installDir, uint64_t sequence) {
  char path[1024];
  char temp[1024];
  if (!JoinPath(path, sizeof path, installDir, kSequenceFileName) ||
      std::snprintf(temp, sizeof temp, "%s.new", path) >= static_cast<int>(sizeof temp))
    return false;
  std::FILE* file = plat::OpenFileForWriting(temp);
  if (file == nullptr) return false;
  const bool written = std::fprintf(file, "%llu\r\n", static_cast<unsigned long long>(sequence)) > 0;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed || !plat::RenameOver(temp, path)) {
    plat::RemoveFile(temp);
    return false;
  }
  return true;
}

ListVerdict JudgeListFile(const char* path, const ListPublicKeys& keys, uint64_t acceptedSequence,
                          plat::FileTime nowUtc, SignedList* list, bool* hashesUsable) {
  *hashesUsable = false;
  const bool keyed = keys.count > 0;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return keyed ? ListVerdict::kNotSigned : ListVerdict::kAccepted;
  static char buffer[64u << 10];  // used on the one thread that judges the list
  bool fed = true;
  for (;;) {
    const size_t n = std::fread(buffer, 1, sizeof buffer, file);
    if (n > 0 && !list->Feed(buffer, n)) fed = false;
    if (n < sizeof buffer) break;
  }
  const bool readError = std::ferror(file) != 0;
  std::fclose(file);
  (void)fed;  // Finish says what went wrong
  const ListSignatureFault fault = list->Finish();
  if (readError) return keyed ? ListVerdict::kNotSigned : ListVerdict::kAccepted;
  *hashesUsable = fault == ListSignatureFault::kNone || fault == ListSignatureFault::kUnsigned;
  if (!keyed) return ListVerdict::kAccepted;
  if (fault != ListSignatureFault::kNone || list->Verify(keys) != ListSignatureFault::kNone) {
    *hashesUsable = false;
    return ListVerdict::kNotSigned;
  }
  if (list->header().sequence < acceptedSequence) return ListVerdict::kRolledBack;
  if (ListHasExpired(list->header(), nowUtc)) return ListVerdict::kExpired;
  return ListVerdict::kAccepted;
}
