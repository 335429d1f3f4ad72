// Linux single-instance guard: an exclusive flock on a per-user lock file. The kernel
// drops the lock when the process ends, and the descriptor is close-on-exec, so a
// started game or patcher never holds it.
#include "platform/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/files.h"

namespace plat {

struct InstanceLock {
  int fd;
};

InstanceResult AcquireInstanceLock(const char* name, InstanceLockHandle* out) {
  *out = nullptr;
  char dir[1024];
  if (!TempDirectory(dir, sizeof dir)) return InstanceResult::Failed;
  char path[1200];
  if (std::snprintf(path, sizeof path, "%s%s.lock", dir, name) >= static_cast<int>(sizeof path))
    return InstanceResult::Failed;
  const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return InstanceResult::Failed;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return saved == EWOULDBLOCK ? InstanceResult::AlreadyRunning : InstanceResult::Failed;
  }
  *out = new InstanceLock{fd};
  return InstanceResult::Acquired;
}

void ReleaseInstanceLock(InstanceLockHandle lock) {
  if (lock == nullptr) return;
  ::close(lock->fd);
  delete lock;
}

}  // namespace plat
