// Windows: the asynchronous FTP client on WinINet (asynchronous mode, active FTP).
//
// Handles are tokens (never addresses): every call looks its handle up in one table
// under one mutex, so a closed or unknown handle is refused instead of touching freed
// memory, and a token is never reused.
//
// The notifications the core sees are made here, never passed through from WinINet.
// Each connection has a thread of its own that makes the WinINet calls one after the
// other, and reports 10, 60, 41 and 100 from what those calls return. WinINet's status
// callback only records: the completion of a call that went pending, the handle a
// pending call created, and that the server is still talking (which moves the time
// limit on). So where WinINet implementations differ in what they announce and in
// which order, the core still sees one sequence.
//
// What differs, and how it is absorbed:
// - Wine's InternetConnectA in asynchronous mode connects and logs on synchronously
//   (on the calling thread, up to 30 s per server reply), announces HANDLE_CREATED
//   before RESOLVING_NAME, and sends no REQUEST_COMPLETE. Native Windows documents
//   ERROR_IO_PENDING and a REQUEST_COMPLETE carrying the handle. The connection's
//   thread reports 10 and 60 itself before it calls InternetConnectA, takes a handle
//   returned at once as the result, and otherwise waits for the completion.
// - Wine's FtpGetFileA counts control-reply lines in RESPONSE_RECEIVED. This client
//   does not use it: FtpOpenFileA and a loop of InternetQueryDataAvailable and
//   InternetReadFile bring the data here, it is written to the local file here, and
//   41 reports exactly the bytes written. WinINet's own RESPONSE_RECEIVED is ignored.
// - Wine does not cancel a transfer when its handle is closed, and its reads block on
//   the data socket with no time limit (the server's silence included). A close
//   therefore never waits for WinINet: it marks the connection closed (nothing more is
//   reported), and the thread closes its WinINet handles when the call it is in
//   returns. The time limits are kept by a watchdog thread: an operation that makes no
//   progress for too long is completed with kFtpErrorTimeout by the watchdog, its
//   temporary file is removed at once, and the connection is dead; its thread ends
//   whenever WinINet lets it go.
//
// What this relies on for native Windows (the documented behaviour of asynchronous
// mode), and why it is enough:
// - A call that returns success at once (a handle, or TRUE) sends no REQUEST_COMPLETE
//   for itself; only a call that fails with ERROR_IO_PENDING completes later, with one
//   REQUEST_COMPLETE whose dwResult is the handle (InternetConnectA, FtpOpenFileA) or
//   TRUE (InternetQueryDataAvailable, InternetReadFile) and dwError the error. Each
//   call arms one completion slot before it starts; a completion that arrives while no
//   slot is armed is dropped. Wine keeps to this too: FtpOpenFileA returns NULL and
//   completes later (without setting ERROR_IO_PENDING: a NULL with no error set is
//   taken as pending), InternetConnectA and InternetReadFile never go pending, and
//   InternetQueryDataAvailable goes pending with a completion only when it says so.
//   Whatever WinINet does, the report of an operation's end goes through one flag per
//   operation, so the core can never see two.
// - The completion of a pending call can arrive before the call has returned to the
//   caller; the slot is armed before the call, so it is never missed.
// - Closing a WinINet handle cancels the calls pending on it, and each still completes
//   (with ERROR_INTERNET_OPERATION_CANCELLED). The thread closes the handle and waits
//   for that completion before it frees the buffer a pending read writes into.
// - Status callbacks carry the context given when the handle was made (the
//   connection's token here; WinINet skips callbacks whose context is zero) and may
//   run on any thread, also inside a WinINet call of the connection's thread. The
//   callback takes only the table's mutex, which is never held across a WinINet call.
//
// Downloads go to "<target>.part", which replaces the target (MoveFileExA with
// MOVEFILE_REPLACE_EXISTING) only when the whole file has arrived, as on Linux.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/ftp.h"

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

// One read asks for at most this much; WinINet's reads are copies out of the data
// socket, so a larger buffer gains little.
constexpr DWORD kReadChunk = 64 * 1024;
// How long FtpShutdown waits for a connection's thread that WinINet still holds.
constexpr auto kShutdownWait = std::chrono::seconds(5);

struct Root {
  uintptr_t id = 0;
  HINTERNET net = nullptr;
  // Serialises the notifications of every connection made from this root.
  std::mutex callbackMutex;
  // Guarded by Globals::mu.
  FtpStatusCallback callback = nullptr;
  bool closed = false;

  // The last reference goes with the last connection's thread or the close of the
  // root, never under Globals::mu (WinINet may call the status callback from here).
  ~Root() {
    if (net != nullptr) InternetCloseHandle(net);
  }
};

