// Linux: the asynchronous FTP client on libcurl.
//
// Handles are tokens (never addresses): every call looks its handle up in one table
// under one mutex, so a closed or unknown handle is refused instead of touching freed
// memory, and a token is never reused.
//
// Each connection has its own thread, its own easy handle and its own multi handle.
// The private multi handle matters twice: libcurl keeps a finished transfer's
// connection in the multi handle's connection cache, so a shared multi handle would let
// one connection's download reuse another's log-on (and the close of one connection
// would not end it); and curl_multi_wakeup lets another thread interrupt the thread's
// curl_multi_poll at once, where the progress callback can take a second to run when
// the server is silent.
//
// The connection's thread logs on with CURLOPT_NOBODY on ftp://host:port/ (the server
// sees USER, PASS, PWD); a download later runs on the same easy handle, which takes the
// logged-on connection back out of the cache (PORT, TYPE I, SIZE, RETR, no second
// log-on). CURLOPT_CONNECT_ONLY cannot be used for this: the next transfer would log on
// again. Cleaning up the multi handle sends QUIT; a transfer cut short by a close drops
// the connection without it (libcurl's premature end).
//
// Notifications of one root are serialised by a per-root mutex, so the core sees one
// notification at a time even when a connection is made from inside a callback of the
// previous one. No curl callback calls the user's callback: the write and resolver
// callbacks only note what happened, and the thread reports it between libcurl calls.
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/ftp.h"
#include "platform/posix/files_posix.h"

namespace plat {
namespace {

// libcurl's largest receive buffer; loopback throughput is best with it.
constexpr long kReceiveBufferBytes = 512L * 1024L;

struct Root {
  uintptr_t id = 0;
  // Serialises the notifications of every connection made from this root.
  std::mutex callbackMutex;
  // Guarded by Globals::mu.
  FtpStatusCallback callback = nullptr;
  bool closed = false;
};

struct Download {
  std::string url;
  std::string tempPath;
  std::string targetPath;
  int fd = -1;
  uintptr_t context = 0;
};

enum class Phase { Connecting, Ready, Downloading, Dead };

struct Conn {
  uintptr_t id = 0;
  std::shared_ptr<Root> root;
  uintptr_t connectContext = 0;
  std::string baseUrl;  // ftp://host:port, empty when the host is not acceptable
  std::string user;
  std::string password;
  FtpTimeLimits limits{};

  // Owned by the connection's thread (the multi handle is also woken by closers while
  // multiLive is set, under Globals::mu).
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  int fd = -1;                // file of the running download, -1 otherwise
  int writeErrno = 0;         // why the last write to it failed
  uint64_t unreported = 0;    // bytes written but not yet reported
  bool resolverStarted = false;
  bool resolvingReported = false;
  bool createdReported = false;

