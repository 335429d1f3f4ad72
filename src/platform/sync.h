// Auto-reset events and threads.
#pragma once
#include <cstdint>

namespace plat {

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

struct Event;
using EventHandle = Event*;

// An unnamed auto-reset event, not signalled: one signal releases one wait.
EventHandle CreateAutoResetEvent();
bool SignalEvent(EventHandle event);
void CloseEventHandle(EventHandle event);

// Waits until one of the two events is signalled and takes that signal.
// Returns 0 or 1 (the lower index when both are signalled), kWaitTimedOut, or
// kWaitFailed when an event is null.
constexpr int kWaitTimedOut = -2;
constexpr int kWaitFailed = -1;
int WaitForEither(EventHandle first, EventHandle second, uint32_t timeoutMs);

// Takes the event's signal when it is set, without waiting. kWaitFailed for null.
int PollEvent(EventHandle event);

struct Thread;
using ThreadHandle = Thread*;
using ThreadProc = unsigned (*)(void* argument);

// Starts `proc(argument)` at once on a new thread.
ThreadHandle StartThread(ThreadProc proc, void* argument);
// True once the thread's procedure has returned.
bool ThreadFinished(ThreadHandle thread);
// Waits for the thread to end, without a limit, and releases the handle.
void JoinAndCloseThread(ThreadHandle thread);

}  // namespace plat
