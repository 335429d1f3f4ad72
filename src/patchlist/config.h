// Where the installation is, and the machine-wide key that names it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/registry.h"

extern const char kSettingsFileName[];  // "VornPatch.ini"
extern const char kSettingsSection[];   // "PATCH_FTP"

// Writes the installation directory (without a trailing separator) into `buffer`, or
// the empty string when none is found: the directory of the running program when it
// holds the settings file, else the one the machine key's "SETUP PATH" names.
void FindInstallDir(char* buffer, size_t capacity);
// The same search for a program at `executablePath` (which may be `buffer` itself).
void FindInstallDirFrom(const char* executablePath, char* buffer, size_t capacity);

// Owns one open machine key; the destructor closes it.
class RegistryKey {
 public:
  RegistryKey() {}
  virtual ~RegistryKey();

  bool Open(const char* name);  // "SOFTWARE\<name>", created when missing
  bool QueryValue(const char* valueName, char* buffer, size_t capacity);
  bool Close();

  plat::MachineKeyHandle handle = nullptr;

 private:
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
};

// Where the server settings are read to: the run's own fields, each with its capacity.
struct PatchSettings {
  char (&serverAddress)[256];
  uint32_t& serverPort;
  char (&userId)[256];
  char (&password)[256];
  char (&baseDirectory)[256];
  char (&listFileName)[256];
  char (&listTempPath)[1024];  // the downloaded list's place in the temporary directory
};

// Reads the six keys of section "PATCH_FTP" from the settings file at `settingsPath`, in
// the order of PatchSettings, and builds listTempPath. False at the first key that is
// missing, empty, or (PORT) 0 or beyond 65535, or when listTempPath cannot be built; the
// fields before that point hold what was read, those after it are left alone.
bool ReadPatchSettings(const char* settingsPath, const PatchSettings& out);

// Formats "<directory><separator><name>" into out; false (out empty) when it does not fit.
bool JoinPath(char* out, size_t capacity, const char* directory, const char* name);

// The name the downloaded list gets in the temporary directory: the last component of
// the LISTFILE setting (which may name folders on the server). Null when there is none.
const char* ListLocalName(const char* listFileName);
