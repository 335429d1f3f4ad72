// Whole patch runs in-process (list, connect, download, install), beside the command-line
// tools fetching the same files from the same server.
//
//   run_bench [large-file-bytes] [small-file-count] [rounds]
//
// 1. One large file (default 1 GiB) as one 'C' entry: the run's time next to `curl`
//    in active mode (PORT, as the client) and in its default passive mode, and the
//    same run with the publisher's key in the installation and the list signed, which
//    checks the file's SHA-256 as it arrives.
// 2. Small files (default 2,000 of 4 KiB) in one list: the run's time per file (a
//    fresh connection and log-on per file) next to a `curl` process per file and one
//    `lftp` mirror of the same tree.
// 3. Peak memory of a run in a child process of this program (re-executed with
//    --child), for a 1 MiB file and for the large file.
//
// The server is the test fixture's pyftpdlib on loopback; its root, the installation and
// the tools' output all live under $TMPDIR (one file system). Nothing is dropped from the
// page cache between cases; with several rounds the order of run and tools alternates.
// The small files are measured first (see there), the table keeps the numbering above.
// Disk: the server's copy of the large file plus one downloaded copy at a time.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "app/patcher.h"
#include "platform/ftp.h"
#include "support/ftp_server.h"
#include "bench_support.h"
#include "publish/signing.h"
#include "support/scripted_window.h"
#include "support/signed_lists.h"
#include "support/temp_tree.h"

namespace {

using namespace zdbench;
using zdtest::FtpServerFixture;
using zdtest::ScriptedWindow;

const char kListedDate[] = "2002-06-01";
const char kListedTime[] = "14:30";

// True when both files exist and hold the same bytes.
bool SameContents(const std::string& a, const std::string& b) {
  FILE* fa = std::fopen(a.c_str(), "rb");
  FILE* fb = std::fopen(b.c_str(), "rb");
  bool same = fa != nullptr && fb != nullptr;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (same) {
    size_t na = std::fread(ba.data(), 1, ba.size(), fa);
    size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
    if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0) same = false;
    if (na == 0) break;
  }
  if (fa != nullptr) std::fclose(fa);
  if (fb != nullptr) std::fclose(fb);
  return same;
}

// Peak resident size of this process, in KiB (0 when unknown).
long PeakResidentKiB() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  long kib = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  }
  std::fclose(f);
  return kib;
}


