// Starting programs.
#pragma once

namespace plat {

// Starts the program file at `path` with `commandLine`, which does not repeat the
// program's name: a command line beginning with a blank gives the program an empty
// argument 0. Blanks separate arguments and double quotes group them. The started
// program inherits no handles, the environment and the current directory, and is not
// tied to the starter's life: it goes on when the starter ends or is killed. Never
// waits for the program. False (with LastErrorCode) when it could not be started.
bool StartProgram(const char* path, const char* commandLine);

}  // namespace plat
