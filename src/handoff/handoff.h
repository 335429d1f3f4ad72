// Starting the game, and the two steps of replacing the patcher's own program.
#pragma once

class Patcher;

// The launch at the start of the shutdown: the hand-off process when a new patcher
// is pending, else the game after a network failure answered Yes. True when the
// hand-off process was started.
bool LaunchOnClose(Patcher& patcher);

// The -P and -D steps; they read the process's arguments themselves.
bool RunReplaceMode();
bool RunDeleteMode();

// "%s<sep>Vorn.exe" from the installation directory; false when it does not fit.
bool GamePath(const char* installDir, char* out, unsigned capacity);
