// Windows: the single-instance guard is a named mutex. Another process that holds one
// of that name is running; the system removes the mutex when its last handle closes,
// also when the process ends, and the handle is not inheritable.
#include "platform/instance.h"

#include <windows.h>

namespace plat {

struct InstanceLock {
  HANDLE mutex;
};

InstanceResult AcquireInstanceLock(const char* name, InstanceLockHandle* out) {
  *out = nullptr;
  HANDLE existing = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
  if (existing != nullptr) {
    CloseHandle(existing);
    return InstanceResult::AlreadyRunning;
  }
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (mutex == nullptr) return InstanceResult::Failed;
  // Another copy may have created it between the open and the create.
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return InstanceResult::AlreadyRunning;
  }
  *out = new InstanceLock{mutex};
  return InstanceResult::Acquired;
}

void ReleaseInstanceLock(InstanceLockHandle lock) {
  if (lock == nullptr) return;
  CloseHandle(lock->mutex);
  delete lock;
}

}  // namespace plat
