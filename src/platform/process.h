// Starting programs.
#pragma once
#include <cstdint>

namespace plat {

// The code of a start refused because the program is a Windows program that the
// system cannot start by itself and no Wine was found to start it. Outside the
// system's own codes on both builds; ErrorText has a text for it. Only the Linux build
// gives it.
constexpr uint32_t kProcessErrorNeedsWine = 0x20000201u;

// Starts the program file at `path` with `commandLine`, which does not repeat the
// program's name: a command line beginning with a blank gives the program an empty
// argument 0. Blanks separate arguments and double quotes group them. The started
// program inherits no handles, the environment and the current directory, and is not
// tied to the starter's life: it goes on when the starter ends or is killed. Never
// waits for the program. False (with LastErrorCode) when it could not be started.
//
// Windows programs on Linux: a file that begins with "MZ" and that the system refuses
// to run (no binfmt handler registered for it) is started through Wine instead: the
// program that $WINE names when it is set, else `wine` found in PATH, given the file's
// path and the command line's arguments after argument 0, in the file's own directory
// (not the current one), with the whole environment (WINEPREFIX included). No such
// Wine: false with kProcessErrorNeedsWine. The Windows build starts every program
// itself.
bool StartProgram(const char* path, const char* commandLine);

}  // namespace plat
