// Published versions: a list as the clients read it (through the clients' own parser),
// the tool's manifest beside it, and the lines the tool writes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "publish/stamps.h"

namespace publish {

// What the versions published so far have listed under one name, deletions included:
// the greatest listed date and the greatest listed time of day (each on its own, as the
// clients compare them) and every content size. A client holding any of those versions
// fetches a file listed with the same size only at a date or a time of day greater than
// these.
struct NameHistory {
  Stamp highest;
  std::vector<int64_t> sizes;  // sorted, no repeats
  bool sizesKnown = true;      // false: a version listed a size no longer known

  // Adds what one line listed; `size` < 0 for a line whose size is not known (a deletion).
  void Add(const Stamp& stamp, int64_t size);
  void Merge(const NameHistory& other);
  // Whether a file listed at `stamp` with `size` is fetched by a client holding any of it.
  bool EveryHolderFetches(const Stamp& stamp, int64_t size) const;
};

struct ListedFile {
  char kind = 'C';           // 'A', 'C', 'P', 'Z' or 'D'
  Stamp stamp;
  int64_t size = 0;          // bytes to download (for 'Z' the packed size)
  int64_t unpackedSize = 0;  // 'Z' only
  std::string local;         // local name, backslashes
  std::string remote;        // remote name as listed
  // From the manifest, when there is one (not for 'D').
  bool hashKnown = false;
  uint64_t hash = 0;        // of the content as installed
  uint64_t packedHash = 0;  // of the file on the server
  // The name's history up to this version: from the manifest, or, where it records none
  // (a manifest of an earlier build of this tool, or none), what this line lists.
  NameHistory history;

  // The size a client compares with its copy.
  int64_t ContentSize() const { return kind == 'Z' ? unpackedSize : size; }
};

struct Version {
  std::string listPath;
  std::string manifestPath;  // empty when the list has no manifest beside it
  std::vector<ListedFile> files;  // in the order of the list
  std::string zone;  // the zone the list's heading names, "" when it names none
};

// The manifest's name beside a list.
std::string ManifestPathFor(const std::string& listPath);

// Every usable line of a list, read by the clients' parser (lines it drops are not
// here), in order. False when the file cannot be read.
bool ReadList(const std::string& listPath, std::vector<ListedFile>* out, std::string* error);

// A list or a manifest: the list through the parser and, when the manifest is there,
// the content hashes it records. A manifest that does not describe the list beside it
// is an error: its hashes would judge the wrong files. With `setAside`, such a manifest
// is left unused instead (manifestPath empty), and *setAside says why.
bool LoadVersion(const std::string& path, Version* out, std::string* error, std::string* setAside = nullptr);

// Whether a file is a manifest this tool wrote.
bool IsManifest(const std::string& path);

// One line of a list, CR LF at the end.
std::string FormatLine(const ListedFile& file);

// Writes the manifest of a version whose list has been written at listPath.
bool WriteManifest(const Version& version, const std::string& zone, std::string* error);

// A remote name as a path below the server's base folder (a leading '/' dropped: the
// clients join it to the base without a second slash).
std::string BelowBase(const std::string& remote);

// A private temporary folder ($TMPDIR, else /tmp), removed with its contents at the end;
// path() is empty when it could not be made.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The content hash of a file (XXH3, 64 bits).
bool HashFile(const std::string& path, uint64_t* hash, std::string* error);

}  // namespace publish
