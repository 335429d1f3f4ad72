// The FTP client as platform/ftp.h promises it, against a real server (pyftpdlib,
// tests/support/ftp_server.py), run against whichever client this build has: libcurl on
// Linux, WinINet under Wine. Where the two meet the server differently, the fixture's
// ClientTraits() says how.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/ftp.h"
#include "platform/ftp_transport.h"
#include "support/ftp_recorder.h"
#include "support/ftp_server.h"
#include "support/scratch.h"
#include "support/silent_server.h"

namespace {

using namespace plat;
using zdtest::ClientTraits;
using zdtest::FtpFaults;
using zdtest::FtpServerFixture;
using Clock = std::chrono::steady_clock;

using Event = zdtest::FtpEvent;

// The contexts of the connects and of the downloads.
constexpr uintptr_t kConnect = 0xc0;
constexpr uintptr_t kDownload = 0xd0;

// A ceiling far above every file of these tests, for the downloads whose bound is not
// what they are about.
constexpr FtpSizeBound kLoose{1u << 30, false};

FtpFaults Faults(const std::function<void(FtpFaults&)>& set) {
  FtpFaults f;
  set(f);
  return f;
}

std::vector<std::string> Joined(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

uintptr_t Token(FtpHandle handle) { return reinterpret_cast<uintptr_t>(handle); }

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
  return FtpServerFixture::WaitFor(condition, timeoutMs);
}

class FtpClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new FtpServerFixture(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server_->ok());
    // Let the server finish with the connections of the tests before.
    WaitFor([] { return server_->Connections() == server_->Disconnections(); }, 5000);
    server_->ClearFaults();
    root_ = FtpOpenRoot("VornAuthPatch");
    ASSERT_NE(nullptr, root_);
    FtpSetStatusCallback(root_, zdtest::FtpRecorder::Callback);
  }

  void TearDown() override {
    if (root_ != nullptr) FtpCloseHandle(root_);
    EXPECT_TRUE(WaitFor([] { return FtpCallbacksInFlight() == 0; }));
    FtpShutdown();
    FtpSetTimeLimits(FtpDefaultTimeLimits());
    server_->ClearFaults();
  }

  FtpHandle Connect(uint16_t port = 0, const char* password = nullptr) {
    return FtpConnectAsync(root_, "127.0.0.1", port != 0 ? port : server_->port(), server_->user().c_str(),
                           password != nullptr ? password : server_->password().c_str(), kConnect);
  }

  // Connects and waits for the log-on to succeed.
  FtpHandle ConnectReady() {
    const size_t done = recorder_.Count(kFtpRequestComplete);
    FtpHandle c = Connect();
    EXPECT_NE(nullptr, c);
    EXPECT_TRUE(recorder_.WaitCompletions(done + 1));
    EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
    return c;
  }

  bool Get(FtpHandle c, const char* remote, const std::string& local, FtpSizeBound bound = kLoose) {
    return FtpGetFileAsync(c, remote, local.c_str(), bound, kDownload);
  }

  // A connection whose download of a 400 kB file at 20 kB/s into `local` has reported
  // data twice (data is reported as it arrives, not at the end).
  FtpHandle SlowDownload(const std::string& local) {
    server_->WritePatternFile("slow.bin", 400000);
    server_->SetFaults(Faults([](FtpFaults& f) { f.rate = 20000; }));
    FtpHandle c = ConnectReady();
    const size_t reports = recorder_.Count(kFtpResponseReceived);
    EXPECT_TRUE(Get(c, "slow.bin", local));
    EXPECT_TRUE(recorder_.WaitCount(kFtpResponseReceived, reports + 2));
    return c;
  }

  // The client's temporary files.
  int TempFiles() const { return local_.NamesContaining(".part"); }

  static FtpServerFixture* server_;
  zdtest::FtpRecorder recorder_;
  FtpHandle root_ = nullptr;
  zdtest::Scratch local_;
};

FtpServerFixture* FtpClientTest::server_ = nullptr;

