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

}  // namespace
