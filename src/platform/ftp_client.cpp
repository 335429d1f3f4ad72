// The asynchronous FTP client of ftp.h, written once over the adapter of
// ftp_transport.h (libcurl on Linux, WinINet on Windows).
//
// Handles are tokens (never addresses): every call looks its handle up in one table
// under one mutex, so a closed or unknown handle is refused instead of touching freed
// memory, and a token is never reused.
//
// The notifications the caller sees are made here, never passed through from the
// library. Each connection is run by one client thread that makes the adapter's calls
// one after the other and reports 10 and 60 before its connect, 41 as the adapter writes
// data, and 100 from what each call returns. Threads go on to the next connection: a
// patch run makes a connection per file, and under Wine a thread's start and end (through
// its server and every loaded DLL) cost a few milliseconds of each file.
//
// Notifications of one root are serialised by a per-root mutex, so the caller sees one
// at a time even when a connection is made from inside a callback of the one before.
// The end of an operation is reported through one flag per operation, by whichever
// comes first of the connection's thread and the adapter's AbortOperation, so the
// caller can never see two.
//
// A download goes to "<target>.part" beside the target (one file system for the final
// move), which replaces the target only when the whole file has arrived. A close or an
// abort closes and removes that file at once; a later download of the same target may
// then make a new file of that name, which the old one never touches again.
//
// A connect resolves the name here and tries its addresses in turn, one per adapter
// Connect: an address that refuses, drops the connection or stays silent past a time
// limit is followed by the next, within the same connect, and is tried last by the
// root's later connects (a patch run is one root), so a dead mirror among a name's
// addresses costs one time limit per run rather than one per file. Neither library
// does this itself: libcurl gives up on a silent greeting, Wine's WinINet tries the
// first address alone.
//
// The caller's bound on a download's size is kept here, for every adapter alike: a
// write that would take the file past it is refused, which the adapter takes as the end
// of the transfer, and the download fails however the adapter ended it. Whatever the
// server said of the size never moves the bound.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/ftp.h"
#include "platform/ftp_transport.h"
#include "platform/resolver.h"

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

// How long a client thread waits for another connection before it ends.
constexpr auto kIdleThreadLife = std::chrono::seconds(30);

struct Root {
  uintptr_t id = 0;
  ftp::Session* session = nullptr;
  // Serialises the notifications of every connection made from this root.
  std::mutex callbackMutex;
  // Guarded by Globals::mu.
  FtpStatusCallback callback = nullptr;
  bool closed = false;
  // Addresses whose connect failed during the root's life, the latest failure last.
  std::vector<std::string> failedAddresses;

  // The last reference goes with the last connection or the close of the root, never
  // under Globals::mu (the library may call back from here).
  ~Root() {
    if (session != nullptr) ftp::CloseSession(session);
  }
};

struct Download {
  std::string remote;
  std::string target;
  std::string part;
  uintptr_t context = 0;
  FtpSizeBound bound{};
  FtpDataObserver* observer = nullptr;  // sees each write, under fileMutex
  // The temporary file; guarded by fileMutex, because a close or an abort drops it while
  // the connection's thread may still be writing.
  std::mutex fileMutex;
  ftp::LocalFile file = ftp::kNoLocalFile;
  bool partOwned = true;  // the name is still this download's (not placed, not removed)
  uint64_t written = 0;   // bytes in the temporary file, never more than bound.limit
  bool overran = false;   // data past the bound arrived: the transfer was broken off
};

enum class Phase { Connecting, Ready, Downloading, Dead };

class Conn final : public ftp::Link {
 public:
  bool Abandoned() const override { return closed.load() || ended.load(); }
  uint64_t Operation() const override { return operation.load(); }
  bool Write(const void* data, size_t size, uint32_t* error) override;
  void Received(uint64_t count) override;

  std::shared_ptr<Root> root;
  uintptr_t connectContext = 0;
  bool hostOk = false;  // the host, user and password can be sent
  ftp::Channel* channel = nullptr;

  // Guarded by Globals::mu.
  bool channelOpen = false;  // WakeChannel only while set
  Phase phase = Phase::Connecting;
  std::atomic<bool> closed{false};  // written under the mutex, read anywhere
  std::atomic<bool> ended{false};   // ended by AbortOperation: the connection is dead
  std::atomic<uint64_t> operation{1};  // Link::Operation; moves on under the mutex
  std::shared_ptr<Download> queued;  // accepted, not yet taken by the thread
  std::shared_ptr<Download> active;  // taken by the thread, which alone resets it
  std::condition_variable wake;
  // The operation whose end is still to be reported.
  bool opOpen = true;  // the connect, from the start
  uintptr_t opContext = 0;
};

