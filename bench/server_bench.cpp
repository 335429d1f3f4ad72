// What one FTP server sustains in whole patch runs per second: vsftpd on this machine,
// an instance of its own (tests/support/vsftpd_server.h: root only), with 1, 2, 4 and 8
// runs at a time, to set beside the bandwidth a patch day asks for.
//
//   server_bench [seconds-per-case] [files] [small-bytes] [large-bytes]
//
// Each run at a time is a process of its own (this program again, with --child) making
// patch runs in a row, in-process with the test window as run_bench does (list, a
// connection and log-on per file, download, install, the game started), each on an
// installation of its own. Three patches: `files` files (default 20) of `small-bytes`
// (default 64 KiB), where the server's work per connection and log-on counts most, and
// of `large-bytes` (default 16 MiB), where its bandwidth does, each taken out of the
// installation before every run, so that every run fetches them all; and the list alone
// on an installation already current (what a server answers to every player who starts
// the game after the patch). A case lasts `seconds-per-case` (default 6) for each
// process; runs per second are all its processes' runs over the longest process's time.
// Everything runs on one machine, so the server, the clients and their disks share its
// cores: a lower bound for a server of its own.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
#include "support/vsftpd_server.h"

namespace {

using namespace zdbench;
using zdtest::ScriptedWindow;

// One patch run as the program makes it; false when it did not end by itself or
// raised a box.
bool PatchRun() {
  ScriptedWindow::Get().Reset();
  ScriptedWindow::Get().SetDeadlineMs(120000);
  bool ran;
  {
    Patcher patcher;
    ran = patcher.RunPatchWindow(nullptr);
  }
  plat::FtpShutdown();
  bool ok = ran && !ScriptedWindow::Get().TimedOut();
  for (const zdtest::BoxRecord& box : ScriptedWindow::Get().Boxes()) {
    std::fprintf(stderr, "run: box \"%s\"\n", box.text.c_str());
    ok = false;
  }
  return ok;
}

// --child SECONDS INSTALLATION FILES BYTES EMPTY: patch runs in a row until SECONDS have
// passed; with EMPTY 1 the files f00.dat... are taken out before each run and must be
// back, whole in size, after it. Prints "<runs> <seconds>", or exits 1 on a failed run.
int ChildMain(char** argv) {
  const double seconds = std::atof(argv[2]);
  const std::string installation = argv[3];
  const int files = std::atoi(argv[4]);
  const long long bytes = std::atoll(argv[5]);
  const bool empty = std::atoi(argv[6]) != 0;
  const auto start = Clock::now();
  int runs = 0;
  while (Seconds(start) < seconds) {
    if (empty) {
      for (int i = 0; i < files; ++i) ::unlink((installation + "/f" + std::to_string(100 + i) + ".dat").c_str());
    }
    if (!PatchRun()) return 1;
    for (int i = 0; i < files; ++i) {
      if (FileSize(installation + "/f" + std::to_string(100 + i) + ".dat") != bytes) {
        std::fprintf(stderr, "run: f%d.dat did not arrive whole\n", 100 + i);
        return 1;
      }
    }
    ++runs;
  }
  std::printf("%d %.6f\n", runs, Seconds(start));
  return 0;
}

struct Child {
  pid_t pid = -1;
  int out = -1;
};

// Starts this program with --child and the environment of installation `index`.
Child StartChild(const zdtest::TempTree& tree, int index, double seconds, int files, long long bytes, bool empty) {
  Child child;
  const std::string dir = "c" + std::to_string(index);
  std::vector<std::string> args = {"/proc/self/exe",
                                   "--child",
                                   std::to_string(seconds),
                                   tree.Path(dir + "/game"),
                                   std::to_string(files),
                                   std::to_string(bytes),
                                   empty ? "1" : "0"};
  std::vector<std::string> env = {"XDG_CONFIG_DIRS=" + tree.Path(dir + "/xdg"), "XDG_RUNTIME_DIR=",
                                  "TMPDIR=" + tree.Path(dir + "/tmp")};
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("XDG_CONFIG_DIRS=", 0) != 0 && entry.rfind("XDG_RUNTIME_DIR=", 0) != 0 &&
        entry.rfind("TMPDIR=", 0) != 0)
      env.push_back(entry);
  }
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  if (posix_spawn(&child.pid, "/proc/self/exe", &actions, nullptr, argv.data(), envp.data()) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  child.out = pipeFds[0];
  return child;
}

