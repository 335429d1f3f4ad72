// build: a release folder becomes a server folder (the files under their remote names,
// the list, the manifest). Everything is checked before anything is written, and the
// server folder appears whole or not at all: the work happens in a folder beside it
// that is renamed into place at the end.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "publish/commands.h"
#include "publish/listing.h"
#include "publish/names.h"
#include "publish/packer.h"
#include "platform/settings.h"
#include "publish/progress.h"
#include "publish/signing.h"
#include "publish/stamps.h"

namespace publish {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kSizeLimit = 2147483648ULL;  // the size column is a signed 32-bit count
constexpr char kListHeading[] = "# ZidoDiruv patch list: kind, date, time, size, local name, remote name";
// Names the clients start or hand over to: the game's executable in the installation's
// root, and the patcher's file there unless a 'P' entry names another.
constexpr char kGameKey[] = "VORN.EXE";
constexpr char kPatcherKey[] = "ZIDODIRUV.EXE";
// The patchers' settings, in the installation's root: a release may carry a new one.
constexpr char kSettingsKey[] = "VORNPATCH.INI";
// A patcher reads a setting into 256 bytes: PUBLICKEY= holds two keys.
constexpr size_t kSettingCapacity = 256;

struct ReleaseFile {
  std::string local;  // backslashes
  std::string key;    // CaseKey(local)
  std::string path;   // on disk
  uint64_t size = 0;
  timespec mtime = {};
  bool patcher = false;
  ListedFile listed;  // what the list will say
  bool movedForward = false;
  FileHash stored;  // SHA-256 and size of the bytes on the server, for a signed list
};

// Whether a list without a manifest was written by this tool: its heading, and every
// file under a remote name of this tool's form (whose hash stands in for the manifest's).
bool WrittenByThisTool(const Version& version, std::string* why) {
  std::ifstream in(version.listPath, std::ios::binary);
  std::string first;
  std::getline(in, first);
  if (first.rfind(kListHeading, 0) != 0) {
    *why = "its first line is not this tool's heading";
    return false;
  }
  for (const ListedFile& file : version.files) {
    uint64_t hash;
    if (file.kind == 'D') continue;
    if ((file.kind != 'C' && file.kind != 'P' && file.kind != 'Z') ||
        !HashInRemoteName(file.local, file.remote, file.kind, &hash)) {
      *why = "it lists " + file.local + " as " + std::string(1, file.kind) + " " + file.remote +
             ", which is not a line this tool writes";
      return false;
    }
  }
  return true;
}

// Whether a file of the previous version holds the content just read. The manifest
// records the content's hash; without it, the remote name carries the hash of the stored
// bytes: the content's for a plain file, the gzip file's for a packed one (which the same
// settings make again), or, from earlier builds of this tool, the content's for both.
bool SameContent(const ListedFile& old, const ListedFile& now) {
  if (old.hashKnown) return old.hash == now.hash;
  uint64_t stored;
  if (!HashInRemoteName(old.local, old.remote, old.kind, &stored)) return false;
  return stored == now.hash || stored == now.packedHash;
}

// Every folder a name lies in, as case keys: "A\B\c" gives "A", "A\B".
std::vector<std::string> FolderKeys(const std::string& key) {
  std::vector<std::string> out;
  for (size_t at = key.find('\\'); at != std::string::npos; at = key.find('\\', at + 1)) out.push_back(key.substr(0, at));
  return out;
}

// The work folder of the build under way. Ctrl-C (SIGINT), SIGTERM and SIGHUP are
// blocked in every thread and taken by a thread of their own, which takes workLock (so
// that nothing is being made in the folder), removes the folder and ends the process by
// the same signal. The build holds workLock whenever it makes folders or names in it.
std::mutex workLock;
std::string workFolder;  // guarded by workLock

void RemoveWorkOnSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, sig);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals] {
    int sig = 0;
    if (sigwait(&signals, &sig) != 0) return;
    workLock.lock();  // kept to the end
    Progress::ClearLine();
    std::error_code ec;
    if (!workFolder.empty()) {
      // The packer's workers may still be writing files into the folder by its name. Moved
      // first to another name (over an empty folder made for it), the folder takes no new
      // file from them, so one removal takes it whole; the new name is a leftover that the
      // next build clears should this one be killed while removing it.
      std::string gone = workFolder.substr(0, workFolder.size() - 6) + "XXXXXX";
      if (::mkdtemp(gone.data()) != nullptr && ::rename(workFolder.c_str(), gone.c_str()) == 0) {
        fs::remove_all(gone, ec);
      } else {
        if (gone.compare(gone.size() - 6, 6, "XXXXXX") != 0) ::rmdir(gone.c_str());
        for (int pass = 0; pass < 10 && fs::exists(workFolder, ec); ++pass) fs::remove_all(workFolder, ec);
      }
    }
    std::signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
  }).detach();
}