struct Download {
  std::string remote;
  std::string target;
  std::string part;
  uintptr_t context = 0;
  // The temporary file; guarded by fileMutex, because the watchdog closes and removes
  // it while the thread may still be inside WinINet.
  std::mutex fileMutex;
  HANDLE file = INVALID_HANDLE_VALUE;
  bool partOwned = true;  // the name is still this download's (not renamed, not removed)
};

enum class Phase { Connecting, Ready, Downloading, Dead };

// What the deadline of the running operation is measured against.
enum class Waiting { Nothing, LogOn, Opening, Data };

struct Conn {
  uintptr_t id = 0;
  std::shared_ptr<Root> root;
  uintptr_t connectContext = 0;
  std::string host;  // empty when it cannot be a host name
  std::string user;
  std::string password;
  uint16_t port = 0;
  FtpTimeLimits limits{};

  // Written by the connection's thread under Globals::mu (the status callback reads it).
  HINTERNET session = nullptr;
  // Owned by the connection's thread.
  std::vector<char> buffer;

  // Guarded by Globals::mu.
  Phase phase = Phase::Connecting;
  std::atomic<bool> closed{false};  // written under the mutex, read anywhere
  bool threadDone = false;
  std::unique_ptr<Download> queued;  // accepted, not yet taken by the thread
  std::shared_ptr<Download> active;  // taken by the thread
  std::condition_variable wake;
  // The operation whose end is still to be reported, and its time limit.
  bool opOpen = true;  // the connect, from the start
  uintptr_t opContext = 0;
  Waiting waiting = Waiting::Nothing;
  Clock::time_point deadline{};
  bool timedOut = false;  // the watchdog ended the operation: the connection is dead
  // The completion slot of the one WinINet call that may be pending.
  bool slotArmed = false;
  bool slotDone = false;
  DWORD_PTR slotResult = 0;
  DWORD slotError = 0;
  HINTERNET slotCreated = nullptr;  // announced with HANDLE_CREATED during the call
  DWORD bytesRead = 0;              // written by a pending InternetReadFile
};

struct ClientThread {
  std::thread thread;
  std::shared_ptr<Conn> conn;
};

struct Globals {
  std::mutex mu;
  std::unordered_map<uintptr_t, std::shared_ptr<Root>> roots;
  std::unordered_map<uintptr_t, std::shared_ptr<Conn>> conns;  // open handles
  std::unordered_map<uintptr_t, std::shared_ptr<Conn>> live;   // threads still running
  std::vector<ClientThread> threads;
  uintptr_t nextId = 0x5a0000;
  std::atomic<int> inFlight{0};
  FtpTimeLimits limits = FtpDefaultTimeLimits();
  std::thread watchdog;
  bool watchdogRunning = false;
  uint64_t watchdogGeneration = 0;  // a watchdog runs while this is the one it started with
  std::condition_variable watchdogWake;
};

// Never destroyed: a thread still ending at process exit must not meet a destroyed mutex.
Globals& G() {
  static Globals* globals = new Globals;
  return *globals;
}

FtpHandle HandleOf(uintptr_t id) { return reinterpret_cast<FtpHandle>(id); }
uintptr_t IdOf(FtpHandle handle) { return reinterpret_cast<uintptr_t>(handle); }

uintptr_t NewIdLocked() {
  Globals& g = G();
  g.nextId += 0x10;
  return g.nextId;
}

std::chrono::milliseconds LimitFor(const Conn& c, Waiting w) {
  using std::chrono::milliseconds;
  switch (w) {
    case Waiting::LogOn: return milliseconds(c.limits.responseSeconds * 1000L);
    case Waiting::Opening: return milliseconds(c.limits.responseSeconds * 1000L + c.limits.acceptMs);
    case Waiting::Data: return milliseconds(c.limits.lowSpeedSeconds * 1000L);
    case Waiting::Nothing: break;
  }
  return milliseconds(0);
}

// Starts a new time limit: `first` for the first step, the phase's own afterwards.
void ArmDeadlineLocked(Conn& c, Waiting w, std::chrono::milliseconds first) {
  c.waiting = w;
  c.deadline = Clock::now() + first;
  G().watchdogWake.notify_all();
}

// The server said something: the running operation's time limit starts again.
void ProgressLocked(Conn& c) {
  if (c.waiting != Waiting::Nothing) c.deadline = Clock::now() + LimitFor(c, c.waiting);
}

