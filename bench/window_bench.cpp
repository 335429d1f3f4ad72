// The FLTK progress window under a flood of posted progress messages, and its start
// time next to xmessage's.
//
// 1. Flood: a worker posts `rate` progress messages a second for `seconds` seconds to
//    the real window (the program's own layout, with a dialog procedure of the bench
//    that counts them and sets the bar). Checked: no message lost (the count matches
//    and the last position handled is 1000), the window keeps painting (screenshots
//    during the flood show the bar's filled share near the position of that moment),
//    and the UI thread's CPU time stays under 10% of wall time. Afterwards the bar is
//    set beyond its range both ways and must show full and empty.
// 2. Start to first paint: the time from starting a process to the moment its window
//    shows drawn content, for the program (from a copy beside settings that point at a
//    silent loopback listener, so the window stays up without a box) and for xmessage.
//
// Usage: window_bench [--program=PATH] [--seconds=N] [--rate=N] [--starts=N]
// Runs on $DISPLAY, or on an Xvfb of its own when DISPLAY is unset.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/window.h"
#include "ui/dialog_layout.h"
#include "ui/resource.h"

extern char** environ;

namespace {

constexpr uint32_t kMsgProgress = plat::kMsgUser + 11;
constexpr uint32_t kMsgDone = plat::kMsgUser + 50;

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

int DuX(int x) { return (x * 7 + 2) / 4; }
int DuY(int y) { return (y * 12 + 4) / 8; }

// ---- processes and X -------------------------------------------------------------

pid_t Spawn(const std::vector<std::string>& args, const std::string& cwd = "", int keepFd = -1) {
  std::vector<std::string> store(args);
  std::vector<char*> argv;
  for (std::string& s : store) argv.push_back(&s[0]);
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

void KillAndReap(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

std::string Capture(const std::vector<std::string>& args) {
  std::string cmd;
  for (const std::string& a : args) cmd += "'" + a + "' ";
  std::string out;
  FILE* p = popen((cmd + "2>/dev/null").c_str(), "r");
  if (p == nullptr) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// Starts an Xvfb that picks its own display number; returns its pid, sets DISPLAY.
pid_t StartXvfb() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24", "-nolisten",
                           "tcp", "-noreset"},
                          "", fds[1]);
  close(fds[1]);
  std::string number;
  const double deadline = NowMs() + 10000;
  while (number.find('\n') == std::string::npos && NowMs() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c[16];
    const ssize_t n = read(fds[0], c, sizeof c);
    if (n <= 0) break;
    number.append(c, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    KillAndReap(pid);
    return -1;
  }
  setenv("DISPLAY", (":" + number.substr(0, number.find('\n'))).c_str(), 1);
  return pid;
}

struct Rgb {
  int w = 0, h = 0;
  std::vector<unsigned char> px;
  const unsigned char* At(int x, int y) const { return &px[(static_cast<size_t>(y) * w + x) * 3]; }
};

Rgb Screenshot(const std::string& window) {
  Rgb out;
  const std::string ppm = Capture({"import", "-window", window, "-depth", "8", "ppm:-"});
  std::istringstream in(ppm);
  std::string magic;
  int max = 0;
  in >> magic >> out.w >> out.h >> max;
  in.get();
  if (magic != "P6" || out.w <= 0 || out.h <= 0 || max != 255) return Rgb();
  out.px.resize(static_cast<size_t>(out.w) * out.h * 3);
  in.read(reinterpret_cast<char*>(out.px.data()), static_cast<std::streamsize>(out.px.size()));
  if (in.gcount() != static_cast<std::streamsize>(out.px.size())) return Rgb();
  return out;
}

// The bar's filled share in thousandths, read from the middle row of its inside: the
// pixels that have the colour of the bar's first inner pixel when it is filled.
int FilledShare(const Rgb& shot) {
  const int x0 = DuX(8) + 1, w = DuX(250) - 2, y = DuY(69) + DuY(12) / 2;
  if (shot.w < x0 + w || shot.h <= y) return -1;
  static const unsigned char kFill[3] = {6, 176, 37};
  int filled = 0;
  for (int x = x0; x < x0 + w; ++x) filled += std::memcmp(shot.At(x, y), kFill, 3) == 0;
  return static_cast<int>(static_cast<long long>(filled) * 1000 / w);
}

// ---- 1. the flood ----------------------------------------------------------------

struct Flood {
  int rate = 30000;
  int seconds = 10;
  uint64_t total = 0;
  plat::WindowHandle window = nullptr;
  std::atomic<uint64_t> posted{0};
  std::atomic<uint64_t> handled{0};
  std::atomic<int> lastPosition{-1};
  uint64_t maxBacklog = 0;
  double cpuStart = 0, wallStart = 0, cpuMs = 0, wallMs = 0;  // UI thread; read after `stopped`
  std::atomic<bool> stopped{false};
  std::thread controller;
  // Screenshot samples: (position when taken, filled share seen).
  std::vector<std::pair<int, int>> samples;
  int shareAbove = -1, shareBelow = -1;
  int widthAfterLongText = 0, heightAfterLongText = 0;
  bool postFailed = false;
};

Flood* g_flood = nullptr;

void WaitScreenshot(const std::string& id, int want, int* seen) {
  const double deadline = NowMs() + 3000;
  do {
    *seen = FilledShare(Screenshot(id));
    if (*seen == want) return;
  } while (NowMs() < deadline);
}

void Control(Flood* f) {
  std::string id;
  for (const double deadline = NowMs() + 5000; id.empty() && NowMs() < deadline;) {
    const std::string out = Capture({"xdotool", "search", "--name", "^Vorn-ZEDA  Patch$"});
    id = out.substr(0, out.find('\n'));
  }
  // The worker: `rate` posts a second, paced against the clock in small bursts.
  std::thread worker([f] {
    const double start = NowMs();
    for (uint64_t i = 0; i < f->total; ++i) {
      if (i % 64 == 0) {
        const double due = start + static_cast<double>(i) * 1000.0 / f->rate;
        const double ahead = due - NowMs();
        if (ahead > 0) std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(ahead * 1000)));
      }
      const uintptr_t position = static_cast<uintptr_t>((i + 1) * 1000 / f->total);
      f->posted.fetch_add(1);
      if (!plat::PostToWindow(f->window, kMsgProgress, position, 0)) f->postFailed = true;
    }
  });
  // A screenshot a second while the flood runs.
  const double start = NowMs();
  for (int s = 1; s < f->seconds; ++s) {
    const double due = start + s * 1000.0;
    while (NowMs() < due) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (id.empty()) continue;
    const int before = f->lastPosition.load();
    const int share = FilledShare(Screenshot(id));
    const int after = f->lastPosition.load();
    f->samples.emplace_back((before + after) / 2, share);
  }
  worker.join();
  plat::PostToWindow(f->window, kMsgDone, 0, 0);
  // The done message stops the clocks; then the bar is driven past its range from this
  // thread (sends, as the program's other threads do).
  while (!f->stopped.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!id.empty()) {
    plat::SendToItem(f->window, IDC_PROGRESS, plat::kMsgBarSetPos, 1500, 0);
    WaitScreenshot(id, 1000, &f->shareAbove);
    plat::SendToItem(f->window, IDC_PROGRESS, plat::kMsgBarSetPos, static_cast<uintptr_t>(intptr_t{-5}), 0);
    WaitScreenshot(id, 0, &f->shareBelow);
    // A status text far wider than the line is clipped; the window keeps its size.
    plat::SetItemText(f->window, IDC_STATUS, std::string(300, 'W').c_str());
    const std::string info = Capture({"xwininfo", "-id", id});
    const size_t w = info.find("Width:"), h = info.find("Height:");
    if (w != std::string::npos && h != std::string::npos) {
      f->widthAfterLongText = std::atoi(info.c_str() + w + 6);
      f->heightAfterLongText = std::atoi(info.c_str() + h + 7);
    }
  }
  plat::PostToWindow(f->window, kMsgDone + 1, 0, 0);
}

