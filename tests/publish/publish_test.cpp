// zidodiruv-publish without a server: moving a listed time forward by the clients'
// freshness rule, every refusal of build, and signed lists.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "publish/stamps.h"
#include "publish/tool_process.h"
#include "support/gzip_builder.h"
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
  // Links, wherever they lead, and a server folder this tool made.
  tree.Write("outside.dat", "not in the release");
  ASSERT_EQ(0, ::symlink(tree.Path("outside.dat").c_str(), tree.Path(bad + "/data/out.dat").c_str()));
  ASSERT_EQ(0, ::symlink("../Patch.exe", tree.Path(bad + "/data/in.dat").c_str()));
  ASSERT_EQ(0, ::symlink("../data", tree.Path(bad + "/Music/Data").c_str()));
  tree.Write(bad + "/srv1/patch.lst.manifest.json",
             "{\"files\":[\n],\n\"format\":1,\n\"tool\":\"zidodiruv-publish\"\n}\n");

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
      {"data\\out.dat: is a link", "links are refused"},
      {"data\\in.dat: is a link", "links are refused"},
      {"Music\\Data: is a link", "links are refused"},
      {"srv1: is a server folder zidodiruv-publish made", "players would receive it"},
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

// Each wrong input says what is wrong, with the exit code README gives it.
TEST(PublishCommandLine, WrongInputsAreNamedWithTheirExitCodes) {
  TempTree tree;
  tree.Write("rel/a.dat", "a");
  tree.Write("rel/Sub/b.dat", "b");
  tree.Write("afile", "");  // an empty file was taken for an empty folder and replaced
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string says;
  };
  const Case cases[] = {
      {{"bulid", tree.Path("rel"), tree.Path("srv")}, 2, "unknown subcommand \"bulid\""},
      {{"build", tree.Path("rel"), tree.Path("afile")}, 2, "afile is a file"},
      {{"build", tree.Path("rel"), tree.Path("rel/Sub/srv")}, 2, "lies inside the release"},
      {{"build", tree.Path("rel/Sub"), tree.Path("rel")}, 2, "lies inside " + tree.Path("rel")},
      {{"upload", tree.Path("rel"), "ftp://127.0.0.1:1/patch/"}, 1, "holds no patch.lst"},
      {{"upload", tree.Path("rel"), "http://127.0.0.1/patch/"}, 2, "not an ftp:// address"},
      {{"verify", "sftp://127.0.0.1/patch/"}, 2, "not an ftp:// address"},
      {{"verify", tree.Path("afile")}, 2, "afile is a file"},
      {{"verify", tree.Path("rel")}, 1, "no patch.lst in " + tree.Path("rel")},
  };
  for (const Case& c : cases) {
    const ToolResult result = RunTool(c.args, tree.root());
    EXPECT_EQ(result.code, c.code) << c.args[0] << " " << c.args[1] << ": " << result.err;
    EXPECT_NE(result.err.find(c.says), std::string::npos) << c.says << " in: " << result.err;
  }
  struct stat st;
  EXPECT_TRUE(::stat(tree.Path("afile").c_str(), &st) == 0 && S_ISREG(st.st_mode));
  EXPECT_FALSE(FileExists(tree.Path("rel/Sub/srv")));

  // A folder that cannot be read is named. Root reads every folder unless it gives up
  // that power for the run.
  std::vector<std::string> launcher;
  if (::geteuid() == 0) launcher = {"setpriv", "--bounding-set=-dac_override,-dac_read_search"};
  ASSERT_EQ(0, ::chmod(tree.Path("rel/Sub").c_str(), 0));
  const ToolResult unreadable = RunTool({"build", tree.Path("rel"), tree.Path("srv")}, tree.root(), false, launcher);
  ::chmod(tree.Path("rel/Sub").c_str(), 0755);
  EXPECT_EQ(unreadable.code, 3) << unreadable.err;
  EXPECT_NE(unreadable.err.find("cannot read the folder " + tree.Path("rel/Sub") + ": "), std::string::npos)
      << unreadable.err;
}