// Calls the root's callback unless the connection or its root has been closed (or, for
// an operation's own notifications, the operation has ended). The count in flight moves
// under the same mutex as the closed flags (see ftp.h).
void Report(Conn& c, uintptr_t context, uint32_t status, void* info, uint32_t length, bool operationOnly) {
  Globals& g = G();
  std::lock_guard<std::mutex> serial(c.root->callbackMutex);
  FtpStatusCallback callback = nullptr;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    if (c.closed.load() || c.root->closed || c.root->callback == nullptr) return;
    if (operationOnly && !c.opOpen) return;
    callback = c.root->callback;
    g.inFlight.fetch_add(1);
  }
  callback(HandleOf(c.id), context, status, info, length);
  g.inFlight.fetch_sub(1);
}

// Ends the running operation, once: whichever of the connection's thread and the
// watchdog comes first reports it. For a download that succeeded, the temporary file
// replaces the target here, under the mutex, so a close either comes first (and the
// target stays as it was) or finds the download finished. Returns true when the
// temporary file was put in place.
bool CompleteOperation(Conn& c, uintptr_t result, uint32_t error, Download* download, Phase next) {
  Globals& g = G();
  std::lock_guard<std::mutex> serial(c.root->callbackMutex);
  FtpStatusCallback callback = nullptr;
  uintptr_t context = 0;
  bool placed = false;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    if (!c.opOpen) return false;
    c.opOpen = false;
    c.waiting = Waiting::Nothing;
    context = c.opContext;
    if (c.closed.load()) return false;
    if (download != nullptr && error == 0) {
      std::lock_guard<std::mutex> file(download->fileMutex);
      if (MoveFileExA(download->part.c_str(), download->target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0) {
        placed = true;
        download->partOwned = false;
      } else {
        error = GetLastError();
        result = 0;
      }
    }
    c.phase = next;
    if (c.root->closed || c.root->callback == nullptr) return placed;
    callback = c.root->callback;
    g.inFlight.fetch_add(1);
  }
  FtpAsyncResult r{result, error};
  callback(HandleOf(c.id), context, kFtpRequestComplete, &r, sizeof r);
  g.inFlight.fetch_sub(1);
  return placed;
}

// Closes the temporary file and removes it, once: a later download of the same target
// may already have made a new file of that name.
void DropTempFile(Download& d) {
  std::lock_guard<std::mutex> lock(d.fileMutex);
  if (d.file != INVALID_HANDLE_VALUE) {
    CloseHandle(d.file);
    d.file = INVALID_HANDLE_VALUE;
  }
  if (d.partOwned) DeleteFileA(d.part.c_str());
  d.partOwned = false;
}

// WinINet's status callback: records, never reports (see the top of the file).
void CALLBACK WinInetStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  Globals& g = G();
  std::lock_guard<std::mutex> lock(g.mu);
  auto it = g.live.find(static_cast<uintptr_t>(context));
  if (it == g.live.end()) return;
  Conn& c = *it->second;
  const auto* result = static_cast<const INTERNET_ASYNC_RESULT*>(info);
  const bool hasResult = result != nullptr && length >= sizeof(INTERNET_ASYNC_RESULT);
  switch (status) {
    case INTERNET_STATUS_REQUEST_COMPLETE:
      if (c.slotArmed && !c.slotDone) {
        c.slotDone = true;
        c.slotResult = hasResult ? result->dwResult : 0;
        c.slotError = hasResult ? result->dwError : static_cast<DWORD>(kFtpErrorInternal);
        c.wake.notify_all();
      }
      break;
    case INTERNET_STATUS_HANDLE_CREATED:
      if (c.slotArmed && hasResult && result->dwResult != 0 &&
          reinterpret_cast<HINTERNET>(result->dwResult) != c.session) {
        c.slotCreated = reinterpret_cast<HINTERNET>(result->dwResult);
      }
      ProgressLocked(c);
      break;
    case INTERNET_STATUS_HANDLE_CLOSING:
      break;
    default:
      // Name resolved, connected, request sent, response received: the server is there.
      ProgressLocked(c);
      break;
  }
}

// Arms the completion slot for one WinINet call.
void ArmSlot(Conn& c) {
  std::lock_guard<std::mutex> lock(G().mu);
  c.slotArmed = true;
  c.slotDone = false;
  c.slotResult = 0;
  c.slotError = 0;
  c.slotCreated = nullptr;
}

void DisarmSlot(Conn& c) {
  std::lock_guard<std::mutex> lock(G().mu);
  c.slotArmed = false;
}

// Whether a call that returned failure is still running: ERROR_IO_PENDING, or (Wine's
// FtpOpenFileA) no error set at all after the call cleared it.
bool WentPending(DWORD error) { return error == ERROR_IO_PENDING || error == ERROR_SUCCESS; }