intptr_t FloodProc(plat::WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  Flood* f = g_flood;
  switch (message) {
    case plat::kMsgInitDialog:
      f = g_flood = reinterpret_cast<Flood*>(lParam);
      f->window = window;
      plat::SendToItem(window, IDC_PROGRESS, plat::kMsgBarSetRange, 0, static_cast<intptr_t>(1000) << 16);
      f->cpuStart = ThreadCpuMs();
      f->wallStart = NowMs();
      f->controller = std::thread(Control, f);
      break;
    case kMsgProgress: {
      const uint64_t n = f->handled.fetch_add(1) + 1;
      const uint64_t backlog = f->posted.load() - n;
      if (backlog > f->maxBacklog) f->maxBacklog = backlog;
      f->lastPosition.store(static_cast<int>(wParam));
      plat::SendToItem(window, IDC_PROGRESS, plat::kMsgBarSetPos, wParam, 0);
      // The program refreshes its texts once a second; so does the bench.
      if (n % static_cast<uint64_t>(f->rate) == 0) {
        char text[128];
        std::snprintf(text, sizeof text, "%llu messages", static_cast<unsigned long long>(n));
        plat::SetItemText(window, IDC_STATUS, text);
      }
      break;
    }
    case kMsgDone:
      f->cpuMs = ThreadCpuMs() - f->cpuStart;
      f->wallMs = NowMs() - f->wallStart;
      f->stopped.store(true);
      break;
    case kMsgDone + 1:
      plat::EndModalDialog(window, 0);
      break;
    case plat::kMsgClose:
      plat::EndModalDialog(window, 0);
      break;
    default:
      break;
  }
  return 0;
}

