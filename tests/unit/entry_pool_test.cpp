// Patch entries come from a pool: slots never overlap, and a reused slot starts as a
// fresh entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "patchlist/patch_entry.h"

namespace {

TEST(EntryPool, SlotsAreDistinctAndReusedSlotsStartEmpty) {
  std::vector<PatchEntry*> entries;
  // More than one bulk block's worth, so the pool has to take a second one.
  for (int i = 0; i < 5000; ++i) {
    PatchEntry* e = new PatchEntry;
    std::memset(e->stagingPath, 'x', sizeof e->stagingPath);  // the whole record is ours to write
    e->size = i;
    entries.push_back(e);
  }
  std::vector<PatchEntry*> sorted = entries;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 1; i < sorted.size(); ++i)
    ASSERT_GE(reinterpret_cast<char*>(sorted[i]) - reinterpret_cast<char*>(sorted[i - 1]),
              static_cast<ptrdiff_t>(sizeof(PatchEntry)));
  for (int i = 0; i < 5000; ++i) EXPECT_EQ(entries[i]->size, i);

  for (PatchEntry* e : entries) delete e;
  PatchEntry* again = new (std::nothrow) PatchEntry;
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->size, 0);
  EXPECT_EQ(again->kind, 0);
  EXPECT_EQ(again->stagingPath[0], '\0');
  EXPECT_EQ(again->stagingPath[sizeof again->stagingPath - 1], '\0');
  delete again;
}

}  // namespace
