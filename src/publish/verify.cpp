// verify: a server as the clients will meet it. Every listed file is there with the
// listed size (the packed size for 'Z'), every 'Z' file unpacks, through the same zlib
// calls the clients use, to its unpacked size; --deep also checks the contents against
// the manifest's hashes.
#include <unistd.h>
#include <xxhash.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "publish/commands.h"
#include "publish/ftp_session.h"
#include "publish/listing.h"

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

class Verifier {
 public:
  explicit Verifier(const VerifyOptions& options) : options_(options) {}

  int Run() {
    std::string error;
    remote_ = options_.server.rfind("ftp://", 0) == 0;
    if (remote_ && !Fetch(&error)) {
      Complain(error);
      return kExitFailed;
    }
    const std::string listPath = remote_ ? scratch_.path() + "/" + options_.listName : options_.server + "/" + options_.listName;
    Version version;
    if (!LoadVersion(listPath, &version, &error)) {
      Complain(error);
      return kExitFailed;
    }
    if (options_.deep && version.manifestPath.empty()) {
      Complain("--deep needs the manifest beside the list (" + ManifestPathFor(options_.listName) + ")");
      return kExitFailed;
    }
    std::set<std::string> seen;
    int checked = 0;
    for (const ListedFile& file : version.files) {
      if (file.kind == 'D' || !seen.insert(file.remote).second) continue;
      ++checked;
      if (!Check(file, &error)) {
        Complain(error);
        return kExitFailed;
      }
    }
    if (faults_ == 0) {
      std::printf("%s: %d files, all there with their listed sizes%s%s\n", options_.server.c_str(), checked,
                  ", every packed file unpacks to its size", options_.deep ? ", contents as in the manifest" : "");
      return kExitOk;
    }
    std::printf("%s: %d files, %d faults\n", options_.server.c_str(), checked, faults_);
    return kExitRefused;
  }

 private:
  void Fault(const ListedFile& file, const std::string& text) {
    std::printf("FAULT  %s (%s): %s\n", file.remote.c_str(), file.local.c_str(), text.c_str());
    ++faults_;
  }

  // The list and its manifest from the server into a scratch folder.
  bool Fetch(std::string* error) {
    if (scratch_.path().empty()) {
      *error = "cannot create a temporary folder";
      return false;
    }
    if (!session_.Open(options_.server, error)) return false;
    if (!session_.Download(options_.listName, scratch_.path() + "/" + options_.listName, error)) return false;
    const std::string manifest = ManifestPathFor(options_.listName);
    int64_t size;
    bool missing;
    if (session_.Size(manifest, &size, &missing, error)) return session_.Download(manifest, scratch_.path() + "/" + manifest, error);
    return missing;
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
    if (file.kind != 'Z' && !options_.deep) return true;

    std::string path = options_.server + "/" + name;
    if (remote_) {
      path = scratch_.path() + "/file";
      if (!session_.Download(name, path, error)) return false;
    }
    if (options_.deep && !file.hashKnown) {
      Fault(file, "not in the manifest");
    } else if (file.kind == 'Z') {
      int64_t unpacked = 0;
      uint64_t hash = 0;
      if (!Unpack(path, &unpacked, &hash)) {
        Fault(file, "damaged: it does not unpack");
      } else if (unpacked != file.unpackedSize) {
        Fault(file, "unpacks to " + std::to_string(unpacked) + " bytes, listed " + std::to_string(file.unpackedSize));
      } else if (options_.deep && hash != file.hash) {
        Fault(file, "unpacks to another content than the manifest's");
      }
    } else {
      uint64_t hash = 0;
      if (!HashFile(path, &hash, error)) return false;
      if (hash != file.hash) Fault(file, "another content than the manifest's");
    }
    if (remote_) ::unlink(path.c_str());
    return true;
  }

  const VerifyOptions& options_;
  bool remote_ = false;
  FtpSession session_;
  ScratchFolder scratch_;
  int faults_ = 0;
};

}  // namespace

int RunVerify(const VerifyOptions& options) { return Verifier(options).Run(); }

}  // namespace publish
