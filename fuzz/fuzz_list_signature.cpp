// Fuzzes the signed block of a patch list: an input is the bytes of a list.
//
// Each input is read twice, whole and in pieces whose sizes the input's own bytes
// choose, and checked:
//  - both readings give the same judgement, header, hashes and signed digest: a line
//    split across pieces is read as the same line;
//  - a block judged usable (signed or unsigned) has a header in range and every hash
//    line it lists is found again by its name, with a size in 0 .. 2^31 - 1; a block
//    judged malformed gives nothing away;
//  - with the key of the fixed signed list (tests/support/signed_list_vector.h, one of
//    the seeds), a signature verifies only for exactly that list: no other bytes pass.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "patchlist/list_signature.h"
#include "support/signed_list_vector.h"

namespace {

using zdfuzz::Printable;

// The hash lines' names, as the input spells them.
std::vector<std::string> HashNames(const std::string& list) {
  std::vector<std::string> names;
  size_t at = 0;
  while (at < list.size()) {
    size_t end = list.find('\n', at);
    if (end == std::string::npos) end = list.size();
    const std::string line = list.substr(at, end - at);
    if (line.compare(0, 11, "#zd-sha256 ") == 0 && line.size() > 2 && line.back() == '\r') {
      const size_t name = line.find(' ', line.find(' ', 11 + 1) + 1);
      if (name != std::string::npos) names.push_back(line.substr(name + 1, line.size() - 2 - name));
    }
    at = end + 1;
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  SignedList whole;
  const ListSignatureFault judged = whole.Read(data, size);

  SignedList pieces;
  for (size_t at = 0, i = 0; at < size; ++i) {
    const size_t n = 1 + data[i % size] % 97;
    pieces.Feed(data + at, n < size - at ? n : size - at);
    at += n;
  }
  const ListSignatureFault judgedInPieces = pieces.Finish();
  ZD_FUZZ_CHECK(judged == judgedInPieces, Printable(input));

  const bool usable = judged == ListSignatureFault::kNone || judged == ListSignatureFault::kUnsigned;
  ZD_FUZZ_CHECK(usable || judged == ListSignatureFault::kMalformed || judged == ListSignatureFault::kNoResources,
                Printable(input));
  ZD_FUZZ_CHECK(whole.hasHeader() == pieces.hasHeader() && whole.hashCount() == pieces.hashCount(), Printable(input));
  if (usable && whole.hasHeader()) {
    const SignedListHeader& header = whole.header();
    ZD_FUZZ_CHECK(header.format == kSignedListFormat && header.sequence >= 1 && header.sequence <= kMaxListSequence,
                  Printable(input));
    ZD_FUZZ_CHECK(header.sequence == pieces.header().sequence && header.expires == pieces.header().expires &&
                      header.expiresAt == pieces.header().expiresAt,
                  Printable(input));
  }
  if (judged == ListSignatureFault::kNone) {
    ZD_FUZZ_CHECK(std::memcmp(whole.signedDigest(), pieces.signedDigest(), plat::kSha256Size) == 0 &&
                      std::memcmp(whole.keyId(), pieces.keyId(), kKeyIdSize) == 0,
                  Printable(input));
  }

  const std::vector<std::string> names = HashNames(input);
  for (const std::string& name : names) {
    FileHash a, b;
    const bool found = whole.FindFileHash(name.data(), name.size(), &a);
    ZD_FUZZ_CHECK(found == pieces.FindFileHash(name.data(), name.size(), &b), Printable(name));
    ZD_FUZZ_CHECK(!found || usable, Printable(input));
    if (!found) continue;
    ZD_FUZZ_CHECK(a.size >= 0 && a.size == b.size && std::memcmp(a.sha256, b.sha256, sizeof a.sha256) == 0,
                  Printable(name));
  }
  if (usable) ZD_FUZZ_CHECK(whole.hashCount() == names.size(), Printable(input));

  ListPublicKeys keys;
  ZD_FUZZ_CHECK(AddPublicKeys(zdtest::kVectorPublicKey, &keys), "the vector's key");
  if (whole.Verify(keys) == ListSignatureFault::kNone) {
    ZD_FUZZ_CHECK(input == zdtest::kVectorSignedList, Printable(input));
  }
  return 0;
}
