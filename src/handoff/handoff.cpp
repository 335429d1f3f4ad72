#include "handoff/handoff.h"

#include <cstdio>
#include <cstring>

#include "install/install.h"
#include "patchlist/config.h"
#include "patchlist/patch_entry.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "ui/progress_window.h"

namespace {

const char kGameName[] = "Vorn.exe";
const char kGameCommandLine[] = " -U";
const char kNotFinished[] = "ZidoDiruv program is not finished.";
const char kCannotRenew[] = "Cannot renew ZidoDiruv program.";
const char kGameNeedsWine[] = "Vorn.exe is a Windows program. Install Wine to start it.";

// The hand-off's waits: the first attempt at once, then one every 100 ms until 3 s
// have passed since the first.
constexpr uint32_t kRetryStepMs = 100;
constexpr uint32_t kRetryLimitMs = 3000;

// Paths hold up to 1023 characters.
constexpr size_t kPathCapacity = 1024;

int g_argc = 0;
char** g_argv = nullptr;

// Tries `attempt` until it succeeds or the limit has passed; the limit is measured by
// the unsigned difference of 32-bit ticks, so a wrap of the counter does no harm.
template <typename Attempt>
bool RetryForAWhile(Attempt attempt) {
  const uint32_t start = plat::TickCount();
  for (;;) {
    if (attempt()) return true;
    plat::SleepMs(kRetryStepMs);
    if (static_cast<uint32_t>(plat::TickCount() - start) >= kRetryLimitMs) return false;
  }
}

int ProcessArgumentCount() { return g_argc; }

const char* ProcessArgument(int index) {
  return index >= 0 && index < g_argc && g_argv != nullptr ? g_argv[index] : nullptr;
}

// A value goes into a command line between double quotes, with no escaping: one that
// holds a quote would shift the arguments that follow it.
bool Quotable(const char* value) { return std::strchr(value, '"') == nullptr; }

}  // namespace

bool GamePath(const char* installDir, char* out, unsigned capacity) {
  if (JoinPath(out, capacity, installDir, kGameName)) return true;
  plat::SetLastErrorCode(plat::NameTooLongCode());
  return false;
}

void SetProcessArguments(int argc, char** argv) {
  g_argc = argc;
  g_argv = argv;
}

void StartGame(plat::WindowHandle owner, const char* installDir) {
  char path[kPathCapacity];
  if (!GamePath(installDir, path, sizeof path)) {
    ShowSystemError(owner, plat::LastErrorCode());
    return;
  }
  // The game as the disk spells its name (a list may have installed "vorn.exe").
  char diskPath[kPathCapacity];
  const char* program = plat::ResolvePath(path, diskPath, sizeof diskPath) ? diskPath : path;
  // A game file that came as a new download is a plain file; it must be startable.
  plat::MakeExecutable(program);
  if (plat::StartProgram(program, kGameCommandLine)) return;
  const uint32_t code = plat::LastErrorCode();
  // A Windows game where nothing can start it: what to do, not the system's text.
  if (code == plat::kProcessErrorNeedsWine) {
    ShowErrorBox(owner, kGameNeedsWine, plat::kBoxOk);
  } else {
    ShowSystemError(owner, code);
  }
}

bool LaunchOnClose(plat::WindowHandle owner, const char* installDir, const PatchEntry* pendingPatcher,
                   bool startGame) {
  if (pendingPatcher == nullptr) {
    if (startGame) StartGame(owner, installDir);
    return false;
  }
  const PatchEntry& e = *pendingPatcher;
  const auto failed = [owner](uint32_t code) {
    ShowSystemError(owner, code);
    return false;
  };
  // The replacing copy works on the paths as the disk spells them (it declares no
  // installation of its own), so it replaces the installed patcher whatever case the
  // list gave its name in.
  char staged[kPathCapacity];
  char installed[kPathCapacity];
  if (!plat::ResolvePath(e.stagingPath, staged, sizeof staged) ||
      !plat::ResolvePath(e.localPath, installed, sizeof installed)) {
    return failed(plat::LastErrorCode());
  }
  if (!Quotable(staged) || !Quotable(installed) || !Quotable(e.date) || !Quotable(e.time)) {
    return failed(plat::InvalidNameCode());
  }
  char commandLine[4 * kPathCapacity + 32];
  const int n = std::snprintf(commandLine, sizeof commandLine, " -P \"%s\" \"%s\" \"%s\" \"%s\"", staged, installed,
                              e.date, e.time);
  if (n < 0 || static_cast<size_t>(n) >= sizeof commandLine) return failed(plat::NameTooLongCode());
  // A download arrives as a plain file; it must be startable as a program.
  plat::MakeExecutable(staged);
  return plat::StartProgram(staged, commandLine) || failed(plat::LastErrorCode());
}

// The switch modes run before any window exists: their boxes have no owner.

// -P source target date time, run from the new patcher's staging copy (the source).
// The copy over the installed patcher succeeds only once the old patcher has ended.
bool RunReplaceMode() {
  if (ProcessArgumentCount() <= 5) return false;
  const char* source = ProcessArgument(2);
  const char* target = ProcessArgument(3);
  const char* date = ProcessArgument(4);
  const char* time = ProcessArgument(5);

  // The renewed patcher is started with the source in its command line: a source that
  // cannot be carried there is refused before anything is replaced.
  char commandLine[kPathCapacity + 16];
  const int n = std::snprintf(commandLine, sizeof commandLine, " -D \"%s\"", source);
  if (!Quotable(source) || n < 0 || static_cast<size_t>(n) >= sizeof commandLine ||
      std::strlen(target) >= kPathCapacity) {
    ShowErrorBox(nullptr, kCannotRenew, plat::kBoxOk);
    return false;
  }

  // The copy is put in place already stamped with the listed time (its seconds those of
  // the source): a copy killed between a move and a later stamp would leave the renewed
  // patcher with today's time, which the freshness test takes for current and so never
  // stamps. Where the listed time is no valid one, the copy is stamped as the file
  // itself is (which then does nothing).
  plat::FileStatus staged;
  plat::FileTime stamped = 0;
  const bool haveStamp = plat::QueryFile(source, &staged) && ListedWriteTime(date, time, staged.lastWrite, &stamped);
  if (!RetryForAWhile([&] { return plat::CopyOver(source, target, haveStamp ? &stamped : nullptr); })) {
    ShowErrorBox(nullptr, kNotFinished, plat::kBoxOk);
    return false;
  }
  if (!haveStamp) StampListedTime(target, date, time);
  if (!plat::StartProgram(target, commandLine)) ShowErrorBox(nullptr, kCannotRenew, plat::kBoxOk);
  return true;
}

// -D source, run from the renewed patcher: the staging copy goes once the replacing
// copy that ran from it has ended; then this process goes on as an ordinary run.
bool RunDeleteMode() {
  if (ProcessArgumentCount() <= 2) return false;
  const char* staged = ProcessArgument(2);
  if (RetryForAWhile([&] { return plat::RemoveProgramFile(staged); })) return true;
  ShowErrorBox(nullptr, kNotFinished, plat::kBoxOk);
  return false;
}
