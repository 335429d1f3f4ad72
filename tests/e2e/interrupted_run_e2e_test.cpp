// The built program killed in the middle of a download, as a player's machine may kill
// it, and started again: what the killed runs left half-written is taken over by the
// next download of the same file, or removed by the next run's clean-up, never kept.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ftp_server.h"
#include "support/temp_tree.h"
#include "support/x11_session.h"

namespace {

using zdtest::ChildProcess;
using zdtest::FtpFaults;
using zdtest::FtpServerFixture;
using zdtest::TempTree;
using zdtest::XvfbSession;

const char kBoxName[] = "^Tessary ZidoDiruv$";
constexpr long long kBigSize = 1000000;

// Names of the files under `dir` (recursively) that end in ".part".
void FindPartials(const std::string& dir, std::vector<std::string>* out) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      FindPartials(path, out);
    } else if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) {
      out->push_back(path);
    }
  }
  ::closedir(d);
}

class InterruptedRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb_.Start()) << "Xvfb could not be started";
    ASSERT_TRUE(server_.ok());
    for (const char* dir : {"app", "run", "xdg", "home"}) tree_.MakeDirs(dir);
    ::chmod(tree_.Path("run").c_str(), 0700);
    program_ = tree_.Write("app/zidodiruv", zdtest::ReadFile(ZD_PROGRAM));
    ::chmod(program_.c_str(), 0755);
    tree_.WriteSettings("app", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(server_.port()) +
                                   "\nUSERID=" + server_.user() + "\nPASSWD=" + server_.password() +
                                   "\nBASEDIRECTORY=/patch\nLISTFILE=list.txt\n");
    server_.WritePatternFile("patch/big.dat", kBigSize);
  }

  void Start(ChildProcess& run) {
    ASSERT_TRUE(run.Start({program_}, zdtest::ProgramEnv(xvfb_, tree_.root()), tree_.Path("app")));
  }

  // Everything the runs left half-written, in the installation and the runtime directory.
  std::vector<std::string> Partials() const {
    std::vector<std::string> found;
    FindPartials(tree_.Path("app"), &found);
    FindPartials(tree_.Path("run"), &found);
    return found;
  }
  std::string PartialNames() const {
    std::string names;
    for (const std::string& p : Partials()) names += p + "\n";
    return names;
  }

  // Starts a run whose download of big.dat stalls part-way and kills it once the
  // data has reached the disk.
  void KillDuringDownload() {
    FtpFaults stall;
    stall.stallAfter = kBigSize / 2;
    stall.path = "patch/big.dat";
    server_.SetFaults(stall);
    ChildProcess run;
    Start(run);
    const bool halfway = zdtest::WaitUntil(
        [&] {
          for (const std::string& p : Partials()) {
            struct stat st;
            if (::stat(p.c_str(), &st) == 0 && st.st_size >= kBigSize / 2) return true;
          }
          return false;
        },
        10000);
    ASSERT_TRUE(halfway) << "the download did not get under way";
    run.Kill();
    server_.ClearFaults();
  }

  void ExpectExitZero(ChildProcess& run) {
    int code = -1;
    ASSERT_TRUE(run.WaitExit(10000, &code)) << "the program did not end";
    EXPECT_EQ(code, 0);
  }

  XvfbSession xvfb_;
  FtpServerFixture server_;
  TempTree tree_;
  std::string program_;
};

TEST_F(InterruptedRun, KilledDownloadsLeaveNothingOnceACleanRunHasFollowed) {
  server_.WriteFile("patch/list.txt", "C 2002-06-01 14:30 1000000 big.dat big.dat\n");
  const std::string game = tree_.Write("app/Vorn.exe", "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/started\"\n");
  ::chmod(game.c_str(), 0755);

  // Two kills leave one half-written file between them, not one each.
  KillDuringDownload();
  KillDuringDownload();
  EXPECT_EQ(Partials().size(), 1u) << PartialNames();

  // A run that fails before it reaches big.dat still clears what was left for it.
  server_.WriteFile("patch/list.txt",
                    "C 2002-06-01 14:30 1 missing.dat missing.dat\nC 2002-06-01 14:30 1000000 big.dat big.dat\n");
  ChildProcess failing;
  Start(failing);
  const unsigned long box = xvfb_.FindWindow(kBoxName, 10000);
  ASSERT_NE(box, 0u) << "no box for the missing file";
  const double deadline = zdtest::SteadyNowMs() + 10000;
  int code = -1;
  do {
    xvfb_.Xdotool({"windowfocus", "--sync", std::to_string(box)});
    xvfb_.Xdotool({"key", "Return"});
  } while (!failing.WaitExit(300, &code) && zdtest::SteadyNowMs() < deadline);
  ExpectExitZero(failing);
  EXPECT_EQ(PartialNames(), "");

  // Killed again, then a clean run: the file arrives whole and nothing is left over.
  server_.WriteFile("patch/list.txt", "C 2002-06-01 14:30 1000000 big.dat big.dat\n");
  KillDuringDownload();
  ChildProcess clean;
  Start(clean);
  ExpectExitZero(clean);
  EXPECT_TRUE(zdtest::WaitUntil([&] { return tree_.Exists("app/started"); }, 5000)) << "the game did not start";
  EXPECT_EQ(zdtest::ReadFile(tree_.Path("app/big.dat")).size(), static_cast<size_t>(kBigSize));
  EXPECT_EQ(PartialNames(), "");
}

}  // namespace