  // Guarded by Globals::mu.
  Phase phase = Phase::Connecting;
  std::atomic<bool> closed{false};  // written under the mutex, read anywhere
  bool multiLive = true;
  bool threadDone = false;
  std::unique_ptr<Download> queued;  // accepted, not yet taken by the thread
  std::unique_ptr<Download> active;  // taken by the thread
  std::condition_variable wake;
};

struct ClientThread {
  std::thread thread;
  std::shared_ptr<Conn> conn;
};

struct Globals {
  std::mutex mu;
  std::unordered_map<uintptr_t, std::shared_ptr<Root>> roots;
  std::unordered_map<uintptr_t, std::shared_ptr<Conn>> conns;
  std::vector<ClientThread> threads;
  uintptr_t nextId = 0x5a0000;
  std::atomic<int> inFlight{0};
  FtpTimeLimits limits = FtpDefaultTimeLimits();
};

// Never destroyed: a thread still ending at process exit must not meet a destroyed mutex.
Globals& G() {
  static Globals* globals = new Globals;
  return *globals;
}

std::once_flag g_curlInit;

FtpHandle HandleOf(uintptr_t id) { return reinterpret_cast<FtpHandle>(id); }
uintptr_t IdOf(FtpHandle handle) { return reinterpret_cast<uintptr_t>(handle); }

uintptr_t NewIdLocked() {
  Globals& g = G();
  g.nextId += 0x10;
  return g.nextId;
}

// Calls the root's callback unless the connection or its root has been closed. The
// count of callbacks in flight moves under the same mutex as the closed flags, so a
// closer that has returned either sees this callback counted or has stopped it.
void Report(Conn& c, uintptr_t context, uint32_t status, void* info, uint32_t length) {
  Globals& g = G();
  std::lock_guard<std::mutex> serial(c.root->callbackMutex);
  FtpStatusCallback callback = nullptr;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    if (c.closed.load() || c.root->closed || c.root->callback == nullptr) return;
    callback = c.root->callback;
    g.inFlight.fetch_add(1);
  }
  callback(HandleOf(c.id), context, status, info, length);
  g.inFlight.fetch_sub(1);
}

void ReportCompletion(Conn& c, uintptr_t context, uintptr_t result, uint32_t error) {
  FtpAsyncResult r{result, error};
  Report(c, context, kFtpRequestComplete, &r, sizeof r);
}

// Resolving name, then handle created: once per connect, also when libcurl never
// started a lookup (a failure before it) so the order seen is always 10, 60, 100.
void AnnounceConnect(Conn& c, bool force) {
  if (!c.resolvingReported && (c.resolverStarted || force)) {
    c.resolvingReported = true;
    Report(c, c.connectContext, kFtpResolvingName, nullptr, 0);
  }
  if (c.resolvingReported && !c.createdReported) {
    c.createdReported = true;
    FtpAsyncResult r{c.id, 0};
    Report(c, c.connectContext, kFtpHandleCreated, &r, sizeof r);
  }
}

void ReportBytes(Conn& c, uintptr_t context) {
  while (c.unreported > 0) {
    uint32_t count = c.unreported > 0x7fffffffu ? 0x7fffffffu : static_cast<uint32_t>(c.unreported);
    c.unreported -= count;
    Report(c, context, kFtpResponseReceived, &count, sizeof count);
  }
}

uint32_t MapCurlError(CURLcode code, bool connecting, int writeErrno) {
  switch (code) {
    case CURLE_OK: return 0;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT: return kFtpErrorInvalidUrl;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST: return kFtpErrorNameNotResolved;
    case CURLE_COULDNT_CONNECT:
    case CURLE_INTERFACE_FAILED: return kFtpErrorCannotConnect;
    case CURLE_LOGIN_DENIED:
    case CURLE_FTP_WEIRD_PASS_REPLY: return kFtpErrorLoginFailure;
    case CURLE_REMOTE_ACCESS_DENIED: return connecting ? kFtpErrorLoginFailure : kFtpErrorTransferFailed;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT: return kFtpErrorTimeout;
    case CURLE_WEIRD_SERVER_REPLY: return connecting ? kFtpErrorCannotConnect : kFtpErrorTransferFailed;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING: return kFtpErrorConnectionAborted;
    case CURLE_SEND_ERROR: return kFtpErrorConnectionReset;
    case CURLE_ABORTED_BY_CALLBACK: return kFtpErrorOperationCancelled;
    case CURLE_WRITE_ERROR: return writeErrno != 0 ? static_cast<uint32_t>(writeErrno) : kFtpErrorInternal;
    case CURLE_OUT_OF_MEMORY:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_FAILED_INIT: return kFtpErrorInternal;
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FILESIZE_EXCEEDED:
    default: return connecting ? kFtpErrorCannotConnect : kFtpErrorTransferFailed;
  }
}

size_t WriteData(char* data, size_t size, size_t count, void* userdata) {
  Conn& c = *static_cast<Conn*>(userdata);
  size_t total = size * count;
  if (c.fd < 0) return total;  // the log-on transfer carries no data
  size_t done = 0;
  while (done < total) {
    ssize_t n = ::write(c.fd, data + done, total - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      c.writeErrno = errno;
      return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
    done += static_cast<size_t>(n);
  }
  c.unreported += total;
  return total;
}

int ResolverStarted(void*, void*, void* userdata) {
  static_cast<Conn*>(userdata)->resolverStarted = true;
  return 0;
}

// Runs the easy handle's transfer on the private multi handle until it ends or the
// connection is closed (then *cancelled is set and the transfer is dropped).
CURLcode RunTransfer(Conn& c, bool connecting, uintptr_t context, bool* cancelled) {
  *cancelled = false;
  if (curl_multi_add_handle(c.multi, c.easy) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode result = CURLE_OK;
  for (;;) {
    if (c.closed.load()) {
      *cancelled = true;
      break;
    }
    int running = 0;
    CURLMcode mc = curl_multi_perform(c.multi, &running);
    if (connecting) {
      AnnounceConnect(c, false);
    } else {
      ReportBytes(c, context);
    }
    if (mc != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    bool done = false;
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(c.multi, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == c.easy) {
        result = msg->data.result;
        done = true;
      }
    }
    if (done) break;
    // Sleeps until a socket is ready, libcurl's next timer, a wake-up, or 1 s.
    if (curl_multi_poll(c.multi, nullptr, 0, 1000, nullptr) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
  }
  curl_multi_remove_handle(c.multi, c.easy);
  return result;
}

void SetCommonOptions(Conn& c) {
  CURL* e = c.easy;
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "ftp");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "ftp");
  if (!c.user.empty()) {
    curl_easy_setopt(e, CURLOPT_USERNAME, c.user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, c.password.c_str());
  }
  // The path after the host goes to the server as it is: no CWD per directory.
  curl_easy_setopt(e, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
  // Active mode: the server connects back to the address of the control connection.
  curl_easy_setopt(e, CURLOPT_FTPPORT, "-");
  curl_easy_setopt(e, CURLOPT_FTP_USE_EPRT, 0L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, c.limits.connectMs);
  curl_easy_setopt(e, CURLOPT_SERVER_RESPONSE_TIMEOUT, c.limits.responseSeconds);
  curl_easy_setopt(e, CURLOPT_ACCEPTTIMEOUT_MS, c.limits.acceptMs);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, c.limits.lowSpeedSeconds);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, WriteData);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &c);
  curl_easy_setopt(e, CURLOPT_RESOLVER_START_FUNCTION, ResolverStarted);
  curl_easy_setopt(e, CURLOPT_RESOLVER_START_DATA, &c);
}

