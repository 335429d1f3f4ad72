// The local-name check of patch lists (local_name.h says why each rule exists).
#include "patchlist/local_name.h"

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsForbidden(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  if (u < 32 || u == 127) return true;
  switch (c) {
    case '<':
    case '>':
    case ':':
    case '"':
    case '|':
    case '?':
    case '*':
      return true;
    default:
      return false;
  }
}

bool EqualsIgnoringCase(const char* text, size_t length, const char* word) {
  size_t i = 0;
  for (; i < length && word[i] != '\0'; ++i) {
    if (Upper(text[i]) != word[i]) return false;
  }
  return i == length && word[i] == '\0';
}

// Windows treats the part of a component before its first dot, less trailing blanks,
// as a device when it is one of the reserved names, whatever extension follows.
bool IsDeviceName(const char* component, size_t length) {
  size_t base = 0;
  while (base < length && component[base] != '.') ++base;
  while (base > 0 && component[base - 1] == ' ') --base;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (EqualsIgnoringCase(component, base, device)) return true;
  }
  if (base == 4 && component[3] >= '1' && component[3] <= '9' &&
      (EqualsIgnoringCase(component, 3, "COM") || EqualsIgnoringCase(component, 3, "LPT")))
    return true;
  return false;
}

LocalNameFault CheckComponent(const char* component, size_t length) {
  if (length == 0) return LocalNameFault::kNone;  // "a\\b": Windows reads it as "a\b"
  bool dotsOnly = true;
  for (size_t i = 0; i < length; ++i) {
    if (IsForbidden(component[i])) return LocalNameFault::kForbiddenCharacter;
    dotsOnly = dotsOnly && component[i] == '.';
  }
  if (dotsOnly) return length == 1 ? LocalNameFault::kNone : LocalNameFault::kClimbs;
  if (IsDeviceName(component, length)) return LocalNameFault::kDeviceName;
  const char last = component[length - 1];
  if (last == '.' || last == ' ') return LocalNameFault::kTrailingDotOrBlank;
  return LocalNameFault::kNone;
}

}  // namespace

LocalNameFault CheckLocalName(const char* name, size_t length) {
  if (length == 0) return LocalNameFault::kEmpty;
  if (IsSeparator(name[0])) return LocalNameFault::kRooted;
  if (length >= 2 && name[1] == ':' && IsAsciiLetter(name[0])) return LocalNameFault::kDrive;
  size_t start = 0;
  while (start <= length) {
    size_t end = start;
    while (end < length && !IsSeparator(name[end])) ++end;
    const LocalNameFault fault = CheckComponent(name + start, end - start);
    if (fault != LocalNameFault::kNone) return fault;
    start = end + 1;
  }
  return LocalNameFault::kNone;
}

const char* DescribeLocalNameFault(LocalNameFault fault) {
  switch (fault) {
    case LocalNameFault::kNone:
      return "is acceptable";
    case LocalNameFault::kEmpty:
      return "is empty";
    case LocalNameFault::kRooted:
      return "begins with a separator (a rooted path)";
    case LocalNameFault::kDrive:
      return "names a drive";
    case LocalNameFault::kClimbs:
      return "has a component of dots only, which climbs out of the installation";
    case LocalNameFault::kForbiddenCharacter:
      return "holds a control character or one of < > : \" | ? *, which Windows "
             "does not allow in names";
    case LocalNameFault::kDeviceName:
      return "names a device Windows reserves (CON, PRN, AUX, NUL, COM1-9, "
             "LPT1-9, with any extension)";
    case LocalNameFault::kTrailingDotOrBlank:
      return "has a component ending in a dot or a blank, which Windows trims to "
             "another name";
  }
  return "is not acceptable";
}
