#include "support/desktop.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

extern char** environ;

namespace zdtest {

bool WaitUntil(const std::function<bool()>& condition, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

VirtualDisplay::VirtualDisplay() {
  const char* old = std::getenv("DISPLAY");
  hadDisplay_ = old != nullptr;
  if (hadDisplay_) oldDisplay_ = old;
  for (int n = 40 + static_cast<int>(::getpid() % 400); n < 1000; ++n) {
    const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
    struct stat st;
    if (::stat(lock.c_str(), &st) == 0 || ::stat(socket.c_str(), &st) == 0) continue;
    name_ = ":" + std::to_string(n);
    const char* argv[] = {"Xvfb", name_.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int rc = posix_spawnp(&pid, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return;
    const bool up = WaitUntil(
        [&] {
          int status;
          if (::waitpid(pid, &status, WNOHANG) == pid) return true;  // died: try the next number
          return ::stat(socket.c_str(), &st) == 0;
        },
        10000);
    int status;
    if (up && ::waitpid(pid, &status, WNOHANG) == 0) {
      pid_ = pid;
      ::setenv("DISPLAY", name_.c_str(), 1);
      return;
    }
  }
}

VirtualDisplay::~VirtualDisplay() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status;
    if (!WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 5000)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
  }
  if (hadDisplay_) {
    ::setenv("DISPLAY", oldDisplay_.c_str(), 1);
  } else {
    ::unsetenv("DISPLAY");
  }
}

Child::Child(const std::vector<std::string>& argv, const std::string& dir) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) _exit(127);
    ::execv(args[0], args.data());
    _exit(127);
  }
  pid_ = pid;
}

Child::~Child() {
  if (!ended_ && pid_ > 0) Kill();
}

bool Child::Wait(int ms) {
  if (ended_) return true;
  return WaitUntil(
      [&] {
        int status;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        ended_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
      },
      ms);
}

bool Child::Running() { return !Wait(0); }

void Child::Kill() {
  if (ended_ || pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status;
  ::waitpid(pid_, &status, 0);
  ended_ = true;
  exitCode_ = 128 + SIGKILL;
}

std::string RunCommand(const std::string& command, int* status) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  const int rc = ::pclose(p);
  if (status != nullptr) *status = rc;
  return out;
}

std::vector<std::string> FindWindows(const std::string& titleRegex) {
  std::vector<std::string> ids;
  std::istringstream in(RunCommand("xdotool search --onlyvisible --name '" + titleRegex + "' 2>/dev/null"));
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) ids.push_back(line);
  return ids;
}

std::string WaitForWindow(const std::string& titleRegex, int ms) {
  std::string id;
  WaitUntil(
      [&] {
        const auto ids = FindWindows(titleRegex);
        if (ids.empty()) return false;
        id = ids.front();
        return true;
      },
      ms);
  return id;
}

}  // namespace zdtest
