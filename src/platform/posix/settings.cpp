// Linux INI reader with the results of the Windows profile calls: section and key
// names compare without regard to case, the first occurrence wins, blanks around
// names and values are dropped, a value in matching quotes loses them, lines
// beginning with ';' are comments, a NUL byte ends a line's text, and a value is cut
// to the caller's buffer.
#include "platform/settings.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace plat {

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Finds the value of key in section; false when the file, section or key is absent.
bool FindValue(const char* file, const char* section, const char* key, std::string* value) {
  FILE* f = std::fopen(file, "rb");
  if (f == nullptr) return false;
  bool inSection = false;
  bool found = false;
  std::string line;
  bool first = true;
  for (;;) {
    line.clear();
    // A NUL byte ends the line's text, as it ends a C string: a value holding one
    // would be shorter than the count the caller is given (and an empty value would
    // pass for a present one).
    bool ended = false;
    int c;
    while ((c = std::fgetc(f)) != EOF && c != '\n') {
      if (c == '\0') ended = true;
      if (!ended) line.push_back(static_cast<char>(c));
    }
    if (c == EOF && line.empty()) break;
    if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    first = false;
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';') {
      if (c == EOF) break;
      continue;
    }
    if (t[0] == '[') {
      const size_t close = t.find(']');
      const std::string name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      inSection = SameName(name, section);
    } else if (inSection) {
      const size_t eq = t.find('=');
      const std::string name = Trim(t.substr(0, eq));
      if (SameName(name, key)) {
        std::string v = eq == std::string::npos ? std::string() : Trim(t.substr(eq + 1));
        if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
        *value = v;
        found = true;
        break;
      }
    }
    if (c == EOF) break;
  }
  std::fclose(f);
  return found;
}

}  // namespace

size_t ReadIniText(const char* file, const char* section, const char* key, const char* fallback,
                   char* out, size_t capacity) {
  if (capacity == 0) return 0;
  std::string value;
  if (!FindValue(file, section, key, &value)) value = fallback != nullptr ? fallback : "";
  const size_t n = value.size() < capacity - 1 ? value.size() : capacity - 1;
  std::memcpy(out, value.data(), n);
  out[n] = '\0';
  return n;
}

uint32_t ReadIniUnsigned(const char* file, const char* section, const char* key, int fallback) {
  std::string value;
  if (!FindValue(file, section, key, &value) || value.empty()) return static_cast<uint32_t>(fallback);
  errno = 0;
  char* end = nullptr;
  long long n = std::strtoll(value.c_str(), &end, 10);
  if (end == value.c_str()) return 0;
  if (n > static_cast<long long>(UINT32_MAX)) n = UINT32_MAX;
  if (n < INT32_MIN) n = INT32_MIN;
  return static_cast<uint32_t>(n);
}

}  // namespace plat
