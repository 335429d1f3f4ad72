// Linux program files for the self-update. Linux lets a running program's file be
// renamed over or unlinked, so the hand-off's waits would end at once and the old
// patcher could still be running when the new one starts. Instead, a file counts as
// in use while any process whose /proc/<pid>/exe is that file (same device and inode)
// exists; only the user's own processes (all of them for root) can be examined, which
// covers every process of the hand-off. A process that has ended has no image any
// more, even while it waits as a zombie to be reaped.
//
// The copy goes to an unnamed file in the target's directory (O_TMPFILE), which is
// given a name and renamed over the target only when it is complete: a copy killed
// half-way leaves neither a damaged target nor a partial file behind.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/files.h"

namespace plat {

namespace {

bool AllDigits(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

// True when a process runs from the file (dev, ino).
bool RunningFrom(dev_t dev, ino_t ino) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (!found) {
    const dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    if (!AllDigits(entry->d_name)) continue;
    char link[64];
    if (std::snprintf(link, sizeof link, "/proc/%s/exe", entry->d_name) >= static_cast<int>(sizeof link)) continue;
    struct stat st;
    // stat follows the link to the image itself, even when its name has gone.
    if (::stat(link, &st) == 0 && st.st_dev == dev && st.st_ino == ino) found = true;
  }
  ::closedir(proc);
  return found;
}

// True (with errno ETXTBSY) when `path` names a file a process runs from.
bool InUseAsProgram(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (!RunningFrom(st.st_dev, st.st_ino)) return false;
  errno = ETXTBSY;
  return true;
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

// Closes `fd` keeping errno.
void CloseKeepingError(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

// The directory part of `path` ("." when it has none).
bool DirectoryOf(const char* path, char* out, size_t capacity) {
  const char* slash = std::strrchr(path, '/');
  const int n = slash == nullptr ? std::snprintf(out, capacity, ".")
                : slash == path  ? std::snprintf(out, capacity, "/")
                                 : std::snprintf(out, capacity, "%.*s", static_cast<int>(slash - path), path);
  if (n < 0 || static_cast<size_t>(n) >= capacity) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

}  // namespace

bool CopyOver(const char* from, const char* to) {
  char directory[4096];
  char staged[4096];
  if (!DirectoryOf(to, directory, sizeof directory) ||
      std::snprintf(staged, sizeof staged, "%s.new", to) >= static_cast<int>(sizeof staged)) {
    errno = ENAMETOOLONG;
    return false;
  }
  struct stat target;
  const bool targetExists = ::lstat(to, &target) == 0;
  if (targetExists && S_ISDIR(target.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (InUseAsProgram(to)) return false;

  const int in = ::open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat source;
  if (::fstat(in, &source) != 0 || S_ISDIR(source.st_mode)) {
    if (S_ISDIR(source.st_mode)) errno = EISDIR;
    CloseKeepingError(in);
    return false;
  }
  const mode_t mode = (targetExists && S_ISREG(target.st_mode) ? target.st_mode : source.st_mode) & 07777;

  // The unnamed file needs a name before it can be renamed; where the file system
  // has no unnamed files, the named one is written directly.
  bool unnamed = true;
  int out = ::open(directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (out < 0) {
    unnamed = false;
    ::unlink(staged);
    out = ::open(staged, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  }
  if (out < 0) {
    CloseKeepingError(in);
    return false;
  }
  bool ok = CopyData(in, out) && ::fchmod(out, mode) == 0 && ::fsync(out) == 0;
  if (ok && unnamed) {
    // A name left by a copy that was killed just here is reused.
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", out);
    ::unlink(staged);
    ok = ::linkat(AT_FDCWD, self, AT_FDCWD, staged, AT_SYMLINK_FOLLOW) == 0;
  }
  int saved = errno;
  if (::close(out) != 0 && ok) ok = false, saved = errno;
  ::close(in);
  // The program may have been started again while the copy was made.
  if (ok && InUseAsProgram(to)) ok = false, saved = errno;
  if (ok && ::rename(staged, to) != 0) ok = false, saved = errno;
  if (!ok) {
    ::unlink(staged);
    errno = saved;
  }
  return ok;
}

bool RemoveProgramFile(const char* path) {
  struct stat st;
  if (::lstat(path, &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (InUseAsProgram(path)) return false;
  return ::unlink(path) == 0;
}

}  // namespace plat
