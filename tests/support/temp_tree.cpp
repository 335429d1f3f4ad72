#include "support/temp_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <ftw.h>

#include "platform/clock.h"
#include "platform/files.h"

namespace zdtest {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::chmod(path, 0700);
  return ::remove(path);
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool IsLink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeDirs(path.substr(0, slash));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path);
}

void MakeDirs(const std::string& path) {
  std::string partial;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (!partial.empty()) ::mkdir(partial.c_str(), 0755);
    }
    if (i < path.size()) partial.push_back(path[i]);
  }
}

void RemoveTree(const std::string& path) {
  // Directories first get their write bit back so read-only test trees can go too.
  ::chmod(path.c_str(), 0700);
  ::nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

TempTree::TempTree(const std::string& under) {
  const char* base = under.empty() ? std::getenv("TEST_TMPDIR") : under.c_str();
  if (base == nullptr || base[0] == '\0') base = std::getenv("TMPDIR");
  if (base == nullptr || base[0] == '\0') base = "/tmp";
  std::string pattern = std::string(base) + "/zdtest-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = buf.data();
}

TempTree::~TempTree() { RemoveTree(root_); }

std::string TempTree::Path(const std::string& relative) const {
  return relative.empty() ? root_ : root_ + "/" + relative;
}

std::string TempTree::Write(const std::string& relative, const std::string& contents) {
  const std::string path = Path(relative);
  WriteFile(path, contents);
  return path;
}

std::string TempTree::Read(const std::string& relative) const { return ReadFile(Path(relative)); }

bool TempTree::Exists(const std::string& relative) const { return FileExists(Path(relative)); }

void TempTree::MakeDirs(const std::string& relative) { zdtest::MakeDirs(Path(relative)); }

namespace {

void SetLocalMtimeOf(const std::string& path, int year, int month, int day, int hour, int minute, int second) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;  // the offset of that date, whatever the season today
  const time_t when = ::mktime(&t);
  const timespec ts[2] = {{when, 0}, {when, 0}};
  if (::utimensat(AT_FDCWD, path.c_str(), ts, 0) != 0) throw std::runtime_error("utimensat failed for " + path);
}

}  // namespace

void TempTree::SetLocalMtime(const std::string& relative, int year, int month, int day, int hour,
                             int minute, int second) {
  SetLocalMtimeOf(Path(relative), year, month, day, hour, minute, second);
}

void WriteStaleFile(const std::string& path, const std::string& contents) {
  WriteFile(path, contents);
  SetLocalMtimeOf(path, 1980, 1, 1, 0, 0, 0);
}

std::string TempTree::WriteStale(const std::string& relative, const std::string& contents) {
  WriteStaleFile(Path(relative), contents);
  return Path(relative);
}

std::string TempTree::WriteSettings(const std::string& relativeDir, const std::string& body) {
  return Write(relativeDir.empty() ? "VornPatch.ini" : relativeDir + "/VornPatch.ini", body);
}

ScopedTimeZone::ScopedTimeZone(const char* tz) {
  const char* old = std::getenv("TZ");
  hadOld_ = old != nullptr;
  if (hadOld_) old_ = old;
  ::setenv("TZ", tz, 1);
  ::tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
  if (hadOld_) {
    ::setenv("TZ", old_.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  const char* old = std::getenv(name);
  hadOld_ = old != nullptr;
  if (hadOld_) old_ = old;
  ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (hadOld_) {
    ::setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

std::string LocalStamp(const std::string& path) {
  plat::FileStatus st;
  plat::FileTime local;
  plat::CalendarTime c;
  if (!plat::QueryFile(path.c_str(), &st) || !plat::UtcToLocalFileTime(st.lastWrite, &local) ||
      !plat::SplitFileTime(local, &c))
    return "";
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", c.year, c.month, c.day, c.hour, c.minute);
  return text;
}

std::set<std::string> DirectoryNames(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
    ::closedir(d);
  }
  return names;
}

std::vector<std::string> SortedNames(const std::string& dir) {
  const std::set<std::string> names = DirectoryNames(dir);
  return std::vector<std::string>(names.begin(), names.end());
}

namespace {

void Walk(const std::string& dir, const std::string& prefix, std::set<std::string>* out) {
  for (const std::string& name : DirectoryNames(dir)) {
    struct stat st;
    if (::lstat((dir + "/" + name).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      out->insert(prefix + name + "/");
      Walk(dir + "/" + name, prefix + name + "/", out);
    } else {
      out->insert(prefix + name);
    }
  }
}

}  // namespace

std::set<std::string> TreeListing(const std::string& dir) {
  std::set<std::string> names;
  Walk(dir, "", &names);
  return names;
}

uint64_t DiskBytes(const std::string& dir) {
  uint64_t bytes = 0;
  for (const std::string& name : TreeListing(dir)) {
    struct stat st;
    if (::lstat((dir + "/" + name).c_str(), &st) == 0) bytes += static_cast<uint64_t>(st.st_blocks) * 512u;
  }
  return bytes;
}

}  // namespace zdtest
