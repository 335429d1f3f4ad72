// A Windows program for the patcher to start in the Wine tests: it appends its command
// line, as the system passed it, to "probe.log" beside itself and ends.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return 1;
  char* slash = std::strrchr(path, '\\');
  if (slash == nullptr || static_cast<size_t>(slash - path) + sizeof "\\probe.log" > sizeof path) return 1;
  std::memcpy(slash, "\\probe.log", sizeof "\\probe.log");
  // Written whole and renamed, so a reader never sees half a line.
  char temp[MAX_PATH + 8];
  std::snprintf(temp, sizeof temp, "%s.tmp", path);
  FILE* f = std::fopen(temp, "wb");
  if (f == nullptr) return 1;
  std::fprintf(f, "[%s]\n", GetCommandLineA());
  std::fclose(f);
  return MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
