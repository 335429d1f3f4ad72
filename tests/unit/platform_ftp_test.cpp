// The libcurl FTP client against a real server (pyftpdlib, tests/support/ftp_server.py).
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/ftp.h"
#include "support/ftp_server.h"
#include "support/temp_tree.h"

namespace {

using namespace plat;
using zdtest::FtpFaults;
using zdtest::FtpServerFixture;
using Clock = std::chrono::steady_clock;

struct Event {
  FtpHandle handle;
  uintptr_t context;
  uint32_t status;
  uintptr_t result;
  uint32_t error;
  uint32_t bytes;
  std::thread::id thread;
};

// Collects the notifications of one root. The context of every call is a Recorder
// (or a pointer into one), so the plain callback finds its way back.
class Recorder {
 public:
  void Add(const Event& e) {
    std::function<void(const Event&)> hook;
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(e);
      hook = hook_;
    }
    cv_.notify_all();
    if (hook) hook(e);
  }
  // Runs on the client's thread for every event, after it is recorded.
  void SetHook(std::function<void(const Event&)> hook) {
    std::lock_guard<std::mutex> lock(mu_);
    hook_ = std::move(hook);
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  // Waits until `n` completions have been seen.
  bool WaitCompletions(size_t n, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return CountLocked(kFtpRequestComplete) >= n; });
  }
  bool WaitStatus(uint32_t status, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return CountLocked(status) > 0; });
  }
  size_t Count(uint32_t status) {
    std::lock_guard<std::mutex> lock(mu_);
    return CountLocked(status);
  }
  Event Last(uint32_t status) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
      if (it->status == status) return *it;
    }
    return Event{};
  }
  uint64_t BytesFor(uintptr_t context) {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t sum = 0;
    for (const Event& e : events_) {
      if (e.status == kFtpResponseReceived && e.context == context) sum += e.bytes;
    }
    return sum;
  }

 private:
  size_t CountLocked(uint32_t status) {
    size_t n = 0;
    for (const Event& e : events_) n += e.status == status;
    return n;
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
  std::function<void(const Event&)> hook_;
};

// Contexts are addresses inside one of these: the connect's and the download's differ.
struct Contexts {
  Recorder* recorder;
  char connect;
  char download;
  char download2;
};

Contexts* g_contexts = nullptr;

void StatusCallback(FtpHandle handle, uintptr_t context, uint32_t status, void* info, uint32_t length) {
  Event e{handle, context, status, 0, 0, 0, std::this_thread::get_id()};
  if ((status == kFtpHandleCreated || status == kFtpRequestComplete) && length == sizeof(FtpAsyncResult)) {
    const FtpAsyncResult* r = static_cast<const FtpAsyncResult*>(info);
    e.result = r->result;
    e.error = r->error;
  }
  if (status == kFtpResponseReceived && length == sizeof(uint32_t)) e.bytes = *static_cast<const uint32_t*>(info);
  g_contexts->recorder->Add(e);
}

