// The publisher's tool against real FTP servers, with the Linux client (in-process,
// scripted window) patching installations from what it uploaded: a round trip, the
// next version, and an upload killed half-way.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/patcher.h"
#include "platform/ftp.h"
#include "publish/listing.h"
#include "publish/names.h"
#include "publish/tool_process.h"
#include "support/ftp_server.h"
#include "support/gzip_builder.h"
#include "support/scripted_window.h"
#include "support/temp_tree.h"
#include "support/vsftpd_server.h"

namespace {

using namespace zdtest;

// A stand-in for the patcher's own file: its -P step copies it over the installed
// patcher and stamps it with the listed time, as the real hand-off does.
const char kPatcher[] =
    "#!/bin/sh\n[ \"$1\" = -P ] && cp \"$2\" \"$3\" && touch -d \"$4 $5\" \"$3\" && rm -f \"$2\"\n";

// A file's contents in a form a failed comparison can print.
std::string Digest(const std::string& contents) {
  return std::to_string(contents.size()) + " bytes #" + std::to_string(std::hash<std::string>()(contents));
}

std::string Noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

class PublishRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pyftpd_.ok());
    ::chmod(tree_.root().c_str(), 0700);
    UsePyftpd();
  }

  void UsePyftpd() {
    port_ = pyftpd_.port();
    user_ = pyftpd_.user();
    password_ = pyftpd_.password();
    downloads_ = [this] { return pyftpd_.Retrs(); };
  }
  std::string Url() const { return "ftp://" + user_ + "@127.0.0.1:" + std::to_string(port_) + "/patch/"; }

  // A release file with its last-write time as local time.
  void Release(const std::string& release, const std::string& name, const std::string& contents,
               const std::string& stamp = "2021-03-10 15:00") {
    tree_.Write(release + "/" + name, contents);
    int y, m, d, hh, mm;
    ASSERT_EQ(std::sscanf(stamp.c_str(), "%d-%d-%d %d:%d", &y, &m, &d, &hh, &mm), 5);
    tree_.SetLocalMtime(release + "/" + name, y, m, d, hh, mm, 17);
  }

  ToolResult Tool(std::vector<std::string> args) {
    ScopedEnv password("ZIDODIRUV_FTP_PASSWORD", password_);
    return RunTool(args, tree_.root());
  }
  ToolResult Build(const std::string& release, const std::string& server, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"build", tree_.Path(release), tree_.Path(server), "--zone", "ZZZ-5"};
    args.insert(args.end(), more.begin(), more.end());
    return Tool(args);
  }
  ToolResult Upload(const std::string& server, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"upload", tree_.Path(server), Url()};
    args.insert(args.end(), more.begin(), more.end());
    return Tool(args);
  }
  std::unique_ptr<ToolProcess> StartUpload(const std::string& server) {
    ScopedEnv password("ZIDODIRUV_FTP_PASSWORD", password_);
    return std::make_unique<ToolProcess>(std::vector<std::string>{"upload", tree_.Path(server), Url()}, tree_.root());
  }

  // One run of the Linux client on the installation `name` (made when missing).
  void Client(const std::string& name) {
    const std::string dir = tree_.Path(name);
    MakeDirs(dir);
    tree_.Write("xdg/SOFTWARE/Brisco Entertainment/Tessary/SETUP PATH", dir + "/\n");
    tree_.Write(name + "/VornPatch.ini", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(port_) +
                                             "\nUSERID=" + user_ + "\nPASSWD=" + password_ +
                                             "\nBASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n");
    tree_.Write(name + "/Vorn.exe", "#!/bin/sh\nexit 0\n");
    ::chmod((dir + "/Vorn.exe").c_str(), 0755);
    ScriptedWindow::Get().Reset();
    ScriptedWindow::Get().SetDeadlineMs(60000);
    {
      Patcher patcher;
      ASSERT_TRUE(patcher.RunPatchWindow(nullptr));
    }
    ASSERT_FALSE(ScriptedWindow::Get().TimedOut()) << "the run did not end by itself";
    plat::FtpShutdown();
    for (const BoxRecord& box : ScriptedWindow::Get().Boxes()) ADD_FAILURE() << name << ": box " << box.text;
  }

  // Every file of an installation as "contents digest | listed stamp", by its name with
  // slashes; the settings, the stand-in game and the staging area left out.
  std::map<std::string, std::string> Installed(const std::string& name) const {
    std::map<std::string, std::string> out;
    for (const std::string& entry : TreeListing(tree_.Path(name))) {
      if (entry.back() == '/' || entry == "VornPatch.ini" || entry == "Vorn.exe" || entry.rfind("Update/", 0) == 0)
        continue;
      const std::string path = tree_.Path(name + "/" + entry);
      out[entry] = Digest(ReadFile(path)) + " | " + LocalStamp(path);
    }
    return out;
  }
  // What an installation holds after a run, by the list of a server folder and the
  // release it came from.
  std::map<std::string, std::string> Expected(const std::string& server, const std::string& release) const {
    std::vector<publish::ListedFile> lines;
    std::string error;
    EXPECT_TRUE(publish::ReadList(tree_.Path(server + "/patch.lst"), &lines, &error)) << error;
    std::map<std::string, std::string> out;
    for (const publish::ListedFile& line : lines) {
      if (line.kind == 'D') continue;
      const std::string name = publish::ToSlashes(line.local);
      out[name] = Digest(ReadFile(tree_.Path(release + "/" + name))) + " | " + line.stamp.date + " " + line.stamp.time;
    }
    return out;
  }
  // Whether the output has a line "<word> ... <name>".
  static bool Says(const std::string& out, const std::string& word, const std::string& name) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind(word + " ", 0) == 0 && line.find("  " + name) != std::string::npos) return true;
    }
    return false;
  }
  std::string ServerList() const { return ReadFile(pyftpd_.root() + "/patch/patch.lst"); }

  ScopedTimeZone zone_{"ZZZ-5"};
  FtpServerFixture pyftpd_{"publisher", "s3cret", true};
  TempTree tree_;
  ScopedEnv registry_{"XDG_CONFIG_DIRS", tree_.Path("xdg")};
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", ""};
  ScopedEnv tmp_{"TMPDIR", tree_.root()};
  uint16_t port_ = 0;
  std::string user_;
  std::string password_;
  std::function<int()> downloads_;
};