// A line of versions keeps the zone of its first; build and verify --deep show their
// progress on a terminal; diff names the changes and counts what is unchanged, naming it
// only with --unchanged.
TEST(PublishVersions, OneZoneProgressOnATerminalAndTheChangesOnly) {
  TempTree tree;
  tree.Write("v1/same.dat", "same");
  tree.Write("v1/old.dat", "old");
  tree.Write("v2/same.dat", "same");
  tree.Write("v2/new.dat", "new");
  // SERVER_DIR with a slash at its end is the folder itself.
  ToolProcess first({"build", tree.Path("v1"), tree.Path("srv1") + "/", "--zone", "ZZZ-9"}, tree.root(), true);
  ASSERT_EQ(first.Wait(), 0) << first.Err();
  EXPECT_NE(first.Err().find("2/2 files"), std::string::npos) << first.Err();
  ToolProcess deep({"verify", tree.Path("srv1"), "--deep"}, tree.root(), true);
  EXPECT_EQ(deep.Wait(), 0) << deep.Err();
  EXPECT_NE(deep.Err().find("2/2 files"), std::string::npos) << deep.Err();

  const std::vector<std::string> next = {"build", tree.Path("v2"), tree.Path("srv2"), "--previous",
                                         tree.Path("srv1/patch.lst")};
  std::vector<std::string> otherZone = next;
  otherZone.insert(otherZone.end(), {"--zone", "UTC0"});
  const ToolResult refused = RunTool(otherZone, tree.root());
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("the previous version lists its times in ZZZ-9"), std::string::npos) << refused.err;
  const ToolResult built = RunTool(next, tree.root());
  ASSERT_EQ(built.code, 0) << built.err;
  EXPECT_EQ(built.err, "");  // no progress where there is no terminal
  EXPECT_NE(ReadFile(tree.Path("srv2/patch.lst")).find("local time in ZZZ-9\r\n"), std::string::npos);

  const std::vector<std::string> diff = {"diff", tree.Path("srv1/patch.lst"), tree.Path("srv2/patch.lst")};
  const ToolResult changes = RunTool(diff, tree.root());
  EXPECT_EQ(changes.code, 0);
  EXPECT_NE(changes.out.find("delete"), std::string::npos) << changes.out;
  EXPECT_NE(changes.out.find("new.dat"), std::string::npos) << changes.out;
  EXPECT_EQ(changes.out.find("same.dat"), std::string::npos) << changes.out;
  EXPECT_NE(changes.out.find("1 to fetch (3 bytes), 1 kept, 1 deleted"), std::string::npos) << changes.out;
  std::vector<std::string> all = diff;
  all.push_back("--unchanged");
  EXPECT_NE(RunTool(all, tree.root()).out.find("same.dat"), std::string::npos);
}

