// The self-update with real processes of the built program: the old patcher hands
// over to the downloaded copy, which replaces it and starts the renewed patcher, which
// removes the copy and patches again before it starts the game. Also the hand-off
// steps on their own: an old patcher that does not end, a staging copy that is not
// there, and a replacing copy killed half-way through its copy.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "support/ftp_server.h"
#include "support/silent_server.h"
#include "support/temp_tree.h"
#include "support/x11_session.h"

namespace {

using namespace zdtest;

const char kWindowName[] = "^Vorn-ZEDA  Patch$";
const char kBoxName[] = "^Tessary ZidoDiruv$";

// Bytes written so far by a process (its write calls).
long long BytesWritten(pid_t pid) {
  std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/io"));
  for (std::string key; in >> key;) {
    long long value = 0;
    in >> value;
    if (key == "wchar:") return value;
  }
  return -1;
}

class HandOffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    xvfb_ = std::make_unique<XvfbSession>();
    ASSERT_TRUE(xvfb_->Start()) << "Xvfb could not be started";
    for (const char* dir : {"play/Update", "run", "home", "xdg"}) tree_.MakeDirs(dir);
    ::chmod(tree_.Path("run").c_str(), 0700);
    oldPatcher_ = ReadFile(ZD_PROGRAM);
    // The new version: the same program with bytes of its own after the end of the
    // image, which the loader ignores.
    newPatcher_ = oldPatcher_ + std::string(4096, '\n') + "renewed\n";
    installed_ = tree_.WriteStale("play/zidodiruv", oldPatcher_);
    ::chmod(installed_.c_str(), 0755);
    staged_ = tree_.Path("play/Update/zidodiruv");
  }
  void TearDown() override {
    // Nothing the test started, directly or through the hand-off, outlives it.
    for (const std::string& path : {installed_, staged_})
      for (pid_t pid : ProcessesRunningFrom(path)) ::kill(pid, SIGKILL);
  }

  void WriteSettings(uint16_t port) {
    tree_.WriteSettings("play", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(port) +
                                    "\nUSERID=patchuser\nPASSWD=pa55word\nBASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n");
  }
  void StageNewPatcher(const std::string& bytes) {
    WriteFile(staged_, bytes);
    ::chmod(staged_.c_str(), 0755);
  }
  void Start(ChildProcess& child, const std::string& program, const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(child.Start(argv, ProgramEnv(*xvfb_, tree_.root()), tree_.Path("play")));
  }
  void StartReplacing(ChildProcess& child) {
    Start(child, staged_, {"-P", staged_, installed_, "2002-07-15", "09:05"});
  }
  int VisibleWindows(const char* pattern) const { return xvfb_->VisibleWindows(pattern); }
  // Presses Return on the box until the process ends.
  void AnswerBoxUntilExit(ChildProcess& child, unsigned long box) {
    int code = -1;
    ASSERT_TRUE(xvfb_->PressReturnUntilExit(child, box, 10000, &code)) << "the program did not end after its box";
    EXPECT_EQ(code, 0);
  }
  std::string ProbeLog() const { return ReadFile(tree_.Path("play/probe.log")); }

  std::unique_ptr<XvfbSession> xvfb_;
  TempTree tree_;
  std::string oldPatcher_, newPatcher_, installed_, staged_;
};

