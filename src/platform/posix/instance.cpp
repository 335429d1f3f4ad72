// Linux single-instance guard: a unix socket bound to an abstract name made of the
// lock's name and the user id ("\0<name>-<uid>"). Binding is the test and the creation
// in one step: the kernel refuses a name that is bound already, and frees it when the
// socket is closed, also when the process ends however it ends. An abstract name has
// no file: nothing in the environment (XDG_RUNTIME_DIR, TMPDIR, HOME) takes part in
// choosing it, so every process of a user on the machine finds the same one.
//
// Abstract names belong to the network namespace, the one scope in which "the
// machine" is defined here: processes in a namespace of their own (a container, a
// test that isolates itself with unshare) have a set of names of their own.
//
// The socket is close-on-exec, so a started game or patcher never holds the lock.
// Abstract names carry no permissions: another user could bind this user's name
// first. The patcher then does not run, as when creating the lock fails; nothing is
// written or read through the socket.
#include "platform/instance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace plat {

struct InstanceLock {
  int fd;
};

InstanceResult AcquireInstanceLock(const char* name, InstanceLockHandle* out) {
  *out = nullptr;
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  // sun_path[0] stays 0: the name is abstract. The rest holds the name, unterminated.
  char* text = address.sun_path + 1;
  const size_t room = sizeof address.sun_path - 1;
  const int n = std::snprintf(text, room, "%s-%u", name, static_cast<unsigned>(::geteuid()));
  if (n < 0 || static_cast<size_t>(n) >= room) {
    errno = ENAMETOOLONG;
    return InstanceResult::Failed;
  }
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return InstanceResult::Failed;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return saved == EADDRINUSE ? InstanceResult::AlreadyRunning : InstanceResult::Failed;
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
