// upload: a server folder made by build goes onto one FTP server or several mirrors of
// one name so that a client never meets a list whose files are not all there. A client
// connects anew for every file and each connection looks the name up again, so it may
// read the list on one mirror and fetch a file from another: a list goes live on any
// mirror only when every mirror holds every file.
//  - data files first, to every mirror at once, each stored under a temporary name and
//    renamed into place whole. Their names carry the hash of their content (names.h),
//    so a new version never overwrites a file the old list still names, and a file
//    found under its final name with the listed size is the right file: it is skipped,
//    and a broken upload is finished by running it again. A mirror that fails stops
//    the others, and no list moves anywhere;
//  - then, on each mirror in turn, the manifest, and last the list, renamed over the
//    old one in one step;
//  - with --prune, once every mirror has the new list, the files of this list's older
//    versions, never a file the new list or another list in the same folder names.
// Which files are this list's own, on each mirror: before any data file is stored, the
// record "<list>.uploaded" there gets every name this upload stores, added to the
// names of the uploads before it and of the list it replaces (when the manifest beside
// it says this tool wrote it). Only names in that record are ever pruned, so the files
// of another list in the same folder are never touched.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

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

// The local folder's version, as upload sends it: the data files in list order, each
// remote name once.
struct Release {
  std::string listPath;
  std::string manifest;  // its name on the server
  std::vector<const ListedFile*> files;
  std::set<std::string> names;  // below the base
};

// One server and what upload does there.
class Mirror {
 public:
  Mirror(const UploadOptions& options, const std::string& url)
      : options_(options), url_(url), label_(FtpSession::Shown(url)) {}

  const std::string& label() const { return label_; }
  const std::string& base() const { return session_.base(); }

  // Logs on, adds the release's names to the record, and stores the data files that
  // are not there yet. False with the reason in *error, or, with stopped() true, once
  // `stop` is raised (the file under way broken off).
  bool StoreData(const Release& release, ProgressRows* rows, size_t row, const std::atomic<bool>& stop,
                 std::string* error) {
    rows->Note(row, "logging on");
    if (!session_.Open(url_, error)) return false;
    if (scratch_.path().empty()) {
      *error = "cannot create a temporary folder";
      return false;
    }
    // This list's own names: the record, and the list about to be replaced.
    if (!ReadNames(options_.listName + kRecordSuffix, &own_, error) ||
        !ToolsListNames(options_.listName, &own_, error))
      return false;
    own_.insert(release.names.begin(), release.names.end());
    if (!WriteRecord(own_, error)) return false;

    // What is already there.
    rows->Note(row, "looking for what is already there");
    std::vector<const ListedFile*> missing;
    for (const ListedFile* file : release.files) {
      if (stop) return Stopped();
      int64_t size = -1;
      bool absent = false;
      const std::string name = BelowBase(file->remote);
      const bool answered = session_.Size(name, &size, &absent, error);
      if (answered && size == file->size) continue;
      // A server that answers without a length leaves it open whether the file is
      // there: stop rather than guess.
      if (answered && size < 0) {
        *error = "the server gave no size for " + name + " in " + session_.base() +
                 ": cannot tell whether it is already there";
        return false;
      }
      if (!answered && !absent) return false;
      missing.push_back(file);
      bytes_ += static_cast<uint64_t>(file->size);
    }
    uploaded_ = missing.size();
    there_ = release.files.size() - missing.size();

    if (!missing.empty()) rows->Start(row, missing.size(), bytes_);
    uint64_t sent = 0;
    size_t done = 0;
    for (const ListedFile* file : missing) {
      if (stop) return Stopped();
      const auto update = [&](uint64_t now) {
        rows->Update(row, done, sent + now);
        return !stop;
      };
      if (!session_.Upload(options_.serverDir + "/" + BelowBase(file->remote), BelowBase(file->remote), update, error))
        return stop ? Stopped() : false;
      sent += static_cast<uint64_t>(file->size);
      rows->Update(row, ++done, sent);
    }
    rows->Note(row, "every data file in place (" + std::to_string(uploaded_) + " stored, " +
                        std::to_string(there_) + " already there)");
    return true;
  }

  bool stopped() const { return stopped_; }

  // The manifest, then the list.
  bool PutList(const Release& release, std::string* error) {
    return session_.Upload(options_.serverDir + "/" + release.manifest, release.manifest, nullptr, error) &&
           session_.Upload(release.listPath, options_.listName, nullptr, error);
  }

  // "3 files uploaded (1234 bytes), 2 already there"
  std::string Stored() const {
    return std::to_string(uploaded_) + " files uploaded (" + std::to_string(bytes_) + " bytes), " +
           std::to_string(there_) + " already there";
  }

  // Removes the files of this list's older versions; *pruned counts them.
  bool PruneOld(const Release& release, int* pruned, std::string* error) {
    // Never a file another list in the folder names or has stored.
    std::set<std::string> others;
    if (!OtherListsNames(&others, error)) return false;
    std::set<std::string> obsolete;
    std::set<std::string> kept = release.names;
    for (const std::string& name : own_) {
      if (release.names.count(name) > 0) continue;
      (others.count(name) > 0 ? kept : obsolete).insert(name);
    }
    // Temporary names left by a broken upload of this list's files go too, unless
    // another list's upload may be storing the same file.
    std::set<std::string> stored = {options_.listName, release.manifest, options_.listName + kRecordSuffix};
    for (const std::string& name : release.names) {
      if (others.count(name) == 0) stored.insert(name);
    }
    *pruned = 0;
    return Prune("", stored, obsolete, pruned, error) && WriteRecord(kept, error);
  }

