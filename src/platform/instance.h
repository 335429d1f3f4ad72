// The single-instance guard: a named lock held per user while a patch run goes on,
// released by the system when the process ends, never inherited by a started program.
#pragma once

namespace plat {

struct InstanceLock;
using InstanceLockHandle = InstanceLock*;

enum class InstanceResult { Acquired, AlreadyRunning, Failed };

InstanceResult AcquireInstanceLock(const char* name, InstanceLockHandle* out);
void ReleaseInstanceLock(InstanceLockHandle lock);

}  // namespace plat
