// Windows: the asynchronous FTP client on WinINet (asynchronous mode, active FTP).
//
// Handles are tokens (never addresses): every call looks its handle up in one table
// under one mutex, so a closed or unknown handle is refused instead of touching freed
// memory, and a token is never reused.
//
// The notifications the core sees are made here, never passed through from WinINet.
// Each connection is run by one client thread (threads go on to the next connection)
// that makes the WinINet calls one after the other, and reports 10, 60, 41 and 100 from
// what those calls return. WinINet's status callback only records: the completion of a
// call that went pending, the handle a pending call created, the server's replies, and
// that the server is still talking (which moves the time limit on). So where WinINet
// implementations differ in what they announce and in which order, the core still sees
// one sequence.
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
//   41 reports exactly the bytes written. WinINet's own RESPONSE_RECEIVED only tells
//   that a control reply has arrived, whose text is read there (see below).
// - Wine reads the server's reply to a transfer when the file handle is closed and
//   drops it (a 426 would pass), and FtpGetFileSize answers 0. A cut transfer is caught
//   here as on Linux: the control replies are read as they arrive (at each
//   RESPONSE_RECEIVED, on the thread that read the reply, whose last response
//   InternetGetLastResponseInfoA gives); a closing reply of 400 or more fails the
//   download, and so does a byte count other than the file's size, which many servers
//   state in the reply that opens the transfer ("150 ... (400000 bytes)") and the others
//   give to one SIZE command after it. Both fail as libcurl's partial file does, with
//   kFtpErrorConnectionAborted.
// - Wine's FtpOpenFileA copies every byte into the URL cache whatever the flags and
//   never records the copy, so nothing would ever remove it. The client asks for no
//   cache write, and removes what WinINet reports as the download's cache file (and its
//   entry, under the URL WinINet files it by) once the download has ended.
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
//   REQUEST_COMPLETE whose dwError is the error and whose dwResult is a Boolean; a call
//   that makes a handle (InternetConnectA, FtpOpenFileA) announces it with
//   HANDLE_CREATED, which is where the handle is taken from, whichever of the two
//   notifications comes first. Each call arms one completion slot before it starts; a
//   completion that arrives while no slot is armed is dropped. Wine keeps to this too: FtpOpenFileA returns NULL and
//   completes later (without setting ERROR_IO_PENDING: a NULL with no error set is
//   taken as pending), InternetConnectA and InternetReadFile never go pending, and
//   InternetQueryDataAvailable goes pending with a completion only when it says so.
//   Whatever WinINet does, the report of an operation's end goes through one flag per
//   operation, so the core can never see two.
// - The completion of a pending call can arrive before the call has returned to the
//   caller; the slot is armed before the call, so it is never missed.
// - Closing a WinINet handle cancels the calls pending on it, and each still completes
//   (with ERROR_INTERNET_OPERATION_CANCELLED). The thread closes the handle and waits
//   for that completion before it frees the buffer a pending read writes into. Every
//   handle is closed exactly once, children before their parent: a handle closed to
//   cancel a call is not closed again, and nothing made under a closed parent is
//   closed after it (handle values are reused at once).
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
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/ftp.h"
#include "platform/win32/wininet_calls.h"