class Builder {
 public:
  explicit Builder(const BuildOptions& options) : options_(options) {}

  int Run() {
    std::string error;
    if (!CheckFolders()) return kExitUsage;
    if (options_.listName.find_first_of("/\\ ") != std::string::npos || options_.listName.empty())
      return Fail(kExitUsage, "the list's name must be a plain file name without blanks");
    if (!options_.previous.empty() && !LoadVersion(options_.previous, &previous_, &error))
      return Fail(kExitFailed, error);
    if (!options_.previous.empty() && previous_.manifestPath.empty()) {
      std::string why;
      if (WrittenByThisTool(previous_, &why)) {
        Complain("note: no manifest beside " + options_.previous +
                 ": contents are compared by the hashes in its remote names");
      } else {
        problems_.push_back(options_.previous + ": has no manifest beside it and was not written by this tool (" +
                            why + "), so no content of it can be compared (give the list build wrote, with " +
                            ManifestPathFor(fs::path(options_.previous).filename().string()) + " beside it)");
      }
    }
    if (!ChooseZone()) return kExitUsage;
    const int signing = ChooseSigning();
    if (signing != kExitOk) return signing;
    RemoveLeftovers();

    if (!Walk()) return kExitFailed;
    Check();
    if (!problems_.empty()) {
      for (const std::string& problem : problems_) Complain("refused: " + problem);
      Complain("nothing written");
      return kExitRefused;
    }
    const int written = Write();
    DropWork();
    return written;
  }

 private:
  int Fail(int code, const std::string& text) {
    Complain(text);
    return code;
  }

  // Removes the work folder of a build that did not finish.
  void DropWork() {
    std::lock_guard<std::mutex> hold(workLock);
    std::error_code ec;
    if (!work_.empty()) fs::remove_all(work_, ec);
    work_.clear();
    workFolder.clear();
    if (workFd_ >= 0) ::close(workFd_);
    workFd_ = -1;
  }

  // SERVER_DIR: a folder, new or empty, apart from the release on either side. A server
  // folder inside the release would go to players with the next build; a release inside
  // the server folder would be published into itself.
  bool CheckFolders() {
    std::error_code ec;
    const fs::file_status status = fs::status(options_.serverDir, ec);
    if (fs::exists(status) && !fs::is_directory(status)) {
      Complain(options_.serverDir + " is a file; SERVER_DIR is the folder build writes (new or empty)");
      return false;
    }
    const fs::path release = WithoutSlash(fs::weakly_canonical(options_.releaseDir, ec));
    const fs::path server = WithoutSlash(fs::weakly_canonical(ServerPath(), ec));
    const auto within = [](const fs::path& inner, const fs::path& outer) {
      return std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first == outer.end();
    };
    if (within(server, release)) {
      Complain(options_.serverDir + " lies inside the release " + options_.releaseDir +
               ": the next build would publish it to players; write the server folder elsewhere");
      return false;
    }
    if (within(release, server)) {
      Complain("the release " + options_.releaseDir + " lies inside " + options_.serverDir +
               ": build would publish its own output; write the server folder elsewhere");
      return false;
    }
    if (fs::exists(status) && !fs::is_empty(options_.serverDir, ec)) {
      Complain(options_.serverDir + " is not empty: build writes a new server folder");
      return false;
    }
    return true;
  }

  static fs::path WithoutSlash(fs::path path) {
    path = path.lexically_normal();
    return path.has_filename() || !path.has_parent_path() || path == path.root_path() ? path : path.parent_path();
  }
  // SERVER_DIR as an absolute path ("server/" as "server").
  fs::path ServerPath() const { return WithoutSlash(fs::absolute(options_.serverDir)); }

