// One line of the patch list.
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>

struct PatchEntry {
  // A list can queue entries by the ten thousand; they come from a pool of bulk memory
  // (see entry_pool.cpp) rather than one heap block each.
  static void* operator new(size_t size);
  static void* operator new(size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* block) noexcept;
  static void operator delete(void* block, const std::nothrow_t&) noexcept;

  char kind = 0;               // upper-cased: 'A', 'C', 'P', 'Z' or 'D' when queued
  char date[16] = {};          // YYYY-MM-DD as listed
  char time[8] = {};           // HH:MM as listed
  char sizeText[32] = {};      // the size column; for 'Z' only the unpacked size
  char localPath[1024] = {};   // installDir, separator, local name
  char remotePath[1024] = {};  // base directory, '/', remote name
  int32_t size = 0;            // bytes to download (for 'Z' the compressed size)
  int32_t unpackedSize = 0;    // for 'Z': the size after unpacking
  char listedName[1024] = {};  // the remote name as listed
  char stagingPath[1024] = {}; // installDir, "Update", local name (+ ".gz" for 'Z')
};