namespace plat {

WinInetCalls& WinInet() {
  static WinInetCalls calls{InternetOpenA,      InternetSetStatusCallback,    InternetConnectA,
                            FtpOpenFileA,       FtpCommandA,                  InternetQueryDataAvailable,
                            InternetReadFile,   InternetQueryOptionA,         InternetGetLastResponseInfoA,
                            DeleteUrlCacheEntryA, InternetCloseHandle};
  return calls;
}

namespace {

using Clock = std::chrono::steady_clock;

// InternetConnectA's flags as the transfer sequence gives them: 1. For an FTP session
// the bit means nothing: it is the ASCII transfer bit of older headers (the type is
// given with each FtpOpenFileA, image here) and INTERNET_FLAG_IDN_DIRECT of newer ones
// (HTTP host names); Wine reads only INTERNET_FLAG_PASSIVE of these flags, which is not
// among them, so the data connections stay active.
constexpr DWORD kConnectFlags = 1;
// Image type, never from the cache, and nothing written to it.
constexpr DWORD kOpenFlags = FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

// One read takes at most this much of what the data socket holds: under Wine each
// query and read is a round trip or two through its server, and a fast transfer keeps
// a few hundred kilobytes waiting, so reads of 64 KiB took four of each per 256 KiB.
constexpr DWORD kReadChunk = 256 * 1024;
// How long FtpShutdown waits for a connection's thread that WinINet still holds.
constexpr auto kShutdownWait = std::chrono::seconds(5);
// How long a client thread waits for another connection before it ends.
constexpr auto kIdleThreadLife = std::chrono::seconds(30);

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
    if (net != nullptr) WinInet().closeHandle(net);
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
  std::string reply;                // the last control reply read (see ReplyOfThisThread)
};

// A thread runs connections one after the other: a patch run makes a connection per
// file, and a new thread for each (under Wine, where a thread's start and end go through
// the server and every DLL) cost a few milliseconds of each file.
struct ClientThread {
  std::thread thread;
  std::shared_ptr<Conn> conn;  // the connection it runs; null between connections
  bool retired = false;        // left to end by FtpShutdown: takes no other connection
  bool done = false;           // it has ended
};

struct Globals {
  std::mutex mu;
  std::unordered_map<uintptr_t, std::shared_ptr<Root>> roots;
  std::unordered_map<uintptr_t, std::shared_ptr<Conn>> conns;  // open handles
  std::unordered_map<uintptr_t, std::shared_ptr<Conn>> live;   // not yet ended by their thread
  std::vector<std::shared_ptr<ClientThread>> threads;
  std::deque<std::shared_ptr<Conn>> unclaimed;  // connections no thread has taken yet
  size_t idleThreads = 0;                       // threads waiting for one
  bool stopping = false;                        // FtpShutdown: idle threads end
  std::condition_variable work;
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

// The last control reply that WinINet read on this thread ("226 Transfer complete."),
// or empty. The buffer is terminated whatever the call copies into it.
std::string ReplyOfThisThread() {
  char text[512];
  text[sizeof text - 1] = '\0';
  DWORD code = 0;
  DWORD length = sizeof text - 1;
  if (!WinInet().lastResponseInfo(&code, text, &length)) return std::string();
  text[std::min<DWORD>(length, sizeof text - 1)] = '\0';
  std::string reply(text);
  while (!reply.empty() && (reply.back() == '\r' || reply.back() == '\n')) reply.pop_back();
  return reply;
}

// WinINet's status callback: records, never reports (see the top of the file).
void CALLBACK WinInetStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  // A reply's text belongs to the thread that read it, which is this one.
  const std::string reply = status == INTERNET_STATUS_RESPONSE_RECEIVED ? ReplyOfThisThread() : std::string();
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
      if (c.slotArmed && c.slotCreated == nullptr && hasResult && result->dwResult != 0 &&
          reinterpret_cast<HINTERNET>(result->dwResult) != c.session) {
        c.slotCreated = reinterpret_cast<HINTERNET>(result->dwResult);
        c.wake.notify_all();
      }
      ProgressLocked(c);
      break;
    case INTERNET_STATUS_RESPONSE_RECEIVED:
      if (!reply.empty()) c.reply = reply;
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

// Waits for the armed call to end. A call that makes a handle (`makesHandle`) has ended
// only with its handle too, which comes with HANDLE_CREATED, before or after the
// REQUEST_COMPLETE (whose result word is only a Boolean), unless it failed. When the
// connection is closed or times out first, the call is cancelled by closing one handle,
// once: the one the call has announced, else *owner (the handle the call was made on,
// then set to null so that it is not closed again; null for a connect, which then waits
// for its announcement). The completion is awaited in any case, so nothing the call
// writes into is freed early. Returns true when the call ended while the connection
// was still wanted. *created is the announced handle, the caller's to keep or close;
// null after a cancel (what was closed took with it whatever was made under it).
bool WaitSlot(Conn& c, HINTERNET* owner, bool makesHandle, DWORD_PTR* result, DWORD* error, HINTERNET* created) {
  Globals& g = G();
  std::unique_lock<std::mutex> lock(g.mu);
  bool cancelled = false;
  for (;;) {
    if (c.slotDone && (!makesHandle || c.slotError != 0 || c.slotCreated != nullptr)) break;
    const bool abandoned = c.closed.load() || c.timedOut;
    if (abandoned && c.slotDone) break;  // a success that never announced its handle
    if (abandoned && !cancelled) {
      HINTERNET victim = nullptr;
      if (makesHandle && c.slotCreated != nullptr) {
        victim = c.slotCreated;
      } else if (owner != nullptr && *owner != nullptr) {
        victim = *owner;
        *owner = nullptr;
      }
      if (victim != nullptr) {
        cancelled = true;
        lock.unlock();
        WinInet().closeHandle(victim);
        lock.lock();
        continue;
      }
    }
    c.wake.wait(lock);
  }
  c.slotArmed = false;
  *result = c.slotResult;
  *error = c.slotError;
  *created = cancelled ? nullptr : c.slotCreated;
  return !cancelled && !c.closed.load() && !c.timedOut;
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
  HINTERNET session = WinInet().connect(
      c.root->net, c.host.c_str(), c.port == 0 ? INTERNET_DEFAULT_FTP_PORT : c.port,
      c.user.empty() ? nullptr : c.user.c_str(), c.user.empty() ? nullptr : c.password.c_str(), INTERNET_SERVICE_FTP,
      kConnectFlags, static_cast<DWORD_PTR>(c.id));
  DWORD error = session == nullptr ? GetLastError() : 0;
  if (session != nullptr) {
    DisarmSlot(c);
  } else if (error == ERROR_IO_PENDING) {
    DWORD_PTR ignored = 0;
    HINTERNET made = nullptr;
    if (WaitSlot(c, nullptr, true, &ignored, &error, &made) && error == 0) {
      session = made;
    } else {
      // Made but not delivered (a failure after it was announced, or the connection was
      // closed as it completed): closed here, the only place that knows it.
      if (made != nullptr) WinInet().closeHandle(made);
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
  HINTERNET file = WinInet().openFile(c.session, d.remote.c_str(), GENERIC_READ, kOpenFlags,
                                      static_cast<DWORD_PTR>(c.id));
  *error = file == nullptr ? GetLastError() : 0;
  if (file != nullptr || !WentPending(*error)) {
    DisarmSlot(c);
    return file;
  }
  DWORD_PTR ignored = 0;
  HINTERNET made = nullptr;
  const bool completed = WaitSlot(c, &c.session, true, &ignored, error, &made);
  if (completed && *error == 0) return made;
  if (made != nullptr) WinInet().closeHandle(made);
  if (!completed) {
    *error = 0;
  } else if (*error == 0) {
    *error = kFtpErrorInternal;
  }
  return nullptr;
}

// One step of the read loop: how many bytes are waiting (0 at the end of the file).
// False with *error set on a failure (0 when the connection was closed or timed out).
bool QueryAvailable(Conn& c, HINTERNET* file, DWORD* available, DWORD* error) {
  for (;;) {
    ArmSlot(c);
    *available = 0;
    if (WinInet().queryDataAvailable(*file, available, 0, 0)) {
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
    if (!WaitSlot(c, file, false, &result, error, &made)) {
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

bool ReadSome(Conn& c, HINTERNET* file, DWORD want, DWORD* got, DWORD* error) {
  ArmSlot(c);
  c.bytesRead = 0;
  if (WinInet().readFile(*file, c.buffer.data(), want, &c.bytesRead)) {
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
  if (!WaitSlot(c, file, false, &result, error, &made)) {
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

// The code of a control reply ("226 Transfer complete." gives 226), or 0.
int ReplyCode(const std::string& reply) {
  if (reply.size() < 3 || (reply.size() > 3 && reply[3] != ' ' && reply[3] != '-')) return 0;
  int code = 0;
  for (int i = 0; i < 3; ++i) {
    if (reply[i] < '0' || reply[i] > '9') return 0;
    code = code * 10 + (reply[i] - '0');
  }
  return code;
}

// The digits at `at` up to `end` as a count, or -1 (none, or beyond any file size).
int64_t CountAt(const std::string& text, size_t at, size_t end) {
  if (at >= end || end - at > 15) return -1;
  int64_t n = 0;
  for (size_t i = at; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    n = n * 10 + (text[i] - '0');
  }
  return n;
}

// The byte count a reply opening a transfer states, "150 Opening BINARY mode data
// connection for x (400000 bytes).", or -1.
int64_t AnnouncedBytes(const std::string& reply) {
  const int code = ReplyCode(reply);
  if (code < 100 || code > 199) return -1;
  const size_t open = reply.rfind('(');
  const size_t unit = reply.find(" bytes)", open == std::string::npos ? 0 : open);
  if (open == std::string::npos || unit == std::string::npos) return -1;
  return CountAt(reply, open + 1, unit);
}

// The size a SIZE reply gives, "213 400000", or -1.
int64_t SizeInReply(const std::string& reply) {
  if (ReplyCode(reply) != 213 || reply.size() < 5 || reply[3] != ' ') return -1;
  size_t end = reply.size();
  while (end > 4 && reply[end - 1] == ' ') --end;
  return CountAt(reply, 4, end);
}

// The control reply recorded since the last call, which it clears.
std::string TakeReply(Conn& c) {
  std::lock_guard<std::mutex> lock(G().mu);
  std::string reply;
  reply.swap(c.reply);
  return reply;
}

// The remote file's size by one SIZE command (the connection is in image type since the
// transfer), or -1 when the server gives none.
int64_t RemoteSize(Conn& c, const Download& d) {
  {
    std::lock_guard<std::mutex> lock(G().mu);
    ArmDeadlineLocked(c, Waiting::LogOn, LimitFor(c, Waiting::LogOn));
  }
  const std::string command = "SIZE " + d.remote;
  TakeReply(c);
  ArmSlot(c);
  SetLastError(ERROR_SUCCESS);
  if (WinInet().command(c.session, FALSE, FTP_TRANSFER_TYPE_BINARY, command.c_str(), static_cast<DWORD_PTR>(c.id),
                        nullptr)) {
    DisarmSlot(c);
    // A command that ended here was answered on this thread.
    const std::string reply = TakeReply(c);
    return SizeInReply(reply.empty() ? ReplyOfThisThread() : reply);
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    DisarmSlot(c);
    return -1;
  }
  DWORD_PTR ignored = 0;
  DWORD error = 0;
  HINTERNET made = nullptr;
  if (!WaitSlot(c, &c.session, false, &ignored, &error, &made) || error != 0) return -1;
  return SizeInReply(TakeReply(c));
}

// The file WinINet copies the download into in the URL cache, or empty.
std::string CacheFileOf(HINTERNET file) {
  char name[MAX_PATH + 1] = {};
  DWORD length = MAX_PATH;
  if (!WinInet().queryOption(file, INTERNET_OPTION_DATAFILE_NAME, name, &length)) return std::string();
  name[MAX_PATH] = '\0';
  return name;
}

// Removes the URL cache's copy of a download that has ended: the entry, under the URL
// WinINet files an FTP download by (where the system recorded one), and the file.
void DropCacheCopy(const Conn& c, const Download& d, const std::string& cacheFile) {
  URL_COMPONENTSA parts = {};
  parts.dwStructSize = sizeof parts;
  parts.nScheme = INTERNET_SCHEME_FTP;
  parts.lpszHostName = const_cast<char*>(c.host.c_str());
  parts.nPort = c.port == 0 ? INTERNET_DEFAULT_FTP_PORT : c.port;
  parts.lpszUserName = const_cast<char*>(c.user.empty() ? "anonymous" : c.user.c_str());
  parts.lpszUrlPath = const_cast<char*>(d.remote.c_str());
  char url[2048];
  DWORD length = sizeof url;
  if (InternetCreateUrlA(&parts, 0, url, &length)) WinInet().deleteUrlCacheEntry(url);
  DeleteFileA(cacheFile.c_str());
}

// One download of the connection: data to the temporary file, which replaces the
// target only when the whole file has arrived (see the top of the file for how a cut
// transfer is told from a whole one).
void RunDownload(Conn& c, Download& d) {
  Globals& g = G();
  {
    std::lock_guard<std::mutex> lock(g.mu);
    ArmDeadlineLocked(c, Waiting::Opening, LimitFor(c, Waiting::Opening));
    c.reply.clear();
  }
  DWORD error = 0;
  bool ok = false;
  HINTERNET file = OpenRemote(c, d, &error);
  if (file != nullptr) {
    const int64_t announced = AnnouncedBytes(TakeReply(c));
    const std::string cacheFile = CacheFileOf(file);
    uint64_t received = 0;
    {
      std::lock_guard<std::mutex> lock(g.mu);
      ArmDeadlineLocked(c, Waiting::Data, LimitFor(c, Waiting::Data));
    }
    for (;;) {
      DWORD available = 0;
      if (!QueryAvailable(c, &file, &available, &error)) {
        error = MapReadError(error);
        break;
      }
      DWORD want = available == 0 ? kReadChunk : std::min<DWORD>(available, kReadChunk);
      DWORD got = 0;
      if (!ReadSome(c, &file, want, &got, &error)) {
        error = MapReadError(error);
        break;
      }
      if (got == 0) {
        ok = true;  // the server closed the data connection: the end of the data
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
      received += got;
      {
        std::lock_guard<std::mutex> lock(g.mu);
        ProgressLocked(c);
      }
      uint32_t count = got;
      Report(c, d.context, kFtpResponseReceived, &count, sizeof count, true);
    }
    // Closing the file handle reads the server's reply to the transfer; the connection
    // is free for the next download only after it. A handle closed to cancel a read is
    // null here.
    TakeReply(c);
    if (file != nullptr) WinInet().closeHandle(file);
    if (ok && ReplyCode(TakeReply(c)) >= 400) ok = false;
    if (ok && !Abandoned(c)) {
      const int64_t size = announced >= 0 ? announced : RemoteSize(c, d);
      if (size >= 0 && static_cast<uint64_t>(size) != received) ok = false;
    }
    if (!cacheFile.empty()) DropCacheCopy(c, d, cacheFile);
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
  // A transfer cut short (or refused by its closing reply) ends as libcurl's partial file.
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
  if (session != nullptr) WinInet().closeHandle(session);
  std::lock_guard<std::mutex> lock(g.mu);
  c.threadDone = true;
  g.live.erase(c.id);
}

// A client thread: runs the connections nobody has taken, until none has come for
// kIdleThreadLife or FtpShutdown stops it.
void RunClientThread(std::shared_ptr<ClientThread> self) {
  Globals& g = G();
  std::unique_lock<std::mutex> lock(g.mu);
  while (!self->retired) {
    ++g.idleThreads;
    g.work.wait_for(lock, kIdleThreadLife, [&] { return !g.unclaimed.empty() || g.stopping; });
    --g.idleThreads;
    if (g.unclaimed.empty()) break;
    self->conn = std::move(g.unclaimed.front());
    g.unclaimed.pop_front();
    std::shared_ptr<Conn> conn = self->conn;
    lock.unlock();
    RunConnection(conn);
    lock.lock();
    self->conn.reset();
  }
  self->done = true;
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

// Joins the client threads that have ended (never the calling thread).
void ReapThreads() {
  Globals& g = G();
  std::vector<std::shared_ptr<ClientThread>> ended;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    for (size_t i = 0; i < g.threads.size();) {
      if (g.threads[i]->done && g.threads[i]->thread.get_id() != std::this_thread::get_id()) {
        ended.push_back(std::move(g.threads[i]));
        g.threads[i] = std::move(g.threads.back());
        g.threads.pop_back();
      } else {
        ++i;
      }
    }
  }
  for (auto& t : ended) t->thread.join();
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
  // The system's own connection settings (its proxy configuration), as the player set them.
  root->net = WinInet().open(agent != nullptr ? agent : "", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                             INTERNET_FLAG_ASYNC);
  if (root->net == nullptr) return nullptr;  // GetLastError tells why
  if (WinInet().setStatusCallback(root->net, WinInetStatus) == INTERNET_INVALID_STATUS_CALLBACK) {
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
  // A thread takes the connection under the mutex, so it waits for this registration
  // to finish before it reports anything.
  g.unclaimed.push_back(conn);
  try {
    if (!g.watchdogRunning) {
      g.watchdog = std::thread(RunWatchdog, ++g.watchdogGeneration);
      g.watchdogRunning = true;
    }
    if (g.idleThreads < g.unclaimed.size()) {
      auto record = std::make_shared<ClientThread>();
      record->thread = std::thread(RunClientThread, record);
      g.threads.push_back(std::move(record));
    }
  } catch (...) {
    g.unclaimed.pop_back();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  g.work.notify_one();
  g.conns.emplace(conn->id, conn);
  g.live.emplace(conn->id, conn);
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
  std::vector<std::shared_ptr<ClientThread>> threads;
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
    g.stopping = true;
    g.work.notify_all();
  }
  roots.clear();
  const Clock::time_point deadline = Clock::now() + kShutdownWait;
  for (auto& t : threads) {
    bool done = false;
    if (t->thread.get_id() != std::this_thread::get_id()) {
      std::unique_lock<std::mutex> lock(g.mu);
      done = g.watchdogWake.wait_until(lock, deadline, [&] { return t->done; });
    }
    if (done) {
      t->thread.join();
    } else {
      // Called from a callback (this very thread), or WinINet still holds it: it ends
      // on its own once its connection has.
      {
        std::lock_guard<std::mutex> lock(g.mu);
        t->retired = true;
      }
      t->thread.detach();
    }
  }
  threads.clear();
  {
    std::lock_guard<std::mutex> lock(g.mu);
    g.stopping = false;
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
