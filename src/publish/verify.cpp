// verify: a server as the clients will meet it. Every file the list in place names is
// there with the listed size (the packed size for 'Z'), every 'Z' file unpacks, through
// the same zlib calls the clients use, to its unpacked size; --deep also checks the
// contents against their hashes: the manifest's when it describes the list in place,
// else those the remote names carry (during the last step of an upload, or after one
// that broke off, the manifest is already the next version's while the list is not).
// A signed list's block is judged (with --key, the list must be signed with one of the
// keys), and every file's stored bytes are compared with the hash its hash line gives.
#include <unistd.h>
#include <xxhash.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

class Verifier {
 public:
  explicit Verifier(const VerifyOptions& options) : options_(options) {}

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
      Complain("no " + options_.listName + " in " + options_.server + ": a client would find no list there");
      return kExitRefused;
    }
    Version version;
    std::string setAside;
    if (!LoadVersion(listPath, &version, &error, &setAside)) {
      Complain(Shown(error));
      return kExitFailed;
    }
    if (!setAside.empty())
      std::printf("%s: the manifest belongs to another version of the list (an upload under way or broken off); "
                  "contents are judged by the hashes the remote names carry\n",
                  options_.server.c_str());
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
      std::printf("%s: %d files, all there with their listed sizes%s%s%s\n", options_.server.c_str(), checked,
                  ", every packed file unpacks to its size", hashed_ ? ", stored bytes as the list's hashes say" : "",
                  options_.deep ? ", contents as their hashes say" : "");
      return kExitOk;
    }
    std::printf("%s: %d files, %d faults\n", options_.server.c_str(), checked, faults_);
    return kExitRefused;
  }

 private:
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
    std::string address = options_.server;
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
  bool remote_ = false;
  FtpSession session_;
  ScratchFolder scratch_;
  int faults_ = 0;
  ListPublicKeys keys_;  // --key
  SignedList block_;     // the list's signed block
  bool hashed_ = false;  // the list carries a signed block whose hash lines are checked
};

}  // namespace

int RunVerify(const VerifyOptions& options) { return Verifier(options).Run(); }

}  // namespace publish
