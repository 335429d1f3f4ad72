// Reads the files of a release once each, on every core: the content hash of each
// file, and either its gzip file or its plain copy, written to a work folder under the
// name the caller gives it. On request also the SHA-256 of the bytes stored, taken as
// they are written (a small file's by its worker, a large file's by the calling thread
// as it joins the chunks), so a signed list costs no second read of the release.
//
// A gzip file holds one member per MiB of the file, each compressed on its own (with
// libdeflate, about twice as fast as zlib at the same level), so the members of a large
// file are made side by side; zlib's gzread, which the clients unpack with, reads the
// members one after the other as one stream. No member has a name or a time in its
// header. The same file at the same level gives the same bytes, whichever thread did
// which member.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "platform/crypto.h"

namespace publish {

struct PackInput {
  std::string source;  // the file to read
  uint64_t size = 0;   // as found when the release was walked
  timespec mtime = {};  // as found; a file that changes while read is an error
  bool compress = false;
};

struct PackOutput {
  std::string path;         // in the work folder: the gzip file, or the plain copy
  bool compressed = false;  // path holds a gzip file
  uint64_t hash = 0;        // XXH3 of the content
  uint64_t packedSize = 0;  // bytes at path
  uint64_t packedHash = 0;  // XXH3 of the bytes at path
  uint8_t sha256[plat::kSha256Size] = {};  // SHA-256 of the bytes at path, with PackSettings::sha256
};

struct PackSettings {
  int jobs = 1;
  int level = 6;
  int maxShare = 100;  // a gzip file is kept when at most this percentage of the original
  std::string workDir;
  bool sha256 = false;  // also the SHA-256 of every output's bytes
  // The path below workDir for input `index` stored as `packed` (a gzip file or not)
  // with bytes hashing to `storedHash`; its folder exists. Called on any thread.
  std::function<std::string(size_t index, uint64_t storedHash, bool packed)> name;
};

// Whether the file at `path` still has the size and last-write time it was found with;
// false also when it cannot be examined. A release must not change under the build.
bool Unchanged(const std::string& path, uint64_t size, const timespec& mtime);

// Calls `done` for every input, in order, on the calling thread, once its output is in
// place. Stops at the first failure, with a reason.
bool PackFiles(const std::vector<PackInput>& inputs, const PackSettings& settings,
               const std::function<bool(size_t index, const PackOutput& output, std::string* error)>& done,
               std::string* error);

// Writes all `length` bytes to `fd`, going on after a signal; false when a write fails
// or takes nothing.
bool WriteAll(int fd, const void* data, size_t length);

}  // namespace publish
