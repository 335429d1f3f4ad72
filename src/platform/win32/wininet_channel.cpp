// One asynchronous WinINet call at a time per connection, for the FTP adapter
// (wininet_channel.h). WinINet's status callback only records: the completion of a call
// that went pending, the handle a pending call created, the server's replies, and that
// the server is still talking (which moves the time limit on). So where WinINet
// implementations differ in what they announce and in which order, the adapter still
// sees one sequence. Wine's reads block on the data socket with no time limit (the
// server's silence included) and a close does not cancel them, so a watchdog thread
// keeps the limits: an operation that makes no progress for too long is ended with
// kFtpErrorTimeout through AbortOperation, and its thread ends whenever WinINet lets it
// go. The abort names the operation the limit was set for, so a limit that runs out
// just as its operation ends never ends the connection's next one.
//
// What this relies on for native Windows (the documented behaviour of asynchronous
// mode), and why it is enough:
// - A call that returns success at once (a handle, or TRUE) sends no REQUEST_COMPLETE
//   for itself; only a call that fails with ERROR_IO_PENDING completes later, with one
//   REQUEST_COMPLETE whose dwError is the error and whose dwResult is a Boolean; a call
//   that makes a handle (InternetConnectA, FtpOpenFileA) announces it with
//   HANDLE_CREATED, which is where the handle is taken from, whichever of the two
//   notifications comes first. Each call arms one completion slot before it starts; a
//   completion that arrives while no slot is armed is dropped. Wine keeps to this too:
//   FtpOpenFileA returns NULL and completes later (without setting ERROR_IO_PENDING: a
//   NULL with no error set is taken as pending), InternetConnectA and InternetReadFile
//   never go pending, and InternetQueryDataAvailable goes pending with a completion only
//   when it says so. Whatever WinINet does, the client reports an operation's end once.
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
//   callback takes only the channels' mutex, which is never held across a WinINet call.
#include "platform/win32/wininet_channel.h"

#include <algorithm>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/win32/wininet_calls.h"

