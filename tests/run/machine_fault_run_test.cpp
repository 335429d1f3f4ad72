// Whole patch runs on a machine that gets in the way: a disk that fills up during a
// download or an unpack, an installation that cannot be written, a staging directory
// that is a file. Each run must end by itself in its box with the installation as it
// was and nothing staged.
//
// The small disk and the read-only installation are mounts of the test's own, made in
// a child process with a private mount namespace (root only); the child runs the
// whole patch and its checks, and the parent reads its verdict.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/gzip_builder.h"
#include "support/in_child.h"
#include "support/patch_run.h"

namespace {

using namespace zdtest;

// Runs each allowed a minute; the installation's own files are written after any mount
// over it (Populate).
class MachineFaultRun : public PatchRunTest {
 protected:
  MachineFaultRun() : PatchRunTest(60000) {}
  void Populate() {
    Settings();
    InstallGame();
  }
  // The run and its checks in a child process with a mount namespace of its own.
  static void ExpectChild(const std::function<void()>& body) {
    ExpectPassesInChild([&] {
      if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        SkipInChild(std::string("the system refuses a private mount namespace: ") + std::strerror(errno));
      body();
    });
  }
  static bool MountSmallDisk(const std::string& dir, const char* size) {
    const std::string options = std::string("size=") + size + ",mode=0755";
    if (::mount("zdtest", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) return true;
    ADD_FAILURE() << "tmpfs on " << dir << ": " << std::strerror(errno);
    return false;
  }
};

TEST_F(MachineFaultRun, AFullDiskEndsTheRunInItsBoxWithTheOldFilesKept) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small disk needs root";
  // 2 MiB arrive, or unpack from a few KiB, onto a 1 MiB disk.
  server_.WriteFile("patch/a.dat", "alpha");
  server_.WritePatternFile("patch/big.dat", 2 << 20);
  const std::string zeros(3 << 20, '\0');
  const std::string packed = Gzip(zeros);
  server_.WriteFile("patch/big.pak.gz", packed);
  struct Case {
    const char* name;
    std::string list;
    const char* box;
  } cases[] = {
      {"during a download", "C 2002-06-01 14:30 5 a.dat a.dat\nC 2002-06-01 14:30 2097152 big.dat big.dat\n",
       "/patch/big.dat cannot receive file."},
      {"during an unpack",
       "C 2002-06-01 14:30 5 a.dat a.dat\nZ 2002-06-01 14:30 3145728:" + std::to_string(packed.size()) +
           " big.pak big.pak.gz\n",
       "Uncompress file."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    List(c.list);
    ExpectChild([&] {
      if (!MountSmallDisk(Local(""), "1m")) return;
      Populate();
      tree_.WriteStale("game/big.dat", "old big");
      tree_.WriteStale("game/big.pak", "old pak");
      Run();
      EXPECT_EQ(BoxTexts(), std::vector<std::string>{c.box});
      EXPECT_FALSE(Shown("Patch installed."));
      EXPECT_EQ(ReadFile(Local("a.dat")), "alpha");  // whole, installed before the disk filled
      EXPECT_EQ(ReadFile(Local("big.dat")), "old big");
      EXPECT_EQ(ReadFile(Local("big.pak")), "old pak");
      ExpectNothingStaged(false);
      EXPECT_FALSE(FileExists(GameLog()));
    });
  }
}

TEST_F(MachineFaultRun, AReadOnlyInstallationIsReportedWithTheSystemsText) {
  if (::geteuid() != 0) GTEST_SKIP() << "a read-only mount needs root";
  server_.WriteFile("patch/a.dat", "alpha");
  List("D 2002-06-01 14:30 0 old.dat old.dat\nC 2002-06-01 14:30 5 a.dat a.dat\n");
  struct Case {
    const char* name;
    bool stagingExists;
    const char* box;
  } cases[] = {
      // Left by an earlier run: the download's own file is refused.
      {"staging directory present", true, "Read-only file system."},
      // The failed creation of the staging directory goes unreported; the download
      // then finds no directory to write into.
      {"staging directory absent", false, "No such file or directory."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectChild([&] {
      Populate();
      tree_.Write("game/old.dat", "old");
      if (c.stagingExists) {
        tree_.MakeDirs("game/Update");
      } else {
        RemoveTree(Local("Update"));
      }
      const std::string game = Local("");
      if (::mount(game.c_str(), game.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
          ::mount(nullptr, game.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        ADD_FAILURE() << "read-only bind mount: " << std::strerror(errno);
        return;
      }
      Run();
      EXPECT_EQ(BoxTexts(), std::vector<std::string>{c.box});
      EXPECT_EQ(ReadFile(Local("old.dat")), "old");
      EXPECT_FALSE(FileExists(Local("a.dat")));
      ExpectNothingStaged(false);
      EXPECT_FALSE(FileExists(GameLog()));
    });
  }
}

TEST_F(MachineFaultRun, AStagingDirectoryThatIsAFileIsReportedWithTheSystemsText) {
  Populate();
  tree_.Write("game/Update", "a file of the player's");
  server_.WriteFile("patch/a.dat", "alpha");
  server_.WriteFile("patch/b.pak.gz", Gzip("bravo"));
  struct Case {
    const char* name;
    std::string list;
  } cases[] = {
      {"plain file", "C 2002-06-01 14:30 5 a.dat a.dat\n"},
      {"packed file in a folder",
       "Z 2002-06-01 14:30 5:" + std::to_string(Gzip("bravo").size()) + " data\\b.pak b.pak.gz\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetWindow();
    List(c.list);
    Run();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Not a directory."});
    EXPECT_EQ(ReadFile(Local("Update")), "a file of the player's");
    EXPECT_EQ(SortedNames(Local("")), (std::vector<std::string>{"Update", "Vorn.exe", "VornPatch.ini"}));
    EXPECT_FALSE(FileExists(GameLog()));
  }
}

}  // namespace