TEST_F(FtpClientTest, ConnectReportsResolvingCreatedCompleteInOrderAndCloseEndsIt) {
  const int before = server_->Connections();
  FtpHandle c = Connect();
  ASSERT_NE(nullptr, c);
  ASSERT_TRUE(recorder_.WaitCompletions(1));

  std::vector<Event> events = recorder_.Events();
  ASSERT_EQ(3u, events.size());
  EXPECT_EQ(kFtpResolvingName, events[0].status);
  EXPECT_EQ(kFtpHandleCreated, events[1].status);
  EXPECT_EQ(Token(c), events[1].result);
  EXPECT_EQ(kFtpRequestComplete, events[2].status);
  EXPECT_EQ(0u, events[2].error);
  EXPECT_EQ(Token(c), events[2].result);
  for (const Event& e : events) {
    EXPECT_EQ(c, e.handle);
    EXPECT_EQ(kConnect, e.context);
    EXPECT_NE(std::this_thread::get_id(), e.thread);
  }
  // One log-on, nothing transferred.
  std::vector<int> ids = server_->LoggedOnSince(before);
  ASSERT_EQ(1u, ids.size());
  EXPECT_EQ(ClientTraits().logOn, server_->CommandsOf(ids[0]));

  // Closing an idle connection ends it.
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_TRUE(WaitFor([&] { return server_->Disconnected(ids[0]); }));
  EXPECT_EQ(Joined({ClientTraits().logOn, ClientTraits().close}), server_->CommandsOf(ids[0]));
  EXPECT_EQ(1u, recorder_.Count(kFtpRequestComplete));
  EXPECT_EQ(3u, recorder_.Events().size());
}

TEST_F(FtpClientTest, ConnectFailuresCompleteWithTheirCodes) {
  zdtest::RefusingPort refusing;
  struct Case {
    const char* name;
    std::function<FtpHandle()> connect;
    uint32_t error;
  };
  const std::vector<Case> cases = {
      {"wrong password", [&] { return Connect(0, "not-the-password"); }, kFtpErrorLoginFailure},
      {"connection refused", [&] { return Connect(refusing.port()); }, kFtpErrorCannotConnect},
      {"name not resolved",
       [&] { return FtpConnectAsync(root_, "no-such-host.invalid", 21, "u", "p", kConnect); },
       kFtpErrorNameNotResolved},
      {"host that is not a host name",
       [&] { return FtpConnectAsync(root_, "127.0.0.1/x@y", server_->port(), "u", "p", kConnect); },
       kFtpErrorInvalidUrl},
  };
  size_t seen = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    FtpHandle c = k.connect();
    ASSERT_NE(nullptr, c);
    ASSERT_TRUE(recorder_.WaitCompletions(seen + 1, 30000));
    seen++;
    EXPECT_EQ(k.error, recorder_.Last(kFtpRequestComplete).error);
    EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).result);
    // Still announced first, so the caller learns the handle it has to close.
    EXPECT_EQ(seen, recorder_.Count(kFtpResolvingName));
    EXPECT_EQ(seen, recorder_.Count(kFtpHandleCreated));
    EXPECT_EQ(c, recorder_.Last(kFtpHandleCreated).handle);
    // A failed connection cannot download.
    EXPECT_FALSE(Get(c, "a", local_.Path("a")));
    EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
    EXPECT_TRUE(FtpCloseHandle(c));
  }

  // A refused log-on through the server's fault: the server saw the attempt.
  const int logons = server_->Logons();
  server_->SetFaults(Faults([](FtpFaults& f) { f.refuseLogin = true; }));
  ASSERT_NE(nullptr, Connect());
  ASSERT_TRUE(recorder_.WaitCompletions(seen + 1));
  EXPECT_EQ(kFtpErrorLoginFailure, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_EQ(logons + 1, server_->Logons());
  EXPECT_EQ(seen + 1, recorder_.Count(kFtpRequestComplete));
}

