// Windows: files, directories and times through the system's *A calls.
//
// The installation (files.h) on a Windows disk:
//  - Names: the disk matches names ignoring case by itself, so names pass through; an
//    existing entry keeps its spelling when a file is written or replaced through
//    another one. Only ResolvePath spells a path as the disk does, from the system's
//    final path of what exists. (Under Wine on a Linux disk, Wine does the matching: it
//    takes the exact spelling when it exists, else the first match its directory scan
//    meets, which need not be the first in byte order.)
//  - Links: before a call changes or examines a path below the root, the deepest part
//    of it that exists is opened and its final path (GetFinalPathNameByHandleA, every
//    reparse point resolved by the system) must lie inside the root's own final path;
//    otherwise the call fails with kFileErrorOutsideInstallation and does nothing. A
//    call that never follows its last component (remove, rename over, create, make or
//    remove a directory) judges the directory that holds it, and the last component
//    itself only where the system does not show it as a reparse point: a visible link
//    there is removed or replaced itself, as the system does with one.
//  - Wine shows a Unix link to a directory as a reparse point and follows it, but a
//    Unix link to a file looks like a plain file, and deleting it deletes its target.
//    The final path still tells: such a link that leads out is refused like any other;
//    one that stays inside is acted on as Wine does (its target inside is deleted).
//  - Without GetFinalPathNameByHandleA (before Vista, where only junctions exist) or
//    where the deepest part cannot be opened, every reparse point on the way is refused.
//  - The check and the call are two steps: a link made between them by someone else
//    is not seen. The threat is a link the installation holds, not a race against it.
#include "platform/files.h"
#include "platform/win32/files_win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>