FtpFaults RefuseLogin() {
  FtpFaults f;
  f.refuseLogin = true;
  return f;
}
FtpFaults CutAfter(long long bytes) {
  FtpFaults f;
  f.cutAfter = bytes;
  return f;
}
FtpFaults StallAfter(long long bytes) {
  FtpFaults f;
  f.stallAfter = bytes;
  return f;
}
FtpFaults Rate(long long bytesPerSecond) {
  FtpFaults f;
  f.rate = bytesPerSecond;
  return f;
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
    // Let the server finish with the connections of the test before.
    FtpServerFixture::WaitFor([] { return server_->Connections() == server_->Disconnections(); });
    server_->ClearFaults();
    contexts_.recorder = &recorder_;
    g_contexts = &contexts_;
    root_ = FtpOpenRoot("VornAuthPatch");
    ASSERT_NE(nullptr, root_);
    FtpSetStatusCallback(root_, StatusCallback);
  }

  void TearDown() override {
    if (root_ != nullptr) FtpCloseHandle(root_);
    EXPECT_TRUE(FtpServerFixture::WaitFor([] { return FtpCallbacksInFlight() == 0; }));
    FtpShutdown();
    FtpSetTimeLimits(FtpDefaultTimeLimits());
    g_contexts = nullptr;
  }

  uintptr_t ConnectContext() { return reinterpret_cast<uintptr_t>(&contexts_.connect); }
  uintptr_t DownloadContext() { return reinterpret_cast<uintptr_t>(&contexts_.download); }

  FtpHandle Connect(uint16_t port = 0, const char* password = nullptr) {
    return FtpConnectAsync(root_, "127.0.0.1", port != 0 ? port : server_->port(), server_->user().c_str(),
                           password != nullptr ? password : server_->password().c_str(), ConnectContext());
  }

  // Connects and waits for the log-on to succeed.
  FtpHandle ConnectReady() {
    FtpHandle c = Connect();
    EXPECT_NE(nullptr, c);
    EXPECT_TRUE(recorder_.WaitCompletions(1));
    EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
    return c;
  }

  // The connections (ids above `after`) that logged on successfully. Connections that
  // never logged on (one a previous test closed while it was still being made, which
  // the server may accept late) are not counted.
  static std::vector<int> LoggedOnSince(int after) {
    std::vector<int> ids;
    for (const zdtest::FtpLogEntry& e : server_->Log()) {
      if (e.kind == "LOGIN" && e.verb == "OK" && e.connection > after) ids.push_back(e.connection);
    }
    return ids;
  }

  static int LastConnection() { return server_->Connections(); }

  static bool Disconnected(int id) {
    for (const zdtest::FtpLogEntry& e : server_->Log()) {
      if (e.kind == "DISCONNECT" && e.connection == id) return true;
    }
    return false;
  }

  // Files in `dir` whose name contains ".part" (the client's temporary files).
  static int TempFilesIn(const std::string& dir) {
    int n = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
      while (dirent* e = ::readdir(d)) n += std::string(e->d_name).find(".part") != std::string::npos;
      ::closedir(d);
    }
    return n;
  }

  static FtpServerFixture* server_;
  Recorder recorder_;
  Contexts contexts_{};
  FtpHandle root_ = nullptr;
  zdtest::TempTree local_;
};

FtpServerFixture* FtpClientTest::server_ = nullptr;

TEST_F(FtpClientTest, ConnectReportsResolvingCreatedCompleteInOrderOnTheClientThread) {
  int before = LastConnection();
  FtpHandle c = Connect();
  ASSERT_NE(nullptr, c);
  ASSERT_TRUE(recorder_.WaitCompletions(1));

  std::vector<Event> events = recorder_.Events();
  ASSERT_EQ(3u, events.size());
  EXPECT_EQ(kFtpResolvingName, events[0].status);
  EXPECT_EQ(kFtpHandleCreated, events[1].status);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(c), events[1].result);
  EXPECT_EQ(kFtpRequestComplete, events[2].status);
  EXPECT_EQ(0u, events[2].error);
  for (const Event& e : events) {
    EXPECT_EQ(c, e.handle);
    EXPECT_EQ(ConnectContext(), e.context);
    EXPECT_NE(std::this_thread::get_id(), e.thread);
  }
  // One log-on, nothing transferred.
  std::vector<int> ids = LoggedOnSince(before);
  ASSERT_EQ(1u, ids.size());
  int id = ids[0];
  EXPECT_EQ((std::vector<std::string>{"USER", "PASS", "PWD"}), server_->CommandsOf(id));

  // Closing an idle connection ends it politely.
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_TRUE(FtpServerFixture::WaitFor([&] {
    std::vector<std::string> cmds = server_->CommandsOf(id);
    return !cmds.empty() && cmds.back() == "QUIT";
  }));
  EXPECT_EQ(1u, recorder_.Count(kFtpRequestComplete));
}