  // The zone of the listed times. A line of versions keeps one zone: without --zone it
  // is the previous version's, and another zone given is refused, since the copies
  // players hold would be judged against times of two zones.
  bool ChooseZone() {
    std::string error;
    const std::string machine = ZoneName();
    const bool inherited = options_.zone.empty() && !previous_.zone.empty();
    if (!UseZone(inherited ? previous_.zone : options_.zone, &error)) {
      Complain(inherited ? "the previous version lists its times in " + previous_.zone +
                               ", a zone this machine does not know: give it as --zone"
                         : error);
      return false;
    }
    if (inherited && previous_.zone != machine)
      std::printf("listed times in %s, the zone of the previous version\n", previous_.zone.c_str());
    if (!options_.zone.empty() && !previous_.zone.empty() && options_.zone != previous_.zone)
      problems_.push_back("--zone " + options_.zone + ": the previous version lists its times in " + previous_.zone +
                          "; players' copies would be judged against times of two zones (leave --zone out to keep " +
                          previous_.zone + ")");
    return true;
  }

  bool signing() const { return !keyFile_.empty(); }

  // The key that signs the list, and the list's sequence number: one above the previous
  // version's, else 1. A list after a signed one is signed too unless --unsigned says
  // otherwise: players' patchers that hold the key refuse an unsigned list.
  int ChooseSigning() {
    const char* fromEnvironment = std::getenv("ZIDODIRUV_SIGNING_KEY");
    keyFile_ = options_.signingKey;
    std::string named = "--sign " + keyFile_;
    if (keyFile_.empty() && !options_.unsignedList && fromEnvironment != nullptr && fromEnvironment[0] != '\0') {
      keyFile_ = fromEnvironment;
      named = keyFile_ + " (ZIDODIRUV_SIGNING_KEY)";
    }
    if (options_.expiresDays > 0 && keyFile_.empty())
      return Fail(kExitUsage, "--expires: only a signed list expires; give --sign KEYFILE or ZIDODIRUV_SIGNING_KEY");
    std::string error;
    if (signing()) {
      struct stat st;
      if (::stat(keyFile_.c_str(), &st) != 0 && errno == ENOENT)
        return Fail(kExitUsage, named + ": no such key file (keygen makes one)");
      std::string line;
      if (!PublicKeyLineOf(keyFile_, &line, &error))
        return Fail(errno == EACCES ? kExitFailed : kExitUsage, error);
      if (!AddPublicKeys(line.substr(line.find('=') + 1).c_str(), &key_)) return Fail(kExitUsage, named + ": no key");
      if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        Complain("note: " + keyFile_ + " can be read by others (mode " + mode + "); whoever reads it can sign patches "
                 "that players install (chmod 600 " + keyFile_ + ")");
      }
    }
    if (options_.previous.empty()) return kExitOk;
    SignedList previous;
    ListSignatureFault fault;
    if (!ReadSignedBlock(previous_.listPath, &previous, &fault, &error)) return Fail(kExitFailed, error);
    if (fault != ListSignatureFault::kNone && fault != ListSignatureFault::kUnsigned) {
      problems_.push_back(previous_.listPath + ": " + DescribeListSignatureFault(fault) +
                          ", so its sequence number cannot be read");
      return kExitOk;
    }
    if (previous.hasHeader()) {
      previousSequence_ = previous.header().sequence;
      if (previousSequence_ >= kMaxListSequence)
        problems_.push_back(previous_.listPath + ": its sequence number is the highest a list can have");
    }
    if (fault == ListSignatureFault::kNone) {
      previousKey_ = KeyIdText(previous.keyId());
      if (!signing() && !options_.unsignedList)
        problems_.push_back(previous_.listPath + ": is signed (key " + previousKey_ + "), and players' patchers "
                            "that hold its key refuse an unsigned list; give --sign KEYFILE or ZIDODIRUV_SIGNING_KEY "
                            "(--unsigned if that is meant)");
    }
    return kExitOk;
  }

  // What builds of the same SERVER_DIR left when they were killed: their work folders
  // beside it (".NAME.building-XXXXXX", folders of this user that no running build
  // holds locked).
  void RemoveLeftovers() const {
    const fs::path server = ServerPath();
    const std::string prefix = "." + server.filename().string() + ".building-";
    std::error_code ec;
    for (fs::directory_iterator it(server.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      struct stat st;
      if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0 ||
          ::lstat(it->path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        continue;
      const int fd = ::open(it->path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) continue;
      std::error_code removed;
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && fs::remove_all(it->path(), removed) > 0 && !removed)
        std::printf("removed %s, left by a build that was stopped\n", it->path().c_str());
      ::close(fd);
    }
  }

  // Every file of the release under its local name. Links are refused whatever they
  // lead to (a link to a file outside the release would publish that file, one to a
  // folder all it holds), and so is a server folder this tool made, or one it was
  // making when it was stopped. A folder that cannot be read is named.
  bool Walk() {
    struct Folder {
      fs::path path;
      std::string local;
      std::string fault;  // of a folder on the way, for every file below it
    };
    std::vector<Folder> folders = {{fs::path(options_.releaseDir), "", ""}};
    while (!folders.empty()) {
      const Folder folder = folders.back();
      folders.pop_back();
      std::error_code ec;
      for (fs::directory_iterator it(folder.path, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::string local = folder.local.empty() ? name : folder.local + "\\" + name;
        const std::string fault = name.find('\\') != std::string::npos
                                      ? "holds a backslash, which Windows reads as a folder separator"
                                      : folder.fault;
        const fs::file_status status = it->symlink_status(ec);
        if (ec) break;
        if (fs::is_symlink(status)) {
          std::error_code ignored;
          problems_.push_back(local + ": is a link (to " + fs::read_symlink(it->path(), ignored).string() +
                              "); links are refused: put the file or folder itself in the release");
          continue;
        }
        if (fs::is_directory(status)) {
          if (name.size() > 17 && name[0] == '.' && name.compare(name.size() - 16, 10, ".building-") == 0) {
            problems_.push_back(local + ": is the work folder of a build that was stopped; remove it");
            continue;
          }
          folders.push_back({it->path(), local, fault});
          continue;
        }
        if (!fs::is_regular_file(status)) {
          problems_.push_back(local + ": is not a plain file");
          continue;
        }
        if (name.size() > 14 && name.compare(name.size() - 14, 14, ".manifest.json") == 0 &&
            IsManifest(it->path().string()))
          problems_.push_back((folder.local.empty() ? options_.releaseDir : folder.local) +
                              ": is a server folder zidodiruv-publish made (it holds " + name +
                              "); players would receive it as game files");
        struct stat st;
        if (::lstat(it->path().c_str(), &st) != 0) {
          Complain("cannot examine " + it->path().string() + ": " + std::strerror(errno));
          return false;
        }
        ReleaseFile file;
        file.local = local;
        file.key = CaseKey(local);
        file.path = it->path().string();
        file.size = static_cast<uint64_t>(st.st_size);
        file.mtime = st.st_mtim;
        if (!fault.empty()) problems_.push_back(local + ": " + fault);
        files_.push_back(std::move(file));
      }
      if (ec) {
        Complain("cannot read the folder " + folder.path.string() + ": " + ec.message());
        return false;
      }
    }
    // The list's order: names as Windows compares them. A name comes before every name
    // below it, so where a folder replaces a file of the same name, the file's deletion
    // comes before the files that go into the folder, in the order the clients walk.
    std::sort(files_.begin(), files_.end(), [](const ReleaseFile& a, const ReleaseFile& b) {
      return a.key != b.key ? a.key < b.key : a.local < b.local;
    });
    return true;
  }

  void Check() {
    const time_t now = std::time(nullptr);
    const Stamp nowStamp = StampOf(now);
    std::map<std::string, const ReleaseFile*> byKey;
    for (const ReleaseFile& file : files_) {
      const std::string fault = NameFault(file.local, options_.limits);
      if (!fault.empty()) problems_.push_back(file.local + ": " + fault);
      for (char c : file.local) {
        if (static_cast<unsigned char>(c) >= 0x80) {
          problems_.push_back(file.local +
                              ": holds a character outside ASCII, which each player's Windows reads by its own "
                              "code page and compares by case rules the list cannot check");
          break;
        }
      }
      if (file.size >= kSizeLimit)
        problems_.push_back(file.local + ": is " + std::to_string(file.size) +
                            " bytes; the list's size column holds at most 2147483647");
      if (file.mtime.tv_sec > now) {
        const Stamp at = StampOf(file.mtime.tv_sec);
        problems_.push_back(file.local + ": was last written at " + at.date + " " + at.time +
                            ", after this build (" + nowStamp.date + " " + nowStamp.time +
                            "): its listed time would lie in the future");
      }
      const auto [it, added] = byKey.emplace(file.key, &file);
      if (!added) problems_.push_back(file.local + ": collides with " + it->second->local + " when case is ignored");
    }
    for (const ReleaseFile& file : files_) {
      for (const std::string& folder : FolderKeys(file.key)) {
        const auto it = byKey.find(folder);
        if (it != byKey.end())
          problems_.push_back(it->second->local + ": is a file, and a folder of " + file.local +
                              " when case is ignored");
      }
    }
    CheckPatchers();
    CheckAgainstPrevious();
    CheckDeletions();
    CheckSettingsKeys();
  }

  // A VornPatch.ini in the release replaces the players' settings. When it names keys,
  // their patchers accept from the next run on only lists signed with one of them, this
  // list included: it must be signed, with one of those keys.
  void CheckSettingsKeys() {
    for (const ReleaseFile& file : files_) {
      if (file.key != kSettingsKey) continue;
      char text[kSettingCapacity];
      if (plat::ReadIniText(file.path.c_str(), "PATCH_FTP", "PUBLICKEY", "", text, sizeof text) == 0) return;
      ListPublicKeys named;
      if (!AddPublicKeys(text, &named)) {
        problems_.push_back(file.local + ": its PUBLICKEY= is not a list of public keys as a patcher reads it (at "
                            "most " + std::to_string(kSettingCapacity - 1) + " characters: two keys, separated by a "
                            "comma)");
        return;
      }
      if (!signing()) {
        problems_.push_back(file.local + ": names public keys (PUBLICKEY=), so every player's patcher that installs "
                            "it refuses this unsigned list from its next run on; sign the build with one of them");
        return;
      }
      std::string ids;
      for (size_t i = 0; i < named.count; ++i) {
        if (std::memcmp(named.keys[i].id, key_.keys[0].id, kKeyIdSize) == 0) return;
        ids += (i > 0 ? ", " : "") + KeyIdText(named.keys[i].id);
      }
      problems_.push_back(file.local + ": names the keys " + ids + " but not " + KeyIdText(key_.keys[0].id) +
                          ", which signs this list, so every player's patcher that installs it refuses this list from "
                          "its next run on (sign with a key it names, or name this one too)");
      return;
    }
  }

  void CheckPatchers() {
    // Without --patcher the previous version's patcher stays 'P': listed as 'C', a client
    // would take a new build of it for a plain file and never hand over to it.
    if (options_.patchers.empty()) {
      for (const ListedFile& old : previous_.files) {
        if (old.kind != 'P') continue;
        for (ReleaseFile& file : files_) {
          if (file.key != CaseKey(old.local)) continue;
          file.patcher = true;
          keptPatchers_.push_back(file.local);
        }
      }
    }
    for (const std::string& name : options_.patchers) {
      const std::string key = CaseKey(name);
      const bool anywhere = key.find_first_of("\\/") == std::string::npos;
      std::string wanted = key;
      std::replace(wanted.begin(), wanted.end(), '/', '\\');
      int found = 0;
      for (ReleaseFile& file : files_) {
        const size_t cut = file.key.rfind('\\');
        const std::string base = cut == std::string::npos ? file.key : file.key.substr(cut + 1);
        if (file.key == wanted || (anywhere && base == wanted)) {
          file.patcher = true;
          ++found;
        }
      }
      if (found == 0) problems_.push_back(name + ": the patcher's file is not in the release");
    }
    std::string named;
    int count = 0;
    for (const ReleaseFile& file : files_) {
      if (!file.patcher) continue;
      named += (count++ > 0 ? ", " : "") + file.local;
    }
    if (count > 1)
      problems_.push_back(named + ": more than one patcher file; a client hands over to only one of them");
  }

  void CheckAgainstPrevious() {
    std::set<std::string> previousFolders;
    for (const ListedFile& old : previous_.files) {
      if (old.kind == 'D') continue;
      previousByKey_[CaseKey(old.local)] = &old;
      for (const std::string& folder : FolderKeys(CaseKey(old.local))) previousFolders.insert(folder);
    }
    for (const ReleaseFile& file : files_) {
      const auto it = previousByKey_.find(file.key);
      if (it != previousByKey_.end() && it->second->local != file.local)
        problems_.push_back(file.local + ": is " + it->second->local +
                            " in the previous version, renamed by case only; Windows players keep the old "
                            "spelling and a deletion of it would remove the file (keep the old spelling)");
      if (previousFolders.count(file.key) > 0)
        problems_.push_back(file.local + ": is a folder in the previous version; clients cannot remove a folder "
                            "to put a file in its place");
    }
    for (const ListedFile& old : previous_.files) previousHistory_[CaseKey(old.local)].Merge(old.history);
  }

  // A release that lacks the game, the patcher or most of the game is far likelier a
  // wrong or half-copied folder than a version meant to delete them.
  void CheckDeletions() {
    std::set<std::string> present;
    for (const ReleaseFile& file : files_) present.insert(file.key);
    size_t held = 0;
    std::vector<const ListedFile*> deleted;
    for (const ListedFile& old : previous_.files) {
      if (old.kind == 'D') continue;
      ++held;
      if (present.count(CaseKey(old.local)) == 0) deleted.push_back(&old);
    }
    if (options_.forceDeletions) return;
    const std::string unless = " (--force-deletions if that is meant)";
    for (const ListedFile* old : deleted) {
      const std::string key = CaseKey(old->local);
      if (key == kGameKey)
        problems_.push_back(old->local + ": is not in the release, so every player's patcher would delete the "
                            "game's executable and then fail to start it" + unless);
      else if (old->kind == 'P' || key == kPatcherKey)
        problems_.push_back(old->local + ": the patcher's file is not in the release, so every player's patcher "
                            "would delete itself" + unless);
    }
    if (deleted.size() * 2 > held)
      problems_.push_back(options_.releaseDir + ": lacks " + std::to_string(deleted.size()) + " of the previous "
                          "version's " + std::to_string(held) + " files, so players would have them deleted; is "
                          "it the whole release?" + unless);
  }

  int Write() {
    std::string error;
    const fs::path server = ServerPath();
    const fs::path parent = server.parent_path();
    std::error_code ec;
    fs::create_directories(parent, ec);
    std::string pattern = (parent / ("." + server.filename().string() + ".building-XXXXXX")).string();
    {
      std::lock_guard<std::mutex> hold(workLock);
      if (::mkdtemp(pattern.data()) == nullptr)
        return Fail(kExitFailed, "cannot create a folder beside " + server.string() + ": " + std::strerror(errno));
      work_ = workFolder = pattern;
      // Locked while this build runs: a build started meanwhile leaves it alone.
      workFd_ = ::open(work_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (workFd_ >= 0) ::flock(workFd_, LOCK_EX);
    }

    std::vector<PackInput> inputs;
    // Types compare as Windows compares names, whichever case --stored gave them in.
    std::set<std::string> stored;
    for (const std::string& type : options_.storedTypes) stored.insert(CaseKey(type));
    for (const ReleaseFile& file : files_) {
      PackInput input;
      input.source = file.path;
      input.size = file.size;
      input.mtime = file.mtime;
      const std::string extension = CaseKey(fs::path(file.path).extension().string());
      input.compress = !file.patcher && file.size >= options_.compressMin && stored.count(extension) == 0;
      inputs.push_back(input);
    }
    // Every folder first: the workers write each file under its remote name at once.
    std::set<std::string> folders;
    for (const ReleaseFile& file : files_) {
      const size_t cut = file.local.rfind('\\');
      if (cut != std::string::npos) folders.insert(ToSlashes(file.local.substr(0, cut)));
    }
    {
      std::lock_guard<std::mutex> hold(workLock);
      for (const std::string& folder : folders) {
        fs::create_directories(fs::path(work_) / folder, ec);
        if (ec) return Fail(kExitFailed, "cannot create " + (fs::path(work_) / folder).string() + ": " + ec.message());
      }
    }
    PackSettings settings;
    settings.jobs = options_.jobs > 0 ? options_.jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    settings.level = options_.level;
    settings.maxShare = options_.maxShare;
    settings.workDir = work_;
    settings.sha256 = signing();
    settings.name = [this](size_t index, uint64_t storedHash, bool packed) {
      return RemoteName(files_[index].local, storedHash, packed);
    };
    uint64_t bytes = 0;
    for (const ReleaseFile& file : files_) bytes += file.size;
    Progress progress(files_.size(), bytes);
    progress.Update(0, 0);
    bytes = 0;
    size_t done = 0;
    auto place = [&](size_t index, const PackOutput& output, std::string*) {
      std::lock_guard<std::mutex> hold(workLock);
      bytes += files_[index].size;
      progress.Update(++done, bytes);
      Place(files_[index], output);
      return true;
    };
    if (!PackFiles(inputs, settings, place, &error)) return Fail(kExitFailed, error);
    progress.Finish();
    if (!ListTimes(&error)) return Fail(kExitFailed, error);
    // From here to the rename a signal waits: the folder is finished or removed whole.
    std::unique_lock<std::mutex> hold(workLock);

    Version version;
    version.listPath = work_ + "/" + options_.listName;
    version.manifestPath = ManifestPathFor(version.listPath);
    for (const ReleaseFile& file : files_) version.files.push_back(file.listed);
    AddDeletions(&version.files);
    std::stable_sort(version.files.begin(), version.files.end(), [](const ListedFile& a, const ListedFile& b) {
      return CaseKey(a.local) < CaseKey(b.local);
    });
    header_ = NewHeader(previousSequence_ + 1, options_.expiresDays);
    if (!WriteList(version, &error) || !ReadBack(version, &error) || !WriteManifest(version, ZoneName(), &error))
      return Fail(kExitFailed, error);

    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(work_.c_str(), 0777 & ~mask);
    if (fs::exists(server)) fs::remove(server, ec);  // empty, as checked
    if (::rename(work_.c_str(), server.c_str()) != 0)
      return Fail(kExitFailed, "cannot rename " + work_ + " to " + server.string() + ": " + std::strerror(errno));
    work_.clear();
    workFolder.clear();
    hold.unlock();
    Summarize(version);
    return kExitOk;
  }

  // Fills one file's line from its output.
  void Place(ReleaseFile& file, const PackOutput& output) const {
    ListedFile& listed = file.listed;
    listed.kind = file.patcher ? 'P' : output.compressed ? 'Z' : 'C';
    listed.local = file.local;
    listed.remote = RemoteName(file.local, output.packedHash, output.compressed);
    listed.size = static_cast<int64_t>(output.packedSize);
    listed.unpackedSize = static_cast<int64_t>(file.size);
    listed.hashKnown = true;
    listed.hash = output.hash;
    listed.packedHash = output.packedHash;
    std::memcpy(file.stored.sha256, output.sha256, sizeof file.stored.sha256);
    file.stored.size = static_cast<int32_t>(output.packedSize);
  }

  // Listed times: the last-write time, except that a file whose content did not change
  // keeps its old line's time, and a changed file that a client holding any earlier
  // version (the previous one, or one it skipped) would judge current is moved forward
  // until every one of them fetches it. The name's history, carried from version to
  // version in the manifest, says what those clients can hold.
  bool ListTimes(std::string* error) {
    for (ReleaseFile& file : files_) {
      ListedFile& listed = file.listed;
      listed.stamp = StampOf(file.mtime.tv_sec);
      const auto history = previousHistory_.find(file.key);
      const auto it = previousByKey_.find(file.key);
      if (it != previousByKey_.end() && SameContent(*it->second, listed)) {
        listed.stamp = it->second->stamp;
      } else if (history != previousHistory_.end() &&
                 !history->second.EveryHolderFetches(listed.stamp, listed.ContentSize())) {
        const Stamp& highest = history->second.highest;
        const std::optional<Stamp> later = NextFetchingStamp(listed.stamp, highest);
        if (!later) {
          *error = file.local + ": no listed time would make a client holding an earlier version (listed up to " +
                   highest.date + " and " + highest.time + ") fetch it";
          return false;
        }
        listed.stamp = *later;
        file.movedForward = true;
      }
      if (history != previousHistory_.end()) listed.history = history->second;
      listed.history.Add(listed.stamp, listed.ContentSize());
    }
    return true;
  }

  // Deletion lines: files of the previous version that are gone, and the previous
  // version's own deletions (for clients that skipped it) unless the name is back as a
  // file. A name that is now a folder keeps its deletion too: a client still holding
  // the file there must delete it before the folder's files can be put in place.
  void AddDeletions(std::vector<ListedFile>* lines) const {
    std::set<std::string> present;
    for (const ReleaseFile& file : files_) present.insert(file.key);
    for (const ListedFile& old : previous_.files) {
      const std::string key = CaseKey(old.local);
      if (!present.insert(key).second) continue;
      ListedFile gone;
      gone.kind = 'D';
      gone.stamp = old.stamp;
      gone.local = old.local;
      gone.remote = ToSlashes(old.local);
      gone.history = previousHistory_.at(key);
      lines->push_back(gone);
    }
  }

  // The list; signed, with the signed block's header after the two opening comment
  // lines, each file's hash line after its own line, and the signature last.
  bool WriteList(const Version& version, std::string* error) const {
    std::string text = std::string(kListHeading) + "\r\n# Listed dates and times are local time in " + ZoneName() +
                       "\r\n";
    std::map<std::string, const FileHash*> stored;
    std::string why;
    if (signing()) {
      text += SignedHeaderLine(header_, &why);
      for (const ReleaseFile& file : files_) stored[file.listed.remote] = &file.stored;
    }
    for (const ListedFile& line : version.files) {
      text += FormatLine(line);
      if (signing() && line.kind != 'D') text += FileHashLine(*stored.at(line.remote), line.remote, &why);
    }
    if (!why.empty() || (signing() && !AppendSignature(keyFile_, &text, &why))) {
      *error = "cannot sign the list: " + why;
      return false;
    }
    std::ofstream out(version.listPath, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
      *error = "cannot write " + version.listPath + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }

  // The list as the clients will read it must say exactly what was meant.
  static bool ReadBack(const Version& version, std::string* error) {
    std::vector<ListedFile> read;
    if (!ReadList(version.listPath, &read, error)) return false;
    bool same = read.size() == version.files.size();
    for (size_t i = 0; same && i < read.size(); ++i) {
      const ListedFile& a = read[i];
      const ListedFile& b = version.files[i];
      same = a.kind == b.kind && a.stamp == b.stamp && a.local == b.local && a.remote == b.remote &&
             (a.kind == 'D' || (a.size == b.size && (a.kind != 'Z' || a.unpackedSize == b.unpackedSize)));
      if (!same) *error = "the clients would read line " + std::to_string(i + 1) + " (" + b.local + ") otherwise";
    }
    if (same) return true;
    if (error->empty()) *error = "the clients would read " + std::to_string(read.size()) + " lines, not " +
                                 std::to_string(version.files.size());
    *error = "internal fault: " + *error;
    return false;
  }

  void Summarize(const Version& version) const {
    std::map<char, int> kinds;
    uint64_t served = 0;
    for (const ListedFile& line : version.files) {
      ++kinds[line.kind];
      if (line.kind != 'D') served += static_cast<uint64_t>(line.size);
    }
    for (const ReleaseFile& file : files_) {
      if (!file.movedForward) continue;
      const Stamp own = StampOf(file.mtime.tv_sec);
      std::printf("moved forward: %s %s %s -> %s %s (a client holding an earlier version would keep its copy)\n",
                  file.local.c_str(), own.date.c_str(), own.time.c_str(), file.listed.stamp.date.c_str(),
                  file.listed.stamp.time.c_str());
    }
    for (const std::string& name : keptPatchers_)
      std::printf("patcher: %s stays 'P', as in the previous version (name another with --patcher)\n", name.c_str());
    std::printf("%s: %zu files (%d plain, %d packed, %d patcher), %d deletions, %llu bytes to serve\n",
                options_.listName.c_str(), files_.size(), kinds['C'], kinds['Z'], kinds['P'], kinds['D'],
                static_cast<unsigned long long>(served));
    if (!signing()) return;
    const std::string key = KeyIdText(key_.keys[0].id);
    std::printf("signed with key %s: sequence %llu%s, expires %s\n", key.c_str(),
                static_cast<unsigned long long>(header_.sequence),
                options_.previous.empty() ? " (no --previous: patchers that accepted a list of a higher sequence "
                                            "refuse this one)"
                                          : "",
                header_.expires ? UtcText(header_.expiresAt).c_str() : "never");
    if (!previousKey_.empty() && previousKey_ != key)
      std::printf("the previous version was signed with key %s: only patchers that hold key %s accept this list "
                  "(README: changing the key)\n",
                  previousKey_.c_str(), key.c_str());
  }

  const BuildOptions& options_;
  Version previous_;
  std::map<std::string, const ListedFile*> previousByKey_;
  std::map<std::string, NameHistory> previousHistory_;  // by case key, every name the previous list names
  std::vector<std::string> keptPatchers_;
  std::vector<ReleaseFile> files_;
  std::vector<std::string> problems_;
  std::string work_;
  int workFd_ = -1;
  // Signing: the private key's file (empty: unsigned), its public half, the previous
  // version's sequence number (0: none) and key id (empty: unsigned), the header.
  std::string keyFile_;
  ListPublicKeys key_;
  uint64_t previousSequence_ = 0;
  std::string previousKey_;
  SignedListHeader header_;
};

}  // namespace

void Complain(const std::string& text) {
  Progress::ClearLine();
  std::fprintf(stderr, "zidodiruv-publish: %s\n", text.c_str());
}

std::vector<std::string> DefaultStoredTypes() {
  return {".gz", ".tgz", ".zip", ".7z", ".rar", ".bz2", ".xz", ".lzma", ".zst", ".cab", ".jar", ".jpg", ".jpeg",
          ".png", ".gif", ".webp", ".mp3", ".ogg", ".opus", ".m4a", ".flac", ".mp4", ".avi", ".mkv", ".webm", ".wmv"};
}

int RunBuild(const BuildOptions& options) {
  RemoveWorkOnSignals();
  return Builder(options).Run();
}

}  // namespace publish