bool RunFlood(int rate, int seconds) {
  Flood f;
  f.rate = rate;
  f.seconds = seconds;
  f.total = static_cast<uint64_t>(rate) * seconds;
  plat::RunModalDialog(nullptr, PatchDialogLayout(), FloodProc, reinterpret_cast<intptr_t>(&f));
  if (f.controller.joinable()) f.controller.join();

  bool ok = true;
  std::printf("flood: %d posts/s for %d s to the FLTK window\n", rate, seconds);
  std::printf("  posted %llu, handled %llu, last position %d, most queued at once %llu%s\n",
              static_cast<unsigned long long>(f.posted.load()), static_cast<unsigned long long>(f.handled.load()),
              f.lastPosition.load(), static_cast<unsigned long long>(f.maxBacklog),
              f.postFailed ? ", A POST WAS REFUSED" : "");
  ok = ok && !f.postFailed && f.handled.load() == f.total && f.lastPosition.load() == 1000;
  const double share = f.wallMs > 0 ? f.cpuMs / f.wallMs * 100.0 : 100.0;
  std::printf("  UI thread CPU %.1f ms over %.1f ms wall = %.2f%% (limit 10%%)\n", f.cpuMs, f.wallMs, share);
  ok = ok && share < 10.0;
  int painted = 0;
  std::printf("  bar on screen during the flood (position / filled share):");
  for (const auto& s : f.samples) {
    std::printf(" %d/%d", s.first, s.second);
    // The screenshot takes a while; the bar may move on by a few percent meanwhile.
    if (s.second >= 0 && std::abs(s.second - s.first) <= 60) ++painted;
  }
  std::printf("\n  %d of %zu screenshots show the bar where it should be\n", painted, f.samples.size());
  ok = ok && !f.samples.empty() && painted == static_cast<int>(f.samples.size());
  std::printf("  position 1500 shows %d/1000 filled, position -5 shows %d/1000\n", f.shareAbove, f.shareBelow);
  ok = ok && f.shareAbove == 1000 && f.shareBelow == 0;
  std::printf("  window after a 300-character status text: %d x %d (template: %d x %d)\n", f.widthAfterLongText,
              f.heightAfterLongText, DuX(267), DuY(159));
  ok = ok && f.widthAfterLongText == DuX(267) && f.heightAfterLongText == DuY(159);
  std::printf("  flood %s\n", ok ? "PASSED" : "FAILED");
  return ok;
}

// ---- 2. start to first paint -----------------------------------------------------

int IgnoreXErrors(Display*, XErrorEvent*) { return 0; }

// Top-level windows (and their children, for a window manager's frames) named `name`.
void FindNamed(Display* d, Window w, const char* name, int depth, std::vector<Window>* out) {
  char* title = nullptr;
  if (XFetchName(d, w, &title) && title != nullptr) {
    if (std::strcmp(title, name) == 0) out->push_back(w);
    XFree(title);
  }
  if (depth == 0) return;
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(d, w, &root, &parent, &children, &count)) return;
  for (unsigned i = 0; i < count; ++i) FindNamed(d, children[i], name, depth - 1, out);
  if (children != nullptr) XFree(children);
}

// Drawn content: the viewable window holds at least two colours.
bool Painted(Display* d, Window w) {
  XWindowAttributes a;
  if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable) return false;
  XImage* image = XGetImage(d, w, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height), AllPlanes,
                            ZPixmap);
  if (image == nullptr) return false;
  const unsigned long first = XGetPixel(image, 0, 0);
  bool two = false;
  for (int y = 0; y < a.height && !two; y += 2)
    for (int x = 0; x < a.width && !two; x += 2) two = XGetPixel(image, x, y) != first;
  XDestroyImage(image);
  return two;
}

