// The built program's window on a display of the test's own: its size, the banner in
// a screenshot, the EX button and the Esc key, and the message boxes answered with
// the keyboard (Enter presses the button with the focus: OK, Yes in a Yes/No box, or No
// once Tab has moved the focus there; Y and N answer a Yes/No box, which Esc and its
// close box leave open; both close an OK box).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/ftp_server.h"
#include "support/silent_server.h"
#include "support/temp_tree.h"
#include "support/x11_session.h"

namespace {

using zdtest::ChildProcess;
using zdtest::RgbImage;
using zdtest::SilentServer;
using zdtest::TempTree;
using zdtest::XvfbSession;

const char kWindowName[] = "^Vorn-ZEDA  Patch$";
const char kBoxName[] = "^Tessary ZidoDiruv$";

// The template in pixels: dialog units with base units 7 x 12, rounded to the nearest
// pixel (x * 7 / 4, y * 12 / 8).
int DuX(int x) { return (x * 7 + 2) / 4; }
int DuY(int y) { return (y * 12 + 4) / 8; }

class WindowE2eTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    xvfb_ = new XvfbSession;
    if (!xvfb_->Start()) {
      delete xvfb_;
      xvfb_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete xvfb_;
    xvfb_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(xvfb_, nullptr) << "Xvfb did not start";
    // The program finds its settings beside its own executable, so it runs from a copy.
    tree_.MakeDirs("app");
    tree_.MakeDirs("run");
    tree_.MakeDirs("xdg");
    tree_.MakeDirs("home");
    ::chmod(tree_.Path("run").c_str(), 0700);
    program_ = tree_.Write("app/zidodiruv", zdtest::ReadFile(ZD_PROGRAM));
    ::chmod(program_.c_str(), 0755);
  }

  void WriteSettings(uint16_t port) {
    tree_.WriteSettings("app", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(port) +
                                   "\nUSERID=player\nPASSWD=secret\nBASEDIRECTORY=/patch\nLISTFILE=list.txt\n");
  }

  // Starts the program with a private runtime directory (instance lock, temporary
  // files), an empty registry and a home of its own.
  void StartProgram() {
    ASSERT_TRUE(program.Start({program_}, zdtest::ProgramEnv(*xvfb_, tree_.root()), tree_.Path("app")));
  }

  // Repeats `act` on the box until the program ends: a key sent while the box is still
  // being mapped can be lost. Fails the test when it does not end within 10 s.
  void ActOnBoxUntilExit(unsigned long box, const std::function<void()>& act) {
    int code = -1;
    const double deadline = zdtest::SteadyNowMs() + 10000;
    do {
      xvfb_->Xdotool({"windowfocus", "--sync", std::to_string(box)});
      act();
      if (program.WaitExit(300, &code)) break;
    } while (zdtest::SteadyNowMs() < deadline);
    ExpectExitZero(0);
  }
  void PressUntilExit(unsigned long box, const std::string& key) {
    ActOnBoxUntilExit(box, [&] { xvfb_->Xdotool({"key", key}); });
  }
  bool WaitForFile(const std::string& relative, int ms) {
    return zdtest::WaitUntil([&] { return tree_.Exists(relative); }, ms);
  }

  void ExpectExitZero(int ms) {
    int code = -1;
    ASSERT_TRUE(program.WaitExit(ms, &code)) << "the program did not end within " << ms << " ms";
    EXPECT_EQ(code, 0);
  }

