// The asynchronous FTP client.
//
// One root handle carries a status callback; connections are made from it, and each
// connection carries at most one download at a time. Every operation reports through
// the callback, on the client's own thread (never on the thread that issued it), with
// the context given to the call:
//   kFtpResolvingName    before the server's name is looked up (info: none)
//   kFtpHandleCreated    the connection handle exists (info: FtpAsyncResult, result = handle)
//   kFtpResponseReceived data arrived during a download (info: uint32_t count of data
//                        bytes written to the local file since the last report)
//   kFtpRequestComplete  the connect-and-log-on or the download has ended
//                        (info: FtpAsyncResult, error 0 = success)
//
// Order and delivery:
// - Callbacks of one root arrive one at a time, never two at once, also when a
//   connection is made or a download issued from inside a callback (that callback
//   returns before the next one of the root starts). The caller's record may rely on
//   this in place of a lock.
// - A connect reports kFtpResolvingName, kFtpHandleCreated, then exactly one
//   kFtpRequestComplete, in that order, also when it fails before any name is looked
//   up (a host that cannot be an address, a refused connection, a bad log-on): the
//   first two are reported all the same, then the completion with the error.
// - A download reports kFtpResponseReceived zero or more times as data arrives, then
//   exactly one kFtpRequestComplete. A successful completion (result 1, error 0) is
//   reported only once the whole remote file is in place under the local name; a failed
//   one (result 0, error set) leaves the local file as it was before the download.
// - Nothing is reported for a handle once FtpCloseHandle on it (or on its root) has
//   returned. The count of callbacks in flight (FtpCallbacksInFlight) is raised before
//   a callback is entered and under the same guard that a close takes: once a close
//   has returned, each callback of the closed handle is either counted already or will
//   never start, so a caller that closes and then waits for the count to reach zero
//   knows no callback of that handle still runs.
// Closing a handle never blocks on the client's threads; closing the root closes its
// connections.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/callconv.h"

namespace plat {

struct FtpObject;
using FtpHandle = FtpObject*;

using FtpStatusCallback = void(PLAT_CALLBACK*)(FtpHandle handle, uintptr_t context, uint32_t status,
                                   void* info, uint32_t infoLength);

struct FtpAsyncResult {
  uintptr_t result;
  uint32_t error;
};

constexpr uint32_t kFtpResolvingName = 10;
constexpr uint32_t kFtpResponseReceived = 41;
constexpr uint32_t kFtpHandleCreated = 60;
constexpr uint32_t kFtpRequestComplete = 100;

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
// The client's own, outside the Windows client's range: the file was longer than its
// bound, or shorter than an exact one (FtpSizeBound).
constexpr uint32_t kFtpErrorWrongSize = 12900;

// ErrorText gives each of these codes the client's own text on both builds.

// Opens the client in asynchronous mode with `agent` as its name. Null on failure.
FtpHandle FtpOpenRoot(const char* agent);
void FtpSetStatusCallback(FtpHandle root, FtpStatusCallback callback);

// Connects and logs on. Port 0 means the service's default port (21). Returns the
// connection handle, or null when the connect could not even be started: an unknown or
// closed root, or no resources (LastErrorCode tells why; nothing is reported then).
// The same handle is reported with kFtpHandleCreated. Every fault of the host, user or
// password (one that cannot be written into a request, a name that does not resolve, a
// refused log-on) fails through the notifications, never by the return value.
FtpHandle FtpConnectAsync(FtpHandle root, const char* host, uint16_t port, const char* user,
                          const char* password, uintptr_t context);

// What a download may bring: the caller's word on the file's size, which the client
// holds the transfer to whatever the server says of the size (SIZE, or the reply that
// opens the transfer). Data past `limit` bytes is never written: the transfer is broken
// off at its first byte past the limit and the download fails with
// kFtpErrorWrongSize. With `exact`, a transfer that ends short of `limit` bytes fails the
// same way, also when the server's own size agrees with what it sent. Without it,
// `limit` is a ceiling only and any size up to it succeeds.
struct FtpSizeBound {
  uint64_t limit;
  bool exact;
};

// Downloads `remotePath` in image type, never from a cache, into `localPath`
// (overwritten), no larger than `bound` allows. True means started: the download will
// end in one kFtpRequestComplete.
// False means not started, nothing will be reported for it, and LastErrorCode tells why:
// a null path or an empty local path, a remote path that cannot be sent, a closed or
// unknown handle (kFtpErrorInvalidHandle), an operation still outstanding on the
// connection (kFtpErrorTransferInProgress), a local file that cannot be created (the
// system's code). A path starting with '/' is absolute on the server, any other is
// relative to the log-on directory. The local file is replaced only by a complete
// download within its bound; a failed one leaves it as it was. A download broken off
// at its bound, like one that timed out, leaves the connection in no known state: it
// takes no other download (kFtpErrorInvalidHandle) and ends by itself.
//
// With an observer, every byte written to the local file is also shown to it, in order,
// on the client's thread, after the write and before the next one: a digest can be
// taken while the file arrives instead of reading it again. Data is called with the
// download's file lock held, so once a close of the connection (or of its root) has
// returned, or the download's kFtpRequestComplete is being reported, no call of it runs
// or follows; it must not call into this client. It may wait (to hand the bytes on),
// but only for something that never waits for this client or its callbacks.
class FtpDataObserver {
 public:
  virtual void Data(const void* bytes, size_t length) = 0;

 protected:
  ~FtpDataObserver() = default;
};

bool FtpGetFileAsync(FtpHandle connection, const char* remotePath, const char* localPath,
                     FtpSizeBound bound, uintptr_t context, FtpDataObserver* observer = nullptr);

// Removes the temporary file that a download to `localPath` leaves beside it while it
// runs. A download that ends, fails or is closed removes its own; this is for those of
// a process that was killed, which the next download to the same path would otherwise
// only replace. False (with LastErrorCode) when there is none or it cannot be removed.
bool FtpRemovePartial(const char* localPath);

// Never waits for the client's threads, so it may be called from a callback, or while
// a callback is blocked waiting for the caller. A download still running is dropped.
bool FtpCloseHandle(FtpHandle handle);

// How many status callbacks are running right now, process-wide (see the ordering
// against a close above).
int FtpCallbacksInFlight();

// The client's time limits. The defaults are what the program uses; tests shorten them
// to show that a silent server ends in an error.
struct FtpTimeLimits {
  long connectMs;        // TCP connect and log-on
  long responseSeconds;  // one server reply
  long acceptMs;         // the server connecting back for an active data connection
  long lowSpeedSeconds;  // below 1 byte/s for this long ends a transfer
};

// The limits the client uses unless told otherwise: 15 s, 30 s, 15 s, 30 s.
FtpTimeLimits FtpDefaultTimeLimits();

// Applies to connects and downloads started afterwards.
void FtpSetTimeLimits(const FtpTimeLimits& limits);

// Waits for the client's threads to finish after every root handle has been closed;
// the program calls it once before it exits.
void FtpShutdown();

}  // namespace plat
