// Which files are running programs' images, and the plain copy loop of the files
// service.
//
// Linux lets a running program's file be renamed over or unlinked, so the self-update's
// waits would end at once and the old patcher could still be running when the new one
// starts. The files service therefore counts a file as in use while any process whose
// /proc/<pid>/exe is that file (same device and inode) exists; only the user's own
// processes (all of them for root) can be examined, which covers every process of the
// hand-off. A process that has ended has no image any more, even while it waits as a
// zombie to be reaped.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/posix/files_posix.h"

namespace plat {

namespace {

bool AllDigits(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

}  // namespace

bool RunningFrom(dev_t device, ino_t inode) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  const int saved = errno;
  bool found = false;
  while (!found) {
    const dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    if (!AllDigits(entry->d_name)) continue;
    char link[64];
    if (std::snprintf(link, sizeof link, "/proc/%s/exe", entry->d_name) >= static_cast<int>(sizeof link)) continue;
    struct stat st;
    // stat follows the link to the image itself, even when its name has gone.
    if (::stat(link, &st) == 0 && st.st_dev == device && st.st_ino == inode) found = true;
  }
  ::closedir(proc);
  errno = saved;
  return found;
}

bool CopyData(int in, int out) {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
  }
}

}  // namespace plat
