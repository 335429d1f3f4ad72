#include "handoff/handoff.h"

#include <cstdio>

#include "app/patcher.h"
#include "patchlist/config.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

const char kGameName[] = "Vorn.exe";
const char kGameCommandLine[] = " -U";

// Starts the game; on failure the system's text for the error is shown.
void StartGame(Patcher& p) {
  char path[1024];
  if (!GamePath(p.installDir, path, sizeof path)) {
    p.ReportSystemError(plat::LastErrorCode());
    return;
  }
  // The game as the disk spells its name (a list may have installed "vorn.exe").
  char diskPath[1024];
  const char* program = plat::ResolvePath(path, diskPath, sizeof diskPath) ? diskPath : path;
  // A game file that came as a new download is a plain file; it must be startable.
  plat::MakeExecutable(program);
  if (!plat::StartProgram(program, kGameCommandLine)) p.ReportSystemError(plat::LastErrorCode());
}

}  // namespace

bool GamePath(const char* installDir, char* out, unsigned capacity) {
  if (JoinPath(out, capacity, installDir, kGameName)) return true;
  plat::SetLastErrorCode(36);  // ENAMETOOLONG: the path does not fit
  return false;
}

void Patcher::LaunchGame() {
  if (ClosingStarted()) return;
  StartGame(*this);
  plat::SendToWindow(hwnd, plat::kMsgClose, 0, 0);
}

bool LaunchOnClose(Patcher& p) {
  if (p.pendingPatcher != nullptr) {
    const PatchEntry& e = *p.pendingPatcher;
    char commandLine[4200];
    const int n = std::snprintf(commandLine, sizeof commandLine, " -P \"%s\" \"%s\" \"%s\" \"%s\"", e.stagingPath,
                                e.localPath, e.date, e.time);
    if (n < 0 || static_cast<size_t>(n) >= sizeof commandLine) return false;
    // A download arrives as a plain file; it must be startable as a program.
    plat::MakeExecutable(e.stagingPath);
    if (plat::StartProgram(e.stagingPath, commandLine)) return true;
    p.ReportSystemError(plat::LastErrorCode());
    return false;
  }
  if (p.networkFailed && p.launchAfterFailure) StartGame(p);
  return false;
}

// The replacing and deleting steps of the self-update; until they are built, a
// process started with a complete switch reports failure and ends.
bool RunReplaceMode() {
  if (ProcessArgumentCount() <= 5) return false;
  return false;
}

bool RunDeleteMode() {
  if (ProcessArgumentCount() <= 2) return false;
  return false;
}
