// Starting the game, and the two steps of replacing the patcher's own program.
#pragma once
#include "platform/window.h"

struct PatchEntry;

// Starts the game of the installation at `installDir`; a failure is shown in a box
// owned by `owner`.
void StartGame(plat::WindowHandle owner, const char* installDir);

// The launch at the start of the shutdown: the hand-off process when a new patcher is
// pending (`pendingPatcher`), else the game when `startGame` (a network failure answered
// Yes). Failures are shown in boxes owned by `owner`. True when the hand-off process
// was started.
bool LaunchOnClose(plat::WindowHandle owner, const char* installDir, const PatchEntry* pendingPatcher,
                   bool startGame);

// The process's arguments, stored by the entry point for the -P and -D steps, which
// read them themselves.
void SetProcessArguments(int argc, char** argv);

// The -P and -D steps.
bool RunReplaceMode();
bool RunDeleteMode();

// "%s<sep>Vorn.exe" from the installation directory; false when it does not fit.
bool GamePath(const char* installDir, char* out, unsigned capacity);