struct ClientThread {
  std::thread thread;
  bool retired = false;  // left to end by FtpShutdown: takes no other connection
  bool done = false;     // it has ended
};

struct Globals {
  std::mutex mu;
  std::unordered_map<uintptr_t, std::shared_ptr<Root>> roots;
  std::unordered_map<uintptr_t, std::shared_ptr<Conn>> conns;  // open handles
  std::vector<std::shared_ptr<ClientThread>> threads;
  std::deque<std::shared_ptr<Conn>> unclaimed;  // connections no thread has taken yet
  size_t idleThreads = 0;                       // threads waiting for one
  bool stopping = false;                        // FtpShutdown: idle threads end
  std::condition_variable work;
  std::condition_variable threadEnded;
  uintptr_t nextId = 0x5a0000;
  std::atomic<int> inFlight{0};
  FtpTimeLimits limits = FtpDefaultTimeLimits();
};

// Never destroyed: a thread still ending at process exit must not meet a destroyed mutex.
Globals& G() {
  static Globals* globals = new Globals;
  return *globals;
}

FtpHandle HandleOf(uintptr_t id) { return reinterpret_cast<FtpHandle>(id); }
uintptr_t IdOf(FtpHandle handle) { return reinterpret_cast<uintptr_t>(handle); }

uintptr_t NewIdLocked() { return G().nextId += 0x10; }

// Calls the root's callback unless the connection or its root has been closed. The
// caller holds the root's callbackMutex. The count in flight moves under the same mutex
// as the closed flags (see ftp.h).
void Deliver(Conn& c, uintptr_t context, uint32_t status, void* info, uint32_t length) {
  Globals& g = G();
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

// A notification of the running operation, unless the operation has ended.
void Report(Conn& c, uintptr_t context, uint32_t status, void* info, uint32_t length) {
  std::lock_guard<std::mutex> serial(c.root->callbackMutex);
  {
    std::lock_guard<std::mutex> lock(G().mu);
    if (!c.opOpen) return;
  }
  Deliver(c, context, status, info, length);
}

// Closes the temporary file and removes it, once: a later download of the same target
// may already have made a new file of that name.
void DropPart(Download& d) {
  std::lock_guard<std::mutex> lock(d.fileMutex);
  if (d.file != ftp::kNoLocalFile) ftp::CloseLocal(d.file);
  d.file = ftp::kNoLocalFile;
  if (d.partOwned) ftp::RemoveLocal(d.part);
  d.partOwned = false;
}

bool Conn::Write(const void* data, size_t size, uint32_t* error) {
  *error = 0;
  Download* d = active.get();  // only this thread changes it
  if (d == nullptr) return true;
  std::lock_guard<std::mutex> lock(d->fileMutex);
  if (d->file == ftp::kNoLocalFile) return false;
  // Nothing past the bound reaches the disk: the first byte beyond it ends the transfer.
  if (size > d->bound.limit - d->written) {
    d->overran = true;
    *error = kFtpErrorWrongSize;
    return false;
  }
  if (ftp::WriteLocal(d->file, data, size)) {
    d->written += size;
    // Under the file lock: a close drops the file under it, so nothing is shown to the
    // observer once the close has returned.
    if (d->observer != nullptr) d->observer->Data(data, size);
    return true;
  }
  *error = LastErrorCode();
  return false;
}

void Conn::Received(uint64_t count) {
  const uintptr_t context = active != nullptr ? active->context : 0;
  while (count > 0) {
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, 0x7fffffffu));
    count -= n;
    Report(*this, context, kFtpResponseReceived, &n, sizeof n);
  }
}

