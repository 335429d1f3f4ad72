// The pool behind PatchEntry's allocations. A patch list of 100,000 lines queues tens
// of thousands of 4 KiB records; taken one by one from the heap, each costs a page
// fault on first touch, which is more than parsing and checking the line. The pool
// carves them from bulk blocks (huge pages where the system has them) and reuses
// freed slots. Where the platform gives no bulk memory (a sanitizer build), every
// entry is an ordinary heap block, so each stays individually checked.
#include <mutex>

#include "patchlist/patch_entry.h"
#include "platform/memory.h"

namespace {

constexpr size_t kSlot = (sizeof(PatchEntry) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
constexpr size_t kChunk = 16u << 20;

enum class Mode { Undecided, Bulk, Heap };

struct FreeSlot {
  FreeSlot* next;
};

std::mutex g_mutex;
Mode g_mode = Mode::Undecided;
FreeSlot* g_free = nullptr;
char* g_next = nullptr;
char* g_end = nullptr;

void* Take() noexcept {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_mode != Mode::Heap) {
      if (g_free != nullptr) {
        FreeSlot* slot = g_free;
        g_free = slot->next;
        return slot;
      }
      if (g_next == nullptr || g_end - g_next < static_cast<ptrdiff_t>(kSlot)) {
        char* chunk = static_cast<char*>(plat::AllocateBulk(kChunk));
        if (chunk == nullptr && g_mode == Mode::Bulk) return nullptr;  // out of memory
        if (chunk != nullptr) {
          g_mode = Mode::Bulk;
          g_next = chunk;
          g_end = chunk + kChunk;
        } else {
          g_mode = Mode::Heap;
        }
      }
      if (g_mode == Mode::Bulk) {
        void* slot = g_next;
        g_next += kSlot;
        return slot;
      }
    }
  }
  return ::operator new(sizeof(PatchEntry), std::nothrow);
}

void Give(void* block) noexcept {
  if (block == nullptr) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_mode == Mode::Heap) {
    ::operator delete(block);
    return;
  }
  FreeSlot* slot = static_cast<FreeSlot*>(block);
  slot->next = g_free;
  g_free = slot;
}

}  // namespace

void* PatchEntry::operator new(size_t) {
  void* block = Take();
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void* PatchEntry::operator new(size_t, const std::nothrow_t&) noexcept { return Take(); }

void PatchEntry::operator delete(void* block) noexcept { Give(block); }

void PatchEntry::operator delete(void* block, const std::nothrow_t&) noexcept { Give(block); }
