// Whole runs with signed lists: an installation that holds the publisher's key acts on
// a list only when it is signed with that key, not older than one it accepted and not
// expired, and installs only files whose bytes match their signed hashes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "support/gzip_builder.h"
#include "support/patch_run.h"
#include "support/signed_lists.h"

namespace {

using namespace zdtest;

// 2001-01-01 00:00 UTC as a file time: long past.
constexpr plat::FileTime kLongAgo = 126227808000000000ULL;

class SignedRun : public PatchRunTest {
 protected:
  void SetUp() override {
    PatchRunTest::SetUp();
    ASSERT_TRUE(signer_.ok());
    InstallGame();
    server_.WriteFile("patch/a.dat.1", "alpha");
    server_.WriteFile("patch/big.pak.2.gz", packed_);
    tree_.WriteStale("game/a.dat", "old a");
    tree_.Write("game/old.dat", "old");
  }
  void WithKey(const std::string& key) { Settings("/patch/", 0, "", "127.0.0.1", "PUBLICKEY=" + key + "\n"); }
  std::vector<std::pair<std::string, std::string>> Lines() const {
    return {{"C 2002-06-01 14:30 5 a.dat a.dat.1", "alpha"},
            {"Z 2002-06-01 14:30 70000:" + std::to_string(packed_.size()) + " big.pak big.pak.2.gz", packed_},
            {"D 2002-06-01 14:30 0 old.dat old.dat", ""}};
  }
  std::string Sequence() const { return tree_.Path("game/VornPatch.seq"); }
  void ExpectInstalled() {
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts().front();
    EXPECT_EQ(ReadFile(Local("a.dat")), "alpha");
    EXPECT_EQ(ReadFile(Local("big.pak")), std::string(70000, 'z'));
    EXPECT_FALSE(FileExists(Local("old.dat")));
    EXPECT_TRUE(GameStarted());
  }

  ListSigner signer_{tree_.Path("publisher.key")};
  std::string packed_ = Gzip(std::string(70000, 'z'));
};

TEST_F(SignedRun, ASignedListInstallsEverythingAndItsSequenceIsKept) {
  WithKey(signer_.publicKey());
  const std::string list = signer_.Sign(Lines(), 7);
  List(list);
  Run();
  ExpectInstalled();
  EXPECT_EQ(ReadFile(Sequence()), "7\r\n");

  // The same list again (as the renewed patcher reads it after a hand-off) is accepted.
  ResetWindow();
  ::unlink(GameLog().c_str());
  Run();
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_TRUE(GameStarted());
  EXPECT_EQ(ReadFile(Sequence()), "7\r\n");
}

TEST_F(SignedRun, AListThatIsNotTheNewestSignedOneChangesNothing) {
  const ListSigner other(tree_.Path("other.key"));
  const std::string signed7 = signer_.Sign(Lines(), 7);
  std::string flipped = signed7;
  flipped[flipped.find("a.dat.1") + 6] = '2';
  const std::string notSigned = "Patch file list is not signed by the game's publisher.";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {flipped, notSigned},
      {signed7.substr(0, signed7.find("#zd-signature")), notSigned},
      {other.Sign(Lines(), 9), notSigned},
      {signer_.Sign(Lines(), 6), "Patch file list is older than the one already installed."},
      {signer_.Sign(Lines(), 8, kLongAgo), "Patch file list has expired."},
      {"", "Cannot read the publisher's key (PUBLICKEY in VornPatch.ini)."},  // a key cut short
  };
  for (const auto& [list, box] : cases) {
    SCOPED_TRACE(box + "\n" + list);
    ResetWindow();
    const int retrs = server_.Retrs();
    tree_.Write("game/VornPatch.seq", "7\r\n");
    WithKey(list.empty() ? signer_.publicKey().substr(1) : signer_.publicKey());
    List(list.empty() ? signed7 : list);
    Run();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{box});
    EXPECT_EQ(server_.Retrs(), retrs + (list.empty() ? 0 : 1));  // the list, or not even that
    EXPECT_EQ(ReadFile(Local("a.dat")), "old a");
    EXPECT_FALSE(FileExists(Local("big.pak")));
    EXPECT_TRUE(FileExists(Local("old.dat")));
    EXPECT_FALSE(FileExists(GameLog()));
    ExpectNothingStaged();
    EXPECT_EQ(ReadFile(Sequence()), "7\r\n");
  }
}

TEST_F(SignedRun, AFileReplacedOnTheServerIsRefusedWithOrWithoutTheKey) {
  List(signer_.Sign(Lines(), 3));
  server_.WriteFile("patch/a.dat.1", "ALPHA");  // the same size
  for (const bool keyed : {true, false}) {
    SCOPED_TRACE(keyed ? "with the key" : "without a key");
    ResetWindow();
    if (keyed) WithKey(signer_.publicKey());
    else Settings();
    Run();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"/patch/a.dat.1 was changed, cannot install file."});
    EXPECT_EQ(ReadFile(Local("a.dat")), "old a");
    EXPECT_FALSE(FileExists(Local("big.pak")));
    EXPECT_FALSE(FileExists(GameLog()));
    ExpectNothingStaged();
  }
}

TEST_F(SignedRun, WithoutAKeyASignedListPatchesAsBefore) {
  List(signer_.Sign(Lines(), 3));
  Run();
  ExpectInstalled();
  EXPECT_FALSE(FileExists(Sequence()));
}

}  // namespace
