// Temporary directory trees for tests: an installation, its staging area, files with
// chosen contents and times, and a scoped time zone.
#pragma once
#include <cstdint>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace zdtest {

// A fresh directory under the test temp area (or under `base` when given), removed with
// everything in it at the end.
class TempTree {
 public:
  explicit TempTree(const std::string& base = "");
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  // root + "/" + relative (relative uses '/').
  std::string Path(const std::string& relative) const;
  // Writes a file (parents created); returns its full path.
  std::string Write(const std::string& relative, const std::string& contents);
  std::string Read(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  void MakeDirs(const std::string& relative);
  // Sets the last-write time to the given local calendar time, converted with the
  // offset that held at that time, as the patcher stamps.
  void SetLocalMtime(const std::string& relative, int year, int month, int day, int hour,
                     int minute, int second = 0);
  // Writes a file that every listed entry finds out of date (see WriteStaleFile).
  std::string WriteStale(const std::string& relative, const std::string& contents);
  // Writes a settings file "VornPatch.ini" into `relative` (a directory).
  std::string WriteSettings(const std::string& relativeDir, const std::string& body);

 private:
  std::string root_;
};

// Absolute-path helpers on plain files.
bool FileExists(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);
void MakeDirs(const std::string& path);
void RemoveTree(const std::string& path);
// The permission bits of a file (not followed if a link), 0 when it is missing.
unsigned ModeOf(const std::string& path);
bool IsLink(const std::string& path);

// Writes a file (parents created) last written at 1980-01-01 00:00 local time: before
// every listed date and at the earliest time of day, so the freshness test fetches it
// whatever its size and whenever the test runs. A file written "now" with the listed
// size would look current from the listed time of day on.
void WriteStaleFile(const std::string& path, const std::string& contents);

// The last-write time of a file as local "YYYY-MM-DD HH:MM", converted as the patcher
// converts (the offset in force at that time); "" when it cannot be read.
std::string LocalStamp(const std::string& path);
// The names in a directory (not "." and ".."), sorted.
std::set<std::string> DirectoryNames(const std::string& dir);
// The same names as a sorted list.
std::vector<std::string> SortedNames(const std::string& dir);
// Every entry under `dir` as a path relative to it ("sub/b.dat"); directories end in '/'.
std::set<std::string> TreeListing(const std::string& dir);
// The disk space the files under `dir` take (allocated blocks; links not followed).
uint64_t DiskBytes(const std::string& dir);

// Polls `condition` every few milliseconds until it holds or `ms` have passed.
bool WaitUntil(const std::function<bool()>& condition, int ms = 10000);

// Sets TZ for the scope of the object (and tzset), restoring the old value after.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz);
  ~ScopedTimeZone();

 private:
  bool hadOld_;
  std::string old_;
};

// Sets an environment variable for the scope of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string name_;
  bool hadOld_;
  std::string old_;
};

}  // namespace zdtest
