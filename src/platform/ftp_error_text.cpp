// The FTP client's own error texts, the same on both builds: the system's message
// table holds none for the 12000 range. Written for the player who reads them in a box.
#include "platform/ftp.h"

namespace plat {

const char* FtpErrorText(uint32_t code) {
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
    default: return nullptr;
  }
}

}  // namespace plat
