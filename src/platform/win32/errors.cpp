// Windows: the thread's last error is GetLastError; texts come from the system's
// message table (FormatMessageA), and the program's own codes (the FTP client's, the
// files service's refusal), which the system table does not hold, get their own texts.
#include "platform/errors.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>


namespace plat {

uint32_t LastErrorCode() { return GetLastError(); }

void SetLastErrorCode(uint32_t code) { SetLastError(code); }

// The run-time library keeps the system's code of its last failed call in _doserrno
// and the C code in errno. _doserrno is not cleared by a later failure that did not
// come from the system (a bad mode, for instance), so it is used only when errno is
// one that a system failure produces; otherwise errno is mapped.
uint32_t RuntimeErrorCode() {
  const int e = errno;
  const unsigned long dos = _doserrno;
  switch (e) {
    case ENOENT:
    case EACCES:
    case EMFILE:
    case ENOSPC:
    case EEXIST:
    case EBADF:
    case EXDEV:
      if (dos != 0) return static_cast<uint32_t>(dos);
      break;
    default:
      break;
  }
  switch (e) {
    case 0: return 0;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES: return ERROR_ACCESS_DENIED;
    case EMFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC: return ERROR_DISK_FULL;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EBADF: return ERROR_INVALID_HANDLE;
    default: return ERROR_INVALID_PARAMETER;
  }
}

uint32_t NameTooLongCode() { return ERROR_FILENAME_EXCED_RANGE; }

uint32_t InvalidNameCode() { return ERROR_INVALID_NAME; }

bool ErrorText(uint32_t code, char* out, size_t capacity) {
  if (capacity == 0) return false;
  out[0] = '\0';
  if (const char* own = OwnErrorText(code)) {
    std::snprintf(out, capacity, "%s", own);
    return true;
  }
  // The system allocates the text (neutral language, the user's sublanguage) and it
  // goes back with LocalFree.
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
  if (n == 0 || text == nullptr) return false;
  // The table's texts end in a line break, which a box does not need.
  size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
  std::snprintf(out, capacity, "%.*s", static_cast<int>(length), text);
  LocalFree(text);
  return true;
}

}  // namespace plat
