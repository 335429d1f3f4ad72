// Windows: the temporary file of a download for the FTP client (ftp_transport.h),
// named "<target>.part" by the client and moved over the target once the whole file has
// arrived. Every call that creates, removes or moves goes through the files service, so
// inside the installation no link or junction leads a download out of it (files.h).
#include <windows.h>

#include <string>

#include "platform/files.h"
#include "platform/ftp_transport.h"
#include "platform/win32/files_win32.h"

namespace plat {
namespace ftp {
namespace {

// Reports ERROR_FILENAME_EXCED_RANGE for a temporary name the system cannot take.
bool NameFits(const std::string& path) {
  if (path.size() < MAX_PATH) return true;
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return false;
}

}  // namespace

const uint32_t kInvalidArgument = ERROR_INVALID_PARAMETER;

// A fresh temporary file: a leftover of the same name goes first, the new one is
// created only if the name is free. Others may read it, and a close or an abort may
// delete it while it is open.
LocalFile CreateLocal(const std::string& path) {
  if (!NameFits(path)) return kNoLocalFile;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!RemoveFile(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) {
      return kNoLocalFile;
    }
    HANDLE h = OpenFileHandle(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return reinterpret_cast<LocalFile>(h);
  }
  return kNoLocalFile;
}

bool WriteLocal(LocalFile file, const void* data, size_t size) {
  DWORD written = 0;
  if (WriteFile(reinterpret_cast<HANDLE>(file), data, static_cast<DWORD>(size), &written, nullptr) &&
      written == size) {
    return true;
  }
  if (GetLastError() == 0) SetLastError(ERROR_WRITE_FAULT);
  return false;
}

bool CloseLocal(LocalFile file) { return CloseHandle(reinterpret_cast<HANDLE>(file)) != 0; }

bool RemoveLocal(const std::string& path) {
  if (!NameFits(path)) return false;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return RemoveFile(path.c_str());
}

bool PlaceLocal(const std::string& from, const std::string& to) { return RenameOver(from.c_str(), to.c_str()); }

}  // namespace ftp
}  // namespace plat
