// The Patcher's start and shutdown, in-process with the scripted window.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "app/patcher.h"
#include "support/scripted_window.h"
#include "support/silent_server.h"
#include "support/temp_tree.h"

namespace {

using zdtest::ScopedEnv;
using zdtest::ScriptedWindow;
using zdtest::TempTree;

// An installation found through the registry stand-in (the test program's own
// directory holds no settings file), with settings pointing at `port`.
struct Installation {
  explicit Installation(uint16_t port)
      : dirs("XDG_CONFIG_DIRS", tree.Path("xdg")), runtime("XDG_RUNTIME_DIR", ""), tmp("TMPDIR", tree.root()) {
    tree.Write("xdg/SOFTWARE/Brisco Entertainment/Tessary/SETUP PATH", tree.Path("game") + "/\n");
    tree.WriteSettings("game", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(port) +
                                   "\nUSERID=u\nPASSWD=p\nBASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n");
  }
  TempTree tree;
  ScopedEnv dirs;
  ScopedEnv runtime;
  ScopedEnv tmp;
};

TEST(PatcherStart, NoSettingsAnywhereShowsTheBoxAndConnectsNowhere) {
  TempTree tree;
  ScopedEnv dirs("XDG_CONFIG_DIRS", tree.Path("xdg"));
  ScriptedWindow& window = ScriptedWindow::Get();
  window.Reset();
  Patcher patcher;
  ASSERT_TRUE(patcher.RunPatchWindow(nullptr));
  EXPECT_FALSE(window.TimedOut());
  const auto boxes = window.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Cannot read patch detail.");
  EXPECT_EQ(boxes[0].title, "Tessary ZidoDiruv");
  EXPECT_EQ(boxes[0].flags, plat::kBoxOk | plat::kBoxIconError);
  EXPECT_TRUE(boxes[0].hadOwner);
  EXPECT_TRUE(window.Texts().empty());  // no status: no connection was tried
  EXPECT_EQ(patcher.internetHandle.load(), nullptr);
  EXPECT_EQ(patcher.state.load(), Closing);
}

TEST(PatcherClose, CloseFromTwoThreadsAtOnceShutsDownOnce) {
  zdtest::SilentServer silent;  // the connection hangs, so the window stays up
  Installation install(silent.port());
  ScriptedWindow& window = ScriptedWindow::Get();
  window.Reset();
  Patcher patcher;
  // After a network failure answered Yes the shutdown starts the game; it is missing,
  // so each start attempt would show one box.
  patcher.networkFailed = 1;
  patcher.launchAfterFailure = 1;
  std::thread closers([&] {
    if (!zdtest::WaitUntil([&] { return window.Handle() != nullptr; })) return;
    plat::WindowHandle hwnd = window.Handle();
    std::thread a([hwnd] { plat::SendToWindow(hwnd, plat::kMsgClose, 0, 0); });
    std::thread b([hwnd] { plat::SendToWindow(hwnd, plat::kMsgClose, 0, 0); });
    a.join();
    b.join();
  });
  ASSERT_TRUE(patcher.RunPatchWindow(nullptr));
  closers.join();
  EXPECT_FALSE(window.TimedOut());
  const auto boxes = window.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "No such file or directory.");
  EXPECT_EQ(window.DialogsRun(), 1);
  EXPECT_EQ(patcher.workerThread, nullptr);
  EXPECT_EQ(patcher.stopEvent, nullptr);
  EXPECT_EQ(patcher.internetHandle.load(), nullptr);
}

}  // namespace
