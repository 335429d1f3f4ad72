// The WinINet FTP client against a real server (pyftpdlib, started for the suite by
// the test script; see support/ftp_server_win32.cpp), under Wine in CI.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/ftp.h"
#include "support/ftp_server.h"

namespace {

namespace fs = std::filesystem;
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

// Collects the notifications of one root.
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
  void SetHook(std::function<void(const Event&)> hook) {
    std::lock_guard<std::mutex> lock(mu_);
    hook_ = std::move(hook);
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  bool WaitCount(uint32_t status, size_t n, int timeoutMs = 15000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return CountLocked(status) >= n; });
  }
  bool WaitCompletions(size_t n, int timeoutMs = 15000) { return WaitCount(kFtpRequestComplete, n, timeoutMs); }
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

struct Contexts {
  Recorder* recorder;
  char connect;
  char download;
};

Contexts* g_contexts = nullptr;

void PLAT_CALLBACK StatusCallback(FtpHandle handle, uintptr_t context, uint32_t status, void* info,
                                  uint32_t length) {
  Event e{handle, context, status, 0, 0, 0, std::this_thread::get_id()};
  if ((status == kFtpHandleCreated || status == kFtpRequestComplete) && length == sizeof(FtpAsyncResult)) {
    const FtpAsyncResult* r = static_cast<const FtpAsyncResult*>(info);
    e.result = r->result;
    e.error = r->error;
  }
  if (status == kFtpResponseReceived && length == sizeof(uint32_t)) e.bytes = *static_cast<const uint32_t*>(info);
  g_contexts->recorder->Add(e);
}

// A loopback TCP socket: bound only (its port refuses connections) or listening (the
// system accepts, nobody ever speaks).
class LoopbackSocket {
 public:
  explicit LoopbackSocket(bool listening) {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = s_ != INVALID_SOCKET && bind(s_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          (!listening || listen(s_, 4) == 0);
    int len = sizeof addr;
    if (ok_ && getsockname(s_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) port_ = ntohs(addr.sin_port);
  }
  ~LoopbackSocket() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
    if (started_) WSACleanup();
  }
  uint16_t port() const { return ok_ ? port_ : 0; }

 private:
  bool started_ = false;
  bool ok_ = false;
  SOCKET s_ = INVALID_SOCKET;
  uint16_t port_ = 0;
};

// The test's own local directory.
class LocalDir {
 public:
  LocalDir() {
    static std::atomic<int> serial{0};
    root_ = fs::temp_directory_path() / ("zd-ftp-" + std::to_string(GetCurrentProcessId()) + "-" +
                                         std::to_string(serial.fetch_add(1)));
    fs::create_directories(root_);
  }
  ~LocalDir() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  std::string Path(const std::string& name) const { return (root_ / name).string(); }
  std::string Write(const std::string& name, const std::string& contents) const {
    std::ofstream(Path(name), std::ios::binary) << contents;
    return Path(name);
  }
  // Files whose name contains ".part" (the client's temporary files).
  int TempFiles() const {
    int n = 0;
    for (const auto& entry : fs::directory_iterator(root_)) {
      n += entry.path().filename().string().find(".part") != std::string::npos;
    }
    return n;
  }

 private:
  fs::path root_;
};

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class WinInetFtpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new FtpServerFixture(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server_->ok());
    // The connections of earlier tests (other processes) have ended.
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
    server_->ClearFaults();
    g_contexts = nullptr;
  }

  uintptr_t ConnectContext() { return reinterpret_cast<uintptr_t>(&contexts_.connect); }
  uintptr_t DownloadContext() { return reinterpret_cast<uintptr_t>(&contexts_.download); }

  FtpHandle Connect(uint16_t port = 0, const char* password = nullptr) {
    return FtpConnectAsync(root_, "127.0.0.1", port != 0 ? port : server_->port(), server_->user().c_str(),
                           password != nullptr ? password : server_->password().c_str(), ConnectContext());
  }

  FtpHandle ConnectReady() {
    FtpHandle c = Connect();
    EXPECT_NE(nullptr, c);
    EXPECT_TRUE(recorder_.WaitCompletions(1));
    EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
    return c;
  }

  static std::vector<int> LoggedOnSince(int after) {
    std::vector<int> ids;
    for (const zdtest::FtpLogEntry& e : server_->Log()) {
      if (e.kind == "LOGIN" && e.verb == "OK" && e.connection > after) ids.push_back(e.connection);
    }
    return ids;
  }

  static bool Disconnected(int id) {
    for (const zdtest::FtpLogEntry& e : server_->Log()) {
      if (e.kind == "DISCONNECT" && e.connection == id) return true;
    }
    return false;
  }

  static std::string LastRetrOf(int id) {
    std::string last;
    for (const zdtest::FtpLogEntry& e : server_->Log()) {
      if (e.kind == "CMD" && e.connection == id && e.verb == "RETR") last = e.argument;
    }
    return last;
  }

  static FtpServerFixture* server_;
  Recorder recorder_;
  Contexts contexts_{};
  FtpHandle root_ = nullptr;
  LocalDir local_;
};