TEST_F(FtpClientTest, ConnectFailuresCompleteWithTheirCodes) {
  struct Case {
    const char* name;
    std::function<FtpHandle()> connect;
    uint32_t error;
  };
  // A bound socket that never listens: its port refuses connections and stays taken.
  int idle = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(idle, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  socklen_t len = sizeof addr;
  ::getsockname(idle, reinterpret_cast<sockaddr*>(&addr), &len);
  uint16_t deadPort = ntohs(addr.sin_port);

  std::vector<Case> cases = {
      {"wrong password", [&] { return Connect(0, "not-the-password"); }, kFtpErrorLoginFailure},
      {"connection refused", [&] { return Connect(deadPort); }, kFtpErrorCannotConnect},
      {"name not resolved",
       [&] { return FtpConnectAsync(root_, "no-such-host.invalid", 21, "u", "p", ConnectContext()); },
       kFtpErrorNameNotResolved},
      {"host that is not a host name",
       [&] { return FtpConnectAsync(root_, "127.0.0.1/x@y", server_->port(), "u", "p", ConnectContext()); },
       kFtpErrorInvalidUrl},
  };
  size_t seen = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    FtpHandle c = k.connect();
    ASSERT_NE(nullptr, c);
    ASSERT_TRUE(recorder_.WaitCompletions(seen + 1, 20000));
    seen++;
    EXPECT_EQ(k.error, recorder_.Last(kFtpRequestComplete).error);
    // Still announced first, so the caller learns the handle it has to close.
    EXPECT_EQ(seen, recorder_.Count(kFtpResolvingName));
    EXPECT_EQ(seen, recorder_.Count(kFtpHandleCreated));
    EXPECT_EQ(c, recorder_.Last(kFtpHandleCreated).handle);
    // A failed connection cannot download.
    EXPECT_FALSE(FtpGetFileAsync(c, "a", local_.Path("a").c_str(), DownloadContext()));
    EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
    EXPECT_TRUE(FtpCloseHandle(c));
  }
  ::close(idle);

  // A refused log-on through the server's fault: the server saw the attempt.
  int logons = server_->Logons();
  server_->SetFaults(RefuseLogin());
  ASSERT_NE(nullptr, Connect());
  ASSERT_TRUE(recorder_.WaitCompletions(seen + 1));
  EXPECT_EQ(kFtpErrorLoginFailure, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_EQ(logons + 1, server_->Logons());
}

TEST_F(FtpClientTest, DownloadRunsOnTheLoggedOnConnection) {
  const long long size = 3 * 1024 * 1024 + 17;
  server_->WritePatternFile("patch/data/big.bin", size);
  int before = LastConnection();
  FtpHandle c = ConnectReady();

  std::string target = local_.Path("big.bin");
  ASSERT_TRUE(FtpGetFileAsync(c, "patch/data/big.bin", target.c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCompletions(2));
  Event done = recorder_.Last(kFtpRequestComplete);
  EXPECT_EQ(0u, done.error);
  EXPECT_EQ(DownloadContext(), done.context);
  EXPECT_EQ(c, done.handle);

  std::string got = zdtest::ReadFile(target);
  ASSERT_EQ(static_cast<size_t>(size), got.size());
  bool same = true;
  for (long long i = 0; i < size && same; ++i) same = got[static_cast<size_t>(i)] == FtpServerFixture::PatternByte(i);
  EXPECT_TRUE(same);
  // Data bytes are reported, all before the completion, with the download's context.
  EXPECT_EQ(static_cast<uint64_t>(size), recorder_.BytesFor(DownloadContext()));
  std::vector<Event> events = recorder_.Events();
  EXPECT_EQ(kFtpRequestComplete, events.back().status);
  EXPECT_EQ(0, TempFilesIn(local_.root()));

  // One connection, one log-on, and the download on it.
  std::vector<int> ids = LoggedOnSince(before);
  ASSERT_EQ(1u, ids.size());
  EXPECT_EQ((std::vector<std::string>{"USER", "PASS", "PWD", "PORT", "TYPE", "SIZE", "RETR"}),
            server_->CommandsOf(ids[0]));

  // Only one operation at a time, and the connection is usable again afterwards.
  server_->WriteFile("small.txt", "small\n");
  server_->SetFaults(Rate(4000));
  ASSERT_TRUE(FtpGetFileAsync(c, "patch/data/big.bin", local_.Path("again.bin").c_str(), DownloadContext()));
  EXPECT_FALSE(FtpGetFileAsync(c, "small.txt", local_.Path("small.txt").c_str(), DownloadContext()));
  EXPECT_EQ(kFtpErrorTransferInProgress, LastErrorCode());
  EXPECT_FALSE(zdtest::FileExists(local_.Path("small.txt")));
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_FALSE(FtpCloseHandle(c));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_FALSE(FtpGetFileAsync(c, "small.txt", local_.Path("small.txt").c_str(), DownloadContext()));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
}

TEST_F(FtpClientTest, RemotePathsGoToTheServerVerbatim) {
  server_->WriteFile("patch/rel.txt", "relative\r\nline\n");
  server_->WriteFile("odd dir/a;type=a %41#?.txt", "odd\nname\n");
  server_->WriteFile("empty.dat", "");
  int before = LastConnection();
  FtpHandle c = ConnectReady();
  ASSERT_EQ(1u, LoggedOnSince(before).size());
  int id = LoggedOnSince(before)[0];

  struct Case {
    const char* remote;
    const char* contents;
  };
  const Case cases[] = {
      {"patch/rel.txt", "relative\r\nline\n"},
      {"/patch/rel.txt", "relative\r\nline\n"},
      {"odd dir/a;type=a %41#?.txt", "odd\nname\n"},  // image type: the bytes unchanged
      {"empty.dat", ""},
  };
  size_t completions = 1;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.remote);
    std::string target = local_.Path("out.bin");
    ::unlink(target.c_str());
    ASSERT_TRUE(FtpGetFileAsync(c, k.remote, target.c_str(), DownloadContext()));
    ASSERT_TRUE(recorder_.WaitCompletions(++completions));
    EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
    // An empty remote file still makes a (empty) local file.
    ASSERT_TRUE(zdtest::FileExists(target));
    EXPECT_EQ(k.contents, zdtest::ReadFile(target));
    std::string lastRetr;
    for (const zdtest::FtpLogEntry& e : server_->Log()) {
      if (e.kind == "CMD" && e.connection == id && e.verb == "RETR") lastRetr = e.argument;
    }
    EXPECT_EQ(k.remote, lastRetr);
  }
  // All on the one connection and log-on.
  EXPECT_EQ(std::vector<int>{id}, LoggedOnSince(before));
  std::vector<std::string> cmds = server_->CommandsOf(id);
  EXPECT_EQ(1, static_cast<int>(std::count(cmds.begin(), cmds.end(), "PASS")));
  EXPECT_EQ(0, TempFilesIn(local_.root()));

  // Paths that cannot name a file are refused at once.
  for (const char* bad : {"", "dir/", "a\r\nDELE b"}) {
    EXPECT_FALSE(FtpGetFileAsync(c, bad, local_.Path("x").c_str(), DownloadContext())) << bad;
    EXPECT_EQ(kFtpErrorInvalidUrl, LastErrorCode());
  }
  // So is a local file that cannot be created, with the system's reason.
  EXPECT_FALSE(FtpGetFileAsync(c, "empty.dat", local_.Path("no/such/dir/x").c_str(), DownloadContext()));
  EXPECT_EQ(static_cast<uint32_t>(ENOENT), LastErrorCode());
}

