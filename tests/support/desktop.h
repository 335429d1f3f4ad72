// Running the built program as a user would: a private X display, child processes
// with deadlines, and xdotool / import for finding, driving and photographing windows.
#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace zdtest {

// An Xvfb server of the test's own on a free display number; DISPLAY points at it
// for the object's lifetime.
class VirtualDisplay {
 public:
  VirtualDisplay();
  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;
  bool ok() const { return pid_ > 0; }
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
  std::string oldDisplay_;
  bool hadDisplay_ = false;
};

// A started program.
class Child {
 public:
  // argv[0] is the program's path; `dir` the working directory (empty: inherited).
  Child(const std::vector<std::string>& argv, const std::string& dir = std::string());
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // Waits up to `ms`; true when it ended (exit code in exitCode()).
  bool Wait(int ms);
  bool Running();
  int exitCode() const { return exitCode_; }
  void Kill();

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
  int exitCode_ = -1;
};

// Runs a command line through /bin/sh and returns its standard output.
std::string RunCommand(const std::string& command, int* status = nullptr);

// Window ids (decimal) whose title matches the regular expression, via xdotool.
std::vector<std::string> FindWindows(const std::string& titleRegex);
// Waits up to `ms` for a window; returns its id or "".
std::string WaitForWindow(const std::string& titleRegex, int ms);

bool WaitUntil(const std::function<bool()>& condition, int ms);

}  // namespace zdtest
