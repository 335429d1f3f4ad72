// One connection's way to WinINet, for the FTP adapter (ftp_wininet.cpp): its calls
// are made one at a time, each with a completion slot that WinINet's status callback
// fills, and the running operation's time limit is kept by a watchdog
// (wininet_channel.cpp says what this relies on).
#pragma once
#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <condition_variable>
#include <string>
#include <vector>

#include "platform/ftp_transport.h"

namespace plat {
namespace ftp {

struct Session {
  HINTERNET net = nullptr;
};

// What the time limit of the running operation is measured against.
enum class Waiting { Nothing, LogOn, Opening, Data };

struct Channel {
  Link* link = nullptr;
  Session* session = nullptr;
  std::vector<char> buffer;  // the read loop's
  // The logged-on FTP session: written by the connection's thread under the channels'
  // mutex (the status callback reads it there).
  HINTERNET connection = nullptr;
  DWORD bytesRead = 0;  // written by a pending InternetReadFile

  // Guarded by the channels' mutex.
  std::condition_variable wake;
  Waiting waiting = Waiting::Nothing;
  std::chrono::steady_clock::time_point deadline{};
  uint64_t operation = 0;  // the link's operation the time limit belongs to
  // The limit of a connect to one of several addresses ends that attempt only: it is
  // marked expired, the pending call is cancelled, and Connect reports a time-out.
  bool limitEndsAttempt = false;
  bool attemptExpired = false;
  // The completion slot of the one WinINet call that may be pending.
  bool slotArmed = false;
  bool slotDone = false;
  DWORD_PTR slotResult = 0;
  DWORD slotError = 0;
  HINTERNET slotCreated = nullptr;  // announced with HANDLE_CREATED during the call
  std::string reply;                // the last control reply read (see ReplyOfThisThread)
};

// WinINet's status callback for every root: records, never reports.
void CALLBACK WinInetStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length);

// Makes the channel known to the status callback (by its link's id, the context of its
// WinINet calls) and to the watchdog, which starts here when none runs; throws when no
// thread can be started. Unregistering hands back the FTP session to close.
void RegisterChannel(Channel& ch);
HINTERNET UnregisterChannel(Channel& ch);

void SetConnection(Channel& ch, HINTERNET connection);

// Starts a new time limit: `first` for the first step, the phase's own afterwards.
// Waiting::Nothing ends it.
void ArmDeadline(Channel& ch, Waiting w, std::chrono::milliseconds first);
void ArmDeadline(Channel& ch, Waiting w);
// A connect attempt's limit: as ArmDeadline, with limitEndsAttempt as given and no
// attempt expired yet. EndAttempt ends the limit once the call has returned: whether it
// ran out (and clears that, so later calls on the channel are not taken as cancelled).
void ArmAttemptDeadline(Channel& ch, std::chrono::milliseconds first, bool endsAttemptOnly);
bool EndAttempt(Channel& ch);
// The server said something: the running operation's time limit starts again.
void NoteProgress(Channel& ch);

// The control reply recorded since the last call, which it clears.
std::string TakeReply(Channel& ch);
// The last control reply that WinINet read on this thread ("226 Transfer complete."),
// or empty.
std::string ReplyOfThisThread();

void ArmSlot(Channel& ch);
void DisarmSlot(Channel& ch);

// How one WinINet call made through Issue went.
enum class Call { Done, Failed, Pending };

// Arms the completion slot and makes one WinINet call (`call` returns whether it
// succeeded). Pending: still running, with the slot armed (wait with WaitForHandle or
// WaitCall): it failed with ERROR_IO_PENDING or, for Wine's FtpOpenFileA
// (`quietPending`), with no error set at all after the call cleared it. Failed: *error
// says why.
template <typename Make>
Call Issue(Channel& ch, Make call, DWORD* error, bool quietPending = false) {
  ArmSlot(ch);
  SetLastError(ERROR_SUCCESS);
  const bool done = call();
  *error = done ? 0 : GetLastError();
  if (!done && (*error == ERROR_IO_PENDING || (quietPending && *error == ERROR_SUCCESS))) return Call::Pending;
  DisarmSlot(ch);
  return done ? Call::Done : Call::Failed;
}

// Waits for a pending call that makes a handle: the handle, or null with *error set (0
// when the connection was abandoned). When the connection is abandoned first, the call
// is cancelled by closing the handle it has announced, else *owner (the handle it was
// made on, then set to null so that it is not closed again).
HINTERNET WaitForHandle(Channel& ch, HINTERNET* owner, DWORD* error);
// Waits for a pending call that makes no handle, cancelled as above: true when it
// succeeded, false with *error set (0 when the connection was abandoned).
bool WaitCall(Channel& ch, HINTERNET* owner, DWORD* error);

}  // namespace ftp
}  // namespace plat
