// verify: a server as the clients will meet it. Every file the list in place names is
// there with the listed size (the packed size for 'Z'), every 'Z' file unpacks, through
// the same zlib calls the clients use, to its unpacked size; --deep also checks the
// contents against their hashes: the manifest's when it describes the list in place,
// else those the remote names carry (during the last step of an upload, or after one
// that broke off, the manifest is already the next version's while the list is not).
// A signed list's block is judged (with --key, the list must be signed with one of the
// keys), and every file's stored bytes are compared with the hash its hash line gives.
// Several servers are the mirrors of one name: each is judged so (with the same keys),
// then their lists are compared (a mirror whose list is older lags) and, where they
// differ, each mirror must hold every file of every list in place, since a client may
// read the list on one mirror and fetch a file from another.
#include <unistd.h>
#include <xxhash.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include "platform/clock.h"

#include "publish/commands.h"
#include "publish/ftp_session.h"
#include "publish/listing.h"
#include "publish/names.h"
#include "publish/progress.h"
#include "publish/signing.h"

namespace publish {
namespace {

namespace fs = std::filesystem;

// Unpacks a gzip file as a client does, counting and hashing what comes out; false
// when the stream is damaged.
bool Unpack(const std::string& path, int64_t* size, uint64_t* hash) {
  gzFile in = gzopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  XXH3_state_t* state = XXH3_createState();
  XXH3_64bits_reset(state);
  static thread_local char buffer[16384];
  int64_t total = 0;
  int n;
  while ((n = gzread(in, buffer, sizeof buffer)) > 0) {
    XXH3_64bits_update(state, buffer, static_cast<size_t>(n));
    total += n;
  }
  gzclose(in);
  *size = total;
  *hash = XXH3_64bits_digest(state);
  XXH3_freeState(state);
  return n == 0;
}

// The 16 hex digits this tool's remote names carry before their end (and ".gz"): the
// hash of the content or, in names of later builds, of the bytes stored; false for
// another name.
bool NameHash(const std::string& remote, uint64_t* hash) {
  std::string name = remote;
  if (name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0) name.resize(name.size() - 3);
  return name.size() > 17 && name[name.size() - 17] == '.' && name[name.size() - 18] != '/' &&
         ParseHex(name.substr(name.size() - 16), hash);
}

// A server as the comparison names it, never with a password.
std::string ServerLabel(const std::string& server) {
  return server.find("://") != std::string::npos ? FtpSession::Shown(server) : server;
}

class Verifier {
 public:
  explicit Verifier(const VerifyOptions& options) : options_(options), label_(ServerLabel(options.server)) {}

  int Run() {
    std::string error;
    if (!options_.key.empty() && !LoadPublicKeys(options_.key, &keys_, &error)) {
      Complain(error);
      return kExitUsage;
    }
    remote_ = options_.server.find("://") != std::string::npos;
    if (remote_ && !FtpSession::IsAddress(options_.server, &error)) {
      Complain(error);
      return kExitUsage;
    }
    std::error_code ec;
    if (!remote_ && !fs::is_directory(options_.server, ec)) {
      Complain(options_.server +
               (fs::exists(options_.server, ec) ? " is a file, not a server folder" : " does not exist"));
      return kExitUsage;
    }
    bool listThere = false;
    if (remote_ && !Fetch(&listThere, &error)) {
      Complain(error);
      return kExitFailed;
    }
    const std::string listPath = (remote_ ? scratch_.path() : options_.server) + "/" + options_.listName;
    if (!remote_) listThere = fs::exists(listPath, ec);
    if (!listThere) {
      Complain("no " + options_.listName + " in " + label_ + ": a client would find no list there");
      return kExitRefused;
    }
    Version version;
    std::string setAside;
    if (!LoadVersion(listPath, &version, &error, &setAside)) {
      Complain(Shown(error));
      return kExitFailed;
    }
    judged_ = version;
    std::ifstream listFile(listPath, std::ios::binary);
    listBytes_.assign(std::istreambuf_iterator<char>(listFile), std::istreambuf_iterator<char>());
    if (!setAside.empty())
      std::printf("%s: the manifest belongs to another version of the list (an upload under way or broken off); "
                  "contents are judged by the hashes the remote names carry\n",
                  label_.c_str());
    if (!JudgeSignature(listPath, &error)) {
      Complain(Shown(error));
      return kExitFailed;
    }
    std::set<std::string> seen;
    std::vector<ListedFile*> files;
    size_t reading = 0;
    uint64_t bytes = 0;
    for (ListedFile& file : version.files) {
      if (file.kind == 'D' || !seen.insert(file.remote).second) continue;
      files.push_back(&file);
      if (Reads(file)) {
        ++reading;
        bytes += static_cast<uint64_t>(file.size);
      }
    }
    Progress progress(reading, bytes);
    progress.Update(0, 0);
    size_t read = 0;
    uint64_t done = 0;
    for (const ListedFile* file : files) {
      if (!Check(*file, &error)) {
        Complain(Shown(error));
        return kExitFailed;
      }
      if (Reads(*file)) {
        done += static_cast<uint64_t>(file->size);
        progress.Update(++read, done);
      }
    }
    progress.Finish();
    const int checked = static_cast<int>(files.size());
    if (faults_ == 0) {
      std::printf("%s: %d files, all there with their listed sizes%s%s%s\n", label_.c_str(), checked,
                  ", every packed file unpacks to its size", hashed_ ? ", stored bytes as the list's hashes say" : "",
                  options_.deep ? ", contents as their hashes say" : "");
      return kExitOk;
    }
    std::printf("%s: %d files, %d faults\n", label_.c_str(), checked, faults_);
    return kExitRefused;
  }

