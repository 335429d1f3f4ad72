// Whole patch runs against a server name with two addresses whose first is dead: the
// run goes on at the second and patches without a box. The name is in a hosts file
// bound over /etc/hosts in a mount namespace of the run's own (a forked child; root
// only). The system's resolver puts ::1 before 127.0.0.1, so the dead address is IPv6
// loopback at the test server's port, and the server itself is at 127.0.0.1.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ftp.h"
#include "support/in_child.h"
#include "support/patch_run.h"
#include "support/silent_server.h"

namespace {

using namespace zdtest;

constexpr char kMirrorName[] = "zd-mirror.test";

class FailoverRun : public PatchRunTest {
 protected:
  FailoverRun() : PatchRunTest(60000) {}

  // The run and its checks in a child that resolves kMirrorName to ::1, then 127.0.0.1.
  void ExpectInChildWithMirrorName(const std::function<void()>& body) {
    const std::string hosts = tree_.Write("hosts", std::string("127.0.0.1 localhost\n::1 localhost\n::1 ") +
                                                       kMirrorName + "\n127.0.0.1 " + kMirrorName + "\n");
    ExpectPassesInChild([&] {
      if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
        SkipInChild(std::string("NOT RUN: no hosts file of the test's own: ") + std::strerror(errno));
      }
      body();
    });
  }
};

TEST_F(FailoverRun, ANameWhoseFirstAddressIsDeadIsPatchedThroughTheNextWithoutABox) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "NOT RUN: the server name's addresses come from a hosts file bound over /etc/hosts, "
                    "which needs root";
  }
  server_.WriteFile("patch/a.dat", "alpha");
  server_.WriteFile("patch/b.dat", "bravo");
  server_.WriteFile("patch/c.dat", "charlie");
  List("C 2002-06-01 14:30 5 a.dat a.dat\nC 2002-06-01 14:30 5 b.dat b.dat\nC 2002-06-01 14:30 7 c.dat c.dat\n");
  Settings("/patch/", 0, "", kMirrorName);
  InstallGame();
  const auto patched = [&] {
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{});
    EXPECT_TRUE(Shown("Patch installed."));
    EXPECT_EQ(ReadFile(Local("a.dat")), "alpha");
    EXPECT_EQ(ReadFile(Local("c.dat")), "charlie");
    EXPECT_TRUE(GameStarted());
  };
  {
    SCOPED_TRACE("the first address refuses");
    std::unique_ptr<RefusingPort> refusing;
    try {
      refusing = std::make_unique<RefusingPort>(server_.port());
    } catch (const std::exception& e) {
      GTEST_SKIP() << "NOT RUN: " << e.what();
    }
    ExpectInChildWithMirrorName([&] {
      Run();
      patched();
    });
  }
  {
    SCOPED_TRACE("the first address accepts and never greets");
    for (const char* name : {"a.dat", "b.dat", "c.dat"}) tree_.WriteStale(std::string("game/") + name, "old");
    ::unlink(GameLog().c_str());
    SilentServer silent(server_.port());
    ExpectInChildWithMirrorName([&] {
      plat::FtpSetTimeLimits(plat::FtpTimeLimits{3000, 3, 15000, 30});
      Run();
      patched();
    });
    // The list's connect met it first; the three files' connects tried it last, so
    // never, and did not wait for it again.
    EXPECT_EQ(silent.Connections(), 1);
  }
}

}  // namespace
