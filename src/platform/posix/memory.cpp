// Linux bulk memory: an anonymous mapping advised for transparent huge pages.
// Under AddressSanitizer no bulk memory is handed out, so every record keeps its own
// checked allocation.
#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define ZD_NO_BULK_MEMORY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZD_NO_BULK_MEMORY 1
#endif
#endif

namespace plat {

void* AllocateBulk(size_t bytes) {
#ifdef ZD_NO_BULK_MEMORY
  (void)bytes;
  return nullptr;
#else
  constexpr size_t kHugePage = 2u << 20;
  // Over-allocate by one huge page so the block can start on a huge-page boundary.
  void* raw = ::mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(static_cast<uintptr_t>(kHugePage) - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  const uintptr_t end = start + bytes + kHugePage;
  if (end > aligned + bytes) ::munmap(reinterpret_cast<void*>(aligned + bytes), end - (aligned + bytes));
  ::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);  // advice only: no huge pages is fine
  return reinterpret_cast<void*>(aligned);
#endif
}

}  // namespace plat
