// Linux files: stat, unlink, rename, copy through a temporary file, futimens.
// "Read-only" is the absence of the owner's write bit. The temporary directory is
// private to the user: a shared /tmp would let another user plant a link where the
// patch list is written.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/filetime_posix.h"

namespace plat {

struct TimesFile {
  int fd;
};

char PathSeparator() { return '/'; }

bool QueryFile(const char* path, FileStatus* out) {
  *out = FileStatus{};
  struct stat st;
  if (::stat(path, &st) != 0) return false;
  out->exists = true;
  out->isDirectory = S_ISDIR(st.st_mode);
  out->size = static_cast<uint64_t>(st.st_size);
  out->lastWrite = FileTimeFromTimespec(st.st_mtim);
  return true;
}

bool MakeWritable(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0) return false;
  if (st.st_mode & S_IWUSR) return true;
  return ::chmod(path, (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool MakeExecutable(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0) return false;
  const mode_t mode = st.st_mode & 07777;
  const mode_t wanted = mode | ((mode & 0444) >> 2);  // x wherever r is set
  return wanted == mode || ::chmod(path, wanted) == 0;
}

bool RemoveFile(const char* path) {
  struct stat st;
  if (::lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return ::unlink(path) == 0;
}

bool RenameOver(const char* from, const char* to) {
  struct stat st;
  if (::stat(to, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return ::rename(from, to) == 0;
}

bool MakeDirectory(const char* path) { return ::mkdir(path, 0777) == 0; }

bool RemoveEmptyDirectory(const char* path) { return ::rmdir(path) == 0; }

namespace {

// A directory of our own: a real directory (not a link), owned by us, closed to others.
bool IsPrivateDirectory(const char* path) {
  struct stat st;
  if (::lstat(path, &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool WithSeparator(const char* dir, char* out, size_t capacity) {
  const size_t len = std::strlen(dir);
  const bool hasSlash = len > 0 && dir[len - 1] == '/';
  const int n = std::snprintf(out, capacity, "%s%s", dir, hasSlash ? "" : "/");
  if (n < 0 || static_cast<size_t>(n) >= capacity) {
    if (capacity > 0) out[0] = '\0';
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

}  // namespace

bool TempDirectory(char* out, size_t capacity) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/' && IsPrivateDirectory(runtime)) {
    return WithSeparator(runtime, out, capacity);
  }
  const char* base = std::getenv("TMPDIR");
  if (base == nullptr || base[0] != '/') base = "/tmp";
  char own[1024];
  const size_t baseLen = std::strlen(base);
  const bool hasSlash = baseLen > 0 && base[baseLen - 1] == '/';
  const int n = std::snprintf(own, sizeof own, "%s%szidodiruv-%u", base, hasSlash ? "" : "/",
                              static_cast<unsigned>(::geteuid()));
  if (n < 0 || static_cast<size_t>(n) >= sizeof own) {
    errno = ENAMETOOLONG;
    return false;
  }
  if (::mkdir(own, 0700) != 0 && errno != EEXIST) return false;
  if (!IsPrivateDirectory(own)) {
    errno = EACCES;
    return false;
  }
  return WithSeparator(own, out, capacity);
}

bool ExecutablePath(char* out, size_t capacity) {
  if (capacity == 0) return false;
  const ssize_t n = ::readlink("/proc/self/exe", out, capacity);
  if (n < 0) return false;
  if (static_cast<size_t>(n) >= capacity) {
    out[0] = '\0';
    errno = ENAMETOOLONG;
    return false;
  }
  out[n] = '\0';
  return true;
}

TimesHandle OpenForTimes(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  return new TimesFile{fd};
}

bool GetTimes(TimesHandle file, FileTimes* out) {
  struct stat st;
  if (file == nullptr || ::fstat(file->fd, &st) != 0) return false;
  // Linux keeps no settable creation time; the status-change time stands in for it.
  out->creation = FileTimeFromTimespec(st.st_ctim);
  out->lastAccess = FileTimeFromTimespec(st.st_atim);
  out->lastWrite = FileTimeFromTimespec(st.st_mtim);
  return true;
}

bool SetTimes(TimesHandle file, const FileTimes& times) {
  if (file == nullptr) return false;
  const timespec ts[2] = {TimespecFromFileTime(times.lastAccess),
                          TimespecFromFileTime(times.lastWrite)};
  return ::futimens(file->fd, ts) == 0;
}

void CloseTimes(TimesHandle file) {
  if (file == nullptr) return;
  ::close(file->fd);
  delete file;
}

}  // namespace plat
