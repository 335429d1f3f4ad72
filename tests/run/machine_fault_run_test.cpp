// Whole patch runs on a machine that gets in the way: a disk that fills up during a
// download or an unpack, an installation that cannot be written, a staging directory
// that is a file. Each run must end by itself in its box with the installation as it
// was and nothing staged.
//
// The small disk and the read-only installation are mounts of the test's own, made in
// a child process with a private mount namespace (root only); the child runs the
// whole patch and its checks, and the parent reads its verdict.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/patcher.h"
#include "platform/ftp.h"
#include "support/ftp_server.h"
#include "support/gzip_builder.h"
#include "support/scripted_window.h"
#include "support/temp_tree.h"
#include "ui/resource.h"

namespace {

using namespace zdtest;

constexpr int kChildSkipped = 77;

// Runs `body` in a child process with a mount namespace of its own. The child's
// failures are printed by the child; the result tells the parent what became of it.
enum class ChildResult { Passed, Failed, Skipped, Hung };
ChildResult RunInOwnMountNamespace(const std::function<void()>& body, std::string* why) {
  const pid_t pid = ::fork();
  if (pid < 0) {
    *why = std::string("fork: ") + std::strerror(errno);
    return ChildResult::Failed;
  }
  if (pid == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      std::fprintf(stderr, "no private mount namespace: %s\n", std::strerror(errno));
      std::fflush(stderr);
      ::_exit(kChildSkipped);
    }
    body();
    std::fflush(stdout);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return ChildResult::Hung;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kChildSkipped) {
    *why = "the system refuses a private mount namespace";
    return ChildResult::Skipped;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ChildResult::Passed : ChildResult::Failed;
}

class MachineFaultRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    tree_.Write("xdg/SOFTWARE/Brisco Entertainment/Tessary/SETUP PATH", tree_.Path("game") + "/\n");
    tree_.MakeDirs("game");
    ScriptedWindow::Get().Reset();
    ScriptedWindow::Get().SetDeadlineMs(60000);
  }
  // The installation's own files, written after any mount over it.
  void Populate() {
    tree_.WriteSettings("game", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(server_.port()) +
                                    "\nUSERID=" + server_.user() + "\nPASSWD=" + server_.password() +
                                    "\nBASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n");
    const std::string game = tree_.Write("game/Vorn.exe", "#!/bin/sh\necho \"$@\" >> '" + GameLog() + "'\n");
    ::chmod(game.c_str(), 0755);
  }
  std::string GameLog() const { return tree_.Path("game.log"); }
  std::string Local(const std::string& rel) const { return tree_.Path("game/" + rel); }

  void Run() {
    {
      Patcher patcher;
      EXPECT_TRUE(patcher.RunPatchWindow(nullptr));
    }
    EXPECT_FALSE(ScriptedWindow::Get().TimedOut()) << "the run did not end by itself";
    plat::FtpShutdown();
  }
  static std::vector<std::string> BoxTexts() {
    std::vector<std::string> out;
    for (const BoxRecord& b : ScriptedWindow::Get().Boxes()) out.push_back(b.text);
    return out;
  }
  static bool Shown(const std::string& text) {
    for (const TextRecord& t : ScriptedWindow::Get().Texts(IDC_STATUS)) {
      if (t.text == text) return true;
    }
    return false;
  }
  // No file in the staging area, and no half-written file beside an installed one.
  void ExpectNothingStaged() {
    for (const std::string& name : SortedNames(Local("Update"))) ADD_FAILURE() << "staged: " << name;
    for (const std::string& name : SortedNames(Local(""))) EXPECT_EQ(name.find(".part"), std::string::npos) << name;
  }
  void ExpectChild(const std::function<void()>& body) {
    std::string why;
    switch (RunInOwnMountNamespace(body, &why)) {
      case ChildResult::Passed: break;
      case ChildResult::Failed: ADD_FAILURE() << "the run in the child failed (see above) " << why; break;
      case ChildResult::Hung: ADD_FAILURE() << "the run in the child did not end"; break;
      case ChildResult::Skipped: GTEST_SKIP() << why;
    }
  }
  bool MountSmallDisk(const std::string& dir, const char* size) {
    const std::string options = std::string("size=") + size + ",mode=0755";
    if (::mount("zdtest", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) return true;
    ADD_FAILURE() << "tmpfs on " << dir << ": " << std::strerror(errno);
    return false;
  }

  FtpServerFixture server_;
  TempTree tree_;
  ScopedEnv registry_{"XDG_CONFIG_DIRS", tree_.Path("xdg")};
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", ""};
  ScopedEnv tmp_{"TMPDIR", tree_.root()};
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
    server_.WriteFile("patch/patch.lst", c.list);
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
      ExpectNothingStaged();
      EXPECT_FALSE(FileExists(GameLog()));
    });
  }
}

TEST_F(MachineFaultRun, AReadOnlyInstallationIsReportedWithTheSystemsText) {
  if (::geteuid() != 0) GTEST_SKIP() << "a read-only mount needs root";
  server_.WriteFile("patch/a.dat", "alpha");
  server_.WriteFile("patch/patch.lst", "D 2002-06-01 14:30 0 old.dat old.dat\nC 2002-06-01 14:30 5 a.dat a.dat\n");
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
      ExpectNothingStaged();
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
    ScriptedWindow::Get().Reset();
    server_.WriteFile("patch/patch.lst", c.list);
    Run();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Not a directory."});
    EXPECT_EQ(ReadFile(Local("Update")), "a file of the player's");
    EXPECT_EQ(SortedNames(Local("")), (std::vector<std::string>{"Update", "Vorn.exe", "VornPatch.ini"}));
    EXPECT_FALSE(FileExists(GameLog()));
  }
}

}  // namespace
