// diff: the dry run. For a client holding the old version (its files carry the old
// listed times, as an installation by this system does), what the new list makes it
// do with each file, by the clients' own freshness rule, walking the list in order as
// the clients do: a file cannot be put where the client holds a file as a folder of its
// name (unless a deletion earlier in the list removes that file) nor where it holds a
// folder (clients never remove folders); the client's run stops there, every time.
// Signed lists: both sequence numbers, and what makes patchers with a key refuse the
// new list whole.
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "platform/clock.h"
#include "publish/commands.h"
#include "publish/listing.h"
#include "publish/signing.h"

namespace publish {
namespace {

struct SignedBlock {
  SignedList block;
  ListSignatureFault fault = ListSignatureFault::kUnsigned;
  bool readable() const { return fault == ListSignatureFault::kNone || fault == ListSignatureFault::kUnsigned; }
  bool sequenced() const { return readable() && block.hasHeader(); }
};

// Shows both lists' signed blocks and says why patchers with a key would refuse the new
// list: a sequence below the old one's (a rollback) or equal to it, no signature after
// a signed list, a malformed block, an expiry passed. The number of such faults.
int CompareSignedBlocks(const SignedBlock& old, const SignedBlock& now) {
  if (!old.sequenced() && !now.sequenced() && old.readable() && now.readable()) return 0;
  std::printf("old list: %s\n", DescribeSignedBlock(old.block, old.fault).c_str());
  std::printf("new list: %s\n", DescribeSignedBlock(now.block, now.fault).c_str());
  int faults = 0;
  const auto flag = [&faults](const char* word, const std::string& text) {
    std::printf("%-8s the new list: %s\n", word, text.c_str());
    ++faults;
  };
  const auto refused = [&flag](const std::string& text) { flag("REFUSED", text); };
  const bool oldSigned = old.fault == ListSignatureFault::kNone;
  const bool newSigned = now.fault == ListSignatureFault::kNone;
  if (!now.readable()) {
    refused(std::string(DescribeListSignatureFault(now.fault)) + ", and patchers with a key refuse it");
  } else if (oldSigned && !newSigned) {
    refused("not signed, and patchers that hold the old list's key refuse it");
  }
  if (old.sequenced() && now.sequenced()) {
    const uint64_t before = old.block.header().sequence, after = now.block.header().sequence;
    const bool same = oldSigned && newSigned &&
                      std::memcmp(old.block.signedDigest(), now.block.signedDigest(), plat::kSha256Size) == 0;
    if (after < before)
      flag("ROLLBACK", "its sequence " + std::to_string(after) + " is below the old list's " + std::to_string(before) +
                           ", so patchers that accepted the old list refuse it (build with --previous)");
    else if (after == before && !same)
      flag("ROLLBACK", "its sequence " + std::to_string(after) + " is the old list's, so patchers would also take "
                           "the old list again after it (build with --previous)");
  }
  if (newSigned && ListHasExpired(now.block.header(), plat::CurrentUtcFileTime()))
    refused("it expired at " + UtcText(now.block.header().expiresAt) + ", and patchers with a key refuse it");
  if (oldSigned && newSigned && std::memcmp(old.block.keyId(), now.block.keyId(), kKeyIdSize) != 0)
    std::printf("note: the new list is signed with another key than the old one: only patchers that hold key %s "
                "accept it (README: changing the key)\n",
                KeyIdText(now.block.keyId()).c_str());
  return faults;
}

}  // namespace

int RunDiff(const DiffOptions& options) {
  Version before;
  Version after;
  std::string error;
  if (!LoadVersion(options.oldPath, &before, &error) || !LoadVersion(options.newPath, &after, &error)) {
    Complain(error);
    return kExitFailed;
  }
  SignedBlock oldBlock, newBlock;
  if (!ReadSignedBlock(before.listPath, &oldBlock.block, &oldBlock.fault, &error) ||
      !ReadSignedBlock(after.listPath, &newBlock.block, &newBlock.fault, &error)) {
    Complain(error);
    return kExitFailed;
  }
  const int refusals = CompareSignedBlocks(oldBlock, newBlock);
  std::map<std::string, const ListedFile*> held;
  std::set<std::string> heldFolders;
  for (const ListedFile& file : before.files) {
    if (file.kind != 'D') held[CaseKey(file.local)] = &file;
  }
  for (const auto& [key, file] : held) {
    for (size_t at = key.find('\\'); at != std::string::npos; at = key.find('\\', at + 1))
      heldFolders.insert(key.substr(0, at));
  }
  std::set<std::string> deletedSoFar;
  // Why a file cannot be put in place when the walk reaches it, or "".
  const auto inTheWay = [&](const std::string& key) -> std::string {
    if (heldFolders.count(key) > 0) return "the client holds a folder of that name, which clients never remove";
    for (size_t at = key.find('\\'); at != std::string::npos; at = key.find('\\', at + 1)) {
      const auto it = held.find(key.substr(0, at));
      if (it != held.end() && deletedSoFar.count(it->first) == 0)
        return "the client holds " + it->second->local + " as a file, and no line before deletes it";
    }
    return "";
  };

  int fetched = 0, kept = 0, deleted = 0, never = 0, unknown = 0;
  uint64_t bytes = 0;
  std::set<std::string> named;
  for (const ListedFile& file : after.files) {
    const std::string key = CaseKey(file.local);
    named.insert(key);
    const auto it = held.find(key);
    const ListedFile* old = it == held.end() ? nullptr : it->second;
    if (file.kind == 'D') {
      if (old != nullptr && deletedSoFar.insert(key).second) {
        std::printf("delete %12s  %s\n", "", file.local.c_str());
        ++deleted;
      }
      continue;
    }
    const std::string blocked = inTheWay(key);
    if (!blocked.empty()) {
      std::printf("NEVER  %12s  %s  (%s: the client's run stops here)\n", "", file.local.c_str(), blocked.c_str());
      ++never;
      continue;
    }
    const bool known = old != nullptr && old->hashKnown && file.hashKnown;
    const bool changed = known && old->hash != file.hash;
    if (file.kind == 'A' || old == nullptr ||
        ClientFetches(file.stamp, file.ContentSize(), old->stamp, old->ContentSize())) {
      std::printf("fetch  %12lld  %s%s\n", static_cast<long long>(file.size), file.local.c_str(),
                  old != nullptr && known && !changed ? "  (content unchanged)" : "");
      ++fetched;
      bytes += static_cast<uint64_t>(file.size);
    } else if (changed) {
      std::printf("NEVER  %12s  %s  (content changed, but a client's copy listed %s %s counts as current against "
                  "%s %s)\n",
                  "", file.local.c_str(), old->stamp.date.c_str(), old->stamp.time.c_str(), file.stamp.date.c_str(),
                  file.stamp.time.c_str());
      ++never;
    } else {
      if (options.unchanged) std::printf("keep   %12s  %s\n", "", file.local.c_str());
      ++kept;
      if (!known) ++unknown;
    }
  }
  int stays = 0;
  for (const auto& [key, file] : held) {
    if (named.count(key) == 0) {
      std::printf("stays  %12s  %s  (no longer listed, and not deleted)\n", "", file->local.c_str());
      ++stays;
    }
  }
  std::printf("%d to fetch (%llu bytes), %d kept, %d deleted, %d left in place, %d never received\n", fetched,
              static_cast<unsigned long long>(bytes), kept, deleted, stays, never);
  if (unknown > 0)
    std::printf("%d kept files have no content hash on one side (no manifest): a change of their content would "
                "not show\n",
                unknown);
  return never > 0 || refusals > 0 ? kExitRefused : kExitOk;
}

}  // namespace publish