TEST_F(HandOffTest, TheOldPatcherIsReplacedAndTheRenewedOnePatchesAndStartsTheGameOnce) {
  FtpServerFixture server;
  ASSERT_TRUE(server.ok());
  WriteSettings(server.port());
  const std::string game = tree_.Write("play/Vorn.exe", ReadFile(ZD_PROBE));
  ::chmod(game.c_str(), 0755);
  server.WriteFile("patch/new/zidodiruv", newPatcher_);
  server.WriteFile("patch/patch.lst",
                   "P 2002-07-15 09:05 " + std::to_string(newPatcher_.size()) + " zidodiruv new/zidodiruv\r\n");

  ChildProcess old;
  Start(old, installed_);
  int code = -1;
  ASSERT_TRUE(old.WaitExit(60000, &code)) << "the old patcher did not end";
  EXPECT_EQ(code, 0);
  // The renewed patcher runs from the installed path; the game is its last act.
  ASSERT_TRUE(WaitUntil([&] { const std::string t = ProbeLog(); return !t.empty() && t.back() == '\n'; }, 60000))
      << "the game was not started";
  ASSERT_TRUE(WaitUntil([&] { return ProcessesRunningFrom(installed_).empty(); }, 30000)) << "the renewed patcher did not end";

  EXPECT_EQ(ReadFile(installed_), newPatcher_);
  EXPECT_EQ(LocalStamp(installed_), "2002-07-15 09:05");
  struct stat st;
  ASSERT_EQ(::stat(installed_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_FALSE(FileExists(staged_)) << "the staging copy was not removed";
  // Two runs read the list; only the first fetched the patcher, which the second
  // found current.
  EXPECT_EQ(server.CommandCount("RETR"), 3);
  int patcherFetches = 0;
  for (const FtpLogEntry& e : server.Log()) patcherFetches += e.kind == "CMD" && e.verb == "RETR" &&
                                                                 e.argument.find("zidodiruv") != std::string::npos;
  EXPECT_EQ(patcherFetches, 1);
  // Started exactly once, with -U, in a session of its own, holding none of the
  // patcher's descriptors (the instance lock among them).
  const std::string log = ProbeLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find("Vorn.exe session=own fds="), std::string::npos) << log;
  EXPECT_NE(log.find(" args=-U\n"), std::string::npos) << log;
  const size_t fds = log.find("fds=") + 4;
  for (const std::string fd : {"3", "4", "5", "6", "7", "8", "9"})
    EXPECT_EQ(("," + log.substr(fds, log.find(' ', fds) - fds) + ",").find("," + fd + ","), std::string::npos) << log;
  EXPECT_EQ(VisibleWindows(kBoxName), 0);
}

TEST_F(HandOffTest, AnOldPatcherStillRunningAfterThreeSecondsKeepsItsFile) {
  SilentServer silent;  // the old patcher's log-on hangs, so it keeps running
  WriteSettings(silent.port());
  ChildProcess old;
  Start(old, installed_);
  ASSERT_NE(xvfb_->FindWindow(kWindowName, 10000), 0u) << "the old patcher's window did not appear";
  StageNewPatcher(newPatcher_);

  ChildProcess replacing;
  const double started = SteadyNowMs();
  StartReplacing(replacing);
  const unsigned long box = xvfb_->FindWindow(kBoxName, 15000);
  ASSERT_NE(box, 0u) << "no box";
  EXPECT_GE(SteadyNowMs() - started, 3000.0) << "gave up before the 3 seconds had passed";
  AnswerBoxUntilExit(replacing, box);
  EXPECT_EQ(ReadFile(installed_), oldPatcher_);
  EXPECT_EQ(ReadFile(staged_), newPatcher_);
  EXPECT_TRUE(old.Running());
  EXPECT_EQ(VisibleWindows(kWindowName), 1) << "a renewed patcher was started";
}

TEST_F(HandOffTest, DeleteModeWithAMissingCopyGivesUpAfterThreeSecondsWithoutARun) {
  ChildProcess renewed;
  const double started = SteadyNowMs();
  Start(renewed, installed_, {"-D", tree_.Path("play/Update/missing")});
  const unsigned long box = xvfb_->FindWindow(kBoxName, 15000);
  ASSERT_NE(box, 0u) << "no box";
  EXPECT_GE(SteadyNowMs() - started, 3000.0);
  EXPECT_EQ(VisibleWindows(kWindowName), 0);
  AnswerBoxUntilExit(renewed, box);
  EXPECT_EQ(VisibleWindows(kWindowName), 0) << "a patch run followed";
}

TEST_F(HandOffTest, AReplacingCopyKilledDuringItsCopyLeavesAWorkingPatcher) {
  // Large enough that the copy takes a while, so it can be caught in the middle.
  const std::string big = newPatcher_ + std::string(64 << 20, 'x');
  StageNewPatcher(big);
  bool caught = false;
  for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
    ChildProcess replacing;
    StartReplacing(replacing);
    const pid_t pid = replacing.pid();
    // Stopped once it has written something, killed if it is still short of the end.
    ASSERT_TRUE(WaitUntil([&] { return BytesWritten(pid) > 0 || !replacing.Running(); }, 10000));
    ::kill(pid, SIGSTOP);
    const long long written = BytesWritten(pid);
    caught = written > 0 && written < static_cast<long long>(big.size());
    replacing.Kill();
    if (!caught) {  // the copy finished first: start again from the old patcher
      WriteFile(installed_, oldPatcher_);
      ::chmod(installed_.c_str(), 0755);
      for (pid_t p : ProcessesRunningFrom(installed_)) ::kill(p, SIGKILL);
    }
  }
  ASSERT_TRUE(caught) << "the copy was never caught in the middle";
  EXPECT_EQ(ReadFile(installed_), oldPatcher_);
  EXPECT_EQ(DirectoryNames(tree_.Path("play")), (std::set<std::string>{"Update", "zidodiruv"}));
  // It still runs: a hand-off switch with too few arguments ends it at once.
  ChildProcess check;
  Start(check, installed_, {"-P"});
  int code = -1;
  ASSERT_TRUE(check.WaitExit(10000, &code));
  EXPECT_EQ(code, 0);
}

}  // namespace
