// Files, directories and the file times the patcher stamps.
//
// Paths are narrow, NUL-terminated strings with the platform's own separator
// (PathSeparator()). Every call that fails returns false (or null) and leaves the
// reason in LastErrorCode().
#pragma once
#include <cstddef>
#include <cstdint>

namespace plat {

// File times on both builds: 100-nanosecond intervals since 1601-01-01 00:00 UTC.
using FileTime = uint64_t;

// The component separator of this platform's paths.
char PathSeparator();

struct FileStatus {
  bool exists = false;
  bool isDirectory = false;
  uint64_t size = 0;
  FileTime lastWrite = 0;
};

// Looks a path up. Returns false when it does not exist or cannot be examined;
// `out->exists` tells the two apart for callers that care.
bool QueryFile(const char* path, FileStatus* out);

// Makes a file replaceable: clears read-only (and on Windows hidden and system) so
// that it can be deleted or renamed over.
bool MakeWritable(const char* path);

bool RemoveFile(const char* path);

// Lets a downloaded program file be started (Linux: the execute bits where it is
// readable; Windows needs nothing).
bool MakeExecutable(const char* path);

// Moves `from` to `to`, replacing an existing `to` in one step where the platform
// allows it, so that a failure never leaves `to` missing.
bool RenameOver(const char* from, const char* to);

// Program files, as the self-update replaces and removes them. A program's file
// cannot be overwritten or deleted while a program runs from it: Windows refuses
// both by itself; the Linux build, which would allow them, looks for a running
// process of the user's whose image is that file and refuses in the same way
// (LastErrorCode: the "text file busy" code). Callers retry until the program ends.
//
// Copies `from` over `to` (created or replaced). The copy is written beside `to` and
// put in place with one replace, so `to` is always either the old file or the new
// one, whole, whatever happens during the copy. A replaced `to` keeps its permission
// bits; a new one gets those of `from`. Fails while `to` is a running program's image.
bool CopyOver(const char* from, const char* to);

// Deletes a file; fails while it is a running program's image.
bool RemoveProgramFile(const char* path);

// Creates one directory level; fails (harmlessly) when it exists.
bool MakeDirectory(const char* path);

// Removes a directory only when it is empty.
bool RemoveEmptyDirectory(const char* path);

// The user's private temporary directory, with a trailing separator.
bool TempDirectory(char* out, size_t capacity);

// The full path of the running program's file.
bool ExecutablePath(char* out, size_t capacity);

// A file opened for reading and writing its times. Opening creates a missing file.
struct TimesFile;
using TimesHandle = TimesFile*;

struct FileTimes {
  FileTime creation = 0;
  FileTime lastAccess = 0;
  FileTime lastWrite = 0;
};

TimesHandle OpenForTimes(const char* path);
bool GetTimes(TimesHandle file, FileTimes* out);
// Writes all three times. A platform that keeps no creation time ignores it.
bool SetTimes(TimesHandle file, const FileTimes& times);
void CloseTimes(TimesHandle file);

}  // namespace plat