TEST_F(FtpClientTest, DownloadRunsOnTheLoggedOnConnectionAndReplacesTheTargetWhole) {
  const long long size = 3 * 1024 * 1024 + 17;
  server_->WritePatternFile("patch/data/big.bin", size);
  const int before = server_->Connections();
  FtpHandle c = ConnectReady();
  const std::string target = local_.Write("big.bin", "old contents");

  ASSERT_TRUE(Get(c, "patch/data/big.bin", target));
  ASSERT_TRUE(recorder_.WaitCompletions(2, 30000));
  Event done = recorder_.Last(kFtpRequestComplete);
  EXPECT_EQ(0u, done.error);
  EXPECT_EQ(1u, done.result);
  EXPECT_EQ(kDownload, done.context);
  EXPECT_EQ(c, done.handle);

  const std::string got = local_.Read("big.bin");
  ASSERT_EQ(static_cast<size_t>(size), got.size());
  bool same = true;
  for (long long i = 0; i < size && same; ++i) same = got[static_cast<size_t>(i)] == FtpServerFixture::PatternByte(i);
  EXPECT_TRUE(same);
  // The data bytes (not control replies), with the download's context, all before the
  // completion.
  EXPECT_EQ(static_cast<uint64_t>(size), recorder_.BytesFor(kDownload));
  EXPECT_EQ(kFtpRequestComplete, recorder_.Events().back().status);
  EXPECT_EQ(0, TempFiles());

  // One connection, one log-on, and the download on it, in image type.
  std::vector<int> ids = server_->LoggedOnSince(before);
  ASSERT_EQ(1u, ids.size());
  EXPECT_EQ(Joined({ClientTraits().logOn, ClientTraits().download}), server_->CommandsOf(ids[0]));
  EXPECT_EQ("patch/data/big.bin", server_->LastArgument(ids[0], "RETR"));
  EXPECT_EQ("I", server_->LastArgument(ids[0], "TYPE"));

  // Only one operation at a time.
  server_->WriteFile("small.txt", "small\n");
  server_->SetFaults(Faults([](FtpFaults& f) { f.rate = 4000; }));
  ASSERT_TRUE(Get(c, "patch/data/big.bin", local_.Path("again.bin")));
  EXPECT_FALSE(Get(c, "small.txt", local_.Path("small.txt")));
  EXPECT_EQ(kFtpErrorTransferInProgress, LastErrorCode());
  EXPECT_FALSE(local_.Exists("small.txt"));
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_FALSE(FtpCloseHandle(c));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_FALSE(Get(c, "small.txt", local_.Path("small.txt")));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
}

TEST_F(FtpClientTest, RemotePathsGoToTheServerVerbatim) {
  const std::string odd = ClientTraits().oddName;
  server_->WriteFile("patch/rel.txt", "relative\r\nline\n");
  server_->WriteFile(odd, "odd\nname\n");
  server_->WriteFile("empty.dat", "");
  const int before = server_->Connections();
  FtpHandle c = ConnectReady();
  ASSERT_EQ(1u, server_->LoggedOnSince(before).size());
  const int id = server_->LoggedOnSince(before)[0];

  struct Case {
    std::string remote;
    const char* contents;
  };
  const Case cases[] = {
      {"patch/rel.txt", "relative\r\nline\n"},
      {"/patch/rel.txt", "relative\r\nline\n"},
      {odd, "odd\nname\n"},  // image type: the bytes unchanged
      {"empty.dat", ""},
  };
  size_t completions = 1;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.remote);
    std::filesystem::remove(local_.Path("out.bin"));
    ASSERT_TRUE(Get(c, k.remote.c_str(), local_.Path("out.bin")));
    ASSERT_TRUE(recorder_.WaitCompletions(++completions));
    EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
    // An empty remote file still makes a (empty) local file.
    ASSERT_TRUE(local_.Exists("out.bin"));
    EXPECT_EQ(k.contents, local_.Read("out.bin"));
    EXPECT_EQ(k.remote, server_->LastArgument(id, "RETR"));
  }
  // All on the one connection and log-on.
  EXPECT_EQ(std::vector<int>{id}, server_->LoggedOnSince(before));
  std::vector<std::string> cmds = server_->CommandsOf(id);
  EXPECT_EQ(1, static_cast<int>(std::count(cmds.begin(), cmds.end(), "PASS")));
  EXPECT_EQ(0, TempFiles());

  // Paths that cannot name a file are refused at once.
  for (const char* bad : {"", "dir/", "a\r\nDELE b"}) {
    EXPECT_FALSE(Get(c, bad, local_.Path("x"))) << bad;
    EXPECT_EQ(kFtpErrorInvalidUrl, LastErrorCode());
  }
  // So is a local file that cannot be created, with the system's reason.
  EXPECT_FALSE(Get(c, "empty.dat", local_.Path("no/such/dir/x")));
  EXPECT_EQ(ClientTraits().missingDirectory, LastErrorCode());
  EXPECT_EQ(completions, recorder_.Count(kFtpRequestComplete));
}

