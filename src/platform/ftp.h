// The asynchronous FTP client.
//
// One root handle carries a status callback; connections are made from it, and each
// connection carries at most one download at a time. Every operation reports through
// the callback, on the client's own thread, with the context given to the call:
//   kFtpResolvingName   before the server's name is looked up (info: none)
//   kFtpHandleCreated   the connection handle exists (info: FtpAsyncResult, result = handle)
//   kFtpResponseReceived data arrived during a download (info: uint32_t byte count)
//   kFtpRequestComplete the connect-and-log-on or the download has ended
//                        (info: FtpAsyncResult, error 0 = success)
// Closing a handle never blocks; once FtpCloseHandle returns nothing more is reported
// for that handle. Closing the root closes its connections.
#pragma once
#include <cstdint>

namespace plat {

struct FtpObject;
using FtpHandle = FtpObject*;

using FtpStatusCallback = void (*)(FtpHandle handle, uintptr_t context, uint32_t status,
                                   void* info, uint32_t infoLength);

struct FtpAsyncResult {
  uintptr_t result;
  uint32_t error;
};

constexpr uint32_t kFtpResolvingName = 10;
constexpr uint32_t kFtpResponseReceived = 41;
constexpr uint32_t kFtpHandleCreated = 60;
constexpr uint32_t kFtpRequestComplete = 100;

// An operation accepted and under way (a call that returns false with this code has
// not failed).
constexpr uint32_t kErrorIoPending = 997;

// Error codes of the client (the Windows FTP client's values).
constexpr uint32_t kFtpErrorTimeout = 12002;
constexpr uint32_t kFtpErrorInternal = 12004;
constexpr uint32_t kFtpErrorInvalidUrl = 12005;
constexpr uint32_t kFtpErrorOperationCancelled = 12017;
constexpr uint32_t kFtpErrorInvalidHandle = 12018;
constexpr uint32_t kFtpErrorNameNotResolved = 12007;
constexpr uint32_t kFtpErrorLoginFailure = 12015;
constexpr uint32_t kFtpErrorConnectionAborted = 12030;
constexpr uint32_t kFtpErrorConnectionReset = 12031;
constexpr uint32_t kFtpErrorCannotConnect = 12029;
constexpr uint32_t kFtpErrorTransferFailed = 12003;  // the server refused or broke a transfer
constexpr uint32_t kFtpErrorTransferInProgress = 12110;  // the connection is still busy

// Opens the client in asynchronous mode with `agent` as its name. Null on failure.
FtpHandle FtpOpenRoot(const char* agent);
void FtpSetStatusCallback(FtpHandle root, FtpStatusCallback callback);

// Connects and logs on. Returns the connection handle, or null when the connect could
// not even be started (LastErrorCode tells why; nothing is reported then). The same
// handle is reported with kFtpHandleCreated.
FtpHandle FtpConnectAsync(FtpHandle root, const char* host, uint16_t port, const char* user,
                          const char* password, uintptr_t context);

// Downloads `remotePath` in image type, never from a cache, into `localPath`
// (overwritten). True when started; false with LastErrorCode otherwise (a closed or
// unknown handle, an operation still outstanding on the connection, a local file that
// cannot be created). A path starting with '/' is absolute on the server, any other is
// relative to the log-on directory. The local file is replaced only by a complete
// download; a failed one leaves it as it was.
bool FtpGetFileAsync(FtpHandle connection, const char* remotePath, const char* localPath,
                     uintptr_t context);

// Removes the temporary file that a download to `localPath` leaves beside it while it
// runs. A download that ends, fails or is closed removes its own; this is for those of
// a process that was killed, which the next download to the same path would otherwise
// only replace. False (with LastErrorCode) when there is none or it cannot be removed.
bool FtpRemovePartial(const char* localPath);

// Never waits for the client's threads, so it may be called from a callback, or while
// a callback is blocked waiting for the caller. A download still running is dropped.
bool FtpCloseHandle(FtpHandle handle);

// How many status callbacks are running right now, process-wide.
int FtpCallbacksInFlight();

// Waits for the client's threads to finish after every root handle has been closed;
// the program calls it once before it exits.
void FtpShutdown();

}  // namespace plat
