// The UI thread's message queue that both Linux window backends share (the FLTK
// window and the test window). It gives the window model the program relies on:
// - post: queued in an unbounded queue, never blocks, never drops; the toolkit is
//   woken once when the queue goes from empty to non-empty;
// - send: on the UI thread it runs inline, from any other thread the caller blocks
//   until the UI thread has run it; control updates and message boxes go the same way;
// - waits on the UI thread serve sends (and boxes) but hold posted messages back, so
//   a thread blocked on the window can always finish while nothing new starts;
// - once the dialog has ended, posts are refused and sends return 0 at once.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/window.h"

namespace plat {
namespace posix {

// What the dispatcher needs of a toolkit; every call but Wake runs on the UI thread.
class WindowFrontEnd {
 public:
  virtual ~WindowFrontEnd() = default;
  // From any thread: have the UI thread call Dispatcher::Drain soon.
  virtual void Wake() = 0;
  // UI thread: have Dispatcher::QuietDrain called after a short quiet period (a few
  // ms) in which posts only gather. False when the toolkit has no timers: then posts
  // wake it at once.
  virtual bool ScheduleQuietDrain() { return false; }
  virtual void SetText(int controlId, const char* text) = 0;
  virtual intptr_t ItemMessage(int controlId, uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;
  // Shows a box modal to the window and returns the answer; may run a nested loop
  // that calls Drain.
  virtual int Box(const char* text, const char* title, uint32_t flags) = 0;
};

class Dispatcher {
 public:
  Dispatcher(WindowHandle self, DialogProc proc, WindowFrontEnd* frontEnd);

  // Binds the dispatcher to the calling thread as its UI thread.
  void BindUiThread();
  bool OnUiThread() const;

  bool Post(uint32_t message, uintptr_t wParam, intptr_t lParam);
  intptr_t Send(uint32_t message, uintptr_t wParam, intptr_t lParam);
  bool SetText(int controlId, const char* text);
  intptr_t ItemMessage(int controlId, uint32_t message, uintptr_t wParam, intptr_t lParam);
  int Box(const char* text, const char* title, uint32_t flags);

  // UI thread: runs waiting sends, then up to `maxPosts` posted messages (none while a
  // wait holds them back). Returns true when work is left (the caller may drain again).
  bool Drain(size_t maxPosts);
  // UI thread: the quiet drain that ScheduleQuietDrain asked for.
  void QuietDrain();
  // UI thread: waits until done(argument), serving sends meanwhile.
  void WaitServing(bool (*done)(void*), void* argument);
  // Waits up to `ms` for anything to arrive (for loops without a toolkit).
  void WaitForWork(int ms);

  // The dialog has ended: queued sends complete with 0, posts are dropped.
  void End(intptr_t result);
  bool Ended() const { return ended_.load(); }
  intptr_t Result() const { return result_; }
  // Messages posted and handled so far (for tests and measurements).
  uint64_t PostsHandled() const { return postsHandled_.load(); }

 private:
  enum class Kind { Message, Text, Item, Box };
  struct Request {
    Kind kind;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    int controlId;
    std::string text;
    std::string title;
    intptr_t result = 0;
    bool done = false;
  };
  struct Posted {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
  };

  intptr_t Run(Request& request);
  intptr_t Submit(Request& request);
  void WakeLocked(std::unique_lock<std::mutex>& lock, bool forSend);

  WindowHandle self_;
  DialogProc proc_;
  WindowFrontEnd* frontEnd_;
  std::thread::id uiThread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Request*> sends_;
  std::deque<Posted> posts_;
  bool postWakePending_ = false;  // a drain (or a quiet period) is pending for posts
  int waiters_ = 0;  // threads sleeping on changed_
  int holdPosts_ = 0;          // UI thread only
  bool quietPending_ = false;  // UI thread only: a quiet drain is scheduled
  std::atomic<bool> ended_{false};
  intptr_t result_ = 0;
  std::atomic<uint64_t> postsHandled_{0};
};

// Registers a backend's new window. Windows are kept for the life of the process, so
// a late post to an ended dialog finds a dispatcher that refuses it, not freed memory.
Window* KeepWindow(std::unique_ptr<Window> window);

}  // namespace posix

// A window of either Linux backend; the window calls that only forward to the
// dispatcher are shared by both.
struct Window {
  virtual ~Window() = default;
  std::unique_ptr<posix::Dispatcher> dispatcher;
};

}  // namespace plat