class PublishRoundTrip : public PublishRun, public ::testing::WithParamInterface<std::string> {};

TEST_P(PublishRoundTrip, AnEmptyInstallationEndsEqualToTheReleaseAndStaysCurrent) {
  std::unique_ptr<VsftpdServer> vsftpd;
  if (GetParam() == "vsftpd") {
    vsftpd = std::make_unique<VsftpdServer>(tree_.Path("vsftpd"));
    if (!vsftpd->skip.empty()) GTEST_SKIP() << vsftpd->skip;
    port_ = vsftpd->port;
    user_ = "anonymous";
    password_ = "guest";
    downloads_ = [&] { return vsftpd->Downloads(); };
  }
  Release("rel", "Data/Map/MAP01.Dat", SampleData(3 * 1024 * 1024 + 12345, 7));
  Release("rel", "Data/Sub/Deep/notes.txt", "deep down\r\n", "2020-12-31 23:59");
  Release("rel", "empty.dat", "", "2021-01-01 00:00");
  Release("rel", "Readme.TXT", SampleData(6000, 3), "2021-02-28 09:05");
  Release("rel", "ZidoDiruv.exe", kPatcher, "2021-03-01 12:00");
  ::chmod(tree_.Path("rel/ZidoDiruv.exe").c_str(), 0755);

  const ToolResult built = Build("rel", "srv", {"--patcher", "zidodiruv.EXE"});
  ASSERT_EQ(built.code, 0) << built.err;
  const std::string list = ReadFile(tree_.Path("srv/patch.lst"));
  EXPECT_EQ(list.rfind("# ", 0), 0u);
  EXPECT_NE(list.find("ZZZ-5\r\n"), std::string::npos) << list;
  EXPECT_NE(list.find("\r\nZ 2021-03-10 15:00 3158073:"), std::string::npos) << list;
  EXPECT_NE(list.find("\r\nC 2021-01-01 00:00 0 empty.dat empty.dat."), std::string::npos) << list;
  EXPECT_NE(list.find("\r\nP 2021-03-01 12:00 "), std::string::npos) << list;
  // The same inputs, the same bytes.
  ASSERT_EQ(Build("rel", "again", {"--patcher", "zidodiruv.EXE", "--jobs", "1"}).code, 0);
  const auto listing = TreeListing(tree_.Path("srv"));
  ASSERT_EQ(listing, TreeListing(tree_.Path("again")));
  for (const std::string& entry : listing) {
    if (entry.back() != '/') {
      EXPECT_EQ(ReadFile(tree_.Path("srv/" + entry)), ReadFile(tree_.Path("again/" + entry))) << entry;
    }
  }

  const ToolResult uploaded = Upload("srv");
  ASSERT_EQ(uploaded.code, 0) << uploaded.err;
  const ToolResult verified = Tool({"verify", Url(), "--deep"});
  EXPECT_EQ(verified.code, 0) << verified.out << verified.err;

  Client("game");
  // The stand-in patcher renews itself in a process of its own.
  const auto expected = Expected("srv", "rel");
  EXPECT_TRUE(WaitUntil([&] { return Installed("game") == expected; }, 10000));
  EXPECT_EQ(Installed("game"), expected);
  const int before = downloads_();
  Client("game");
  EXPECT_EQ(downloads_() - before, 1) << "only the list";
  EXPECT_EQ(Installed("game"), expected);
}

