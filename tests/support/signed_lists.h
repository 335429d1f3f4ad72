// Signed patch lists for client tests, made by the publisher's tool's own functions
// (publish/signing.h) with a key of the test's own.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "patchlist/list_signature.h"
#include "platform/files.h"

namespace zdtest {

class ListSigner {
 public:
  // Makes a new key at `keyFile` (a path that does not exist yet).
  explicit ListSigner(const std::string& keyFile);
  bool ok() const { return !publicKey_.empty(); }
  // The key as PUBLICKEY= names it.
  const std::string& publicKey() const { return publicKey_; }

  // A list of `lines` (each an entry line without its line end, with the bytes its file
  // is stored with on the server; 'D' lines need none), signed with this key: a header
  // with `sequence` and `expiresAt` (UTC; 0 for never), a hash line after every entry
  // line but 'D', the signature last. CR LF line ends. Empty on failure.
  std::string Sign(const std::vector<std::pair<std::string, std::string>>& lines, uint64_t sequence,
                   plat::FileTime expiresAt = 0) const;
  // The same with each file's hash given (for files too large to hold in memory).
  std::string SignHashed(const std::vector<std::pair<std::string, FileHash>>& lines, uint64_t sequence,
                         plat::FileTime expiresAt = 0) const;

 private:
  std::string keyFile_;
  std::string publicKey_;
};

}  // namespace zdtest