TEST_F(FtpClientTest, FailedDownloadLeavesTheOldTargetAlone) {
  FtpHandle c = ConnectReady();
  const std::string target = local_.Write("kept.bin", "old contents");
  // Absent on the server: the target stays as it was, and none appears for a new one.
  size_t completions = 1;
  for (const std::string& local : {target, local_.Path("missing.bin")}) {
    ASSERT_TRUE(Get(c, "patch/not-there.bin", local));
    ASSERT_TRUE(recorder_.WaitCompletions(++completions));
    EXPECT_EQ(kFtpErrorTransferFailed, recorder_.Last(kFtpRequestComplete).error);
    EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).result);
  }
  EXPECT_EQ("old contents", local_.Read("kept.bin"));
  EXPECT_FALSE(local_.Exists("missing.bin"));

  // The connection is still usable after a refused file.
  server_->WriteFile("there.txt", "here\r\n");
  ASSERT_TRUE(Get(c, "there.txt", target));
  ASSERT_TRUE(recorder_.WaitCompletions(++completions));
  EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_EQ("here\r\n", local_.Read("kept.bin"));

  // Cut short while the server answers 226, its size asked with SIZE or stated in the
  // reply that opened the transfer; and sent whole but refused by the closing reply:
  // each fails, and the target stays.
  server_->WritePatternFile("cut.bin", 400000);
  struct Case {
    const char* name;
    FtpFaults faults;
    bool refused;
  };
  const Case cases[] = {
      {"cut", Faults([](FtpFaults& f) { f.cutAfter = 200000; }), false},
      {"cut, size stated", Faults([](FtpFaults& f) { f.cutAfter = 200000, f.announce = true; }), false},
      {"refused with 426", Faults([](FtpFaults& f) { f.finalReply = 426; }), true},
      {"refused with 451", Faults([](FtpFaults& f) { f.finalReply = 451; }), true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const int sizes = server_->CommandCount("SIZE");
    server_->SetFaults(k.faults);
    ASSERT_TRUE(Get(c, "cut.bin", target));
    ASSERT_TRUE(recorder_.WaitCompletions(++completions));
    const uint32_t error = recorder_.Last(kFtpRequestComplete).error;
    const std::vector<uint32_t> allowed = k.refused ? ClientTraits().refused : std::vector<uint32_t>{kFtpErrorConnectionAborted};
    EXPECT_NE(allowed.end(), std::find(allowed.begin(), allowed.end(), error)) << error;
    EXPECT_TRUE(local_.Read("kept.bin") == "here\r\n");  // not the cut file (too long to print)
    EXPECT_EQ(0, TempFiles());
    const bool sizeSaved = ClientTraits().sizeOnlyWhenNeeded && (k.faults.announce || k.refused);
    EXPECT_EQ(sizeSaved ? 0 : 1, server_->CommandCount("SIZE") - sizes);
  }
}

