// The machine-wide settings store (on Windows the registry under
// HKEY_LOCAL_MACHINE\SOFTWARE). Key names use backslashes on every platform.
#pragma once
#include <cstddef>

namespace plat {

struct MachineKey;
using MachineKeyHandle = MachineKey*;

// Opens `subkey` (for example "SOFTWARE\\Maker\\Product"), creating it when it is
// missing. Fails when it can neither be opened nor created.
bool OpenMachineKey(const char* subkey, MachineKeyHandle* out);

// Reads a text value. Fails when the value is absent or does not fit in
// capacity - 1 characters: a value is never cut.
bool QueryMachineText(MachineKeyHandle key, const char* name, char* out, size_t capacity);

bool CloseMachineKey(MachineKeyHandle key);

}  // namespace plat