// Waits for the armed call's completion. When the connection is closed or timed out
// meanwhile, `cancel` is closed first (native WinINet then completes the call as
// cancelled; Wine completes it when it is done) and false is returned once the
// completion has come, so no buffer of the call is still in use.
bool WaitSlot(Conn& c, HINTERNET cancel, DWORD_PTR* result, DWORD* error, HINTERNET* created) {
  Globals& g = G();
  bool ended = false;
  {
    std::unique_lock<std::mutex> lock(g.mu);
    c.wake.wait(lock, [&] { return c.slotDone || c.closed.load() || c.timedOut; });
    ended = !c.slotDone;
    // A pending connect has no handle of ours yet, only the one it announced.
    if (ended && cancel == nullptr) cancel = c.slotCreated;
  }
  if (ended && cancel != nullptr) {
    {
      std::lock_guard<std::mutex> lock(g.mu);
      if (cancel == c.session) c.session = nullptr;
    }
    InternetCloseHandle(cancel);
  }
  std::unique_lock<std::mutex> lock(g.mu);
  c.wake.wait(lock, [&] { return c.slotDone; });
  c.slotArmed = false;
  *result = c.slotResult;
  *error = c.slotError;
  *created = c.slotCreated;
  return !ended && !c.closed.load() && !c.timedOut;
}

bool Abandoned(Conn& c) {
  std::lock_guard<std::mutex> lock(G().mu);
  return c.closed.load() || c.timedOut;
}

// Connect and log on; reports 10, 60 and 100. True when logged on.
bool RunConnect(Conn& c) {
  Globals& g = G();
  Report(c, c.connectContext, kFtpResolvingName, nullptr, 0, true);
  FtpAsyncResult created{c.id, 0};
  Report(c, c.connectContext, kFtpHandleCreated, &created, sizeof created, true);
  if (Abandoned(c)) return false;
  if (c.host.empty()) {
    CompleteOperation(c, 0, kFtpErrorInvalidUrl, nullptr, Phase::Dead);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(g.mu);
    ArmDeadlineLocked(c, Waiting::LogOn,
                      std::chrono::milliseconds(c.limits.connectMs + c.limits.responseSeconds * 1000L));
  }
  ArmSlot(c);
  SetLastError(ERROR_SUCCESS);
  HINTERNET session = InternetConnectA(c.root->net, c.host.c_str(), c.port == 0 ? INTERNET_DEFAULT_FTP_PORT : c.port,
                                       c.user.empty() ? nullptr : c.user.c_str(),
                                       c.user.empty() ? nullptr : c.password.c_str(), INTERNET_SERVICE_FTP, 0,
                                       static_cast<DWORD_PTR>(c.id));
  DWORD error = session == nullptr ? GetLastError() : 0;
  if (session != nullptr) {
    DisarmSlot(c);
  } else if (error == ERROR_IO_PENDING) {
    DWORD_PTR result = 0;
    HINTERNET made = nullptr;
    bool completed = WaitSlot(c, nullptr, &result, &error, &made);
    if (result != 0) session = reinterpret_cast<HINTERNET>(result);
    if (session == nullptr) session = made;
    if (!completed || result == 0) {
      if (session != nullptr) InternetCloseHandle(session);
      session = nullptr;
      if (error == 0) error = kFtpErrorInternal;
    }
  } else {
    DisarmSlot(c);
    if (error == ERROR_SUCCESS) error = kFtpErrorInternal;
  }
  {
    std::lock_guard<std::mutex> lock(g.mu);
    c.session = session;
  }
  if (session == nullptr) {
    CompleteOperation(c, 0, error, nullptr, Phase::Dead);
    return false;
  }
  CompleteOperation(c, c.id, 0, nullptr, Phase::Ready);
  return !Abandoned(c);
}

// Opens the remote file for reading: the file handle, or null with *error set (0 when
// the connection was closed or timed out meanwhile).
HINTERNET OpenRemote(Conn& c, const Download& d, DWORD* error) {
  ArmSlot(c);
  SetLastError(ERROR_SUCCESS);
  HINTERNET file = FtpOpenFileA(c.session, d.remote.c_str(), GENERIC_READ,
                                FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD, static_cast<DWORD_PTR>(c.id));
  *error = file == nullptr ? GetLastError() : 0;
  if (file != nullptr || !WentPending(*error)) {
    DisarmSlot(c);
    return file;
  }
  DWORD_PTR result = 0;
  HINTERNET made = nullptr;
  bool completed = WaitSlot(c, c.session, &result, error, &made);
  file = result != 0 ? reinterpret_cast<HINTERNET>(result) : nullptr;
  // A handle announced but not delivered (a failure after it was made) is closed here.
  if (made != nullptr && made != file) InternetCloseHandle(made);
  if (!completed) {
    if (file != nullptr) InternetCloseHandle(file);
    *error = 0;
    return nullptr;
  }
  if (file == nullptr && *error == 0) *error = kFtpErrorInternal;
  return file;
}

