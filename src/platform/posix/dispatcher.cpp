#include "platform/posix/dispatcher.h"

#include <chrono>
#include <vector>

namespace plat {
namespace posix {

Dispatcher::Dispatcher(WindowHandle self, DialogProc proc, WindowFrontEnd* frontEnd)
    : self_(self), proc_(proc), frontEnd_(frontEnd), uiThread_(std::this_thread::get_id()) {}

void Dispatcher::BindUiThread() { uiThread_ = std::this_thread::get_id(); }

bool Dispatcher::OnUiThread() const { return std::this_thread::get_id() == uiThread_; }

void Dispatcher::WakeLocked(std::unique_lock<std::mutex>& lock, bool forSend) {
  // Only a thread sleeping on the condition needs it; a toolkit loop is woken below.
  if (waiters_ > 0) changed_.notify_all();
  // A sender is blocked until it has been served, so it always wakes the toolkit. Posts
  // wake it once; while a drain is pending, or in the quiet period after one, they
  // only queue up, so a flood costs one wake-up per batch instead of one per message.
  if (!forSend) {
    if (postWakePending_) return;
    postWakePending_ = true;
  }
  lock.unlock();
  frontEnd_->Wake();
  lock.lock();
}

bool Dispatcher::Post(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ended_.load()) return false;
  posts_.push_back(Posted{message, wParam, lParam});
  WakeLocked(lock, false);
  return true;
}

intptr_t Dispatcher::Run(Request& r) {
  switch (r.kind) {
    case Kind::Message:
      return proc_(self_, r.message, r.wParam, r.lParam);
    case Kind::Text:
      frontEnd_->SetText(r.controlId, r.text.c_str());
      return 1;
    case Kind::Item:
      return frontEnd_->ItemMessage(r.controlId, r.message, r.wParam, r.lParam);
    case Kind::Box:
      return frontEnd_->Box(r.text.c_str(), r.title.c_str(), static_cast<uint32_t>(r.wParam));
  }
  return 0;
}

intptr_t Dispatcher::Submit(Request& r) {
  if (OnUiThread()) return ended_.load() && r.kind != Kind::Box ? 0 : Run(r);
  std::unique_lock<std::mutex> lock(mutex_);
  if (ended_.load()) return 0;
  sends_.push_back(&r);
  WakeLocked(lock, true);
  ++waiters_;
  changed_.wait(lock, [&] { return r.done; });
  --waiters_;
  return r.result;
}

intptr_t Dispatcher::Send(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  Request r{Kind::Message, message, wParam, lParam, 0, {}, {}};
  return Submit(r);
}

bool Dispatcher::SetText(int controlId, const char* text) {
  Request r{Kind::Text, 0, 0, 0, controlId, text != nullptr ? text : "", {}};
  return Submit(r) != 0;
}

intptr_t Dispatcher::ItemMessage(int controlId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  Request r{Kind::Item, message, wParam, lParam, controlId, {}, {}};
  return Submit(r);
}

int Dispatcher::Box(const char* text, const char* title, uint32_t flags) {
  Request r{Kind::Box, 0, flags, 0, 0, text != nullptr ? text : "", title != nullptr ? title : ""};
  return static_cast<int>(Submit(r));
}

bool Dispatcher::Drain(size_t maxPosts) {
  std::unique_lock<std::mutex> lock(mutex_);
  size_t handled = 0;
  for (;;) {
    if (!sends_.empty()) {
      Request* r = sends_.front();
      sends_.pop_front();
      lock.unlock();
      const intptr_t result = Run(*r);
      lock.lock();
      r->result = result;
      r->done = true;
      changed_.notify_all();
      continue;
    }
    if (holdPosts_ > 0 || ended_.load() || posts_.empty() || handled >= maxPosts) break;
    const Posted p = posts_.front();
    posts_.pop_front();
    lock.unlock();
    proc_(self_, p.message, p.wParam, p.lParam);
    postsHandled_.fetch_add(1);
    ++handled;
    lock.lock();
  }
  const bool postsLeft = holdPosts_ == 0 && !ended_.load() && !posts_.empty();
  if (postsLeft) {
    // More than one slice: come back soon, after the toolkit has had its turn.
    postWakePending_ = true;
    lock.unlock();
    frontEnd_->Wake();
    return true;
  }
  if (handled > 0 && !ended_.load() && !quietPending_) {
    // Posts are flowing: let the next ones gather for a moment instead of waking the
    // toolkit for each one.
    lock.unlock();
    quietPending_ = frontEnd_->ScheduleQuietDrain();
    lock.lock();
  }
  // While a quiet drain is due it collects whatever arrives; otherwise the next post
  // wakes the toolkit.
  postWakePending_ = quietPending_ || (holdPosts_ == 0 && !ended_.load() && !posts_.empty());
  const bool again = !quietPending_ && postWakePending_;
  lock.unlock();
  if (again) frontEnd_->Wake();
  return again;
}

void Dispatcher::QuietDrain() {
  quietPending_ = false;
  Drain(512);
}

void Dispatcher::WaitServing(bool (*done)(void*), void* argument) {
  if (!OnUiThread()) return;
  ++holdPosts_;
  for (;;) {
    Drain(0);
    if (done(argument)) break;
    std::unique_lock<std::mutex> lock(mutex_);
    // The condition may change without a request arriving (a thread ending), so the
    // wait is short; any request wakes it at once.
    ++waiters_;
    changed_.wait_for(lock, std::chrono::milliseconds(2), [&] { return !sends_.empty(); });
    --waiters_;
  }
  --holdPosts_;
}

void Dispatcher::WaitForWork(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++waiters_;
  changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return !sends_.empty() || (holdPosts_ == 0 && !posts_.empty()) || ended_.load();
  });
  --waiters_;
}

void Dispatcher::End(intptr_t result) {
  std::lock_guard<std::mutex> lock(mutex_);
  result_ = result;
  ended_.store(true);
  for (Request* r : sends_) {
    r->result = 0;  // a box not shown answers 0: the caller shows it without owner
    r->done = true;
  }
  sends_.clear();
  posts_.clear();
  changed_.notify_all();
}

Window* KeepWindow(std::unique_ptr<Window> window) {
  static std::mutex mutex;
  static auto* all = new std::vector<std::unique_ptr<Window>>;
  std::lock_guard<std::mutex> lock(mutex);
  all->push_back(std::move(window));
  return all->back().get();
}

}  // namespace posix

void EndModalDialog(WindowHandle window, intptr_t result) {
  if (window != nullptr) window->dispatcher->End(result);
}

bool PostToWindow(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return window != nullptr && window->dispatcher->Post(message, wParam, lParam);
}

intptr_t SendToWindow(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return window != nullptr ? window->dispatcher->Send(message, wParam, lParam) : 0;
}

bool SetItemText(WindowHandle window, int controlId, const char* text) {
  return window != nullptr && window->dispatcher->SetText(controlId, text);
}

intptr_t SendToItem(WindowHandle window, int controlId, uint32_t message, uintptr_t wParam,
                    intptr_t lParam) {
  return window != nullptr ? window->dispatcher->ItemMessage(controlId, message, wParam, lParam) : 0;
}

bool PostToItem(WindowHandle window, int controlId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (window == nullptr || window->dispatcher->Ended()) return false;
  window->dispatcher->ItemMessage(controlId, message, wParam, lParam);
  return true;
}

void WaitServingWindow(WindowHandle window, bool (*done)(void*), void* argument) {
  if (window != nullptr) window->dispatcher->WaitServing(done, argument);
}

}  // namespace plat
