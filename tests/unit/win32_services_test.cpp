// What the Windows services do beyond the common contract: the registry under
// HKEY_LOCAL_MACHINE, the named mutex as other programs see it, the system's error
// texts, and a program file that is in use.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;

std::string Unique(const char* prefix) { return prefix + std::to_string(GetTickCount()) + "_" + std::to_string(GetCurrentProcessId()); }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(Win32Registry, ATextValueIsReadWholeOrNotAtAll) {
  const std::string subkey = "SOFTWARE\\ZdTest\\" + Unique("K");
  plat::MachineKeyHandle key = nullptr;
  ASSERT_TRUE(plat::OpenMachineKey(subkey.c_str(), &key)) << "the missing key is created";
  char value[16];
  EXPECT_FALSE(plat::QueryMachineText(key, "SETUP PATH", value, sizeof value));

  HKEY raw = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_ALL_ACCESS, &raw), ERROR_SUCCESS);
  const char path[] = "C:\\Games\\Tess\\";
  ASSERT_EQ(RegSetValueExA(raw, "SETUP PATH", 0, REG_SZ, reinterpret_cast<const BYTE*>(path), sizeof path),
            ERROR_SUCCESS);
  ASSERT_TRUE(plat::QueryMachineText(key, "SETUP PATH", value, sizeof value));
  EXPECT_STREQ(value, path);
  // One that does not fit (with its terminator) fails instead of being cut.
  const char longer[] = "C:\\Games\\Tessary\\";
  ASSERT_EQ(RegSetValueExA(raw, "SETUP PATH", 0, REG_SZ, reinterpret_cast<const BYTE*>(longer), sizeof longer),
            ERROR_SUCCESS);
  EXPECT_FALSE(plat::QueryMachineText(key, "SETUP PATH", value, sizeof value));
  EXPECT_EQ(plat::LastErrorCode(), static_cast<uint32_t>(ERROR_MORE_DATA));
  RegCloseKey(raw);
  EXPECT_TRUE(plat::CloseMachineKey(key));
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, subkey.c_str());
}

TEST(Win32Instance, TheGuardIsANamedMutexOthersCanOpen) {
  const std::string name = Unique("ZdTestMutex_");
  plat::InstanceLockHandle lock = nullptr;
  ASSERT_EQ(plat::AcquireInstanceLock(name.c_str(), &lock), plat::InstanceResult::Acquired);
  HANDLE seen = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str());
  EXPECT_NE(seen, nullptr);
  if (seen != nullptr) CloseHandle(seen);
  plat::ReleaseInstanceLock(lock);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), nullptr) << "gone with its last handle";
}

