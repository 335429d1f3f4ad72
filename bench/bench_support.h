// What the benchmark programs share: timing, running a tool, and the FTP client
// driven the way a patch run drives it.
#pragma once
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ftp.h"
#include "support/ftp_server.h"

extern char** environ;

namespace zdbench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

inline long long FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Runs a program (argv[0] searched in PATH) with output discarded; its exit status.
inline int Run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Drives the client the way the patch run does: connect, on completion download (bound
// to the file's exact size, as the list gives it), on completion close and connect for
// the next file.
class Driver {
 public:
  // `port`: where to connect instead of the server's own port (a proxy in front of it).
  Driver(const zdtest::FtpServerFixture& server, std::vector<std::string> remotes, std::vector<std::string> locals,
         uint16_t port = 0)
      : server_(server), remotes_(std::move(remotes)), locals_(std::move(locals)), port_(port != 0 ? port : server.port()) {
    for (const std::string& remote : remotes_) sizes_.push_back(FileSize(server_.root() + "/" + remote));
  }

  bool Run() {
    root_ = plat::FtpOpenRoot("bench");
    plat::FtpSetStatusCallback(root_, Callback);
    Connect();
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return done_; });
    plat::FtpCloseHandle(root_);
    plat::FtpShutdown();
    return ok_;
  }

 private:
  static void Callback(plat::FtpHandle handle, uintptr_t context, uint32_t status, void* info, uint32_t) {
    Driver* d = reinterpret_cast<Driver*>(context & ~uintptr_t{1});
    if (status != plat::kFtpRequestComplete) return;
    const plat::FtpAsyncResult* r = static_cast<const plat::FtpAsyncResult*>(info);
    if (r->error != 0) return d->Finish(false);
    if ((context & 1) == 0) {
      const plat::FtpSizeBound bound{static_cast<uint64_t>(d->sizes_[d->next_]), true};
      if (!plat::FtpGetFileAsync(handle, d->remotes_[d->next_].c_str(), d->locals_[d->next_].c_str(), bound,
                                 reinterpret_cast<uintptr_t>(d) | 1)) {
        d->Finish(false);
      }
      return;
    }
    plat::FtpCloseHandle(handle);
    if (++d->next_ == d->remotes_.size()) return d->Finish(true);
    d->Connect();
  }

  void Connect() {
    if (plat::FtpConnectAsync(root_, "127.0.0.1", port_, server_.user().c_str(), server_.password().c_str(),
                              reinterpret_cast<uintptr_t>(this)) == nullptr) {
      Finish(false);
    }
  }

  void Finish(bool ok) {
    std::lock_guard<std::mutex> lock(mu_);
    ok_ = ok;
    done_ = true;
    cv_.notify_all();
  }

  const zdtest::FtpServerFixture& server_;
  std::vector<std::string> remotes_;
  std::vector<std::string> locals_;
  std::vector<long long> sizes_;  // of the remote files, on the server's disk
  uint16_t port_;
  size_t next_ = 0;
  plat::FtpHandle root_ = nullptr;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  bool ok_ = false;
};

}  // namespace zdbench