// The fixture's faults can single out one file, or the log-ons after the first few, as
// whole patch runs need (the list arrives, a later file does not).
TEST_F(FtpClientTest, FaultsCanTargetOneFileOrLaterLogons) {
  server_->WritePatternFile("pick/a.bin", 20000);
  server_->WritePatternFile("pick/b.bin", 20000);
  server_->SetFaults(Faults([](FtpFaults& f) {
    f.cutAfter = 100;
    f.path = "pick/b.bin";
  }));
  FtpHandle c = ConnectReady();
  ASSERT_TRUE(Get(c, "pick/a.bin", local_.Path("a.bin")));
  ASSERT_TRUE(recorder_.WaitCompletions(2));
  EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_EQ(20000u, local_.Read("a.bin").size());
  ASSERT_TRUE(Get(c, "/pick/b.bin", local_.Path("b.bin")));
  ASSERT_TRUE(recorder_.WaitCompletions(3));
  EXPECT_EQ(kFtpErrorConnectionAborted, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_FALSE(local_.Exists("b.bin"));
  FtpCloseHandle(c);

  const int allowed = server_->SuccessfulLogons() + 1;
  server_->SetFaults(Faults([&](FtpFaults& f) { f.loginsAllowed = allowed; }));
  FtpHandle first = Connect();
  ASSERT_TRUE(recorder_.WaitCompletions(4));
  EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
  FtpCloseHandle(first);
  ASSERT_NE(nullptr, Connect());
  ASSERT_TRUE(recorder_.WaitCompletions(5));
  EXPECT_EQ(kFtpErrorLoginFailure, recorder_.Last(kFtpRequestComplete).error);
}

// The caller's bound holds whatever the server says of the size: a file one byte
// longer than an exact bound, or data without end while SIZE and the opening reply claim
// 2 GiB, is broken off at the bound and nothing past it is written or reported; a file
// that ends short of an exact bound fails too, although SIZE agrees with it. The old
// target stays each time. A transfer broken off leaves its connection dead, and the
// client ends that connection itself, without waiting for the caller's close.
TEST_F(FtpClientTest, ADownloadNeverGoesPastItsBound) {
  const uint64_t size = 100000;
  server_->WritePatternFile("bound/a.bin", static_cast<long long>(size));
  const FtpFaults plain;
  const FtpFaults endless = Faults([](FtpFaults& f) {
    f.claimSize = 1LL << 31;
    f.announce = true;
    f.endless = true;
    f.rate = 1 << 20;  // a client that failed to break off would still stop at the deadline
  });
  struct Case {
    const char* name;
    FtpSizeBound bound;
    FtpFaults faults;
    uint32_t error;
    bool brokenOff;
  };
  const Case cases[] = {
      {"ends short of an exact bound", {size + 1, true}, plain, kFtpErrorWrongSize, false},
      {"one byte past an exact bound", {size - 1, true}, plain, kFtpErrorWrongSize, true},
      {"endless, 2 GiB claimed, exact bound", {size, true}, endless, kFtpErrorWrongSize, true},
      {"endless, under a ceiling", {4 * size, false}, endless, kFtpErrorWrongSize, true},
      {"within a ceiling", {4 * size, false}, plain, 0, false},
      {"exactly its bound", {size, true}, plain, 0, false},
  };
  size_t completions = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    local_.Write("a.bin", "old contents");
    server_->SetFaults(k.faults);
    const int before = server_->Connections();
    FtpHandle c = ConnectReady();
    ASSERT_EQ(1u, server_->LoggedOnSince(before).size());
    const int id = server_->LoggedOnSince(before)[0];
    const uint64_t reported = recorder_.BytesFor(kDownload);
    ASSERT_TRUE(Get(c, "bound/a.bin", local_.Path("a.bin"), k.bound));
    completions += 2;
    ASSERT_TRUE(recorder_.WaitCompletions(completions));
    EXPECT_EQ(k.error, recorder_.Last(kFtpRequestComplete).error);
    EXPECT_LE(recorder_.BytesFor(kDownload) - reported, k.bound.limit);
    if (k.error == 0) {
      EXPECT_EQ(size, local_.Read("a.bin").size());
    } else {
      EXPECT_EQ("old contents", local_.Read("a.bin"));
    }
    EXPECT_EQ(0, TempFiles());
    if (k.brokenOff) {
      EXPECT_TRUE(WaitFor([&] { return server_->Disconnected(id); }));
      EXPECT_FALSE(Get(c, "bound/a.bin", local_.Path("a.bin"), k.bound));
      EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
    }
    EXPECT_TRUE(FtpCloseHandle(c));
  }
}

