#include "support/x11_session.h"

#include <X11/Xlib.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "support/temp_tree.h"

namespace zdtest {

double SteadyNowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

namespace {

uint32_t Le32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

// Everything the child needs, prepared before fork: after it only exec-safe calls run.
struct ExecPlan {
  std::vector<std::string> argvStore, envStore;
  std::vector<char*> argv, env;
  ExecPlan(const std::vector<std::string>& a, const std::vector<std::string>& e) : argvStore(a), envStore(e) {
    for (std::string& s : argvStore) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    for (std::string& s : envStore) env.push_back(&s[0]);
    env.push_back(nullptr);
  }
};

pid_t ForkExec(ExecPlan& plan, const std::string& cwd, int stdoutFd, int stderrFd, int keepFd) {
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::dup2(devNull, 0);
    ::dup2(stdoutFd >= 0 ? stdoutFd : devNull, 1);
    ::dup2(stderrFd >= 0 ? stderrFd : devNull, 2);
    if (keepFd >= 0) ::fcntl(keepFd, F_SETFD, 0);
    ::execvpe(plan.argv[0], plan.argv.data(), plan.env.data());
    ::_exit(127);
  }
  if (devNull >= 0) ::close(devNull);
  return pid;
}

}  // namespace

RgbImage DecodeBmp8(const std::string& b) {
  RgbImage out;
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return out;
  const uint32_t pixels = Le32(b, 10), header = Le32(b, 14);
  const int32_t width = static_cast<int32_t>(Le32(b, 18)), rawHeight = static_cast<int32_t>(Le32(b, 22));
  const uint16_t bits = static_cast<uint16_t>(static_cast<uint8_t>(b[28]) | static_cast<uint8_t>(b[29]) << 8);
  if (bits != 8 || Le32(b, 30) != 0 || width <= 0 || width > 8192 || rawHeight == 0 || rawHeight > 8192 ||
      rawHeight < -8192)
    return out;
  const int height = rawHeight > 0 ? rawHeight : -rawHeight;
  const size_t palette = 14 + static_cast<size_t>(header);
  const size_t stride = (static_cast<size_t>(width) + 3) & ~static_cast<size_t>(3);
  if (palette + 256 * 4 > b.size() || pixels + stride * height > b.size()) return out;
  out.width = width;
  out.height = height;
  out.rgb.resize(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    const size_t row = pixels + stride * static_cast<size_t>(rawHeight > 0 ? height - 1 - y : y);
    for (int x = 0; x < width; ++x) {
      const size_t entry = palette + static_cast<uint8_t>(b[row + x]) * 4u;
      uint8_t* p = &out.rgb[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = static_cast<uint8_t>(b[entry + 2]);
      p[1] = static_cast<uint8_t>(b[entry + 1]);
      p[2] = static_cast<uint8_t>(b[entry]);
    }
  }
  return out;
}

RgbImage DecodePpm(const std::string& b) {
  RgbImage out;
  size_t at = 0;
  auto token = [&]() -> std::string {
    for (;;) {
      while (at < b.size() && std::isspace(static_cast<unsigned char>(b[at]))) ++at;
      if (at < b.size() && b[at] == '#') {
        while (at < b.size() && b[at] != '\n') ++at;
        continue;
      }
      break;
    }
    const size_t start = at;
    while (at < b.size() && !std::isspace(static_cast<unsigned char>(b[at]))) ++at;
    return b.substr(start, at - start);
  };
  if (token() != "P6") return out;
  const int w = std::atoi(token().c_str()), h = std::atoi(token().c_str()), max = std::atoi(token().c_str());
  ++at;  // the one whitespace byte before the pixels
  if (w <= 0 || h <= 0 || max != 255 || b.size() < at + static_cast<size_t>(w) * h * 3) return out;
  out.width = w;
  out.height = h;
  out.rgb.assign(b.begin() + static_cast<std::ptrdiff_t>(at),
                 b.begin() + static_cast<std::ptrdiff_t>(at + static_cast<size_t>(w) * h * 3));
  return out;
}

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& cwd, const std::string& outputPath, int inheritFd) {
  if (argv.empty() || !reaped_) return false;
  int out = -1;
  if (!outputPath.empty()) out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ExecPlan plan(argv, env);
  pid_ = ForkExec(plan, cwd, out, out, inheritFd);
  if (out >= 0) ::close(out);
  reaped_ = pid_ <= 0;
  return pid_ > 0;
}

