// upload: a server folder made by build goes onto an FTP server so that a client never
// meets a list whose files are not all there:
//  - data files first, each stored under a temporary name and renamed into place
//    whole. Their names carry the hash of their content (names.h), so a new version
//    never overwrites a file the old list still names, and a file found under its
//    final name with the listed size is the right file: it is skipped, and a broken
//    upload is finished by running it again;
//  - then the manifest, and last the list, renamed over the old one in one step;
//  - with --prune, after that, the files of older versions: those the replaced list
//    named and those carrying this tool's names, never a file the new list names.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "publish/commands.h"
#include "publish/ftp_session.h"
#include "publish/listing.h"
#include "publish/names.h"
#include "publish/progress.h"

namespace publish {
namespace {

namespace fs = std::filesystem;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A name this tool gives: "<name>.<16 hex digits>", "<...>.gz", or a temporary upload.
bool IsToolsName(std::string name) {
  if (EndsWith(name, FtpSession::TemporarySuffix())) return true;
  if (EndsWith(name, ".gz")) name.resize(name.size() - 3);
  if (name.size() < 18 || name[name.size() - 17] != '.') return false;
  uint64_t hash;
  return ParseHex(name.substr(name.size() - 16), &hash);
}

class Uploader {
 public:
  explicit Uploader(const UploadOptions& options) : options_(options) {}

  int Run() {
    std::string error;
    const std::string listPath = options_.serverDir + "/" + options_.listName;
    Version version;
    if (!LoadVersion(listPath, &version, &error)) {
      Complain(error);
      return kExitFailed;
    }
    // Only a folder made by build: its names carry the contents' hashes.
    if (version.manifestPath.empty()) {
      Complain(options_.serverDir + " was not made by zidodiruv-publish build: no manifest beside its list");
      return kExitRefused;
    }
    std::vector<const ListedFile*> files;
    std::set<std::string> names;
    for (const ListedFile& file : version.files) {
      if (file.kind == 'D' || !names.insert(BelowBase(file.remote)).second) continue;
      std::error_code ec;
      const std::string path = options_.serverDir + "/" + BelowBase(file.remote);
      if (!file.hashKnown || !fs::is_regular_file(path, ec) ||
          static_cast<int64_t>(fs::file_size(path, ec)) != file.size) {
        Complain(path + " is missing or not as listed: the folder is not as build left it");
        return kExitRefused;
      }
      files.push_back(&file);
    }

    if (!session_.Open(options_.url, &error)) return Failed(error);
    std::set<std::string> replaced;
    if (options_.prune && !ReplacedNames(&replaced, &error)) return Failed(error);

    // What is already there.
    std::vector<const ListedFile*> missing;
    uint64_t bytes = 0;
    for (const ListedFile* file : files) {
      int64_t size = -1;
      bool absent = false;
      const std::string name = BelowBase(file->remote);
      const bool answered = session_.Size(name, &size, &absent, &error);
      if (answered && size == file->size) continue;
      // A server that answers without a length leaves it open whether the file is
      // there: stop rather than guess.
      if (answered && size < 0)
        return Failed("the server gave no size for " + name + " in " + session_.base() +
                      ": cannot tell whether it is already there");
      if (!answered && !absent) return Failed(error);
      missing.push_back(file);
      bytes += static_cast<uint64_t>(file->size);
    }

    Progress progress(missing.size(), bytes);
    uint64_t sent = 0;
    size_t done = 0;
    for (const ListedFile* file : missing) {
      const auto update = [&](uint64_t now) { progress.Update(done, sent + now); };
      if (!session_.Upload(options_.serverDir + "/" + BelowBase(file->remote), BelowBase(file->remote), update, &error))
        return Failed(error);
      sent += static_cast<uint64_t>(file->size);
      progress.Update(++done, sent);
    }
    progress.Finish();
    const std::string manifest = ManifestPathFor(options_.listName);
    if (!session_.Upload(options_.serverDir + "/" + manifest, manifest, nullptr, &error) ||
        !session_.Upload(listPath, options_.listName, nullptr, &error))
      return Failed(error);
    std::printf("%zu files uploaded (%llu bytes), %zu already there; %s in place at %s\n", missing.size(),
                static_cast<unsigned long long>(bytes), files.size() - missing.size(), options_.listName.c_str(),
                session_.base().c_str());

    if (!options_.prune) return kExitOk;
    names.insert(options_.listName);
    names.insert(manifest);
    int pruned = 0;
    if (!Prune("", names, replaced, &pruned, &error)) return Failed(error);
    std::printf("%d obsolete files removed\n", pruned);
    return kExitOk;
  }

 private:
  int Failed(const std::string& error) {
    Complain(error);
    return kExitFailed;
  }

  // The files the list on the server names now, before it is replaced.
  bool ReplacedNames(std::set<std::string>* out, std::string* error) {
    if (scratch_.path().empty()) {
      *error = "cannot create a temporary folder";
      return false;
    }
    int64_t size;
    bool missing = false;
    if (!session_.Size(options_.listName, &size, &missing, error)) return missing;
    const std::string path = scratch_.path() + "/" + options_.listName;
    std::vector<ListedFile> old;
    if (!session_.Download(options_.listName, path, error) || !ReadList(path, &old, error)) return false;
    for (const ListedFile& file : old) {
      if (file.kind != 'D') out->insert(BelowBase(file.remote));
    }
    return true;
  }

  bool Prune(const std::string& folder, const std::set<std::string>& keep, const std::set<std::string>& replaced,
             int* pruned, std::string* error) {
    std::vector<RemoteEntry> entries;
    if (!session_.List(folder, &entries, error)) return false;
    for (const RemoteEntry& entry : entries) {
      const std::string name = folder.empty() ? entry.name : folder + "/" + entry.name;
      if (entry.folder) {
        if (!Prune(name, keep, replaced, pruned, error)) return false;
        continue;
      }
      if (keep.count(name) > 0 || (replaced.count(name) == 0 && !IsToolsName(entry.name))) continue;
      if (!session_.Delete(name, error)) return false;
      ++*pruned;
    }
    return true;
  }

  const UploadOptions& options_;
  FtpSession session_;
  ScratchFolder scratch_;
};

}  // namespace

int RunUpload(const UploadOptions& options) { return Uploader(options).Run(); }

}  // namespace publish
