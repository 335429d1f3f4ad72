#include "publish/tool_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "support/temp_tree.h"

extern char** environ;

namespace zdtest {

ToolProcess::ToolProcess(const std::vector<std::string>& args, const std::string& workDir, bool terminal,
                         const std::vector<std::string>& launcher) {
  static std::atomic<int> counter{0};
  const std::string stem = workDir + "/tool-" + std::to_string(++counter);
  out_ = stem + ".out";
  err_ = stem + ".err";
  std::vector<std::string> argv = launcher;
  argv.push_back(ZD_PUBLISH);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> argp;
  for (std::string& a : argv) argp.push_back(&a[0]);
  argp.push_back(nullptr);
  // The test's environment with its locale, but a zone of its own.
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TZ=", 3) != 0) env.emplace_back(*e);
  }
  env.emplace_back("TZ=UTC0");
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (terminal) {
    terminal_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (terminal_ >= 0 && ::grantpt(terminal_) == 0 && ::unlockpt(terminal_) == 0)
      posix_spawn_file_actions_addopen(&actions, 2, ::ptsname(terminal_), O_RDWR | O_NOCTTY, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (posix_spawnp(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

ToolProcess::~ToolProcess() {
  Kill();
  if (terminal_ >= 0) ::close(terminal_);
}

void ToolProcess::Drain() {
  char buffer[4096];
  ssize_t n;
  while (terminal_ >= 0 && (n = ::read(terminal_, buffer, sizeof buffer)) > 0)
    shown_.append(buffer, static_cast<size_t>(n));
}

bool ToolProcess::Running() {
  Drain();
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
  code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  pid_ = -1;
  return false;
}

int ToolProcess::Wait(int timeoutMs) {
  if (!WaitUntil([this] { return !Running(); }, timeoutMs)) Kill();
  return code_;
}

void ToolProcess::Signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

void ToolProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  code_ = -1;
}

std::string ToolProcess::Out() const { return ReadFile(out_); }
std::string ToolProcess::Err() {
  Drain();
  return terminal_ >= 0 ? shown_ : ReadFile(err_);
}

ToolResult RunTool(const std::vector<std::string>& args, const std::string& workDir, bool terminal,
                   const std::vector<std::string>& launcher) {
  ToolProcess tool(args, workDir, terminal, launcher);
  const int code = tool.Wait();
  return {code, tool.Out(), tool.Err()};
}

}  // namespace zdtest
