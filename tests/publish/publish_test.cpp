// zidodiruv-publish without a server: moving a listed time forward by the clients'
// freshness rule, and every refusal of build.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "publish/stamps.h"
#include "publish/tool_process.h"
#include "support/temp_tree.h"

namespace {

using namespace zdtest;
using publish::Stamp;

TEST(ListedStamps, MoveForwardToTheFirstMinuteAClientFetches) {
  ScopedTimeZone zone("UTC0");
  ASSERT_TRUE(publish::UseZone("", nullptr));
  struct Case {
    Stamp candidate, old, expected;
  };
  const Case cases[] = {
      // Earlier date and time of day: the next minute after the old time of day.
      {{"2021-03-09", "14:00"}, {"2021-03-10", "15:00"}, {"2021-03-09", "15:01"}},
      // An earlier date with a later time of day is fetched already.
      {{"2021-03-09", "16:00"}, {"2021-03-10", "15:00"}, {"2021-03-09", "16:00"}},
      // No time of day beats 23:59: the day after the old date.
      {{"2021-03-09", "14:00"}, {"2021-03-10", "23:59"}, {"2021-03-11", "00:00"}},
      // Hand-written texts without leading zeros sort after every proper one of 2021.
      {{"2021-03-09", "10:00"}, {"2021-3-1", "9:00"}, {"2022-01-01", "00:00"}},
  };
  for (const Case& c : cases) {
    const auto moved = publish::NextFetchingStamp(c.candidate, c.old);
    ASSERT_TRUE(moved.has_value()) << c.old.date << " " << c.old.time << " from " << c.candidate.date << " "
                                   << c.candidate.time;
    EXPECT_EQ(moved->date + " " + moved->time, c.expected.date + " " + c.expected.time);
    EXPECT_TRUE(publish::ClientFetches(*moved, 5, c.old, 5));
  }
  // Never into the hour a clock change skips: 02:00 to 02:59 do not exist that day.
  std::string error;
  ASSERT_TRUE(publish::UseZone("EST5EDT,M3.2.0,M11.1.0", &error)) << error;
  const auto moved = publish::NextFetchingStamp({"2021-03-14", "01:00"}, {"2021-03-14", "01:59"});
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(moved->time, "03:00");
  ASSERT_TRUE(publish::UseZone("UTC0", &error));
  EXPECT_FALSE(publish::UseZone("Nowhere/Atlantis", &error));
}

TEST(PublishRefusals, EachFaultIsNamedAndNothingIsWritten) {
  TempTree tree;
  const std::string bad = "bad";
  tree.Write(bad + "/Dup.dat", "1");
  tree.Write(bad + "/DUP.dat", "2");
  tree.Write(bad + "/Music/CON.txt", "device");
  tree.Write(bad + "/colon:name.dat", "stream");
  tree.Write(bad + "/dot.", "trimmed");
  tree.Write(bad + "/with blank.dat", "columns");
  tree.Write(bad + "/bell\a.dat", "control");
  tree.Write(bad + "/back\\slash.dat", "separator");
  tree.Write(bad + "/caf\xc3\xa9.dat", "code page");
  const std::string deep = std::string(250, 'x') + "/" + std::string(250, 'y') + "/" + std::string(250, 'z');
  tree.Write(bad + "/" + deep + "/long.dat", "too long");
  // Below an installation folder of 140 characters (the default) the Windows patcher's
  // longest path, "<dir>\Update\<name>.gz.part", holds a name of 103 characters, and
  // CreateDirectoryA a folder of 99 in the name: the first passes, one more each does not.
  const std::string atLimit = std::string(99, 'f') + "/abc";
  tree.Write(bad + "/" + atLimit, "fits");
  tree.Write(bad + "/" + std::string(99, 'g') + "/abcd", "one past");
  tree.Write(bad + "/" + std::string(100, 'h') + "/ab", "folder one past");
  tree.Write(bad + "/Patch.exe", "one");
  tree.Write(bad + "/bin/Patch.exe", "two");
  tree.Write(bad + "/data/OLD.dat", "renamed");
  // 2 GiB without the disk space: a sparse file.
  const int fd = ::open(tree.Path(bad + "/huge.pak").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ::ftruncate(fd, 2147483648LL));
  ::close(fd);
  tree.Write(bad + "/future.dat", "tomorrow");
  const timespec later[2] = {{::time(nullptr) + 2 * 86400, 0}, {::time(nullptr) + 2 * 86400, 0}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, tree.Path(bad + "/future.dat").c_str(), later, 0));
  tree.Write("prev/patch.lst", "C 2020-01-01 10:00 7 Data\\Old.dat Data/Old.dat\r\n");

