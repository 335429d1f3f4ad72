// Placeholder until the libcurl client lands: every call fails cleanly.
#include "platform/ftp.h"

#include "platform/errors.h"

namespace plat {
FtpHandle FtpOpenRoot(const char*) { SetLastErrorCode(kFtpErrorInternal); return nullptr; }
void FtpSetStatusCallback(FtpHandle, FtpStatusCallback) {}
FtpHandle FtpConnectAsync(FtpHandle, const char*, uint16_t, const char*, const char*, uintptr_t) {
  SetLastErrorCode(kFtpErrorInternal);
  return nullptr;
}
bool FtpGetFileAsync(FtpHandle, const char*, const char*, uintptr_t) {
  SetLastErrorCode(kFtpErrorInternal);
  return false;
}
bool FtpCloseHandle(FtpHandle) { return true; }
int FtpCallbacksInFlight() { return 0; }
void FtpShutdown() {}
}  // namespace plat
