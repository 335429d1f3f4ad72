// Windows: files, directories and times through the system's *A calls.
//
// The disk matches names without regard to case by itself, so names pass through.
#include "platform/files.h"

#include <windows.h>

#include <cstring>

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

}  // namespace

char PathSeparator() { return '\\'; }

bool QueryFile(const char* path, FileStatus* out) {
  *out = FileStatus{};
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
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const DWORD cleared = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                         FILE_ATTRIBUTE_SYSTEM);
  if (cleared == attributes) return true;
  return SetFileAttributesA(path, cleared != 0 ? cleared : FILE_ATTRIBUTE_NORMAL) != 0;
}

bool RemoveFile(const char* path) { return DeleteFileA(path) != 0; }

bool MakeExecutable(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool RenameOver(const char* from, const char* to) {
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
bool CopyOver(const char* from, const char* to) {
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
  if (!CopyFileA(from, temp, FALSE) || !MoveFileExA(temp, to, MOVEFILE_REPLACE_EXISTING)) {
    const DWORD error = GetLastError();
    DeleteFileA(temp);
    SetLastError(error);
    return false;
  }
  return true;
}

bool RemoveProgramFile(const char* path) { return DeleteFileA(path) != 0; }

bool MakeDirectory(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

bool RemoveEmptyDirectory(const char* path) { return RemoveDirectoryA(path) != 0; }

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

struct TimesFile {
  HANDLE handle;
};

TimesHandle OpenForTimes(const char* path) {
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
