// The -P and -D steps in-process, with the test window recording their boxes: the
// texts, the missing owner, the 3-second limit, and what each failure leaves behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "handoff/handoff.h"
#include "support/scripted_window.h"
#include "support/temp_tree.h"
#include "support/x11_session.h"

namespace {

using namespace zdtest;

const char kNotFinished[] = "ZidoDiruv program is not finished.";
const char kCannotRenew[] = "Cannot renew ZidoDiruv program.";

class HandOffStep : public ::testing::Test {
 protected:
  void SetUp() override { ScriptedWindow::Get().Reset(); }
  void TearDown() override { SetProcessArguments(0, nullptr); }

  // Sets the process's arguments as the switch modes read them.
  void Arguments(std::vector<std::string> args) {
    args_ = std::move(args);
    argv_.clear();
    for (std::string& a : args_) argv_.push_back(&a[0]);
    argv_.push_back(nullptr);
    SetProcessArguments(static_cast<int>(args_.size()), argv_.data());
  }
  static std::vector<BoxRecord> Boxes() { return ScriptedWindow::Get().Boxes(); }

  TempTree tree_;
  std::vector<std::string> args_;
  std::vector<char*> argv_;
};

TEST_F(HandOffStep, ARenewedPatcherThatCannotStartIsReportedAfterTheReplacement) {
  ScopedTimeZone zone("America/New_York");
  // Replaced files keep their permission bits: this target cannot be started.
  const std::string target = tree_.Write("zidodiruv", "old");
  ::chmod(target.c_str(), 0644);
  const std::string source = tree_.Write("Update/zidodiruv", "#!/bin/sh\nexit 0\n");
  ::chmod(source.c_str(), 0755);
  Arguments({"", "-P", source, target, "2002-07-15", "09:05"});
  EXPECT_TRUE(RunReplaceMode());
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, kCannotRenew);
  EXPECT_EQ(Boxes()[0].title, "Tessary ZidoDiruv");
  EXPECT_EQ(Boxes()[0].flags, plat::kBoxOk | plat::kBoxIconError);
  EXPECT_FALSE(Boxes()[0].hadOwner);
  EXPECT_EQ(ReadFile(target), "#!/bin/sh\nexit 0\n");
  // Stamped with the listed local date and time, with the offset of that date: 09:05
  // summer time in New York is 13:05 UTC, in whichever season the step runs.
  plat::FileStatus status;
  plat::CalendarTime c;
  ASSERT_TRUE(plat::QueryFile(target.c_str(), &status) && plat::SplitFileTime(status.lastWrite, &c));
  EXPECT_EQ(std::vector<int>({c.year, c.month, c.day, c.hour, c.minute}), std::vector<int>({2002, 7, 15, 13, 5}));
  EXPECT_EQ(LocalStamp(target), "2002-07-15 09:05");
  EXPECT_TRUE(FileExists(source)) << "the staging copy stays";
}

TEST_F(HandOffStep, AStagingPathThatNoCommandLineCanCarryReplacesNothing) {
  const std::string target = tree_.Write("zidodiruv", "old");
  const std::string source = tree_.Write("Up\"date/zidodiruv", "new");
  Arguments({"", "-P", source, target, "2002-07-15", "09:05"});
  EXPECT_FALSE(RunReplaceMode());
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, kCannotRenew);
  EXPECT_EQ(ReadFile(target), "old");
}

TEST_F(HandOffStep, BothStepsGiveUpAfterThreeSecondsWhileTheOtherProgramRuns) {
  // The installed patcher still running: a program runs from the target's file.
  const std::string target = tree_.Write("zidodiruv", ReadFile("/bin/sleep"));
  ::chmod(target.c_str(), 0755);
  ChildProcess running;
  ASSERT_TRUE(running.Start({target, "60"}, {}));
  ASSERT_TRUE(WaitUntil([&] { return ReadFile("/proc/" + std::to_string(running.pid()) + "/comm") == "zidodiruv\n"; },
                        10000));
  const std::string source = tree_.Write("Update/zidodiruv", "new");
  Arguments({"", "-P", source, target, "2002-07-15", "09:05"});
  double started = SteadyNowMs();
  EXPECT_FALSE(RunReplaceMode());
  EXPECT_GE(SteadyNowMs() - started, 3000.0);
  EXPECT_EQ(ReadFile(target), ReadFile("/bin/sleep"));
  EXPECT_TRUE(FileExists(source));

  // The renewed patcher while the replacing copy still runs from the staging copy.
  Arguments({"", "-D", target});
  started = SteadyNowMs();
  EXPECT_FALSE(RunDeleteMode());
  EXPECT_GE(SteadyNowMs() - started, 3000.0);
  EXPECT_TRUE(FileExists(target));

  ASSERT_EQ(Boxes().size(), 2u);
  for (const BoxRecord& box : Boxes()) {
    EXPECT_EQ(box.text, kNotFinished);
    EXPECT_FALSE(box.hadOwner);
  }
  // Once it has ended, the deletion goes through at the first attempt.
  running.Kill();
  EXPECT_TRUE(RunDeleteMode());
  EXPECT_FALSE(FileExists(target));
  EXPECT_EQ(Boxes().size(), 2u);
}

}  // namespace