INSTANTIATE_TEST_SUITE_P(Servers, PublishRoundTrip, ::testing::Values("pyftpdlib", "vsftpd"),
                         [](const auto& info) { return info.param; });

TEST_F(PublishRun, TheNextVersionFetchesExactlyTheChangedFiles) {
  Release("v1", "a.dat", SampleData(20000, 1));
  Release("v1", "b.dat", "bbbb-1");
  Release("v1", "c.dat", "cccc");
  Release("v1", "Data/Map/MAP01.Dat", "map one");
  Release("v1", "same.dat", "unchanged");
  ASSERT_EQ(Build("v1", "srv1").code, 0);
  ASSERT_EQ(Upload("srv1").code, 0);
  Client("game");
  ASSERT_EQ(Installed("game"), Expected("srv1", "v1"));

  // The whole tree copied anew; one file changed with the same size and an earlier
  // time of day, one changed, one gone, one new, one renamed by case only.
  const std::string copied = "2021-03-12 10:00";
  Release("v2", "a.dat", SampleData(30000, 2), copied);
  Release("v2", "b.dat", "bbbb-2", "2021-03-09 14:00");
  Release("v2", "Data/Map/map01.dat", "map one", copied);
  Release("v2", "same.dat", "unchanged", copied);
  Release("v2", "d.dat", "a new file", copied);
  const std::vector<std::string> previous = {"--previous", tree_.Path("srv1/patch.lst")};
  const ToolResult refused = Build("v2", "srv2", previous);
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("Data\\Map\\map01.dat: is Data\\Map\\MAP01.Dat in the previous version"),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(FileExists(tree_.Path("srv2")));
  ASSERT_EQ(::rename(tree_.Path("v2/Data/Map/map01.dat").c_str(), tree_.Path("v2/Data/Map/MAP01.Dat").c_str()), 0);
  const ToolResult built = Build("v2", "srv2", previous);
  ASSERT_EQ(built.code, 0) << built.err;
  EXPECT_NE(built.out.find("moved forward: b.dat 2021-03-09 14:00 -> 2021-03-09 15:01"), std::string::npos)
      << built.out;

  // The dry run says the same as the client will do; without --previous, b.dat would
  // never arrive.
  const ToolResult diff = Tool({"diff", tree_.Path("srv1/patch.lst"), tree_.Path("srv2/patch.lst"), "--unchanged"});
  EXPECT_EQ(diff.code, 0) << diff.out;
  EXPECT_NE(diff.out.find("3 to fetch"), std::string::npos) << diff.out;
  EXPECT_TRUE(Says(diff.out, "delete", "c.dat")) << diff.out;
  EXPECT_TRUE(Says(diff.out, "keep", "same.dat")) << diff.out;
  ASSERT_EQ(Build("v2", "careless", {"--stored", ".DAT"}).code, 0);
  EXPECT_NE(ReadFile(tree_.Path("careless/patch.lst")).find("\r\nC 2021-03-12 10:00 30000 a.dat "), std::string::npos);
  const ToolResult careless =
      Tool({"diff", tree_.Path("srv1/patch.lst"), tree_.Path("careless/patch.lst.manifest.json")});
  EXPECT_EQ(careless.code, 1);
  EXPECT_TRUE(Says(careless.out, "NEVER", "b.dat")) << careless.out;

  ASSERT_EQ(Upload("srv2", {"--prune"}).code, 0);
  // The files only the first version named are gone from the server, the rest stay.
  std::vector<publish::ListedFile> v1;
  std::string error;
  ASSERT_TRUE(publish::ReadList(tree_.Path("srv1/patch.lst"), &v1, &error));
  for (const publish::ListedFile& line : v1) {
    const bool kept = line.local == "same.dat" || line.local == "Data\\Map\\MAP01.Dat";
    EXPECT_EQ(FileExists(pyftpd_.root() + "/patch/" + line.remote), kept) << line.remote;
  }

  const int before = pyftpd_.Retrs();
  Client("game");
  EXPECT_EQ(pyftpd_.Retrs() - before, 4) << "the list, a.dat, b.dat and d.dat";
  EXPECT_FALSE(FileExists(tree_.Path("game/c.dat")));
  EXPECT_EQ(Installed("game"), Expected("srv2", "v2"));
}

