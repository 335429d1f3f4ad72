// Whole patch runs on a Linux disk with lists written for Windows: names in another
// case, permission bits, and links in the installation that lead elsewhere. The real
// FTP client against a real FTP server, real files, the scripted window.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/gzip_builder.h"
#include "support/patch_run.h"

namespace {

using namespace zdtest;

using DiskRun = PatchRunTest;

TEST_F(DiskRun, AnUpdatedFileKeepsItsPermissionBitsAndTheGameStillStarts) {
  tree_.Write("game/Vorn.exe", "#!/bin/sh\nexit 1\n");
  ::chmod(Local("Vorn.exe").c_str(), 0750);
  tree_.WriteStale("game/private.dat", "old");
  ::chmod(Local("private.dat").c_str(), 0600);
  tree_.WriteStale("game/shared.pak", "old");
  ::chmod(Local("shared.pak").c_str(), 0444);  // read-only: made writable to be replaced
  server_.WriteFile("patch/Vorn.exe", GameScript());
  server_.WriteFile("patch/private.dat", "new private");
  server_.WriteFile("patch/shared.pak.gz", Gzip("unpacked"));
  server_.WriteFile("patch/fresh.dat", "fresh");
  const size_t gameSize = GameScript().size();
  List("C 2002-06-01 14:30 " + std::to_string(gameSize) + " Vorn.exe Vorn.exe\n"
       "C 2002-06-01 14:30 11 private.dat private.dat\n"
       "Z 2002-06-01 14:30 8:" + std::to_string(Gzip("unpacked").size()) + " shared.pak shared.pak.gz\n"
       "C 2002-06-01 14:30 5 fresh.dat fresh.dat\n");
  Run();
  ASSERT_TRUE(GameStarted()) << "the updated game lost its execute bits";
  EXPECT_EQ(ReadFile(GameLog()), "-U\n");
  EXPECT_EQ(ModeOf(Local("Vorn.exe")), 0750u);
  EXPECT_EQ(ReadFile(Local("private.dat")), "new private");
  EXPECT_EQ(ModeOf(Local("private.dat")), 0600u);
  EXPECT_EQ(ReadFile(Local("shared.pak")), "unpacked");
  EXPECT_EQ(ModeOf(Local("shared.pak")), 0644u);  // the read-only bit goes, as on Windows
  const mode_t mask = ::umask(022);
  ::umask(mask);
  EXPECT_EQ(ModeOf(Local("fresh.dat")), 0666u & ~mask);
}

TEST_F(DiskRun, AGameFileNewToTheInstallationIsStarted) {
  server_.WriteFile("patch/Vorn.exe", GameScript());
  List("C 2002-06-01 14:30 " + std::to_string(GameScript().size()) + " Vorn.exe Vorn.exe\n");
  Run();
  ASSERT_TRUE(GameStarted());
  EXPECT_NE(ModeOf(Local("Vorn.exe")) & 0100, 0u);
}

TEST_F(DiskRun, ListNamesMatchTheDiskIgnoringCase) {
  tree_.Write("game/vorn.exe", GameScript());
  ::chmod(Local("vorn.exe").c_str(), 0755);
  tree_.WriteStale("game/data/a.dat", "stale");
  tree_.Write("game/data/old.dat", "old");
  tree_.WriteStale("game/data/big.pak", "stale");
  tree_.Write("game/data/current.dat", "same");
  tree_.SetLocalMtime("game/data/current.dat", 2002, 6, 1, 14, 30);
  tree_.MakeDirs("game/update/data");
  server_.WriteFile("patch/data/a.dat", "alpha");
  server_.WriteFile("patch/data/big.pak.gz", Gzip("big pak"));
  server_.WriteFile("patch/data/current.dat", "XXXX");
  List("D 2002-06-01 14:30 0 DATA\\Old.dat Old.dat\n"
       "C 2002-06-01 14:30 5 Data\\A.dat data/a.dat\n"
       "C 2002-06-01 14:30 4 Data\\CURRENT.dat data/current.dat\n"
       "Z 2002-06-01 14:30 7:" + std::to_string(Gzip("big pak").size()) + " dAtA\\Big.PAK data/big.pak.gz\n");
  Run();
  ASSERT_TRUE(GameStarted());  // found as vorn.exe
  // Each listed file replaced its namesake; nothing was created beside it.
  EXPECT_EQ(SortedNames(Local("")), (std::vector<std::string>{"VornPatch.ini", "data", "update", "vorn.exe"}));
  EXPECT_EQ(SortedNames(Local("data")), (std::vector<std::string>{"a.dat", "big.pak", "current.dat"}));
  EXPECT_EQ(ReadFile(Local("data/a.dat")), "alpha");
  EXPECT_EQ(ReadFile(Local("data/big.pak")), "big pak");
  EXPECT_EQ(ReadFile(Local("data/current.dat")), "same");
  // The list and the two stale files; the current one was judged by its real name.
  EXPECT_EQ(server_.Retrs(), 3);
  EXPECT_FALSE(FileExists(Local("update/data")));  // emptied, removed by its other spelling
}

TEST_F(DiskRun, NothingOutsideIsWrittenOrDeletedThroughALinkInTheInstallation) {
  InstallGame();
  tree_.Write("victim/Old.dat", "keep me");
  tree_.Write("victim/a.dat", "not yours");
  tree_.Write("victim/ro.dat", "read-only");
  ::chmod(tree_.Path("victim/ro.dat").c_str(), 0444);
  ASSERT_EQ(::symlink(tree_.Path("victim").c_str(), Local("Data").c_str()), 0);
  ASSERT_EQ(::symlink("../victim/ro.dat", Local("ro.dat").c_str()), 0);
  server_.WriteFile("patch/a.dat", "written outside");
  server_.WriteFile("patch/ro.dat", "mine");
  // The refused entry comes last: whatever the run does after a failed installation,
  // the other two have been tried by then.
  List("D 2002-06-01 14:30 0 data\\Old.dat Old.dat\n"
       "C 2002-06-01 14:30 4 ro.dat ro.dat\n"
       "C 2002-06-01 14:30 15 Data\\a.dat a.dat\n");
  Run();
  EXPECT_EQ(SortedNames(tree_.Path("victim")), (std::vector<std::string>{"Old.dat", "a.dat", "ro.dat"}));
  EXPECT_EQ(ReadFile(tree_.Path("victim/Old.dat")), "keep me");
  EXPECT_EQ(ReadFile(tree_.Path("victim/a.dat")), "not yours");
  EXPECT_EQ(ReadFile(tree_.Path("victim/ro.dat")), "read-only");
  EXPECT_EQ(ModeOf(tree_.Path("victim/ro.dat")), 0444u);
  // The file link itself was inside: it was replaced by the new file.
  EXPECT_FALSE(IsLink(Local("ro.dat")));
  EXPECT_EQ(ReadFile(Local("ro.dat")), "mine");
  EXPECT_TRUE(IsLink(Local("Data")));
}

TEST_F(DiskRun, AStagingLinkSendsNoDownloadUnpackOrCleanUpOutside) {
  InstallGame();
  // What the staging paths would name outside: clean-up must not remove them.
  tree_.Write("victim/x.dat", "planted");
  tree_.Write("victim/y.pak.gz", "planted");
  ASSERT_EQ(::symlink("../victim", Local("Update").c_str()), 0);
  server_.WriteFile("patch/x.dat", "x");
  server_.WriteFile("patch/y.pak.gz", Gzip("y"));
  List("C 2002-06-01 14:30 1 x.dat x.dat\n"
       "Z 2002-06-01 14:30 1:" + std::to_string(Gzip("y").size()) + " y.pak y.pak.gz\n");
  Run();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"The path leads out of the game folder through a link."});
  EXPECT_EQ(SortedNames(tree_.Path("victim")), (std::vector<std::string>{"x.dat", "y.pak.gz"}));
  EXPECT_EQ(ReadFile(tree_.Path("victim/x.dat")), "planted");
  EXPECT_FALSE(FileExists(Local("x.dat")));
  EXPECT_FALSE(FileExists(Local("y.pak")));
}

}  // namespace