// One step of the read loop: how many bytes are waiting (0 at the end of the file).
// False with *error set on a failure (0 when the connection was closed or timed out).
bool QueryAvailable(Conn& c, HINTERNET file, DWORD* available, DWORD* error) {
  for (;;) {
    ArmSlot(c);
    *available = 0;
    if (InternetQueryDataAvailable(file, available, 0, 0)) {
      DisarmSlot(c);
      return true;
    }
    *error = GetLastError();
    if (*error != ERROR_IO_PENDING) {
      DisarmSlot(c);
      return false;
    }
    DWORD_PTR result = 0;
    HINTERNET made = nullptr;
    if (!WaitSlot(c, file, &result, error, &made)) {
      *error = 0;
      return false;
    }
    // Data (or the end) has arrived; ask again for the count. Wine puts the count in
    // dwError of a successful completion, so the error counts only on a failure.
    if (result == 0) {
      if (*error == 0) *error = kFtpErrorConnectionAborted;
      return false;
    }
    if (Abandoned(c)) {
      *error = 0;
      return false;
    }
  }
}

bool ReadSome(Conn& c, HINTERNET file, DWORD want, DWORD* got, DWORD* error) {
  ArmSlot(c);
  c.bytesRead = 0;
  if (InternetReadFile(file, c.buffer.data(), want, &c.bytesRead)) {
    DisarmSlot(c);
    *got = c.bytesRead;
    return true;
  }
  *error = GetLastError();
  if (*error != ERROR_IO_PENDING) {
    DisarmSlot(c);
    return false;
  }
  DWORD_PTR result = 0;
  HINTERNET made = nullptr;
  if (!WaitSlot(c, file, &result, error, &made)) {
    *error = 0;
    return false;
  }
  if (result == 0) {
    if (*error == 0) *error = kFtpErrorConnectionAborted;
    return false;
  }
  *got = c.bytesRead;
  return true;
}

// WinINet's codes for a broken data connection say little; the core's texts need one
// of the client's codes.
DWORD MapReadError(DWORD error) {
  if (error == 0) return 0;
  if (error == ERROR_INTERNET_TIMEOUT) return kFtpErrorTimeout;
  if (error >= INTERNET_ERROR_BASE && error <= INTERNET_ERROR_LAST) {
    if (error == INTERNET_ERROR_BASE || error == ERROR_INTERNET_DISCONNECTED) return kFtpErrorConnectionAborted;
    return error;
  }
  return kFtpErrorConnectionAborted;
}

// One download of the connection: data to the temporary file, which replaces the
// target only when the whole file has arrived.
void RunDownload(Conn& c, Download& d) {
  Globals& g = G();
  {
    std::lock_guard<std::mutex> lock(g.mu);
    ArmDeadlineLocked(c, Waiting::Opening, LimitFor(c, Waiting::Opening));
  }
  DWORD error = 0;
  bool ok = false;
  HINTERNET file = OpenRemote(c, d, &error);
  if (file != nullptr) {
    {
      std::lock_guard<std::mutex> lock(g.mu);
      ArmDeadlineLocked(c, Waiting::Data, LimitFor(c, Waiting::Data));
    }
    for (;;) {
      DWORD available = 0;
      if (!QueryAvailable(c, file, &available, &error)) {
        error = MapReadError(error);
        break;
      }
      DWORD want = available == 0 ? kReadChunk : std::min<DWORD>(available, kReadChunk);
      DWORD got = 0;
      if (!ReadSome(c, file, want, &got, &error)) {
        error = MapReadError(error);
        break;
      }
      if (got == 0) {
        ok = true;  // the server closed the data connection: the end of the file
        break;
      }
      {
        std::lock_guard<std::mutex> lock(d.fileMutex);
        if (d.file == INVALID_HANDLE_VALUE) break;  // timed out meanwhile
        DWORD written = 0;
        if (!WriteFile(d.file, c.buffer.data(), got, &written, nullptr) || written != got) {
          error = GetLastError();
          if (error == 0) error = ERROR_WRITE_FAULT;
          break;
        }
      }
      {
        std::lock_guard<std::mutex> lock(g.mu);
        ProgressLocked(c);
      }
      uint32_t count = got;
      Report(c, d.context, kFtpResponseReceived, &count, sizeof count, true);
    }
    // Closing the file handle reads the server's reply to the transfer; the connection
    // is free for the next download only after it.
    InternetCloseHandle(file);
  }
  {
    std::lock_guard<std::mutex> lock(d.fileMutex);
    if (d.file != INVALID_HANDLE_VALUE) {
      if (!CloseHandle(d.file) && ok) {
        ok = false;
        error = GetLastError();
      }
      d.file = INVALID_HANDLE_VALUE;
    }
  }
  if (Abandoned(c)) {
    DropTempFile(d);
    return;
  }
  if (ok) error = 0;
  if (!ok && error == 0) error = kFtpErrorConnectionAborted;
  bool placed = CompleteOperation(c, ok ? 1 : 0, error, ok ? &d : nullptr, Phase::Ready);
  if (!placed) DropTempFile(d);
}

