// The hasher that follows a download: its digest is the SHA-256 of every byte given, in
// pieces of any size and past the ring's size, and a digest given up leaves it ready for
// the next download.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "app/download_hash.h"
#include "platform/crypto.h"

namespace {

TEST(DownloadHasher, DigestsEveryByteGivenAndStartsAfreshAfterAnAbandon) {
  std::string data(3u << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4099);
  uint8_t expected[plat::kSha256Size];
  ASSERT_TRUE(plat::Sha256(data.data(), data.size(), expected));

  DownloadHasher hasher;
  ASSERT_TRUE(hasher.Begin());
  hasher.Data(data.data(), 100);
  hasher.Abandon();
  for (const size_t piece : {size_t{16384}, size_t{3} << 20, size_t{1} << 20 | 1}) {
    SCOPED_TRACE(piece);
    ASSERT_TRUE(hasher.Begin());
    for (size_t at = 0; at < data.size(); at += piece)
      hasher.Data(data.data() + at, std::min(piece, data.size() - at));
    uint8_t digest[plat::kSha256Size] = {};
    ASSERT_TRUE(hasher.Finish(digest));
    EXPECT_EQ(std::memcmp(digest, expected, sizeof digest), 0);
  }
  hasher.Stop();
  EXPECT_FALSE(hasher.Begin());
}

}  // namespace
