// What the Linux services do beyond the common contract: command lines split by the
// Windows rule, the instance lock across processes, the private temporary directory,
// the registry stand-in.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
  const std::string script = tree.Write("game.sh", "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > " + log +
                                                       ".tmp && mv " + log + ".tmp " + log + "\n");
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

TEST(InstanceLock, ASecondHolderIsRefusedUntilTheFirstLetsGo) {
  TempTree tree;
  ::chmod(tree.root().c_str(), 0700);
  ScopedEnv runtime("XDG_RUNTIME_DIR", tree.root());
  plat::InstanceLockHandle first = nullptr;
  ASSERT_EQ(plat::AcquireInstanceLock("TestMutex", &first), plat::InstanceResult::Acquired);
  // Another process sees the lock taken.
  const pid_t child = ::fork();
  if (child == 0) {
    plat::InstanceLockHandle second = nullptr;
    _exit(plat::AcquireInstanceLock("TestMutex", &second) == plat::InstanceResult::AlreadyRunning ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  plat::ReleaseInstanceLock(first);
  plat::InstanceLockHandle again = nullptr;
  EXPECT_EQ(plat::AcquireInstanceLock("TestMutex", &again), plat::InstanceResult::Acquired);
  plat::ReleaseInstanceLock(again);
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