  // After Run: the list in place and its bytes; no files when there was none.
  const Version& judged() const { return judged_; }
  const std::string& listBytes() const { return listBytes_; }
  // The signed sequence number of the list in place, 0 when it carries none.
  uint64_t sequence() const { return hashed_ ? block_.header().sequence : 0; }
  bool reached() const { return reached_; }

  // The files of `other` (a list in place on another mirror, `where`) that are not here
  // with their listed sizes, each named: a client that read that list fetches them from
  // here too. Their count, or -1 when the server could not be asked.
  int Lacks(const Version& other, const std::string& where) {
    std::set<std::string> seen;
    int lacking = 0;
    std::string error;
    for (const ListedFile& file : other.files) {
      if (file.kind == 'D' || !seen.insert(file.remote).second) continue;
      int64_t size = -1;
      if (!SizeHere(BelowBase(file.remote), &size, &error)) {
        Complain(Shown(error));
        return -1;
      }
      if (size == file.size) continue;
      Fault(file, (size < 0 ? "missing on " : "of another size on ") + ServerLabel(options_.server) + ", named by the " +
                      options_.listName + " on " + where);
      ++lacking;
    }
    return lacking;
  }

 private:
  // A file's size on the server, -1 when it is not there.
  bool SizeHere(const std::string& name, int64_t* size, std::string* error) {
    *size = -1;
    if (remote_) {
      bool missing = false;
      return session_.Size(name, size, &missing, error) || missing;
    }
    std::error_code ec;
    const std::string path = options_.server + "/" + name;
    if (fs::is_regular_file(path, ec)) *size = static_cast<int64_t>(fs::file_size(path, ec));
    return true;
  }

  void Fault(const ListedFile& file, const std::string& text) {
    Progress::ClearLine();
    std::printf("FAULT  %s (%s): %s\n", file.remote.c_str(), file.local.c_str(), text.c_str());
    ++faults_;
  }

  // Whether a file's bytes are read: to unpack it, to hash its content or its stored bytes.
  bool Reads(const ListedFile& file) const { return file.kind == 'Z' || options_.deep || hashed_; }

  std::string GivenKeys() const {
    std::string ids;
    for (size_t i = 0; i < keys_.count; ++i) ids += (i > 0 ? ", " : "") + KeyIdText(keys_.keys[i].id);
    return ids;
  }