namespace plat {

namespace {

FileTime FromFiletime(const FILETIME& ft) {
  return (static_cast<FileTime>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME ToFiletime(FileTime t) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return ft;
}

bool IsDirectoryPath(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Copies `path`'s directory part (up to its last separator, without it) into `out`;
// "." when there is none.
bool DirectoryOf(const char* path, char* out, size_t capacity) {
  const char* slash = std::strrchr(path, '\\');
  const char* other = std::strrchr(path, '/');
  if (other != nullptr && (slash == nullptr || other > slash)) slash = other;
  if (slash == nullptr) {
    if (capacity < 2) return false;
    std::memcpy(out, ".", 2);
    return true;
  }
  const size_t length = static_cast<size_t>(slash - path);
  if (length + 1 > capacity) return false;
  std::memcpy(out, path, length);
  out[length] = '\0';
  return true;
}


bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The installation as declared: the root as given and as the system resolves it (both
// without a trailing separator).
struct Installation {
  bool open = false;
  std::string given;
  std::string full;
  std::string final;
};

std::mutex g_mutex;
Installation g_installation;

Installation Current() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_installation;
}

void TrimSeparators(std::string* path) {
  while (path->size() > 1 && IsSeparator(path->back()) && (*path)[path->size() - 2] != ':') path->pop_back();
}

// Where `path` continues below `root` (ASCII case ignored, either separator): the
// offset of the rest, or npos when it is neither the root nor below it.
size_t Below(const char* path, const std::string& root) {
  if (root.empty()) return std::string::npos;
  size_t i = 0;
  for (; i < root.size(); ++i) {
    if (path[i] == '\0') return std::string::npos;
    const char a = path[i], b = root[i];
    if (IsSeparator(a) && IsSeparator(b)) continue;
    if (FoldCase(a) != FoldCase(b)) return std::string::npos;
  }
  if (path[i] == '\0') return i;
  if (IsSeparator(path[i]) || IsSeparator(root.back())) return i;
  return std::string::npos;
}

bool InsideInstallation(const Installation& in, const char* path) {
  if (!in.open) return false;
  return Below(path, in.given) != std::string::npos || Below(path, in.full) != std::string::npos ||
         Below(path, in.final) != std::string::npos;
}

using FinalPathFunction = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);

// GetFinalPathNameByHandleA where the system has it (Vista and later, Wine).
FinalPathFunction FinalPathCall() {
  static const FinalPathFunction call = reinterpret_cast<FinalPathFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA")));
  return call;
}

// The system's final path of an existing file or directory, every link on the way
// resolved, in the disk's spelling, as a plain drive or UNC path.
bool FinalPath(const char* path, std::string* out) {
  const FinalPathFunction call = FinalPathCall();
  if (call == nullptr) return false;
  // No access is asked for: a running program's image and a file open elsewhere can
  // be examined as well.
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  char buffer[MAX_PATH + 16];
  const DWORD n = call(h, buffer, sizeof buffer, 0);
  const DWORD error = GetLastError();
  CloseHandle(h);
  if (n == 0 || n >= sizeof buffer) {
    SetLastError(n == 0 ? error : static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    return false;
  }
  out->assign(buffer, n);
  if (out->compare(0, 8, "\\\\?\\UNC\\") == 0) {
    out->replace(0, 8, "\\\\");
  } else if (out->compare(0, 4, "\\\\?\\") == 0) {
    out->erase(0, 4);
  }
  TrimSeparators(out);
  return true;
}

// The directory part of `path` (without its last separator), or empty when none.
std::string ParentOf(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && IsSeparator(path[end - 1])) --end;
  while (end > 0 && !IsSeparator(path[end - 1])) --end;
  while (end > 1 && IsSeparator(path[end - 1]) && path[end - 2] != ':') --end;
  return path.substr(0, end);
}

// The fallback without final paths: true when no component from the root down to the
// end of `path` is a reparse point (the last one only when `withLast`).
bool NoReparsePointBelow(const std::string& path, size_t rootEnd, bool withLast) {
  for (size_t i = rootEnd + 1; i <= path.size(); ++i) {
    if (i < path.size() && !IsSeparator(path[i])) continue;
    if (i == path.size() && !withLast) break;
    const DWORD attributes = GetFileAttributesA(path.substr(0, i).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) break;  // nothing below a missing name
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
  }
  return true;
}

enum class Last { kFollowed, kActedOn };

// The result of judging an installation path.
enum class Verdict { kOutside, kInside, kParentMissing };

// Judges an existing part of an installation path: its final path must lie inside the
// root's. `rootEnd` is where the root ends in `path`.
bool LeadsInside(const Installation& in, const std::string& existing, size_t rootEnd, bool withLast) {
  std::string final;
  if (!in.final.empty() && FinalPath(existing.c_str(), &final)) return Below(final.c_str(), in.final) != std::string::npos;
  return NoReparsePointBelow(existing, rootEnd, withLast);
}

Verdict Judge(const Installation& in, const char* path, Last last) {
  size_t rootEnd = Below(path, in.given);
  if (rootEnd == std::string::npos) rootEnd = Below(path, in.full);
  if (rootEnd == std::string::npos) rootEnd = Below(path, in.final);
  const std::string whole = path;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (last == Last::kFollowed) return LeadsInside(in, whole, rootEnd, true) ? Verdict::kInside : Verdict::kOutside;
    // The last component is acted on itself: where the system shows it as a link, that
    // is what it does; a link the system hides (Wine's Unix file link) is followed by
    // the call, so it is judged as followed.
    const std::string parent = ParentOf(whole);
    const bool parentBelowRoot = parent.size() > rootEnd;
    if (parentBelowRoot && !LeadsInside(in, parent, rootEnd, true)) return Verdict::kOutside;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Verdict::kInside;
    if (whole.size() > rootEnd && !LeadsInside(in, whole, rootEnd, true)) return Verdict::kOutside;
    return Verdict::kInside;
  }
  // A name that does not exist yet: the directory that would hold it decides.
  const std::string parent = ParentOf(whole);
  if (parent.size() <= rootEnd) return Verdict::kInside;
  if (GetFileAttributesA(parent.c_str()) == INVALID_FILE_ATTRIBUTES) return Verdict::kParentMissing;
  return LeadsInside(in, parent, rootEnd, true) ? Verdict::kInside : Verdict::kOutside;
}

// True when a call may go on with `path`: outside the installation always, inside
// while it does not lead out (a missing directory on the way is left to the call
// itself to report). False with kFileErrorOutsideInstallation.
bool Allowed(const char* path, Last last) {
  const Installation in = Current();
  if (!InsideInstallation(in, path)) return true;
  if (Judge(in, path, last) != Verdict::kOutside) return true;
  SetLastError(kFileErrorOutsideInstallation);
  return false;
}

}  // namespace

char PathSeparator() { return '\\'; }

bool OpenInstallation(const char* root) {
  const DWORD attributes = GetFileAttributesA(root);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY;
    CloseInstallation();
    SetLastError(error);
    return false;
  }
  Installation in;
  in.open = true;
  in.given = root;
  TrimSeparators(&in.given);
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(root, sizeof full, full, nullptr);
  if (n > 0 && n < sizeof full) {
    in.full = full;
    TrimSeparators(&in.full);
  }
  // The root as the disk resolves it: a link to the game's folder is the player's.
  if (!FinalPath(root, &in.final)) in.final.clear();
  std::lock_guard<std::mutex> lock(g_mutex);
  g_installation = in;
  return true;
}

