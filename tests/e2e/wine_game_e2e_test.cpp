// The built program in an installation of the Windows game: a Windows Vorn.exe (a
// stand-in, cross-compiled, that records its command line) started through Wine, a
// list that carries the Windows patcher, and a machine without Wine (the box's text is
// checked by the in-process runs).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/ftp_server.h"
#include "support/temp_tree.h"
#include "support/x11_session.h"

namespace {

using namespace zdtest;

const char kBoxName[] = "^Tessary ZidoDiruv$";
const char kZone[] = "TZ=UTC0";
const char kLocale[] = "LC_ALL=C.UTF-8";

// One Wine prefix for every run of these tests, kept in the build tree: creating one
// takes many seconds, reusing it well under one.
const std::string kPrefix = ZD_BINARY_DIR "/e2e-wineprefix";

std::vector<std::string> WineEnv() {
  return {"PATH=/usr/bin:/bin", "HOME=" + kPrefix, "WINEPREFIX=" + kPrefix, "WINEDEBUG=-all",
          "WINEDLLOVERRIDES=mscoree,mshtml=", kZone, kLocale};
}

// A Wine tool run to its end within `ms`; its output goes nowhere, so a server it
// leaves behind holds no pipe of the test's.
bool RunWine(const std::vector<std::string>& argv, int ms) {
  ChildProcess tool;
  int code = -1;
  return tool.Start(argv, WineEnv()) && tool.WaitExit(ms, &code) && code == 0;
}

class WindowsGameE2eTest : public ::testing::Test {
 protected:
  // The prefix and a server of the test's own for the test program's whole run: the
  // patcher's Wine attaches to it, and the server is stopped at the end, so nothing
  // outlives the test.
  static void SetUpTestSuite() {
    if (std::string(ZD_PROBE_WIN32).empty() || ::access("/usr/bin/wine", X_OK) != 0) return;
    // A kernel without a 32-bit mode (some virtual machines) cannot start Wine's loader
    // at all: the shell reports 126, "Exec format error".
    ChildProcess probe;
    int code = -1;
    if (probe.Start({"/bin/sh", "-c", "/usr/lib/wine/wine --version"}, WineEnv()) && probe.WaitExit(60000, &code) &&
        code == 126) {
      no32Bit_ = true;
      return;
    }
    MakeDirs(kPrefix);
    wineReady_ = RunWine({"wineserver", "-p60"}, 30000) && RunWine({"wineboot", "-i"}, 300000);
  }
  static void TearDownTestSuite() { RunWine({"wineserver", "-k"}, 30000); }

  void SetUp() override {
    if (std::string(ZD_PROBE_WIN32).empty()) GTEST_SKIP() << "no MinGW compiler: the Windows stand-in was not built";
    if (::access("/usr/bin/wine", X_OK) != 0) GTEST_SKIP() << "Wine is not installed";
    if (no32Bit_) GTEST_SKIP() << "this machine cannot run 32-bit x86 programs, so Wine cannot start";
    ASSERT_TRUE(wineReady_) << "the Wine prefix could not be prepared in " << kPrefix;
    ASSERT_TRUE(xvfb_.Start()) << "Xvfb could not be started";
    for (const char* dir : {"run", "home", "xdg", "nothing"}) tree_.MakeDirs(dir);
    ::chmod(tree_.Path("run").c_str(), 0700);
    const std::string program = tree_.Write("play/zidodiruv", ReadFile(ZD_PROGRAM));
    ::chmod(program.c_str(), 0755);
    tree_.Write("play/Vorn.exe", ReadFile(ZD_PROBE_WIN32));  // as a Windows disk gives it: not executable
  }

  void WriteSettings(uint16_t port) {
    tree_.WriteSettings("play", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(port) +
                                    "\nUSERID=patchuser\nPASSWD=pa55word\nBASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n");
  }
  // `path`: the program search path the patcher gets.
  void Start(ChildProcess& child, const std::string& path = "/usr/bin:/bin") {
    const std::vector<std::string> env = ProgramEnv(
        xvfb_, tree_.root(),
        {"PATH=" + path, "WINEPREFIX=" + kPrefix, "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="});
    ASSERT_TRUE(child.Start({tree_.Path("play/zidodiruv")}, env, tree_.Path("home")));
  }
  // The game's record: one line per start.
  std::vector<std::string> GameStarts() const {
    std::vector<std::string> lines;
    const std::string log = ReadFile(tree_.Path("play/probe.log"));
    for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(log.substr(start, end - start));
    return lines;
  }

  static bool wineReady_;
  static bool no32Bit_;
  XvfbSession xvfb_;
  TempTree tree_;
};

bool WindowsGameE2eTest::wineReady_ = false;
bool WindowsGameE2eTest::no32Bit_ = false;

TEST_F(WindowsGameE2eTest, TheWindowsPatcherIsAPlainFileAndTheGameStartsThroughWineOnEveryRun) {
  ScopedTimeZone zone("UTC0");  // the program's zone, for reading the listed time back
  FtpServerFixture server;
  ASSERT_TRUE(server.ok());
  WriteSettings(server.port());
  const std::string windowsPatcher = ReadFile(ZD_PROBE_WIN32);
  server.WriteFile("patch/ZidoDiruv.exe", windowsPatcher);
  server.WriteFile("patch/patch.lst",
                   "P 2003-01-02 03:04 " + std::to_string(windowsPatcher.size()) + " ZidoDiruv.exe ZidoDiruv.exe\r\n");
  for (size_t run = 1; run <= 2; ++run) {
    ChildProcess patcher;
    Start(patcher);
    int code = -1;
    ASSERT_TRUE(patcher.WaitExit(60000, &code)) << "run " << run << " did not end";
    EXPECT_EQ(code, 0);
    ASSERT_TRUE(WaitUntil([&] { return GameStarts().size() == run; }, 60000)) << "run " << run << " started no game";
  }
  // Started by Wine (the game's path as Windows sees the disk), with " -U".
  char real[4096];
  ASSERT_NE(::realpath(tree_.Path("play/Vorn.exe").c_str(), real), nullptr);
  std::string windowsPath = std::string("Z:") + real;
  for (char& c : windowsPath) c = c == '/' ? '\\' : c;
  EXPECT_EQ(GameStarts(), std::vector<std::string>(2, "[\"" + windowsPath + "\" -U]"));
  EXPECT_EQ(ReadFile(tree_.Path("play/ZidoDiruv.exe")), windowsPatcher);
  EXPECT_EQ(LocalStamp(tree_.Path("play/ZidoDiruv.exe")), "2003-01-02 03:04");
  EXPECT_EQ(server.Retrs(), 3) << "two lists and the Windows patcher once";
}

TEST_F(WindowsGameE2eTest, WithoutWineABoxSaysSoAndTheProgramEnds) {
  if (KernelRunsWindowsPrograms()) GTEST_SKIP() << "this machine's kernel starts Windows programs itself";
  FtpServerFixture server;
  ASSERT_TRUE(server.ok());
  WriteSettings(server.port());
  server.WriteFile("patch/patch.lst", "# nothing to do\r\n");
  ChildProcess patcher;
  Start(patcher, tree_.Path("nothing"));
  const unsigned long box = xvfb_.FindWindow(kBoxName, 10000);
  ASSERT_NE(box, 0u) << "no box";
  int code = -1;
  ASSERT_TRUE(xvfb_.PressReturnUntilExit(patcher, box, 10000, &code)) << "the program did not end after its box";
  EXPECT_EQ(code, 0);
}

}  // namespace
