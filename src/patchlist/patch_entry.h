// One line of the patch list.
#pragma once
#include <cstddef>
#include <cstdint>

struct PatchEntry {
  // The capacity of each path, its terminating NUL included: the longest path a line
  // may give. An entry does not reserve it: its paths live in one block of their own,
  // sized to what they hold, so a queue of 100,000 lines costs what its names cost.
  static constexpr size_t kPathCapacity = 1024;

  PatchEntry() = default;
  PatchEntry(const PatchEntry& other);
  PatchEntry& operator=(const PatchEntry& other);
  ~PatchEntry();

  char kind = 0;               // upper-cased: 'A', 'C', 'P', 'Z' or 'D' when queued
  char date[16] = {};          // YYYY-MM-DD as listed
  char time[8] = {};           // HH:MM as listed
  char sizeText[32] = {};      // the size column; for 'Z' only the unpacked size
  int32_t size = 0;            // bytes to download (for 'Z' the compressed size)
  int32_t unpackedSize = 0;    // for 'Z': the size after unpacking
  // The paths, each shorter than kPathCapacity; "" until SetPaths gives them.
  const char* localPath = "";    // installDir, separator, local name
  const char* remotePath = "";   // base directory, '/', remote name
  const char* listedName = "";   // the remote name as listed
  const char* stagingPath = "";  // installDir, "Update", local name (+ ".gz" for 'Z')

  // Gives the entry its four paths, copied into one block (the block of the paths it
  // held before is freed). False, with the entry unchanged, when a path has
  // kPathCapacity characters or more, or when there is no memory for the block.
  bool SetPaths(const char* local, const char* remote, const char* listed, const char* staging);
  // Shortens stagingPath to its first `length` characters (the unpacked file beside
  // its ".gz"); a length that is not shorter changes nothing.
  void CutStagingPath(size_t length);

 private:
  char* texts_ = nullptr;  // the block the paths point into; null before SetPaths
};