// A client that skipped a version gets the last one whole: a file that became a folder
// (its deletion comes first in the list), a file deleted and back, and one whose size
// went 10 -> 20 -> 10 bytes, both back at times that a client holding the first version
// would not take as newer, so build moves them on past every time listed before.
TEST_F(PublishRun, AClientThatSkippedAVersionGetsTheLastOne) {
  Release("v1", "Docs/readme.txt", "the old readme", "2021-03-10 12:00");
  Release("v1", "back.dat", "0123456789", "2021-03-10 23:00");
  Release("v1", "size.dat", "0123456789", "2021-03-10 23:00");
  Release("v1", "same.dat", "the same", "2021-03-10 10:00");
  ASSERT_EQ(Build("v1", "srv1").code, 0);
  ASSERT_EQ(Upload("srv1").code, 0);
  Client("game");
  ASSERT_EQ(Installed("game"), Expected("srv1", "v1"));

  Release("v2", "Docs/readme.txt/part.txt", "now a folder", "2021-03-11 09:00");
  Release("v2", "size.dat", "01234567890123456789", "2021-03-11 09:00");
  Release("v2", "same.dat", "the same", "2021-03-11 09:00");
  const ToolResult v2 = Build("v2", "srv2", {"--previous", tree_.Path("srv1/patch.lst")});
  ASSERT_EQ(v2.code, 0) << v2.err;
  Release("v3", "Docs/readme.txt/part.txt", "now a folder", "2021-03-11 09:00");
  Release("v3", "back.dat", "abcdefghij", "2021-03-09 08:00");
  Release("v3", "size.dat", "abcdefghij", "2021-03-09 08:00");
  Release("v3", "same.dat", "the same", "2021-03-12 09:00");
  const ToolResult v3 = Build("v3", "srv3", {"--previous", tree_.Path("srv2/patch.lst")});
  ASSERT_EQ(v3.code, 0) << v3.err;
  EXPECT_NE(v3.out.find("moved forward: back.dat 2021-03-09 08:00 -> 2021-03-09 23:01"), std::string::npos) << v3.out;
  EXPECT_NE(v3.out.find("moved forward: size.dat 2021-03-09 08:00 -> 2021-03-09 23:01"), std::string::npos) << v3.out;

  const ToolResult diff = Tool({"diff", tree_.Path("srv1/patch.lst"), tree_.Path("srv3/patch.lst")});
  EXPECT_EQ(diff.code, 0) << diff.out;
  EXPECT_NE(diff.out.find("delete"), std::string::npos);
  EXPECT_LT(diff.out.find("Docs\\readme.txt\n"), diff.out.find("Docs\\readme.txt\\part.txt")) << diff.out;
  for (const char* name : {"back.dat", "size.dat", "Docs\\readme.txt\\part.txt"})
    EXPECT_TRUE(Says(diff.out, "fetch", name)) << name << " in:\n" << diff.out;
  // Without its deletion first, a client holding the file could not make the folder.
  std::string list = ReadFile(tree_.Path("srv3/patch.lst"));
  const size_t deletion = list.find("D ");
  ASSERT_NE(deletion, std::string::npos);
  list.erase(deletion, list.find("\r\n", deletion) + 2 - deletion);
  tree_.Write("blind/patch.lst", list);
  const ToolResult blind = Tool({"diff", tree_.Path("srv1/patch.lst"), tree_.Path("blind/patch.lst")});
  EXPECT_EQ(blind.code, 1);
  EXPECT_TRUE(Says(blind.out, "NEVER", "Docs\\readme.txt\\part.txt")) << blind.out;

  ASSERT_EQ(Upload("srv3").code, 0);
  Client("game");
  EXPECT_EQ(Installed("game"), Expected("srv3", "v3"));
}

// The previous version's record, in part or not at all: a manifest of an earlier build
// of the tool (no history) is taken as it is, and without any manifest the hashes in the
// tool's remote names tell which files did not change, so they keep their listed times.
// Only a list the tool did not write is refused.
TEST_F(PublishRun, APreviousVersionWithoutItsWholeRecord) {
  Release("v1", "plain.dat", "plain", "2021-03-10 10:00");
  Release("v1", "packed.dat", SampleData(50000, 4), "2021-03-10 10:00");
  Release("v1", "changed.dat", "changed 1", "2021-03-10 10:00");
  ASSERT_EQ(Build("v1", "srv1").code, 0);
  const std::string copied = "2021-03-12 10:00";
  Release("v2", "plain.dat", "plain", copied);
  Release("v2", "packed.dat", SampleData(50000, 4), copied);
  Release("v2", "changed.dat", "changed 2", "2021-03-09 10:00");

  // The manifest as an earlier build wrote it: no "history" in its records.
  std::string manifest = ReadFile(tree_.Path("srv1/patch.lst.manifest.json"));
  const std::string history = "\"history\":{";
  ASSERT_NE(manifest.find(history), std::string::npos);
  for (size_t at; (at = manifest.find(history)) != std::string::npos;)
    manifest.erase(at, manifest.find('}', at) + 2 - at);
  WriteFile(tree_.Path("srv1/patch.lst.manifest.json"), manifest);
  const ToolResult upgraded = Build("v2", "srv2", {"--previous", tree_.Path("srv1/patch.lst")});
  ASSERT_EQ(upgraded.code, 0) << upgraded.err;

  ::unlink(tree_.Path("srv1/patch.lst.manifest.json").c_str());
  const ToolResult named = Build("v2", "srv3", {"--previous", tree_.Path("srv1/patch.lst")});
  ASSERT_EQ(named.code, 0) << named.err;
  EXPECT_NE(named.err.find("compared by the hashes in its remote names"), std::string::npos) << named.err;
  EXPECT_EQ(ReadFile(tree_.Path("srv3/patch.lst")), ReadFile(tree_.Path("srv2/patch.lst")));
  const ToolResult diff = Tool({"diff", tree_.Path("srv1/patch.lst"), tree_.Path("srv3/patch.lst")});
  EXPECT_NE(diff.out.find("1 to fetch"), std::string::npos) << diff.out;
  EXPECT_TRUE(Says(diff.out, "fetch", "changed.dat")) << diff.out;

  tree_.Write("hand/patch.lst", "C 2021-03-10 10:00 5 plain.dat plain.dat\r\n");
  const ToolResult hand = Build("v2", "srv4", {"--previous", tree_.Path("hand/patch.lst")});
  EXPECT_EQ(hand.code, 1);
  EXPECT_NE(hand.err.find("was not written by this tool"), std::string::npos) << hand.err;
}