// Connect and log on; reports 10, 60 and 100. True when logged on.
bool RunConnect(Conn& c) {
  Globals& g = G();
  SetCommonOptions(c);
  CURLcode rc = CURLE_URL_MALFORMAT;
  bool cancelled = false;
  if (!c.baseUrl.empty()) {
    std::string url = c.baseUrl + "/";
    curl_easy_setopt(c.easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c.easy, CURLOPT_NOBODY, 1L);
    rc = RunTransfer(c, true, c.connectContext, &cancelled);
  }
  if (cancelled) return false;
  AnnounceConnect(c, true);
  uint32_t error = MapCurlError(rc, true, 0);
  if (error == 0) {
    // PORT carries IPv4 only: over IPv6 the data connection needs EPRT.
    char* ip = nullptr;
    if (curl_easy_getinfo(c.easy, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip != nullptr &&
        std::strchr(ip, ':') != nullptr) {
      curl_easy_setopt(c.easy, CURLOPT_FTP_USE_EPRT, 1L);
    }
    curl_easy_setopt(c.easy, CURLOPT_NOBODY, 0L);
  }
  {
    std::lock_guard<std::mutex> lock(g.mu);
    c.phase = error == 0 ? Phase::Ready : Phase::Dead;
  }
  ReportCompletion(c, c.connectContext, error == 0 ? c.id : 0, error);
  return error == 0;
}

// One download of the connection: the data goes to the temporary file, which replaces
// the target only when the whole file has arrived (SIZE lets libcurl tell a cut
// transfer from a complete one).
void RunDownload(Conn& c, Download& d) {
  Globals& g = G();
  const uintptr_t context = d.context;  // `d` goes with the active download below
  c.fd = d.fd;
  c.writeErrno = 0;
  c.unreported = 0;
  curl_easy_setopt(c.easy, CURLOPT_URL, d.url.c_str());
  bool cancelled = false;
  CURLcode rc = RunTransfer(c, false, context, &cancelled);
  uint32_t error = MapCurlError(rc, false, c.writeErrno);
  if (::close(c.fd) != 0 && error == 0) error = static_cast<uint32_t>(errno);
  c.fd = -1;
  {
    // Under the mutex, so that a close either comes first (and has removed the
    // temporary file) or finds the download finished.
    std::lock_guard<std::mutex> lock(g.mu);
    if (c.closed.load()) {
      cancelled = true;
    } else {
      if (error == 0 && !RenameOver(d.tempPath.c_str(), d.targetPath.c_str())) {
        error = static_cast<uint32_t>(errno);
      }
      if (error != 0) RemoveFile(d.tempPath.c_str());
      c.phase = Phase::Ready;
    }
    c.active.reset();
  }
  if (cancelled) return;
  ReportCompletion(c, context, error == 0 ? 1 : 0, error);
}

void RunConnection(std::shared_ptr<Conn> conn) {
  Globals& g = G();
  Conn& c = *conn;
  if (RunConnect(c)) {
    for (;;) {
      Download* d = nullptr;
      {
        std::unique_lock<std::mutex> lock(g.mu);
        c.wake.wait(lock, [&] { return c.closed.load() || c.queued != nullptr; });
        if (c.closed.load()) break;
        c.active = std::move(c.queued);
        d = c.active.get();
      }
      // `active` is only reset by this thread, so `d` stays valid.
      RunDownload(c, *d);
    }
  }
  {
    std::lock_guard<std::mutex> lock(g.mu);
    c.multiLive = false;
  }
  curl_easy_cleanup(c.easy);
  c.easy = nullptr;
  curl_multi_cleanup(c.multi);  // ends the cached connection: QUIT
  c.multi = nullptr;
  std::lock_guard<std::mutex> lock(g.mu);
  c.threadDone = true;
}

// Closes a connection: no notification after this, the thread is woken to end it, and
// the download's temporary file is removed now (the thread may still write to it
// through its descriptor; that is harmless once the name is gone).
void CloseConnLocked(Conn& c) {
  if (c.closed.load()) return;
  c.closed.store(true);
  if (c.queued) {
    ::close(c.queued->fd);
    RemoveFile(c.queued->tempPath.c_str());
    c.queued.reset();
  }
  if (c.active) RemoveFile(c.active->tempPath.c_str());
  c.wake.notify_all();
  if (c.multiLive) curl_multi_wakeup(c.multi);
}

// Joins the threads of connections that have ended (never the calling thread).
void ReapThreads() {
  Globals& g = G();
  std::vector<std::thread> ended;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    for (size_t i = 0; i < g.threads.size();) {
      if (g.threads[i].conn->threadDone && g.threads[i].thread.get_id() != std::this_thread::get_id()) {
        ended.push_back(std::move(g.threads[i].thread));
        g.threads[i] = std::move(g.threads.back());
        g.threads.pop_back();
      } else {
        ++i;
      }
    }
  }
  for (std::thread& t : ended) t.join();
}

