// A stand-in for a program the patcher starts (the game, or a patcher copy in the
// in-process runs): it appends one line about how it was started to "probe.log" in
// its own directory and ends. The line reads
//   <file name> session=<own|inherited> fds=<open descriptors> args=<arg1>|<arg2>...
// so a test can check the command line, that nothing but the standard descriptors was
// inherited, and that the program runs in a session of its own.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = '\0';
  std::string path(self);
  const size_t slash = path.rfind('/');
  const std::string dir = path.substr(0, slash);
  const std::string name = path.substr(slash + 1);

  std::string fds;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(d);
    while (const dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
      fds += (fds.empty() ? "" : ",") + std::string(e->d_name);
    }
    ::closedir(d);
  }
  std::string line = name + " session=" + (::getsid(0) == ::getpid() ? "own" : "inherited") + " fds=" + fds + " args=";
  for (int i = 1; i < argc; ++i) line += (i > 1 ? "|" : "") + std::string(argv[i]);
  line += "\n";
  const int log = ::open((dir + "/probe.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) return 1;
  const bool ok = ::write(log, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(log);
  return ok ? 0 : 1;
}
