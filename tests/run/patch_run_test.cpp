// Whole patch runs in-process: the real FTP client against a real FTP server, real
// files, the scripted window answering boxes and pressing EX.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/gzip_builder.h"
#include "support/patch_run.h"
#include "support/silent_server.h"
#include "support/x11_session.h"

namespace {

using namespace zdtest;

using PatchRun = PatchRunTest;

TEST_F(PatchRun, InstallsDeletesInListOrderAndStartsTheGame) {
  InstallGame();
  server_.WriteFile("patch/data/a.dat", "alpha");
  server_.WriteFile("patch/data/sub/b.dat", "bravo!");
  server_.WriteFile("patch/c.dat", std::string(70000, 'c'));
  tree_.Write("game/old.dat", "old");
  tree_.Write("game/data/current.dat", "same");
  tree_.SetLocalMtime("game/data/current.dat", 2002, 6, 1, 14, 30);
  // a is deleted after its own installation; b's old copy before b is fetched.
  tree_.WriteStale("game/data/sub/b.dat", "stale");
  List("# sample patch\n"
       "C 2002-06-01 14:30 5 data\\a.dat data/a.dat\n"
       "D 2002-06-01 14:30 0 data\\a.dat data/a.dat\n"
       "C 2002-06-01 14:30 4 data\\current.dat data/current.dat\n"
       "D 2002-06-01 14:30 0 old.dat old.dat\n"
       "C 2002-06-02 09:05 6 data\\sub\\b.dat /data/sub/b.dat\n"
       "C 2002-06-03 23:59 70000 c.dat c.dat\r\n");
  Run();
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_FALSE(FileExists(Local("data/a.dat")));
  EXPECT_FALSE(FileExists(Local("old.dat")));
  EXPECT_EQ(ReadFile(Local("data/sub/b.dat")), "bravo!");
  EXPECT_EQ(LocalStamp(Local("data/sub/b.dat")), "2002-06-02 09:05");
  EXPECT_EQ(ReadFile(Local("c.dat")), std::string(70000, 'c'));
  EXPECT_EQ(LocalStamp(Local("c.dat")), "2002-06-03 23:59");
  EXPECT_EQ(ReadFile(Local("data/current.dat")), "same");  // current: not fetched
  // Emptied staging directories go; their parents stay.
  EXPECT_FALSE(FileExists(Local("Update/data/sub")));
  EXPECT_TRUE(FileExists(Local("Update/data")));
  ASSERT_TRUE(GameStarted());
  EXPECT_EQ(ReadFile(GameLog()), "-U\n");

  const auto texts = StatusTexts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.front(), "Connecting to ZidoDiruv Server...");
  EXPECT_TRUE(Shown("Successfully connected."));
  EXPECT_TRUE(Shown("Confirming patch file list..."));
  EXPECT_TRUE(Shown("[1/3] data/a.dat receiving..."));
  EXPECT_TRUE(Shown("[2/3] /data/sub/b.dat receiving..."));
  EXPECT_TRUE(Shown("[3/3] c.dat receiving..."));
  EXPECT_EQ(texts.back(), "Patch installed.");

  // One connection and one log-on for the list and for each file, as the server saw it.
  EXPECT_EQ(server_.Connections(), 4);
  EXPECT_EQ(server_.SuccessfulLogons(), 4);
  EXPECT_EQ(server_.Retrs(), 4);
  for (int c = 1; c <= 4; ++c) {
    const auto commands = server_.CommandsOf(c);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "USER"), 1) << "connection " << c;
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR"), 1) << "connection " << c;
  }
}

TEST_F(PatchRun, DeletionsAreDoneWhateverTheirSizeColumnSays) {
  InstallGame();
  for (const char* name : {"neg.dat", "wide.dat", "long.dat", "kept.dat"}) tree_.Write(std::string("game/") + name, "x");
  List("D 2002-06-01 14:30 -1 neg.dat neg.dat\n"
       "D 2002-06-01 14:30 4294967296 wide.dat wide.dat\n"
       "D 2002-06-01 14:30 " + std::string(40, '9') + " long.dat long.dat\n");
  Run();
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_FALSE(FileExists(Local("neg.dat")));
  EXPECT_FALSE(FileExists(Local("wide.dat")));
  EXPECT_FALSE(FileExists(Local("long.dat")));
  EXPECT_TRUE(FileExists(Local("kept.dat")));
  EXPECT_EQ(StatusTexts().back(), "Patch installed.");
  ASSERT_TRUE(GameStarted());
}

