// Linux program start: posix_spawn with the argument vector that the Windows runtime
// would give the started program for the same command line. Descriptors the patcher
// opens are close-on-exec, so nothing is inherited. The child is reaped by a
// detached thread, so the patcher never waits for it and leaves no zombie.
#include "platform/process.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

#include "platform/posix/command_line.h"

extern char** environ;

namespace plat {

std::vector<std::string> SplitCommandLine(const char* commandLine) {
  std::vector<std::string> args;
  const char* p = commandLine;
  // Argument 0: everything up to the first blank, quotes grouping; nothing else is
  // special in it.
  {
    std::string first;
    bool quoted = false;
    for (; *p != '\0'; ++p) {
      if (*p == '"') {
        quoted = !quoted;
      } else if (!quoted && (*p == ' ' || *p == '\t')) {
        break;
      } else {
        first.push_back(*p);
      }
    }
    args.push_back(first);
  }
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') break;
    std::string arg;
    bool quoted = false;
    for (; *p != '\0'; ++p) {
      if (*p == '\\') {
        // Backslashes are literal unless they precede a double quote: then each pair
        // gives one backslash, and an odd one makes the quote literal.
        size_t n = 0;
        while (p[n] == '\\') ++n;
        if (p[n] == '"') {
          arg.append(n / 2, '\\');
          if (n % 2 == 1) {
            arg.push_back('"');
            p += n;  // onto the quote; the loop steps past it
          } else {
            p += n - 1;  // the loop steps onto the quote, which then groups
          }
          continue;
        }
        arg.append(n, '\\');
        p += n - 1;
      } else if (*p == '"') {
        if (quoted && p[1] == '"') {
          arg.push_back('"');
          ++p;
        } else {
          quoted = !quoted;
        }
      } else if (!quoted && (*p == ' ' || *p == '\t')) {
        break;
      } else {
        arg.push_back(*p);
      }
    }
    args.push_back(arg);
  }
  return args;
}

bool StartProgram(const char* path, const char* commandLine) {
  std::vector<std::string> args = SplitCommandLine(commandLine);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid;
  const int rc = ::posix_spawn(&pid, path, nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    errno = rc;
    return false;
  }
  try {
    std::thread([pid] {
      int status;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
    // Without a reaper the child stays a zombie until the patcher ends; harmless.
  }
  return true;
}

}  // namespace plat