 private:
  bool Stopped() {
    stopped_ = true;
    return false;
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
  const std::string url_;
  const std::string label_;
  FtpSession session_;
  ScratchFolder scratch_;
  int fetched_ = 0;
  std::set<std::string> own_;  // the names in the record
  bool stopped_ = false;
  size_t uploaded_ = 0;
  size_t there_ = 0;
  uint64_t bytes_ = 0;
};


class Uploader {
 public:
  explicit Uploader(const UploadOptions& options) : options_(options) {}

  int Run() {
    std::string error;
    std::set<std::string> given;
    for (const std::string& url : options_.urls) {
      if (!FtpSession::IsAddress(url, &error)) {
        Complain(error);
        return kExitUsage;
      }
      // Two uploads into one folder would store the same temporary names.
      if (!given.insert(FtpSession::Shown(url)).second) {
        Complain(FtpSession::Shown(url) + " is given twice");
        return kExitUsage;
      }
    }
    Release release;
    release.listPath = options_.serverDir + "/" + options_.listName;
    release.manifest = ManifestPathFor(options_.listName);
    std::error_code ec;
    if (!fs::exists(release.listPath, ec)) {
      Complain(options_.serverDir + " holds no " + options_.listName +
               ": it is not a folder zidodiruv-publish build made");
      return kExitRefused;
    }
    Version version;
    if (!LoadVersion(release.listPath, &version, &error)) {
      Complain(error);
      return kExitFailed;
    }
    // Only a folder made by build: its names carry the contents' hashes.
    if (version.manifestPath.empty()) {
      Complain(options_.serverDir + " was not made by zidodiruv-publish build: no manifest beside its list");
      return kExitRefused;
    }
    for (const ListedFile& file : version.files) {
      if (file.kind == 'D' || !release.names.insert(BelowBase(file.remote)).second) continue;
      const std::string path = options_.serverDir + "/" + BelowBase(file.remote);
      if (!file.hashKnown || !fs::is_regular_file(path, ec) ||
          static_cast<int64_t>(fs::file_size(path, ec)) != file.size) {
        Complain(path + " is missing or not as listed: the folder is not as build left it");
        return kExitRefused;
      }
      release.files.push_back(&file);
    }

    // The data, to every mirror at once.
    std::vector<std::unique_ptr<Mirror>> mirrors;
    std::vector<std::string> labels;
    for (const std::string& url : options_.urls) {
      mirrors.push_back(std::make_unique<Mirror>(options_, url));
      labels.push_back(mirrors.back()->label());
    }
    const bool several = mirrors.size() > 1;
    // With one server, messages are as they have always been.
    const auto named = [several](const Mirror& mirror, const std::string& text) {
      return several ? mirror.label() + ": " + text : text;
    };
    ProgressRows rows(labels);
    std::atomic<bool> stop(false);
    std::vector<std::string> errors(mirrors.size());
    std::vector<char> failed(mirrors.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < mirrors.size(); ++i) {
      threads.emplace_back([&, i] {
        if (mirrors[i]->StoreData(release, &rows, i, stop, &errors[i])) return;
        if (mirrors[i]->stopped()) {
          rows.Note(i, "stopped");
          return;
        }
        // A mirror that fails stops the others.
        failed[i] = 1;
        stop = true;
        rows.Note(i, "FAILED");
      });
    }
    for (std::thread& thread : threads) thread.join();
    rows.Finish();
    std::vector<const Mirror*> broken;
    for (size_t i = 0; i < mirrors.size(); ++i) {
      if (failed[i] == 0) continue;
      Complain(named(*mirrors[i], errors[i]));
      broken.push_back(mirrors[i].get());
    }
    if (stop) {
      if (several)
        Complain("no list has moved on any mirror, so every mirror still serves its old version whole; once " +
                 Names(broken) + " answers, run the same upload again: what is whole is skipped");
      return kExitFailed;
    }

    // Every mirror holds every file: the lists, in turn.
    broken.clear();
    std::vector<const Mirror*> moved;
    for (const std::unique_ptr<Mirror>& mirror : mirrors) {
      if (!mirror->PutList(release, &error)) {
        Complain(named(*mirror, error));
        broken.push_back(mirror.get());
        continue;
      }
      moved.push_back(mirror.get());
      std::printf("%s%s; %s in place at %s\n", several ? (mirror->label() + ": ").c_str() : "",
                  mirror->Stored().c_str(), options_.listName.c_str(), mirror->base().c_str());
    }
    if (!broken.empty()) {
      if (several)
        Complain("the new list is in place on " + Names(moved) + ", not on " + Names(broken) +
                 " (every mirror holds every file of both versions, so players get one or the other whole); run "
                 "the same upload again to finish" +
                 (options_.prune ? "; nothing was pruned" : ""));
      return kExitFailed;
    }

    if (!options_.prune) return kExitOk;
    // Only now: a player that read the old list on one mirror may fetch its files from
    // any other.
    for (const std::unique_ptr<Mirror>& mirror : mirrors) {
      int pruned = 0;
      if (!mirror->PruneOld(release, &pruned, &error)) {
        Complain(named(*mirror, error));
        return kExitFailed;
      }
      std::printf("%s%d obsolete files removed\n", several ? (mirror->label() + ": ").c_str() : "", pruned);
    }
    return kExitOk;
  }

 private:
  // "ftp://a:21/p/ and ftp://b:21/p/"
  static std::string Names(const std::vector<const Mirror*>& mirrors) {
    std::string out;
    for (size_t i = 0; i < mirrors.size(); ++i) {
      if (i > 0) out += i + 1 == mirrors.size() ? " and " : ", ";
      out += mirrors[i]->label();
    }
    return out;
  }

  const UploadOptions& options_;
};

}  // namespace

int RunUpload(const UploadOptions& options) { return Uploader(options).Run(); }

}  // namespace publish