namespace plat {
namespace ftp {
namespace {

using Clock = std::chrono::steady_clock;

struct Channels {
  std::mutex mu;
  std::unordered_map<uintptr_t, Channel*> live;  // by connection token, the WinINet context
  std::thread watchdog;
  uint64_t watchdogGeneration = 0;  // a watchdog runs while this is the one it started with
  std::condition_variable watchdogWake;
};

// Never destroyed: a thread still ending at process exit must not meet a destroyed mutex.
Channels& Shared() {
  static Channels* channels = new Channels;
  return *channels;
}

std::chrono::milliseconds LimitFor(const Channel& ch, Waiting w) {
  using std::chrono::milliseconds;
  const FtpTimeLimits& limits = ch.link->limits;
  switch (w) {
    case Waiting::LogOn: return milliseconds(limits.responseSeconds * 1000L);
    case Waiting::Opening: return milliseconds(limits.responseSeconds * 1000L + limits.acceptMs);
    case Waiting::Data: return milliseconds(limits.lowSpeedSeconds * 1000L);
    case Waiting::Nothing: break;
  }
  return milliseconds(0);
}

// The server said something: the running operation's time limit starts again.
void ProgressLocked(Channel& ch) {
  if (ch.waiting != Waiting::Nothing) ch.deadline = Clock::now() + LimitFor(ch, ch.waiting);
}

// Waits for the armed call to end. A call that makes a handle (`makesHandle`) has ended
// only with its handle too, which comes with HANDLE_CREATED, before or after the
// REQUEST_COMPLETE (whose result word is only a Boolean), unless it failed. When the
// connection is abandoned first, the call is cancelled by closing one handle, once: the
// one the call has announced, else *owner (the handle the call was made on, then set to
// null so that it is not closed again; null for a connect, which then waits for its
// announcement). The completion is awaited in any case, so nothing the call writes
// into is freed early. Returns true when the call ended while the connection was still
// wanted. *created is the announced handle, the caller's to keep or close; null after a
// cancel (what was closed took with it whatever was made under it).
bool WaitSlot(Channel& ch, HINTERNET* owner, bool makesHandle, DWORD_PTR* result, DWORD* error,
              HINTERNET* created) {
  std::unique_lock<std::mutex> lock(Shared().mu);
  bool cancelled = false;
  for (;;) {
    if (ch.slotDone && (!makesHandle || ch.slotError != 0 || ch.slotCreated != nullptr)) break;
    const bool abandoned = ch.link->Abandoned() || ch.attemptExpired;
    if (abandoned && ch.slotDone) break;  // a success that never announced its handle
    if (abandoned && !cancelled) {
      HINTERNET victim = nullptr;
      if (makesHandle && ch.slotCreated != nullptr) {
        victim = ch.slotCreated;
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
    ch.wake.wait(lock);
  }
  ch.slotArmed = false;
  *result = ch.slotResult;
  *error = ch.slotError;
  *created = cancelled ? nullptr : ch.slotCreated;
  return !cancelled && !ch.link->Abandoned();
}

// Ends the operations that made no progress within their limits: each is ended with
// kFtpErrorTimeout by the client, unless it has ended meanwhile.
void RunWatchdog(uint64_t generation) {
  Channels& a = Shared();
  std::unique_lock<std::mutex> lock(a.mu);
  while (a.watchdogGeneration == generation) {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    std::vector<std::pair<uintptr_t, uint64_t>> expired;  // connection, operation
    for (auto& entry : a.live) {
      Channel& ch = *entry.second;
      if (ch.waiting == Waiting::Nothing || ch.link->Abandoned()) continue;
      if (ch.deadline <= now && ch.limitEndsAttempt && ch.waiting == Waiting::LogOn) {
        // One address of several: the connect goes on with the next once this call
        // returns (Wine's blocking connect returns by its own limit, 60 s a reply).
        ch.waiting = Waiting::Nothing;
        ch.attemptExpired = true;
        ch.wake.notify_all();
      } else if (ch.deadline <= now) {
        ch.waiting = Waiting::Nothing;
        expired.emplace_back(entry.first, ch.operation);
      } else {
        next = std::min(next, ch.deadline);
      }
    }
    if (expired.empty()) {
      if (next == Clock::time_point::max()) {
        a.watchdogWake.wait(lock);
      } else {
        a.watchdogWake.wait_until(lock, next);
      }
      continue;
    }
    lock.unlock();
    for (const auto& e : expired) AbortOperation(e.first, e.second, kFtpErrorTimeout);
    lock.lock();
  }
}

}  // namespace

void ArmDeadline(Channel& ch, Waiting w, std::chrono::milliseconds first) {
  std::lock_guard<std::mutex> lock(Shared().mu);
  ch.waiting = w;
  ch.deadline = Clock::now() + first;
  ch.operation = ch.link->Operation();
  Shared().watchdogWake.notify_all();
}

void ArmDeadline(Channel& ch, Waiting w) { ArmDeadline(ch, w, LimitFor(ch, w)); }

void ArmAttemptDeadline(Channel& ch, std::chrono::milliseconds first, bool endsAttemptOnly) {
  {
    std::lock_guard<std::mutex> lock(Shared().mu);
    ch.limitEndsAttempt = endsAttemptOnly;
    ch.attemptExpired = false;
  }
  ArmDeadline(ch, Waiting::LogOn, first);
}

bool EndAttempt(Channel& ch) {
  std::lock_guard<std::mutex> lock(Shared().mu);
  const bool expired = ch.attemptExpired;
  ch.waiting = Waiting::Nothing;
  ch.limitEndsAttempt = false;
  ch.attemptExpired = false;
  return expired;
}

void NoteProgress(Channel& ch) {
  std::lock_guard<std::mutex> lock(Shared().mu);
  ProgressLocked(ch);
}

// The buffer is terminated whatever the call copies into it.
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

// The control reply recorded since the last call, which it clears.
std::string TakeReply(Channel& ch) {
  std::lock_guard<std::mutex> lock(Shared().mu);
  std::string reply;
  reply.swap(ch.reply);
  return reply;
}

void CALLBACK WinInetStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  // A reply's text belongs to the thread that read it, which is this one.
  const std::string reply = status == INTERNET_STATUS_RESPONSE_RECEIVED ? ReplyOfThisThread() : std::string();
  std::lock_guard<std::mutex> lock(Shared().mu);
  auto it = Shared().live.find(static_cast<uintptr_t>(context));
  if (it == Shared().live.end()) return;
  Channel& ch = *it->second;
  const auto* result = static_cast<const INTERNET_ASYNC_RESULT*>(info);
  const bool hasResult = result != nullptr && length >= sizeof(INTERNET_ASYNC_RESULT);
  switch (status) {
    case INTERNET_STATUS_REQUEST_COMPLETE:
      if (ch.slotArmed && !ch.slotDone) {
        ch.slotDone = true;
        ch.slotResult = hasResult ? result->dwResult : 0;
        ch.slotError = hasResult ? result->dwError : static_cast<DWORD>(kFtpErrorInternal);
        ch.wake.notify_all();
      }
      break;
    case INTERNET_STATUS_HANDLE_CREATED:
      if (ch.slotArmed && ch.slotCreated == nullptr && hasResult && result->dwResult != 0 &&
          reinterpret_cast<HINTERNET>(result->dwResult) != ch.connection) {
        ch.slotCreated = reinterpret_cast<HINTERNET>(result->dwResult);
        ch.wake.notify_all();
      }
      ProgressLocked(ch);
      break;
    case INTERNET_STATUS_RESPONSE_RECEIVED:
      if (!reply.empty()) ch.reply = reply;
      ProgressLocked(ch);
      break;
    case INTERNET_STATUS_HANDLE_CLOSING:
      break;
    default:
      // Name resolved, connected, request sent, response received: the server is there.
      ProgressLocked(ch);
      break;
  }
}

void RegisterChannel(Channel& ch) {
  std::lock_guard<std::mutex> lock(Shared().mu);
  if (!Shared().watchdog.joinable()) Shared().watchdog = std::thread(RunWatchdog, ++Shared().watchdogGeneration);
  Shared().live.emplace(ch.link->id, &ch);
}

HINTERNET UnregisterChannel(Channel& ch) {
  std::lock_guard<std::mutex> lock(Shared().mu);
  Shared().live.erase(ch.link->id);
  return std::exchange(ch.connection, nullptr);
}

void SetConnection(Channel& ch, HINTERNET connection) {
  std::lock_guard<std::mutex> lock(Shared().mu);
  ch.connection = connection;
}

void ArmSlot(Channel& ch) {
  std::lock_guard<std::mutex> lock(Shared().mu);
  ch.slotArmed = true;
  ch.slotDone = false;
  ch.slotResult = 0;
  ch.slotError = 0;
  ch.slotCreated = nullptr;
}

void DisarmSlot(Channel& ch) {
  std::lock_guard<std::mutex> lock(Shared().mu);
  ch.slotArmed = false;
}

// Waits for a pending call that makes a handle: the handle, or null with *error set (0
// when the connection was abandoned). A handle made but not delivered (a failure after
// it was announced, or a close as it completed) is closed here, the only place that
// knows it.
HINTERNET WaitForHandle(Channel& ch, HINTERNET* owner, DWORD* error) {
  DWORD_PTR ignored = 0;
  HINTERNET made = nullptr;
  const bool completed = WaitSlot(ch, owner, true, &ignored, error, &made);
  if (completed && *error == 0) return made;
  if (made != nullptr) WinInet().closeHandle(made);
  if (!completed) *error = 0;
  if (completed && *error == 0) *error = kFtpErrorInternal;
  return nullptr;
}

// Waits for a pending call that makes no handle: true when it succeeded (its result
// word true), false with *error set (0 when the connection was abandoned). Wine puts a
// count in dwError of a successful completion, so the error counts only on a failure.
bool WaitCall(Channel& ch, HINTERNET* owner, DWORD* error) {
  DWORD_PTR result = 0;
  HINTERNET made = nullptr;
  if (!WaitSlot(ch, owner, false, &result, error, &made)) {
    *error = 0;
    return false;
  }
  if (result != 0) return true;
  if (*error == 0) *error = kFtpErrorConnectionAborted;
  return false;
}

void WakeChannel(Channel* ch) {
  std::lock_guard<std::mutex> lock(Shared().mu);
  ch->wake.notify_all();
}

// Stops the watchdog; the next channel starts another.
void ShutdownTransport() {
  std::thread watchdog;
  {
    std::lock_guard<std::mutex> lock(Shared().mu);
    ++Shared().watchdogGeneration;
    Shared().watchdogWake.notify_all();
    watchdog = std::move(Shared().watchdog);
  }
  if (!watchdog.joinable()) return;
  if (watchdog.get_id() == std::this_thread::get_id()) {
    watchdog.detach();  // called from a callback the watchdog made
  } else {
    watchdog.join();
  }
}

}  // namespace ftp
}  // namespace plat