// An adapter's time limit that runs out just as its operation ends must not end the
// connection's next operation: the abort names the operation it was set for
// (ftp_transport.h), and one for an operation that has ended does nothing.
TEST_F(FtpClientTest, AnAbortMeantForAnEndedOperationEndsNothing) {
  server_->WriteFile("ops/a.txt", "alpha");
  server_->WritePatternFile("ops/slow.bin", 400000);
  FtpHandle c = ConnectReady();  // operation 1
  ASSERT_TRUE(Get(c, "ops/a.txt", local_.Path("a.txt")));  // operation 2
  ASSERT_TRUE(recorder_.WaitCompletions(2));
  ASSERT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
  server_->SetFaults(Faults([](FtpFaults& f) { f.rate = 20000; }));
  ASSERT_TRUE(Get(c, "ops/slow.bin", local_.Path("slow.bin")));  // operation 3, 20 s long
  ASSERT_TRUE(recorder_.WaitCount(kFtpResponseReceived, recorder_.Count(kFtpResponseReceived) + 1));

  ftp::AbortOperation(Token(c), 2, kFtpErrorTimeout);
  ftp::AbortOperation(Token(c), 1, kFtpErrorTimeout);
  EXPECT_EQ(2u, recorder_.Count(kFtpRequestComplete));
  EXPECT_FALSE(Get(c, "ops/a.txt", local_.Path("b.txt")));  // still busy with the download
  EXPECT_EQ(kFtpErrorTransferInProgress, LastErrorCode());

  // The abort meant for the running download ends it.
  ftp::AbortOperation(Token(c), 3, kFtpErrorTimeout);
  ASSERT_TRUE(recorder_.WaitCompletions(3));
  EXPECT_EQ(kFtpErrorTimeout, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_FALSE(local_.Exists("slow.bin"));
  EXPECT_EQ(0, TempFiles());
  EXPECT_TRUE(FtpCloseHandle(c));
}

TEST_F(FtpClientTest, ClosingAConnectionOrItsRootDuringADownloadIsQuickAndFinal) {
  const int before = server_->Connections();
  FtpHandle c = SlowDownload(local_.Write("slow.bin", "old contents"));
  ASSERT_EQ(1u, server_->LoggedOnSince(before).size());
  const int id = server_->LoggedOnSince(before)[0];

  auto start = Clock::now();
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(ClientTraits().closeMs));
  size_t eventsAtClose = recorder_.Events().size();

  // The connection is dropped (the server sees it end) and nothing more is reported.
  EXPECT_TRUE(WaitFor([&] { return server_->Disconnected(id); }));
  EXPECT_TRUE(WaitFor([] { return FtpCallbacksInFlight() == 0; }));
  EXPECT_TRUE(FtpCloseHandle(root_));  // the client is shut down with every root closed
  FtpShutdown();  // waits for the connection's thread: it has finished with the handle
  EXPECT_EQ(eventsAtClose, recorder_.Events().size());
  EXPECT_EQ(1u, recorder_.Count(kFtpRequestComplete));
  EXPECT_EQ("old contents", local_.Read("slow.bin"));
  EXPECT_EQ(0, TempFiles());

  // Closing the root closes its connections.
  root_ = FtpOpenRoot("VornAuthPatch");
  FtpSetStatusCallback(root_, zdtest::FtpRecorder::Callback);
  c = SlowDownload(local_.Path("new.bin"));
  EXPECT_TRUE(FtpCloseHandle(root_));
  root_ = nullptr;
  eventsAtClose = recorder_.Events().size();
  EXPECT_FALSE(FtpCloseHandle(c));  // already closed with its root
  FtpShutdown();
  EXPECT_EQ(eventsAtClose, recorder_.Events().size());
  EXPECT_FALSE(local_.Exists("new.bin"));
  EXPECT_EQ(0, TempFiles());
}

