// zidodiruv-publish as a test starts it: its own process with the test's environment
// (TZ set to UTC0, so the tool's --zone has to do the work), its output in files.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace zdtest {

class ToolProcess {
 public:
  // Starts the tool with `args`; stdout and stderr go to files under `workDir`, or
  // stderr to a terminal of its own (a pseudo-terminal) with `terminal`. `launcher`
  // (a program and its arguments) starts the tool when given.
  ToolProcess(const std::vector<std::string>& args, const std::string& workDir, bool terminal = false,
              const std::vector<std::string>& launcher = {});
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  bool Running();
  // The exit code; -1 after `timeoutMs` (the process is killed then) or a signal.
  int Wait(int timeoutMs = 120000);
  void Kill();
  void Signal(int sig);
  std::string Out() const;
  // Standard error, or what the terminal showed.
  std::string Err();

 private:
  void Drain();

  pid_t pid_ = -1;
  int code_ = -1;
  std::string out_;
  std::string err_;
  int terminal_ = -1;  // the terminal's other side
  std::string shown_;
};

struct ToolResult {
  int code;
  std::string out;
  std::string err;
};

// Runs the tool to its end.
ToolResult RunTool(const std::vector<std::string>& args, const std::string& workDir, bool terminal = false,
                   const std::vector<std::string>& launcher = {});

}  // namespace zdtest
