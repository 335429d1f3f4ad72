// upload: a server folder made by build goes onto an FTP server so that a client never
// meets a list whose files are not all there:
//  - data files first, each stored under a temporary name and renamed into place
//    whole. Their names carry the hash of their content (names.h), so a new version
//    never overwrites a file the old list still names, and a file found under its
//    final name with the listed size is the right file: it is skipped, and a broken
//    upload is finished by running it again;
//  - then the manifest, and last the list, renamed over the old one in one step;
//  - with --prune, after that, the files of this list's older versions, never a file
//    the new list or another list in the same folder names.
// Which files are this list's own: before any data file is stored, the record
// "<list>.uploaded" on the server gets every name this upload stores, added to the
// names of the uploads before it and of the list it replaces (when the manifest
// beside it says this tool wrote it). Only names in that record are ever pruned, so
// the files of another list in the same folder are never touched.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

constexpr char kRecordSuffix[] = ".uploaded";
constexpr char kManifestSuffix[] = ".manifest.json";

class Uploader {
 public:
  explicit Uploader(const UploadOptions& options) : options_(options) {}

  int Run() {
    std::string error;
    if (!FtpSession::IsAddress(options_.url, &error)) {
      Complain(error);
      return kExitUsage;
    }
    const std::string listPath = options_.serverDir + "/" + options_.listName;
    std::error_code ec;
    if (!fs::exists(listPath, ec)) {
      Complain(options_.serverDir + " holds no " + options_.listName +
               ": it is not a folder zidodiruv-publish build made");
      return kExitRefused;
    }
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
      const std::string path = options_.serverDir + "/" + BelowBase(file.remote);
      if (!file.hashKnown || !fs::is_regular_file(path, ec) ||
          static_cast<int64_t>(fs::file_size(path, ec)) != file.size) {
        Complain(path + " is missing or not as listed: the folder is not as build left it");
        return kExitRefused;
      }
      files.push_back(&file);
    }

