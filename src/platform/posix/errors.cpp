// Linux: the thread's last error is errno; the FTP client's codes (12000 range) and
// the files service's refusal have texts of their own, written for the player who reads them in a message box.
#include "platform/errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/ftp.h"

namespace plat {

uint32_t LastErrorCode() { return static_cast<uint32_t>(errno); }

void SetLastErrorCode(uint32_t code) { errno = static_cast<int>(code); }

uint32_t NameTooLongCode() { return ENAMETOOLONG; }

uint32_t InvalidNameCode() { return EINVAL; }

namespace {

const char* OwnErrorText(uint32_t code) {
  switch (code) {
    case kFtpErrorTimeout: return "The patch server did not answer in time.";
    case kFtpErrorInternal: return "An internal error occurred in the FTP client.";
    case kFtpErrorInvalidUrl: return "The patch server address is not valid.";
    case kFtpErrorNameNotResolved: return "The patch server's name could not be resolved.";
    case kFtpErrorLoginFailure: return "The patch server refused the log-on.";
    case kFtpErrorOperationCancelled: return "The transfer was cancelled.";
    case kFtpErrorInvalidHandle: return "The connection to the patch server is closed.";
    case kFtpErrorCannotConnect: return "Cannot connect to the patch server.";
    case kFtpErrorConnectionAborted: return "The connection to the patch server was broken.";
    case kFtpErrorConnectionReset: return "The connection to the patch server was reset.";
    case kFtpErrorTransferFailed: return "The patch server could not send the file.";
    case kFtpErrorTransferInProgress: return "Another transfer is still in progress on this connection.";
    case kFileErrorOutsideInstallation: return "The path leads out of the game folder through a link.";
    default: return nullptr;
  }
}

}  // namespace

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
