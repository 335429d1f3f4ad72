// The paths of a patch entry: one block per entry, holding local, remote and staging
// path one after the other. The listed name is the remote path's own tail wherever it
// is one (the remote path ends with the remote name as listed), so it costs nothing.
#include "patchlist/patch_entry.h"

#include <cstring>
#include <new>

namespace {

// The length of a path that fits an entry; false for one of kPathCapacity or more.
bool Measure(const char* text, size_t* length) {
  const void* end = std::memchr(text, '\0', PatchEntry::kPathCapacity);
  if (end == nullptr) return false;
  *length = static_cast<size_t>(static_cast<const char*>(end) - text);
  return true;
}

char* Put(char* at, const char* text, size_t length) {
  std::memcpy(at, text, length);
  at[length] = '\0';
  return at + length + 1;
}

}  // namespace

PatchEntry::PatchEntry(const PatchEntry& other)
    : kind(other.kind), size(other.size), unpackedSize(other.unpackedSize) {
  std::memcpy(date, other.date, sizeof date);
  std::memcpy(time, other.time, sizeof time);
  std::memcpy(sizeText, other.sizeText, sizeof sizeText);
  if (other.texts_ != nullptr &&
      !SetPaths(other.localPath, other.remotePath, other.listedName, other.stagingPath)) {
    throw std::bad_alloc();
  }
}

PatchEntry& PatchEntry::operator=(const PatchEntry& other) {
  if (this == &other) return *this;
  if (other.texts_ == nullptr) {
    delete[] texts_;
    texts_ = nullptr;
    localPath = remotePath = listedName = stagingPath = "";
  } else if (!SetPaths(other.localPath, other.remotePath, other.listedName, other.stagingPath)) {
    throw std::bad_alloc();
  }
  kind = other.kind;
  std::memcpy(date, other.date, sizeof date);
  std::memcpy(time, other.time, sizeof time);
  std::memcpy(sizeText, other.sizeText, sizeof sizeText);
  size = other.size;
  unpackedSize = other.unpackedSize;
  return *this;
}

PatchEntry::~PatchEntry() { delete[] texts_; }

bool PatchEntry::SetPaths(const char* local, const char* remote, const char* listed, const char* staging) {
  size_t localLength, remoteLength, listedLength, stagingLength;
  if (!Measure(local, &localLength) || !Measure(remote, &remoteLength) || !Measure(listed, &listedLength) ||
      !Measure(staging, &stagingLength)) {
    return false;
  }
  const bool listedIsTail = listedLength <= remoteLength &&
                            std::memcmp(remote + remoteLength - listedLength, listed, listedLength) == 0;
  const size_t bytes = localLength + remoteLength + stagingLength + 3 + (listedIsTail ? 0 : listedLength + 1);
  char* block = new (std::nothrow) char[bytes];
  if (block == nullptr) return false;

  // The texts may lie in the block being replaced: copy first, free after.
  char* at = block;
  const char* newLocal = at;
  at = Put(at, local, localLength);
  const char* newRemote = at;
  at = Put(at, remote, remoteLength);
  const char* newStaging = at;
  at = Put(at, staging, stagingLength);
  const char* newListed = newRemote + remoteLength - listedLength;
  if (!listedIsTail) {
    newListed = at;
    Put(at, listed, listedLength);
  }
  delete[] texts_;
  texts_ = block;
  localPath = newLocal;
  remotePath = newRemote;
  listedName = newListed;
  stagingPath = newStaging;
  return true;
}

void PatchEntry::CutStagingPath(size_t length) {
  if (texts_ == nullptr || length >= std::strlen(stagingPath)) return;
  texts_[stagingPath - texts_ + length] = '\0';
}
