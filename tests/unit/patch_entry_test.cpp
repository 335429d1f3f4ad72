// A patch entry keeps its paths in a block of its own: what it is given, whole, up to
// the capacity; copies and the unpacking worker's cut never touch another entry's.
#include <gtest/gtest.h>

#include <string>

#include "patchlist/patch_entry.h"

namespace {

TEST(PatchEntry, HoldsItsPathsUpToTheirCapacity) {
  PatchEntry e;
  EXPECT_STREQ(e.stagingPath, "");
  const std::string longest(PatchEntry::kPathCapacity - 1, 'x');
  ASSERT_TRUE(e.SetPaths("/game/a.dat", "/patch/data/a.dat", "data/a.dat", longest.c_str()));
  EXPECT_STREQ(e.localPath, "/game/a.dat");
  EXPECT_STREQ(e.remotePath, "/patch/data/a.dat");
  EXPECT_STREQ(e.listedName, "data/a.dat");
  EXPECT_EQ(e.stagingPath, longest);

  // One character more is refused, and the entry keeps what it held.
  const std::string tooLong(PatchEntry::kPathCapacity, 'y');
  EXPECT_FALSE(e.SetPaths("/game/b.dat", "/patch/b.dat", "b.dat", tooLong.c_str()));
  EXPECT_FALSE(e.SetPaths(tooLong.c_str(), "/patch/b.dat", "b.dat", "/game/Update/b.dat"));
  EXPECT_STREQ(e.localPath, "/game/a.dat");
  EXPECT_EQ(e.stagingPath, longest);

  // New paths may be given from the entry's own (a listed name that is not the remote
  // path's tail is kept on its own).
  ASSERT_TRUE(e.SetPaths(e.localPath, e.remotePath, "other name", e.stagingPath));
  EXPECT_STREQ(e.remotePath, "/patch/data/a.dat");
  EXPECT_STREQ(e.listedName, "other name");
  EXPECT_EQ(e.stagingPath, longest);
}

TEST(PatchEntry, CopiesAndTheCutStagingPathAreIndependent) {
  PatchEntry original;
  original.kind = 'Z';
  original.unpackedSize = 40000;
  ASSERT_TRUE(original.SetPaths("/game/a.dat", "/patch/a.dat.gz", "a.dat.gz", "/game/Update/a.dat.gz"));
  PatchEntry copy = original;
  PatchEntry assigned;
  assigned = original;

  original.CutStagingPath(std::string("/game/Update/a.dat").size());
  EXPECT_STREQ(original.stagingPath, "/game/Update/a.dat");
  original.CutStagingPath(100);  // not shorter: unchanged
  EXPECT_STREQ(original.stagingPath, "/game/Update/a.dat");
  for (const PatchEntry* e : {&copy, &assigned}) {
    EXPECT_EQ(e->kind, 'Z');
    EXPECT_EQ(e->unpackedSize, 40000);
    EXPECT_STREQ(e->stagingPath, "/game/Update/a.dat.gz");
    EXPECT_STREQ(e->listedName, "a.dat.gz");
    EXPECT_NE(e->localPath, original.localPath);
  }
  assigned = PatchEntry();
  EXPECT_STREQ(assigned.localPath, "");
  EXPECT_STREQ(copy.localPath, "/game/a.dat");
}

}  // namespace
