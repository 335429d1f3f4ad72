// The built program started as a user starts it, under a display of the test's own.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/desktop.h"
#include "support/silent_server.h"
#include "support/temp_tree.h"

namespace {

using namespace zdtest;

const char kWindowTitle[] = "^Vorn-ZEDA  Patch$";
const char kBoxTitleRegex[] = "^Tessary ZidoDiruv$";

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(display_.ok()) << "Xvfb could not be started";
    ::chmod(tree_.root().c_str(), 0700);
    tree_.MakeDirs("play");
    program_ = tree_.Path("play/zidodiruv");
    WriteFile(program_, ReadFile(ZD_PROGRAM));
    ::chmod(program_.c_str(), 0755);
  }
  void WriteSettings(uint16_t port) {
    tree_.WriteSettings("play", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(port) +
                                    "\nUSERID=u\nPASSWD=p\nBASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n");
  }
  // Presses the default button of the box that is showing.
  static void AnswerBox(const std::string& id) {
    RunCommand("xdotool windowfocus --sync " + id + " key --clearmodifiers Return 2>/dev/null");
  }

  VirtualDisplay display_;
  TempTree tree_;
  ScopedEnv registry_{"XDG_CONFIG_DIRS", tree_.Path("xdg")};
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", tree_.root()};
  std::string program_;
};

TEST_F(StartupTest, WithoutSettingsTheBoxIsShownAndTheProgramEnds) {
  Child run({program_});
  const std::string box = WaitForWindow(kBoxTitleRegex, 10000);
  ASSERT_FALSE(box.empty()) << "no message box";
  AnswerBox(box);
  ASSERT_TRUE(run.Wait(10000));
  EXPECT_EQ(run.exitCode(), 0);
}

TEST_F(StartupTest, ASecondStartWhileAWindowIsOpenEndsQuietly) {
  SilentServer silent;  // the log-on hangs, so the first window stays up
  WriteSettings(silent.port());
  Child first({program_});
  ASSERT_FALSE(WaitForWindow(kWindowTitle, 10000).empty()) << "the first window did not appear";

  Child second({program_});
  ASSERT_TRUE(second.Wait(10000));
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(FindWindows(kWindowTitle).size(), 1u);
  EXPECT_TRUE(FindWindows(kBoxTitleRegex).empty());
  EXPECT_TRUE(first.Running());
}

TEST_F(StartupTest, HandOffSwitchesWithTooFewArgumentsEndAtOnce) {
  const std::vector<std::vector<std::string>> cases = {
      {program_, "-D"}, {program_, "-d"}, {program_, "-P", "a", "b", "c"}, {program_, "-p"}};
  for (const auto& args : cases) {
    Child run(args);
    ASSERT_TRUE(run.Wait(5000)) << args[1];
    EXPECT_EQ(run.exitCode(), 0) << args[1];
    EXPECT_TRUE(FindWindows(kWindowTitle).empty());
    EXPECT_TRUE(FindWindows(kBoxTitleRegex).empty());
  }
}

TEST_F(StartupTest, OtherSwitchesAreAnOrdinaryRun) {
  for (const char* sw : {"-U", "-", "-X"}) {
    Child run({program_, sw});
    // Without settings an ordinary run shows its box.
    const std::string box = WaitForWindow(kBoxTitleRegex, 10000);
    ASSERT_FALSE(box.empty()) << sw;
    AnswerBox(box);
    ASSERT_TRUE(run.Wait(10000)) << sw;
    EXPECT_EQ(run.exitCode(), 0);
  }
}

}  // namespace