    if (!session_.Open(options_.url, &error)) return Failed(error);
    if (scratch_.path().empty()) return Failed("cannot create a temporary folder");
    // This list's own names: the record, and the list about to be replaced.
    std::set<std::string> own;
    if (!ReadNames(options_.listName + kRecordSuffix, &own, &error) ||
        !ToolsListNames(options_.listName, &own, &error))
      return Failed(error);
    own.insert(names.begin(), names.end());
    if (!WriteRecord(own, &error)) return Failed(error);

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
    // Never a file another list in the folder names or has stored.
    std::set<std::string> others;
    if (!OtherListsNames(&others, &error)) return Failed(error);
    std::set<std::string> obsolete;
    std::set<std::string> kept = names;
    for (const std::string& name : own) {
      if (names.count(name) > 0) continue;
      (others.count(name) > 0 ? kept : obsolete).insert(name);
    }
    // Temporary names left by a broken upload of this list's files go too, unless
    // another list's upload may be storing the same file.
    std::set<std::string> stored = {options_.listName, manifest, options_.listName + kRecordSuffix};
    for (const std::string& name : names) {
      if (others.count(name) == 0) stored.insert(name);
    }
    int pruned = 0;
    if (!Prune("", stored, obsolete, &pruned, &error) || !WriteRecord(kept, &error)) return Failed(error);
    std::printf("%d obsolete files removed\n", pruned);
    return kExitOk;
  }

 private:
  int Failed(const std::string& error) {
    Complain(error);
    return kExitFailed;
  }

  // Downloads a file of the base folder into the scratch folder; *there is false when
  // the server has no such file.
  bool Fetch(const std::string& name, std::string* local, bool* there, std::string* error) {
    int64_t size;
    bool missing = false;
    *there = false;
    if (!session_.Size(name, &size, &missing, error)) return missing;
    *local = scratch_.path() + "/" + std::to_string(++fetched_);
    if (!session_.Download(name, *local, error)) return false;
    *there = true;
    return true;
  }

  // The names in a record on the server, one a line ("#" begins a comment).
  bool ReadNames(const std::string& record, std::set<std::string>* out, std::string* error) {
    std::string local;
    bool there = false;
    if (!Fetch(record, &local, &there, error)) return false;
    if (!there) return true;
    std::ifstream in(local, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty() && line[0] != '#') out->insert(line);
    }
    return true;
  }

  // The data files the list `name` on the server names, when this tool wrote it (its
  // manifest beside it describes it); nothing otherwise.
  bool ToolsListNames(const std::string& name, std::set<std::string>* out, std::string* error) {
    std::string list, manifest;
    bool listThere = false, manifestThere = false;
    if (!Fetch(name, &list, &listThere, error) ||
        (listThere && !Fetch(name + kManifestSuffix, &manifest, &manifestThere, error)))
      return false;
    if (!manifestThere) return true;
    const std::string listCopy = scratch_.path() + "/list";
    const std::string manifestCopy = ManifestPathFor(listCopy);
    std::error_code ec;
    fs::rename(list, listCopy, ec);
    if (!ec) fs::rename(manifest, manifestCopy, ec);
    Version version;
    std::string ignored;
    if (!ec && LoadVersion(listCopy, &version, &ignored)) {
      for (const ListedFile& file : version.files) {
        if (file.kind != 'D') out->insert(BelowBase(file.remote));
      }
    }
    fs::remove(listCopy, ec);
    fs::remove(manifestCopy, ec);
    return true;
  }

  // Every name another list in the base folder names or has stored: the lists found by
  // their records and manifests.
  bool OtherListsNames(std::set<std::string>* out, std::string* error) {
    std::vector<RemoteEntry> entries;
    if (!session_.List("", &entries, error)) return false;
    std::set<std::string> lists;
    for (const RemoteEntry& entry : entries) {
      for (const std::string& suffix : {std::string(kRecordSuffix), std::string(kManifestSuffix)}) {
        if (!entry.folder && EndsWith(entry.name, suffix))
          lists.insert(entry.name.substr(0, entry.name.size() - suffix.size()));
      }
    }
    lists.erase(options_.listName);
    for (const std::string& list : lists) {
      std::string local;
      bool there = false;
      std::vector<ListedFile> lines;
      if (!ReadNames(list + kRecordSuffix, out, error) || !Fetch(list, &local, &there, error)) return false;
      if (there && !ReadList(local, &lines, error)) return false;
      for (const ListedFile& line : lines) out->insert(BelowBase(line.remote));
    }
    return true;
  }

  // Replaces the record on the server with `names`.
  bool WriteRecord(const std::set<std::string>& names, std::string* error) {
    const std::string record = options_.listName + kRecordSuffix;
    const std::string local = scratch_.path() + "/" + record;
    std::ofstream out(local, std::ios::binary | std::ios::trunc);
    out << "# zidodiruv-publish: the files that uploads of " << options_.listName
        << " stored here; upload --prune removes those its list no longer names\n";
    for (const std::string& name : names) out << name << "\n";
    out.close();
    if (!out) {
      *error = "cannot write " + local;
      return false;
    }
    return session_.Upload(local, record, nullptr, error);
  }

  // Deletes the obsolete files, and what a broken upload of them or of the files in
  // `current` left under a temporary name.
  bool Prune(const std::string& folder, const std::set<std::string>& current, const std::set<std::string>& obsolete,
             int* pruned, std::string* error) {
    std::vector<RemoteEntry> entries;
    if (!session_.List(folder, &entries, error)) return false;
    const std::string temporary = FtpSession::TemporarySuffix();
    for (const RemoteEntry& entry : entries) {
      const std::string name = folder.empty() ? entry.name : folder + "/" + entry.name;
      if (entry.folder) {
        if (!Prune(name, current, obsolete, pruned, error)) return false;
        continue;
      }
      const std::string stored = EndsWith(name, temporary) ? name.substr(0, name.size() - temporary.size()) : "";
      if (obsolete.count(name) == 0 && obsolete.count(stored) == 0 && current.count(stored) == 0) continue;
      if (!session_.Delete(name, error)) return false;
      ++*pruned;
    }
    return true;
  }

  const UploadOptions& options_;
  FtpSession session_;
  ScratchFolder scratch_;
  int fetched_ = 0;
};

}  // namespace

int RunUpload(const UploadOptions& options) { return Uploader(options).Run(); }

}  // namespace publish
