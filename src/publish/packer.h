// Reads the files of a release once each, on every core: the content hash of each
// file, and either its gzip file or its plain copy, written to a work folder.
//
// The gzip file is one member with no name and no time in its header, made in chunks
// compressed side by side: each chunk is a raw deflate stream primed with the 32 KiB
// before it and ended with a sync flush (the last one finished), so the chunks join
// into one stream, and their CRCs combine into the trailer's. The same file at the same
// level gives the same bytes, whichever thread did which chunk.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

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
};

// Whether the file at `path` still has the size and last-write time it was found with;
// false also when it cannot be examined. A release must not change under the build.
bool Unchanged(const std::string& path, uint64_t size, const timespec& mtime);

// Calls `done` for every input, in order, on the calling thread; `done` takes the file
// at output.path away (moves or removes it). Stops at the first failure, with a reason.
bool PackFiles(const std::vector<PackInput>& inputs, int jobs, int level, const std::string& workDir,
               const std::function<bool(size_t index, const PackOutput& output, std::string* error)>& done,
               std::string* error);

}  // namespace publish