bool HostCharOk(char ch, bool ipv6) {
  if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')) return true;
  if (ipv6) return ch == ':' || ch == '.';
  // Bytes above ASCII: an international name, which libcurl converts (IDN).
  return ch == '.' || ch == '-' || ch == '_' || static_cast<unsigned char>(ch) >= 0x80;
}

// "ftp://host:port", or empty when the host would not be read as one host name (a '/',
// '@' or blank in it would change what the address means).
std::string BaseUrl(const char* host, uint16_t port) {
  if (host == nullptr || host[0] == '\0') return std::string();
  std::string h(host);
  bool bracketed = h.size() > 2 && h.front() == '[' && h.back() == ']';
  std::string inner = bracketed ? h.substr(1, h.size() - 2) : h;
  bool ipv6 = inner.find(':') != std::string::npos;
  if (bracketed && !ipv6) return std::string();
  for (char ch : inner) {
    if (!HostCharOk(ch, ipv6)) return std::string();
  }
  // Port 0 asks for the service's default port, as on Windows.
  unsigned p = port == 0 ? 21u : port;
  return "ftp://" + (ipv6 ? "[" + inner + "]" : inner) + ":" + std::to_string(p);
}

bool HasControlChar(const char* s) {
  for (; *s != '\0'; ++s) {
    if (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7f) return true;
  }
  return false;
}

