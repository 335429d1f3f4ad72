// The status display: duration texts, the bar position, the one-second throttle and
// the figure lines, driven on the UI thread of the test window with a clock of the
// test's own.
#include "ui/status.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/patcher.h"
#include "patchlist/entry_list.h"
#include "patchlist/patch_entry.h"
#include "support/scripted_window.h"
#include "ui/dialog_layout.h"
#include "ui/resource.h"

namespace {

using zdtest::ScriptedWindow;

std::string Duration(int32_t seconds) {
  char out[kStatusTextCapacity];
  std::memset(out, 'x', sizeof out);
  FormatDuration(seconds, out);
  return out;
}

TEST(FormatDuration, PicksTheFormatByMagnitude) {
  EXPECT_EQ(Duration(0), "0s");
  EXPECT_EQ(Duration(60), "60s");
  EXPECT_EQ(Duration(61), "1m 1s");
  EXPECT_EQ(Duration(3600), "60m 0s");
  EXPECT_EQ(Duration(3601), "1h 0m 1s");
  EXPECT_EQ(Duration(7384), "2h 3m 4s");
  EXPECT_EQ(Duration(-5), "-5s");
  EXPECT_EQ(Duration(INT32_MIN), "-2147483648s");
  EXPECT_EQ(Duration(INT32_MAX), "596523h 14m 7s");
}

TEST(DownloadBarPosition, ThousandthsTruncatedAndHeldInRange) {
  EXPECT_EQ(DownloadBarPosition(0, 1310720), 0);
  EXPECT_EQ(DownloadBarPosition(524288, 1310720), 400);
  EXPECT_EQ(DownloadBarPosition(1, 3), 333);  // 333.33 truncated
  EXPECT_EQ(DownloadBarPosition(2, 3), 666);  // 666.67 truncated, not rounded
  EXPECT_EQ(DownloadBarPosition(1310720, 1310720), 1000);
  EXPECT_EQ(DownloadBarPosition(2000, 1000), 2000);  // more than listed: beyond full
  // A ratio far beyond the 32-bit range is held at its end instead of overflowing.
  EXPECT_EQ(DownloadBarPosition(INT32_MAX, 1), INT32_MAX);
  EXPECT_EQ(DownloadBarPosition(INT32_MAX, -1), INT32_MIN);
  // An empty entry is done once anything arrived.
  EXPECT_EQ(DownloadBarPosition(0, 0), 0);
  EXPECT_EQ(DownloadBarPosition(7, 0), 1000);
}

// The test's clock.
uint32_t g_now = 0;
uint32_t FakeTick() { return g_now; }

intptr_t PLAT_CALLBACK RunBodyProc(plat::WindowHandle window, uint32_t message, uintptr_t, intptr_t lParam) {
  if (message == plat::kMsgInitDialog) {
    (*reinterpret_cast<std::function<void(plat::WindowHandle)>*>(lParam))(window);
    plat::EndModalDialog(window, 0);
  }
  return 0;
}

// A Patcher downloading one entry, with the window's controls recorded.
class ShowStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScriptedWindow::Get().Reset();
    g_now = 50000;
    patcher.tick = FakeTick;
    entry.size = 1310720;
    patcher.cursor = &node;
    patcher.state.store(FetchingFile);
    patcher.fileStartTick = g_now;
    patcher.lastStatusTick = 0;
    patcher.totalBytes = 3 * 1048576;
  }
  void TearDown() override { patcher.cursor = nullptr; }

  // Runs `body` on the UI thread of a dialog whose handle the Patcher uses.
  void OnUiThread(const std::function<void()>& body) {
    std::function<void(plat::WindowHandle)> run = [&](plat::WindowHandle window) {
      patcher.hwnd = window;
      body();
      patcher.hwnd = nullptr;
    };
    ASSERT_EQ(plat::RunModalDialog(nullptr, PatchDialogLayout(), RunBodyProc, reinterpret_cast<intptr_t>(&run)), 0);
  }
  // Data arrives: the handlers add to both counters.
  void Receive(int32_t bytes) {
    patcher.fileBytes += bytes;
    patcher.totalReceived += bytes;
  }
  static std::vector<std::string> TextsOf(int id) {
    std::vector<std::string> out;
    for (const zdtest::TextRecord& r : ScriptedWindow::Get().Texts(id)) out.push_back(r.text);
    return out;
  }
  static std::vector<int> Positions() {
    std::vector<int> out;
    for (const zdtest::BarRecord& r : ScriptedWindow::Get().Bars())
      if (r.message == plat::kMsgBarSetPos) out.push_back(static_cast<int>(static_cast<intptr_t>(r.wParam)));
    return out;
  }

  Patcher patcher;
  PatchEntry entry;
  EntryNode node{&entry};
};

