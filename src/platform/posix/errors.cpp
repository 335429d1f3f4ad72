// Linux: the thread's last error is errno; the program's own codes (the FTP client's
// 12000 range, the files service's refusal) have texts of their own (OwnErrorText).
#include "platform/errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>


namespace plat {

uint32_t LastErrorCode() { return static_cast<uint32_t>(errno); }

// The run-time library and the system share errno here.
uint32_t RuntimeErrorCode() { return static_cast<uint32_t>(errno); }

void SetLastErrorCode(uint32_t code) { errno = static_cast<int>(code); }

uint32_t NameTooLongCode() { return ENAMETOOLONG; }

uint32_t InvalidNameCode() { return EINVAL; }

bool ErrorText(uint32_t code, char* out, size_t capacity) {
  if (capacity == 0) return false;
  out[0] = '\0';
  const char* text = OwnErrorText(code);
  if (text == nullptr && code > 0 && code < 4096) {
    // strerror_r (GNU form) may return a static string instead of filling the buffer.
    char scratch[256];
    text = strerror_r(static_cast<int>(code), scratch, sizeof scratch);
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) return false;
    std::snprintf(out, capacity, "%s.", text);
    return true;
  }
  if (text == nullptr) return false;
  std::snprintf(out, capacity, "%s", text);
  return true;
}

}  // namespace plat
