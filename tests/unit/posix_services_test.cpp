// What the Linux services do beyond the common contract: command lines split by the
// Windows rule, the instance lock across processes, the private temporary directory,
// the registry stand-in.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/posix/command_line.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "support/temp_tree.h"
#include "support/x11_session.h"

namespace {

using zdtest::ScopedEnv;
using zdtest::TempTree;

TEST(CommandLine, SplitsLikeTheWindowsRuntime) {
  using V = std::vector<std::string>;
  // A leading blank gives an empty argument 0, so the switch is argument 1.
  EXPECT_EQ(plat::SplitCommandLine(" -U"), (V{"", "-U"}));
  EXPECT_EQ(plat::SplitCommandLine(" -P \"/a b/c\" \"/d\" \"2002-07-15\" \"09:05\""),
            (V{"", "-P", "/a b/c", "/d", "2002-07-15", "09:05"}));
  EXPECT_EQ(plat::SplitCommandLine(" -D \"\""), (V{"", "-D", ""}));
  EXPECT_EQ(plat::SplitCommandLine("prog  a\tb"), (V{"prog", "a", "b"}));
  EXPECT_EQ(plat::SplitCommandLine(" a\\\\b \"c\\\"d\" e\\\\\"f g\""), (V{"", "a\\\\b", "c\"d", "e\\f g"}));
}

TEST(StartProgram, PassesTheArgumentsAndReportsAMissingProgram) {
  TempTree tree;
  const std::string log = tree.Path("args.txt");
  // The paths are quoted: the temporary directory may hold blanks.
  const std::string script = tree.Write("game.sh", "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > '" + log +
                                                       ".tmp' && mv '" + log + ".tmp' '" + log + "'\n");
  ::chmod(script.c_str(), 0755);
  ASSERT_TRUE(plat::StartProgram(script.c_str(), " -P \"x y\" z"));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!zdtest::FileExists(log) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(zdtest::ReadFile(log), "[-P]\n[x y]\n[z]\n");

  EXPECT_FALSE(plat::StartProgram(tree.Path("missing.exe").c_str(), " -U"));
  char text[256];
  ASSERT_TRUE(plat::ErrorText(plat::LastErrorCode(), text, sizeof text));
  EXPECT_STREQ(text, "No such file or directory.");
}

TEST(StartProgram, AWindowsProgramTheSystemCannotRunGoesThroughWineInItsOwnDirectory) {
  if (zdtest::KernelRunsWindowsPrograms()) GTEST_SKIP() << "this machine's kernel starts Windows programs itself";
  TempTree tree;
  const std::string game = tree.Write("game dir/Vorn.exe", "MZ, not a program of this system");
  ::chmod(game.c_str(), 0755);
  // A Wine that records where and with what it was started.
  const std::string log = tree.Path("wine.log");
  const std::string wine =
      tree.Write("my wine", "#!/bin/sh\necho \"$(pwd -P)|$*\" > '" + log + ".tmp' && mv '" + log + ".tmp' '" + log + "'\n");
  ::chmod(wine.c_str(), 0755);
  {
    ScopedEnv named("WINE", wine);
    ASSERT_TRUE(plat::StartProgram(game.c_str(), " -U"));
  }
  ASSERT_TRUE(zdtest::WaitUntil([&] { return zdtest::FileExists(log); }, 10000));
  char dir[4096];
  ASSERT_NE(::realpath(tree.Path("game dir").c_str(), dir), nullptr);
  EXPECT_EQ(zdtest::ReadFile(log), std::string(dir) + "|" + game + " -U\n");

  // Relative paths to the game and to Wine still name them once Wine runs elsewhere.
  ASSERT_EQ(::unlink(log.c_str()), 0);
  char here[4096];
  ASSERT_NE(::getcwd(here, sizeof here), nullptr);
  char root[4096];
  ASSERT_NE(::realpath(tree.root().c_str(), root), nullptr);
  ASSERT_EQ(::chdir(root), 0);
  {
    ScopedEnv named("WINE", "./my wine");
    EXPECT_TRUE(plat::StartProgram("game dir/Vorn.exe", " -U"));
  }
  ASSERT_EQ(::chdir(here), 0);
  ASSERT_TRUE(zdtest::WaitUntil([&] { return zdtest::FileExists(log); }, 10000));
  EXPECT_EQ(zdtest::ReadFile(log), std::string(dir) + "|" + root + "/game dir/Vorn.exe -U\n");
}

// A name of this test process's own: other test processes of the same user may run
// beside it, and the lock is per user, whatever the environment.
std::string OwnLockName() { return "TestMutex-" + std::to_string(::getpid()); }

// Runs `acquire` in a child process with a different runtime, temporary and home
// directory, and returns what it got.
plat::InstanceResult AcquireInAnotherEnvironment(const std::string& name, const std::string& dir) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    ::setenv("TMPDIR", dir.c_str(), 1);
    ::setenv("HOME", dir.c_str(), 1);
    plat::InstanceLockHandle second = nullptr;
    _exit(static_cast<int>(plat::AcquireInstanceLock(name.c_str(), &second)));
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return plat::InstanceResult::Failed;
  return static_cast<plat::InstanceResult>(WEXITSTATUS(status));
}