TEST_F(ShowStatusTest, ThrottlesTheTextButNeverTheBar) {
  OnUiThread([&] {
    Receive(131072);
    patcher.ShowStatus("first", false);  // lastStatusTick cleared: shown at once
    g_now += 400;
    Receive(131072);
    patcher.ShowStatus("second", false);  // 400 ms later: text kept
    g_now += 599;
    patcher.ShowStatus("third", false);  // 999 ms after the first: still kept
    g_now += 1;
    patcher.ShowStatus("fourth", false);  // a full second: shown
    g_now += 10;
    patcher.ShowStatus("forced", true);  // forced: always shown
    patcher.SetBarPosition(0);           // another step moved the bar meanwhile
    patcher.ShowStatus("after", false);
  });
  EXPECT_EQ(TextsOf(IDC_STATUS), (std::vector<std::string>{"first", "fourth", "forced"}));
  // The bar is sent each new position once: it follows every call that moves it.
  EXPECT_EQ(Positions(), (std::vector<int>{100, 200, 0, 200}));
  EXPECT_EQ(patcher.lastStatusTick, g_now);
}

TEST_F(ShowStatusTest, ThrottleMeasuresAcrossTheTickWrap) {
  patcher.lastStatusTick = 0xFFFFFE00u;
  OnUiThread([&] {
    g_now = 0x100;  // 768 ms after the last text, across the wrap
    patcher.ShowStatus("kept", false);
    g_now = 0x1E8;  // 1000 ms after it
    patcher.ShowStatus("shown", false);
  });
  EXPECT_EQ(TextsOf(IDC_STATUS), (std::vector<std::string>{"shown"}));
}

TEST_F(ShowStatusTest, WorkedExample) {
  patcher.totalReceived = 1048576;  // an earlier file of 1 MB
  OnUiThread([&] {
    Receive(524288);
    g_now += 4200;
    patcher.ShowStatus("[2/3] data.pak receiving...", false);
  });
  EXPECT_EQ(TextsOf(IDC_STATUS), (std::vector<std::string>{"[2/3] data.pak receiving..."}));
  EXPECT_EQ(TextsOf(IDC_FILE), (std::vector<std::string>{"6s (0.50 MB / 1.25 MB)"}));
  // (3 MB - 1.5 MB) / 131072 B/s = 12 s, at the current file's rate.
  EXPECT_EQ(TextsOf(IDC_TOTAL), (std::vector<std::string>{"12s (1.50 MB / 3.00 MB)"}));
  EXPECT_EQ(TextsOf(IDC_SPEED), (std::vector<std::string>{"128.0 KB/s"}));
  EXPECT_EQ(Positions(), (std::vector<int>{400}));
}

TEST_F(ShowStatusTest, FigureLinesWaitForTheFirstSecond) {
  OnUiThread([&] {
    Receive(1000);
    g_now += 999;
    patcher.ShowStatus("early", true);
    g_now += 1;
    patcher.ShowStatus("one second", true);
    // A later file: less than a second in, the previous file's figures stay.
    patcher.fileStartTick = g_now;
    patcher.fileBytes = 0;
    g_now += 500;
    Receive(4000);
    patcher.ShowStatus("next file", true);
  });
  EXPECT_EQ(TextsOf(IDC_STATUS), (std::vector<std::string>{"early", "one second", "next file"}));
  EXPECT_EQ(TextsOf(IDC_FILE).size(), 1u);
  EXPECT_EQ(TextsOf(IDC_TOTAL).size(), 1u);
  ASSERT_EQ(TextsOf(IDC_SPEED).size(), 1u);
  EXPECT_EQ(TextsOf(IDC_SPEED)[0], "1.0 KB/s");
}