TEST_F(FtpClientTest, CloseWhileACallbackIsBlockedDoesNotWaitForIt) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  recorder_.SetHook([&](const Event& e) {
    if (e.status != kFtpHandleCreated) return;
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return release; });  // like a handler blocked on the UI thread
  });
  FtpHandle c = Connect();
  ASSERT_NE(nullptr, c);
  // The handle-created handler is the one blocked; the name resolution's handler may be
  // the one in flight a moment earlier, so its count alone does not say which.
  ASSERT_TRUE(recorder_.WaitCount(kFtpHandleCreated, 1));
  ASSERT_TRUE(WaitFor([] { return FtpCallbacksInFlight() == 1; }));

  auto start = Clock::now();
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(ClientTraits().closeMs));
  EXPECT_EQ(1, FtpCallbacksInFlight());  // the running callback is left to finish
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  EXPECT_TRUE(WaitFor([] { return FtpCallbacksInFlight() == 0; }));
  EXPECT_TRUE(FtpCloseHandle(root_));  // the client is shut down with every root closed
  root_ = nullptr;
  FtpShutdown();
  EXPECT_EQ(0u, recorder_.Count(kFtpRequestComplete));
  EXPECT_EQ(2u, recorder_.Events().size());
}

TEST_F(FtpClientTest, CloseFromInsideACallbackStopsTheRestAtOnce) {
  // Resolving name and handle created come back to back: a close in the first must
  // keep the second from being reported.
  recorder_.SetHook([](const Event& e) {
    if (e.status == kFtpResolvingName) FtpCloseHandle(e.handle);
  });
  ASSERT_NE(nullptr, Connect());
  ASSERT_TRUE(recorder_.WaitCount(kFtpResolvingName, 1));
  EXPECT_TRUE(WaitFor([] { return FtpCallbacksInFlight() == 0; }));
  EXPECT_TRUE(FtpCloseHandle(root_));  // the client is shut down with every root closed
  root_ = nullptr;
  FtpShutdown();
  ASSERT_EQ(1u, recorder_.Events().size());
}

// The way the patch run uses the client: every step is issued from the notification
// of the one before, and every file gets a connection of its own.
TEST_F(FtpClientTest, ChainedFromCallbacksOneLogonPerConnection) {
  const int files = 3;
  for (int i = 0; i < files; ++i) server_->WriteFile("chain/f" + std::to_string(i), std::string(100 + i, 'a' + i));
  const int before = server_->Connections();
  const int retrs = server_->Retrs();

  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  std::atomic<bool> finished{false};
  recorder_.SetHook([&](const Event& e) {
    if (e.status != kFtpRequestComplete) return;
    if (e.error != 0) {
      failed = true;
      return;
    }
    const int i = next.load();
    if (e.context == kConnect) {
      const std::string remote = "chain/f" + std::to_string(i);
      if (!Get(e.handle, remote.c_str(), local_.Path("f" + std::to_string(i)))) failed = true;
    } else {
      FtpCloseHandle(e.handle);
      next = i + 1;
      if (i + 1 == files) {
        finished = true;
      } else if (Connect() == nullptr) {
        failed = true;
      }
    }
  });
  ASSERT_NE(nullptr, Connect());
  ASSERT_TRUE(WaitFor([&] { return finished.load() || failed.load(); }, 30000));
  EXPECT_FALSE(failed.load());
  for (int i = 0; i < files; ++i) EXPECT_EQ(std::string(100 + i, 'a' + i), local_.Read("f" + std::to_string(i)));
  EXPECT_EQ(retrs + files, server_->Retrs());
  // A connection and a log-on of its own for every file, ended when it is closed.
  std::vector<int> ids = server_->LoggedOnSince(before);
  ASSERT_EQ(static_cast<size_t>(files), ids.size());
  const auto& client = ClientTraits();
  for (int k = 0; k < files; ++k) {
    EXPECT_TRUE(WaitFor([&] { return server_->Disconnected(ids[k]); })) << ids[k];
    EXPECT_EQ("chain/f" + std::to_string(k), server_->LastArgument(ids[k], "RETR"));
    EXPECT_EQ(Joined({client.logOn, client.download, client.close}), server_->CommandsOf(ids[k])) << ids[k];
  }
}

