// Where the installation is found and how the settings are read.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <utility>

#include "app/patcher.h"
#include "patchlist/config.h"
#include "platform/settings.h"
#include "support/temp_tree.h"

namespace {

using zdtest::ScopedEnv;
using zdtest::TempTree;

const char kGoodSettings[] =
    "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=2121\nUSERID=player\nPASSWD=secret\nBASEDIRECTORY=/patch/\n"
    "LISTFILE=patch.lst\n";

// A registry of our own: XDG_CONFIG_DIRS points into the test tree.
class RegistryTree {
 public:
  explicit RegistryTree(TempTree& tree) : tree_(tree), env_("XDG_CONFIG_DIRS", tree.Path("xdg") + ":/etc/xdg") {}
  void SetSetupPath(const std::string& value) {
    tree_.Write("xdg/SOFTWARE/Brisco Entertainment/Tessary/SETUP PATH", value + "\n");
  }
  bool KeyExists() const { return tree_.Exists("xdg/SOFTWARE/Brisco Entertainment/Tessary"); }

 private:
  TempTree& tree_;
  ScopedEnv env_;
};

std::string Find(const std::string& exe) {
  char buffer[1024];
  FindInstallDirFrom(exe.c_str(), buffer, sizeof buffer);
  return buffer;
}

TEST(FindInstallDir, SettingsBesideTheProgramWinOverTheRegistry) {
  TempTree tree;
  RegistryTree registry(tree);
  tree.WriteSettings("play", kGoodSettings);
  tree.WriteSettings("games/tess", kGoodSettings);
  registry.SetSetupPath(tree.Path("games/tess") + "/");
  EXPECT_EQ(Find(tree.Path("play/zidodiruv")), tree.Path("play"));
}

TEST(FindInstallDir, RegistryPathRules) {
  TempTree tree;
  RegistryTree registry(tree);
  tree.WriteSettings("games/tess", kGoodSettings);
  const std::string exe = tree.Path("elsewhere/zidodiruv");

  // A trailing separator names the directory itself.
  registry.SetSetupPath(tree.Path("games/tess") + "/");
  EXPECT_EQ(Find(exe), tree.Path("games/tess"));

  // Without one, the last component is dropped: the candidate is games/VornPatch.ini.
  registry.SetSetupPath(tree.Path("games/tess"));
  EXPECT_EQ(Find(exe), "");
  tree.WriteSettings("games", kGoodSettings);
  EXPECT_EQ(Find(exe), tree.Path("games"));

  // A value without any separator names nothing.
  registry.SetSetupPath("tess");
  EXPECT_EQ(Find(exe), "");
}

TEST(FindInstallDir, MissingKeyIsCreatedAndNothingIsFound) {
  TempTree tree;
  RegistryTree registry(tree);
  EXPECT_FALSE(registry.KeyExists());
  EXPECT_EQ(Find(tree.Path("nowhere/zidodiruv")), "");
  EXPECT_TRUE(registry.KeyExists());
}

TEST(FindInstallDir, ACandidateThatDoesNotFitIsNotFound) {
  TempTree tree;
  RegistryTree registry(tree);
  // 1016 characters of directory leave no room for the settings file's name.
  std::string dir = tree.Path("d");
  while (dir.size() < 1016) dir += "/abcdefgh";
  dir.resize(1016);
  registry.SetSetupPath(dir + "/");
  EXPECT_EQ(Find(tree.Path("x/zidodiruv")), "");
}

class ReadPatchConfigTest : public ::testing::Test {
 protected:
  bool Read(const std::string& body) {
    const std::string path = tree_.WriteSettings("", body);
    return patcher_.ReadPatchConfig(path.c_str());
  }
  TempTree tree_;
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", ""};
  ScopedEnv tmp_{"TMPDIR", tree_.root()};
  Patcher patcher_;
};

TEST_F(ReadPatchConfigTest, AllSixKeysAndTheListPath) {
  ASSERT_TRUE(Read(kGoodSettings));
  EXPECT_STREQ(patcher_.serverAddress, "127.0.0.1");
  EXPECT_EQ(patcher_.serverPort, 2121u);
  EXPECT_STREQ(patcher_.userId, "player");
  EXPECT_STREQ(patcher_.password, "secret");
  EXPECT_STREQ(patcher_.baseDirectory, "/patch/");
  EXPECT_STREQ(patcher_.listFileName, "patch.lst");
  // The user's private temporary directory, then the list's name.
  const std::string expected = tree_.root() + "/zidodiruv-" + std::to_string(geteuid()) + "/patch.lst";
  EXPECT_EQ(patcher_.listTempPath, expected);
}

TEST_F(ReadPatchConfigTest, TheListsLocalCopyStaysInTheTemporaryDirectory) {
  const std::string temp = tree_.root() + "/zidodiruv-" + std::to_string(geteuid()) + "/";
  const std::pair<const char*, const char*> cases[] = {
      {"lists/sub/patch.lst", "patch.lst"}, {"../../outside.lst", "outside.lst"}, {"dir\\win.lst", "win.lst"}};
  for (const auto& [listFile, local] : cases) {
    std::string body = kGoodSettings;
    body.replace(body.find("LISTFILE=patch.lst"), 18, std::string("LISTFILE=") + listFile);
    Patcher p;
    ASSERT_TRUE(p.ReadPatchConfig(tree_.WriteSettings("", body).c_str())) << listFile;
    EXPECT_STREQ(p.listFileName, listFile) << "the server's name stays whole";
    EXPECT_EQ(p.listTempPath, temp + local);
  }
  for (const char* listFile : {"lists/", "..", "a/.."}) {
    std::string body = kGoodSettings;
    body.replace(body.find("LISTFILE=patch.lst"), 18, std::string("LISTFILE=") + listFile);
    Patcher p;
    EXPECT_FALSE(p.ReadPatchConfig(tree_.WriteSettings("", body).c_str())) << listFile;
    EXPECT_STREQ(p.listTempPath, "");
  }
}

TEST_F(ReadPatchConfigTest, EachRequiredKeyMissingOrEmptyFails) {
  const char* keys[] = {"SERVERIP", "PORT", "USERID", "PASSWD", "BASEDIRECTORY", "LISTFILE"};
  for (const char* key : keys) {
    std::string body = kGoodSettings;
    const size_t at = body.find(std::string(key) + "=");
    const size_t end = body.find('\n', at);
    std::string missing = body.substr(0, at) + body.substr(end + 1);
    std::string empty = body.substr(0, at) + key + "=" + body.substr(end);
    Patcher p1, p2;
    EXPECT_FALSE(p1.ReadPatchConfig(tree_.WriteSettings("", missing).c_str())) << key << " missing";
    EXPECT_FALSE(p2.ReadPatchConfig(tree_.WriteSettings("", empty).c_str())) << key << " empty";
    EXPECT_STREQ(p1.listTempPath, "");
  }
}

TEST_F(ReadPatchConfigTest, PortZeroEmptyNotANumberOrTooLargeFails) {
  for (const char* port : {"0", "", "abc", "65536", "70000"}) {
    std::string body = kGoodSettings;
    body.replace(body.find("PORT=2121"), 9, std::string("PORT=") + port);
    Patcher p;
    EXPECT_FALSE(p.ReadPatchConfig(tree_.WriteSettings("", body).c_str())) << "PORT=" << port;
  }
}

TEST_F(ReadPatchConfigTest, AFailureAtUseridKeepsWhatCameBefore) {
  std::string body = kGoodSettings;
  body.replace(body.find("USERID=player"), 13, "USERID=");
  ASSERT_FALSE(Read(body));
  EXPECT_STREQ(patcher_.serverAddress, "127.0.0.1");
  EXPECT_EQ(patcher_.serverPort, 2121u);
  EXPECT_STREQ(patcher_.userId, "");
  EXPECT_STREQ(patcher_.password, "");
  EXPECT_STREQ(patcher_.listFileName, "");
  EXPECT_STREQ(patcher_.listTempPath, "");
}

TEST_F(ReadPatchConfigTest, ALongValueIsCutTo255Characters) {
  const std::string longHost(300, 'h');
  std::string body = kGoodSettings;
  body.replace(body.find("SERVERIP=127.0.0.1"), 18, "SERVERIP=" + longHost);
  ASSERT_TRUE(Read(body));
  EXPECT_EQ(std::string(patcher_.serverAddress), longHost.substr(0, 255));
}

TEST_F(ReadPatchConfigTest, KeysAndSectionsIgnoreCaseAndBlanks) {
  ASSERT_TRUE(Read("; comment\n[other]\nSERVERIP=wrong\n[ patch_ftp ]\n serverip = 10.0.0.1 \nport= 21\n"
                   "UserId=\"player one\"\nPASSWD=p\r\nBASEDIRECTORY=/\nLISTFILE=l.txt\n"));
  EXPECT_STREQ(patcher_.serverAddress, "10.0.0.1");
  EXPECT_EQ(patcher_.serverPort, 21u);
  EXPECT_STREQ(patcher_.userId, "player one");
  EXPECT_STREQ(patcher_.password, "p");
}

// A NUL byte ends a line's text: the count given back always matches the text, so a
// value that begins with a NUL reads as empty and fails like a missing one.
TEST_F(ReadPatchConfigTest, ANulByteEndsTheLinesText) {
  using namespace std::string_literals;
  std::string body = kGoodSettings;
  body.replace(body.find("SERVERIP=127.0.0.1"), 18, "SERVERIP=\0" "127.0.0.1"s);
  EXPECT_FALSE(Read(body));
  EXPECT_STREQ(patcher_.serverAddress, "");

  body = kGoodSettings;
  body.replace(body.find("USERID=player"), 13, "USERID=pla\0yer = x"s);
  body.replace(body.find("PORT=2121"), 9, "PORT\0=99\nPORT=21 \0 7"s);
  const std::string path = tree_.WriteSettings("", body);
  char text[256];
  EXPECT_EQ(plat::ReadIniText(path.c_str(), "PATCH_FTP", "USERID", "", text, sizeof text), 3u);
  EXPECT_STREQ(text, "pla");
  // The first line reads "PORT": a key with an empty value, which gives the fallback,
  // and being the first occurrence it hides the "PORT=21" after it.
  EXPECT_EQ(plat::ReadIniUnsigned(path.c_str(), "PATCH_FTP", "PORT", 5), 5u);
  EXPECT_EQ(plat::ReadIniText(path.c_str(), "PATCH_FTP", "PORT", "fallback", text, sizeof text), 0u);
}

}  // namespace