// Sets or clears the immutable attribute; false where the file system or the
// process's privileges do not allow it.
bool SetImmutable(const std::string& path, bool on) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return ok;
}

TEST_F(PatchRun, AFileThatCannotBePutInPlaceEndsTheRunWithTheSystemsText) {
  // No game file: a start attempt would show a box of its own.
  server_.WriteFile("patch/a.dat", "alpha");
  server_.WriteFile("patch/b.dat", "bravo");
  server_.WriteFile("patch/c.dat", "charlie");
  server_.WriteFile("patch/z.dat.gz", Gzip("zulu"));
  const std::string lines = "C 2002-06-01 14:30 5 a.dat a.dat\n"
                            "C 2002-06-01 14:30 5 b.dat b.dat\n"
                            "C 2002-06-01 14:30 7 c.dat c.dat\n";
  struct Case {
    const char* name;
    std::string list;
    const char* blocked;  // the target that cannot be replaced
  } cases[] = {
      {"plain file", lines, "b.dat"},
      {"unpacked file", "C 2002-06-01 14:30 5 a.dat a.dat\nZ 2002-06-01 14:30 4:24 z.dat z.dat.gz\n"
                        "C 2002-06-01 14:30 7 c.dat c.dat\n", "z.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetWindow();
    RemoveTree(Local(""));
    Settings();
    // A directory stands where the file belongs: no rename replaces it, not even root's.
    tree_.Write("game/" + std::string(c.blocked) + "/inside.txt", "kept");
    List(c.list);
    const int retrsBefore = server_.Retrs();
    Run();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Is a directory."});
    EXPECT_FALSE(Shown("Patch installed."));
    EXPECT_EQ(ReadFile(Local("a.dat")), "alpha");  // installed before: stays
    EXPECT_EQ(ReadFile(Local(std::string(c.blocked) + "/inside.txt")), "kept");
    EXPECT_FALSE(FileExists(Local("c.dat")));       // the walk ended there
    EXPECT_EQ(server_.Retrs() - retrsBefore, 3);     // list, a, the blocked one
    EXPECT_FALSE(FileExists(Local(std::string("Update/") + c.blocked)));
    EXPECT_FALSE(FileExists(Local(std::string("Update/") + c.blocked + ".gz")));
  }
}

TEST_F(PatchRun, AnImmutableTargetEndsTheRunWithTheSystemsText) {
  server_.WriteFile("patch/a.dat", "alpha");
  const std::string target = tree_.WriteStale("game/a.dat", "old");
  if (!SetImmutable(target, true)) GTEST_SKIP() << "the immutable attribute cannot be set here";
  struct Release {
    std::string path;
    ~Release() { SetImmutable(path, false); }
  } release{target};
  List("C 2002-06-01 14:30 5 a.dat a.dat\n");
  Run();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Operation not permitted."});
  EXPECT_EQ(ReadFile(target), "old");
  EXPECT_FALSE(Shown("Patch installed."));
}

TEST_F(PatchRun, ListPathForEachBaseDirectoryForm) {
  InstallGame();
  struct Case {
    const char* base;
    const char* listAt;
  } cases[] = {{"patch", "patch/patch.lst"}, {"patch/", "patch/patch.lst"}, {"/", "patch.lst"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base);
    ResetWindow();
    Settings(c.base);
    List("D 2002-06-01 14:30 0 gone.dat gone.dat\n", c.listAt);
    tree_.Write("game/gone.dat", "x");
    Run();
    EXPECT_FALSE(FileExists(Local("gone.dat")));
    EXPECT_TRUE(BoxTexts().empty());
  }
  // Deletion-only lists make no file connection.
  EXPECT_EQ(server_.Connections(), 3);
}

TEST_F(PatchRun, AnEmptyQueueStartsTheGameWithoutPatchInstalled) {
  InstallGame();
  tree_.Write("game/a.dat", "12345");
  tree_.SetLocalMtime("game/a.dat", 2002, 6, 1, 14, 30);
  List("C 2002-06-01 14:30 5 a.dat a.dat\n# nothing else\n");
  Run();
  ASSERT_TRUE(GameStarted());
  EXPECT_EQ(StatusTexts().back(), "Confirming patch file list...");
  EXPECT_FALSE(Shown("Patch installed."));
  EXPECT_EQ(server_.Connections(), 1);
}

// Runs whose installed patcher is this very program, a link to the test's own file (so
// the tree lies beside it, on its file system): only that file is renewed by a hand-off.
class HandOffRun : public PatchRunTest {
 protected:
  HandOffRun() : PatchRunTest(30000, ZD_BINARY_DIR) {}
  void InstallThisProgramAs(const std::string& rel) {
    ASSERT_EQ(::linkat(AT_FDCWD, "/proc/self/exe", AT_FDCWD, Local(rel).c_str(), AT_SYMLINK_FOLLOW), 0)
        << std::strerror(errno);
  }
};

TEST_F(HandOffRun, ANewPatcherIsHandedOverInsteadOfStartingTheGame) {
  InstallGame();
  const std::string handOffLog = tree_.Path("handoff.log");
  auto patcher = [&](const char* name) {
    return std::string("#!/bin/sh\necho ") + name + " \"$@\" >> '" + handOffLog + "'\n";
  };
  server_.WriteFile("patch/first.bin", patcher("first"));
  server_.WriteFile("patch/second.bin", patcher("second"));
  server_.WriteFile("patch/x.dat", "x");
  const std::string first = patcher("first"), second = patcher("second");
  // The installed patcher under two names, one spelled otherwise than the list spells it;
  // and another build's patcher, which is just a file here.
  InstallThisProgramAs("zidodiruv");
  InstallThisProgramAs("ZidoDiruv2");
  server_.WriteFile("patch/ZidoDiruv.exe", "MZ other build");
  List("P 2002-07-15 09:05 " + std::to_string(first.size()) + " zidodiruv first.bin\n"
       "C 2002-07-15 09:05 1 x.dat x.dat\n"
       "P 2003-01-02 03:04 14 ZidoDiruv.exe ZidoDiruv.exe\n"
       "P 2002-07-15 09:06 " + std::to_string(second.size()) + " zidodiruv2 second.bin\n");
  Run();
  EXPECT_EQ(ReadFile(Local("ZidoDiruv.exe")), "MZ other build");
  EXPECT_EQ(LocalStamp(Local("ZidoDiruv.exe")), "2003-01-02 03:04");
  EXPECT_EQ(StatusTexts().back(), "Patch installed.");
  ASSERT_TRUE(WaitForLine(handOffLog));
  const std::string staged = Local("Update/zidodiruv2");
  EXPECT_EQ(ReadFile(handOffLog), "second -P " + staged + " " + Local("ZidoDiruv2") + " 2002-07-15 09:06\n");
  // The hand-off's own program survives the clean-up; the other staged copy does not.
  EXPECT_TRUE(FileExists(staged));
  EXPECT_FALSE(FileExists(Local("Update/zidodiruv")));
  EXPECT_FALSE(FileExists(GameLog()));
  EXPECT_TRUE(BoxTexts().empty());
}

TEST_F(HandOffRun, APendingPatcherWinsOverTheGameAfterANetworkQuestionAnsweredYes) {
  InstallGame();
  InstallThisProgramAs("zidodiruv");
  const std::string handOffLog = tree_.Path("handoff.log");
  const std::string patcher = "#!/bin/sh\necho \"$@\" >> '" + handOffLog + "'\n";
  server_.WriteFile("patch/new.bin", patcher);
  server_.WriteFile("patch/a.dat", "a");
  List("P 2002-07-15 09:05 " + std::to_string(patcher.size()) + " zidodiruv new.bin\n"
       "C 2002-06-01 14:30 1 a.dat a.dat\n");
  // The list's and the patcher's connections log on; the next one, for a.dat, fails.
  FtpFaults faults;
  faults.loginsAllowed = 2;
  server_.SetFaults(faults);
  ScriptedWindow::Get().AnswerBoxes([](const BoxRecord&) { return plat::kIdYes; });
  Run();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{kFileQuestion});
  ASSERT_TRUE(WaitForLine(handOffLog));
  EXPECT_EQ(ReadFile(handOffLog),
            "-P " + Local("Update/zidodiruv") + " " + Local("zidodiruv") + " 2002-07-15 09:05\n");
  // The hand-off is the one start: the game waits for the renewed patcher.
  EXPECT_FALSE(FileExists(GameLog()));
}