// Starts the process and polls (about every 0.5 ms) until a new window of that name
// shows drawn content. Returns milliseconds, or -1.
double StartToFirstPaint(Display* d, const std::vector<std::string>& args, const char* name,
                         const std::string& cwd) {
  std::vector<Window> before;
  FindNamed(d, DefaultRootWindow(d), name, 2, &before);
  const std::set<Window> old(before.begin(), before.end());
  const double start = NowMs();
  const pid_t pid = Spawn(args, cwd);
  double result = -1;
  while (NowMs() - start < 10000) {
    std::vector<Window> found;
    FindNamed(d, DefaultRootWindow(d), name, 2, &found);
    bool done = false;
    for (Window w : found)
      if (old.count(w) == 0 && Painted(d, w)) done = true;
    if (done) {
      result = NowMs() - start;
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  KillAndReap(pid);
  // Let the server drop the window before the next start.
  for (const double deadline = NowMs() + 2000; NowMs() < deadline;) {
    std::vector<Window> left;
    FindNamed(d, DefaultRootWindow(d), name, 2, &left);
    if (left.size() <= old.size()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return result;
}

void Report(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  if (ms.empty() || ms.front() < 0) {
    std::printf("  %-12s FAILED (no painted window)\n", what);
    return;
  }
  std::printf("  %-12s median %.1f ms, min %.1f ms, max %.1f ms (%zu starts)\n", what, ms[ms.size() / 2], ms.front(),
              ms.back(), ms.size());
}

bool RunStartTimes(const std::string& program, int starts) {
  Display* d = XOpenDisplay(nullptr);
  if (d == nullptr) return false;
  XSetErrorHandler(IgnoreXErrors);

  // The program from a copy beside settings that point at a listener that never
  // answers: the window opens and waits, with no box.
  char dir[] = "/tmp/zd_window_bench_XXXXXX";
  if (mkdtemp(dir) == nullptr) return false;
  const std::string base = dir;
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 64);
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  mkdir((base + "/run").c_str(), 0700);
  mkdir((base + "/xdg").c_str(), 0700);
  const std::string copy = base + "/zidodiruv";
  {
    std::ifstream in(program, std::ios::binary);
    std::ofstream out(copy, std::ios::binary);
    out << in.rdbuf();
  }
  chmod(copy.c_str(), 0755);
  {
    std::ofstream ini(base + "/VornPatch.ini");
    ini << "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" << ntohs(a.sin_port)
        << "\nUSERID=u\nPASSWD=p\nBASEDIRECTORY=/\nLISTFILE=list.txt\n";
  }
  setenv("XDG_RUNTIME_DIR", (base + "/run").c_str(), 1);
  setenv("XDG_CONFIG_DIRS", (base + "/xdg").c_str(), 1);

  std::vector<double> ours, xmessage;
  // Alternate the two so both see the same machine state.
  for (int i = 0; i < starts; ++i) {
    ours.push_back(StartToFirstPaint(d, {copy}, "Vorn-ZEDA  Patch", base));
    xmessage.push_back(StartToFirstPaint(d, {"xmessage", "-title", "zd-bench", "Patch installed."}, "zd-bench", ""));
  }
  std::printf("start to first paint:\n");
  Report("program", ours);
  Report("xmessage", xmessage);
  close(listener);
  XCloseDisplay(d);
  Capture({"rm", "-rf", base});
  return !ours.empty() && ours.front() >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string program;
#ifdef ZD_PROGRAM
  program = ZD_PROGRAM;
#endif
  int seconds = 10, rate = 30000, starts = 7;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--program=", 0) == 0) program = a.substr(10);
    if (a.rfind("--seconds=", 0) == 0) seconds = std::max(2, std::atoi(a.c_str() + 10));
    if (a.rfind("--rate=", 0) == 0) rate = std::max(1, std::atoi(a.c_str() + 7));
    if (a.rfind("--starts=", 0) == 0) starts = std::max(1, std::atoi(a.c_str() + 9));
  }
  pid_t xvfb = -1;
  if (std::getenv("DISPLAY") == nullptr) {
    xvfb = StartXvfb();
    if (xvfb < 0) {
      std::fprintf(stderr, "no DISPLAY and Xvfb did not start\n");
      return 2;
    }
  }
  std::printf("display %s\n", std::getenv("DISPLAY"));
  bool ok = RunFlood(rate, seconds);
  if (!program.empty()) {
    ok = RunStartTimes(program, starts) && ok;
  } else {
    std::printf("start to first paint: skipped (no --program)\n");
  }
  if (xvfb > 0) {
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
  }
  return ok ? 0 : 1;
}
