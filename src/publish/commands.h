// The subcommands of zidodiruv-publish and their exit codes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "publish/names.h"

namespace publish {

// Exit codes, the same for every subcommand.
enum ExitCode {
  kExitOk = 0,
  kExitRefused = 1,  // build refused its input; diff found a file never received; verify found a fault
  kExitUsage = 2,    // the command line is wrong
  kExitFailed = 3,   // a file could not be read or written, the server could not be reached
};

struct BuildOptions {
  std::string releaseDir;
  std::string serverDir;
  std::string listName = "patch.lst";
  std::string zone;      // empty: the machine's
  std::string previous;  // the last published list (or its manifest)
  std::vector<std::string> patchers;
  uint64_t compressMin = 4096;
  int maxShare = 90;  // percent of the original a gzip file may take
  int level = 6;
  int jobs = 0;  // 0: every core
  std::vector<std::string> storedTypes;
  NameLimits limits;
  // Publish a list that deletes Vorn.exe, the patcher or more than half of the previous
  // version's files (refused without it).
  bool forceDeletions = false;
  // The private key that signs the list (else ZIDODIRUV_SIGNING_KEY names it), days
  // until the signed list expires (0: never), and an unsigned list published knowingly
  // although a key is named or the previous version is signed.
  std::string signingKey;
  int expiresDays = 0;
  bool unsignedList = false;
};

struct DiffOptions {
  std::string oldPath;
  std::string newPath;
  bool unchanged = false;  // also name every file a client keeps
};

struct VerifyOptions {
  std::string server;  // a folder or an ftp:// address
  // Every server given, mirrors of one name: each is verified (as `server`), then their
  // lists are compared. Empty: `server` alone.
  std::vector<std::string> servers;
  std::string listName = "patch.lst";
  bool deep = false;
  std::string key;  // public keys the list must be signed with (signing.h: LoadPublicKeys)
};

struct UploadOptions {
  std::string serverDir;
  std::vector<std::string> urls;  // one server, or the mirrors of one name
  std::string listName = "patch.lst";
  bool prune = false;
};

int RunBuild(const BuildOptions& options);
int RunDiff(const DiffOptions& options);
int RunVerify(const VerifyOptions& options);
int RunUpload(const UploadOptions& options);
int RunKeygen(const std::string& keyFile);

// "zidodiruv-publish: <text>" on standard error.
void Complain(const std::string& text);

// The file types stored as they are by default: already compressed.
std::vector<std::string> DefaultStoredTypes();

}  // namespace publish