bool ChildProcess::Running() {
  if (reaped_) return false;
  const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
  if (r == pid_) reaped_ = true;
  return !reaped_;
}

bool ChildProcess::WaitExit(int ms, int* exitCode) {
  const double deadline = SteadyNowMs() + ms;
  while (Running()) {
    if (SteadyNowMs() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (pid_ <= 0 || !WIFEXITED(status_)) return false;
  if (exitCode != nullptr) *exitCode = WEXITSTATUS(status_);
  return true;
}

void ChildProcess::Kill() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status_, 0);
  reaped_ = true;
}

int RunTool(const std::vector<std::string>& argv, const std::vector<std::string>& env, int ms,
               std::string* output) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  ExecPlan plan(argv, env);
  const pid_t pid = ForkExec(plan, "", fds[1], -1, -1);
  ::close(fds[1]);
  if (pid <= 0) {
    ::close(fds[0]);
    return -1;
  }
  const double deadline = SteadyNowMs() + ms;
  char buffer[65536];
  bool timedOut = false;
  for (;;) {
    const double left = deadline - SteadyNowMs();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    if (output != nullptr) output->append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (timedOut || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

XvfbSession::~XvfbSession() {
  if (server_.Running()) {
    ::kill(server_.pid(), SIGTERM);
    if (!server_.WaitExit(3000, nullptr)) server_.Kill();
  }
}

bool XvfbSession::Start(int width, int height, int ms) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  // Xvfb picks a free display number itself and writes it to the descriptor once it
  // accepts clients.
  const bool started = server_.Start({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen,
                                      "-nolisten", "tcp", "-noreset"},
                                     {"PATH=/usr/bin:/bin"}, "", "", fds[1]);
  ::close(fds[1]);
  std::string number;
  const double deadline = SteadyNowMs() + ms;
  while (started && number.find('\n') == std::string::npos) {
    const double left = deadline - SteadyNowMs();
    if (left <= 0) break;
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
    char c[16];
    const ssize_t n = ::read(fds[0], c, sizeof c);
    if (n <= 0) break;
    number.append(c, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (number.find('\n') == std::string::npos) return false;
  display_ = ":" + number.substr(0, number.find('\n'));
  return true;
}

std::vector<std::string> XvfbSession::ClientEnv() const {
  const char* home = std::getenv("HOME");
  return {"PATH=/usr/bin:/bin", std::string("HOME=") + (home != nullptr ? home : "/tmp"), "DISPLAY=" + display_};
}

bool XvfbSession::Xdotool(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv = {"xdotool"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunTool(argv, ClientEnv(), 5000) == 0;
}

namespace {

// Xlib's default handler ends the process on an error; a window that has gone away by
// the time a request reaches it is no reason to end the test.
bool g_xError = false;
int NoteXError(Display*, XErrorEvent*) {
  g_xError = true;
  return 0;
}

}  // namespace

bool XvfbSession::RequestClose(unsigned long window) const {
  Display* display = XOpenDisplay(display_.c_str());
  if (display == nullptr) return false;
  g_xError = false;
  XErrorHandler previous = XSetErrorHandler(NoteXError);
  XEvent event;
  std::memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  const bool sent = XSendEvent(display, window, False, NoEventMask, &event) != 0;
  XSync(display, False);
  XSetErrorHandler(previous);
  XCloseDisplay(display);
  return sent && !g_xError;
}

unsigned long XvfbSession::FindWindow(const std::string& namePattern, int ms) const {
  const double deadline = SteadyNowMs() + ms;
  for (;;) {
    std::string out;
    if (RunTool({"xdotool", "search", "--onlyvisible", "--name", namePattern}, ClientEnv(), 5000, &out) == 0) {
      const unsigned long id = std::strtoul(out.c_str(), nullptr, 10);
      if (id != 0) return id;
    }
    if (SteadyNowMs() > deadline) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool XvfbSession::WindowGone(const std::string& namePattern) const {
  std::string out;
  return RunTool({"xdotool", "search", "--name", namePattern}, ClientEnv(), 5000, &out) == 1;
}

bool XvfbSession::WindowSize(unsigned long window, int* width, int* height) const {
  std::string out;
  if (RunTool({"xwininfo", "-id", std::to_string(window)}, ClientEnv(), 5000, &out) != 0) return false;
  const size_t w = out.find("Width:"), h = out.find("Height:");
  if (w == std::string::npos || h == std::string::npos) return false;
  *width = std::atoi(out.c_str() + w + 6);
  *height = std::atoi(out.c_str() + h + 7);
  return true;
}

RgbImage XvfbSession::Screenshot(unsigned long window) const {
  std::string out;
  if (RunTool({"import", "-window", std::to_string(window), "-depth", "8", "ppm:-"}, ClientEnv(), 10000, &out) != 0)
    return RgbImage();
  return DecodePpm(out);
}


std::vector<std::string> ProgramEnv(const XvfbSession& xvfb, const std::string& root,
                                    const std::vector<std::string>& extra) {
  std::vector<std::string> env = xvfb.ClientEnv();
  for (std::string& e : env)
    if (e.compare(0, 5, "HOME=") == 0) e = "HOME=" + root + "/home";
  env.push_back("XDG_RUNTIME_DIR=" + root + "/run");
  env.push_back("XDG_CONFIG_DIRS=" + root + "/xdg");
  // A sanitizer build reports fontconfig's own caches, still held at exit, as leaks and
  // exits 1; nothing else is excused.
  const std::string suppressions = root + "/lsan.supp";
  if (FILE* f = std::fopen(suppressions.c_str(), "w")) {
    std::fputs("leak:libfontconfig.so\n", f);
    std::fclose(f);
  }
  env.push_back("LSAN_OPTIONS=print_suppressions=0:suppressions=" + suppressions);
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string variable = *e;
    if (variable.compare(0, 3, "TZ=") == 0 || variable.compare(0, 5, "LANG=") == 0 ||
        variable.compare(0, 9, "LANGUAGE=") == 0 || variable.compare(0, 3, "LC_") == 0)
      env.push_back(variable);
  }
  for (const std::string& e : extra) {
    const std::string name = e.substr(0, e.find('=')) + "=";
    env.erase(std::remove_if(env.begin(), env.end(),
                             [&](const std::string& v) { return v.compare(0, name.size(), name) == 0; }),
              env.end());
    if (e.find('=') != std::string::npos) env.push_back(e);
  }
  return env;
}

std::vector<pid_t> ProcessesRunningFrom(const std::string& path) {
  std::vector<pid_t> pids;
  struct stat target;
  if (::stat(path.c_str(), &target) != 0) return pids;
  if (DIR* proc = ::opendir("/proc")) {
    while (const dirent* e = ::readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
      struct stat st;
      if (pid > 0 && ::stat(("/proc/" + std::to_string(pid) + "/exe").c_str(), &st) == 0 &&
          st.st_dev == target.st_dev && st.st_ino == target.st_ino)
        pids.push_back(pid);
    }
    ::closedir(proc);
  }
  return pids;
}

bool KernelRunsWindowsPrograms() {
  const std::string dir = "/proc/sys/fs/binfmt_misc/";
  if (ReadFile(dir + "status").compare(0, 7, "enabled") != 0) return false;
  bool found = false;
  if (DIR* handlers = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(handlers)) {
      const std::string text = ReadFile(dir + e->d_name);
      found = found || (text.compare(0, 7, "enabled") == 0 && text.find("\nmagic 4d5a") != std::string::npos);
    }
    ::closedir(handlers);
  }
  return found;
}

int XvfbSession::VisibleWindows(const std::string& namePattern) const {
  std::string out;
  RunTool({"xdotool", "search", "--onlyvisible", "--name", namePattern}, ClientEnv(), 5000, &out);
  int n = 0;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) n += end > start;
  return n + (start < out.size());
}

bool XvfbSession::PressReturnUntilExit(ChildProcess& child, unsigned long box, int ms, int* exitCode) const {
  const double deadline = SteadyNowMs() + ms;
  do {
    Xdotool({"windowfocus", "--sync", std::to_string(box)});
    Xdotool({"key", "Return"});
    if (child.WaitExit(500, exitCode)) return true;
  } while (SteadyNowMs() < deadline);
  return child.WaitExit(0, exitCode);
}

}  // namespace zdtest
