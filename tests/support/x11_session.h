// What the end-to-end tests need to drive the built program on a display of their own:
// a private Xvfb, child processes with a chosen environment, the X tools (xdotool,
// xwininfo, import) run with deadlines, screenshots as RGB pixels, BMP decoding, and
// a loopback listener that accepts connections and never says a word.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zdtest {

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // rows top-down, 3 bytes a pixel
  bool ok() const { return width > 0 && height > 0; }
  const uint8_t* At(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

// Decodes a BMP file of 8 bits per pixel with a palette (uncompressed, either row
// order); an empty image on anything else.
RgbImage DecodeBmp8(const std::string& bytes);
// Decodes a binary PPM (P6, maxval 255).
RgbImage DecodePpm(const std::string& bytes);

// A child process; killed (SIGKILL) and reaped when the object goes away.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (searched in PATH when it has no '/') with exactly `env`, in `cwd`
  // (empty: the current directory). Standard output and standard error go to
  // `outputPath` when given, else to /dev/null. `inheritFd`, when not -1, stays open in the child.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& cwd = "", const std::string& outputPath = "", int inheritFd = -1);
  // Waits up to `ms` for the exit; true with the exit status when it ended normally.
  bool WaitExit(int ms, int* exitCode);
  bool Running();
  void Kill();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = true;
  int status_ = 0;
};

// Runs a command to its end (at most `ms`), collecting standard output. Returns the
// exit code, or -1 when it could not start, timed out or was killed.
int RunTool(const std::vector<std::string>& argv, const std::vector<std::string>& env, int ms,
               std::string* output = nullptr);

// A private X server (Xvfb on a display number it picks itself with -displayfd).
class XvfbSession {
 public:
  XvfbSession() = default;
  ~XvfbSession();
  XvfbSession(const XvfbSession&) = delete;
  XvfbSession& operator=(const XvfbSession&) = delete;

  // Starts the server and waits (up to `ms`) until it accepts clients.
  bool Start(int width = 1024, int height = 768, int ms = 10000);
  const std::string& display() const { return display_; }  // ":N"
  // The environment for X clients: PATH, HOME and DISPLAY.
  std::vector<std::string> ClientEnv() const;

  // Polls `xdotool search --onlyvisible --name pattern` until a window is mapped (or
  // `ms` pass); 0 when none was. A window that exists but is not mapped yet cannot take
  // the focus, so keys sent to it would be lost.
  unsigned long FindWindow(const std::string& namePattern, int ms) const;
  bool WindowGone(const std::string& namePattern) const;
  // Inner size of a window (xwininfo).
  bool WindowSize(unsigned long window, int* width, int* height) const;
  // A screenshot of the window's contents (import -window).
  RgbImage Screenshot(unsigned long window) const;
  // Asks a window to close as a window manager does when its close box is clicked
  // (WM_DELETE_WINDOW); true when the request was sent.
  bool RequestClose(unsigned long window) const;
  // xdotool with the given arguments; true on exit code 0.
  bool Xdotool(const std::vector<std::string>& arguments) const;
  // How many visible windows' names match `namePattern` now.
  int VisibleWindows(const std::string& namePattern) const;
  // Presses Return on `box` until `child` ends (a key pressed while the box is still
  // being mapped can be lost), for up to `ms`; true with the exit code when it ended.
  bool PressReturnUntilExit(ChildProcess& child, unsigned long box, int ms, int* exitCode) const;

 private:
  ChildProcess server_;
  std::string display_;
};

// The environment the built program gets in the end-to-end tests: the X client's
// (PATH, HOME, DISPLAY) with a home, runtime directory and registry of the test's own
// under `root` (home/, run/, xdg/, made by the test), the leak suppressions a sanitizer
// build needs (written to root/lsan.supp), and this process's time zone and locale (TZ,
// LANG, LANGUAGE, LC_*), so that the program stamps and reads times in the zone the test
// reads them in. `extra` adds or replaces variables ("NAME=value") or leaves one out
// ("NAME").
std::vector<std::string> ProgramEnv(const XvfbSession& xvfb, const std::string& root,
                                    const std::vector<std::string>& extra = {});

// Processes (of this user) whose image is the file at `path` as it is now.
std::vector<pid_t> ProcessesRunningFrom(const std::string& path);

// True when the kernel starts Windows programs itself (a binfmt_misc handler for files
// that begin with "MZ" is registered and enabled), so no start of one ever fails.
bool KernelRunsWindowsPrograms();

// Milliseconds on a steady clock, for deadlines.
double SteadyNowMs();

}  // namespace zdtest
