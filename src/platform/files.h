// Files, directories and the file times the patcher stamps.
//
// Paths are narrow, NUL-terminated strings with the platform's own separator
// (PathSeparator()). Every call that fails returns false (or null) and leaves the
// reason in LastErrorCode(). Calls may come from any thread; the service serialises
// them itself.
//
// The installation. Patch lists are written for a disk that matches names without
// regard to ASCII case, and a patch run must never write outside the game's folder.
// OpenInstallation declares that folder once per run; while it is open, every path
// that names the root or lies below it (the root's text followed by a separator,
// compared as text; the root as given or as the disk resolves it) is an installation
// path, and every call below keeps these promises for it:
//  - Names match as a Windows disk matches them. Each component is looked up ignoring
//    ASCII case; an existing entry is used in its own spelling, and a component that
//    does not exist yet is created as the caller spells it. Where one directory holds
//    entries that differ only in case, the entry spelled exactly as asked wins, else
//    the first of them in byte order (strcmp): "DATA" finds "Data" before "data".
//  - Nothing outside the root is created, written, deleted, renamed or changed in mode.
//    A link below the root is followed only while it leads to a place inside the root;
//    a call whose path would leave fails with kFileErrorOutsideInstallation and does
//    nothing. The last component of a path that is removed, renamed over or created is
//    never followed: a link there is itself removed or replaced, never its target.
//  - The service may remember directory listings for the run (to keep a 100,000-line
//    list cheap). What it does itself is seen by every later call at once; entries that
//    others create meanwhile are found when spelled exactly as on disk.
//  - The root itself is taken as the disk resolves it when declared: a link to the
//    game's folder is the player's choice, links below it are judged as above.
// Paths outside the installation (the temporary directory, the settings) are used as
// given. A disk that matches names this way already (Windows) meets the first promise
// by passing names through, and the second by judging the system's final path of what
// a call would reach (every reparse point resolved) against the root's.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace plat {

// File times on both builds: 100-nanosecond intervals since 1601-01-01 00:00 UTC.
using FileTime = uint64_t;

// The code of a call refused because its path leads out of the installation through a
// link. Outside the system's own codes on both builds (Windows leaves bit 29 to
// applications); ErrorText has a text for it.
constexpr uint32_t kFileErrorOutsideInstallation = 0x20000101u;

// The component separator of this platform's paths.
char PathSeparator();

// Declares `root`, an existing directory, as the installation (see above), replacing
// any earlier one and forgetting what was remembered of it. False when `root` cannot
// be opened as a directory; no installation is open then.
bool OpenInstallation(const char* root);
// Ends the installation; later paths are used as given. Harmless when none is open.
void CloseInstallation();

// The path as the disk spells it, for reading it with the C library or zlib: below the
// installation each component in its spelling on disk and links inside resolved (a
// last component that does not exist yet as given); elsewhere the path unchanged.
// False when it does not fit, a directory on the way is missing, or it leads out of
// the installation.
bool ResolvePath(const char* path, char* out, size_t capacity);

struct FileStatus {
  bool exists = false;
  bool isDirectory = false;
  uint64_t size = 0;
  FileTime lastWrite = 0;
};

// Looks a path up. Returns false when it does not exist or cannot be examined;
// `out->exists` tells the two apart for callers that care (a path that leads out of
// the installation is not examined: false, with exists false).
bool QueryFile(const char* path, FileStatus* out);

// Makes a file replaceable: clears read-only (and on Windows hidden and system) so
// that it can be deleted or renamed over. A link is not followed out of the
// installation; outside an installation a link is not followed at all.
bool MakeWritable(const char* path);

// Removes a file (a link: the link itself); fails for a directory.
bool RemoveFile(const char* path);

// Lets a downloaded program file be started (Linux: the execute bits where it is
// readable; Windows needs nothing). Links are treated as by MakeWritable.
bool MakeExecutable(const char* path);

// Moves `from` to `to`, replacing an existing `to` in one step where the platform
// allows it, so that a failure never leaves `to` missing. Fails when `to` is a
// directory. Permissions: a replaced file's permission bits stay (Linux: read, write
// and execute for owner, group and others; the moved file takes them); a new file
// gets the ordinary ones of a new file (Linux: 0666 less the umask).
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
// With `lastWrite`, the copy carries that last-write time when it is put in place, so
// it never appears with another.
bool CopyOver(const char* from, const char* to, const FileTime* lastWrite = nullptr);

// Deletes a file; fails while it is a running program's image.
bool RemoveProgramFile(const char* path);

// Creates one directory level; fails (harmlessly) when it exists, in any spelling.
bool MakeDirectory(const char* path);

// Removes a directory only when it is empty.
bool RemoveEmptyDirectory(const char* path);

// Creates `path`, or empties the file there, and opens it for writing as a binary C
// stream; null on failure. A link at `path` is not followed.
std::FILE* OpenFileForWriting(const char* path);

// The user's private temporary directory, with a trailing separator.
bool TempDirectory(char* out, size_t capacity);

// The full path of the running program's file.
bool ExecutablePath(char* out, size_t capacity);

// Whether `path` names the running program's own file, the one its self-update
// renews. Linux: the same file on disk (device and inode) as the image this process
// runs from, the path resolved as above (names matched ignoring case inside the
// installation); false when it is missing or cannot be examined, so a file of the same
// name written for another build is just a file. Windows answers true for every path:
// there every program file that the self-update is given is handed over to, as the
// Windows program has always done.
bool IsOwnProgramFile(const char* path);

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