TEST(InstanceLock, OneHolderPerUserWhateverTheEnvironmentAndNeverAStartedProgram) {
  TempTree tree;
  tree.MakeDirs("elsewhere");
  ::chmod(tree.Path("elsewhere").c_str(), 0700);
  const std::string name = OwnLockName();
  plat::InstanceLockHandle first = nullptr;
  ASSERT_EQ(plat::AcquireInstanceLock(name.c_str(), &first), plat::InstanceResult::Acquired);
  // Another process sees the lock taken, also with other directories in its environment.
  EXPECT_EQ(AcquireInAnotherEnvironment(name, tree.root()), plat::InstanceResult::AlreadyRunning);
  EXPECT_EQ(AcquireInAnotherEnvironment(name, tree.Path("elsewhere")), plat::InstanceResult::AlreadyRunning);
  // Other names are other locks.
  EXPECT_EQ(AcquireInAnotherEnvironment(name + "-other", tree.root()), plat::InstanceResult::Acquired);

  // A program started while the lock is held does not keep it once the holder lets go.
  // The pipe's end closes with the exec, so the read returns once the program runs.
  int started[2];
  ASSERT_EQ(::pipe2(started, O_CLOEXEC), 0);
  const pid_t program = ::fork();
  if (program == 0) {
    ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(program, 0);
  ::close(started[1]);
  char byte;
  while (::read(started[0], &byte, 1) < 0 && errno == EINTR) {
  }
  ::close(started[0]);
  plat::ReleaseInstanceLock(first);
  EXPECT_EQ(AcquireInAnotherEnvironment(name, tree.root()), plat::InstanceResult::Acquired);
  plat::InstanceLockHandle again = nullptr;
  EXPECT_EQ(plat::AcquireInstanceLock(name.c_str(), &again), plat::InstanceResult::Acquired);
  plat::ReleaseInstanceLock(again);
  ::kill(program, SIGKILL);
  ::waitpid(program, nullptr, 0);
}

TEST(TempDirectory, IsPrivateAndRefusesAForeignOrOpenOne) {
  TempTree tree;
  ScopedEnv runtime("XDG_RUNTIME_DIR", "");
  ScopedEnv tmp("TMPDIR", tree.root());
  char dir[1024];
  ASSERT_TRUE(plat::TempDirectory(dir, sizeof dir));
  const std::string own = tree.root() + "/zidodiruv-" + std::to_string(::geteuid());
  EXPECT_EQ(std::string(dir), own + "/");
  struct stat st;
  ASSERT_EQ(::stat(own.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A directory others can write to, or a link planted in its place, is not used.
  ::chmod(own.c_str(), 0777);
  EXPECT_FALSE(plat::TempDirectory(dir, sizeof dir));
  ::rmdir(own.c_str());
  ASSERT_EQ(::symlink(tree.root().c_str(), own.c_str()), 0);
  EXPECT_FALSE(plat::TempDirectory(dir, sizeof dir));
  // A private XDG_RUNTIME_DIR is preferred.
  tree.MakeDirs("run");
  ::chmod(tree.Path("run").c_str(), 0700);
  ScopedEnv runtime2("XDG_RUNTIME_DIR", tree.Path("run"));
  ASSERT_TRUE(plat::TempDirectory(dir, sizeof dir));
  EXPECT_EQ(std::string(dir), tree.Path("run") + "/");
}

TEST(MachineKey, ValuesAreFilesAndAreNeverCut) {
  TempTree tree;
  ScopedEnv dirs("XDG_CONFIG_DIRS", tree.Path("xdg"));
  plat::MachineKeyHandle key = nullptr;
  ASSERT_TRUE(plat::OpenMachineKey("SOFTWARE\\Maker\\Product", &key));
  EXPECT_TRUE(tree.Exists("xdg/SOFTWARE/Maker/Product"));
  char value[16];
  EXPECT_FALSE(plat::QueryMachineText(key, "SETUP PATH", value, sizeof value));
  tree.Write("xdg/SOFTWARE/Maker/Product/SETUP PATH", "/games/tess/\n");
  ASSERT_TRUE(plat::QueryMachineText(key, "SETUP PATH", value, sizeof value));
  EXPECT_STREQ(value, "/games/tess/");
  tree.Write("xdg/SOFTWARE/Maker/Product/SETUP PATH", "/a/much/longer/path/");
  EXPECT_FALSE(plat::QueryMachineText(key, "SETUP PATH", value, sizeof value));
  EXPECT_TRUE(plat::CloseMachineKey(key));
  // Key names cannot climb out of the store.
  EXPECT_FALSE(plat::OpenMachineKey("SOFTWARE\\..\\x", &key));
}

}  // namespace
