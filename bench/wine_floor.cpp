// The floor for ZidoDiruv.exe under Wine: the least a WinINet program does to fetch the
// same files from the same server, with the same connection per file.
//
//   wine_floor.exe HOST PORT USER PASSWORD NAMES OUTDIR
//
// NAMES is a text file with one remote path per line. For each: InternetConnectA (a fresh
// connection and log-on), FtpOpenFileA in image type, InternetReadFile in 64 KiB steps
// into a local file OUTDIR\<n>, then both handles are closed. Synchronous WinINet, one
// thread, no window. Exit code 0 when every file arrived, 1 otherwise (bench/wine_bench.py
// times it from start to exit).
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool Fetch(HINTERNET net, const char* host, INTERNET_PORT port, const char* user, const char* password,
           const char* remote, const char* local, std::vector<char>& buffer) {
  HINTERNET session = InternetConnectA(net, host, port, user, password, INTERNET_SERVICE_FTP, 0, 0);
  if (session == nullptr) return false;
  bool ok = false;
  HINTERNET file = FtpOpenFileA(session, remote, GENERIC_READ, FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD, 0);
  if (file != nullptr) {
    HANDLE out = CreateFileA(local, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
      DWORD got = 0;
      ok = true;
      // A failed read ends the file as failed; a read of 0 bytes is its end.
      while (ok && (ok = InternetReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got) != FALSE) &&
             got > 0) {
        DWORD written = 0;
        ok = WriteFile(out, buffer.data(), got, &written, nullptr) && written == got;
      }
      CloseHandle(out);
    }
    InternetCloseHandle(file);
  }
  InternetCloseHandle(session);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: wine_floor.exe HOST PORT USER PASSWORD NAMES OUTDIR\n");
    return 2;
  }
  FILE* names = std::fopen(argv[5], "r");
  if (names == nullptr) return 2;
  HINTERNET net = InternetOpenA("floor", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (net == nullptr) return 1;
  std::vector<char> buffer(64 * 1024);
  const INTERNET_PORT port = static_cast<INTERNET_PORT>(std::atoi(argv[2]));
  char line[1024];
  int index = 0;
  int failed = 0;
  while (std::fgets(line, sizeof line, names) != nullptr) {
    line[std::strcspn(line, "\r\n")] = '\0';
    if (line[0] == '\0') continue;
    char local[MAX_PATH];
    std::snprintf(local, sizeof local, "%s\\%d", argv[6], index++);
    if (!Fetch(net, argv[1], port, argv[3], argv[4], line, local, buffer)) ++failed;
  }
  std::fclose(names);
  InternetCloseHandle(net);
  return failed == 0 ? 0 : 1;
}
