// Links on Windows: a symbolic link where the system makes one for this user, else for
// a directory a junction. Wine 8 makes neither (CreateSymbolicLinkA reports success and
// makes nothing; setting a reparse point fails with ERROR_NOT_SUPPORTED), but it shows a
// Unix link as what it leads to, a link to a directory as a reparse point, and it can
// start a Unix program: there the link is made by the Unix ln.
#include <windows.h>
#include <winioctl.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "support/links.h"

namespace zdtest {

namespace {

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool SymbolicLink(const std::string& link, const std::string& target, bool directory) {
  using Call = BOOLEAN(WINAPI*)(LPCSTR, LPCSTR, DWORD);
  const Call call = reinterpret_cast<Call>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkA")));
  if (call == nullptr) return false;
  // 1: a directory link; 2: allowed without elevation where developer mode is on.
  const DWORD flags = (directory ? 1u : 0u) | 2u;
  if (!call(link.c_str(), target.c_str(), flags) && !call(link.c_str(), target.c_str(), flags & 1u)) return false;
  const DWORD attributes = GetFileAttributesA(link.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A junction: an empty directory given a mount-point reparse point to `target`.
bool Junction(const std::string& link, const std::string& target) {
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(target.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full || !CreateDirectoryA(link.c_str(), nullptr)) return false;
  const std::string substitute = std::string("\\??\\") + full;
  std::vector<WCHAR> wide(substitute.size() + 1);
  MultiByteToWideChar(CP_ACP, 0, substitute.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  const size_t bytes = (wide.size() - 1) * sizeof(WCHAR);
  // Tag, data length, reserved; then substitute offset/length, print offset/length,
  // the substitute name and an empty print name, each with its terminator.
  std::vector<BYTE> buffer(8 + 8 + bytes + 2 * sizeof(WCHAR), 0);
  auto put16 = [&](size_t at, size_t v) { buffer[at] = BYTE(v & 0xFF); buffer[at + 1] = BYTE(v >> 8); };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(buffer.data(), &tag, 4);
  put16(4, buffer.size() - 8);
  put16(8, 0);
  put16(10, bytes);
  put16(12, bytes + sizeof(WCHAR));
  put16(14, 0);
  std::memcpy(buffer.data() + 16, wide.data(), bytes);
  HANDLE h = CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  DWORD returned = 0;
  const bool ok = h != INVALID_HANDLE_VALUE &&
                  DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                                  nullptr, 0, &returned, nullptr);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  if (!ok) RemoveDirectoryA(link.c_str());
  return ok;
}

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The Unix name Wine maps a path to; empty when there is none.
std::string UnixNameOf(const std::string& path) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  const UnixName unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  WCHAR wide[MAX_PATH];
  if (unixName == nullptr || MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH) == 0) return {};
  char* name = unixName(wide);
  if (name == nullptr) return {};
  std::string result = name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Has Wine start a Unix program and waits, up to a deadline, until `done` holds (Wine
// reports no exit code of a Unix program).
bool RunUnix(const char* program, std::string commandLine, bool (*done)(const std::string&),
             const std::string& path) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Sleep(5);
  }
  return true;
}

bool Missing(const std::string& path) { return !Exists(path); }

// Under Wine: the Unix ln, started through Wine, with the paths Wine maps them to.
bool UnixLink(const std::string& link, const std::string& target, std::string* whyNot) {
  if (!UnderWine()) return false;
  const std::string unixTarget = UnixNameOf(target), unixLink = UnixNameOf(link);
  if (unixTarget.empty() || unixLink.empty()) return false;
  if (!RunUnix("Z:\\bin\\ln", "ln -s \"" + unixTarget + "\" \"" + unixLink + "\"", Exists, link)) {
    *whyNot = "Wine could not make a Unix link with ln";
    return false;
  }
  return true;
}

}  // namespace

bool MakeLink(const std::string& link, const std::string& target, bool directory, std::string* whyNot) {
  if (SymbolicLink(link, target, directory)) return true;
  if (directory && Junction(link, target)) return true;
  if (UnixLink(link, target, whyNot)) return true;
  if (whyNot->empty()) {
    *whyNot = "this system makes no symbolic link for this user and no junction";
    if (!directory) *whyNot += " (a junction cannot lead to a file)";
  }
  return false;
}

bool RemoveLink(const std::string& link, bool directory) {
  // Wine deletes the target of a Unix link to a file, and removes no link to a
  // directory: the Unix rm removes the link itself.
  if (UnderWine()) {
    const std::string unixLink = UnixNameOf(link);
    return !unixLink.empty() && RunUnix("Z:\\bin\\rm", "rm -f \"" + unixLink + "\"", Missing, link);
  }
  return directory ? RemoveDirectoryA(link.c_str()) != 0 : DeleteFileA(link.c_str()) != 0;
}

}  // namespace zdtest