TEST_F(PublishRun, AClientDuringAKilledAndRepeatedUploadGetsOneWholeVersion) {
  Release("v1", "a.dat", "first a");
  Release("v1", "b.dat", "first b");
  Release("v1", "packed.dat", SampleData(20000, 4));
  ASSERT_EQ(Build("v1", "srv1").code, 0);
  ASSERT_EQ(Upload("srv1").code, 0);
  const std::string list1 = ServerList();
  const auto version1 = Expected("srv1", "v1");
  for (int i = 0; i < 4; ++i) Release("v2", "big" + std::to_string(i) + ".dat", Noise(300000, i));
  Release("v2", "a.dat", "second a");
  Release("v2", "b.dat", "first b");
  ASSERT_EQ(Build("v2", "srv2").code, 0);
  const auto version2 = Expected("srv2", "v2");
  const auto logged = [&](const std::string& verb, const std::string& name) {
    int count = 0;
    for (const FtpLogEntry& entry : pyftpd_.Log()) {
      if (entry.verb == verb && entry.argument.find("/" + name + ".") != std::string::npos) ++count;
    }
    return count;
  };
  // The server holds a file's STOR until told otherwise: the upload stops right there.
  const auto holdAt = [&](const std::string& name) {
    FtpFaults hold;
    hold.holdStore = name;
    pyftpd_.SetFaults(hold);
  };

  // Killed while the third file is on its way: a.dat and big0.dat are in place.
  holdAt("big1.dat");
  auto upload = StartUpload("srv2");
  ASSERT_TRUE(FtpServerFixture::WaitFor([&] { return logged("STOR", "big1.dat") == 1; }, 60000));
  upload->Kill();
  EXPECT_EQ(logged("RNTO", "big0.dat"), 1);
  EXPECT_EQ(ServerList(), list1);
  Client("killed");
  EXPECT_EQ(Installed("killed"), version1);

  // Run again, held at its last step: every file of the next version and its manifest
  // are there, the list is not. verify judges the list in place, then and after a kill.
  holdAt("patch.lst.zdpart");
  upload = StartUpload("srv2");
  const auto listStored = [&] {
    int count = 0;
    for (const FtpLogEntry& entry : pyftpd_.Log())
      count += entry.verb == "STOR" && entry.argument == "/patch/patch.lst.zdpart";
    return count;
  };
  ASSERT_TRUE(FtpServerFixture::WaitFor([&] { return listStored() == 2; }, 60000));  // the first was version 1's
  EXPECT_EQ(logged("RNTO", "big1.dat"), 1);
  EXPECT_EQ(ServerList(), list1);
  Client("held");
  EXPECT_EQ(Installed("held"), version1);
  const auto verifies = [&](const char* when) {
    const ToolResult verified = Tool({"verify", Url(), "--deep"});
    EXPECT_EQ(verified.code, 0) << when << ": " << verified.out << verified.err;
    // Messages name the server's files, never the tool's local copies.
    EXPECT_EQ((verified.out + verified.err).find(tree_.root()), std::string::npos) << verified.out << verified.err;
  };
  verifies("during the last step");
  upload->Kill();
  verifies("after a kill at the last step");
  // Then to its end with clients running all along.
  pyftpd_.ClearFaults();
  upload = StartUpload("srv2");
  int runs = 0;
  do {
    const std::string name = "during" + std::to_string(runs++);
    Client(name);
    const auto installed = Installed(name);
    EXPECT_TRUE(installed == version1 || installed == version2)
        << name << " holds " << ::testing::PrintToString(installed) << "\nversion 1: " << ::testing::PrintToString(version1)
        << "\nversion 2: " << ::testing::PrintToString(version2) << "\nTREE " << ::testing::PrintToString(TreeListing(tree_.Path(name)))
        << "\nLIST " << ServerList();
  } while (upload->Running() && !HasFailure());
  EXPECT_EQ(upload->Wait(), 0) << upload->Err();
  EXPECT_EQ(ServerList(), ReadFile(tree_.Path("srv2/patch.lst")));
  // What was in place before the kill was not stored again.
  EXPECT_EQ(logged("STOR", "big0.dat"), 1);
  EXPECT_EQ(logged("STOR", "big3.dat"), 1);
  Client("late");
  EXPECT_EQ(Installed("late"), version2);
}