  // The list's signed block. With --key the list must be signed with one of the keys;
  // a signed list must not have expired (patchers with a key refuse it then), and its
  // hash lines are checked file by file. A malformed block is a fault whatever the keys.
  bool JudgeSignature(const std::string& listPath, std::string* error) {
    ListSignatureFault fault;
    if (!ReadSignedBlock(listPath, &block_, &fault, error)) return false;
    const bool readable = fault == ListSignatureFault::kNone || fault == ListSignatureFault::kUnsigned;
    hashed_ = readable && block_.hasHeader();
    std::string problem;
    if (!readable) {
      problem = DescribeListSignatureFault(fault);
    } else if (keys_.count > 0 && fault == ListSignatureFault::kUnsigned) {
      problem = "not signed, and patchers with the key refuse it";
    } else if (keys_.count > 0) {
      const ListSignatureFault verdict = block_.Verify(keys_);
      if (verdict == ListSignatureFault::kUnknownKey)
        problem = "signed by key " + KeyIdText(block_.keyId()) + ", which is none of the keys given (--key: " +
                  GivenKeys() + ")";
      else if (verdict != ListSignatureFault::kNone)
        problem = std::string(DescribeListSignatureFault(verdict)) + ": it was changed after it was signed";
    }
    if (problem.empty() && fault == ListSignatureFault::kNone &&
        ListHasExpired(block_.header(), plat::CurrentUtcFileTime()))
      problem = "expired at " + UtcText(block_.header().expiresAt) + "; patchers with the key refuse it";
    if (block_.hasHeader() || keys_.count > 0 || !readable) {
      std::string how;
      if (fault == ListSignatureFault::kNone && keys_.count == 0) how = " (its signature is checked with --key)";
      if (fault == ListSignatureFault::kNone && keys_.count > 0 && problem.empty()) how = ", verified with the key given";
      std::printf("%s: %s%s\n", options_.listName.c_str(), DescribeSignedBlock(block_, fault).c_str(), how.c_str());
    }
    if (!problem.empty()) {
      std::printf("FAULT  %s: %s\n", options_.listName.c_str(), problem.c_str());
      ++faults_;
    }
    return true;
  }

  // The list and its manifest from the server into a scratch folder; *listThere is
  // false when the server has no list.
  bool Fetch(bool* listThere, std::string* error) {
    if (scratch_.path().empty()) {
      *error = "cannot create a temporary folder";
      return false;
    }
    if (!session_.Open(options_.server, error)) return false;
    reached_ = true;
    int64_t size;
    bool missing = false;
    *listThere = session_.Size(options_.listName, &size, &missing, error);
    if (!*listThere) return missing;
    if (!session_.Download(options_.listName, scratch_.path() + "/" + options_.listName, error)) return false;
    const std::string manifest = ManifestPathFor(options_.listName);
    if (session_.Size(manifest, &size, &missing, error)) return session_.Download(manifest, scratch_.path() + "/" + manifest, error);
    return missing;
  }

  // A message about the copies in the scratch folder names the server's files instead.
  std::string Shown(std::string text) const {
    if (!remote_ || scratch_.path().empty()) return text;
    std::string address = label_;
    if (address.back() != '/') address += '/';
    const std::string local = scratch_.path() + "/";
    for (size_t at = text.find(local); at != std::string::npos; at = text.find(local, at + address.size()))
      text.replace(at, local.size(), address);
    return text;
  }