// Ends the running operation once, unless a close or an abort has ended it. For a
// download that succeeded, the temporary file replaces the target here, under the
// mutex, so a close either comes first (and the target stays as it was) or finds the
// download finished; one that failed has removed its temporary file by the time its
// end is reported.
void Complete(Conn& c, uintptr_t result, uint32_t error, Download* download, Phase next) {
  std::lock_guard<std::mutex> serial(c.root->callbackMutex);
  uintptr_t context = 0;
  {
    std::lock_guard<std::mutex> lock(G().mu);
    if (!c.opOpen || c.closed.load()) return;
    c.opOpen = false;
    context = c.opContext;
    if (download != nullptr && error == 0) {
      std::lock_guard<std::mutex> file(download->fileMutex);
      download->partOwned = !ftp::PlaceLocal(download->part, download->target);
      if (download->partOwned) error = LastErrorCode();
    }
    if (download != nullptr && error != 0) DropPart(*download);
    c.phase = next;
  }
  FtpAsyncResult r{error == 0 ? result : 0, error};
  Deliver(c, context, kFtpRequestComplete, &r, sizeof r);
}

// Whether a connect that failed at one address goes on to the next: the address
// refused or dropped the connection, greeted with a refusal, or stayed silent past a
// time limit. A refused log-on (the server answered and turned the account down) and a
// cancel end the connect.
bool TryNextAddressAfter(uint32_t error) {
  switch (error) {
    case kFtpErrorCannotConnect:
    case kFtpErrorTimeout:
    case kFtpErrorConnectionAborted:
    case kFtpErrorConnectionReset:
    case kFtpErrorTransferFailed:
      return true;
    default:
      return false;
  }
}

// The order in which a connect tries a name's addresses: those that have not failed
// during the run in the resolver's order, then those that have, the one that failed
// longest ago first, so that one is still tried when no other answers.
std::vector<std::string> ConnectOrder(const std::vector<std::string>& resolved,
                                      const std::vector<std::string>& failed) {
  std::vector<std::string> order;
  for (const std::string& a : resolved) {
    if (std::find(failed.begin(), failed.end(), a) == failed.end()) order.push_back(a);
  }
  for (const std::string& a : failed) {
    if (std::find(resolved.begin(), resolved.end(), a) != resolved.end()) order.push_back(a);
  }
  return order;
}

// Connects and logs on at the first of the host's addresses that lets it, noting each
// address's outcome in the root: 0, or the error of the last address tried.
uint32_t ConnectToSomeAddress(Conn& c) {
  std::vector<std::string> addresses;
  if (!ResolveHost(c.host.c_str(), &addresses)) return kFtpErrorNameNotResolved;
  {
    std::lock_guard<std::mutex> lock(G().mu);
    addresses = ConnectOrder(addresses, c.root->failedAddresses);
  }
  uint32_t error = kFtpErrorCannotConnect;
  for (size_t i = 0; i < addresses.size(); ++i) {
    const std::string& address = addresses[i];
    if (c.Abandoned()) return kFtpErrorOperationCancelled;
    c.address = address;
    c.addressIpv6 = address.find(':') != std::string::npos;
    c.moreAddresses = i + 1 < addresses.size();
    error = ftp::Connect(c.channel);
    const bool next = error != 0 && TryNextAddressAfter(error);
    {
      std::lock_guard<std::mutex> lock(G().mu);
      std::vector<std::string>& failed = c.root->failedAddresses;
      failed.erase(std::remove(failed.begin(), failed.end(), address), failed.end());
      if (next) failed.push_back(address);
    }
    if (!next) break;
  }
  return error;
}

// Connect and log on; reports 10, 60 and 100. True when logged on.
bool RunConnect(Conn& c) {
  Report(c, c.connectContext, kFtpResolvingName, nullptr, 0);
  FtpAsyncResult created{c.id, 0};
  Report(c, c.connectContext, kFtpHandleCreated, &created, sizeof created);
  if (c.Abandoned()) return false;
  const uint32_t error = c.hostOk ? ConnectToSomeAddress(c) : kFtpErrorInvalidUrl;
  Complete(c, c.id, error, nullptr, error == 0 ? Phase::Ready : Phase::Dead);
  return error == 0 && !c.Abandoned();
}

// One download of the connection: data to the temporary file, which replaces the
// target only when the whole file has arrived.
void RunDownload(Conn& c, Download& d) {
  uint32_t error = ftp::Download(c.channel, d.remote);
  bool brokenOff = false;
  {
    std::lock_guard<std::mutex> lock(d.fileMutex);
    // The bound decides, whatever the adapter made of a refused write (a write error,
    // a cut transfer) or of a file that ended short of an exact bound (success).
    brokenOff = d.overran;
    if (brokenOff) {
      error = kFtpErrorWrongSize;
    } else if (error == 0 && d.bound.exact && d.written != d.bound.limit) {
      error = kFtpErrorWrongSize;
    }
    if (d.file != ftp::kNoLocalFile) {
      if (!ftp::CloseLocal(d.file) && error == 0) error = LastErrorCode();
      d.file = ftp::kNoLocalFile;
    }
  }
  // After a close or an abort there is nothing left to do. A transfer that timed out or
  // was broken off leaves the control connection in no known state: it takes no other
  // download.
  Complete(c, 1, error, &d, error == kFtpErrorTimeout || brokenOff ? Phase::Dead : Phase::Ready);
}

