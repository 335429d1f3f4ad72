// The built program started as a user starts it, under a display of the test's own:
// the settings box, a second start (whatever its environment), the command-line
// switches, and a start without a display.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/silent_server.h"
#include "support/temp_tree.h"
#include "support/x11_session.h"

namespace {

using namespace zdtest;

const char kWindowName[] = "^Vorn-ZEDA  Patch$";
const char kBoxName[] = "^Tessary ZidoDiruv$";

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    xvfb_ = std::make_unique<XvfbSession>();
    ASSERT_TRUE(xvfb_->Start()) << "Xvfb could not be started";
    for (const char* dir : {"play", "run", "run2", "tmp2", "home"}) tree_.MakeDirs(dir);
    ::chmod(tree_.Path("run").c_str(), 0700);
    ::chmod(tree_.Path("run2").c_str(), 0700);
    program_ = tree_.Write("play/zidodiruv", ReadFile(ZD_PROGRAM));
    ::chmod(program_.c_str(), 0755);
  }
  void WriteSettings(uint16_t port) {
    tree_.WriteSettings("play", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(port) +
                                    "\nUSERID=u\nPASSWD=p\nBASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n");
  }
  // A private runtime directory (temporary files), registry and home; `extraEnv` adds
  // to or replaces variables ("NAME=value", or "NAME" alone to leave it out).
  void Start(ChildProcess& child, std::vector<std::string> args = {}, const std::vector<std::string>& extraEnv = {},
             const std::string& outputPath = "") {
    args.insert(args.begin(), program_);
    ASSERT_TRUE(child.Start(args, ProgramEnv(*xvfb_, tree_.root(), extraEnv), tree_.Path("play"), outputPath));
  }
  int VisibleWindows(const char* pattern) const { return xvfb_->VisibleWindows(pattern); }
  // Presses the default button of the box that is showing until the program ends: a
  // key pressed while the box is still being mapped can be lost.
  void AnswerBoxUntilExit(ChildProcess& child, unsigned long box) {
    int code = -1;
    xvfb_->PressReturnUntilExit(child, box, 10000, &code);
    ExpectExitZero(child, 0);
  }
  static void ExpectExitZero(ChildProcess& child, int ms) {
    int code = -1;
    ASSERT_TRUE(child.WaitExit(ms, &code)) << "the program did not end within " << ms << " ms";
    EXPECT_EQ(code, 0);
  }

  std::unique_ptr<XvfbSession> xvfb_;
  TempTree tree_;
  std::string program_;
};

TEST_F(StartupTest, WithoutSettingsTheBoxIsShownAndTheProgramEnds) {
  ChildProcess run;
  Start(run);
  const unsigned long box = xvfb_->FindWindow(kBoxName, 10000);
  ASSERT_NE(box, 0u) << "no message box";
  AnswerBoxUntilExit(run, box);
}

TEST_F(StartupTest, ASecondStartWhileAWindowIsOpenEndsQuietlyWhateverItsEnvironment) {
  SilentServer silent;  // the log-on hangs, so the first window stays up without a box
  WriteSettings(silent.port());
  ChildProcess first;
  Start(first);
  ASSERT_NE(xvfb_->FindWindow(kWindowName, 10000), 0u) << "the first window did not appear";

  // The same environment, other runtime and temporary directories, or none of them.
  const std::vector<std::vector<std::string>> environments = {
      {},
      {"XDG_RUNTIME_DIR=" + tree_.Path("run2"), "TMPDIR=" + tree_.Path("tmp2"), "HOME=" + tree_.Path("tmp2")},
      {"XDG_RUNTIME_DIR", "TMPDIR=" + tree_.Path("tmp2")},
  };
  for (size_t i = 0; i < environments.size(); ++i) {
    SCOPED_TRACE(i);
    ChildProcess second;
    Start(second, {}, environments[i]);
    ExpectExitZero(second, 10000);
    EXPECT_EQ(VisibleWindows(kWindowName), 1);
    EXPECT_EQ(VisibleWindows(kBoxName), 0);
    EXPECT_TRUE(first.Running());
  }
}

TEST_F(StartupTest, WithoutADisplayTheReasonGoesToStandardErrorAndTheExitIsZero) {
  // No display named at all, or an empty name.
  const std::vector<std::vector<std::string>> environments = {{"DISPLAY"}, {"DISPLAY="}};
  for (size_t i = 0; i < environments.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string output = tree_.Path("output" + std::to_string(i) + ".txt");
    ChildProcess run;
    Start(run, {}, environments[i], output);
    ExpectExitZero(run, 10000);
    const std::string text = ReadFile(output);
    EXPECT_NE(text.find("Cannot open display"), std::string::npos) << text;
    EXPECT_EQ(text.find("Can't open display"), std::string::npos) << "the toolkit's own report: " << text;
    EXPECT_EQ(VisibleWindows(kWindowName), 0);
  }
}

TEST_F(StartupTest, HandOffSwitchesWithTooFewArgumentsEndAtOnce) {
  const std::vector<std::vector<std::string>> cases = {{"-D"}, {"-d"}, {"-P", "a", "b", "c"}, {"-p"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    ChildProcess run;
    Start(run, args);
    ExpectExitZero(run, 5000);
    EXPECT_EQ(VisibleWindows(kWindowName), 0);
    EXPECT_EQ(VisibleWindows(kBoxName), 0);
  }
}

TEST_F(StartupTest, OtherSwitchesAreAnOrdinaryRun) {
  for (const char* sw : {"-U", "-", "-X"}) {
    SCOPED_TRACE(sw);
    ChildProcess run;
    Start(run, {sw});
    // Without settings an ordinary run shows its box.
    const unsigned long box = xvfb_->FindWindow(kBoxName, 10000);
    ASSERT_NE(box, 0u);
    AnswerBoxUntilExit(run, box);
    ASSERT_TRUE(WaitUntil([&] { return VisibleWindows(kBoxName) == 0; }, 5000));
  }
}

}  // namespace
