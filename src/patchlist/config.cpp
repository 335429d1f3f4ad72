#include "patchlist/config.h"

#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/settings.h"

const char kSettingsFileName[] = "VornPatch.ini";
const char kSettingsSection[] = "PATCH_FTP";

bool JoinPath(char* out, size_t capacity, const char* directory, const char* name) {
  const int n = std::snprintf(out, capacity, "%s%c%s", directory, plat::PathSeparator(), name);
  if (n < 0 || static_cast<size_t>(n) >= capacity) {
    if (capacity > 0) out[0] = '\0';
    return false;
  }
  return true;
}

namespace {

bool CanOpen(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

// `buffer` holds a path; replaces what follows its last separator by the settings
// file's name and tries it. On success the buffer is cut to the directory.
bool TrySettingsBeside(char* buffer, size_t capacity) {
  char* last = std::strrchr(buffer, plat::PathSeparator());
  if (last == nullptr) return false;
  const size_t dirLength = static_cast<size_t>(last - buffer);
  // A candidate that does not fit counts as not found: never cut a path.
  if (dirLength + 1 + sizeof kSettingsFileName > capacity) return false;
  std::memcpy(last + 1, kSettingsFileName, sizeof kSettingsFileName);
  if (!CanOpen(buffer)) return false;
  *last = '\0';
  return true;
}

}  // namespace

RegistryKey::~RegistryKey() {
  if (handle != nullptr) Close();
}

bool RegistryKey::Open(const char* name) {
  char subkey[1024];
  const int n = std::snprintf(subkey, sizeof subkey, "SOFTWARE\\%s", name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof subkey) return false;
  return plat::OpenMachineKey(subkey, &handle);
}

bool RegistryKey::QueryValue(const char* valueName, char* buffer, size_t capacity) {
  return handle != nullptr && plat::QueryMachineText(handle, valueName, buffer, capacity);
}

bool RegistryKey::Close() {
  if (!plat::CloseMachineKey(handle)) return false;
  handle = nullptr;
  return true;
}

void FindInstallDir(char* buffer, size_t capacity) {
  if (capacity == 0) return;
  if (!plat::ExecutablePath(buffer, capacity)) buffer[0] = '\0';
  FindInstallDirFrom(buffer, buffer, capacity);
}

void FindInstallDirFrom(const char* executablePath, char* buffer, size_t capacity) {
  if (capacity == 0) return;
  if (executablePath != buffer) std::snprintf(buffer, capacity, "%s", executablePath);
  if (std::strlen(executablePath) < capacity && TrySettingsBeside(buffer, capacity)) return;
  RegistryKey key;
  if (key.Open("Brisco Entertainment\\Tessary")) {
    if (key.QueryValue("SETUP PATH", buffer, capacity) && TrySettingsBeside(buffer, capacity)) return;
    key.Close();
  }
  buffer[0] = '\0';
}

const char* ListLocalName(const char* listFileName) {
  const char* name = listFileName;
  for (const char* c = listFileName; *c != '\0'; ++c)
    if (*c == '/' || *c == '\\') name = c + 1;
  if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return nullptr;
  return name;
}

bool ReadPatchSettings(const char* settingsPath, const PatchSettings& out) {
  const auto text = [settingsPath](const char* key, char(&field)[256]) {
    return plat::ReadIniText(settingsPath, kSettingsSection, key, "", field, sizeof field) != 0;
  };
  if (!text("SERVERIP", out.serverAddress)) return false;
  out.serverPort = plat::ReadIniUnsigned(settingsPath, kSettingsSection, "PORT", 0);
  // A port the connection cannot carry would silently become another port (its low
  // 16 bits); refuse it like a missing one.
  if (out.serverPort == 0 || out.serverPort > 65535) return false;
  if (!text("USERID", out.userId) || !text("PASSWD", out.password) || !text("BASEDIRECTORY", out.baseDirectory) ||
      !text("LISTFILE", out.listFileName))
    return false;
  char temp[1024];
  if (!plat::TempDirectory(temp, sizeof temp)) return false;
  // The local copy takes only the list's own name: a LISTFILE that names a folder on
  // the server ("lists/patch.lst", "../x") must not place it outside the temporary
  // directory.
  const char* name = ListLocalName(out.listFileName);
  if (name == nullptr) return false;
  const int n = std::snprintf(out.listTempPath, sizeof out.listTempPath, "%s%s", temp, name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof out.listTempPath) {
    out.listTempPath[0] = '\0';
    return false;
  }
  return true;
}