FtpServerFixture* WinInetFtpTest::server_ = nullptr;

TEST_F(WinInetFtpTest, LogOnReportsResolvingCreatedCompleteOnceAndCloseEndsIt) {
  const int before = server_->Connections();
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
  EXPECT_EQ(reinterpret_cast<uintptr_t>(c), events[2].result);
  for (const Event& e : events) {
    EXPECT_EQ(c, e.handle);
    EXPECT_EQ(ConnectContext(), e.context);
    EXPECT_NE(std::this_thread::get_id(), e.thread);
  }
  std::vector<int> ids = LoggedOnSince(before);
  ASSERT_EQ(1u, ids.size());
  const int id = ids[0];

  // Closing an idle connection ends it (Wine's WinINet drops it without QUIT).
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_TRUE(FtpServerFixture::WaitFor([&] { return Disconnected(id); }, 10000));
  EXPECT_EQ(1u, recorder_.Count(kFtpRequestComplete));
  EXPECT_EQ(3u, recorder_.Events().size());
}

TEST_F(WinInetFtpTest, ConnectFailuresCompleteThroughTheNotifications) {
  LoopbackSocket refusing(false);
  ASSERT_NE(0, refusing.port());
  struct Case {
    const char* name;
    std::function<FtpHandle()> connect;
    uint32_t error;
  };
  const std::vector<Case> cases = {
      {"wrong password", [&] { return Connect(0, "not-the-password"); }, kFtpErrorLoginFailure},
      {"connection refused", [&] { return Connect(refusing.port()); }, kFtpErrorCannotConnect},
      {"host that is not a host name",
       [&] { return FtpConnectAsync(root_, "127.0.0.1/x@y", server_->port(), "u", "p", ConnectContext()); },
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
    EXPECT_EQ(seen, recorder_.Count(kFtpResolvingName));
    EXPECT_EQ(seen, recorder_.Count(kFtpHandleCreated));
    EXPECT_EQ(c, recorder_.Last(kFtpHandleCreated).handle);
    EXPECT_FALSE(FtpGetFileAsync(c, "a", local_.Path("a").c_str(), DownloadContext()));
    EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
    EXPECT_TRUE(FtpCloseHandle(c));
  }

  // The server refuses the log-on: it saw the attempt, the client reports the refusal.
  const int logons = server_->Logons();
  FtpFaults refuse;
  refuse.refuseLogin = true;
  server_->SetFaults(refuse);
  ASSERT_NE(nullptr, Connect());
  ASSERT_TRUE(recorder_.WaitCompletions(seen + 1));
  EXPECT_EQ(kFtpErrorLoginFailure, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_EQ(logons + 1, server_->Logons());
  EXPECT_EQ(seen + 1, recorder_.Count(kFtpRequestComplete));
}

TEST_F(WinInetFtpTest, DownloadReportsDataBytesAndReplacesTheTargetWhole) {
  const long long size = 3 * 1024 * 1024 + 17;
  server_->WritePatternFile("patch/data/big.bin", size);
  const int before = server_->Connections();
  FtpHandle c = ConnectReady();
  const std::string target = local_.Write("big.bin", "old contents");

  ASSERT_TRUE(FtpGetFileAsync(c, "patch/data/big.bin", target.c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCompletions(2, 30000));
  Event done = recorder_.Last(kFtpRequestComplete);
  EXPECT_EQ(0u, done.error);
  EXPECT_EQ(1u, done.result);
  EXPECT_EQ(DownloadContext(), done.context);
  EXPECT_EQ(c, done.handle);

  const std::string got = ReadAll(target);
  ASSERT_EQ(static_cast<size_t>(size), got.size());
  bool same = true;
  for (long long i = 0; i < size && same; ++i) same = got[static_cast<size_t>(i)] == FtpServerFixture::PatternByte(i);
  EXPECT_TRUE(same);
  // The data bytes, not control replies, each before the completion.
  EXPECT_EQ(static_cast<uint64_t>(size), recorder_.BytesFor(DownloadContext()));
  EXPECT_GT(recorder_.Count(kFtpResponseReceived), 1u);
  EXPECT_EQ(kFtpRequestComplete, recorder_.Events().back().status);
  EXPECT_EQ(0, local_.TempFiles());

  // On the logged-on connection, in image type.
  std::vector<int> ids = LoggedOnSince(before);
  ASSERT_EQ(1u, ids.size());
  std::vector<std::string> cmds = server_->CommandsOf(ids[0]);
  EXPECT_EQ(1, std::count(cmds.begin(), cmds.end(), std::string("PASS")));
  EXPECT_EQ("patch/data/big.bin", LastRetrOf(ids[0]));
  bool imageType = false;
  for (const zdtest::FtpLogEntry& e : server_->Log()) {
    if (e.kind == "CMD" && e.connection == ids[0] && e.verb == "TYPE") imageType = e.argument == "I";
  }
  EXPECT_TRUE(imageType);

  // An empty file and an absolute path, on the same connection; then one at a time.
  server_->WriteFile("empty.dat", "");
  const std::string empty = local_.Path("empty.dat");
  ASSERT_TRUE(FtpGetFileAsync(c, "/empty.dat", empty.c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCompletions(3));
  EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_TRUE(Exists(empty));
  EXPECT_EQ("", ReadAll(empty));
  EXPECT_EQ("/empty.dat", LastRetrOf(ids[0]));

  FtpFaults slow;
  slow.rate = 4000;
  server_->SetFaults(slow);
  ASSERT_TRUE(FtpGetFileAsync(c, "patch/data/big.bin", local_.Path("again.bin").c_str(), DownloadContext()));
  EXPECT_FALSE(FtpGetFileAsync(c, "empty.dat", local_.Path("other.dat").c_str(), DownloadContext()));
  EXPECT_EQ(kFtpErrorTransferInProgress, LastErrorCode());
  EXPECT_FALSE(Exists(local_.Path("other.dat")));
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_FALSE(FtpCloseHandle(c));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
}

TEST_F(WinInetFtpTest, MissingFileAndBadPathsLeaveTheTargetAlone) {
  FtpHandle c = ConnectReady();
  const std::string target = local_.Write("kept.bin", "old contents");
  ASSERT_TRUE(FtpGetFileAsync(c, "patch/not-there.bin", target.c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCompletions(2));
  EXPECT_EQ(kFtpErrorTransferFailed, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).result);
  EXPECT_EQ("old contents", ReadAll(target));
  EXPECT_EQ(0, local_.TempFiles());

  // The connection is still usable after a refused file.
  server_->WriteFile("there.txt", "here\r\n");
  ASSERT_TRUE(FtpGetFileAsync(c, "there.txt", target.c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCompletions(3));
  EXPECT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_EQ("here\r\n", ReadAll(target));

  for (const char* bad : {"", "dir/", "a\r\nDELE b"}) {
    EXPECT_FALSE(FtpGetFileAsync(c, bad, local_.Path("x").c_str(), DownloadContext())) << bad;
    EXPECT_EQ(kFtpErrorInvalidUrl, LastErrorCode());
  }
  EXPECT_FALSE(FtpGetFileAsync(c, "there.txt", local_.Path("no/such/dir/x").c_str(), DownloadContext()));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_PATH_NOT_FOUND), LastErrorCode());
  EXPECT_EQ(3u, recorder_.Count(kFtpRequestComplete));

  // Cut short while the server answers 226, its size stated by SIZE after the transfer
  // or, without that round trip, in the reply that opened it; and sent whole but refused
  // by the closing reply: each fails as the Linux client's partial file does, and the
  // target stays.
  server_->WritePatternFile("cut.bin", 400000);
  FtpFaults cut;
  cut.cutAfter = 200000;
  FtpFaults announced = cut;
  announced.announce = true;
  FtpFaults refused;
  refused.finalReply = 451;
  size_t completions = 3;
  for (const FtpFaults& fault : {cut, announced, refused}) {
    const int sizes = server_->CommandCount("SIZE");
    server_->SetFaults(fault);
    ASSERT_TRUE(FtpGetFileAsync(c, "cut.bin", target.c_str(), DownloadContext()));
    ASSERT_TRUE(recorder_.WaitCompletions(++completions));
    EXPECT_EQ(kFtpErrorConnectionAborted, recorder_.Last(kFtpRequestComplete).error);
    EXPECT_TRUE(ReadAll(target) == "here\r\n");  // not the cut file (too long to print)
    EXPECT_EQ(0, local_.TempFiles());
    EXPECT_EQ(fault.announce || fault.finalReply != 0 ? 0 : 1, server_->CommandCount("SIZE") - sizes);
  }
}

TEST_F(WinInetFtpTest, CloseDuringADownloadIsQuickAndFinal) {
  server_->WritePatternFile("slow.bin", 400000);
  FtpFaults slow;
  slow.rate = 20000;
  server_->SetFaults(slow);
  const int before = server_->Connections();
  FtpHandle c = ConnectReady();
  ASSERT_EQ(1u, LoggedOnSince(before).size());
  const int id = LoggedOnSince(before)[0];
  const std::string target = local_.Write("slow.bin", "old contents");
  ASSERT_TRUE(FtpGetFileAsync(c, "slow.bin", target.c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCount(kFtpResponseReceived, 1));

  auto start = Clock::now();
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
  const size_t eventsAtClose = recorder_.Events().size();

  EXPECT_TRUE(FtpServerFixture::WaitFor([&] { return Disconnected(id); }, 10000));
  EXPECT_TRUE(FtpServerFixture::WaitFor([] { return FtpCallbacksInFlight() == 0; }));
  FtpShutdown();
  EXPECT_EQ(eventsAtClose, recorder_.Events().size());
  EXPECT_EQ(1u, recorder_.Count(kFtpRequestComplete));
  EXPECT_EQ("old contents", ReadAll(target));
  EXPECT_EQ(0, local_.TempFiles());
}

TEST_F(WinInetFtpTest, ClosingTheRootClosesItsConnections) {
  server_->WritePatternFile("slow2.bin", 400000);
  FtpFaults slow;
  slow.rate = 20000;
  server_->SetFaults(slow);
  FtpHandle c = ConnectReady();
  ASSERT_TRUE(FtpGetFileAsync(c, "slow2.bin", local_.Path("slow2.bin").c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCount(kFtpResponseReceived, 1));
  EXPECT_TRUE(FtpCloseHandle(root_));
  root_ = nullptr;
  const size_t eventsAtClose = recorder_.Events().size();
  EXPECT_FALSE(FtpCloseHandle(c));
  FtpShutdown();
  EXPECT_EQ(eventsAtClose, recorder_.Events().size());
  EXPECT_FALSE(Exists(local_.Path("slow2.bin")));
  EXPECT_EQ(0, local_.TempFiles());
}

TEST_F(WinInetFtpTest, CloseNeverWaitsForABlockedCallback) {
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
  ASSERT_TRUE(FtpServerFixture::WaitFor([] { return FtpCallbacksInFlight() == 1; }));
  auto start = Clock::now();
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(1, FtpCallbacksInFlight());
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

TEST_F(WinInetFtpTest, CloseFromInsideACallbackStopsTheRestAtOnce) {
  recorder_.SetHook([](const Event& e) {
    if (e.status == kFtpResolvingName) FtpCloseHandle(e.handle);
  });
  ASSERT_NE(nullptr, Connect());
  ASSERT_TRUE(recorder_.WaitCount(kFtpResolvingName, 1));
  EXPECT_TRUE(FtpServerFixture::WaitFor([] { return FtpCallbacksInFlight() == 0; }));
  FtpShutdown();
  EXPECT_EQ(1u, recorder_.Events().size());
}

// The patch run's use: every step is issued from the notification of the one before,
// and every file gets a connection of its own.
TEST_F(WinInetFtpTest, ChainedFromCallbacksOneConnectionPerFile) {
  const int files = 3;
  for (int i = 0; i < files; ++i) server_->WriteFile("chain/f" + std::to_string(i), std::string(100 + i, 'a' + i));
  const int before = server_->Connections();
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  std::atomic<bool> finished{false};
  FtpHandle root = root_;
  Contexts* ctx = &contexts_;
  const LocalDir& dir = local_;
  recorder_.SetHook([&, root, ctx](const Event& e) {
    if (e.status != kFtpRequestComplete) return;
    if (e.error != 0) {
      failed = true;
      return;
    }
    const int i = next.load();
    if (e.context == reinterpret_cast<uintptr_t>(&ctx->connect)) {
      const std::string remote = "chain/f" + std::to_string(i);
      if (!FtpGetFileAsync(e.handle, remote.c_str(), dir.Path("f" + std::to_string(i)).c_str(),
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
  ASSERT_TRUE(FtpServerFixture::WaitFor([&] { return finished.load() || failed.load(); }, 30000));
  EXPECT_FALSE(failed.load());
  for (int i = 0; i < files; ++i) {
    EXPECT_EQ(std::string(100 + i, 'a' + i), ReadAll(local_.Path("f" + std::to_string(i))));
  }
  std::vector<int> ids = LoggedOnSince(before);
  ASSERT_EQ(static_cast<size_t>(files), ids.size());
  for (int k = 0; k < files; ++k) {
    EXPECT_TRUE(FtpServerFixture::WaitFor([&] { return Disconnected(ids[k]); }, 10000)) << ids[k];
    EXPECT_EQ("chain/f" + std::to_string(k), LastRetrOf(ids[k]));
  }
}

TEST_F(WinInetFtpTest, SilentOrStalledServerEndsInATimeout) {
  FtpSetTimeLimits(FtpTimeLimits{300, 1, 1000, 1});
  {
    LoopbackSocket mute(true);  // the system accepts; nobody ever says a word
    ASSERT_NE(0, mute.port());
    auto start = Clock::now();
    ASSERT_NE(nullptr, Connect(mute.port()));
    ASSERT_TRUE(recorder_.WaitCompletions(1, 10000));
    EXPECT_EQ(kFtpErrorTimeout, recorder_.Last(kFtpRequestComplete).error);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  }

  // A download that stops part-way with the data connection left open.
  server_->WritePatternFile("stall.bin", 100000);
  FtpHandle c = Connect();
  ASSERT_TRUE(recorder_.WaitCompletions(2));
  ASSERT_EQ(0u, recorder_.Last(kFtpRequestComplete).error);
  FtpFaults stall;
  stall.stallAfter = 3000;
  server_->SetFaults(stall);
  const std::string target = local_.Write("stall.bin", "old contents");
  ASSERT_TRUE(FtpGetFileAsync(c, "stall.bin", target.c_str(), DownloadContext()));
  ASSERT_TRUE(recorder_.WaitCompletions(3, 15000));
  EXPECT_EQ(kFtpErrorTimeout, recorder_.Last(kFtpRequestComplete).error);
  EXPECT_EQ(3000u, recorder_.BytesFor(DownloadContext()));
  EXPECT_EQ("old contents", ReadAll(target));
  EXPECT_EQ(0, local_.TempFiles());
  // The connection is finished with; closing it reports nothing more.
  EXPECT_FALSE(FtpGetFileAsync(c, "stall.bin", target.c_str(), DownloadContext()));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_TRUE(FtpCloseHandle(c));
  EXPECT_EQ(3u, recorder_.Count(kFtpRequestComplete));
}

TEST_F(WinInetFtpTest, UnknownClosedAndBusyHandlesAreRefused) {
  FtpHandle bogus = reinterpret_cast<FtpHandle>(static_cast<uintptr_t>(0x1234));
  EXPECT_FALSE(FtpCloseHandle(bogus));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_EQ(nullptr, FtpConnectAsync(bogus, "127.0.0.1", server_->port(), "u", "p", 1));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_FALSE(FtpGetFileAsync(bogus, "a", local_.Path("a").c_str(), 1));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  FtpHandle c = Connect();
  ASSERT_NE(nullptr, c);
  EXPECT_FALSE(FtpGetFileAsync(c, "a", local_.Path("a").c_str(), 1));  // still logging on
  EXPECT_EQ(kFtpErrorTransferInProgress, LastErrorCode());
  ASSERT_TRUE(recorder_.WaitCompletions(1));

  FtpHandle closedRoot = root_;
  EXPECT_TRUE(FtpCloseHandle(root_));
  root_ = nullptr;
  EXPECT_EQ(nullptr, FtpConnectAsync(closedRoot, "127.0.0.1", server_->port(), "u", "p", 1));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_FALSE(FtpGetFileAsync(c, "a", local_.Path("a").c_str(), 1));
  EXPECT_EQ(kFtpErrorInvalidHandle, LastErrorCode());
  EXPECT_FALSE(Exists(local_.Path("a")));
}

}  // namespace