  // Waits until the window's screenshot satisfies `good` (it may be mapped before it
  // is painted); returns the last screenshot.
  template <typename Pred>
  RgbImage ScreenshotWhen(unsigned long window, Pred good, int ms) {
    const double deadline = zdtest::SteadyNowMs() + ms;
    RgbImage shot;
    do {
      shot = xvfb_->Screenshot(window);
      if (shot.ok() && good(shot)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (zdtest::SteadyNowMs() < deadline);
    return shot;
  }

  static XvfbSession* xvfb_;
  TempTree tree_;
  std::string program_;
  ChildProcess program;
};

XvfbSession* WindowE2eTest::xvfb_ = nullptr;

size_t BannerMismatches(const RgbImage& shot, const RgbImage& banner) {
  if (shot.width < banner.width || shot.height < banner.height) return static_cast<size_t>(-1);
  size_t bad = 0;
  for (int y = 0; y < banner.height; ++y)
    for (int x = 0; x < banner.width; ++x)
      if (std::memcmp(shot.At(x, y), banner.At(x, y), 3) != 0) ++bad;
  return bad;
}

TEST_F(WindowE2eTest, TemplateSizeBannerAndEx) {
  SilentServer server;  // the log-on never answers, so the window stays up with no box
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  StartProgram();
  const unsigned long window = xvfb_->FindWindow(kWindowName, 5000);
  ASSERT_NE(window, 0u) << "no window named " << kWindowName;

  int width = 0, height = 0;
  ASSERT_TRUE(xvfb_->WindowSize(window, &width, &height));
  EXPECT_EQ(width, DuX(267));  // 467
  EXPECT_EQ(height, DuY(159));  // 239

  const RgbImage banner = zdtest::DecodeBmp8(zdtest::ReadFile(ZD_BINARY_DIR "/generated/banner.bmp"));
  ASSERT_EQ(banner.width, 466);
  ASSERT_EQ(banner.height, 71);
  const RgbImage shot =
      ScreenshotWhen(window, [&](const RgbImage& s) { return BannerMismatches(s, banner) == 0; }, 5000);
  ASSERT_TRUE(shot.ok());
  EXPECT_EQ(BannerMismatches(shot, banner), 0u) << "the banner is not at the window's top-left corner";

  // Nothing has arrived: the bar's inside is one colour from end to end.
  const int barX = DuX(8), barY = DuY(69), barW = DuX(250), barH = DuY(12);
  const uint8_t* left = shot.At(barX + 2, barY + barH / 2);
  int uneven = 0;
  for (int x = barX + 2; x < barX + barW - 2; ++x) uneven += std::memcmp(shot.At(x, barY + barH / 2), left, 3) != 0;
  EXPECT_EQ(uneven, 0);

  // EX, centred at the bottom.
  const int exX = DuX(105) + DuX(55) / 2, exY = DuY(137) + DuY(15) / 2;
  ASSERT_TRUE(xvfb_->Xdotool({"mousemove", "--window", std::to_string(window), std::to_string(exX),
                              std::to_string(exY), "click", "1"}));
  ExpectExitZero(5000);
  EXPECT_TRUE(xvfb_->WindowGone(kWindowName));
}

TEST_F(WindowE2eTest, EscPressesEx) {
  SilentServer server;
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  StartProgram();
  const unsigned long window = xvfb_->FindWindow(kWindowName, 5000);
  ASSERT_NE(window, 0u);
  ASSERT_TRUE(xvfb_->Xdotool({"windowfocus", "--sync", std::to_string(window)}));
  ASSERT_TRUE(xvfb_->Xdotool({"key", "Escape"}));
  ExpectExitZero(5000);
}

// Counts the error icon's red among a box's pixels.
int RedPixels(const RgbImage& shot) {
  int red = 0;
  for (int y = 0; y < shot.height; ++y)
    for (int x = 0; x < shot.width; ++x) {
      const uint8_t* p = shot.At(x, y);
      red += p[0] > 150 && p[1] < 80 && p[2] < 80;
    }
  return red;
}

TEST_F(WindowE2eTest, MissingSettingsShowABoxThatEnterCloses) {
  StartProgram();  // no VornPatch.ini beside the program, and no registry value
  const unsigned long box = xvfb_->FindWindow(kBoxName, 5000);
  ASSERT_NE(box, 0u) << "no box named " << kBoxName;
  const RgbImage shot = ScreenshotWhen(box, [](const RgbImage& s) { return RedPixels(s) > 200; }, 5000);
  EXPECT_GT(RedPixels(shot), 200) << "no error icon";
  ASSERT_TRUE(xvfb_->Xdotool({"windowfocus", "--sync", std::to_string(box)}));
  ASSERT_TRUE(xvfb_->Xdotool({"key", "Return"}));
  ExpectExitZero(5000);
  EXPECT_TRUE(xvfb_->WindowGone(kBoxName));
}

TEST_F(WindowE2eTest, EnterAnswersYesToTheNetworkQuestion) {
  // A port where nothing listens: the connection is refused at once.
  zdtest::RefusingPort refusing;
  WriteSettings(refusing.port());
  // The game: a script that records how it was started.
  const std::string game = tree_.Write("app/Vorn.exe", "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/started\"\n");
  ::chmod(game.c_str(), 0755);
  StartProgram();
  const unsigned long box = xvfb_->FindWindow(kBoxName, 10000);
  ASSERT_NE(box, 0u) << "no network-error box";
  ASSERT_TRUE(xvfb_->Xdotool({"windowfocus", "--sync", std::to_string(box)}));
  ASSERT_TRUE(xvfb_->Xdotool({"key", "Return"}));
  ExpectExitZero(5000);
  // Yes runs the game without patching.
  const double deadline = zdtest::SteadyNowMs() + 5000;
  while (!tree_.Exists("app/started") && zdtest::SteadyNowMs() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(tree_.Exists("app/started")) << "Enter did not answer Yes";
  EXPECT_EQ(tree_.Read("app/started"), "-U\n");
}

TEST_F(WindowE2eTest, YAndNAnswerTheYesNoBoxWhichEscAndItsCloseBoxLeaveOpen) {
  // A port where nothing listens: the list connection fails and the question comes.
  zdtest::RefusingPort refusing;
  WriteSettings(refusing.port());
  const std::string game = tree_.Write("app/Vorn.exe", "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/started\"\n");
  ::chmod(game.c_str(), 0755);
  StartProgram();
  unsigned long box = xvfb_->FindWindow(kBoxName, 10000);
  ASSERT_NE(box, 0u) << "no network-error box";
  ASSERT_TRUE(xvfb_->Xdotool({"windowfocus", "--sync", std::to_string(box)}));
  // Neither answers: had one answered No, the program would end without the game, and
  // the Y below would find no box.
  ASSERT_TRUE(xvfb_->Xdotool({"key", "Escape"}));
  ASSERT_TRUE(xvfb_->RequestClose(box));
  PressUntilExit(box, "Y");
  ASSERT_TRUE(WaitForFile("app/started", 5000)) << "Y did not answer Yes";
  EXPECT_EQ(tree_.Read("app/started"), "-U\n");

  // N answers No: nothing is started. Without a game file a start would show a box of
  // its own and keep the program open.
  ::unlink(game.c_str());
  ::unlink(tree_.Path("app/started").c_str());
  ASSERT_TRUE(zdtest::WaitUntil([&] { return xvfb_->WindowGone(kBoxName); }, 5000));
  StartProgram();
  box = xvfb_->FindWindow(kBoxName, 10000);
  ASSERT_NE(box, 0u) << "no network-error box";
  PressUntilExit(box, "n");
  EXPECT_FALSE(tree_.Exists("app/started"));
}

// The right edge of the frame that marks the box's button Enter presses; -1 if none.
int MarkedButtonRight(const RgbImage& shot) {
  int right = -1;
  for (int y = 0; y < shot.height; ++y)
    for (int x = 0; x < shot.width; ++x) {
      const uint8_t* p = shot.At(x, y);
      if (p[0] == 0 && p[1] == 84 && p[2] == 153 && x > right) right = x;
    }
  return right;
}

TEST_F(WindowE2eTest, TabThenEnterAnswersNo) {
  // The network question; without a game file a Yes would show a box of its own and
  // keep the program open.
  zdtest::RefusingPort refusing;
  WriteSettings(refusing.port());
  StartProgram();
  const unsigned long box = xvfb_->FindWindow(kBoxName, 10000);
  ASSERT_NE(box, 0u) << "no network-error box";
  // Yes is marked first; Tab moves the mark to No, the right-hand button. A Tab lost
  // while the box was being mapped is pressed again.
  auto onNo = [](const RgbImage& s) { return MarkedButtonRight(s) > s.width - 40; };
  auto onYes = [&](const RgbImage& s) { return MarkedButtonRight(s) >= 0 && !onNo(s); };
  RgbImage shot = ScreenshotWhen(box, onYes, 5000);
  ASSERT_TRUE(onYes(shot)) << "Yes is not marked as the button Enter presses";
  const double deadline = zdtest::SteadyNowMs() + 10000;
  while (!onNo(shot) && zdtest::SteadyNowMs() < deadline) {
    xvfb_->Xdotool({"windowfocus", "--sync", std::to_string(box)});
    xvfb_->Xdotool({"key", "Tab"});
    shot = ScreenshotWhen(box, onNo, 2000);
  }
  ASSERT_TRUE(onNo(shot)) << "Tab did not move the focus to No";
  ASSERT_TRUE(xvfb_->Xdotool({"key", "Return"}));
  ExpectExitZero(5000);
}

TEST_F(WindowE2eTest, EscAndTheCloseBoxCloseAnOkBox) {
  // No settings: the OK box "Cannot read patch detail." comes at once.
  StartProgram();
  unsigned long box = xvfb_->FindWindow(kBoxName, 10000);
  ASSERT_NE(box, 0u);
  PressUntilExit(box, "Escape");
  ASSERT_TRUE(zdtest::WaitUntil([&] { return xvfb_->WindowGone(kBoxName); }, 5000));
  StartProgram();
  box = xvfb_->FindWindow(kBoxName, 10000);
  ASSERT_NE(box, 0u);
  ActOnBoxUntilExit(box, [&] { xvfb_->RequestClose(box); });
}

TEST_F(WindowE2eTest, TheBarShowsTheShareOfARealDownload) {
  // The server stops sending 40% into the file, so the window holds still at that point.
  zdtest::FtpServerFixture server("player", "secret");
  ASSERT_TRUE(server.ok());
  server.WritePatternFile("patch/big.dat", 1000000);
  server.WriteFile("patch/list.txt", "C 2002-06-01 14:30 1000000 big.dat big.dat\n");
  zdtest::FtpFaults faults;
  faults.stallAfter = 400000;
  faults.path = "patch/big.dat";
  server.SetFaults(faults);
  WriteSettings(server.port());
  StartProgram();
  const unsigned long window = xvfb_->FindWindow(kWindowName, 5000);
  ASSERT_NE(window, 0u);

  // The filled share of the bar's middle row: pixels that differ from the empty end.
  const int barX = DuX(8), barY = DuY(69), barW = DuX(250), barH = DuY(12);
  auto filledShare = [&](const RgbImage& shot) {
    const uint8_t* empty = shot.At(barX + barW - 3, barY + barH / 2);
    int filled = 0;
    for (int x = barX + 2; x < barX + barW - 2; ++x)
      filled += std::memcmp(shot.At(x, barY + barH / 2), empty, 3) != 0;
    return static_cast<double>(filled) / (barW - 4);
  };
  // The bar moves as the data arrives, so a screenshot may catch it on its way; it must
  // come to rest at the stall's share.
  const RgbImage shot =
      ScreenshotWhen(window, [&](const RgbImage& s) { return std::fabs(filledShare(s) - 0.40) <= 0.02; }, 10000);
  ASSERT_TRUE(shot.ok());
  EXPECT_NEAR(filledShare(shot), 0.40, 0.02);

  // EX ends the stalled download; nothing is left staged.
  const int exX = DuX(105) + DuX(55) / 2, exY = DuY(137) + DuY(15) / 2;
  ASSERT_TRUE(xvfb_->Xdotool({"mousemove", "--window", std::to_string(window), std::to_string(exX),
                              std::to_string(exY), "click", "1"}));
  ExpectExitZero(5000);
  EXPECT_FALSE(zdtest::FileExists(tree_.Path("app/Update/big.dat")));
  EXPECT_FALSE(zdtest::FileExists(tree_.Path("app/big.dat")));
}

}  // namespace