  bool Check(const ListedFile& file, std::string* error) {
    const std::string name = BelowBase(file.remote);
    int64_t size = -1;
    if (remote_) {
      bool missing = false;
      if (!session_.Size(name, &size, &missing, error)) {
        if (!missing) return false;
        Fault(file, "missing on the server");
        return true;
      }
    } else {
      std::error_code ec;
      const std::string path = options_.server + "/" + name;
      if (!fs::is_regular_file(path, ec)) {
        Fault(file, "missing on the server");
        return true;
      }
      size = static_cast<int64_t>(fs::file_size(path, ec));
    }
    if (size != file.size) {
      Fault(file, std::to_string(size) + " bytes, listed " + std::to_string(file.size));
      return true;
    }
    FileHash signedHash;
    if (hashed_ && !block_.FindFileHash(file.remote.data(), file.remote.size(), &signedHash)) {
      Fault(file, "no hash line; patchers with a key install no file without one");
      return true;
    }
    if (hashed_ && signedHash.size != file.size) {
      Fault(file, "its hash line gives " + std::to_string(signedHash.size) + " bytes, the list " +
                      std::to_string(file.size));
      return true;
    }
    if (!Reads(file)) return true;

    std::string path = options_.server + "/" + name;
    if (remote_) {
      path = scratch_.path() + "/file";
      if (!session_.Download(name, path, error)) return false;
    }
    if (hashed_) {
      FileHash stored;
      if (!HashStoredFile(path, &stored, error)) return false;
      if (std::memcmp(stored.sha256, signedHash.sha256, sizeof stored.sha256) != 0) {
        Fault(file, "changed: its bytes are not those its hash line names, and patchers refuse them");
        if (remote_) ::unlink(path.c_str());
        return true;
      }
    }
    // Without the manifest's hash, the one the remote name carries.
    uint64_t named = 0;
    const bool fromName = !file.hashKnown && NameHash(file.remote, &named);
    if (options_.deep && !file.hashKnown && !fromName) {
      Fault(file, "no content hash: not in the manifest, and its remote name carries none");
    } else if (file.kind == 'Z') {
      int64_t unpacked = 0;
      uint64_t hash = 0;
      uint64_t stored = 0;
      if (!Unpack(path, &unpacked, &hash)) {
        Fault(file, "damaged: it does not unpack");
      } else if (unpacked != file.unpackedSize) {
        Fault(file, "unpacks to " + std::to_string(unpacked) + " bytes, listed " + std::to_string(file.unpackedSize));
      } else if (options_.deep && file.hashKnown && hash != file.hash) {
        Fault(file, "unpacks to another content than the manifest's");
      } else if (options_.deep && fromName && hash != named) {
        if (!HashFile(path, &stored, error)) return false;
        if (stored != named) Fault(file, "another content than its remote name's hash");
      }
    } else {
      uint64_t hash = 0;
      if (!HashFile(path, &hash, error)) return false;
      if (hash != (file.hashKnown ? file.hash : named))
        Fault(file, file.hashKnown ? "another content than the manifest's"
                                   : "another content than its remote name's hash");
    }
    if (remote_) ::unlink(path.c_str());
    return true;
  }

