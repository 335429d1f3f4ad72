// Windows: INI files through the system's profile reader.
#include "platform/settings.h"

#include <windows.h>

#include <climits>

namespace plat {

size_t ReadIniText(const char* file, const char* section, const char* key, const char* fallback, char* out,
                   size_t capacity) {
  if (capacity == 0) return 0;
  const DWORD size = capacity > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(capacity);
  return GetPrivateProfileStringA(section, key, fallback != nullptr ? fallback : "", out, size, file);
}

uint32_t ReadIniUnsigned(const char* file, const char* section, const char* key, int fallback) {
  return GetPrivateProfileIntA(section, key, fallback, file);
}

}  // namespace plat
