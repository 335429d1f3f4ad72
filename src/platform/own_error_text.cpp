// The texts of the codes this program defines itself, the same on both builds: the
// FTP client's 12000 range, the files service's refusal and the program start's want
// of Wine. The system's message table holds none of them. Written for the player who
// reads them in a box.
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/ftp.h"
#include "platform/process.h"

namespace plat {

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
    case kFtpErrorWrongSize: return "The patch server sent a file of another size than the patch list gives.";
    case kFileErrorOutsideInstallation: return "The path leads out of the game folder through a link.";
    case kProcessErrorNeedsWine: return "This is a Windows program. Install Wine to start it.";
    default: return nullptr;
  }
}

}  // namespace plat
