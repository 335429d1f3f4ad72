// Every end-to-end test process runs in a network namespace of its own, with only a
// loopback interface. The program allows one patcher per user on the machine (an
// abstract socket name, which belongs to the network namespace), and end-to-end tests
// of the same user run side by side (ctest -j, and other builds on a shared machine):
// each test's programs, its FTP server, its listeners and its Xvfb live in the test's
// own namespace, so they meet no other test's patcher and no other test's ports.
//
// Root (CI) unshares the network namespace alone; another user first enters a user
// namespace of its own in which it keeps its user and group ids. Where neither is
// allowed the tests run in the shared namespace and say so: they then pass when run
// one at a time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool WriteProcFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// A new network namespace starts with its loopback interface down.
bool BringLoopbackUp() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request;
  std::memset(&request, 0, sizeof request);
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (ok) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  ::close(fd);
  return ok;
}

bool EnterOwnNetwork(std::string* why) {
  if (::unshare(CLONE_NEWNET) == 0) return BringLoopbackUp() || (*why = "loopback stays down", false);
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  // A user namespace needs a process of one thread: gtest has started none yet.
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    *why = std::string("unshare: ") + std::strerror(errno);
    return false;
  }
  if (!WriteProcFile("/proc/self/setgroups", "deny") ||
      !WriteProcFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n") ||
      !WriteProcFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n")) {
    *why = "the user namespace's id maps cannot be written";
    return false;
  }
  if (!BringLoopbackUp()) {
    *why = "loopback stays down";
    return false;
  }
  return true;
}

// Runs before the first test (never while gtest only lists them).
class OwnNetwork : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string why;
    if (!EnterOwnNetwork(&why))
      std::fprintf(stderr,
                   "note: no network namespace of this test's own (%s); patchers of parallel tests "
                   "would see each other\n",
                   why.c_str());
  }
};

const ::testing::Environment* const kOwnNetwork = ::testing::AddGlobalTestEnvironment(new OwnNetwork);

}  // namespace
