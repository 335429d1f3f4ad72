// Windows: no bulk memory; the patch list's records are allocated one by one, as
// memory.h allows.
#include "platform/memory.h"

namespace plat {

void* AllocateBulk(size_t) { return nullptr; }

}  // namespace plat
