// Large blocks for records made by the thousand (the patch list's entries).
#pragma once
#include <cstddef>

namespace plat {

// A zero-filled block of `bytes`, backed by huge pages where the system offers them,
// so that filling it costs a few page faults instead of one per 4 KiB. Null when bulk
// memory is not to be used (then the caller allocates record by record).
void* AllocateBulk(size_t bytes);

}  // namespace plat