// CPU seconds (user + system) this process has used so far.
double CpuSeconds() {
  struct rusage u {};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One patch run as the program makes it, with the scripted window (no boxes expected).
// Its wall time, or a negative value when it did not end by itself or raised a box.
double PatchRun() {
  ScriptedWindow::Get().Reset();
  ScriptedWindow::Get().SetDeadlineMs(180000);
  auto start = Clock::now();
  bool ran;
  {
    Patcher patcher;
    ran = patcher.RunPatchWindow(nullptr);
  }
  plat::FtpShutdown();
  double seconds = Seconds(start);
  bool ok = ran && !ScriptedWindow::Get().TimedOut();
  for (const zdtest::BoxRecord& b : ScriptedWindow::Get().Boxes()) {
    std::fprintf(stderr, "run: box \"%s\"\n", b.text.c_str());
    ok = false;
  }
  if (!ran) std::fprintf(stderr, "run: the window did not run\n");
  if (ScriptedWindow::Get().TimedOut()) std::fprintf(stderr, "run: did not end by itself\n");
  return ok ? seconds : -1.0;
}

// --child: one patch run with the environment the parent prepared; prints the peak
// resident size and the run's time.
int ChildMain() {
  double seconds = PatchRun();
  std::printf("%ld %.6f\n", PeakResidentKiB(), seconds);
  std::fflush(stdout);
  return seconds >= 0 ? 0 : 1;
}

// The child's own peak is read by the child (VmHWM at the end of its run). Its ru_maxrss
// (wait4, RUSAGE_CHILDREN) is no use here: the kernel carries the high-water mark of the
// image replaced by exec into it, and posix_spawn's child runs on this process's memory
// until it execs, so ru_maxrss reads at least this process's own peak.
struct ChildFigures {
  bool ok = false;
  long vmHwmKiB = 0;
  double seconds = 0;
};

ChildFigures RunChild() {
  ChildFigures out;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return out;
  std::string self = "/proc/self/exe", flag = "--child";
  char* argv[] = {&self[0], &flag[0], nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  pid_t pid;
  int rc = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    return out;
  }
  std::string text;
  char chunk[256];
  for (ssize_t n; (n = ::read(pipeFds[0], chunk, sizeof chunk)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return out;
  out.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           std::sscanf(text.c_str(), "%ld %lf", &out.vmHwmKiB, &out.seconds) == 2;
  return out;
}

bool g_anyFailed = false;

void Row(const std::string& what, double seconds, const std::string& figure) {
  if (seconds < 0) {
    g_anyFailed = true;
    std::printf("%-52s %10s  %s\n", what.c_str(), "FAILED", "");
  } else {
    std::printf("%-52s %10.3f  %s\n", what.c_str(), seconds, figure.c_str());
  }
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return ChildMain();
  const long long large = argc > 1 ? std::atoll(argv[1]) : (1LL << 30);
  const int count = argc > 2 ? std::atoi(argv[2]) : 2000;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
  if (large <= 0 || large > 0x7fffffffLL || count <= 0) {
    std::fprintf(stderr, "sizes are listed as signed 32-bit numbers: 1 .. 2147483647 bytes\n");
    return 2;
  }

  FtpServerFixture server;
  if (!server.ok()) return 1;
  zdtest::TempTree tree;
  ::chmod(tree.root().c_str(), 0700);
  // The installation, found through the registry stand-in; the patcher's temporary
  // directory is a private one under the tree.
  tree.Write("xdg/SOFTWARE/Brisco Entertainment/Tessary/SETUP PATH", tree.Path("game") + "/\n");
  const std::string settings = "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(server.port()) +
                               "\nUSERID=" + server.user() + "\nPASSWD=" + server.password() +
                               "\nBASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n";
  tree.WriteSettings("game", settings);
  const std::string game = tree.Write("game/Vorn.exe", "#!/bin/sh\nexit 0\n");
  ::chmod(game.c_str(), 0755);
  zdtest::ScopedEnv registry("XDG_CONFIG_DIRS", tree.Path("xdg"));
  zdtest::ScopedEnv runtime("XDG_RUNTIME_DIR", "");
  zdtest::ScopedEnv tmp("TMPDIR", tree.root());

  const std::string url =
      "ftp://" + server.user() + ":" + server.password() + "@127.0.0.1:" + std::to_string(server.port());
  auto listOne = [&](const std::string& name, long long size) {
    server.WriteFile("patch/patch.lst", std::string("C ") + kListedDate + " " + kListedTime + " " +
                                            std::to_string(size) + " " + name + " " + name + "\n");
  };

  // 2. Small files, each with its own contents. Measured first: a journal-less ext4
  // (this machine's) makes every file creation scan past the inodes deleted in the last
  // minute or more, so the churn of earlier cases would slow later ones.
  std::string list;
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%05d.bin", i);
    std::string body(4096, '\0');
    for (size_t k = 0; k < body.size(); ++k) {
      body[k] = FtpServerFixture::PatternByte(static_cast<long long>(i) * 4096 + static_cast<long long>(k));
    }
    server.WriteFile(std::string("patch/small/") + name, body);
    names.push_back(name);
    list += std::string("C ") + kListedDate + " " + kListedTime + " 4096 small\\" + name + " small/" + name + "\n";
  }
  server.WriteFile("patch/patch.lst", list);
  auto allArrived = [&](const std::string& dir) {
    int good = 0;
    for (const std::string& n : names) good += SameContents(dir + "/" + n, server.root() + "/patch/small/" + n);
    if (good != count) std::fprintf(stderr, "%s: %d of %d files arrived whole\n", dir.c_str(), good, count);
    return good == count;
  };
  std::vector<double> runSmall, runSmallCpu, clientSmall, clientSmallCpu, curlSmall, lftpSmall;
  for (int round = 0; round < rounds; ++round) {
    auto run = [&] {
      const double cpu = CpuSeconds();
      double s = PatchRun();
      runSmallCpu.push_back(CpuSeconds() - cpu);
      runSmall.push_back(s >= 0 && allArrived(tree.Path("game/small")) ? s : -1.0);
      zdtest::RemoveTree(tree.Path("game/small"));
    };
    auto client = [&] {
      tree.MakeDirs("client/small");
      std::vector<std::string> remotes, locals;
      for (const std::string& n : names) {
        remotes.push_back("patch/small/" + n);
        locals.push_back(tree.Path("client/small/" + n));
      }
      const double cpu = CpuSeconds();
      auto start = Clock::now();
      bool ok = Driver(server, remotes, locals).Run();
      double s = Seconds(start);
      clientSmallCpu.push_back(CpuSeconds() - cpu);
      if (!ok) std::fprintf(stderr, "client: a download failed\n");
      clientSmall.push_back(ok && allArrived(tree.Path("client/small")) ? s : -1.0);
      zdtest::RemoveTree(tree.Path("client"));
    };
    auto curlLoop = [&] {
      tree.MakeDirs("curl/small");
      auto start = Clock::now();
      int failures = 0;
      for (const std::string& n : names) {
        failures += Run({"curl", "-s", "--ftp-port", "-", "--disable-eprt", "-o", tree.Path("curl/small/" + n),
                         url + "/patch/small/" + n}) != 0;
      }
      double s = Seconds(start);
      curlSmall.push_back(failures == 0 && allArrived(tree.Path("curl/small")) ? s : -1.0);
      zdtest::RemoveTree(tree.Path("curl/small"));
    };
    auto lftp = [&] {
      tree.MakeDirs("lftp");
      auto start = Clock::now();
      int rc = Run({"lftp", "-e",
                    "set ftp:passive-mode off; mirror patch/small " + tree.Path("lftp/small") + "; quit", "-u",
                    server.user() + "," + server.password(), "-p", std::to_string(server.port()), "127.0.0.1"});
      double s = Seconds(start);
      if (rc != 0) std::fprintf(stderr, "lftp: exit %d\n", rc);
      lftpSmall.push_back(rc == 0 && allArrived(tree.Path("lftp/small")) ? s : -1.0);
      zdtest::RemoveTree(tree.Path("lftp"));
    };
    if (round % 2 == 0) {
      run();
      client();
      curlLoop();
      lftp();
    } else {
      lftp();
      curlLoop();
      client();
      run();
    }
  }

  // 1. The large file.
  const std::string largeRemote = server.WritePatternFile("patch/big.dat", large);
  const std::string installed = tree.Path("game/big.dat");
  const std::string curlOut = tree.Path("curl/big.dat");
  tree.MakeDirs("curl");
  listOne("big.dat", large);
  // The signed list of the same file, and a key for the installation.
  const zdtest::ListSigner signer(tree.Path("publisher.key"));
  FileHash largeHash;
  std::string error;
  std::string signedList;
  if (signer.ok() && publish::HashStoredFile(largeRemote, &largeHash, &error))
    signedList = signer.SignHashed({{std::string("C ") + kListedDate + " " + kListedTime + " " +
                                         std::to_string(large) + " big.dat big.dat",
                                     largeHash}},
                                   1);
  if (signedList.empty()) std::fprintf(stderr, "signed list: %s\n", error.c_str());
  std::vector<double> runLarge, runSigned, runLargeCpu, runSignedCpu, curlActive, curlPassive;
  auto checked = [&](double seconds, const std::string& path, const char* who) {
    if (seconds >= 0 && (FileSize(path) != large || !SameContents(path, largeRemote))) {
      std::fprintf(stderr, "%s: the large file arrived wrong\n", who);
      seconds = -1;
    }
    ::unlink(path.c_str());
    return seconds;
  };
  auto timeCurl = [&](std::vector<std::string> args) {
    auto start = Clock::now();
    int rc = Run(std::move(args));
    double seconds = Seconds(start);
    if (rc != 0) std::fprintf(stderr, "curl: exit %d\n", rc);
    return rc == 0 ? seconds : -1.0;
  };
  for (int round = 0; round < rounds; ++round) {
    auto run = [&] {
      const double cpu = CpuSeconds();
      runLarge.push_back(checked(PatchRun(), installed, "run"));
      runLargeCpu.push_back(CpuSeconds() - cpu);
    };
    auto signedRun = [&] {
      if (signedList.empty()) {
        runSignedCpu.push_back(0);
        return runSigned.push_back(-1.0);
      }
      tree.WriteSettings("game", settings + "PUBLICKEY=" + signer.publicKey() + "\n");
      server.WriteFile("patch/patch.lst", signedList);
      const double cpu = CpuSeconds();
      runSigned.push_back(checked(PatchRun(), installed, "signed run"));
      runSignedCpu.push_back(CpuSeconds() - cpu);
      tree.WriteSettings("game", settings);
      listOne("big.dat", large);
    };
    auto active = [&] {
      curlActive.push_back(checked(
          timeCurl({"curl", "-s", "--ftp-port", "-", "--disable-eprt", "-o", curlOut, url + "/patch/big.dat"}),
          curlOut, "curl active"));
    };
    auto passive = [&] {
      curlPassive.push_back(
          checked(timeCurl({"curl", "-s", "-o", curlOut, url + "/patch/big.dat"}), curlOut, "curl passive"));
    };
    if (round % 2 == 0) {
      run();
      signedRun();
      active();
      passive();
    } else {
      passive();
      active();
      signedRun();
      run();
    }
  }

  // 3. Peak memory, 1 MiB and the large file, each in a child run.
  server.WritePatternFile("patch/mid.dat", 1 << 20);
  listOne("mid.dat", 1 << 20);
  ChildFigures memSmall = RunChild();
  if (memSmall.ok && FileSize(tree.Path("game/mid.dat")) != (1 << 20)) memSmall.ok = false;
  ::unlink(tree.Path("game/mid.dat").c_str());
  listOne("big.dat", large);
  ChildFigures memLarge = RunChild();
  if (memLarge.ok && (FileSize(installed) != large || !SameContents(installed, largeRemote))) memLarge.ok = false;
  ::unlink(installed.c_str());
  ::unlink(largeRemote.c_str());

  const double mib = static_cast<double>(large) / (1024.0 * 1024.0);
  std::printf("%-52s %10s  %s\n", "case", "seconds", "figure");
  for (int r = 0; r < rounds; ++r) {
    const std::string tag = rounds > 1 ? " (round " + std::to_string(r + 1) + ")" : "";
    Row("large file " + std::to_string(large) + " B, whole patch run" + tag, runLarge[r],
        Format("%.0f MiB/s", mib / runLarge[r]) + Format(", CPU here %.2f s", runLargeCpu[r]));
    Row("  the same run, signed list and key" + tag, runSigned[r],
        Format("%.0f MiB/s", mib / runSigned[r]) + Format(", %.3fx the unsigned run", runSigned[r] / runLarge[r]) +
            Format(", CPU here %.2f s", runSignedCpu[r]));
    Row("  curl, active (PORT)" + tag, curlActive[r], Format("%.0f MiB/s", mib / curlActive[r]));
    Row("  curl, passive (default)" + tag, curlPassive[r], Format("%.0f MiB/s", mib / curlPassive[r]));
  }
  for (int r = 0; r < rounds; ++r) {
    const std::string tag = rounds > 1 ? " (round " + std::to_string(r + 1) + ")" : "";
    Row(std::to_string(count) + " x 4 KiB, whole patch run" + tag, runSmall[r],
        Format("%.3f ms/file", runSmall[r] * 1000.0 / count) +
            Format(", CPU here %.3f ms/file", runSmallCpu[r] * 1000.0 / count));
    Row("  client alone, same sequence, no run" + tag, clientSmall[r],
        Format("%.3f ms/file", clientSmall[r] * 1000.0 / count) +
            Format(", CPU here %.3f ms/file", clientSmallCpu[r] * 1000.0 / count));
    Row("  one curl process per file (active)" + tag, curlSmall[r],
        Format("%.3f ms/file", curlSmall[r] * 1000.0 / count));
    Row("  lftp mirror (active, one connection)" + tag, lftpSmall[r],
        Format("%.3f ms/file", lftpSmall[r] * 1000.0 / count));
  }
  auto memRow = [&](const std::string& what, const ChildFigures& f) {
    if (!f.ok) return Row(what, -1.0, "");
    char text[64];
    std::snprintf(text, sizeof text, "VmHWM %ld KiB", f.vmHwmKiB);
    Row(what, f.seconds, text);
  };
  memRow("peak memory, run of 1 MiB (child)", memSmall);
  memRow("peak memory, run of " + std::to_string(large) + " B (child)", memLarge);
  return g_anyFailed ? 1 : 0;
}