// Ctrl-C, SIGTERM or a kill in the middle of a build: no work folder is left beside
// SERVER_DIR once the build has ended, or after a kill once it has run again; the work
// folder of another SERVER_DIR stays.
TEST(PublishInterrupted, NoWorkFolderOutlivesTheBuild) {
  TempTree tree;
  {
    std::mt19937 random(5);
    std::string noise(1 << 20, '\0');
    std::string data;
    for (int i = 0; i < 32; ++i) {
      for (char& c : noise) c = static_cast<char>(random());
      data += noise;
    }
    tree.Write("rel/big.dat", data);
  }
  tree.MakeDirs(".other.building-abc123");
  const auto leftovers = [&] {
    int count = 0;
    for (const std::string& name : DirectoryNames(tree.root())) count += name.rfind(".srv.building-", 0) == 0;
    return count;
  };
  const std::vector<std::string> build = {"build", tree.Path("rel"), tree.Path("srv"), "--jobs", "1", "--level", "9"};
  for (const int sig : {SIGINT, SIGTERM, SIGKILL}) {
    ToolProcess tool(build, tree.root());
    ASSERT_TRUE(WaitUntil([&] { return leftovers() == 1; }, 60000)) << "signal " << sig << ": " << tool.Err();
    tool.Signal(sig);
    EXPECT_EQ(tool.Wait(), -1) << "signal " << sig;
    EXPECT_EQ(leftovers(), sig == SIGKILL ? 1 : 0) << "signal " << sig;
  }
  const ToolResult rerun = RunTool({"build", tree.Path("rel"), tree.Path("srv")}, tree.root());
  ASSERT_EQ(rerun.code, 0) << rerun.err;
  EXPECT_EQ(leftovers(), 0);
  EXPECT_TRUE(tree.Exists(".other.building-abc123"));
  EXPECT_TRUE(tree.Exists("srv/patch.lst"));
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

// verify of the mirrors of one name tells which of their lists is the latest, also across
// a file deleted (the list before it lags) and back with another size at its old time
// (then the list that deleted it lags); mirrors of lists it cannot order are named apart.
TEST(PublishMirrors, VerifyNamesTheMirrorsThatLag) {
  TempTree tree;
  for (const char* name : {"a.dat", "b.dat", "c.dat"}) {
    tree.Write(std::string("v1/") + name, name);
    tree.Write(std::string("v3/") + name, name);
    if (std::string(name) != "b.dat") tree.Write(std::string("v2/") + name, name);
  }
  tree.Write("v3/b.dat", "back, another size");
  tree.Write("other/a.dat", "another line of versions");
  // Every file at one time: b.dat comes back listed at its old time, with another size.
  for (const char* release : {"v1", "v2", "v3", "other"}) {
    for (const std::string& entry : TreeListing(tree.Path(release)))
      tree.SetLocalMtime(std::string(release) + "/" + entry, 2021, 3, 10, 12, 0);
  }
  ASSERT_EQ(RunTool({"build", tree.Path("v1"), tree.Path("s1"), "--zone", "UTC0"}, tree.root()).code, 0);
  for (const std::string next : {"2", "3"}) {
    const std::string before = next == "2" ? "s1" : "s2";
    const ToolResult built =
        RunTool({"build", tree.Path("v" + next), tree.Path("s" + next), "--previous", tree.Path(before + "/patch.lst")},
                tree.root());
    ASSERT_EQ(built.code, 0) << built.err;
  }
  ASSERT_EQ(RunTool({"build", tree.Path("other"), tree.Path("so"), "--zone", "UTC0"}, tree.root()).code, 0);

  const ToolResult lagging = RunTool({"verify", tree.Path("s1"), tree.Path("s3"), tree.Path("s2")}, tree.root());
  EXPECT_EQ(lagging.code, 1);
  for (const char* mirror : {"s1", "s2"})
    EXPECT_NE(lagging.out.find("LAGS   " + tree.Path(mirror) + ": holds an older patch.lst than " + tree.Path("s3")),
              std::string::npos)
        << mirror << " in:\n" << lagging.out;
  // The list that deleted b.dat is the later one beside the list before it.
  const ToolResult deleted = RunTool({"verify", tree.Path("s1"), tree.Path("s2")}, tree.root());
  EXPECT_NE(deleted.out.find("LAGS   " + tree.Path("s1") + ": holds an older patch.lst than " + tree.Path("s2")),
            std::string::npos)
      << deleted.out;
  const ToolResult apart = RunTool({"verify", tree.Path("s3"), tree.Path("so")}, tree.root());
  EXPECT_EQ(apart.code, 1);
  EXPECT_NE(apart.out.find("DIFFER the mirrors hold 2 different patch.lst"), std::string::npos) << apart.out;
  EXPECT_EQ(apart.out.find("LAGS"), std::string::npos) << apart.out;
}

// keygen's key file is its owner's and never replaced. A signed build verifies with its
// key alone and is the unsigned build with the signed block's lines added; each later
// version takes the next sequence number. The key is introduced and rotates as README says: a release
// whose VornPatch.ini names both keys, signed with the old one, then the new key; a
// VornPatch.ini that does not name the signing key, and an unsigned list after a signed
// one, are refused. diff shows both sequences and flags a rollback.
TEST(PublishSigning, KeysSequencesAndTheKeyRotation) {
  TempTree tree;
  const mode_t mask = ::umask(0);
  const ToolResult made = RunTool({"keygen", tree.Path("old.key")}, tree.root());
  ::umask(mask);
  ASSERT_EQ(made.code, 0) << made.err;
  ASSERT_EQ(made.out.rfind("PUBLICKEY=", 0), 0u) << made.out;
  const std::string oldKey = made.out.substr(10, made.out.find('\n') - 10);
  struct stat st;
  ASSERT_EQ(::stat(tree.Path("old.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const std::string keyFile = ReadFile(tree.Path("old.key"));
  const ToolResult again = RunTool({"keygen", tree.Path("old.key")}, tree.root());
  EXPECT_EQ(again.code, 2);
  EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
  EXPECT_EQ(ReadFile(tree.Path("old.key")), keyFile);
  const ToolResult other = RunTool({"keygen", tree.Path("new.key")}, tree.root());
  ASSERT_EQ(other.code, 0) << other.err;
  const std::string newKey = other.out.substr(10, other.out.find('\n') - 10);

  // Every way the packer stores a file: whole and small, packed in chunks, and too
  // random to pack, copied.
  std::mt19937 random(3);
  std::string noise(1536 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  const auto release = [&](const std::string& name, const std::string& keys) {
    tree.Write(name + "/small.dat", "small");
    tree.Write(name + "/Data/text.dat", SampleData(2 * 1024 * 1024 + 5, 9));
    tree.Write(name + "/Data/noise.dat", noise);
    if (!keys.empty())
      tree.Write(name + "/VornPatch.ini", "[PATCH_FTP]\r\nSERVERIP=127.0.0.1\r\nPUBLICKEY=" + keys + "\r\n");
  };
  const auto build = [&](const std::string& name, const std::string& server, std::vector<std::string> more) {
    std::vector<std::string> args = {"build", tree.Path(name), tree.Path(server), "--zone", "UTC0"};
    args.insert(args.end(), more.begin(), more.end());
    return RunTool(args, tree.root());
  };
  release("v1", "");
  ASSERT_EQ(build("v1", "s1", {"--sign", tree.Path("old.key")}).code, 0);
  const ToolResult verified = RunTool({"verify", tree.Path("s1"), "--key", "PUBLICKEY=" + oldKey}, tree.root());
  EXPECT_EQ(verified.code, 0) << verified.out << verified.err;
  EXPECT_NE(verified.out.find("sequence 1, expires never, verified with the key given"), std::string::npos)
      << verified.out;
  EXPECT_NE(verified.out.find("stored bytes as the list's hashes say"), std::string::npos) << verified.out;
  const ToolResult wrongKey = RunTool({"verify", tree.Path("s1"), "--key", tree.Path("new.key")}, tree.root());
  EXPECT_EQ(wrongKey.code, 1);
  EXPECT_NE(wrongKey.out.find("none of the keys given"), std::string::npos) << wrongKey.out;
  // Unsigned, the same list without the signed block's lines.
  ASSERT_EQ(build("v1", "u1", {}).code, 0);
  const std::string signedList = ReadFile(tree.Path("s1/patch.lst"));
  std::string stripped;
  size_t directives = 0;
  for (size_t at = 0; at < signedList.size();) {
    const size_t end = signedList.find('\n', at) + 1;
    if (signedList.compare(at, 4, "#zd-") == 0) {
      ++directives;
    } else {
      stripped += signedList.substr(at, end - at);
    }
    at = end;
  }
  EXPECT_EQ(directives, 5u) << signedList;  // the header, three hash lines, the signature
  EXPECT_EQ(stripped, ReadFile(tree.Path("u1/patch.lst")));
  EXPECT_NE(signedList.find("local time in UTC0\r\n#zd-signed format=1 sequence=1 expires=never\r\n"),
            std::string::npos)
      << signedList;

  // The next key goes out in a VornPatch.ini signed with the old one.
  release("v2", oldKey + "," + newKey);
  const std::vector<std::string> afterV1 = {"--previous", tree.Path("s1/patch.lst")};
  const ToolResult unsignedAfter = build("v2", "s2", afterV1);
  EXPECT_EQ(unsignedAfter.code, 1);
  EXPECT_NE(unsignedAfter.err.find("is signed (key "), std::string::npos) << unsignedAfter.err;
  EXPECT_NE(unsignedAfter.err.find("VornPatch.ini: names public keys"), std::string::npos) << unsignedAfter.err;
  {
    ScopedEnv key("ZIDODIRUV_SIGNING_KEY", tree.Path("old.key"));
    std::vector<std::string> expiring = afterV1;
    expiring.insert(expiring.end(), {"--expires", "30"});
    const ToolResult v2 = build("v2", "s2", expiring);
    ASSERT_EQ(v2.code, 0) << v2.err;
  }
  EXPECT_NE(ReadFile(tree.Path("s2/patch.lst")).find("#zd-signed format=1 sequence=2 expires=2"), std::string::npos);
  const ToolResult diff = RunTool({"diff", tree.Path("s1/patch.lst"), tree.Path("s2/patch.lst")}, tree.root());
  EXPECT_EQ(diff.code, 0) << diff.out;
  EXPECT_NE(diff.out.find("old list: signed by key "), std::string::npos) << diff.out;
  EXPECT_NE(diff.out.find(", sequence 1, expires never\nnew list: signed by key "), std::string::npos) << diff.out;
  EXPECT_NE(diff.out.find(", sequence 2, expires 20"), std::string::npos) << diff.out;

  // Then the new key; the old one is refused by a VornPatch.ini that names only the new.
  release("v3", newKey);
  const std::vector<std::string> afterV2 = {"--previous", tree.Path("s2/patch.lst")};
  std::vector<std::string> withOld = afterV2;
  withOld.insert(withOld.end(), {"--sign", tree.Path("old.key")});
  const ToolResult stale = build("v3", "s3", withOld);
  EXPECT_EQ(stale.code, 1);
  EXPECT_NE(stale.err.find("VornPatch.ini: names the keys "), std::string::npos) << stale.err;
  std::vector<std::string> withNew = afterV2;
  withNew.insert(withNew.end(), {"--sign", tree.Path("new.key")});
  const ToolResult v3 = build("v3", "s3", withNew);
  ASSERT_EQ(v3.code, 0) << v3.err;
  EXPECT_NE(v3.out.find(": sequence 3, expires never"), std::string::npos) << v3.out;
  EXPECT_NE(v3.out.find("the previous version was signed with key "), std::string::npos) << v3.out;
  EXPECT_EQ(RunTool({"verify", tree.Path("s3"), "--key", tree.Path("v3/VornPatch.ini")}, tree.root()).code, 0);

  const ToolResult back = RunTool({"diff", tree.Path("s3/patch.lst"), tree.Path("s1/patch.lst")}, tree.root());
  EXPECT_EQ(back.code, 1);
  EXPECT_NE(back.out.find("ROLLBACK the new list: its sequence 1 is below the old list's 3"), std::string::npos)
      << back.out;

  // Mirrors: --key judges each of them (s3 is signed with the new key only), and the
  // lists are ordered by their sequences.
  const ToolResult mirrors = RunTool(
      {"verify", tree.Path("s2"), tree.Path("s3"), tree.Path("s1"), "--key", "PUBLICKEY=" + oldKey}, tree.root());
  EXPECT_EQ(mirrors.code, 1);
  for (const char* mirror : {"s1", "s2"})
    EXPECT_NE(mirrors.out.find("LAGS   " + tree.Path(mirror) + ": holds an older patch.lst than " + tree.Path("s3")),
              std::string::npos)
        << mirror << " in:\n" << mirrors.out;
  const size_t refused = mirrors.out.find("none of the keys given");
  EXPECT_NE(refused, std::string::npos) << mirrors.out;
  EXPECT_EQ(mirrors.out.find("none of the keys given", refused + 1), std::string::npos) << mirrors.out;
}

}  // namespace
