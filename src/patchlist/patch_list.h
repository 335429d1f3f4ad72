// The patch list: parsing its lines into queued entries, and the freshness test
// that decides whether a listed file has to be fetched.
#pragma once
#include <cstdint>

#include "patchlist/entry_list.h"
#include "patchlist/patch_entry.h"

// Parses the list at listPath into `list` (appends, in the order of the file), adding
// queued downloads to *totalBytes and *fileCount. Both sums stop at INT32_MAX.
// Returns false only when the file cannot be opened; nothing changes then.
bool ParsePatchListFile(const char* listPath, const char* installDir, const char* baseDirectory,
                        EntryList& list, int32_t* totalBytes, int32_t* fileCount);

// True when the file at entry.localPath is missing or differs from the listed date,
// time of day or size.
bool NeedsUpdate(const PatchEntry& entry);

// The freshness rule itself: a local copy last written at localDate and localTime
// ("YYYY-MM-DD", "HH:MM") and holding localSize bytes is replaced by the listed file
// when the listed date is greater, or the listed time of day is greater (each compared
// on its own, as unsigned bytes), or the sizes differ in their low 32 bits.
bool CopyIsOutOfDate(const char* listedDate, const char* listedTime, int64_t listedSize, const char* localDate,
                     const char* localTime, int64_t localSize);

// The owner's emptying loop: frees every PatchEntry held and every node, head first,
// and leaves the list empty.
void ReleaseQueue(EntryList& list);
