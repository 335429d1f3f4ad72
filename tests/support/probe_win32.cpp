// A Windows program for the patcher to start in the Wine tests: it appends its command
// line, as the system passed it, to "probe.log" beside itself and ends, so the log
// holds one line per start.
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
  // The earlier lines and the new one are written whole to a new file that is then
  // renamed over the log, so a reader never sees half a line.
  char temp[MAX_PATH + 8];
  std::snprintf(temp, sizeof temp, "%s.tmp", path);
  FILE* f = std::fopen(temp, "wb");
  if (f == nullptr) return 1;
  if (FILE* old = std::fopen(path, "rb")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, old)) > 0;) std::fwrite(buffer, 1, n, f);
    std::fclose(old);
  }
  std::fprintf(f, "[%s]\n", GetCommandLineA());
  if (std::fclose(f) != 0) return 1;
  return MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
