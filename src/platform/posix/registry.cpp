// Linux stand-in for the machine registry: a key is a directory under the first
// entry of $XDG_CONFIG_DIRS (default /etc/xdg), each backslash of the key name a
// directory level; a value is a file named after it holding the text, one trailing
// newline ignored.
#include "platform/registry.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace plat {

struct MachineKey {
  std::string directory;
};

namespace {

std::string ConfigBase() {
  const char* dirs = std::getenv("XDG_CONFIG_DIRS");
  if (dirs != nullptr && dirs[0] != '\0') {
    std::string first(dirs, std::strcspn(dirs, ":"));
    if (!first.empty() && first[0] == '/') return first;
  }
  return "/etc/xdg";
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool OpenMachineKey(const char* subkey, MachineKeyHandle* out) {
  *out = nullptr;
  std::string path = ConfigBase();
  // The store's own directory stands for HKEY_LOCAL_MACHINE, which always exists.
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
  }
  std::string part;
  for (const char* p = subkey;; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (part == "." || part == "..") {
        errno = EINVAL;
        return false;
      }
      if (!part.empty()) {
        path += '/';
        path += part;
        if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (!IsDirectory(path)) {
          errno = ENOTDIR;
          return false;
        }
      }
      part.clear();
      if (*p == '\0') break;
    } else if (*p == '/') {
      errno = EINVAL;  // a key name never holds a slash
      return false;
    } else {
      part.push_back(*p);
    }
  }
  *out = new MachineKey{path};
  return true;
}

bool QueryMachineText(MachineKeyHandle key, const char* name, char* out, size_t capacity) {
  if (key == nullptr || capacity == 0 || std::strchr(name, '/') != nullptr) {
    errno = EINVAL;
    return false;
  }
  const std::string path = key->directory + "/" + name;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    text.append(buffer, n);
    if (text.size() > 65536) break;
  }
  std::fclose(f);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.size() + 1 > capacity) {
    errno = EOVERFLOW;  // the value does not fit: never cut it
    return false;
  }
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

bool CloseMachineKey(MachineKeyHandle key) {
  delete key;
  return true;
}

}  // namespace plat
