// The files service's promises for an installation: names matched ignoring ASCII case,
// nothing done through a link that leads out, and permission bits that survive a
// replacement. Real files and links in a temporary tree; the "victim" directory lies
// beside the installation, never inside it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/posix/files_posix.h"
#include "support/temp_tree.h"

namespace {

using zdtest::FileExists;
using zdtest::IsLink;
using zdtest::ModeOf;
using zdtest::ReadFile;
using zdtest::TempTree;
using zdtest::SortedNames;

// The path with every link resolved, as ResolvePath names what it finds.
std::string Real(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

mode_t Umask() {
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

// A tree with an installation "game" and a directory beside it; the installation is
// declared for the test and ended after it.
class Installation : public ::testing::Test {
 protected:
  void SetUp() override { tree_.MakeDirs("game"); }
  void TearDown() override { plat::CloseInstallation(); }
  void Open() { ASSERT_TRUE(plat::OpenInstallation(Game("").c_str())); }
  std::string Game(const std::string& rel) const { return tree_.Path("game/" + rel); }
  std::string Resolved(const std::string& path) {
    char out[1024];
    return plat::ResolvePath(path.c_str(), out, sizeof out) ? std::string(out) : std::string("(refused)");
  }
  std::string Staged(const std::string& contents) { return tree_.Write("staged/file", contents); }

  TempTree tree_;
};

using InstallationNames = Installation;

TEST_F(InstallationNames, EveryCallUsesTheDiskSpellingOfEachComponent) {
  tree_.Write("game/data/Map01.dat", "old");
  tree_.Write("game/data/Old.dat", "old");
  tree_.Write("game/update/data/Map01.dat", "staged");
  tree_.Write("game/update/data/Big.pak.gz", "gz");
  Open();

  plat::FileStatus st;
  ASSERT_TRUE(plat::QueryFile(Game("DATA/map01.DAT").c_str(), &st));
  EXPECT_EQ(st.size, 3u);
  EXPECT_EQ(Resolved(Game("Update/DATA/big.PAK.gz")), Real(Game("update/data/Big.pak.gz")));

  // The staged file replaces the old one: no second file beside it, no new directory.
  ASSERT_TRUE(plat::MakeWritable(Game("Data/MAP01.dat").c_str()));
  ASSERT_TRUE(plat::RenameOver(Game("Update/Data/Map01.dat").c_str(), Game("Data/MAP01.dat").c_str()));
  EXPECT_EQ(SortedNames(Game("")), (std::vector<std::string>{"data", "update"}));
  EXPECT_EQ(SortedNames(Game("data")), (std::vector<std::string>{"Map01.dat", "Old.dat"}));
  EXPECT_EQ(ReadFile(Game("data/Map01.dat")), "staged");

  EXPECT_FALSE(plat::MakeDirectory(Game("Data").c_str()));  // there, in another spelling
  EXPECT_EQ(plat::LastErrorCode(), static_cast<uint32_t>(EEXIST));
  ASSERT_TRUE(plat::RemoveFile(Game("Data/old.DAT").c_str()));
  EXPECT_FALSE(FileExists(Game("data/Old.dat")));

  // New components are created as the caller spells them, below the existing ones.
  ASSERT_TRUE(plat::MakeDirectory(Game("DATA/Maps").c_str()));
  plat::TimesHandle times = plat::OpenForTimes(Game("Data/maps/New.dat").c_str());
  ASSERT_NE(times, nullptr);
  plat::CloseTimes(times);
  std::FILE* out = plat::OpenFileForWriting(Game("data/MAPS/Unpacked.dat").c_str());
  ASSERT_NE(out, nullptr);
  std::fputs("unpacked", out);
  std::fclose(out);
  EXPECT_EQ(SortedNames(Game("data/Maps")), (std::vector<std::string>{"New.dat", "Unpacked.dat"}));
  ASSERT_TRUE(plat::CopyOver(Game("data/Maps/Unpacked.dat").c_str(), Game("DATA/maps/unpacked.DAT").c_str()));
  EXPECT_EQ(SortedNames(Game("data/Maps")), (std::vector<std::string>{"New.dat", "Unpacked.dat"}));
  ASSERT_TRUE(plat::RemoveFile(Game("data/maps/new.dat").c_str()));
  ASSERT_TRUE(plat::RemoveFile(Game("data/maps/unpacked.dat").c_str()));
  ASSERT_TRUE(plat::RemoveEmptyDirectory(Game("DATA/MAPS").c_str()));
  EXPECT_EQ(SortedNames(Game("data")), (std::vector<std::string>{"Map01.dat"}));

  // Once the installation is ended, paths are used as given again.
  plat::CloseInstallation();
  EXPECT_FALSE(plat::QueryFile(Game("DATA/map01.DAT").c_str(), &st));
  EXPECT_TRUE(plat::QueryFile(Game("data/Map01.dat").c_str(), &st));
}

TEST_F(InstallationNames, EntriesDifferingOnlyInCaseExactSpellingFirstElseByteOrder) {
  tree_.Write("game/Data/x.dat", "Data");
  tree_.Write("game/data/x.dat", "data");
  tree_.Write("game/data/A.dat", "upper");
  tree_.Write("game/data/a.dat", "lower");
  Open();
  plat::FileStatus st;
  // Exact spellings find their own entry.
  ASSERT_TRUE(plat::QueryFile(Game("data/a.dat").c_str(), &st));
  EXPECT_EQ(st.size, 5u);
  ASSERT_TRUE(plat::QueryFile(Game("Data/x.dat").c_str(), &st));
  EXPECT_EQ(st.size, 4u);
  // Other spellings take the first in byte order: "Data" before "data", "A.dat" before "a.dat".
  EXPECT_EQ(Resolved(Game("DATA/x.dat")), Real(Game("Data/x.dat")));
  EXPECT_EQ(Resolved(Game("data/A.DAT")), Real(Game("data/A.dat")));
  ASSERT_TRUE(plat::RemoveFile(Game("data/A.DAT").c_str()));
  EXPECT_EQ(SortedNames(Game("data")), (std::vector<std::string>{"a.dat", "x.dat"}));
  // With the upper-case one gone, the lower-case one is what every spelling finds.
  ASSERT_TRUE(plat::QueryFile(Game("data/A.DAT").c_str(), &st));
  EXPECT_EQ(st.size, 5u);
}

TEST_F(InstallationNames, RememberedListingsFollowTheServicesOwnChangesAndOthersExactNames) {
  Open();
  plat::FileStatus st;
  // A miss lists the root; later creations must still be seen in any spelling.
  EXPECT_FALSE(plat::QueryFile(Game("update/x/y.dat").c_str(), &st));
  ASSERT_TRUE(plat::MakeDirectory(Game("Update").c_str()));
  EXPECT_FALSE(plat::MakeDirectory(Game("UPDATE").c_str()));
  ASSERT_TRUE(plat::MakeDirectory(Game("update/X").c_str()));
  const int fd = plat::OpenFileDescriptor(Game("UPDATE/x/Y.dat.part").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  ASSERT_GE(fd, 0);
  ::close(fd);
  ASSERT_TRUE(plat::RenameOver(Game("update/X/y.DAT.PART").c_str(), Game("Update/x/Y.dat").c_str()));
  ASSERT_TRUE(plat::QueryFile(Game("update/x/y.dat").c_str(), &st));
  EXPECT_EQ(SortedNames(Game("Update/X")), (std::vector<std::string>{"Y.dat"}));
  ASSERT_TRUE(plat::RemoveFile(Game("UPDATE/X/Y.DAT").c_str()));
  EXPECT_FALSE(plat::QueryFile(Game("update/x/y.dat").c_str(), &st));
  ASSERT_TRUE(plat::RemoveEmptyDirectory(Game("update/x").c_str()));
  EXPECT_FALSE(plat::QueryFile(Game("update/x").c_str(), &st));
  // Made again in another spelling: the new one is what is found.
  ASSERT_TRUE(plat::MakeDirectory(Game("UPDATE/x").c_str()));
  EXPECT_EQ(SortedNames(Game("Update")), (std::vector<std::string>{"x"}));
  EXPECT_TRUE(plat::QueryFile(Game("update/X").c_str(), &st) && st.isDirectory);
  // Removed by someone else: the removal that finds it gone forgets it, so it can be made again.
  ::rmdir(Game("Update/x").c_str());
  EXPECT_FALSE(plat::RemoveEmptyDirectory(Game("update/x").c_str()));
  EXPECT_TRUE(plat::MakeDirectory(Game("UPDATE/x").c_str()));

  // Made by someone else after the listing: found as spelled on disk, gone when removed.
  tree_.Write("game/Update/Other.dat", "12");
  ASSERT_TRUE(plat::QueryFile(Game("Update/Other.dat").c_str(), &st));
  EXPECT_EQ(st.size, 2u);
  ::unlink(Game("Update/Other.dat").c_str());
  EXPECT_FALSE(plat::QueryFile(Game("update/other.dat").c_str(), &st));
}

using InstallationLinks = Installation;

TEST_F(InstallationLinks, NothingIsDoneThroughALinkThatLeadsOut) {
  tree_.Write("victim/a.dat", "victim");
  tree_.Write("victim/Old.dat", "keep");
  tree_.Write("victim/ro.dat", "read-only");
  ::chmod(tree_.Path("victim/ro.dat").c_str(), 0444);
  ASSERT_EQ(::symlink(tree_.Path("victim").c_str(), Game("Data").c_str()), 0);  // absolute
  ASSERT_EQ(::symlink("../victim", Game("Update").c_str()), 0);                  // relative
  ASSERT_EQ(::symlink("../victim/ro.dat", Game("ro.dat").c_str()), 0);
  tree_.MakeDirs("game/sub");
  ASSERT_EQ(::symlink("../../victim", Game("sub/up").c_str()), 0);
  Open();
  const std::string staged = Staged("new");
  const uint32_t kOut = plat::kFileErrorOutsideInstallation;
  const std::vector<std::string> victim = SortedNames(tree_.Path("victim"));

  EXPECT_FALSE(plat::RenameOver(staged.c_str(), Game("data/a.dat").c_str()));
  EXPECT_EQ(plat::LastErrorCode(), kOut);
  EXPECT_FALSE(plat::CopyOver(staged.c_str(), Game("Data/a.dat").c_str()));
  EXPECT_EQ(plat::LastErrorCode(), kOut);
  EXPECT_FALSE(plat::RemoveFile(Game("DATA/old.dat").c_str()));
  EXPECT_EQ(plat::LastErrorCode(), kOut);
  EXPECT_FALSE(plat::MakeDirectory(Game("Update/Data").c_str()));
  EXPECT_EQ(plat::LastErrorCode(), kOut);
  EXPECT_EQ(plat::OpenFileForWriting(Game("update/a.dat").c_str()), nullptr);
  EXPECT_EQ(plat::LastErrorCode(), kOut);
  EXPECT_EQ(plat::OpenFileDescriptor(Game("Update/a.dat.part").c_str(), O_WRONLY | O_CREAT, 0666), -1);
  EXPECT_EQ(plat::LastErrorCode(), kOut);
  EXPECT_EQ(plat::OpenForTimes(Game("data/a.dat").c_str()), nullptr);
  EXPECT_EQ(plat::LastErrorCode(), kOut);
  EXPECT_FALSE(plat::RemoveFile(Game("sub/up/a.dat").c_str()));  // climbs out with ".."
  EXPECT_EQ(plat::LastErrorCode(), kOut);
  EXPECT_FALSE(plat::RemoveFile(Game("sub/../../victim/a.dat").c_str()));
  EXPECT_EQ(plat::LastErrorCode(), kOut);
  EXPECT_FALSE(plat::MakeWritable(Game("RO.dat").c_str()));
  EXPECT_EQ(plat::LastErrorCode(), kOut);
  EXPECT_FALSE(plat::MakeExecutable(Game("ro.dat").c_str()));
  EXPECT_EQ(plat::LastErrorCode(), kOut);
  plat::FileStatus st;
  EXPECT_FALSE(plat::QueryFile(Game("data/a.dat").c_str(), &st));
  char text[128];
  ASSERT_TRUE(plat::ErrorText(kOut, text, sizeof text));
  EXPECT_STREQ(text, "The path leads out of the game folder through a link.");

  EXPECT_EQ(SortedNames(tree_.Path("victim")), victim);
  EXPECT_EQ(ReadFile(tree_.Path("victim/a.dat")), "victim");
  EXPECT_EQ(ModeOf(tree_.Path("victim/ro.dat")), 0444u);

  // A link at the end of the path is itself replaced or removed; its target stays.
  ASSERT_TRUE(plat::RenameOver(staged.c_str(), Game("ro.dat").c_str()));
  EXPECT_FALSE(IsLink(Game("ro.dat")));
  EXPECT_EQ(ReadFile(Game("ro.dat")), "new");
  EXPECT_EQ(ReadFile(tree_.Path("victim/ro.dat")), "read-only");
  ASSERT_TRUE(plat::RemoveFile(Game("DATA").c_str()));
  EXPECT_FALSE(FileExists(Game("Data")));
  EXPECT_EQ(SortedNames(tree_.Path("victim")), victim);
}

TEST_F(InstallationLinks, LinksThatStayInsideAreFollowed) {
  tree_.Write("game/Real/x.dat", "x");
  ASSERT_EQ(::symlink("Real", Game("Alias").c_str()), 0);
  ASSERT_EQ(::symlink(Game("real").c_str(), Game("Absolute").c_str()), 0);  // case differs too
  ASSERT_EQ(::symlink("Real/../Real/x.dat", Game("file").c_str()), 0);
  ASSERT_EQ(::symlink("loop", Game("loop").c_str()), 0);
  Open();
  plat::FileStatus st;
  ASSERT_TRUE(plat::QueryFile(Game("alias/X.dat").c_str(), &st));
  EXPECT_EQ(st.size, 1u);
  ASSERT_TRUE(plat::RenameOver(Staged("via alias").c_str(), Game("Alias/new.dat").c_str()));
  EXPECT_EQ(ReadFile(Game("Real/new.dat")), "via alias");
  ASSERT_TRUE(plat::MakeDirectory(Game("absolute/Sub").c_str()));
  EXPECT_TRUE(FileExists(Game("Real/Sub")));
  ::chmod(Game("Real/x.dat").c_str(), 0444);
  ASSERT_TRUE(plat::MakeWritable(Game("FILE").c_str()));  // a file link inside: its target changes
  EXPECT_EQ(ModeOf(Game("Real/x.dat")), 0644u);
  EXPECT_FALSE(plat::RemoveFile(Game("loop/x").c_str()));
  EXPECT_EQ(plat::LastErrorCode(), static_cast<uint32_t>(ELOOP));
}

TEST(FilePermissions, AReplacedFileKeepsItsBitsAndANewOneGetsTheOrdinaryOnes) {
  TempTree tree;
  const mode_t ordinary = 0666 & ~Umask();
  for (const bool declared : {false, true}) {
    SCOPED_TRACE(declared ? "inside an installation" : "no installation");
    tree.MakeDirs("game");
    if (declared) {
      ASSERT_TRUE(plat::OpenInstallation(tree.Path("game").c_str()));
    }
    const std::string game = tree.Write("game/Vorn.exe", "old game");
    const std::string secret = tree.Write("game/secret.dat", "old");
    ::chmod(game.c_str(), 0755);
    ::chmod(secret.c_str(), 0600);
    std::string staged = tree.Write("staged/a", "new game");
    ::chmod(staged.c_str(), 0644);
    ASSERT_TRUE(plat::RenameOver(staged.c_str(), game.c_str()));
    EXPECT_EQ(ModeOf(game), 0755u);
    staged = tree.Write("staged/b", "new");
    ::chmod(staged.c_str(), 0777);
    ASSERT_TRUE(plat::RenameOver(staged.c_str(), secret.c_str()));
    EXPECT_EQ(ModeOf(secret), 0600u);
    staged = tree.Write("staged/c", "fresh");
    ::chmod(staged.c_str(), 0700);
    ASSERT_TRUE(plat::RenameOver(staged.c_str(), tree.Path("game/fresh.dat").c_str()));
    EXPECT_EQ(ModeOf(tree.Path("game/fresh.dat")), ordinary);

    // A copy over keeps the target's bits; a new copy takes the source's.
    staged = tree.Write("staged/d", "copied");
    ::chmod(staged.c_str(), 0640);
    ASSERT_TRUE(plat::CopyOver(staged.c_str(), game.c_str()));
    EXPECT_EQ(ModeOf(game), 0755u);
    EXPECT_EQ(ReadFile(game), "copied");
    ASSERT_TRUE(plat::CopyOver(staged.c_str(), tree.Path("game/copy.dat").c_str()));
    EXPECT_EQ(ModeOf(tree.Path("game/copy.dat")), 0640u);

    ::chmod(game.c_str(), 0644);
    ASSERT_TRUE(plat::MakeExecutable(game.c_str()));
    EXPECT_EQ(ModeOf(game), 0755u);
    plat::CloseInstallation();
    zdtest::RemoveTree(tree.Path("game"));
  }
}

}  // namespace
