// Reading INI files: sections and keys, case-insensitive.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plat {

// Copies the text of `key` in `section` of `file` into `out`, cut to capacity - 1
// characters. Gives `fallback` when the file, the section or the key is absent.
// Returns the number of characters written (0 for an empty or absent value); the text
// holds exactly that many, since a NUL byte in the file ends its line's text.
size_t ReadIniText(const char* file, const char* section, const char* key,
                   const char* fallback, char* out, size_t capacity);

// The value of `key` as a decimal integer: `fallback` when absent, 0 when the text
// does not begin with a number.
uint32_t ReadIniUnsigned(const char* file, const char* section, const char* key,
                         int fallback);

}  // namespace plat