// Reads a child's figures and reaps it; false when it failed.
bool FinishChild(Child child, int* runs, double* seconds) {
  std::string text;
  char chunk[128];
  for (ssize_t n; child.out >= 0 && (n = ::read(child.out, chunk, sizeof chunk)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
  if (child.out >= 0) ::close(child.out);
  int status = 0;
  if (child.pid <= 0 || ::waitpid(child.pid, &status, 0) != child.pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && std::sscanf(text.c_str(), "%d %lf", runs, seconds) == 2;
}

struct Figures {
  bool ok = false;
  double runsPerSecond = 0;
};

// `at` runs at a time for `seconds`.
Figures Measure(const zdtest::TempTree& tree, int at, double seconds, int files, long long bytes, bool empty) {
  std::vector<Child> children;
  for (int i = 0; i < at; ++i) children.push_back(StartChild(tree, i, seconds, files, bytes, empty));
  Figures out;
  out.ok = true;
  int total = 0;
  double longest = 0;
  for (const Child& child : children) {
    int runs = 0;
    double took = 0;
    out.ok = FinishChild(child, &runs, &took) && out.ok;
    total += runs;
    longest = std::max(longest, took);
  }
  if (out.ok && longest > 0) out.runsPerSecond = total / longest;
  return out;
}

// A patch on the server: `files` files of `bytes` under /<base>/, and its list.
void WritePatch(const std::string& root, const std::string& base, int files, long long bytes) {
  std::string list;
  std::string body(static_cast<size_t>(bytes), '\0');
  for (int i = 0; i < files; ++i) {
    const std::string name = "f" + std::to_string(100 + i) + ".dat";
    for (long long k = 0; k < bytes; ++k)
      body[static_cast<size_t>(k)] = zdtest::FtpServerFixture::PatternByte(static_cast<long long>(i) * bytes + k);
    zdtest::WriteFile(root + "/" + base + "/" + name, body);
    list += "C 2002-06-01 14:30 " + std::to_string(bytes) + " " + name + " " + name + "\r\n";
  }
  zdtest::WriteFile(root + "/" + base + "/patch.lst", list);
  ::chmod((root + "/" + base).c_str(), 0755);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "--child") == 0) return ChildMain(argv);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 6;
  const int files = argc > 2 ? std::atoi(argv[2]) : 20;
  const long long small = argc > 3 ? std::atoll(argv[3]) : 64 << 10;
  const long long large = argc > 4 ? std::atoll(argv[4]) : 16 << 20;
  if (seconds <= 0 || files < 1 || files > 900 || small < 1 || large < 1 || small > 0x7fffffffLL ||
      large > 0x7fffffffLL) {
    std::fprintf(stderr, "usage: server_bench [seconds-per-case] [files 1-900] [small-bytes] [large-bytes]\n");
    return 2;
  }

  zdtest::TempTree tree;
  zdtest::VsftpdServer vsftpd(tree.Path("vsftpd"));
  if (!vsftpd.skip.empty()) {
    std::fprintf(stderr, "server_bench: %s\n", vsftpd.skip.c_str());
    return 1;
  }
  WritePatch(vsftpd.root(), "small", files, small);
  WritePatch(vsftpd.root(), "large", files, large);
  const int most = 8;
  // Every installation reads its patch from `base`.
  const auto settings = [&](const std::string& base) {
    for (int i = 0; i < most; ++i) {
      tree.WriteSettings("c" + std::to_string(i) + "/game",
                         "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(vsftpd.port) +
                             "\nUSERID=anonymous\nPASSWD=player@\nBASEDIRECTORY=/" + base + "/\nLISTFILE=patch.lst\n");
    }
  };
  for (int i = 0; i < most; ++i) {
    const std::string dir = "c" + std::to_string(i);
    tree.Write(dir + "/xdg/SOFTWARE/Brisco Entertainment/Tessary/SETUP PATH", tree.Path(dir + "/game") + "/\n");
    ::chmod(tree.Write(dir + "/game/Vorn.exe", "#!/bin/sh\nexit 0\n").c_str(), 0755);
    tree.MakeDirs(dir + "/tmp");
  }

  const double mib = 1024.0 * 1024.0;
  const double smallMiB = files * static_cast<double>(small) / mib, largeMiB = files * static_cast<double>(large) / mib;
  std::printf("vsftpd 127.0.0.1, %.0f s a case; a run fetches %d files of %lld B (%.2f MiB) or of %lld B (%.1f MiB),\n"
              "or, on a current installation, the list alone\n\n",
              seconds, files, small, smallMiB, large, largeMiB);
  std::printf("%-8s | %-22s | %-31s | %s\n", "at once", "small: runs/s   MiB/s", "large: runs/s   MiB/s  Gbit/s",
              "list only: runs/s");
  bool failed = false;
  for (int at : {1, 2, 4, 8}) {
    settings("small");
    const Figures few = Measure(tree, at, seconds, files, small, true);
    const Figures current = Measure(tree, at, seconds, files, small, false);
    settings("large");
    const Figures big = Measure(tree, at, seconds, files, large, true);
    failed = failed || !few.ok || !current.ok || !big.ok;
    char a[64] = "FAILED", b[64] = "FAILED", c[32] = "FAILED";
    if (few.ok) std::snprintf(a, sizeof a, "%12.2f %7.1f", few.runsPerSecond, few.runsPerSecond * smallMiB);
    if (big.ok)
      std::snprintf(b, sizeof b, "%12.2f %7.1f %7.2f", big.runsPerSecond, big.runsPerSecond * largeMiB,
                    big.runsPerSecond * largeMiB * mib * 8 / 1e9);
    if (current.ok) std::snprintf(c, sizeof c, "%17.1f", current.runsPerSecond);
    std::printf("%-8d | %-22s | %-31s | %s\n", at, a, b, c);
    std::fflush(stdout);
  }
  // The patch day the numbers are for: 10,000 players fetching 500 MB within an hour.
  const double players = 10000, patch = 500e6, hour = 3600;
  std::printf("\npatch day: %.0f players x %.0f MB in an hour = %.2f runs/s of 500 MB, %.1f Gbit/s\n", players,
              patch / 1e6, players / hour, players * patch * 8 / hour / 1e9);
  return failed ? 1 : 0;
}