void RunConnection(std::shared_ptr<Conn> conn) {
  Globals& g = G();
  Conn& c = *conn;
  if (RunConnect(c)) {
    for (;;) {
      std::shared_ptr<Download> d;
      {
        std::unique_lock<std::mutex> lock(g.mu);
        c.wake.wait(lock, [&] { return c.closed.load() || c.timedOut || c.queued != nullptr; });
        if (c.closed.load() || c.timedOut) break;
        c.active = std::shared_ptr<Download>(std::move(c.queued));
        d = c.active;
      }
      RunDownload(c, *d);
      std::lock_guard<std::mutex> lock(g.mu);
      c.active.reset();
    }
  }
  // Ends the control connection (Wine closes it without a QUIT).
  HINTERNET session = nullptr;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    std::swap(session, c.session);
  }
  if (session != nullptr) InternetCloseHandle(session);
  std::lock_guard<std::mutex> lock(g.mu);
  c.threadDone = true;
  g.live.erase(c.id);
  g.watchdogWake.notify_all();  // FtpShutdown may be waiting for this thread
}

// Ends an operation that made no progress within its limit, unless it has ended
// meanwhile: the operation is claimed, the connection is dead from here on, the
// temporary file goes, then the time-out is reported.
void TimeOut(Conn& c) {
  Globals& g = G();
  std::lock_guard<std::mutex> serial(c.root->callbackMutex);
  FtpStatusCallback callback = nullptr;
  uintptr_t context = 0;
  std::shared_ptr<Download> d;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    if (!c.opOpen || c.closed.load() || c.timedOut) return;
    c.opOpen = false;
    c.waiting = Waiting::Nothing;
    c.timedOut = true;
    c.phase = Phase::Dead;
    c.wake.notify_all();
    context = c.opContext;
    d = c.active;
  }
  if (d) DropTempFile(*d);
  {
    std::lock_guard<std::mutex> lock(g.mu);
    if (c.closed.load() || c.root->closed || c.root->callback == nullptr) return;
    callback = c.root->callback;
    g.inFlight.fetch_add(1);
  }
  FtpAsyncResult r{0, kFtpErrorTimeout};
  callback(HandleOf(c.id), context, kFtpRequestComplete, &r, sizeof r);
  g.inFlight.fetch_sub(1);
}

// Ends the operations that made no progress within their limits (see TimeOut).
void RunWatchdog(uint64_t generation) {
  Globals& g = G();
  std::unique_lock<std::mutex> lock(g.mu);
  while (g.watchdogGeneration == generation) {
    Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    std::vector<std::shared_ptr<Conn>> expired;
    for (auto& entry : g.live) {
      Conn& c = *entry.second;
      if (!c.opOpen || c.waiting == Waiting::Nothing || c.closed.load() || c.timedOut) continue;
      if (c.deadline <= now) {
        expired.push_back(entry.second);
      } else {
        next = std::min(next, c.deadline);
      }
    }
    if (expired.empty()) {
      if (next == Clock::time_point::max()) {
        g.watchdogWake.wait(lock);
      } else {
        g.watchdogWake.wait_until(lock, next);
      }
      continue;
    }
    lock.unlock();
    for (auto& conn : expired) TimeOut(*conn);
    expired.clear();  // outside the mutex: the last reference may close WinINet handles
    lock.lock();
  }
}

// Closes a connection: nothing is reported after this, its thread is woken to end it.
void CloseConnLocked(Conn& c) {
  if (c.closed.load()) return;
  c.closed.store(true);
  if (c.queued) {
    std::lock_guard<std::mutex> lock(c.queued->fileMutex);
    if (c.queued->file != INVALID_HANDLE_VALUE) CloseHandle(c.queued->file);
    c.queued->file = INVALID_HANDLE_VALUE;
    DeleteFileA(c.queued->part.c_str());
    c.queued.reset();
  }
  c.wake.notify_all();
}

// Joins the threads of connections that have ended (never the calling thread).
void ReapThreads() {
  Globals& g = G();
  std::vector<ClientThread> ended;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    for (size_t i = 0; i < g.threads.size();) {
      if (g.threads[i].conn->threadDone && g.threads[i].thread.get_id() != std::this_thread::get_id()) {
        ended.push_back(std::move(g.threads[i]));
        g.threads[i] = std::move(g.threads.back());
        g.threads.pop_back();
      } else {
        ++i;
      }
    }
  }
  for (ClientThread& t : ended) t.thread.join();
}

