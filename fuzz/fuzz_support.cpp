#include "fuzz_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace zdfuzz {

namespace {

std::string g_scratch;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  std::remove(path);
  return 0;
}

void RemoveScratch() {
  if (!g_scratch.empty()) ::nftw(g_scratch.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

[[noreturn]] void Die(const char* what, const std::string& path) {
  std::fprintf(stderr, "fuzz setup: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
  std::abort();
}

}  // namespace

const std::string& ScratchDir() {
  if (g_scratch.empty()) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/zd-fuzz-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) Die("cannot create", pattern);
    g_scratch = pattern;
    std::atexit(RemoveScratch);
  }
  return g_scratch;
}

void MakeDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) Die("cannot create", prefix);
    if (slash == std::string::npos) break;
  }
}

void WriteWholeFile(const std::string& path, const void* data, size_t size) {
  // A fresh file each time: ext4 flushes a file that is truncated and written again
  // when it is closed, which would make every input wait for the disk.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) Die("cannot remove", path);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) Die("cannot write", path);
  if (size > 0 && std::fwrite(data, 1, size, f) != size) Die("cannot write", path);
  if (std::fclose(f) != 0) Die("cannot write", path);
}

void StampLocal(const std::string& path, int year, int month, int day, int hour, int minute) {
  struct tm fields {};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_isdst = -1;
  const time_t utc = ::mktime(&fields);
  const timespec times[2] = {{utc, 0}, {utc, 0}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) Die("cannot stamp", path);
}

void Fail(const char* file, int line, const char* condition, const std::string& detail) {
  std::fprintf(stderr, "\n%s:%d: invariant broken: %s\n  %s\n", file, line, condition, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (out.size() >= 300) {
      out += "...";
      break;
    }
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace zdfuzz