TEST_F(ShowStatusTest, OutsideADownloadOnlyTheTextChanges) {
  OnUiThread([&] {
    Receive(500000);
    g_now += 5000;
    for (PatcherState s : {Idle, Connecting, FetchingList, ConnectingForFile, Unpacking, Closing}) {
      patcher.state.store(s);
      patcher.ShowStatus("text", true);
    }
  });
  EXPECT_EQ(TextsOf(IDC_STATUS).size(), 6u);
  EXPECT_TRUE(TextsOf(IDC_FILE).empty());
  EXPECT_TRUE(TextsOf(IDC_TOTAL).empty());
  EXPECT_TRUE(TextsOf(IDC_SPEED).empty());
  EXPECT_TRUE(ScriptedWindow::Get().Bars().empty());
}

TEST_F(ShowStatusTest, MoreBytesThanListed) {
  entry.size = 10000;
  patcher.totalBytes = 10000;
  OnUiThread([&] {
    Receive(40000);
    g_now += 10000;
    patcher.ShowStatus("over", false);
  });
  // rate 4000 B/s; (10000 - 40000) / 4000 = -7 s
  EXPECT_EQ(TextsOf(IDC_FILE), (std::vector<std::string>{"-7s (0.04 MB / 0.01 MB)"}));
  EXPECT_EQ(TextsOf(IDC_TOTAL), (std::vector<std::string>{"-7s (0.04 MB / 0.01 MB)"}));
  EXPECT_EQ(TextsOf(IDC_SPEED), (std::vector<std::string>{"3.9 KB/s"}));
  EXPECT_EQ(Positions(), (std::vector<int>{4000}));
}

TEST_F(ShowStatusTest, RateZeroLeavesTheRemainingTimeUnknown) {
  OnUiThread([&] {
    Receive(3);
    g_now += 5000;  // 3 bytes in 5 s: 0 B/s in whole bytes
    patcher.ShowStatus("slow", false);
  });
  EXPECT_EQ(TextsOf(IDC_FILE), (std::vector<std::string>{"-- (0.00 MB / 1.25 MB)"}));
  EXPECT_EQ(TextsOf(IDC_TOTAL), (std::vector<std::string>{"-- (0.00 MB / 3.00 MB)"}));
  EXPECT_EQ(TextsOf(IDC_SPEED), (std::vector<std::string>{"0.0 KB/s"}));
}

TEST_F(ShowStatusTest, EmptyEntryAndExtremeCountsStayBounded) {
  entry.size = 0;
  patcher.totalBytes = INT32_MAX;
  OnUiThread([&] {
    patcher.ShowStatus("nothing yet", true);
    patcher.fileBytes = 1;  // 1 byte of an empty entry, over a long time
    g_now += 2000000000u;
    patcher.ShowStatus("long", true);
  });
  EXPECT_EQ(Positions(), (std::vector<int>{0, 1000}));
  // 1 byte in 2,000,000 s is rate 0; the lines still fit their buffers.
  for (int id : {IDC_FILE, IDC_TOTAL, IDC_SPEED})
    for (const std::string& t : TextsOf(id)) EXPECT_LT(t.size(), kStatusTextCapacity);
  EXPECT_EQ(TextsOf(IDC_TOTAL), (std::vector<std::string>{"-- (0.00 MB / 2048.00 MB)"}));
}

TEST_F(ShowStatusTest, NegativeElapsedCountsAsTheFirstSecond) {
  OnUiThread([&] {
    Receive(1000);
    g_now = patcher.fileStartTick - 5;  // a start stamp in the future: signed difference
    patcher.ShowStatus("text", true);
  });
  EXPECT_EQ(TextsOf(IDC_STATUS).size(), 1u);
  EXPECT_TRUE(TextsOf(IDC_SPEED).empty());
}

}  // namespace