bool HostCharOk(char ch, bool ipv6) {
  if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')) return true;
  if (ipv6) return ch == ':' || ch == '.';
  return ch == '.' || ch == '-' || ch == '_' || static_cast<unsigned char>(ch) >= 0x80;
}

// The host as WinINet takes it, or empty when it would not be read as one host name.
std::string CheckedHost(const char* host) {
  if (host == nullptr || host[0] == '\0') return std::string();
  std::string h(host);
  bool bracketed = h.size() > 2 && h.front() == '[' && h.back() == ']';
  std::string inner = bracketed ? h.substr(1, h.size() - 2) : h;
  bool ipv6 = inner.find(':') != std::string::npos;
  if (bracketed && !ipv6) return std::string();
  for (char ch : inner) {
    if (!HostCharOk(ch, ipv6)) return std::string();
  }
  return inner;
}

bool HasControlChar(const char* s) {
  for (; *s != '\0'; ++s) {
    if (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7f) return true;
  }
  return false;
}

// The temporary name of a download (see ftp_curl.cpp): the target's name and ".part".
bool PartNameFor(const char* target, std::string* part) {
  part->assign(target);
  part->append(".part");
  if (part->size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

// A fresh temporary file: a leftover of the same name goes first, the new one is
// created only if the name is free. Others may read it and the watchdog may delete
// it while it is open.
HANDLE CreatePart(const std::string& part) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!DeleteFileA(part.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
      if (GetLastError() != ERROR_PATH_NOT_FOUND) return INVALID_HANDLE_VALUE;
    }
    HANDLE h = CreateFileA(part.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

FtpTimeLimits FtpDefaultTimeLimits() { return FtpTimeLimits{15000, 30, 15000, 30}; }

void FtpSetTimeLimits(const FtpTimeLimits& limits) {
  std::lock_guard<std::mutex> lock(G().mu);
  G().limits = limits;
}

FtpHandle FtpOpenRoot(const char* agent) {
  Globals& g = G();
  auto root = std::make_shared<Root>();
  root->net = InternetOpenA(agent != nullptr ? agent : "", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr,
                            INTERNET_FLAG_ASYNC);
  if (root->net == nullptr) return nullptr;  // GetLastError tells why
  if (InternetSetStatusCallback(root->net, WinInetStatus) == INTERNET_INVALID_STATUS_CALLBACK) {
    DWORD error = GetLastError();
    root.reset();
    SetLastError(error);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g.mu);
  root->id = NewIdLocked();
  g.roots.emplace(root->id, root);
  return HandleOf(root->id);
}

void FtpSetStatusCallback(FtpHandle root, FtpStatusCallback callback) {
  Globals& g = G();
  std::lock_guard<std::mutex> lock(g.mu);
  auto it = g.roots.find(IdOf(root));
  if (it != g.roots.end()) it->second->callback = callback;
}

FtpHandle FtpConnectAsync(FtpHandle root, const char* host, uint16_t port, const char* user,
                          const char* password, uintptr_t context) {
  Globals& g = G();
  ReapThreads();
  auto conn = std::make_shared<Conn>();
  conn->connectContext = context;
  conn->opContext = context;
  conn->host = CheckedHost(host);
  conn->port = port;
  conn->user = user != nullptr ? user : "";
  conn->password = password != nullptr ? password : "";
  if (HasControlChar(conn->user.c_str()) || HasControlChar(conn->password.c_str())) conn->host.clear();
  try {
    conn->buffer.resize(kReadChunk);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g.mu);
  auto it = g.roots.find(IdOf(root));
  if (it == g.roots.end() || it->second->closed) {
    SetLastError(kFtpErrorInvalidHandle);
    return nullptr;
  }
  conn->root = it->second;
  conn->limits = g.limits;
  conn->id = NewIdLocked();
  ClientThread record;
  record.conn = conn;
  try {
    if (!g.watchdogRunning) {
      g.watchdog = std::thread(RunWatchdog, ++g.watchdogGeneration);
      g.watchdogRunning = true;
    }
    // The thread takes the mutex before it reports anything, so it waits for this
    // registration to finish.
    record.thread = std::thread(RunConnection, conn);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  g.conns.emplace(conn->id, conn);
  g.live.emplace(conn->id, conn);
  g.threads.push_back(std::move(record));
  return HandleOf(conn->id);
}

bool FtpGetFileAsync(FtpHandle connection, const char* remotePath, const char* localPath,
                     uintptr_t context) {
  Globals& g = G();
  if (remotePath == nullptr || localPath == nullptr || localPath[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const size_t remoteLength = std::strlen(remotePath);
  if (remoteLength == 0 || remotePath[remoteLength - 1] == '/' || HasControlChar(remotePath)) {
    SetLastError(kFtpErrorInvalidUrl);
    return false;
  }
  std::shared_ptr<Conn> conn;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    auto it = g.conns.find(IdOf(connection));
    if (it == g.conns.end() || it->second->phase == Phase::Dead) {
      SetLastError(kFtpErrorInvalidHandle);
      return false;
    }
    if (it->second->phase != Phase::Ready) {
      SetLastError(kFtpErrorTransferInProgress);
      return false;
    }
    conn = it->second;
  }
  auto d = std::make_unique<Download>();
  d->remote = remotePath;
  d->target = localPath;
  d->context = context;
  if (!PartNameFor(localPath, &d->part)) return false;
  d->file = CreatePart(d->part);
  if (d->file == INVALID_HANDLE_VALUE) return false;  // GetLastError tells why
  std::lock_guard<std::mutex> lock(g.mu);
  // Checked again: the connection may have been closed or used meanwhile.
  if (conn->closed.load() || conn->phase != Phase::Ready) {
    DWORD code = conn->closed.load() || conn->phase == Phase::Dead ? kFtpErrorInvalidHandle : kFtpErrorTransferInProgress;
    CloseHandle(d->file);
    DeleteFileA(d->part.c_str());
    SetLastError(code);
    return false;
  }
  conn->phase = Phase::Downloading;
  conn->opOpen = true;
  conn->opContext = context;
  conn->queued = std::move(d);
  conn->wake.notify_all();
  return true;
}

bool FtpRemovePartial(const char* localPath) {
  if (localPath == nullptr || localPath[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::string name;
  if (!PartNameFor(localPath, &name)) return false;
  const DWORD attributes = GetFileAttributesA(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return DeleteFileA(name.c_str()) != 0;
}

bool FtpCloseHandle(FtpHandle handle) {
  Globals& g = G();
  std::shared_ptr<Root> dropped;  // released after the mutex (its handle is closed then)
  std::lock_guard<std::mutex> lock(g.mu);
  uintptr_t id = IdOf(handle);
  auto r = g.roots.find(id);
  if (r != g.roots.end()) {
    Root* root = r->second.get();
    root->closed = true;
    for (auto it = g.conns.begin(); it != g.conns.end();) {
      if (it->second->root.get() == root) {
        CloseConnLocked(*it->second);
        it = g.conns.erase(it);
      } else {
        ++it;
      }
    }
    dropped = std::move(r->second);
    g.roots.erase(r);
    return true;
  }
  auto c = g.conns.find(id);
  if (c != g.conns.end()) {
    CloseConnLocked(*c->second);
    g.conns.erase(c);
    return true;
  }
  SetLastError(kFtpErrorInvalidHandle);
  return false;
}

int FtpCallbacksInFlight() { return G().inFlight.load(); }

// Waits for the threads of the client; one that WinINet still holds in a call that
// cannot be cancelled (Wine, a server that fell silent) is left after kShutdownWait
// and ends with the process.
void FtpShutdown() {
  Globals& g = G();
  std::vector<ClientThread> threads;
  std::vector<std::shared_ptr<Root>> roots;
  std::thread watchdog;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    for (auto& entry : g.conns) CloseConnLocked(*entry.second);
    g.conns.clear();
    for (auto& entry : g.roots) {
      entry.second->closed = true;
      roots.push_back(std::move(entry.second));
    }
    g.roots.clear();
    threads.swap(g.threads);
  }
  roots.clear();
  const Clock::time_point deadline = Clock::now() + kShutdownWait;
  for (ClientThread& t : threads) {
    if (t.thread.get_id() == std::this_thread::get_id()) {
      t.thread.detach();  // called from a callback: this thread ends on its own
      continue;
    }
    bool done = false;
    {
      std::unique_lock<std::mutex> lock(g.mu);
      done = g.watchdogWake.wait_until(lock, deadline, [&] { return t.conn->threadDone; });
    }
    if (done) {
      t.thread.join();
    } else {
      t.thread.detach();
    }
  }
  threads.clear();
  {
    std::lock_guard<std::mutex> lock(g.mu);
    ++g.watchdogGeneration;
    g.watchdogWake.notify_all();
    if (g.watchdogRunning) {
      watchdog = std::move(g.watchdog);
      g.watchdogRunning = false;
    }
  }
  if (watchdog.joinable()) {
    if (watchdog.get_id() == std::this_thread::get_id()) {
      watchdog.detach();  // called from a callback the watchdog made
    } else {
      watchdog.join();
    }
  }
}

}  // namespace plat
