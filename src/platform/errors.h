// Error codes of the calling thread and their texts.
//
// Codes are 32-bit. The Windows build uses the system's error codes (GetLastError);
// the Linux build uses errno values. The FTP client's own failures use the codes of
// the 12000 range that the Windows FTP client uses (see ftp.h), on both builds, so
// the core can tell them apart from system errors without knowing the platform.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plat {

// The error code of the last platform call that failed on this thread.
uint32_t LastErrorCode();
void SetLastErrorCode(uint32_t code);

// The system's code for the last failed call of the C run-time library or zlib on this
// thread (fopen, gzopen): the run-time library keeps its own error variable, which is
// not the system's last error on every platform.
uint32_t RuntimeErrorCode();

// The system's own codes for two failures the core detects itself: a name that does
// not fit its buffer, and a name the system cannot take (one with a double quote,
// which no command line can carry).
uint32_t NameTooLongCode();
uint32_t InvalidNameCode();

// Writes the system's (or the FTP client's, or the files service's) text for `code`
// into `out`, cut to fit. Returns false and leaves `out` empty when there is no text
// for the code.
bool ErrorText(uint32_t code, char* out, size_t capacity);

// For the implementations' ErrorText: the program's own text for a code it defines
// itself (the FTP client's codes of ftp.h, kFileErrorOutsideInstallation of files.h,
// kProcessErrorNeedsWine of process.h), the same on both builds, or null for any other
// code.
const char* OwnErrorText(uint32_t code);

}  // namespace plat
