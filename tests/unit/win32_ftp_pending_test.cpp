// The WinINet client on the paths Wine never takes, against a scripted WinINet (the table
// of wininet_calls.h): a connect and an open that go pending, whose HANDLE_CREATED and
// REQUEST_COMPLETE the test delivers in either order, and closes while they are pending.
// Handles must come from HANDLE_CREATED (the completion's result word is only TRUE), and
// each must be closed exactly once, children before their parent.
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ftp.h"
#include "platform/win32/wininet_calls.h"
#include "support/ftp_recorder.h"
#include "support/scratch.h"

namespace {

using namespace plat;

HINTERNET H(uintptr_t value) { return reinterpret_cast<HINTERNET>(value); }

// What the scripted WinINet was asked and what the client reported; one per test.
struct Script {
  std::mutex mu;
  std::condition_variable cv;
  INTERNET_STATUS_CALLBACK callback = nullptr;
  std::vector<DWORD_PTR> pending;  // the context of each call that went pending
  bool ending = false;             // TearDown: no call goes pending any more
  std::vector<HINTERNET> closed;   // in order
  size_t served = 0;  // of "hello"

  template <typename Done>
  bool WaitFor(Done done) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(20), done);
  }
} * g;

template <typename Change>
void Note(Change change) {
  std::lock_guard<std::mutex> lock(g->mu);
  change();
  g->cv.notify_all();
}

HINTERNET WINAPI Open(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD) { return H(0x100); }
INTERNET_STATUS_CALLBACK WINAPI SetCallback(HINTERNET, INTERNET_STATUS_CALLBACK callback) {
  g->callback = callback;
  return nullptr;
}
BOOL WINAPI Command(HINTERNET, BOOL, DWORD, LPCSTR, DWORD_PTR, HINTERNET*) { return TRUE; }
BOOL WINAPI NoOption(HINTERNET, DWORD, LPVOID, LPDWORD) { return FALSE; }
HINTERNET GoPending(DWORD_PTR context) {
  bool refused = false;
  Note([&] {
    refused = g->ending;
    if (!refused) g->pending.push_back(context);
  });
  SetLastError(refused ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_IO_PENDING);
  return nullptr;
}
HINTERNET WINAPI Connect(HINTERNET, LPCSTR, INTERNET_PORT, LPCSTR, LPCSTR, DWORD, DWORD, DWORD_PTR context) {
  return GoPending(context);
}
HINTERNET WINAPI OpenFile(HINTERNET, LPCSTR, DWORD, DWORD, DWORD_PTR context) { return GoPending(context); }
BOOL WINAPI Available(HINTERNET, LPDWORD available, DWORD, DWORD_PTR) {
  Note([&] { *available = static_cast<DWORD>(5 - g->served); });
  return TRUE;
}
BOOL WINAPI Read(HINTERNET, LPVOID buffer, DWORD want, LPDWORD got) {
  Note([&] {
    *got = static_cast<DWORD>(std::min<size_t>(want, 5 - g->served));
    std::memcpy(buffer, "hello" + g->served, *got);
    g->served += *got;
  });
  return TRUE;
}
// The reply to SIZE, on the thread that sent it.
BOOL WINAPI LastResponse(LPDWORD code, LPSTR text, LPDWORD length) {
  *code = 0;
  *length = static_cast<DWORD>(std::snprintf(text, *length, "213 5"));
  return TRUE;
}
BOOL WINAPI Close(HINTERNET handle) {
  Note([&] { g->closed.push_back(handle); });
  return TRUE;
}

class PendingCallsTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    g = &script_;
    saved_ = WinInet();
    WinInet() = WinInetCalls{Open,      SetCallback, Connect,  OpenFile,           Command, Available, Read,
                             NoOption, LastResponse, nullptr, Close};
    root_ = FtpOpenRoot("VornAuthPatch");
    FtpSetStatusCallback(root_, zdtest::FtpRecorder::Callback);
  }
  // A test stopped half-way by a failed assertion leaves calls pending that only it
  // would have completed, and the client's threads waiting for them. They are completed
  // here as cancelled, as WinINet completes the calls on a closed handle, and no call
  // goes pending any more: the shutdown waits for no thread, and none outlives the test.
  // (After a whole test the client has ended, and these completions find no connection.)
  void TearDown() override {
    std::vector<DWORD_PTR> pending;
    Note([&] {
      script_.ending = true;
      pending = script_.pending;
    });
    for (DWORD_PTR context : pending) {
      Deliver(context, INTERNET_STATUS_REQUEST_COMPLETE, FALSE, ERROR_INTERNET_OPERATION_CANCELLED);
    }
    FtpShutdown();
    WinInet() = saved_;
  }

  DWORD_PTR Pending(size_t n) {  // the context of the n-th call that went pending
    DWORD_PTR context = 0;
    EXPECT_TRUE(script_.WaitFor([&] { return script_.pending.size() >= n && (context = script_.pending[n - 1]); }));
    return context;
  }
  void Deliver(DWORD_PTR context, DWORD status, DWORD_PTR result, DWORD error = 0) {
    INTERNET_ASYNC_RESULT r{result, error};
    script_.callback(H(0x100), context, status, &r, sizeof r);
  }
  // A pending call that made `handle` succeeds; its completion carries TRUE.
  void Succeed(DWORD_PTR context, uintptr_t handle, bool createdFirst) {
    if (createdFirst) Deliver(context, INTERNET_STATUS_HANDLE_CREATED, handle);
    Deliver(context, INTERNET_STATUS_REQUEST_COMPLETE, TRUE);
    if (!createdFirst) Deliver(context, INTERNET_STATUS_HANDLE_CREATED, handle);
  }
  // Closes everything and waits for the client's threads: nothing changes afterwards.
  void End() {
    FtpCloseHandle(root_);
    FtpShutdown();
  }

  Script script_;
  zdtest::FtpRecorder recorder_;
  WinInetCalls saved_{};
  FtpHandle root_ = nullptr;
  zdtest::Scratch local_;
  const std::string target_ = local_.Path("pending.bin");
};

TEST_P(PendingCallsTest, HandlesComeFromHandleCreatedInEitherOrder) {
  FtpHandle conn = FtpConnectAsync(root_, "127.0.0.1", 21, "user", "secret", 1);
  Succeed(Pending(1), 0x200, GetParam());
  ASSERT_TRUE(recorder_.WaitCompletions(1));
  ASSERT_TRUE(FtpGetFileAsync(conn, "x.bin", target_.c_str(), FtpSizeBound{5, true}, 2));
  Succeed(Pending(2), 0x300, !GetParam());
  ASSERT_TRUE(recorder_.WaitCompletions(2));
  End();
  EXPECT_EQ(recorder_.Errors(), (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ("hello", local_.Read("pending.bin"));
  // Each handle closed once, the file's before its session's: none taken from a result word.
  EXPECT_EQ(script_.closed, (std::vector<HINTERNET>{H(0x300), H(0x200), H(0x100)}));
}

INSTANTIATE_TEST_SUITE_P(CreatedFirstOrLast, PendingCallsTest, ::testing::Bool());

TEST_F(PendingCallsTest, CloseWhilePendingClosesEachHandleOnceChildrenFirst) {
  // A pending connect whose handle was announced: the close closes that handle, and the
  // call's cancelled completion closes nothing more.
  FtpHandle first = FtpConnectAsync(root_, "127.0.0.1", 21, "user", "secret", 1);
  const DWORD_PTR connect = Pending(1);
  Deliver(connect, INTERNET_STATUS_HANDLE_CREATED, 0x200);
  FtpCloseHandle(first);
  ASSERT_TRUE(script_.WaitFor([&] { return script_.closed.size() == 1; }));
  Deliver(connect, INTERNET_STATUS_REQUEST_COMPLETE, FALSE, ERROR_INTERNET_OPERATION_CANCELLED);

  // A pending open whose file handle was announced: that handle goes first, the session
  // when the connection's thread ends.
  FtpHandle second = FtpConnectAsync(root_, "127.0.0.1", 21, "user", "secret", 3);
  Succeed(Pending(2), 0x400, true);
  ASSERT_TRUE(recorder_.WaitCompletions(1));
  ASSERT_TRUE(FtpGetFileAsync(second, "x.bin", target_.c_str(), FtpSizeBound{5, true}, 4));
  const DWORD_PTR open = Pending(3);
  Deliver(open, INTERNET_STATUS_HANDLE_CREATED, 0x300);
  FtpCloseHandle(second);
  ASSERT_TRUE(script_.WaitFor([&] { return script_.closed.size() == 2; }));
  Deliver(open, INTERNET_STATUS_REQUEST_COMPLETE, FALSE, ERROR_INTERNET_OPERATION_CANCELLED);
  End();
  EXPECT_EQ(script_.closed, (std::vector<HINTERNET>{H(0x200), H(0x300), H(0x400), H(0x100)}));
  EXPECT_EQ(recorder_.Errors(), (std::vector<uint32_t>{0}));  // only the second connect's
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(target_.c_str()));
}

}  // namespace