void RunConnection(Conn& c) {
  Globals& g = G();
  if (RunConnect(c)) {
    for (;;) {
      std::shared_ptr<Download> d;
      {
        // A dead connection (its transfer timed out or was broken off) takes no other
        // download: its thread ends it now and goes on to other connections, rather
        // than waiting for the caller's close.
        std::unique_lock<std::mutex> lock(g.mu);
        c.wake.wait(lock, [&] { return c.Abandoned() || c.phase == Phase::Dead || c.queued != nullptr; });
        if (c.Abandoned() || c.phase == Phase::Dead) break;
        c.active = std::move(c.queued);
        d = c.active;
      }
      RunDownload(c, *d);
      std::lock_guard<std::mutex> lock(g.mu);
      c.active.reset();
    }
  }
  {
    std::lock_guard<std::mutex> lock(g.mu);
    c.channelOpen = false;
  }
  ftp::CloseChannel(c.channel);
  c.channel = nullptr;
}

// A client thread: runs the connections nobody has taken, until none has come for
// kIdleThreadLife or FtpShutdown stops it.
void RunClientThread(std::shared_ptr<ClientThread> self) {
  Globals& g = G();
  std::unique_lock<std::mutex> lock(g.mu);
  while (!self->retired) {
    ++g.idleThreads;
    g.work.wait_for(lock, kIdleThreadLife, [&] { return !g.unclaimed.empty() || g.stopping; });
    --g.idleThreads;
    if (g.unclaimed.empty()) break;
    std::shared_ptr<Conn> conn = std::move(g.unclaimed.front());
    g.unclaimed.pop_front();
    lock.unlock();
    RunConnection(*conn);
    conn.reset();  // outside the mutex: the last reference may close the root's session
    lock.lock();
  }
  self->done = true;
  g.threadEnded.notify_all();
}

// Ends operation `operation` from outside, unless it has ended meanwhile (the one
// running may be a later one): the operation is claimed, the connection is dead from
// here on, the temporary file goes, then the end is reported with `error`.
void Abort(Conn& c, uint64_t operation, uint32_t error) {
  std::lock_guard<std::mutex> serial(c.root->callbackMutex);
  std::shared_ptr<Download> d;
  uintptr_t context = 0;
  {
    std::lock_guard<std::mutex> lock(G().mu);
    if (!c.opOpen || c.Abandoned() || c.operation.load() != operation) return;
    c.opOpen = false;
    context = c.opContext;
    c.ended.store(true);
    c.phase = Phase::Dead;
    c.wake.notify_all();
    if (c.channelOpen) ftp::WakeChannel(c.channel);
    d = c.active;
  }
  if (d) DropPart(*d);
  FtpAsyncResult r{0, error};
  Deliver(c, context, kFtpRequestComplete, &r, sizeof r);
}

// Closes a connection: nothing is reported after this, its thread is woken to end it,
// and the temporary file of its download is closed and removed now.
void CloseConnLocked(Conn& c) {
  if (c.closed.load()) return;
  c.closed.store(true);
  if (c.queued) DropPart(*c.queued);
  c.queued.reset();
  if (c.active) DropPart(*c.active);
  c.wake.notify_all();
  if (c.channelOpen) ftp::WakeChannel(c.channel);
}

// Closes a root and its connections. The caller releases the root after the mutex.
std::shared_ptr<Root> CloseRootLocked(std::unordered_map<uintptr_t, std::shared_ptr<Root>>::iterator r) {
  Globals& g = G();
  std::shared_ptr<Root> root = std::move(r->second);
  g.roots.erase(r);
  root->closed = true;
  for (auto it = g.conns.begin(); it != g.conns.end();) {
    if (it->second->root != root) {
      ++it;
      continue;
    }
    CloseConnLocked(*it->second);
    it = g.conns.erase(it);
  }
  return root;
}

