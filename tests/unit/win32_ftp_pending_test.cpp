// The WinINet client on the asynchronous paths that Wine never takes, against a scripted
// WinINet (the table of wininet_calls.h): a connect and an open that go pending, whose
// HANDLE_CREATED and REQUEST_COMPLETE the test delivers in either order, and a close
// while they are pending. The handles must come from HANDLE_CREATED (the completion's
// result word is only TRUE) and each must be closed exactly once, children first.
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ftp.h"
#include "platform/win32/wininet_calls.h"

namespace {

using namespace plat;

const HINTERNET kRoot = reinterpret_cast<HINTERNET>(0x100);
const HINTERNET kSession = reinterpret_cast<HINTERNET>(0x200);
const HINTERNET kFile = reinterpret_cast<HINTERNET>(0x300);

// What the scripted WinINet was asked, and what the client reported to its user.
struct Script {
  std::mutex mu;
  std::condition_variable cv;
  INTERNET_STATUS_CALLBACK callback = nullptr;
  std::vector<DWORD_PTR> pending;  // the context of each call that went pending
  std::vector<HINTERNET> closed;   // in order
  std::vector<FtpAsyncResult> completions;
  std::string data = "hello";
  size_t offset = 0;
  bool readOnOtherHandle = false;

  template <typename Done>
  bool WaitFor(Done done) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(20), done);
  }
};
Script* g_script = nullptr;

HINTERNET WINAPI Open(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD) { return kRoot; }
INTERNET_STATUS_CALLBACK WINAPI SetCallback(HINTERNET, INTERNET_STATUS_CALLBACK callback) {
  g_script->callback = callback;
  return nullptr;
}
// The connect and the open go pending.
HINTERNET GoPending(DWORD_PTR context) {
  {
    std::lock_guard<std::mutex> lock(g_script->mu);
    g_script->pending.push_back(context);
  }
  g_script->cv.notify_all();
  SetLastError(ERROR_IO_PENDING);
  return nullptr;
}
HINTERNET WINAPI Connect(HINTERNET, LPCSTR, INTERNET_PORT, LPCSTR, LPCSTR, DWORD, DWORD, DWORD_PTR context) {
  return GoPending(context);
}
HINTERNET WINAPI OpenFile(HINTERNET, LPCSTR, DWORD, DWORD, DWORD_PTR context) { return GoPending(context); }
BOOL WINAPI Command(HINTERNET, BOOL, DWORD, LPCSTR, DWORD_PTR, HINTERNET*) { return TRUE; }
BOOL WINAPI QueryAvailable(HINTERNET file, LPDWORD available, DWORD, DWORD_PTR) {
  std::lock_guard<std::mutex> lock(g_script->mu);
  g_script->readOnOtherHandle |= file != kFile;
  *available = static_cast<DWORD>(g_script->data.size() - g_script->offset);
  return TRUE;
}
BOOL WINAPI Read(HINTERNET file, LPVOID buffer, DWORD want, LPDWORD got) {
  std::lock_guard<std::mutex> lock(g_script->mu);
  g_script->readOnOtherHandle |= file != kFile;
  *got = static_cast<DWORD>(std::min<size_t>(want, g_script->data.size() - g_script->offset));
  std::memcpy(buffer, g_script->data.data() + g_script->offset, *got);
  g_script->offset += *got;
  return TRUE;
}
BOOL WINAPI QueryOption(HINTERNET, DWORD, LPVOID, LPDWORD) {
  SetLastError(ERROR_INTERNET_ITEM_NOT_FOUND);
  return FALSE;
}
// The reply to SIZE, on the thread that sent it.
BOOL WINAPI LastResponse(LPDWORD code, LPSTR text, LPDWORD length) {
  *code = 0;
  std::snprintf(text, *length, "213 5");
  *length = 5;
  return TRUE;
}
BOOL WINAPI DeleteEntry(LPCSTR) { return FALSE; }
BOOL WINAPI Close(HINTERNET handle) {
  std::lock_guard<std::mutex> lock(g_script->mu);
  g_script->closed.push_back(handle);
  g_script->cv.notify_all();
  return TRUE;
}

void PLAT_CALLBACK Record(FtpHandle, uintptr_t, uint32_t status, void* info, uint32_t) {
  if (status != kFtpRequestComplete) return;
  std::lock_guard<std::mutex> lock(g_script->mu);
  g_script->completions.push_back(*static_cast<FtpAsyncResult*>(info));
  g_script->cv.notify_all();
}

class PendingCallsTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    g_script = &script_;
    saved_ = WinInet();
    WinInet() = WinInetCalls{Open, SetCallback,  Connect,      OpenFile,    Command, QueryAvailable,
                             Read, QueryOption, LastResponse, DeleteEntry, Close};
    root_ = FtpOpenRoot("VornAuthPatch");
    ASSERT_NE(nullptr, root_);
    FtpSetStatusCallback(root_, Record);
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    target_ = std::string(dir) + "zd-pending-" + std::to_string(GetCurrentProcessId()) + ".bin";
  }
  void TearDown() override {
    FtpShutdown();
    WinInet() = saved_;
    DeleteFileA(target_.c_str());
    g_script = nullptr;
  }

  // The context of the n-th call that went pending (from 1).
  DWORD_PTR Pending(size_t n) {
    EXPECT_TRUE(script_.WaitFor([&] { return script_.pending.size() >= n; }));
    std::lock_guard<std::mutex> lock(script_.mu);
    return script_.pending.size() >= n ? script_.pending[n - 1] : 0;
  }
  void Deliver(DWORD_PTR context, DWORD status, DWORD_PTR result, DWORD error) {
    INTERNET_ASYNC_RESULT r{result, error};
    script_.callback(kRoot, context, status, &r, sizeof r);
  }
  // A pending call that made `handle` succeeds; the completion carries TRUE.
  void Succeed(DWORD_PTR context, HINTERNET handle, bool createdFirst) {
    if (createdFirst) Deliver(context, INTERNET_STATUS_HANDLE_CREATED, reinterpret_cast<DWORD_PTR>(handle), 0);
    Deliver(context, INTERNET_STATUS_REQUEST_COMPLETE, TRUE, 0);
    if (!createdFirst) Deliver(context, INTERNET_STATUS_HANDLE_CREATED, reinterpret_cast<DWORD_PTR>(handle), 0);
  }
  bool Completions(size_t n) {
    return script_.WaitFor([&] { return script_.completions.size() >= n; });
  }
  uint32_t ErrorOf(size_t i) {
    std::lock_guard<std::mutex> lock(script_.mu);
    return script_.completions.at(i).error;
  }
  std::vector<HINTERNET> Closed() {
    std::lock_guard<std::mutex> lock(script_.mu);
    return script_.closed;
  }

  Script script_;
  WinInetCalls saved_{};
  FtpHandle root_ = nullptr;
  std::string target_;
};

TEST_P(PendingCallsTest, HandlesComeFromHandleCreatedInEitherOrder) {
  const bool createdFirst = GetParam();
  FtpHandle conn = FtpConnectAsync(root_, "127.0.0.1", 21, "user", "secret", 1);
  Succeed(Pending(1), kSession, createdFirst);
  ASSERT_TRUE(Completions(1));
  EXPECT_EQ(0u, ErrorOf(0));

  ASSERT_TRUE(FtpGetFileAsync(conn, "x.bin", target_.c_str(), 2));
  Succeed(Pending(2), kFile, !createdFirst);
  ASSERT_TRUE(Completions(2));
  EXPECT_EQ(0u, ErrorOf(1));
  EXPECT_FALSE(script_.readOnOtherHandle);
  std::ifstream in(target_, std::ios::binary);
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_EQ("hello", got.str());

  FtpCloseHandle(root_);
  FtpShutdown();
  EXPECT_EQ(Closed(), (std::vector<HINTERNET>{kFile, kSession, kRoot}));
}

INSTANTIATE_TEST_SUITE_P(CreatedFirstOrLast, PendingCallsTest, ::testing::Bool());

TEST_F(PendingCallsTest, CloseWhilePendingClosesEachHandleOnceChildrenFirst) {
  // A connect whose handle has been announced: closing the connection closes it, and the
  // call's completion (cancelled) closes nothing more.
  FtpHandle first = FtpConnectAsync(root_, "127.0.0.1", 21, "user", "secret", 1);
  const DWORD_PTR connect = Pending(1);
  Deliver(connect, INTERNET_STATUS_HANDLE_CREATED, reinterpret_cast<DWORD_PTR>(kSession), 0);
  FtpCloseHandle(first);
  ASSERT_TRUE(script_.WaitFor([&] { return !script_.closed.empty(); }));
  Deliver(connect, INTERNET_STATUS_REQUEST_COMPLETE, FALSE, ERROR_INTERNET_OPERATION_CANCELLED);

  // An open whose file handle has been announced: that handle goes first, the session
  // when the connection's thread ends.
  const HINTERNET otherSession = reinterpret_cast<HINTERNET>(0x400);
  FtpHandle second = FtpConnectAsync(root_, "127.0.0.1", 21, "user", "secret", 3);
  Succeed(Pending(2), otherSession, true);
  ASSERT_TRUE(Completions(1));
  ASSERT_TRUE(FtpGetFileAsync(second, "x.bin", target_.c_str(), 4));
  const DWORD_PTR open = Pending(3);
  Deliver(open, INTERNET_STATUS_HANDLE_CREATED, reinterpret_cast<DWORD_PTR>(kFile), 0);
  FtpCloseHandle(second);
  ASSERT_TRUE(script_.WaitFor([&] { return script_.closed.size() >= 2; }));
  Deliver(open, INTERNET_STATUS_REQUEST_COMPLETE, FALSE, ERROR_INTERNET_OPERATION_CANCELLED);

  FtpCloseHandle(root_);
  FtpShutdown();
  EXPECT_EQ(Closed(), (std::vector<HINTERNET>{kSession, kFile, otherSession, kRoot}));
  // The client's threads have ended: the second connect's completion was the only one.
  std::lock_guard<std::mutex> lock(script_.mu);
  EXPECT_EQ(1u, script_.completions.size());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(target_.c_str()));
}

}  // namespace
