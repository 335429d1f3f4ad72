// Linux events and threads: a mutex and condition variable per event (one shared
// pair for waits on two events), std::thread for threads.
#include "platform/sync.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace plat {

namespace {
// Waits on two events need one condition to sleep on; all events share it.
std::mutex g_eventMutex;
std::condition_variable g_eventSignalled;
}  // namespace

struct Event {
  bool signalled = false;
};

EventHandle CreateAutoResetEvent() { return new Event; }

bool SignalEvent(EventHandle event) {
  if (event == nullptr) {
    errno = EINVAL;
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(g_eventMutex);
    event->signalled = true;
  }
  g_eventSignalled.notify_all();
  return true;
}

void CloseEventHandle(EventHandle event) { delete event; }

int WaitForEither(EventHandle first, EventHandle second, uint32_t timeoutMs) {
  if (first == nullptr || second == nullptr) {
    errno = EINVAL;
    return kWaitFailed;
  }
  std::unique_lock<std::mutex> lock(g_eventMutex);
  auto ready = [&] { return first->signalled || second->signalled; };
  if (timeoutMs == kWaitForever) {
    g_eventSignalled.wait(lock, ready);
  } else if (!g_eventSignalled.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
    return kWaitTimedOut;
  }
  if (first->signalled) {
    first->signalled = false;
    return 0;
  }
  second->signalled = false;
  return 1;
}

int PollEvent(EventHandle event) {
  if (event == nullptr) {
    errno = EINVAL;
    return kWaitFailed;
  }
  std::lock_guard<std::mutex> lock(g_eventMutex);
  if (!event->signalled) return kWaitTimedOut;
  event->signalled = false;
  return 0;
}

struct Thread {
  std::thread thread;
  std::atomic<bool> finished{false};
};

ThreadHandle StartThread(ThreadProc proc, void* argument) {
  Thread* t = new Thread;
  try {
    t->thread = std::thread([t, proc, argument] {
      proc(argument);
      t->finished.store(true);
    });
  } catch (...) {
    delete t;
    errno = EAGAIN;
    return nullptr;
  }
  return t;
}

bool ThreadFinished(ThreadHandle thread) { return thread == nullptr || thread->finished.load(); }

void JoinAndCloseThread(ThreadHandle thread) {
  if (thread == nullptr) return;
  if (thread->thread.joinable()) thread->thread.join();
  delete thread;
}

}  // namespace plat