TEST(Win32Errors, SystemTextsAndRunTimeCodes) {
  char text[256];
  ASSERT_TRUE(plat::ErrorText(ERROR_FILE_NOT_FOUND, text, sizeof text));
  EXPECT_GT(std::strlen(text), 0u);
  EXPECT_NE(text[std::strlen(text) - 1], '\n');
  EXPECT_TRUE(plat::ErrorText(12029, text, sizeof text)) << "the FTP client's own codes have texts";
  EXPECT_STREQ(text, "Cannot connect to the patch server.");

  const fs::path dir = fs::temp_directory_path() / Unique("zd-rt-");
  EXPECT_EQ(std::fopen((dir / "missing").string().c_str(), "rb"), nullptr);
  EXPECT_EQ(plat::RuntimeErrorCode(), static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
  fs::create_directories(dir);
  EXPECT_EQ(std::fopen((dir / "missing").string().c_str(), "rb"), nullptr);
  EXPECT_EQ(plat::RuntimeErrorCode(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  fs::remove_all(dir);
}

// A running program's file is held open without delete sharing; the same hold shows
// that the replace waits for it and that the target stays whole meanwhile.
TEST(Win32ProgramFiles, AFileInUseIsNeitherReplacedNorDeletedUntilReleased) {
  const fs::path dir = fs::temp_directory_path() / Unique("zd-pf-");
  fs::create_directories(dir);
  const std::string target = (dir / "ZidoDiruv.exe").string();
  const std::string source = (dir / "new.exe").string();
  std::ofstream(target, std::ios::binary) << "old program";
  std::ofstream(source, std::ios::binary) << "new program";
  HANDLE running = CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(running, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(plat::CopyOver(source.c_str(), target.c_str()));
  EXPECT_NE(plat::LastErrorCode(), 0u);
  EXPECT_FALSE(plat::RemoveProgramFile(target.c_str()));
  CloseHandle(running);
  EXPECT_EQ(ReadAll(target), "old program");
  size_t names = 0;
  for (auto it = fs::directory_iterator(dir); it != fs::directory_iterator(); ++it) ++names;
  EXPECT_EQ(names, 2u) << "nothing of the refused copy is left";

  ASSERT_TRUE(plat::CopyOver(source.c_str(), target.c_str()));
  EXPECT_EQ(ReadAll(target), "new program");
  EXPECT_TRUE(plat::RemoveProgramFile(source.c_str()));
  fs::remove_all(dir);
}

// The file of a program that is really running (the sleeper, copied into a directory
// of the test's own): what the system itself says to replacing it by a move, overwriting
// it by a copy and deleting it, and what the self-update's services make of that.
// Windows refuses all three while the program runs (its image is mapped from the file).
// Wine 8 does too, with the same codes: it keeps the image's file open without write or
// delete sharing, so the self-update's retry loop behaves as on Windows.
TEST(Win32ProgramFiles, ARunningProgramsFileIsNeitherReplacedOverwrittenNorDeleted) {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  ASSERT_TRUE(n > 0 && n < sizeof self);
  const fs::path sleeper = fs::path(self).parent_path() / "zd_sleeper_win32.exe";
  const fs::path dir = fs::temp_directory_path() / Unique("zd-run-");
  fs::create_directories(dir);
  const std::string program = (dir / "Running.exe").string();
  const std::string replacement = (dir / "new.exe").string();
  ASSERT_TRUE(CopyFileA(sleeper.string().c_str(), program.c_str(), FALSE)) << sleeper.string();
  std::ofstream(replacement, std::ios::binary) << "new program";
  const std::string before = ReadAll(program);

  const std::string runningName = Unique("ZdRunning_"), endName = Unique("ZdEnd_");
  HANDLE running = CreateEventA(nullptr, TRUE, FALSE, runningName.c_str());
  HANDLE end = CreateEventA(nullptr, TRUE, FALSE, endName.c_str());
  ASSERT_TRUE(running != nullptr && end != nullptr);
  std::string commandLine = "\"" + program + "\" " + runningName + " " + endName;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process));
  CloseHandle(process.hThread);
  HANDLE started[2] = {running, process.hProcess};
  ASSERT_EQ(WaitForMultipleObjects(2, started, FALSE, 60000), WAIT_OBJECT_0) << "the program runs";

  // The system's own calls.
  EXPECT_FALSE(MoveFileExA(replacement.c_str(), program.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(CopyFileA(replacement.c_str(), program.c_str(), FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileA(program.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // The services the self-update waits with.
  EXPECT_FALSE(plat::CopyOver(replacement.c_str(), program.c_str()));
  EXPECT_FALSE(plat::RemoveProgramFile(program.c_str()));
  EXPECT_EQ(ReadAll(program), before) << "the running program's file is whole";
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "and still runs";
  size_t names = 0;
  for (auto it = fs::directory_iterator(dir); it != fs::directory_iterator(); ++it) ++names;
  EXPECT_EQ(names, 2u) << "nothing of the refused copy is left";

  // Once it has ended, the same calls go through.
  SetEvent(end);
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  CloseHandle(process.hProcess);
  CloseHandle(running);
  CloseHandle(end);
  EXPECT_TRUE(plat::CopyOver(replacement.c_str(), program.c_str()));
  EXPECT_EQ(ReadAll(program), "new program");
  EXPECT_TRUE(plat::RemoveProgramFile(program.c_str()));
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