TEST_F(PatchRun, AWindowsGameWithoutWineShowsWhatToInstall) {
  if (KernelRunsWindowsPrograms()) GTEST_SKIP() << "this machine's kernel starts Windows programs itself";
  tree_.Write("game/Vorn.exe", "MZ, a Windows program");
  List("# nothing to do\n");
  tree_.MakeDirs("empty");
  {
    ScopedEnv wine("WINE", "");
    ScopedEnv path("PATH", tree_.Path("empty"));
    Run();
  }
  ASSERT_EQ(BoxTexts(), std::vector<std::string>{"Vorn.exe is a Windows program. Install Wine to start it."});
  EXPECT_EQ(ScriptedWindow::Get().Boxes()[0].flags, plat::kBoxOk | plat::kBoxIconError);
}

TEST_F(PatchRun, ListConnectionFailureAskedYesStartsTheGame) {
  InstallGame();
  RefusingPort refusing;
  Settings("/patch/", refusing.port());
  ScriptedWindow::Get().AnswerBoxes([](const BoxRecord&) { return plat::kIdYes; });
  Run();
  ASSERT_EQ(BoxTexts(), std::vector<std::string>{kListQuestion});
  EXPECT_EQ(ScriptedWindow::Get().Boxes()[0].flags, plat::kBoxYesNo | plat::kBoxIconError);
  ASSERT_TRUE(GameStarted());
  EXPECT_EQ(ReadFile(GameLog()), "-U\n");
}

