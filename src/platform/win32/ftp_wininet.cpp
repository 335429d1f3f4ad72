// Windows FTP client: the WinINet transfers are not written yet. Until they are, this
// file keeps the promises of ftp.h for a client that can reach no server: every
// connect is accepted and then fails through its notifications (resolving name,
// handle created, request complete with ERROR_CALL_NOT_IMPLEMENTED), reported on a
// thread of the client's own, so the core meets a failed connection exactly as it
// would meet a refused one. No download can be started.
#include "platform/ftp.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace plat {

struct FtpObject {
  FtpObject* root = nullptr;  // null for a root
  FtpStatusCallback callback = nullptr;
  uintptr_t context = 0;
};

namespace {

struct Globals {
  std::mutex mu;                  // the handle table, the callbacks and closes
  std::mutex serial;              // one callback at a time (one root in practice)
  std::set<FtpObject*> open;      // live handles
  std::vector<std::thread> threads;
  std::atomic<int> inFlight{0};
  FtpTimeLimits limits = FtpDefaultTimeLimits();
};

// Never destroyed: a thread still ending at process exit must not meet a destroyed mutex.
Globals& G() {
  static Globals* g = new Globals;
  return *g;
}

// Calls the root's callback unless the handle or its root has been closed; the count
// in flight moves under the mutex that a close takes (see ftp.h).
void Report(FtpObject* handle, uint32_t status, void* info, uint32_t length) {
  Globals& g = G();
  std::lock_guard<std::mutex> serial(g.serial);
  FtpStatusCallback callback = nullptr;
  uintptr_t context = 0;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    if (g.open.count(handle) == 0 || g.open.count(handle->root) == 0) return;
    callback = handle->root->callback;
    context = handle->context;
    if (callback == nullptr) return;
    g.inFlight.fetch_add(1);
  }
  callback(handle, context, status, info, length);
  g.inFlight.fetch_sub(1);
}

void FailConnect(FtpObject* connection) {
  Report(connection, kFtpResolvingName, nullptr, 0);
  FtpAsyncResult created{reinterpret_cast<uintptr_t>(connection), 0};
  Report(connection, kFtpHandleCreated, &created, sizeof created);
  FtpAsyncResult done{0, ERROR_CALL_NOT_IMPLEMENTED};
  Report(connection, kFtpRequestComplete, &done, sizeof done);
}

}  // namespace

FtpTimeLimits FtpDefaultTimeLimits() { return FtpTimeLimits{15000, 30, 15000, 30}; }

void FtpSetTimeLimits(const FtpTimeLimits& limits) {
  std::lock_guard<std::mutex> lock(G().mu);
  G().limits = limits;
}

FtpHandle FtpOpenRoot(const char*) {
  auto* root = new FtpObject;
  std::lock_guard<std::mutex> lock(G().mu);
  G().open.insert(root);
  return root;
}

void FtpSetStatusCallback(FtpHandle root, FtpStatusCallback callback) {
  std::lock_guard<std::mutex> lock(G().mu);
  if (G().open.count(root) != 0) root->callback = callback;
}

FtpHandle FtpConnectAsync(FtpHandle root, const char*, uint16_t, const char*, const char*, uintptr_t context) {
  Globals& g = G();
  std::lock_guard<std::mutex> lock(g.mu);
  if (root == nullptr || g.open.count(root) == 0 || root->root != nullptr) {
    SetLastError(kFtpErrorInvalidHandle);
    return nullptr;
  }
  auto* connection = new FtpObject;
  connection->root = root;
  connection->context = context;
  try {
    // The thread reports only after this registration (it takes the mutex first).
    g.threads.emplace_back(FailConnect, connection);
  } catch (...) {
    delete connection;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  g.open.insert(connection);
  return connection;
}

bool FtpGetFileAsync(FtpHandle connection, const char* remotePath, const char* localPath, uintptr_t) {
  if (remotePath == nullptr || localPath == nullptr || localPath[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::lock_guard<std::mutex> lock(G().mu);
  // No connection ever logs on, so every handle is closed or failed.
  SetLastError(G().open.count(connection) != 0 ? ERROR_CALL_NOT_IMPLEMENTED : kFtpErrorInvalidHandle);
  return false;
}

// This client writes no download yet; the name is the one the Linux client uses
// (localPath + ".part"), so a leftover of that name is what it removes.
bool FtpRemovePartial(const char* localPath) {
  if (localPath == nullptr || localPath[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  char name[MAX_PATH + 8];
  const int n = std::snprintf(name, sizeof name, "%s.part", localPath);
  if (n < 0 || static_cast<size_t>(n) >= sizeof name) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  const DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return DeleteFileA(name) != 0;
}

// Handles are forgotten, not freed: a late thread may still hold the pointer, and a
// run makes a handful of them.
bool FtpCloseHandle(FtpHandle handle) {
  std::lock_guard<std::mutex> lock(G().mu);
  if (G().open.erase(handle) == 0) {
    SetLastError(kFtpErrorInvalidHandle);
    return false;
  }
  return true;
}

int FtpCallbacksInFlight() { return G().inFlight.load(); }

void FtpShutdown() {
  Globals& g = G();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(g.mu);
    g.open.clear();
    threads.swap(g.threads);
  }
  for (std::thread& t : threads) {
    if (t.get_id() == std::this_thread::get_id()) {
      t.detach();
    } else {
      t.join();
    }
  }
}

}  // namespace plat