// The URL path for a remote path. With NOCWD libcurl sends the URL path minus its
// first '/' to SIZE and RETR, decoded: an absolute path keeps its own leading '/' as
// "%2F". Every segment is escaped, so nothing in a name (";type=a", '?', '#', '%') is
// read as URL syntax.
bool RemoteUrlPath(const char* remote, std::string* out) {
  std::string path(remote);
  if (path.empty() || path.back() == '/' || HasControlChar(remote)) return false;
  std::string result = "/";
  size_t start = 0;
  if (path[0] == '/') {
    result += "%2F";
    start = 1;
  }
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start) {
      char* escaped = curl_easy_escape(nullptr, path.data() + start, static_cast<int>(end - start));
      if (escaped == nullptr) return false;
      result += escaped;
      curl_free(escaped);
    }
    if (slash == std::string::npos) break;
    result += '/';
    start = slash + 1;
  }
  *out = result;
  return true;
}

// The temporary name of a download: the target's name and ".part", beside it so that
// the final rename stays on one file system. It depends on the target alone, so what a
// killed process left behind is taken over by the next download of the same file (or
// removed by FtpRemovePartial) instead of piling up.
std::string TempNameFor(const std::string& target) { return target + ".part"; }

// A fresh temporary file for `target`. A leftover of the same name goes first; the new
// file is created exclusively, so a link planted at that name is never followed.
int CreateTempBeside(const std::string& target, std::string* tempPath) {
  const std::string name = TempNameFor(target);
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!RemoveFile(name.c_str()) && errno != ENOENT) return -1;
    // Through the files service: inside the installation the name is matched as the
    // disk spells it and no link leads the download out of it.
    const int fd = OpenFileDescriptor(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
      *tempPath = name;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

}  // namespace

FtpTimeLimits FtpDefaultTimeLimits() { return FtpTimeLimits{15000, 30, 15000, 30}; }

void FtpSetTimeLimits(const FtpTimeLimits& limits) {
  std::lock_guard<std::mutex> lock(G().mu);
  G().limits = limits;
}

