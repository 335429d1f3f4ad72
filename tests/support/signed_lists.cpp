#include "support/signed_lists.h"

#include "patchlist/list_signature.h"
#include "platform/crypto.h"
#include "publish/signing.h"

namespace zdtest {

ListSigner::ListSigner(const std::string& keyFile) : keyFile_(keyFile) {
  std::string line;
  std::string error;
  if (publish::GenerateSigningKey(keyFile, &line, &error) && line.rfind("PUBLICKEY=", 0) == 0)
    publicKey_ = line.substr(10);
}

std::string ListSigner::Sign(const std::vector<std::pair<std::string, std::string>>& lines, uint64_t sequence,
                             plat::FileTime expiresAt) const {
  std::vector<std::pair<std::string, FileHash>> hashed;
  for (const auto& [line, stored] : lines) {
    FileHash hash;
    hash.size = static_cast<int32_t>(stored.size());
    if (!plat::Sha256(stored.data(), stored.size(), hash.sha256)) return "";
    hashed.emplace_back(line, hash);
  }
  return SignHashed(hashed, sequence, expiresAt);
}

std::string ListSigner::SignHashed(const std::vector<std::pair<std::string, FileHash>>& lines, uint64_t sequence,
                                   plat::FileTime expiresAt) const {
  SignedListHeader header;
  header.sequence = sequence;
  header.expires = expiresAt != 0;
  header.expiresAt = expiresAt;
  std::string error;
  std::string list = "# signed test list\r\n" + publish::SignedHeaderLine(header, &error);
  if (!error.empty()) return "";
  for (const auto& [line, hash] : lines) {
    list += line + "\r\n";
    if (line.empty() || line[0] == 'D' || line[0] == 'd') continue;
    // The remote name: the sixth column.
    size_t at = 0;
    for (int column = 0; column < 5; ++column) at = line.find(' ', line.find_first_not_of(' ', at));
    list += publish::FileHashLine(hash, line.substr(line.find_first_not_of(' ', at)), &error);
    if (!error.empty()) return "";
  }
  return publish::AppendSignature(keyFile_, &list, &error) ? list : "";
}

}  // namespace zdtest
