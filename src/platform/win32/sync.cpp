// Windows: kernel events and threads started through the run-time library
// (_beginthreadex), so the run-time library's per-thread data is set up for them.
#include "platform/sync.h"

#include <process.h>
#include <windows.h>

namespace plat {

struct Event {
  HANDLE handle;
};

struct Thread {
  HANDLE handle;
};

EventHandle CreateAutoResetEvent() {
  HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (h == nullptr) return nullptr;
  return new Event{h};
}

bool SignalEvent(EventHandle event) { return event != nullptr && SetEvent(event->handle) != 0; }

void CloseEventHandle(EventHandle event) {
  if (event == nullptr) return;
  CloseHandle(event->handle);
  delete event;
}

int WaitForEither(EventHandle first, EventHandle second, uint32_t timeoutMs) {
  if (first == nullptr || second == nullptr) return kWaitFailed;
  // The same event twice is one wait (WaitForMultipleObjects refuses duplicates).
  HANDLE handles[2] = {first->handle, second->handle};
  const DWORD count = first->handle == second->handle ? 1 : 2;
  const DWORD rc = WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
  if (rc == WAIT_OBJECT_0) return 0;
  if (rc == WAIT_OBJECT_0 + 1) return 1;
  if (rc == WAIT_TIMEOUT) return kWaitTimedOut;
  return kWaitFailed;
}

int PollEvent(EventHandle event) {
  if (event == nullptr) return kWaitFailed;
  const DWORD rc = WaitForSingleObject(event->handle, 0);
  if (rc == WAIT_OBJECT_0) return 0;
  if (rc == WAIT_TIMEOUT) return kWaitTimedOut;
  return kWaitFailed;
}

namespace {

struct Start {
  ThreadProc proc;
  void* argument;
};

unsigned __stdcall Trampoline(void* raw) {
  Start start = *static_cast<Start*>(raw);
  delete static_cast<Start*>(raw);
  return start.proc(start.argument);
}

}  // namespace

ThreadHandle StartThread(ThreadProc proc, void* argument) {
  Start* start = new Start{proc, argument};
  const uintptr_t h = _beginthreadex(nullptr, 0, Trampoline, start, 0, nullptr);
  if (h == 0) {
    delete start;
    return nullptr;
  }
  return new Thread{reinterpret_cast<HANDLE>(h)};
}

bool ThreadFinished(ThreadHandle thread) {
  return thread == nullptr || WaitForSingleObject(thread->handle, 0) == WAIT_OBJECT_0;
}

void JoinAndCloseThread(ThreadHandle thread) {
  if (thread == nullptr) return;
  WaitForSingleObject(thread->handle, INFINITE);
  CloseHandle(thread->handle);
  delete thread;
}

}  // namespace plat