TEST_F(FtpClientTest, FailedDownloadLeavesTheOldTargetAlone) {
  server_->WritePatternFile("cut.bin", 200000);
  FtpHandle c = ConnectReady();
  std::string target = local_.Write("cut.bin", "old contents");
  std::string missing = local_.Path("missing.bin");

  // Absent on the server.
  ASSERT_TRUE(FtpGetFileAsync(c, "patch/not-there.bin", missing.c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCompletions(2));
  EXPECT_EQ(kFtpErrorTransferFailed, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_FALSE(zdtest::FileExists(missing));

  // The data connection ends early while the server claims success.
  server_->SetFaults(CutAfter(5000));
  ASSERT_TRUE(FtpGetFileAsync(c, "cut.bin", target.c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCompletions(3));
  uint32_t error = recorder_.Last(kFtpRequestComplete).error;
  EXPECT_EQ(kFtpErrorConnectionAborted, error);
  char text[128];
  EXPECT_TRUE(ErrorText(error, text, sizeof text));
  EXPECT_TRUE(zdtest::ReadFile(target) == "old contents");

  // All the data, then a closing reply that refuses the transfer.
  FtpFaults refused;
  refused.finalReply = 426;
  server_->SetFaults(refused);
  ASSERT_TRUE(FtpGetFileAsync(c, "cut.bin", target.c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCompletions(4));
  // libcurl takes the reply for a partial file, or, when it is there before libcurl has
  // accepted the server's data connection (a small file, a busy machine), for a refused one.
  const uint32_t refusal = recorder_.Last(kFtpRequestComplete).error;
  EXPECT_TRUE(refusal == kFtpErrorConnectionAborted || refusal == kFtpErrorTransferFailed) << refusal;
  EXPECT_TRUE(zdtest::ReadFile(target) == "old contents");
  EXPECT_EQ(0, TempFilesIn(local_.root()));
}

// The fixture's faults can single out one file, or the log-ons after the first few, as
// whole patch runs need (the list arrives, a later file does not).
TEST_F(FtpClientTest, FaultsCanTargetOneFileOrLaterLogons) {
  server_->WritePatternFile("pick/a.bin", 20000);
  server_->WritePatternFile("pick/b.bin", 20000);
  FtpFaults cutB;
  cutB.cutAfter = 100;
  cutB.path = "pick/b.bin";
  server_->SetFaults(cutB);
  FtpHandle c = ConnectReady();
  ASSERT_TRUE(FtpGetFileAsync(c, "pick/a.bin", local_.Path("a.bin").c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCompletions(2));
  EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_EQ(20000, static_cast<int>(zdtest::ReadFile(local_.Path("a.bin")).size()));
  ASSERT_TRUE(FtpGetFileAsync(c, "/pick/b.bin", local_.Path("b.bin").c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCompletions(3));
  EXPECT_EQ(kFtpErrorConnectionAborted, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_FALSE(zdtest::FileExists(local_.Path("b.bin")));
  FtpCloseHandle(c);

  FtpFaults oneMore;
  oneMore.loginsAllowed = server_->SuccessfulLogons() + 1;
  server_->SetFaults(oneMore);
  FtpHandle first = Connect();
  ASSERT_TRUE(recorder_.WaitCompletions(4));
  EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
  FtpCloseHandle(first);
  ASSERT_NE(nullptr, Connect());
  ASSERT_TRUE(recorder_.WaitCompletions(5));
  EXPECT_EQ(kFtpErrorLoginFailure, recorder_.Last(kFtpRequestComplete).error);
}

TEST_F(FtpClientTest, CloseDuringSlowDownloadIsQuickAndFinal) {
  server_->WritePatternFile("slow.bin", 400000);
  server_->SetFaults(Rate(20000));
  int before = LastConnection();
  FtpHandle c = ConnectReady();
  ASSERT_EQ(1u, LoggedOnSince(before).size());
  int id = LoggedOnSince(before)[0];
  std::string target = local_.Path("slow.bin");
  ASSERT_TRUE(FtpGetFileAsync(c, "slow.bin", target.c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitStatus(kFtpResponseReceived));

  auto start = Clock::now();
  EXPECT_TRUE(FtpCloseHandle(c));
  auto took = Clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(50));
  size_t eventsAtClose = recorder_.Events().size();

  // The connection is dropped (the server sees it end) and nothing more is reported.
  EXPECT_TRUE(FtpServerFixture::WaitFor([&] { return Disconnected(id); }));
  EXPECT_TRUE(FtpServerFixture::WaitFor([] { return FtpCallbacksInFlight() == 0; }));
  FtpShutdown();  // joins the connection's thread: it has finished with the handle
  EXPECT_EQ(eventsAtClose, recorder_.Events().size());
  EXPECT_EQ(1u, recorder_.Count(kFtpRequestComplete));
  EXPECT_FALSE(zdtest::FileExists(target));
  EXPECT_EQ(0, TempFilesIn(local_.root()));
}

TEST_F(FtpClientTest, ClosingTheRootClosesItsConnections) {
  server_->WritePatternFile("slow2.bin", 400000);
  server_->SetFaults(Rate(20000));
  FtpHandle c = ConnectReady();
  ASSERT_TRUE(FtpGetFileAsync(c, "slow2.bin", local_.Path("slow2.bin").c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitStatus(kFtpResponseReceived));
  EXPECT_TRUE(FtpCloseHandle(root_));
  root_ = nullptr;
  size_t eventsAtClose = recorder_.Events().size();
  EXPECT_FALSE(FtpCloseHandle(c));  // already closed with its root
  FtpShutdown();
  EXPECT_EQ(eventsAtClose, recorder_.Events().size());
  EXPECT_FALSE(zdtest::FileExists(local_.Path("slow2.bin")));
  EXPECT_EQ(0, TempFilesIn(local_.root()));
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
  ASSERT_TRUE(FtpServerFixture::WaitFor([] { return FtpCallbacksInFlight() == 1; }));

  auto start = Clock::now();
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_EQ(1, FtpCallbacksInFlight());  // the running callback is left to finish
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  EXPECT_TRUE(FtpServerFixture::WaitFor([] { return FtpCallbacksInFlight() == 0; }));
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
  ASSERT_TRUE(recorder_.WaitStatus(kFtpResolvingName));
  EXPECT_TRUE(FtpServerFixture::WaitFor([] { return FtpCallbacksInFlight() == 0; }));
  FtpShutdown();
  ASSERT_EQ(1u, recorder_.Events().size());
}

// The way the patch run uses the client: every step is issued from the notification
// of the one before, and every file gets a connection of its own.
TEST_F(FtpClientTest, ChainedFromCallbacksOneLogonPerConnection) {
  const int files = 3;
  for (int i = 0; i < files; ++i) server_->WriteFile("chain/f" + std::to_string(i), std::string(100 + i, 'a' + i));
  int before = LastConnection();
  int retrs = server_->Retrs();

  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  std::atomic<bool> finished{false};
  FtpHandle root = root_;
  Contexts* ctx = &contexts_;
  std::string dir = local_.root();
  recorder_.SetHook([&, root, ctx, dir](const Event& e) {
    if (e.status != kFtpRequestComplete) return;
    if (e.error != 0) {
      failed = true;
      return;
    }
    int i = next.load();
    if (e.context == reinterpret_cast<uintptr_t>(&ctx->connect)) {
      std::string remote = "chain/f" + std::to_string(i);
      if (!FtpGetFileAsync(e.handle, remote.c_str(), (dir + "/f" + std::to_string(i)).c_str(),
                           reinterpret_cast<uintptr_t>(&ctx->download))) {
        failed = true;
      }
    } else {
      FtpCloseHandle(e.handle);
      next = i + 1;
      if (i + 1 == files) {
        finished = true;
      } else if (FtpConnectAsync(root, "127.0.0.1", server_->port(), server_->user().c_str(),
                                 server_->password().c_str(), reinterpret_cast<uintptr_t>(&ctx->connect)) == nullptr) {
        failed = true;
      }
    }
  });
  ASSERT_NE(nullptr, Connect());
  ASSERT_TRUE(FtpServerFixture::WaitFor([&] { return finished.load() || failed.load(); }, 10000));
  EXPECT_FALSE(failed.load());
  for (int i = 0; i < files; ++i) EXPECT_EQ(std::string(100 + i, 'a' + i), zdtest::ReadFile(local_.Path("f" + std::to_string(i))));
  EXPECT_EQ(retrs + files, server_->Retrs());
  // A connection and a log-on of its own for every file, ended with QUIT.
  std::vector<int> ids = LoggedOnSince(before);
  ASSERT_EQ(static_cast<size_t>(files), ids.size());
  for (int id : ids) {
    EXPECT_TRUE(FtpServerFixture::WaitFor([&] { return Disconnected(id); })) << id;
    std::vector<std::string> cmds = server_->CommandsOf(id);
    EXPECT_EQ((std::vector<std::string>{"USER", "PASS", "PWD", "PORT", "TYPE", "SIZE", "RETR", "QUIT"}), cmds) << id;
  }
}

TEST_F(FtpClientTest, SilentServerEndsInATimeout) {
  FtpSetTimeLimits(FtpTimeLimits{300, 1, 1000, 1});

  // Accepts (the kernel completes the handshake) and never says a word.
  int mute = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(mute, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, ::listen(mute, 4));
  socklen_t len = sizeof addr;
  ::getsockname(mute, reinterpret_cast<sockaddr*>(&addr), &len);
  auto start = Clock::now();
  ASSERT_NE(nullptr, Connect(ntohs(addr.sin_port)));
  ASSERT_TRUE(recorder_.WaitCompletions(1, 5000));
  EXPECT_EQ(kFtpErrorTimeout, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  ::close(mute);

  // A download that stops half-way with the data connection left open.
  server_->WritePatternFile("stall.bin", 100000);
  FtpHandle c = Connect();
  ASSERT_TRUE(recorder_.WaitCompletions(2));
  ASSERT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
  server_->SetFaults(StallAfter(3000));
  ASSERT_TRUE(FtpGetFileAsync(c, "stall.bin", local_.Path("stall.bin").c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCompletions(3, 10000));
  EXPECT_EQ(kFtpErrorTimeout, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_EQ(3000u, recorder_.BytesFor(DownloadContext()));
  EXPECT_FALSE(zdtest::FileExists(local_.Path("stall.bin")));
}

TEST_F(FtpClientTest, UnknownAndClosedHandlesAreRefused) {
  FtpHandle bogus = reinterpret_cast<FtpHandle>(static_cast<uintptr_t>(0x1234));
  EXPECT_FALSE(FtpCloseHandle(bogus));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_EQ(nullptr, FtpConnectAsync(bogus, "127.0.0.1", server_->port(), "u", "p", 0));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_FALSE(FtpGetFileAsync(bogus, "a", local_.Path("a").c_str(), 0));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  // A download asked for before the log-on has finished: the server answers nothing,
  // so the log-on cannot finish first however fast the client's thread is.
  FtpFaults mute;
  mute.mute = true;
  server_->SetFaults(mute);
  FtpHandle c = Connect();
  ASSERT_NE(nullptr, c);
  EXPECT_FALSE(FtpGetFileAsync(c, "a", local_.Path("a").c_str(), 0));
  EXPECT_EQ(kFtpErrorTransferInProgress, LastErrorCode());

  FtpHandle closedRoot = root_;
  EXPECT_TRUE(FtpCloseHandle(root_));
  root_ = nullptr;
  EXPECT_EQ(nullptr, FtpConnectAsync(closedRoot, "127.0.0.1", server_->port(), "u", "p", 0));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_FALSE(FtpGetFileAsync(c, "a", local_.Path("a").c_str(), 0));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  char text[128];
  EXPECT_TRUE(ErrorText(kFtpErrorTransferInProgress, text, sizeof text));
}

}  // namespace
