// Windows: programs start through CreateProcessA with the command line as given
// (the program's runtime splits it), no inherited handles, and the handles of the new
// process and thread closed at once: the patcher never waits for what it starts.
#include "platform/process.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace plat {

bool StartProgram(const char* path, const char* commandLine) {
  // CreateProcessA may write to the command line buffer, so it gets a copy.
  std::vector<char> line(commandLine, commandLine + std::strlen(commandLine) + 1);
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  std::memset(&pi, 0, sizeof pi);
  if (!CreateProcessA(path, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

}  // namespace plat
