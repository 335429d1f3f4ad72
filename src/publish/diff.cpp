// diff: the dry run. For a client holding the old version (its files carry the old
// listed times, as an installation by this system does), what the new list makes it
// do with each file, by the clients' own freshness rule, walking the list in order as
// the clients do: a file cannot be put where the client holds a file as a folder of its
// name (unless a deletion earlier in the list removes that file) nor where it holds a
// folder (clients never remove folders); the client's run stops there, every time.
#include <cstdio>
#include <map>
#include <set>

#include "publish/commands.h"
#include "publish/listing.h"

namespace publish {

int RunDiff(const DiffOptions& options) {
  Version before;
  Version after;
  std::string error;
  if (!LoadVersion(options.oldPath, &before, &error) || !LoadVersion(options.newPath, &after, &error)) {
    Complain(error);
    return kExitFailed;
  }
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
  return never > 0 ? kExitRefused : kExitOk;
}

}  // namespace publish
