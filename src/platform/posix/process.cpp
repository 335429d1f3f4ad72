// Linux program start: posix_spawn with the argument vector that the Windows runtime
// would give the started program for the same command line, inheriting nothing but
// the standard descriptors, the environment and the current directory; a Windows
// program that the system cannot run goes through Wine. The child is reaped by a
// detached thread, so the patcher never waits for it and leaves no zombie.
#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

namespace {

// Spawns `file` (searched in PATH when `searchPath` and it holds no '/') with `argv`,
// in `workDir` when one is given. The started program owns nothing of the patcher's:
// every descriptor past the standard three is closed (the instance lock, sockets, the
// display connection, whatever a library left open without close-on-exec), signals
// start blocked by nothing and with their default actions, and a session of its own
// keeps it out of the patcher's process group and terminal, so signals sent to those
// leave it be. Returns 0 or the error code.
int Spawn(const char* file, bool searchPath, char* const argv[], const char* workDir, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  int rc = ::posix_spawn_file_actions_init(&actions);
  if (rc != 0) return rc;
  rc = ::posix_spawnattr_init(&attributes);
  if (rc != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return rc;
  }
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (rc == 0 && workDir != nullptr) rc = ::posix_spawn_file_actions_addchdir_np(&actions, workDir);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attributes, &none);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attributes, &all);
  if (rc == 0)
    rc = ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (rc == 0) {
    rc = searchPath ? ::posix_spawnp(pid, file, &actions, &attributes, argv, environ)
                    : ::posix_spawn(pid, file, &actions, &attributes, argv, environ);
  }
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return rc;
}

// A Windows program's file begins with the DOS header's "MZ".
bool IsWindowsProgram(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char magic[2];
  ssize_t n;
  while ((n = ::read(fd, magic, sizeof magic)) < 0 && errno == EINTR) {
  }
  ::close(fd);
  return n == 2 && magic[0] == 'M' && magic[1] == 'Z';
}

// A path that holds a '/' but does not start with one, taken from the current
// directory: it stays right once the child has moved to another one.
std::string FromHere(const std::string& path) {
  if (path.empty() || path[0] == '/' || path.find('/') == std::string::npos) return path;
  char here[4096];
  if (::getcwd(here, sizeof here) == nullptr) return path;
  return std::string(here) + "/" + (path.compare(0, 2, "./") == 0 ? path.substr(2) : path);
}

// Starts a Windows program through Wine (see process.h): Wine's arguments are the
// program's path and then the program's own arguments (argument 0 left out, Wine
// gives the program its name), in the program's directory.
int SpawnThroughWine(const char* path, std::vector<std::string>& args, pid_t* pid) {
  const char* wineVariable = std::getenv("WINE");
  std::string program = FromHere(wineVariable == nullptr || wineVariable[0] == '\0' ? "wine" : wineVariable);
  const char* wine = program.c_str();
  // The program's own name alone stands for the one in the current directory.
  std::string file = FromHere(std::strchr(path, '/') != nullptr ? std::string(path) : std::string("./") + path);
  std::vector<char*> argv{&program[0], &file[0]};
  for (size_t i = 1; i < args.size(); ++i) argv.push_back(&args[i][0]);
  argv.push_back(nullptr);
  const size_t slash = file.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : slash == 0 ? "/" : file.substr(0, slash);
  const int rc = Spawn(wine, true, argv.data(), dir.empty() ? nullptr : dir.c_str(), pid);
  return rc == ENOENT ? static_cast<int>(kProcessErrorNeedsWine) : rc;
}

}  // namespace

bool StartProgram(const char* path, const char* commandLine) {
  std::vector<std::string> args = SplitCommandLine(commandLine);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  pid_t pid = 0;
  int rc = Spawn(path, false, argv.data(), nullptr, &pid);
  // ENOEXEC: no handler for the format; EACCES: also a mount that forbids running
  // programs, from which Wine still loads one.
  if ((rc == ENOEXEC || rc == EACCES) && IsWindowsProgram(path)) rc = SpawnThroughWine(path, args, &pid);
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
