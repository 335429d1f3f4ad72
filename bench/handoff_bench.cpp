// The self-update's hand-off time: from the moment the old patcher's process has ended
// to the moment the renewed patcher's window is mapped, next to the renewed patcher's
// own start-to-window time when started directly (the part of the figure the hand-off
// cannot save). Each round is a real three-process hand-off against a local FTP server:
// the old patcher downloads a newer copy of itself, the copy replaces it and starts it,
// and the renewed patcher patches again and starts a stand-in game.
//
// Usage: handoff_bench [rounds]     (on $DISPLAY, or an Xvfb of its own when unset)
#include <X11/Xlib.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/ftp_server.h"
#include "support/temp_tree.h"
#include "support/x11_session.h"

namespace {

using namespace zdtest;

// Watches the display for newly mapped top-level windows.
class MapWatcher {
 public:
  explicit MapWatcher(const std::string& display) : dpy_(XOpenDisplay(display.c_str())) {
    if (dpy_ != nullptr) {
      XSelectInput(dpy_, DefaultRootWindow(dpy_), SubstructureNotifyMask);
      XSync(dpy_, True);
    }
  }
  ~MapWatcher() {
    if (dpy_ != nullptr) XCloseDisplay(dpy_);
  }
  bool ok() const { return dpy_ != nullptr; }
  void Drain() {
    XSync(dpy_, False);
    while (XPending(dpy_) > 0) {
      XEvent e;
      XNextEvent(dpy_, &e);
    }
  }
  // The steady time (ms) at which the next top-level window was mapped; -1 on timeout.
  double NextMap(int timeoutMs) {
    const double deadline = SteadyNowMs() + timeoutMs;
    while (SteadyNowMs() < deadline) {
      while (XPending(dpy_) > 0) {
        XEvent e;
        XNextEvent(dpy_, &e);
        if (e.type == MapNotify) return SteadyNowMs();
      }
      usleep(200);
    }
    return -1;
  }

 private:
  Display* dpy_;
};

// True while any process runs from the file at `path`.
bool AnyRunningFrom(const std::string& path) {
  struct stat target;
  if (::stat(path.c_str(), &target) != 0) return false;
  bool found = false;
  if (DIR* proc = ::opendir("/proc")) {
    while (const dirent* e = ::readdir(proc)) {
      struct stat st;
      if (std::atoi(e->d_name) > 0 && ::stat(("/proc/" + std::string(e->d_name) + "/exe").c_str(), &st) == 0 &&
          st.st_dev == target.st_dev && st.st_ino == target.st_ino)
        found = true;
    }
    ::closedir(proc);
  }
  return found;
}

int Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  return 1;
}

double Median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  std::unique_ptr<XvfbSession> xvfb;
  std::string display = std::getenv("DISPLAY") != nullptr ? std::getenv("DISPLAY") : "";
  std::vector<std::string> env;
  if (display.empty()) {
    xvfb = std::make_unique<XvfbSession>();
    if (!xvfb->Start()) {
      std::fprintf(stderr, "Xvfb did not start\n");
      return 1;
    }
    display = xvfb->display();
    env = xvfb->ClientEnv();
  } else {
    env = {"PATH=" + std::string(std::getenv("PATH")), "HOME=" + std::string(std::getenv("HOME")), "DISPLAY=" + display};
  }
  MapWatcher watcher(display);
  if (!watcher.ok()) return Fail("cannot watch the display");

  FtpServerFixture server;
  if (!server.ok()) return Fail("the FTP server did not start");
  const std::string oldBytes = ReadFile(ZD_PROGRAM);
  const std::string newBytes = oldBytes + std::string(4096, '\n') + "renewed\n";
  server.WriteFile("patch/new/zidodiruv", newBytes);
  server.WriteFile("patch/patch.lst",
                   "P 2002-07-15 09:05 " + std::to_string(newBytes.size()) + " zidodiruv new/zidodiruv\r\n");

  std::vector<double> handOff, direct, whole;
  for (int round = 0; round < rounds; ++round) {
    TempTree tree;
    tree.MakeDirs("run");
    ::chmod(tree.Path("run").c_str(), 0700);
    std::vector<std::string> childEnv = env;
    childEnv.push_back("XDG_RUNTIME_DIR=" + tree.Path("run"));
    childEnv.push_back("XDG_CONFIG_DIRS=" + tree.Path("xdg"));
    tree.WriteSettings("play", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(server.port()) +
                                   "\nUSERID=patchuser\nPASSWD=pa55word\nBASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n");
    const std::string installed = tree.Write("play/zidodiruv", oldBytes);
    ::chmod(installed.c_str(), 0755);
    const std::string game = tree.Write("play/Vorn.exe", ReadFile(ZD_PROBE));
    ::chmod(game.c_str(), 0755);

    watcher.Drain();
    const double start = SteadyNowMs();
    ChildProcess old;
    if (!old.Start({installed}, childEnv, tree.Path("play"))) return Fail("cannot start the patcher");
    int code = -1;
    if (!old.WaitExit(60000, &code)) return Fail("the old patcher did not end");
    const double oldExit = SteadyNowMs();
    watcher.Drain();  // the old window's own map is behind us
    const double renewedMap = watcher.NextMap(30000);
    if (renewedMap < 0 || !WaitUntil([&] { return !ReadFile(tree.Path("play/probe.log")).empty(); }, 30000)) {
      std::fprintf(stderr, "round %d: the hand-off did not complete\n", round);
      return 1;
    }
    handOff.push_back(renewedMap - oldExit);
    whole.push_back(SteadyNowMs() - start);

    // The renewed patcher started directly, once the hand-off's has ended (a second copy
    // would end at once): its list needs no work, it maps its window and starts the game.
    if (!WaitUntil([&] { return !AnyRunningFrom(installed); }, 30000)) return Fail("the renewed patcher did not end");
    watcher.Drain();
    ChildProcess again;
    const double t0 = SteadyNowMs();
    if (!again.Start({installed}, childEnv, tree.Path("play"))) return Fail("cannot start the patcher");
    const double map = watcher.NextMap(30000);
    again.WaitExit(30000, &code);
    if (map < 0) return Fail("the directly started patcher showed no window");
    direct.push_back(map - t0);
  }
  std::printf("%d rounds, medians (min - max):\n", rounds);
  auto row = [](const char* what, const std::vector<double>& v) {
    std::printf("  %-58s %7.1f ms  (%.1f - %.1f)\n", what, Median(v), *std::min_element(v.begin(), v.end()),
                *std::max_element(v.begin(), v.end()));
  };
  row("old patcher's exit -> renewed patcher's window", handOff);
  row("reference: renewed patcher started directly -> its window", direct);
  row("whole hand-off: old patcher's start -> game started", whole);
  return 0;
}