// Two mirrors of one name, vsftpd (where it runs) and pyftpdlib: a client may read the
// list on one and fetch a file from the other, so no list moves until both hold every
// file. One goes down during the data: neither list moves, and the rerun finishes both.
// verify names a mirror that lags and one that misses a file.
TEST_F(PublishRun, MirrorsGetTheNewListOnlyOnceEveryMirrorHoldsEveryFile) {
  auto vsftpd = std::make_unique<VsftpdServer>(tree_.Path("vsftpd"));
  std::unique_ptr<FtpServerFixture> other;
  std::string a, aRoot;
  if (vsftpd->skip.empty()) {
    a = "ftp://anonymous@127.0.0.1:" + std::to_string(vsftpd->port) + "/patch/";
    aRoot = vsftpd->root() + "/patch/";
  } else {
    other = std::make_unique<FtpServerFixture>(user_, password_, true);
    ASSERT_TRUE(other->ok());
    a = "ftp://" + user_ + "@127.0.0.1:" + std::to_string(other->port()) + "/patch/";
    aRoot = other->root() + "/patch/";
  }
  const std::string bRoot = pyftpd_.root() + "/patch/";
  const auto listed = [&](const std::string& server) {
    std::vector<publish::ListedFile> lines;
    std::string error;
    EXPECT_TRUE(publish::ReadList(tree_.Path(server + "/patch.lst"), &lines, &error)) << error;
    return lines;
  };
  const auto stores = [&](const std::string& name) {
    int count = 0;
    for (const FtpLogEntry& entry : pyftpd_.Log()) count += entry.verb == "STOR" && entry.argument.find(name) != std::string::npos;
    return count;
  };
  const auto start = [&](const std::string& server, std::vector<std::string> more = {}, bool terminal = false) {
    ScopedEnv password("ZIDODIRUV_FTP_PASSWORD", password_);
    std::vector<std::string> args = {"upload", tree_.Path(server), a, Url()};
    args.insert(args.end(), more.begin(), more.end());
    return std::make_unique<ToolProcess>(args, tree_.root(), terminal);
  };

  Release("v1", "a.dat", "first a");
  Release("v1", "gone.dat", "only in the first version");
  ASSERT_EQ(Build("v1", "srv1").code, 0);
  ASSERT_EQ(start("srv1")->Wait(), 0);
  const std::string list1 = ReadFile(tree_.Path("srv1/patch.lst"));
  ASSERT_EQ(ReadFile(aRoot + "patch.lst"), list1);
  ASSERT_EQ(ReadFile(bRoot + "patch.lst"), list1);
  Release("v2", "a.dat", "second a");
  for (int i = 0; i < 3; ++i) Release("v2", "big" + std::to_string(i) + ".dat", Noise(300000, i));
  ASSERT_EQ(Build("v2", "srv2", {"--previous", tree_.Path("srv1/patch.lst")}).code, 0);
  const std::string list2 = ReadFile(tree_.Path("srv2/patch.lst"));

  // The second mirror goes down while it receives a file, after the first has them all.
  FtpFaults hold;
  hold.holdStore = "big1.dat";
  pyftpd_.SetFaults(hold);
  auto upload = start("srv2");
  const auto allOn = [&](const std::string& root) {
    for (const publish::ListedFile& line : listed("srv2")) {
      if (line.kind != 'D' && !FileExists(root + line.remote)) return false;
    }
    return true;
  };
  ASSERT_TRUE(FtpServerFixture::WaitFor([&] { return allOn(aRoot) && stores("big1.dat") == 1; }, 60000))
      << upload->Err();
  pyftpd_.Kill();
  EXPECT_EQ(upload->Wait(), 3);
  EXPECT_NE(upload->Err().find(Url() + ": cannot "), std::string::npos) << upload->Err();
  EXPECT_NE(upload->Err().find("no list has moved on any mirror"), std::string::npos) << upload->Err();
  EXPECT_EQ(ReadFile(aRoot + "patch.lst"), list1);
  EXPECT_EQ(ReadFile(bRoot + "patch.lst"), list1);

  // Back, and run again, held at its last step: the first mirror has the new list,
  // the second the old one, and lost a file of the new one meanwhile.
  hold.holdStore = "patch.lst.zdpart";
  pyftpd_.SetFaults(hold);
  ASSERT_TRUE(pyftpd_.Restart());
  port_ = pyftpd_.port();
  upload = start("srv2");
  ASSERT_TRUE(FtpServerFixture::WaitFor([&] { return stores("/patch/patch.lst.zdpart") == 2; }, 60000))
      << upload->Err();
  upload->Kill();
  EXPECT_EQ(ReadFile(aRoot + "patch.lst"), list2);
  EXPECT_EQ(ReadFile(bRoot + "patch.lst"), list1);
  std::string lost;
  for (const publish::ListedFile& line : listed("srv2")) {
    if (line.local == "big0.dat") lost = line.remote;
  }
  ASSERT_EQ(::unlink((bRoot + lost).c_str()), 0);
  const ToolResult lagging = Tool({"verify", a, Url()});
  EXPECT_EQ(lagging.code, 1);
  EXPECT_NE(lagging.out.find("LAGS   " + Url() + ": holds an older patch.lst than " + a), std::string::npos)
      << lagging.out;
  EXPECT_NE(lagging.out.find(lost + " (big0.dat): missing on " + Url() + ", named by the patch.lst on " + a),
            std::string::npos)
      << lagging.out;

  // To its end, pruned, with each mirror's progress on a terminal.
  pyftpd_.ClearFaults();
  upload = start("srv2", {"--prune"}, true);
  EXPECT_EQ(upload->Wait(), 0) << upload->Err();
  EXPECT_NE(upload->Err().find(a + "  "), std::string::npos) << upload->Err();
  EXPECT_NE(upload->Err().find(Url() + "  "), std::string::npos) << upload->Err();
  for (const std::string& root : {aRoot, bRoot}) {
    EXPECT_EQ(ReadFile(root + "patch.lst"), list2) << root;
    EXPECT_TRUE(allOn(root)) << root;
    for (const publish::ListedFile& line : listed("srv1"))
      EXPECT_FALSE(FileExists(root + line.remote)) << root << line.remote;
  }
  // A password in an address is never shown.
  const std::string withPassword = "ftp://" + user_ + ":" + password_ + Url().substr(6 + user_.size());
  const ToolResult same = Tool({"verify", a, withPassword});
  EXPECT_EQ(same.code, 0) << same.out << same.err;
  EXPECT_NE(same.out.find(a + " and " + Url() + ": the same patch.lst"), std::string::npos) << same.out;
  EXPECT_EQ((same.out + same.err).find(":" + password_ + "@"), std::string::npos) << same.out << same.err;
}

