#include "support/in_child.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "support/temp_tree.h"

namespace zdtest {

namespace {

constexpr int kSkipped = 77;

}  // namespace

void SkipInChild(const std::string& why) {
  std::fprintf(stderr, "skipped: %s\n", why.c_str());
  std::fflush(nullptr);
  ::_exit(kSkipped);
}

void ExpectPassesInChild(const std::function<void()>& body, int ms) {
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return;
  }
  if (pid == 0) {
    // Only the child's own checks count, not those the test failed before the fork.
    const ::testing::TestResult& result = *::testing::UnitTest::GetInstance()->current_test_info()->result();
    const int before = result.total_part_count();
    try {
      body();
    } catch (...) {  // never back into the test runner's loop in the child
      ADD_FAILURE() << "the child's checks threw";
    }
    bool failed = false;
    for (int i = before; i < result.total_part_count(); ++i) failed = failed || result.GetTestPartResult(i).failed();
    std::fflush(nullptr);
    ::_exit(failed ? 1 : 0);
  }
  int status = 0;
  pid_t ended = 0;
  int waitError = 0;
  if (!WaitUntil(
          [&] {
            ended = ::waitpid(pid, &status, WNOHANG);
            waitError = errno;
            return ended == pid || (ended < 0 && waitError != EINTR);
          },
          ms)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ADD_FAILURE() << "the child did not end within " << ms << " ms";
  } else if (ended < 0) {
    ADD_FAILURE() << "waitpid: " << std::strerror(waitError);
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) {
    GTEST_SKIP() << "the child skipped (its reason is above)";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the checks in the child failed (see above); status " << status;
  }
}

}  // namespace zdtest