// Joins the client threads that have ended (never the calling thread).
void ReapThreads() {
  std::vector<std::shared_ptr<ClientThread>> ended;
  {
    std::lock_guard<std::mutex> lock(G().mu);
    auto& threads = G().threads;
    auto gone = std::partition(threads.begin(), threads.end(), [](const std::shared_ptr<ClientThread>& t) {
      return !t->done || t->thread.get_id() == std::this_thread::get_id();
    });
    ended.assign(std::make_move_iterator(gone), std::make_move_iterator(threads.end()));
    threads.erase(gone, threads.end());
  }
  for (auto& t : ended) t->thread.join();
}

bool HasControlChar(const char* s) {
  for (; *s != '\0'; ++s) {
    if (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7f) return true;
  }
  return false;
}

bool HostCharOk(char ch, bool ipv6) {
  if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')) return true;
  if (ipv6) return ch == ':' || ch == '.';
  // Bytes above ASCII: an international name, which the library converts (IDN).
  return ch == '.' || ch == '-' || ch == '_' || static_cast<unsigned char>(ch) >= 0x80;
}

// Takes the host into `c` (an IPv6 address without its brackets). False when it would
// not be read as one host name: a '/', '@' or blank in it would change what the
// address means.
bool TakeHost(Conn& c, const char* host) {
  if (host == nullptr || host[0] == '\0') return false;
  const std::string h(host);
  const bool bracketed = h.size() > 2 && h.front() == '[' && h.back() == ']';
  c.host = bracketed ? h.substr(1, h.size() - 2) : h;
  c.ipv6 = c.host.find(':') != std::string::npos;
  if (bracketed && !c.ipv6) return false;
  return std::all_of(c.host.begin(), c.host.end(), [&](char ch) { return HostCharOk(ch, c.ipv6); });
}

// The temporary name of a download: the target's name and ".part". It depends on the
// target alone, so what a killed process left behind is taken over by the next download
// of the same file (or removed by FtpRemovePartial) instead of piling up.
std::string PartNameFor(const char* target) { return std::string(target) + ".part"; }

}  // namespace

void ftp::AbortOperation(uintptr_t id, uint64_t operation, uint32_t error) {
  std::shared_ptr<Conn> conn;
  {
    std::lock_guard<std::mutex> lock(G().mu);
    auto it = G().conns.find(id);
    if (it == G().conns.end()) return;  // closed: nothing to end
    conn = it->second;
  }
  Abort(*conn, operation, error);
}

FtpTimeLimits FtpDefaultTimeLimits() { return FtpTimeLimits{15000, 30, 15000, 30}; }

void FtpSetTimeLimits(const FtpTimeLimits& limits) {
  std::lock_guard<std::mutex> lock(G().mu);
  G().limits = limits;
}

FtpHandle FtpOpenRoot(const char* agent) {
  Globals& g = G();
  auto root = std::make_shared<Root>();
  root->session = ftp::OpenSession(agent != nullptr ? agent : "");
  if (root->session == nullptr) return nullptr;  // LastErrorCode tells why
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
  conn->connectContext = conn->opContext = context;
  // A host, user or password that cannot be sent fails through the notifications, like
  // a name that does not resolve. Port 0 asks for the service's default port.
  conn->port = port == 0 ? 21 : port;
  conn->user = user != nullptr ? user : "";
  conn->password = password != nullptr ? password : "";
  conn->hostOk = TakeHost(*conn, host) && !HasControlChar(conn->user.c_str()) &&
                 !HasControlChar(conn->password.c_str());
  // A thread takes the connection under the mutex, so it waits for this registration to
  // finish before it reports anything.
  std::lock_guard<std::mutex> lock(g.mu);
  auto it = g.roots.find(IdOf(root));
  if (it == g.roots.end()) {
    SetLastErrorCode(kFtpErrorInvalidHandle);
    return nullptr;
  }
  conn->root = it->second;
  conn->limits = g.limits;
  conn->id = NewIdLocked();
  conn->channel = ftp::OpenChannel(conn->root->session, *conn);
  if (conn->channel == nullptr) return nullptr;  // LastErrorCode tells why
  try {
    if (g.idleThreads <= g.unclaimed.size()) {
      auto record = std::make_shared<ClientThread>();
      record->thread = std::thread(RunClientThread, record);
      g.threads.push_back(std::move(record));
    }
  } catch (...) {
    ftp::CloseChannel(conn->channel);
    SetLastErrorCode(kFtpErrorInternal);
    return nullptr;
  }
  conn->channelOpen = true;
  g.unclaimed.push_back(conn);
  g.work.notify_one();
  g.conns.emplace(conn->id, conn);
  return HandleOf(conn->id);
}