// The password from ~/.netrc (the host's entry, else "default"); a refused log-on or
// write shows the server's own reply, who logged on and where the password came from.
TEST_F(PublishRun, NetrcAndTheServersOwnReplies) {
  Release("v1", "a.dat", "a");
  ASSERT_EQ(Build("v1", "srv").code, 0);
  ScopedEnv home("HOME", tree_.Path("home"));
  const std::string password = password_;
  password_ = "";  // ZIDODIRUV_FTP_PASSWORD empty: not set
  const std::string url = "ftp://127.0.0.1:" + std::to_string(port_) + "/patch/";
  tree_.Write("home/.netrc", "machine elsewhere login " + user_ + " password wrong\n"
                             "default login " + user_ + " password \"" + password + "\"\n");
  const ToolResult uploaded = Tool({"upload", tree_.Path("srv"), url});
  EXPECT_EQ(uploaded.code, 0) << uploaded.err;
  EXPECT_EQ(ServerList(), ReadFile(tree_.Path("srv/patch.lst")));

  tree_.Write("home/.netrc", "machine 127.0.0.1\n  login " + user_ + "\n  password wrong\n");
  const ToolResult refused = Tool({"verify", url});
  EXPECT_EQ(refused.code, 3);
  const std::vector<std::string> logOn = {"as " + user_, "\"530 Authentication failed.\"",
                                         "came from " + tree_.Path("home/.netrc"), "ZIDODIRUV_FTP_PASSWORD"};
  for (const std::string& part : logOn)
    EXPECT_NE(refused.err.find(part), std::string::npos) << part << " in: " << refused.err;

  FtpServerFixture readOnly(user_, password);
  port_ = readOnly.port();
  password_ = password;
  const ToolResult unwritten = Upload("srv");
  EXPECT_EQ(unwritten.code, 3);
  const std::vector<std::string> write = {"\"550 ", "logged on as " + user_, "password from ZIDODIRUV_FTP_PASSWORD"};
  for (const std::string& part : write)
    EXPECT_NE(unwritten.err.find(part), std::string::npos) << part << " in: " << unwritten.err;
}