  const VerifyOptions& options_;
  const std::string label_;  // the server as messages name it, never with a password
  bool remote_ = false;
  FtpSession session_;
  ScratchFolder scratch_;
  int faults_ = 0;
  ListPublicKeys keys_;  // --key
  SignedList block_;     // the list's signed block
  bool hashed_ = false;  // the list carries a signed block whose hash lines are checked
  Version judged_;
  std::string listBytes_;
  bool reached_ = false;  // a remote server was logged on to
};

// Whether version `a` knows every line of `b`, so that b is a, or a version before it, in
// one line of versions: each of b's names is in a; each file b lists is one a's history
// has listed (its date and time of day not above the highest, its size among the sizes);
// and each file b deletes is deleted in a too, or came back after the deletion (listed
// so that a holder of any version of the deleted file fetches it).
bool Knows(const Version& a, const Version& b) {
  std::map<std::string, const ListedFile*> lines;
  for (const ListedFile& file : a.files) lines[CaseKey(file.local)] = &file;
  for (const ListedFile& file : b.files) {
    const auto found = lines.find(CaseKey(file.local));
    if (found == lines.end()) return false;
    const ListedFile& known = *found->second;
    if (file.kind == 'D') {
      if (known.kind != 'D' && !file.history.EveryHolderFetches(known.stamp, known.ContentSize())) return false;
      continue;
    }
    const NameHistory& history = known.history;
    if (history.highest.date < file.stamp.date || history.highest.time < file.stamp.time) return false;
    if (history.sizesKnown && !std::binary_search(history.sizes.begin(), history.sizes.end(), file.ContentSize()))
      return false;
  }
  return true;
}

// One list in place, and the mirrors that hold it.
struct Held {
  const Verifier* verifier;  // the first mirror that holds it
  uint64_t sequence;
  std::vector<std::string> mirrors;
};

// Whether list `a` is a later version than `b`: by their signed sequence numbers when
// both carry one, else by their histories.
bool Later(const Held& a, const Held& b) {
  if (a.sequence != 0 && b.sequence != 0) return a.sequence > b.sequence;
  return Knows(a.verifier->judged(), b.verifier->judged()) && !Knows(b.verifier->judged(), a.verifier->judged());
}

// "a, b and c"
std::string Enumerate(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) out += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return out;
}

// The mirrors of one name: each on its own, then their lists side by side.
int VerifyMirrors(const VerifyOptions& options) {
  // Every address and the keys checked before any server is asked.
  std::string error;
  std::error_code ec;
  ListPublicKeys keys;
  if (!options.key.empty() && !LoadPublicKeys(options.key, &keys, &error)) {
    Complain(error);
    return kExitUsage;
  }
  for (const std::string& server : options.servers) {
    if (server.find("://") != std::string::npos ? !FtpSession::IsAddress(server, &error)
                                                : !fs::is_directory(server, ec)) {
      Complain(server.find("://") != std::string::npos
                   ? error
                   : server + (fs::exists(server, ec) ? " is a file, not a server folder" : " does not exist"));
      return kExitUsage;
    }
  }
  std::vector<std::unique_ptr<VerifyOptions>> each;
  std::vector<std::unique_ptr<Verifier>> verifiers;
  bool failed = false, faulty = false;
  for (const std::string& server : options.servers) {
    each.push_back(std::make_unique<VerifyOptions>(options));
    each.back()->server = server;
    each.back()->servers.clear();
    verifiers.push_back(std::make_unique<Verifier>(*each.back()));
    const int code = verifiers.back()->Run();
    failed = failed || code == kExitFailed;
    faulty = faulty || code != kExitOk;
  }

  // The lists in place, in the order of their first mirror.
  std::vector<Held> lists;
  for (size_t i = 0; i < verifiers.size(); ++i) {
    const Verifier& verifier = *verifiers[i];
    if (verifier.listBytes().empty() && verifier.judged().files.empty()) continue;
    auto same = std::find_if(lists.begin(), lists.end(),
                             [&](const Held& held) { return held.verifier->listBytes() == verifier.listBytes(); });
    if (same == lists.end()) {
      lists.push_back({&verifier, verifier.sequence(), {}});
      same = lists.end() - 1;
    }
    same->mirrors.push_back(ServerLabel(options.servers[i]));
  }
  const std::string& name = options.listName;
  if (lists.size() == 1) {
    std::printf("%s: the same %s%s\n", Enumerate(lists[0].mirrors).c_str(), name.c_str(),
                lists[0].sequence != 0 ? (" (sequence " + std::to_string(lists[0].sequence) + ")").c_str() : "");
  } else if (lists.size() > 1) {
    faulty = true;
    const auto latest = std::find_if(lists.begin(), lists.end(), [&](const Held& candidate) {
      return std::all_of(lists.begin(), lists.end(),
                         [&](const Held& other) { return &other == &candidate || Later(candidate, other); });
    });
    if (latest != lists.end()) {
      for (const Held& held : lists) {
        if (&held == &*latest) continue;
        for (const std::string& mirror : held.mirrors)
          std::printf("LAGS   %s: holds an older %s than %s\n", mirror.c_str(), name.c_str(),
                      Enumerate(latest->mirrors).c_str());
      }
    } else {
      std::printf("DIFFER the mirrors hold %zu different %s, and which one is the latest cannot be told:\n",
                  lists.size(), name.c_str());
      for (const Held& held : lists) std::printf("       %s\n", Enumerate(held.mirrors).c_str());
    }
  }
  // A client may read any list in place and fetch its files from any mirror, one
  // without a list included.
  for (size_t i = 0; i < verifiers.size(); ++i) {
    Verifier& verifier = *verifiers[i];
    if (options.servers[i].find("://") != std::string::npos && !verifier.reached()) continue;
    for (const Held& held : lists) {
      if (std::find(held.mirrors.begin(), held.mirrors.end(), ServerLabel(options.servers[i])) != held.mirrors.end())
        continue;
      const int lacking = verifier.Lacks(held.verifier->judged(), held.mirrors[0]);
      failed = failed || lacking < 0;
      faulty = faulty || lacking != 0;
      if (lacking > 0)
        std::printf("%s: %d files that the %s on %s names are not here: a player who reads that list may "
                    "fetch them here\n",
                    ServerLabel(options.servers[i]).c_str(), lacking, name.c_str(), held.mirrors[0].c_str());
    }
  }
  return failed ? kExitFailed : faulty ? kExitRefused : kExitOk;
}

}  // namespace

int RunVerify(const VerifyOptions& options) {
  if (options.servers.size() > 1) return VerifyMirrors(options);
  VerifyOptions one = options;
  if (!options.servers.empty()) one.server = options.servers[0];
  return Verifier(one).Run();
}

}  // namespace publish
