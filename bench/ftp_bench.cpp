// Throughput of the FTP client against the test server, beside the command-line tools.
//
//   ftp_bench [large-file-bytes] [small-file-count]
//
// 1. One large file (default 1 GiB) through the client and through `curl`.
// 2. Small files (default 2,000 of 4 KiB), each with a fresh connect, log-on, RETR and
//    QUIT as the patch run does it: the client, a `curl` process per file, and one
//    `lftp` mirror of the directory (one connection for all, for reference).
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ftp.h"
#include "support/ftp_server.h"
#include "support/temp_tree.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

long long FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Runs a program (argv[0] searched in PATH) with output discarded; its exit status.
int Run(std::vector<std::string> args) {
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

// Drives the client the way the patch run does: connect, on completion download, on
// completion close and connect for the next file.
class Driver {
 public:
  Driver(const zdtest::FtpServerFixture& server, std::vector<std::string> remotes, std::vector<std::string> locals)
      : server_(server), remotes_(std::move(remotes)), locals_(std::move(locals)) {}

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
      if (!plat::FtpGetFileAsync(handle, d->remotes_[d->next_].c_str(), d->locals_[d->next_].c_str(),
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
    if (plat::FtpConnectAsync(root_, "127.0.0.1", server_.port(), server_.user().c_str(), server_.password().c_str(),
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
  size_t next_ = 0;
  plat::FtpHandle root_ = nullptr;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  bool ok_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  long long large = argc > 1 ? std::atoll(argv[1]) : (1LL << 30);
  int count = argc > 2 ? std::atoi(argv[2]) : 2000;
  zdtest::FtpServerFixture server;
  if (!server.ok()) return 1;
  zdtest::TempTree local;
  std::string url = "ftp://" + server.user() + ":" + server.password() + "@127.0.0.1:" + std::to_string(server.port());

  // The large file: a repeated 1 MiB block (the contents do not matter here).
  {
    std::string path = server.root() + "/large.bin";
    FILE* f = std::fopen(path.c_str(), "wb");
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = zdtest::FtpServerFixture::PatternByte(static_cast<long long>(i));
    for (long long done = 0; done < large;) {
      size_t n = static_cast<size_t>(std::min<long long>(large - done, static_cast<long long>(block.size())));
      std::fwrite(block.data(), 1, n, f);
      done += static_cast<long long>(n);
    }
    std::fclose(f);
  }
  std::string target = local.Path("large.bin");
  auto start = Clock::now();
  bool ok = Driver(server, {"large.bin"}, {target}).Run();
  double clientLarge = Seconds(start);
  if (!ok || FileSize(target) != large) std::fprintf(stderr, "client: large download failed\n");
  ::unlink(target.c_str());
  start = Clock::now();
  int rc = Run({"curl", "-s", "--ftp-port", "-", "--disable-eprt", "-o", target, url + "/large.bin"});
  double curlLarge = Seconds(start);
  if (rc != 0 || FileSize(target) != large) std::fprintf(stderr, "curl: large download failed (%d)\n", rc);
  ::unlink(target.c_str());
  ::unlink((server.root() + "/large.bin").c_str());

  // Small files.
  std::string block(4096, 'x');
  std::vector<std::string> remotes, locals;
  local.MakeDirs("small");
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "small/f%05d.bin", i);
    server.WriteFile(name, block);
    remotes.push_back(name);
    locals.push_back(local.Path(name));
  }
  start = Clock::now();
  ok = Driver(server, remotes, locals).Run();
  double clientSmall = Seconds(start);
  int present = 0;
  for (const std::string& l : locals) present += FileSize(l) == 4096;
  if (!ok || present != count) std::fprintf(stderr, "client: %d of %d small files\n", present, count);

  start = Clock::now();
  int curlFailures = 0;
  for (int i = 0; i < count; ++i) {
    curlFailures += Run({"curl", "-s", "--ftp-port", "-", "--disable-eprt", "-o", locals[static_cast<size_t>(i)],
                         url + "/" + remotes[static_cast<size_t>(i)]}) != 0;
  }
  double curlSmall = Seconds(start);
  if (curlFailures != 0) std::fprintf(stderr, "curl: %d small downloads failed\n", curlFailures);

  local.MakeDirs("mirror");
  start = Clock::now();
  rc = Run({"lftp", "-e",
            "set ftp:passive-mode off; mirror small " + local.Path("mirror") + "; quit",
            "-u", server.user() + "," + server.password(), "-p", std::to_string(server.port()), "127.0.0.1"});
  double lftpSmall = Seconds(start);
  if (rc != 0) std::fprintf(stderr, "lftp: exit %d\n", rc);

  double mib = static_cast<double>(large) / (1024.0 * 1024.0);
  std::printf("%-44s %10s %12s\n", "case", "seconds", "figure");
  std::printf("%-44s %10.3f %8.0f MiB/s\n", ("large file " + std::to_string(large) + " B, client").c_str(), clientLarge,
              mib / clientLarge);
  std::printf("%-44s %10.3f %8.0f MiB/s\n", "large file, curl tool", curlLarge, mib / curlLarge);
  std::printf("%-44s %10.3f %9.3f ms/file\n", (std::to_string(count) + " x 4 KiB, fresh log-on each, client").c_str(),
              clientSmall, clientSmall * 1000.0 / count);
  std::printf("%-44s %10.3f %9.3f ms/file\n", "same, one curl process per file", curlSmall, curlSmall * 1000.0 / count);
  std::printf("%-44s %10.3f %9.3f ms/file\n", "lftp mirror (one connection for all)", lftpSmall,
              lftpSmall * 1000.0 / count);
  return 0;
}