TEST_F(FtpClientTest, SilentOrStalledServerEndsInATimeout) {
  FtpSetTimeLimits(FtpTimeLimits{300, 1, 1000, 1});
  {
    zdtest::SilentServer mute;  // the system accepts; nobody ever says a word
    const auto start = Clock::now();
    ASSERT_NE(nullptr, Connect(mute.port()));
    ASSERT_TRUE(recorder_.WaitCompletions(1, 10000));
    EXPECT_EQ(kFtpErrorTimeout, recorder_.Last(kFtpRequestComplete).error);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(ClientTraits().timeoutMs));
  }

  // A download that stops part-way with the data connection left open.
  server_->WritePatternFile("stall.bin", 100000);
  FtpHandle c = Connect();
  ASSERT_TRUE(recorder_.WaitCompletions(2));
  ASSERT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
  server_->SetFaults(Faults([](FtpFaults& f) { f.stallAfter = 3000; }));
  const std::string target = local_.Write("stall.bin", "old contents");
  ASSERT_TRUE(Get(c, "stall.bin", target));
  ASSERT_TRUE(recorder_.WaitCompletions(3, 15000));
  EXPECT_EQ(kFtpErrorTimeout, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_EQ(3000u, recorder_.BytesFor(kDownload));
  EXPECT_EQ("old contents", local_.Read("stall.bin"));
  EXPECT_EQ(0, TempFiles());
  // The connection is finished with; closing it reports nothing more.
  EXPECT_FALSE(Get(c, "stall.bin", target));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_EQ(3u, recorder_.Count(kFtpRequestComplete));
}

TEST_F(FtpClientTest, UnknownClosedAndBusyHandlesAreRefused) {
  FtpHandle bogus = reinterpret_cast<FtpHandle>(static_cast<uintptr_t>(0x1234));
  EXPECT_FALSE(FtpCloseHandle(bogus));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_EQ(nullptr, FtpConnectAsync(bogus, "127.0.0.1", server_->port(), "u", "p", 0));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_FALSE(FtpGetFileAsync(bogus, "a", local_.Path("a").c_str(), kLoose, 0));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  // A download asked for before the log-on has finished: the server never answers, so
  // the log-on cannot finish first however fast the client's thread is.
  zdtest::SilentServer mute;
  FtpHandle c = Connect(mute.port());
  ASSERT_NE(nullptr, c);
  EXPECT_FALSE(FtpGetFileAsync(c, "a", local_.Path("a").c_str(), kLoose, 0));
  EXPECT_EQ(kFtpErrorTransferInProgress, LastErrorCode());

  FtpHandle closedRoot = root_;
  EXPECT_TRUE(FtpCloseHandle(root_));
  root_ = nullptr;
  EXPECT_EQ(nullptr, FtpConnectAsync(closedRoot, "127.0.0.1", server_->port(), "u", "p", 0));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_FALSE(FtpGetFileAsync(c, "a", local_.Path("a").c_str(), kLoose, 0));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_FALSE(local_.Exists("a"));
  char text[128];
  EXPECT_TRUE(ErrorText(kFtpErrorTransferInProgress, text, sizeof text));
}

}  // namespace
