// Windows: the registry under HKEY_LOCAL_MACHINE.
#include "platform/registry.h"

#include <windows.h>

namespace plat {

struct MachineKey {
  HKEY key;
};

bool OpenMachineKey(const char* subkey, MachineKeyHandle* out) {
  *out = nullptr;
  HKEY key = nullptr;
  const LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return false;
  }
  *out = new MachineKey{key};
  return true;
}

bool QueryMachineText(MachineKeyHandle key, const char* name, char* out, size_t capacity) {
  if (key == nullptr || capacity == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // One byte is kept back so the text is always terminated: a value stored without its
  // terminator fills at most capacity - 1 bytes.
  DWORD size = static_cast<DWORD>(capacity - 1);
  DWORD type = 0;
  const LONG rc = RegQueryValueExA(key->key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &size);
  if (rc != ERROR_SUCCESS) {
    out[0] = '\0';
    SetLastError(static_cast<DWORD>(rc));
    return false;
  }
  out[size] = '\0';
  return true;
}

bool CloseMachineKey(MachineKeyHandle key) {
  if (key == nullptr) return false;
  const LONG rc = RegCloseKey(key->key);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return false;
  }
  delete key;
  return true;
}

}  // namespace plat
