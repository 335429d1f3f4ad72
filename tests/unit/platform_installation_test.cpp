// The files service's installation as files.h promises it, on whichever implementation
// this build has: names found ignoring ASCII case, ResolvePath naming what the disk
// holds, and nothing done through a link that leads out of the root. Only the platform
// headers, the standard library, GoogleTest and the link maker of the test support.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "support/links.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;

const std::string kSep(1, plat::PathSeparator());

// A game folder "game" and a "victim" folder beside it, in a fresh directory.
class InstallationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(base_.Path("game"));
    fs::create_directories(base_.Path("victim"));
    root_ = base_.Path("game");
  }
  // The links go before the directory does (when base_ is destroyed), so its removal
  // never meets one.
  void TearDown() override {
    plat::CloseInstallation();
    for (const auto& link : links_) zdtest::RemoveLink(link.first, link.second);
  }
  // A path in the game folder, spelled with the platform's separator.
  std::string Game(const std::string& relative) const { return root_ + kSep + relative; }
  std::string Victim(const std::string& relative) const { return (fs::path(base_.Path("victim")) / relative).string(); }
  static void Write(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  static std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (auto it = fs::directory_iterator(dir, error); !error && it != fs::directory_iterator(); it.increment(error))
      names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  }
  static std::string Resolved(const std::string& path) {
    char out[1024];
    return plat::ResolvePath(path.c_str(), out, sizeof out) ? std::string(out) : std::string();
  }
  void MakeLinkOrSkip(const std::string& link, const std::string& target, bool directory) {
    std::string whyNot;
    if (zdtest::MakeLink(link, target, directory, &whyNot)) {
      links_.emplace_back(link, directory);
    } else {
      linkRefused_ = whyNot;
    }
  }

  zdtest::Scratch base_;
  std::string root_;
  std::string linkRefused_;
  std::vector<std::pair<std::string, bool>> links_;
};

TEST_F(InstallationTest, NamesAreFoundIgnoringCaseAndResolvePathSpellsThemAsTheDiskDoes) {
  fs::create_directories(fs::path(root_) / "Data");
  Write(Game("Data" + kSep + "Old.dat"), "old");
  Write(Game("staged"), "new!");
  EXPECT_FALSE(plat::OpenInstallation(Game("Missing").c_str())) << "the root must be an existing directory";
  ASSERT_TRUE(plat::OpenInstallation(root_.c_str()));

  plat::FileStatus status;
  ASSERT_TRUE(plat::QueryFile(Game("DATA" + kSep + "old.DAT").c_str(), &status));
  EXPECT_TRUE(status.exists);
  EXPECT_FALSE(status.isDirectory);
  EXPECT_EQ(status.size, 3u);
  EXPECT_FALSE(plat::MakeDirectory(Game("data").c_str())) << "it exists in another spelling";

  // What exists in the disk's spelling, a new last component as asked.
  const std::string existing = Resolved(Game("dAtA" + kSep + "OLD.dat"));
  EXPECT_TRUE(EndsWith(existing, kSep + "Data" + kSep + "Old.dat")) << existing;
  EXPECT_EQ(Read(existing), "old");
  const std::string fresh = Resolved(Game("data" + kSep + "New.Dat"));
  EXPECT_TRUE(EndsWith(fresh, kSep + "Data" + kSep + "New.Dat")) << fresh;
  char out[1024];
  EXPECT_FALSE(plat::ResolvePath(Game("Nowhere" + kSep + "x.dat").c_str(), out, sizeof out));
  char tiny[4];
  EXPECT_FALSE(plat::ResolvePath(Game("Data").c_str(), tiny, sizeof tiny));
  EXPECT_EQ(plat::LastErrorCode(), plat::NameTooLongCode());
  const std::string elsewhere = Victim("any.dat");
  EXPECT_EQ(Resolved(elsewhere), elsewhere) << "paths outside the installation are used as given";

  // Replacing, creating and removing through other spellings touch the one file.
  ASSERT_TRUE(plat::RenameOver(Game("staged").c_str(), Game("DATA" + kSep + "old.dat").c_str()));
  std::FILE* written = plat::OpenFileForWriting(Game("data" + kSep + "Fresh.bin").c_str());
  ASSERT_NE(written, nullptr);
  std::fputs("fresh", written);
  ASSERT_EQ(std::fclose(written), 0);
  const std::string dataDir = (fs::path(root_) / "Data").string();
  ASSERT_EQ(Names(dataDir).size(), 2u);
  EXPECT_EQ(Read(Resolved(Game("data" + kSep + "old.dat"))), "new!");
  EXPECT_EQ(Read(Resolved(Game("DATA" + kSep + "FRESH.BIN"))), "fresh");
  EXPECT_TRUE(plat::RemoveFile(Game("DATA" + kSep + "fresh.BIN").c_str()));
  EXPECT_TRUE(plat::RemoveFile(Game("Data" + kSep + "OLD.DAT").c_str()));
  EXPECT_TRUE(Names(dataDir).empty());
  EXPECT_TRUE(plat::RemoveEmptyDirectory(Game("DATA").c_str()));
  EXPECT_EQ(Names(root_).size(), 0u);
}

