// The notifications of the FTP client (platform/ftp.h) as a test sees them: recorded in
// order with the thread each came on, and waited for with deadlines.
#pragma once
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ftp.h"

namespace zdtest {

struct FtpEvent {
  plat::FtpHandle handle;
  uintptr_t context;
  uint32_t status;
  uintptr_t result;  // handle created, request complete
  uint32_t error;    // request complete
  uint32_t bytes;    // response received
  std::thread::id thread;
};

// Records what Callback receives while it lives (one recorder at a time).
class FtpRecorder {
 public:
  FtpRecorder() { current_ = this; }
  ~FtpRecorder() { current_ = nullptr; }
  FtpRecorder(const FtpRecorder&) = delete;
  FtpRecorder& operator=(const FtpRecorder&) = delete;

  // The status callback to give the client's root.
  static void PLAT_CALLBACK Callback(plat::FtpHandle handle, uintptr_t context, uint32_t status, void* info,
                                     uint32_t length) {
    FtpEvent e{handle, context, status, 0, 0, 0, std::this_thread::get_id()};
    if ((status == plat::kFtpHandleCreated || status == plat::kFtpRequestComplete) &&
        length == sizeof(plat::FtpAsyncResult)) {
      e.result = static_cast<const plat::FtpAsyncResult*>(info)->result;
      e.error = static_cast<const plat::FtpAsyncResult*>(info)->error;
    }
    if (status == plat::kFtpResponseReceived && length == sizeof(uint32_t)) e.bytes = *static_cast<uint32_t*>(info);
    current_->Add(e);
  }

  // Runs on the client's thread for every event, after it is recorded.
  void SetHook(std::function<void(const FtpEvent&)> hook) {
    std::lock_guard<std::mutex> lock(mu_);
    hook_ = std::move(hook);
  }
  std::vector<FtpEvent> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  bool WaitCount(uint32_t status, size_t n, int timeoutMs = 15000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return CountLocked(status) >= n; });
  }
  bool WaitCompletions(size_t n, int timeoutMs = 15000) { return WaitCount(plat::kFtpRequestComplete, n, timeoutMs); }
  size_t Count(uint32_t status) {
    std::lock_guard<std::mutex> lock(mu_);
    return CountLocked(status);
  }
  FtpEvent Last(uint32_t status) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = std::find_if(events_.rbegin(), events_.rend(), [&](const FtpEvent& e) { return e.status == status; });
    return it != events_.rend() ? *it : FtpEvent{};
  }
  // The errors of the completions, in order.
  std::vector<uint32_t> Errors() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<uint32_t> errors;
    for (const FtpEvent& e : events_) {
      if (e.status == plat::kFtpRequestComplete) errors.push_back(e.error);
    }
    return errors;
  }
  uint64_t BytesFor(uintptr_t context) {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t sum = 0;
    for (const FtpEvent& e : events_) sum += e.status == plat::kFtpResponseReceived && e.context == context ? e.bytes : 0;
    return sum;
  }

 private:
  void Add(const FtpEvent& e) {
    std::function<void(const FtpEvent&)> hook;
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(e);
      hook = hook_;
    }
    cv_.notify_all();
    if (hook) hook(e);
  }
  size_t CountLocked(uint32_t status) {
    return std::count_if(events_.begin(), events_.end(), [&](const FtpEvent& e) { return e.status == status; });
  }

  static inline FtpRecorder* current_ = nullptr;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<FtpEvent> events_;
  std::function<void(const FtpEvent&)> hook_;
};

}  // namespace zdtest