FtpHandle FtpOpenRoot(const char*) {
  // libcurl's global set-up is not thread-safe: once, before any client thread exists.
  bool initOk = true;
  std::call_once(g_curlInit, [&] { initOk = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  if (!initOk) {
    SetLastErrorCode(kFtpErrorInternal);
    return nullptr;
  }
  Globals& g = G();
  auto root = std::make_shared<Root>();
  std::lock_guard<std::mutex> lock(g.mu);
  root->id = NewIdLocked();
  g.roots.emplace(root->id, root);
  return HandleOf(root->id);
}

void FtpSetStatusCallback(FtpHandle root, FtpStatusCallback callback) {
  Globals& g = G();
  std::lock_guard<std::mutex> lock(g.mu);
  auto it = g.roots.find(IdOf(root));
  if (it != g.roots.end()) it->second->callback = callback;
}

FtpHandle FtpConnectAsync(FtpHandle root, const char* host, uint16_t port, const char* user,
                          const char* password, uintptr_t context) {
  Globals& g = G();
  ReapThreads();
  auto conn = std::make_shared<Conn>();
  {
    std::lock_guard<std::mutex> lock(g.mu);
    auto it = g.roots.find(IdOf(root));
    if (it == g.roots.end()) {
      SetLastErrorCode(kFtpErrorInvalidHandle);
      return nullptr;
    }
    conn->root = it->second;
    conn->limits = g.limits;
  }
  conn->connectContext = context;
  // A host that cannot be written into the address fails through the notifications,
  // like a name that does not resolve.
  conn->baseUrl = BaseUrl(host, port);
  conn->user = user != nullptr ? user : "";
  conn->password = password != nullptr ? password : "";
  if (HasControlChar(conn->user.c_str()) || HasControlChar(conn->password.c_str())) conn->baseUrl.clear();
  conn->easy = curl_easy_init();
  conn->multi = curl_multi_init();
  if (conn->easy == nullptr || conn->multi == nullptr) {
    curl_easy_cleanup(conn->easy);
    curl_multi_cleanup(conn->multi);
    SetLastErrorCode(kFtpErrorInternal);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g.mu);
  // The root may have been closed meanwhile.
  if (conn->root->closed) {
    curl_easy_cleanup(conn->easy);
    curl_multi_cleanup(conn->multi);
    SetLastErrorCode(kFtpErrorInvalidHandle);
    return nullptr;
  }
  conn->id = NewIdLocked();
  ClientThread record;
  record.conn = conn;
  try {
    // The thread takes the mutex before it reports anything, so it waits for this
    // registration to finish.
    record.thread = std::thread(RunConnection, conn);
  } catch (...) {
    curl_easy_cleanup(conn->easy);
    curl_multi_cleanup(conn->multi);
    SetLastErrorCode(kFtpErrorInternal);
    return nullptr;
  }
  g.conns.emplace(conn->id, conn);
  g.threads.push_back(std::move(record));
  return HandleOf(conn->id);
}

bool FtpGetFileAsync(FtpHandle connection, const char* remotePath, const char* localPath,
                     uintptr_t context) {
  Globals& g = G();
  if (remotePath == nullptr || localPath == nullptr || localPath[0] == '\0') {
    SetLastErrorCode(EINVAL);
    return false;
  }
  std::string urlPath;
  if (!RemoteUrlPath(remotePath, &urlPath)) {
    SetLastErrorCode(kFtpErrorInvalidUrl);
    return false;
  }
  std::shared_ptr<Conn> conn;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    auto it = g.conns.find(IdOf(connection));
    if (it == g.conns.end() || it->second->phase == Phase::Dead) {
      SetLastErrorCode(kFtpErrorInvalidHandle);
      return false;
    }
    if (it->second->phase != Phase::Ready) {
      SetLastErrorCode(kFtpErrorTransferInProgress);
      return false;
    }
    conn = it->second;
  }
  auto d = std::make_unique<Download>();
  d->targetPath = localPath;
  d->context = context;
  d->url = conn->baseUrl + urlPath;
  d->fd = CreateTempBeside(d->targetPath, &d->tempPath);
  if (d->fd < 0) return false;  // errno tells why
  std::lock_guard<std::mutex> lock(g.mu);
  // Checked again: the connection may have been closed or used meanwhile.
  if (conn->closed.load() || conn->phase != Phase::Ready) {
    uint32_t code = conn->closed.load() ? kFtpErrorInvalidHandle : kFtpErrorTransferInProgress;
    ::close(d->fd);
    RemoveFile(d->tempPath.c_str());
    SetLastErrorCode(code);
    return false;
  }
  conn->phase = Phase::Downloading;
  conn->queued = std::move(d);
  conn->wake.notify_all();
  return true;
}

bool FtpRemovePartial(const char* localPath) {
  if (localPath == nullptr || localPath[0] == '\0') {
    SetLastErrorCode(EINVAL);
    return false;
  }
  // A file (or a link, which is removed, never followed) of that name; never a directory.
  return RemoveFile(TempNameFor(localPath).c_str());
}

bool FtpCloseHandle(FtpHandle handle) {
  Globals& g = G();
  std::lock_guard<std::mutex> lock(g.mu);
  uintptr_t id = IdOf(handle);
  auto r = g.roots.find(id);
  if (r != g.roots.end()) {
    Root* root = r->second.get();
    root->closed = true;
    for (auto it = g.conns.begin(); it != g.conns.end();) {
      if (it->second->root.get() == root) {
        CloseConnLocked(*it->second);
        it = g.conns.erase(it);
      } else {
        ++it;
      }
    }
    g.roots.erase(r);
    return true;
  }
  auto c = g.conns.find(id);
  if (c != g.conns.end()) {
    CloseConnLocked(*c->second);
    g.conns.erase(c);
    return true;
  }
  SetLastErrorCode(kFtpErrorInvalidHandle);
  return false;
}

int FtpCallbacksInFlight() { return G().inFlight.load(); }

void FtpShutdown() {
  Globals& g = G();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    // Roots still open are closed here, so that no thread waits for work any more.
    for (auto& entry : g.conns) CloseConnLocked(*entry.second);
    g.conns.clear();
    for (auto& entry : g.roots) entry.second->closed = true;
    g.roots.clear();
    for (ClientThread& t : g.threads) threads.push_back(std::move(t.thread));
    g.threads.clear();
  }
  for (std::thread& t : threads) {
    if (t.get_id() == std::this_thread::get_id()) {
      t.detach();  // called from a callback: this thread ends on its own
    } else {
      t.join();
    }
  }
}

}  // namespace plat