TEST_F(InstallationTest, NothingIsDoneThroughALinkThatLeadsOut) {
  Write(Victim("keep.dat"), "victim");
  Write(Game("staged"), "payload");
  MakeLinkOrSkip(Game("Data"), base_.Path("victim"), true);
  if (!linkRefused_.empty()) GTEST_SKIP() << "no directory link can be made here: " << linkRefused_;
  ASSERT_TRUE(plat::OpenInstallation(root_.c_str()));
  const uint32_t outside = plat::kFileErrorOutsideInstallation;

  const std::string kept = Game("DATA" + kSep + "keep.dat");
  EXPECT_FALSE(plat::RenameOver(Game("staged").c_str(), kept.c_str()));
  EXPECT_EQ(plat::LastErrorCode(), outside);
  EXPECT_FALSE(plat::CopyOver(Game("staged").c_str(), kept.c_str()));
  EXPECT_EQ(plat::LastErrorCode(), outside);
  EXPECT_FALSE(plat::RemoveFile(kept.c_str()));
  EXPECT_EQ(plat::LastErrorCode(), outside);
  EXPECT_FALSE(plat::MakeWritable(kept.c_str()));
  EXPECT_EQ(plat::LastErrorCode(), outside);
  EXPECT_EQ(plat::OpenForTimes(kept.c_str()), nullptr);
  EXPECT_EQ(plat::LastErrorCode(), outside);
  EXPECT_EQ(plat::OpenFileForWriting(Game("Data" + kSep + "new.dat").c_str()), nullptr);
  EXPECT_EQ(plat::LastErrorCode(), outside);
  EXPECT_FALSE(plat::MakeDirectory(Game("Data" + kSep + "Sub").c_str()));
  EXPECT_EQ(plat::LastErrorCode(), outside);
  plat::FileStatus status;
  EXPECT_FALSE(plat::QueryFile(kept.c_str(), &status));
  EXPECT_FALSE(status.exists) << "a path that leads out is not examined";
  char out[1024];
  EXPECT_FALSE(plat::ResolvePath(kept.c_str(), out, sizeof out));
  EXPECT_EQ(plat::LastErrorCode(), outside);

  // The error has a text for the player.
  char text[256];
  EXPECT_TRUE(plat::ErrorText(outside, text, sizeof text));

  EXPECT_EQ(Names(base_.Path("victim")), std::vector<std::string>{"keep.dat"});
  EXPECT_EQ(Read(Victim("keep.dat")), "victim");
  EXPECT_EQ(Read(Game("staged")), "payload") << "a refused move leaves its source";
}

TEST_F(InstallationTest, AFileLinkThatLeadsOutIsNeitherWrittenNorItsTargetDeleted) {
  Write(Victim("keep.dat"), "victim");
  Write(Game("staged"), "payload");
  MakeLinkOrSkip(Game("Link.dat"), Victim("keep.dat"), false);
  if (!linkRefused_.empty()) GTEST_SKIP() << "no file link can be made here: " << linkRefused_;
  ASSERT_TRUE(plat::OpenInstallation(root_.c_str()));
  const uint32_t outside = plat::kFileErrorOutsideInstallation;

  plat::FileStatus status;
  EXPECT_FALSE(plat::QueryFile(Game("link.DAT").c_str(), &status));
  EXPECT_FALSE(plat::MakeWritable(Game("link.dat").c_str()));
  EXPECT_EQ(plat::LastErrorCode(), outside);
  EXPECT_EQ(plat::OpenForTimes(Game("LINK.dat").c_str()), nullptr);
  EXPECT_EQ(plat::LastErrorCode(), outside);
  // Removing or replacing the link itself is allowed where the system acts on the link
  // and not on its target; either way the target stays.
  if (!plat::RemoveFile(Game("link.dat").c_str())) {
    EXPECT_EQ(plat::LastErrorCode(), outside);
  }
  if (!plat::RenameOver(Game("staged").c_str(), Game("Link.dat").c_str())) {
    EXPECT_EQ(plat::LastErrorCode(), outside);
  }
  EXPECT_EQ(Read(Victim("keep.dat")), "victim");
  EXPECT_EQ(Names(base_.Path("victim")), std::vector<std::string>{"keep.dat"});
}

TEST_F(InstallationTest, ALinkThatStaysInsideIsFollowed) {
  fs::create_directories(fs::path(root_) / "Real");
  Write(Game("Real" + kSep + "a.dat"), "a");
  Write(Game("staged"), "b");
  MakeLinkOrSkip(Game("Alias"), Game("Real"), true);
  if (!linkRefused_.empty()) GTEST_SKIP() << "no directory link can be made here: " << linkRefused_;
  ASSERT_TRUE(plat::OpenInstallation(root_.c_str()));

  plat::FileStatus status;
  EXPECT_TRUE(plat::QueryFile(Game("ALIAS" + kSep + "a.dat").c_str(), &status));
  EXPECT_TRUE(plat::RenameOver(Game("staged").c_str(), Game("alias" + kSep + "b.dat").c_str()));
  EXPECT_EQ(Read(Game("Real" + kSep + "b.dat")), "b");
  const std::string resolved = Resolved(Game("Alias" + kSep + "A.DAT"));
  EXPECT_TRUE(EndsWith(resolved, kSep + "Real" + kSep + "a.dat")) << resolved;
}

}  // namespace
