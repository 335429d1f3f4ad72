// zidodiruv-publish as a test starts it: its own process with the test's environment
// (TZ set to UTC0, so the tool's --zone has to do the work), its output in files.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace zdtest {

class ToolProcess {
 public:
  // Starts the tool with `args`; stdout and stderr go to files under `workDir`.
  ToolProcess(const std::vector<std::string>& args, const std::string& workDir);
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  bool Running();
  // The exit code; -1 after `timeoutMs` (the process is killed then) or a signal.
  int Wait(int timeoutMs = 120000);
  void Kill();
  std::string Out() const;
  std::string Err() const;

 private:
  pid_t pid_ = -1;
  int code_ = -1;
  std::string out_;
  std::string err_;
};

struct ToolResult {
  int code;
  std::string out;
  std::string err;
};

// Runs the tool to its end.
ToolResult RunTool(const std::vector<std::string>& args, const std::string& workDir);

}  // namespace zdtest