void CloseInstallation() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_installation = Installation{};
}

bool ResolvePath(const char* path, char* out, size_t capacity) {
  std::string text = path;
  const Installation in = Current();
  if (InsideInstallation(in, path)) {
    const Verdict verdict = Judge(in, path, Last::kFollowed);
    if (verdict == Verdict::kOutside) {
      SetLastError(kFileErrorOutsideInstallation);
      return false;
    }
    if (verdict == Verdict::kParentMissing) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return false;
    }
    // The disk's spelling of what exists; a last component that does not exist yet
    // stays as given.
    std::string final;
    if (FinalPath(path, &final)) {
      text = final;
    } else if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
      const std::string parent = ParentOf(text);
      if (!parent.empty() && FinalPath(parent.c_str(), &final)) {
        size_t leaf = text.size();
        while (leaf > 0 && !IsSeparator(text[leaf - 1])) --leaf;
        text = final + '\\' + text.substr(leaf);
      }
    }
  }
  if (text.size() >= capacity) {
    if (capacity > 0) out[0] = '\0';
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

bool QueryFile(const char* path, FileStatus* out) {
  *out = FileStatus{};
  if (!Allowed(path, Last::kFollowed)) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
    const DWORD error = GetLastError();
    out->exists = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_INVALID_NAME;
    return false;
  }
  out->exists = true;
  out->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  out->lastWrite = FromFiletime(data.ftLastWriteTime);
  return true;
}

bool MakeWritable(const char* path) {
  if (!Allowed(path, Last::kFollowed)) return false;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const DWORD cleared = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                         FILE_ATTRIBUTE_SYSTEM);
  if (cleared == attributes) return true;
  return SetFileAttributesA(path, cleared != 0 ? cleared : FILE_ATTRIBUTE_NORMAL) != 0;
}

bool RemoveFile(const char* path) { return Allowed(path, Last::kActedOn) && DeleteFileA(path) != 0; }