// Two lists in one server folder: pruning one removes what its own earlier versions
// named, never a file the other list names (also one both named) or one no list of
// this tool stored.
TEST_F(PublishRun, PruneRemovesOnlyWhatItsOwnListNamed) {
  Release("a1", "shared.dat", "in both lists");
  Release("a1", "a-only.dat", "first version of patch.lst only");
  Release("t1", "shared.dat", "in both lists");
  Release("t1", "t-only.dat", "test.lst only");
  Release("a2", "a-two.dat", "second version of patch.lst");
  ASSERT_EQ(Build("a1", "sa1").code, 0);
  ASSERT_EQ(Build("t1", "st1", {"--list", "test.lst"}).code, 0);
  ASSERT_EQ(Build("a2", "sa2").code, 0);
  ASSERT_EQ(Upload("sa1").code, 0);
  ASSERT_EQ(Upload("st1", {"--list", "test.lst"}).code, 0);
  const std::string stray = pyftpd_.WriteFile("patch/stray.dat.0123456789abcdef", "put there by hand");
  const ToolResult pruned = Upload("sa2", {"--prune"});
  ASSERT_EQ(pruned.code, 0) << pruned.err;
  EXPECT_NE(pruned.out.find("1 obsolete files removed"), std::string::npos) << pruned.out;

  const auto onServer = [&](const std::string& server, const std::string& list, const std::string& local) {
    std::vector<publish::ListedFile> lines;
    std::string error;
    EXPECT_TRUE(publish::ReadList(tree_.Path(server + "/" + list), &lines, &error)) << error;
    for (const publish::ListedFile& line : lines) {
      if (line.local == local) return FileExists(pyftpd_.root() + "/patch/" + line.remote);
    }
    ADD_FAILURE() << local << " is not in " << server;
    return false;
  };
  EXPECT_FALSE(onServer("sa1", "patch.lst", "a-only.dat"));
  EXPECT_TRUE(onServer("sa1", "patch.lst", "shared.dat"));
  EXPECT_TRUE(onServer("st1", "test.lst", "t-only.dat"));
  EXPECT_TRUE(onServer("sa2", "patch.lst", "a-two.dat"));
  EXPECT_TRUE(FileExists(stray));
  EXPECT_EQ(ReadFile(pyftpd_.root() + "/patch/test.lst"), ReadFile(tree_.Path("st1/test.lst")));
}

// A signed version on a real server: verify with the key passes while the server holds
// what was signed, and finds a file replaced by other bytes of the same size and a list
// changed after it was signed. A patcher without a key installs the signed list as it
// does an unsigned one.
TEST_F(PublishRun, ASignedVersionOnTheServer) {
  const ToolResult key = Tool({"keygen", tree_.Path("publisher.key")});
  ASSERT_EQ(key.code, 0) << key.err;
  const std::string publicKey = key.out.substr(0, key.out.find('\n'));
  Release("v1", "a.dat", "first a");
  Release("v1", "Data/map.dat", SampleData(300000, 5));
  ASSERT_EQ(Build("v1", "srv1", {"--sign", tree_.Path("publisher.key")}).code, 0);
  ASSERT_EQ(Upload("srv1").code, 0);
  const std::vector<std::string> verify = {"verify", Url(), "--key", publicKey};
  const ToolResult whole = Tool(verify);
  EXPECT_EQ(whole.code, 0) << whole.out << whole.err;
  EXPECT_NE(whole.out.find("verified with the key given"), std::string::npos) << whole.out;
  Client("game");
  EXPECT_EQ(Installed("game"), Expected("srv1", "v1"));

  std::vector<publish::ListedFile> lines;
  std::string error;
  ASSERT_TRUE(publish::ReadList(tree_.Path("srv1/patch.lst"), &lines, &error)) << error;
  ASSERT_EQ(lines.front().local, "a.dat");
  const std::string plain = "patch/" + lines.front().remote;
  pyftpd_.WriteFile(plain, "FIRST A");
  const ToolResult replaced = Tool(verify);
  EXPECT_EQ(replaced.code, 1);
  EXPECT_NE(replaced.out.find("FAULT  " + lines.front().remote + " (a.dat): changed"), std::string::npos)
      << replaced.out;
  pyftpd_.WriteFile(plain, "first a");

  std::string list = ServerList();
  const size_t at = list.find("\r\nC 2021-03-10 15:00 7 a.dat");
  ASSERT_NE(at, std::string::npos) << list;
  list[at + 18] = '1';  // listed ten minutes later
  pyftpd_.WriteFile("patch/patch.lst", list);
  const ToolResult tampered = Tool(verify);
  EXPECT_EQ(tampered.code, 1);
  EXPECT_NE(tampered.out.find("FAULT  patch.lst: its signature does not match its bytes"), std::string::npos)
      << tampered.out;
}

}  // namespace
