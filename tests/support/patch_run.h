// Whole patch runs in-process: an installation found through the registry stand-in,
// its settings naming a real FTP server, the real FTP client and real files, and the
// scripted window answering boxes. What a run test needs to set one up, run it and
// read what it showed and left behind.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/ftp_server.h"
#include "support/scripted_window.h"
#include "support/temp_tree.h"

namespace zdtest {

// The questions after a network failure: for the list, and for a file.
extern const char kListQuestion[];
extern const char kFileQuestion[];

class PatchRunTest : public ::testing::Test {
 protected:
  // `deadlineMs`: how long a run may take before the window ends it; `treeBase`: where
  // the test's tree is made (the usual temporary area when empty).
  explicit PatchRunTest(int deadlineMs = 30000, const std::string& treeBase = "");
  void SetUp() override;

  // Clears the window's records and scripts before another run; the deadline stays.
  void ResetWindow() const;
  // The installation's settings: the server at `port` (0: the test's server) of `host`,
  // logged on with the account's password unless another is given.
  // `more`: further lines of the section (each ending in a line break).
  void Settings(const std::string& base = "/patch/", uint16_t port = 0, const std::string& password = "",
                const std::string& host = "127.0.0.1", const std::string& more = "");
  void List(const std::string& body, const std::string& at = "patch/patch.lst");
  // The server takes `faults` from the first file's connection on: they are set while
  // the list is being read, before the next connection is made.
  void FaultsAfterList(const FtpFaults& faults);
  // A stand-in game that records how it was started in GameLog().
  std::string GameScript() const;
  void InstallGame();
  std::string GameLog() const { return tree_.Path("game.log"); }
  bool GameStarted() const { return WaitForLine(GameLog()); }
  // A log written by a started script: complete once it ends with a line break.
  static bool WaitForLine(const std::string& path);
  std::string Local(const std::string& rel) const { return tree_.Path("game/" + rel); }

  // Runs the patch window to its end; the seconds it took.
  double Run();

  static std::vector<std::string> StatusTexts();
  static bool Shown(const std::string& text);
  // No file in the staging area (nor any directory, unless `directoriesMayStay`: an
  // emptied one may stay, as after a clean run) and nothing half-written beside an
  // installed file.
  void ExpectNothingStaged(bool directoriesMayStay = true) const;

  FtpServerFixture server_;
  TempTree tree_;
  ScopedEnv registry_{"XDG_CONFIG_DIRS", tree_.Path("xdg")};
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", ""};
  ScopedEnv tmp_{"TMPDIR", tree_.root()};

 private:
  int deadlineMs_;
};

}  // namespace zdtest