TEST_F(PatchRun, RefusedLogonAnsweredNoStartsNothing) {
  // No game file: a start attempt would show its own box.
  Settings("/patch/", 0, "wrong");
  Run();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{kListQuestion});
  EXPECT_EQ(server_.SuccessfulLogons(), 0);
}

TEST_F(PatchRun, AMissingListIsReportedAndNothingStarts) {
  Run();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Cannot receive patch file."});
}

TEST_F(PatchRun, AMissingFileNamesItsRemotePathAndLeavesNothingStaged) {
  server_.WriteFile("patch/a.dat", "a");
  List("C 2002-06-01 14:30 1 a.dat a.dat\nC 2002-06-01 14:30 1 data\\x.dat data/x.dat\n");
  Run();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"/patch/data/x.dat cannot receive file."});
  EXPECT_EQ(ReadFile(Local("a.dat")), "a");
  ExpectNothingStaged();
}

TEST_F(PatchRun, FileConnectionFailureAskedYesStartsTheGame) {
  InstallGame();
  server_.WriteFile("patch/a.dat", "a");
  List("C 2002-06-01 14:30 1 a.dat a.dat\n");
  FtpFaults refused;  // from the file's connection on
  refused.refuseLogin = true;
  FaultsAfterList(refused);
  ScriptedWindow::Get().AnswerBoxes([](const BoxRecord&) { return plat::kIdYes; });
  Run();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{kFileQuestion});
  ASSERT_TRUE(GameStarted());
  EXPECT_FALSE(FileExists(Local("a.dat")));
}

TEST_F(PatchRun, AnAlwaysEntryEndsInTheWrongTypeBoxAndTheWalkGoesOn) {
  InstallGame();
  server_.WriteFile("notice/Notice.txt", "hello");
  server_.WriteFile("patch/notice/Notice.txt", "hello");
  server_.WriteFile("patch/b.dat", "b");
  List("A 2002-06-02 09:00 5 Notice.txt /notice/Notice.txt\nC 2002-06-02 09:00 1 b.dat b.dat\n");
  Run();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Patch file type is not right."});
  EXPECT_EQ(ReadFile(Local("b.dat")), "b");
  EXPECT_FALSE(FileExists(Local("Notice.txt")));
  ExpectNothingStaged();
  ASSERT_TRUE(GameStarted());
}

TEST_F(PatchRun, ExDuringADownloadStopsWithoutABoxAndCleansUp) {
  server_.WritePatternFile("patch/big.dat", 400000);
  List("C 2002-06-01 14:30 400000 big.dat big.dat\n");
  FtpFaults slow;
  slow.rate = 100000;
  server_.SetFaults(slow);
  ScriptedWindow::Get().PressExWhen([] { return Shown("[1/1] big.dat receiving..."); });
  Run();
  EXPECT_TRUE(ScriptedWindow::Get().ExPressed());
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_FALSE(FileExists(Local("big.dat")));
  EXPECT_FALSE(FileExists(Local("Update/big.dat")));
  EXPECT_FALSE(Shown("Patch installed."));
}

}  // namespace