bool FtpGetFileAsync(FtpHandle connection, const char* remotePath, const char* localPath,
                     FtpSizeBound bound, uintptr_t context, FtpDataObserver* observer) {
  Globals& g = G();
  if (remotePath == nullptr || localPath == nullptr || localPath[0] == '\0') {
    SetLastErrorCode(ftp::kInvalidArgument);
    return false;
  }
  const size_t remoteLength = std::strlen(remotePath);
  if (remoteLength == 0 || remotePath[remoteLength - 1] == '/' || HasControlChar(remotePath)) {
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
  auto d = std::make_shared<Download>();
  d->remote = remotePath;
  d->target = localPath;
  d->part = PartNameFor(localPath);
  d->context = context;
  d->bound = bound;
  d->observer = observer;
  d->file = ftp::CreateLocal(d->part);
  if (d->file == ftp::kNoLocalFile) return false;  // LastErrorCode tells why
  std::lock_guard<std::mutex> lock(g.mu);
  // Checked again: the connection may have been closed or used meanwhile.
  if (conn->closed.load() || conn->phase != Phase::Ready) {
    const uint32_t code = conn->closed.load() || conn->phase == Phase::Dead ? kFtpErrorInvalidHandle
                                                                            : kFtpErrorTransferInProgress;
    DropPart(*d);
    SetLastErrorCode(code);
    return false;
  }
  conn->phase = Phase::Downloading;
  conn->operation.fetch_add(1);
  conn->opOpen = true;
  conn->opContext = context;
  conn->queued = std::move(d);
  conn->wake.notify_all();
  return true;
}

bool FtpRemovePartial(const char* localPath) {
  if (localPath == nullptr || localPath[0] == '\0') {
    SetLastErrorCode(ftp::kInvalidArgument);
    return false;
  }
  return ftp::RemoveLocal(PartNameFor(localPath));
}

bool FtpCloseHandle(FtpHandle handle) {
  Globals& g = G();
  std::shared_ptr<Root> dropped;  // released after the mutex (its session is closed then)
  std::lock_guard<std::mutex> lock(g.mu);
  auto r = g.roots.find(IdOf(handle));
  if (r != g.roots.end()) {
    dropped = CloseRootLocked(r);
    return true;
  }
  auto c = g.conns.find(IdOf(handle));
  if (c != g.conns.end()) {
    CloseConnLocked(*c->second);
    g.conns.erase(c);
    return true;
  }
  SetLastErrorCode(kFtpErrorInvalidHandle);
  return false;
}

int FtpCallbacksInFlight() { return G().inFlight.load(); }

// Waits for the client threads; one that the library still holds in a call that cannot
// be cancelled is left after ftp::kShutdownWaitMs and ends with the process.
void FtpShutdown() {
  Globals& g = G();
  std::vector<std::shared_ptr<ClientThread>> threads;
  std::vector<std::shared_ptr<Root>> roots;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    // Roots still open are closed here, so that no thread waits for work any more.
    while (!g.roots.empty()) roots.push_back(CloseRootLocked(g.roots.begin()));
    threads.swap(g.threads);
    g.stopping = true;
    g.work.notify_all();
  }
  roots.clear();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ftp::kShutdownWaitMs);
  for (auto& t : threads) {
    std::unique_lock<std::mutex> lock(g.mu);
    const bool mine = t->thread.get_id() == std::this_thread::get_id();
    const auto ended = [&] { return t->done; };
    if (!mine && ftp::kShutdownWaitMs < 0) g.threadEnded.wait(lock, ended);
    if (!mine && g.threadEnded.wait_until(lock, deadline, ended)) {
      lock.unlock();
      t->thread.join();
      continue;
    }
    // Called from a callback (this very thread), or the library still holds it: it
    // ends on its own once its connection has.
    t->retired = true;
    lock.unlock();
    t->thread.detach();
  }
  {
    std::lock_guard<std::mutex> lock(g.mu);
    g.stopping = false;
  }
  ftp::ShutdownTransport();
}

}  // namespace plat