bool MakeExecutable(const char* path) {
  return Allowed(path, Last::kFollowed) && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool RenameOver(const char* from, const char* to) {
  if (!Allowed(from, Last::kActedOn) || !Allowed(to, Last::kActedOn)) return false;
  if (IsDirectoryPath(to)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

// The copy is written to a new file beside `to` and put in place with one replace, so
// `to` is always whole. The replace fails while `to` is a running program's image
// (the system keeps such a file open without sharing delete), which is how the
// self-update waits for the old patcher to end.
// Sets a closed file's last-write time, leaving its other times alone.
static bool SetLastWrite(const char* path, FileTime lastWrite) {
  HANDLE h = CreateFileA(path, FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(lastWrite & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(lastWrite >> 32);
  const BOOL ok = SetFileTime(h, nullptr, nullptr, &ft);
  const DWORD error = GetLastError();
  CloseHandle(h);
  SetLastError(error);
  return ok != 0;
}

bool CopyOver(const char* from, const char* to, const FileTime* lastWrite) {
  if (!Allowed(to, Last::kActedOn)) return false;
  if (IsDirectoryPath(to)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  char dir[MAX_PATH];
  char temp[MAX_PATH];
  if (!DirectoryOf(to, dir, sizeof dir)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (GetTempFileNameA(dir, "zdn", 0, temp) == 0) return false;
  if (!CopyFileA(from, temp, FALSE) || (lastWrite != nullptr && !SetLastWrite(temp, *lastWrite)) ||
      !MoveFileExA(temp, to, MOVEFILE_REPLACE_EXISTING)) {
    const DWORD error = GetLastError();
    DeleteFileA(temp);
    SetLastError(error);
    return false;
  }
  return true;
}

bool RemoveProgramFile(const char* path) { return Allowed(path, Last::kActedOn) && DeleteFileA(path) != 0; }

bool MakeDirectory(const char* path) {
  return Allowed(path, Last::kActedOn) && CreateDirectoryA(path, nullptr) != 0;
}

bool RemoveEmptyDirectory(const char* path) {
  return Allowed(path, Last::kActedOn) && RemoveDirectoryA(path) != 0;
}

HANDLE OpenFileHandle(const char* path, DWORD access, DWORD share, DWORD disposition) {
  if (!Allowed(path, Last::kActedOn)) return INVALID_HANDLE_VALUE;
  // A link at the path is not written through (CREATE_ALWAYS would follow it).
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::FILE* OpenFileForWriting(const char* path) {
  HANDLE h = OpenFileHandle(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  // The stream owns the descriptor, the descriptor the handle.
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
  }
  std::FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) {
    _close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return stream;
}

bool TempDirectory(char* out, size_t capacity) {
  const DWORD size = capacity > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(capacity);
  const DWORD n = GetTempPathA(size, out);
  if (n == 0) return false;
  if (n >= size) {
    if (capacity > 0) out[0] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return true;
}

bool ExecutablePath(char* out, size_t capacity) {
  const DWORD size = capacity > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(capacity);
  const DWORD n = GetModuleFileNameA(nullptr, out, size);
  if (n == 0) return false;
  if (n >= size) {  // cut: the system filled the whole buffer
    if (capacity > 0) out[0] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return true;
}

// Every program file a Windows list carries as the patcher is handed over to: the
// self-update here never asks which file the process runs from (files.h).
bool IsOwnProgramFile(const char*) { return true; }

struct TimesFile {
  HANDLE handle;
};

TimesHandle OpenForTimes(const char* path) {
  if (!Allowed(path, Last::kFollowed)) return nullptr;
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return new TimesFile{h};
}

bool GetTimes(TimesHandle file, FileTimes* out) {
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  FILETIME creation, access, write;
  if (!GetFileTime(file->handle, &creation, &access, &write)) return false;
  out->creation = FromFiletime(creation);
  out->lastAccess = FromFiletime(access);
  out->lastWrite = FromFiletime(write);
  return true;
}

bool SetTimes(TimesHandle file, const FileTimes& times) {
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const FILETIME creation = ToFiletime(times.creation);
  const FILETIME access = ToFiletime(times.lastAccess);
  const FILETIME write = ToFiletime(times.lastWrite);
  return SetFileTime(file->handle, &creation, &access, &write) != 0;
}

void CloseTimes(TimesHandle file) {
  if (file == nullptr) return;
  CloseHandle(file->handle);
  delete file;
}

}  // namespace plat
