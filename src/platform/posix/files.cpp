// Linux files: stat, unlink, rename, copy through a temporary file, futimens.
// "Read-only" is the absence of the owner's write bit. The temporary directory is
// private to the user: a shared /tmp would let another user plant a link where the
// patch list is written.
#include "platform/files.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/posix/files_posix.h"
#include "platform/posix/filetime_posix.h"
#include "platform/posix/installation_walk.h"

namespace plat {

struct TimesFile {
  int fd;
};

char PathSeparator() { return '/'; }

namespace {

// The mode of a newly created file: 0666 less the umask. The umask is read from
// /proc, because reading it with umask() changes it for a moment under other threads.
mode_t NewFileMode() {
  static const mode_t mode = [] {
    mode_t mask = 022;
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
      char line[256];
      while (std::fgets(line, sizeof line, status) != nullptr) {
        unsigned value = 0;
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
          mask = static_cast<mode_t>(value & 0777);
          break;
        }
      }
      std::fclose(status);
    }
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

// Changes the mode of the file at a place without following a link there.
bool SetModeAt(const Place& p, mode_t mode) {
  return ::fchmodat(p.dirfd, p.leaf.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0;
}

// The shared part of MakeWritable and MakeExecutable: the file a path leads to (links
// inside followed, never a link at the end outside an installation) gets `change`.
bool ChangeMode(const char* path, mode_t (*change)(mode_t)) {
  return AtPlace(path, true, [change](const Place& p) {
    struct stat st;
    if (::fstatat(p.dirfd, p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISLNK(st.st_mode)) return Fail(ELOOP);
    const mode_t mode = st.st_mode & 07777;
    const mode_t wanted = change(mode);
    return wanted == mode || SetModeAt(p, wanted);
  });
}

// Removes the name at `p` (`flags` as unlinkat's). The listing follows, also when the
// name turns out to be gone already.
bool UnlinkAt(const Place& p, int flags) {
  const bool removed = ::unlinkat(p.dirfd, p.leaf.c_str(), flags) == 0;
  if (removed || errno == ENOENT) RemoveName(p.dir, p.leaf);
  return removed;
}

// Whether the file at `p` may be replaced or removed: 0, EISDIR for a directory,
// ETXTBSY for the image of a running program, or why it cannot be examined (`st`: its
// status).
int CheckReplaceable(const Place& p, struct stat* st) {
  if (::fstatat(p.dirfd, p.leaf.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISDIR(st->st_mode)) return EISDIR;
  if (S_ISREG(st->st_mode) && RunningFrom(st->st_dev, st->st_ino)) return ETXTBSY;
  return 0;
}

// Opens the file to copy for reading (`st`: its status); -1 with errno for a directory
// or a failure. Inside the installation the walk has followed the links it may: one
// still at the end (put there meanwhile) is refused.
int OpenSource(const Place& source, struct stat* st) {
  const int noFollow = source.dir != nullptr ? O_NOFOLLOW : 0;
  const int in = ::openat(source.dirfd, source.leaf.c_str(), O_RDONLY | O_CLOEXEC | noFollow);
  if (in < 0) return -1;
  const int error = ::fstat(in, st) != 0 ? errno : S_ISDIR(st->st_mode) ? EISDIR : 0;
  if (error == 0) return in;
  ::close(in);
  errno = error;
  return -1;
}

// A copy written beside its target: an unnamed file in the target's directory, named
// only once it is whole, so a copy killed half-way leaves nothing behind; where the
// file system has no unnamed files, a file under a fresh name from the start. A copy
// not put in place is removed again (errno kept).
class CopyBeside {
 public:
  explicit CopyBeside(const Place& target) : target_(target) {}
  CopyBeside(const CopyBeside&) = delete;
  CopyBeside& operator=(const CopyBeside&) = delete;
  ~CopyBeside() {
    const int saved = errno;
    if (fd_ >= 0) ::close(fd_);
    if (named_) ::unlinkat(target_.dirfd, temp_.c_str(), 0);
    errno = saved;
  }

  // The data of `in`, `mode` and the last-write time (when given), on disk.
  int Write(int in, mode_t mode, const FileTime* lastWrite) {
    fd_ = ::openat(target_.dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    unnamed_ = fd_ >= 0;
    if (!unnamed_ && !TakeFreshName()) return errno;
    if (!CopyData(in, fd_) || ::fchmod(fd_, mode) != 0) return errno;
    if (lastWrite != nullptr) {
      const timespec times[2] = {{0, UTIME_OMIT}, TimespecFromFileTime(*lastWrite)};
      if (::futimens(fd_, times) != 0) return errno;
    }
    return ::fsync(fd_) == 0 ? 0 : errno;
  }

  // Names an unnamed copy, closes it and renames it over the target.
  int PutInPlace() {
    if (unnamed_ && !TakeFreshName()) return errno;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return errno;
    if (::renameat(target_.dirfd, temp_.c_str(), target_.dirfd, target_.leaf.c_str()) != 0) return errno;
    named_ = false;
    return 0;
  }

 private:
  // A name beside the target that nothing has: the unnamed copy is linked there, or a
  // new file is created there.
  bool TakeFreshName() {
    static std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
      temp_ = target_.leaf + suffix;
      if (unnamed_) {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
        named_ = ::linkat(AT_FDCWD, self, target_.dirfd, temp_.c_str(), AT_SYMLINK_FOLLOW) == 0;
      } else {
        fd_ = ::openat(target_.dirfd, temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        named_ = fd_ >= 0;
      }
      if (named_) return true;
      if (errno != EEXIST) return false;
    }
    return false;
  }

  const Place& target_;
  int fd_ = -1;
  bool unnamed_ = false;
  bool named_ = false;
  std::string temp_;
};

}  // namespace

bool QueryFile(const char* path, FileStatus* out) {
  *out = FileStatus{};
  return AtPlace(path, true, [path, out](const Place& p) {
    struct stat st;
    if (p.dir == nullptr) {
      if (::stat(path, &st) != 0) return false;
    } else {
      // The listing (checked on disk for names it lacks) already knows a missing file.
      if (!p.exists) return Fail(ENOENT);
      if (p.haveStatus) {
        st = p.status;
      } else if (::fstatat(p.dirfd, p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) RemoveName(p.dir, p.leaf);
        return false;
      }
    }
    out->exists = true;
    out->isDirectory = S_ISDIR(st.st_mode);
    out->size = static_cast<uint64_t>(st.st_size);
    out->lastWrite = FileTimeFromTimespec(st.st_mtim);
    return true;
  });
}

bool MakeWritable(const char* path) {
  return ChangeMode(path, [](mode_t mode) { return static_cast<mode_t>(mode | S_IWUSR); });
}

bool MakeExecutable(const char* path) {
  // x wherever r is set
  return ChangeMode(path, [](mode_t mode) { return static_cast<mode_t>(mode | ((mode & 0444) >> 2)); });
}

bool RemoveFile(const char* path) {
  return AtPlace(path, false, [](const Place& p) {
    struct stat st;
    if (::fstatat(p.dirfd, p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) return Fail(EISDIR);
    return UnlinkAt(p, 0);
  });
}

bool RenameOver(const char* from, const char* to) {
  Walk walk;
  Place source, target;
  if (!walk.Resolve(from, false, &source) || !walk.Resolve(to, false, &target)) return false;
  struct stat st;
  if (::fstatat(source.dirfd, source.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  const unsigned char type = TypeOf(st.st_mode);
  mode_t mode = NewFileMode();
  if (::fstatat(target.dirfd, target.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(st.st_mode)) return Fail(EISDIR);
    // A link there is replaced, and its target left alone: its mode is not the file's.
    if (S_ISREG(st.st_mode)) mode = st.st_mode & 0777;
  }
  // The moved file appears with its final mode. Failing to set it (a file of another
  // owner) does not stop the move.
  if (type == DT_REG) SetModeAt(source, mode);
  if (::renameat(source.dirfd, source.leaf.c_str(), target.dirfd, target.leaf.c_str()) != 0) return false;
  RemoveName(source.dir, source.leaf);
  AddName(target.dir, target.leaf, type);
  return true;
}

bool CopyOver(const char* from, const char* to, const FileTime* lastWrite) {
  Walk walk;
  Place source, target;
  if (!walk.Resolve(from, true, &source) || !walk.Resolve(to, false, &target)) return false;
  struct stat old;
  int error = CheckReplaceable(target, &old);
  // Only a directory or a running program's image stops the copy; a missing target or
  // one that cannot be examined is simply written.
  if (error == EISDIR || error == ETXTBSY) return Fail(error);
  const bool replacing = error == 0;
  struct stat st;
  const int in = OpenSource(source, &st);
  if (in < 0) return false;
  // A replaced file keeps its permission bits; a new one gets the source's.
  const mode_t mode = (replacing && S_ISREG(old.st_mode) ? old.st_mode : st.st_mode) & 0777;
  CopyBeside copy(target);
  error = copy.Write(in, mode, lastWrite);
  ::close(in);
  // The program may have been started again while the copy was made. Checked before the
  // copy gets a name, so the scan adds nothing to the moment a named copy sits beside
  // the target.
  if (error == 0 && CheckReplaceable(target, &old) == ETXTBSY) error = ETXTBSY;
  if (error == 0) error = copy.PutInPlace();
  if (error != 0) return Fail(error);
  AddName(target.dir, target.leaf, DT_REG);
  return true;
}

bool RemoveProgramFile(const char* path) {
  return AtPlace(path, false, [](const Place& p) {
    struct stat st;
    if (const int error = CheckReplaceable(p, &st)) return Fail(error);
    return UnlinkAt(p, 0);
  });
}

bool MakeDirectory(const char* path) {
  return AtPlace(path, false, [](const Place& p) {
    // Another spelling of the name counts as the directory being there.
    if (p.exists) return Fail(EEXIST);
    if (::mkdirat(p.dirfd, p.leaf.c_str(), 0777) != 0) return false;
    AddName(p.dir, p.leaf, DT_DIR);
    return true;
  });
}

bool RemoveEmptyDirectory(const char* path) {
  return AtPlace(path, false, [](const Place& p) { return UnlinkAt(p, AT_REMOVEDIR); });
}

int OpenFileDescriptor(const char* path, int flags, mode_t mode) {
  Walk walk;
  Place p;
  if (!walk.Resolve(path, false, &p)) return -1;
  const int fd = ::openat(p.dirfd, p.leaf.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd >= 0 && (flags & O_CREAT) != 0) AddName(p.dir, p.leaf, DT_REG);
  return fd;
}

std::FILE* OpenFileForWriting(const char* path) {
  const int fd = OpenFileDescriptor(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* stream = ::fdopen(fd, "wb");
  if (stream == nullptr) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
  }
  return stream;
}

namespace {

// A directory of our own: a real directory (not a link), owned by us, closed to others.
bool IsPrivateDirectory(const char* path) {
  struct stat st;
  if (::lstat(path, &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

// "<dir>/<name>" into `out` (no second slash after a dir that ends in one); false with
// ENAMETOOLONG, and `out` empty, when it does not fit.
bool InDirectory(const char* dir, const char* name, char* out, size_t capacity) {
  const size_t len = std::strlen(dir);
  const bool hasSlash = len > 0 && dir[len - 1] == '/';
  const int n = std::snprintf(out, capacity, "%s%s%s", dir, hasSlash ? "" : "/", name);
  if (n >= 0 && static_cast<size_t>(n) < capacity) return true;
  if (capacity > 0) out[0] = '\0';
  return Fail(ENAMETOOLONG);
}

}  // namespace

bool TempDirectory(char* out, size_t capacity) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/' && IsPrivateDirectory(runtime)) {
    return InDirectory(runtime, "", out, capacity);
  }
  const char* base = std::getenv("TMPDIR");
  if (base == nullptr || base[0] != '/') base = "/tmp";
  char name[32];
  std::snprintf(name, sizeof name, "zidodiruv-%u", static_cast<unsigned>(::geteuid()));
  char own[1024];
  if (!InDirectory(base, name, own, sizeof own)) return false;
  if (::mkdir(own, 0700) != 0 && errno != EEXIST) return false;
  if (!IsPrivateDirectory(own)) return Fail(EACCES);
  return InDirectory(own, "", out, capacity);
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

bool IsOwnProgramFile(const char* path) {
  struct stat own;
  // The image itself, even when its name has gone or been replaced since the start.
  if (::stat("/proc/self/exe", &own) != 0) return false;
  return AtPlace(path, true, [&own](const Place& p) {
    struct stat st;
    // Inside the installation the walk has followed every link already.
    if (::fstatat(p.dirfd, p.leaf.c_str(), &st, p.dir != nullptr ? AT_SYMLINK_NOFOLLOW : 0) != 0) return false;
    return st.st_dev == own.st_dev && st.st_ino == own.st_ino;
  });
}

TimesHandle OpenForTimes(const char* path) {
  int fd = -1;
  {
    Walk walk;
    Place p;
    if (!walk.Resolve(path, true, &p)) return nullptr;
    // Inside the installation the walk has followed the links it may; one still at the
    // end (put there meanwhile) is refused rather than followed.
    const int noFollow = p.dir != nullptr ? O_NOFOLLOW : 0;
    fd = ::openat(p.dirfd, p.leaf.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | noFollow, 0666);
    if (fd >= 0) AddName(p.dir, p.leaf, DT_REG);
  }
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
