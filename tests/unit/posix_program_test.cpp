// Program files and program starts as the self-update relies on them: a running
// program's file can be neither replaced nor deleted, a replacement is whole or not
// there at all, and a started program inherits nothing but the standard descriptors.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <set>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "support/temp_tree.h"
#include "support/x11_session.h"

namespace {

using zdtest::ChildProcess;
using zdtest::FileExists;
using zdtest::ModeOf;
using zdtest::ReadFile;
using zdtest::TempTree;
using zdtest::WaitUntil;

// Starts a copy of a long-running program from `path` and waits until it runs from it.
void RunFrom(const std::string& path, ChildProcess& child) {
  zdtest::WriteFile(path, ReadFile("/bin/sleep"));
  ::chmod(path.c_str(), 0755);
  ASSERT_TRUE(child.Start({path, "60"}, {}));
  ASSERT_TRUE(WaitUntil(
      [&] {
        char link[PATH_MAX] = {};
        const std::string exe = "/proc/" + std::to_string(child.pid()) + "/exe";
        return ::readlink(exe.c_str(), link, sizeof link - 1) > 0 && path == link;
      },
      10000));
}

TEST(ProgramFiles, ARunningProgramsFileIsNeitherReplacedNorDeletedUntilItEnds) {
  TempTree tree;
  const std::string target = tree.Path("patcher");
  const std::string source = tree.Write("Update/patcher", "the new patcher");
  ::chmod(source.c_str(), 0600);
  ChildProcess running;
  RunFrom(target, running);
  const std::string old = ReadFile(target);

  EXPECT_FALSE(plat::CopyOver(source.c_str(), target.c_str()));
  EXPECT_NE(plat::LastErrorCode(), 0u);
  EXPECT_FALSE(plat::RemoveProgramFile(target.c_str()));
  EXPECT_EQ(ReadFile(target), old);
  // Nothing of the refused copy is left beside the target.
  EXPECT_EQ(zdtest::DirectoryNames(tree.root()), (std::set<std::string>{"Update", "patcher"}));

  running.Kill();
  ASSERT_TRUE(plat::CopyOver(source.c_str(), target.c_str()));
  EXPECT_EQ(ReadFile(target), "the new patcher");
  EXPECT_EQ(ModeOf(target), 0755u) << "a replaced file keeps its permission bits";
  EXPECT_EQ(zdtest::DirectoryNames(tree.root()), (std::set<std::string>{"Update", "patcher"}));

  // The staging copy: not in use, so it goes at once; a missing one fails.
  EXPECT_TRUE(plat::RemoveProgramFile(source.c_str()));
  EXPECT_FALSE(FileExists(source));
  EXPECT_FALSE(plat::RemoveProgramFile(source.c_str()));
}

TEST(ProgramFiles, ANewCopyTakesTheSourcesModeAndADirectoryIsNeverReplaced) {
  TempTree tree;
  const std::string source = tree.Write("new", std::string(3 << 20, 'n'));  // several buffers' worth
  ::chmod(source.c_str(), 0750);
  const std::string fresh = tree.Path("fresh");
  ASSERT_TRUE(plat::CopyOver(source.c_str(), fresh.c_str()));
  EXPECT_EQ(ReadFile(fresh), ReadFile(source));
  EXPECT_EQ(ModeOf(fresh), 0750u);

  tree.MakeDirs("dir");
  EXPECT_FALSE(plat::CopyOver(source.c_str(), tree.Path("dir").c_str()));
  EXPECT_FALSE(plat::RemoveProgramFile(tree.Path("dir").c_str()));
  EXPECT_FALSE(plat::CopyOver(tree.Path("missing").c_str(), fresh.c_str()));
  EXPECT_EQ(ReadFile(fresh), ReadFile(source));
  EXPECT_EQ(zdtest::DirectoryNames(tree.root()), (std::set<std::string>{"dir", "fresh", "new"}));
}

TEST(StartProgram, TheProgramInheritsOnlyTheStandardDescriptorsAndHasASessionOfItsOwn) {
  TempTree tree;
  const std::string probe = tree.Write("Vorn.exe", ReadFile(ZD_PROBE));
  ::chmod(probe.c_str(), 0755);
  // A descriptor without close-on-exec, as a library might leave one.
  const int leaked = ::open(tree.root().c_str(), O_RDONLY);
  ASSERT_GE(leaked, 3);
  std::string standard;
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) != -1) standard += (standard.empty() ? "" : ",") + std::to_string(fd);

  const bool started = plat::StartProgram(probe.c_str(), " -U");
  ::close(leaked);
  ASSERT_TRUE(started);
  const std::string log = tree.Path("probe.log");
  ASSERT_TRUE(WaitUntil([&] { const std::string t = ReadFile(log); return !t.empty() && t.back() == '\n'; }, 10000));
  EXPECT_EQ(ReadFile(log), "Vorn.exe session=own fds=" + standard + " args=-U\n");
}

}  // namespace