  const ToolResult result = RunTool({"build", tree.Path(bad), tree.Path("server"), "--previous",
                                     tree.Path("prev/patch.lst"), "--patcher", "patch.EXE"},
                                    tree.root());
  EXPECT_EQ(result.code, 1) << result.err;
  const std::pair<std::string, std::string> expected[] = {
      {"Dup.dat: collides with DUP.dat", "when case is ignored"},
      {"Music\\CON.txt: ", "names a device"},
      {"colon:name.dat: ", "one of < > :"},
      {"dot.: ", "ending in a dot"},
      {"with blank.dat: ", "holds a blank"},
      {"bell\a.dat: ", "control character"},
      {"back\\slash.dat: ", "holds a backslash"},
      {"caf\xc3\xa9.dat: ", "outside ASCII"},
      {"\\long.dat: is 761 characters long", "at most 103 (an installation folder of up to 140"},
      {"\\abcd: is 104 characters long", "at most 103"},
      {"\\ab: lies in a folder name of 100 characters", "at most 99"},
      {"huge.pak: ", "at most 2147483647"},
      {"future.dat: ", "in the future"},
      {"bin\\Patch.exe, Patch.exe: ", "more than one patcher"},
      {"data\\OLD.dat: is Data\\Old.dat in the previous version", "case only"},
  };
  for (const auto& [name, reason] : expected) {
    const size_t at = result.err.find(name);
    EXPECT_NE(at, std::string::npos) << name << " in:\n" << result.err;
    if (at != std::string::npos) {
      EXPECT_NE(result.err.find(reason, at), std::string::npos) << name << ": " << reason;
    }
  }
  EXPECT_EQ(result.err.find("fff\\abc"), std::string::npos) << "a name at the limit is refused";
  EXPECT_NE(result.err.find("nothing written"), std::string::npos);
  EXPECT_EQ(DirectoryNames(tree.root()).count("server"), 0u);
  for (const std::string& name : DirectoryNames(tree.root())) EXPECT_EQ(name.find("building"), std::string::npos);

  // A zone the machine does not know is a wrong command line, not UTC.
  EXPECT_EQ(RunTool({"build", tree.Path("prev"), tree.Path("server"), "--zone", "Nowhere/Atlantis"}, tree.root()).code, 2);
}

// A release that would make every player delete the game, the patcher or most of the
// game is refused unless --force-deletions says it is meant; without --patcher the
// previous version's patcher stays 'P'.
TEST(PublishRefusals, DeletingTheGameThePatcherOrMostOfItNeedsSayingSo) {
  TempTree tree;
  for (const char* name : {"Vorn.exe", "ZidoDiruv.exe", "a.dat", "b.dat", "c.dat"}) tree.Write(std::string("v1/") + name, name);
  ASSERT_EQ(RunTool({"build", tree.Path("v1"), tree.Path("s1"), "--patcher", "ZidoDiruv.exe"}, tree.root()).code, 0);
  const std::vector<std::string> previous = {"--previous", tree.Path("s1/patch.lst")};
  const auto build = [&](const std::string& release, const std::string& server, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"build", tree.Path(release), tree.Path(server)};
    args.insert(args.end(), previous.begin(), previous.end());
    args.insert(args.end(), more.begin(), more.end());
    return RunTool(args, tree.root());
  };

  tree.MakeDirs("empty");
  const ToolResult empty = build("empty", "s2");
  EXPECT_EQ(empty.code, 1);
  for (const char* reason : {"refused: Vorn.exe: is not in the release", "refused: ZidoDiruv.exe: the patcher's file",
                             "lacks 5 of the previous version's 5 files"})
    EXPECT_NE(empty.err.find(reason), std::string::npos) << reason << " in:\n" << empty.err;
  EXPECT_FALSE(FileExists(tree.Path("s2")));
  const ToolResult forced = build("empty", "s2", {"--force-deletions"});
  EXPECT_EQ(forced.code, 0) << forced.err;

  // Two of five gone: not most of them, but one is the game.
  tree.Write("v3/ZidoDiruv.exe", "ZidoDiruv.exe, build 2");
  tree.Write("v3/a.dat", "a.dat");
  tree.Write("v3/b.dat", "b.dat");
  const ToolResult game = build("v3", "s3");
  EXPECT_EQ(game.code, 1);
  EXPECT_NE(game.err.find("Vorn.exe: is not in the release"), std::string::npos) << game.err;
  EXPECT_EQ(game.err.find("lacks"), std::string::npos) << game.err;
  tree.Write("v3/Vorn.exe", "Vorn.exe");
  const ToolResult kept = build("v3", "s3");
  ASSERT_EQ(kept.code, 0) << kept.err;
  EXPECT_NE(ReadFile(tree.Path("s3/patch.lst")).find("\r\nP "), std::string::npos) << "the patcher listed as 'P'";
  EXPECT_NE(kept.out.find("patcher: ZidoDiruv.exe stays 'P'"), std::string::npos) << kept.out;
}

// A remote name names one sequence of bytes: packed at another level, a file is stored
// under another name, so an upload never overwrites a file the list on the server names.
TEST(PublishNames, OtherStoredBytesGetAnotherName) {
  TempTree tree;
  std::string text;
  while (text.size() < 100000) text += "vorn zeda patch " + std::to_string(text.size()) + "\r\n";
  tree.Write("rel/Data/map.dat", text);
  tree.Write("rel/small.dat", "small");
  ASSERT_EQ(RunTool({"build", tree.Path("rel"), tree.Path("level6")}, tree.root()).code, 0);
  ASSERT_EQ(RunTool({"build", tree.Path("rel"), tree.Path("level1"), "--level", "1"}, tree.root()).code, 0);
  const auto names = [&](const std::string& server) {
    std::set<std::string> out;
    for (const std::string& entry : TreeListing(tree.Path(server))) {
      if (entry.back() != '/' && entry.rfind("patch.lst", 0) != 0) out.insert(entry);
    }
    return out;
  };
  const std::set<std::string> six = names("level6"), one = names("level1");
  ASSERT_EQ(six.size(), 2u);
  ASSERT_EQ(one.size(), 2u);
  std::vector<std::string> shared;
  std::set_intersection(six.begin(), six.end(), one.begin(), one.end(), std::back_inserter(shared));
  ASSERT_EQ(shared.size(), 1u);
  EXPECT_EQ(shared[0].rfind("small.dat.", 0), 0u) << "the plain file keeps its name";
  for (const std::string& name : shared) EXPECT_EQ(ReadFile(tree.Path("level6/" + name)), ReadFile(tree.Path("level1/" + name)));
}

}  // namespace
