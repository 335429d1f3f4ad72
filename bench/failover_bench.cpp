// A patch run of small files against a server name whose first address accepts
// connections and never greets (a mirror that hangs), next to the same run against the
// name's good address alone; whole runs in-process with the test window, as run_bench.
//
//   failover_bench [files] [rounds]      (root: see below)
//
// The name's addresses come from a hosts file bound over /etc/hosts in a mount
// namespace of this process's own. The resolver puts ::1 before 127.0.0.1, so the silent
// listener is IPv6 loopback at the test server's port and the server is at 127.0.0.1.
// The client's real time limits apply (FtpDefaultTimeLimits). The run must end within
// one server-response limit plus twice the plain run's time; a client that waits on the
// silent address once per file, or never moves past it (a network error), fails that.
// It uses only the Patcher's interface, so it builds against earlier commits for a
// side-by-side run. Exits 1 when a run fails or the bound is not kept.
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/patcher.h"
#include "bench_support.h"
#include "platform/ftp.h"
#include "support/ftp_server.h"
#include "support/scripted_window.h"
#include "support/temp_tree.h"

namespace {

using namespace zdbench;
using zdtest::FtpServerFixture;
using zdtest::ScriptedWindow;

constexpr char kName[] = "zd-mirror.test";

// Accepts into its backlog at [::1]:port and never says a word; counts what it took.
class SilentListener {
 public:
  explicit SilentListener(uint16_t port) {
    fd_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    addr.sin6_port = htons(port);
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd_, 64) == 0;
  }
  ~SilentListener() {
    for (int fd : taken_) ::close(fd);
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return ok_; }
  int Connections() {
    for (int fd; (fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) taken_.push_back(fd);
    return static_cast<int>(taken_.size());
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::vector<int> taken_;
};

// One patch run; its wall time, negated when it raised a box or hung.
double PatchRun() {
  ScriptedWindow::Get().Reset();
  ScriptedWindow::Get().SetDeadlineMs(600000);
  const auto start = Clock::now();
  bool ran;
  {
    Patcher patcher;
    ran = patcher.RunPatchWindow(nullptr);
  }
  plat::FtpShutdown();
  const double seconds = Seconds(start);
  bool ok = ran && !ScriptedWindow::Get().TimedOut();
  for (const zdtest::BoxRecord& b : ScriptedWindow::Get().Boxes()) {
    std::fprintf(stderr, "run: box \"%s\"\n", b.text.c_str());
    ok = false;
  }
  return ok ? seconds : -seconds;
}

bool WriteWhole(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1.0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  // Before any thread exists: the mount namespace, and the hosts file bound over the
  // system's (its contents are rewritten for each case; the resolver reads it anew).
  zdtest::TempTree tree;
  ::chmod(tree.root().c_str(), 0700);
  const std::string hosts = tree.Write("hosts", "127.0.0.1 localhost\n");
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
    std::fprintf(stderr, "failover_bench needs root for a hosts file of its own: %s\n", std::strerror(errno));
    return 2;
  }
  FtpServerFixture server;
  if (!server.ok()) return 1;
  tree.Write("xdg/SOFTWARE/Brisco Entertainment/Tessary/SETUP PATH", tree.Path("game") + "/\n");
  tree.WriteSettings("game", std::string("[PATCH_FTP]\nSERVERIP=") + kName + "\nPORT=" +
                                 std::to_string(server.port()) + "\nUSERID=" + server.user() +
                                 "\nPASSWD=" + server.password() + "\nBASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n");
  ::chmod(tree.Write("game/Vorn.exe", "#!/bin/sh\nexit 0\n").c_str(), 0755);
  zdtest::ScopedEnv registry("XDG_CONFIG_DIRS", tree.Path("xdg"));
  zdtest::ScopedEnv runtime("XDG_RUNTIME_DIR", "");
  zdtest::ScopedEnv tmp("TMPDIR", tree.root());
  std::string list;
  for (int i = 0; i < files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%03d.bin", i);
    server.WriteFile(std::string("patch/") + name, std::string(4096, static_cast<char>('a' + i % 26)));
    list += std::string("C 2002-06-01 14:30 4096 ") + name + " " + name + "\n";
  }
  server.WriteFile("patch/patch.lst", list);
  // Each run fetches every file again.
  const auto fresh = [&] { zdtest::RemoveTree(tree.Path("game/Update")); for (int i = 0; i < files; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "game/f%03d.bin", i);
      ::unlink(tree.Path(name).c_str());
    } };

  const std::string good = std::string("127.0.0.1 localhost\n127.0.0.1 ") + kName + "\n";
  const std::string withSilent = good + "::1 " + kName + "\n";
  std::vector<double> plain;
  if (!WriteWhole(hosts, good)) return 1;
  for (int r = 0; r < rounds; ++r) {
    fresh();
    plain.push_back(PatchRun());
  }
  SilentListener silent(server.port());
  if (!silent.ok()) {
    std::fprintf(stderr, "cannot listen at [::1]:%u\n", static_cast<unsigned>(server.port()));
    return 1;
  }
  if (!WriteWhole(hosts, withSilent)) return 1;
  fresh();
  const double failover = PatchRun();
  const int met = silent.Connections();

  const plat::FtpTimeLimits limits = plat::FtpDefaultTimeLimits();
  const double t0 = Median(plain);
  const bool plainOk = std::none_of(plain.begin(), plain.end(), [](double s) { return s < 0; });
  const double bound = static_cast<double>(limits.responseSeconds) + 2 * t0;
  std::printf("%d files of 4 KiB, limits: connect %ld ms, server response %ld s\n", files, limits.connectMs,
              limits.responseSeconds);
  std::printf("%-58s %10s\n", "case", "seconds");
  std::printf("%-58s %10.3f  (median of %d)\n", "the name's one address, a good server", plainOk ? t0 : -1.0, rounds);
  if (failover < 0) {
    std::printf("%-58s %10s  (a box after %.3f s: see above)\n", "first address silent, then the good server",
                "FAILED", -failover);
  } else {
    std::printf("%-58s %10.3f\n", "first address silent, then the good server", failover);
  }
  std::printf("%-58s %10.3f\n", "bound: one response limit + 2 x the plain run", bound);
  std::printf("connections the silent address took: %d (of %d connects)\n", met, files + 1);
  const bool kept = plainOk && failover >= 0 && failover <= bound;
  std::printf("%s\n", kept ? "within the bound" : "NOT within the bound");
  return kept ? 0 : 1;
}
