// Putting a downloaded file in its place: the directories on the way, the atomic
// replacement of the old copy, and the last-write time the patch list gives for it.
#pragma once
#include "platform/files.h"

struct PatchEntry;

// Creates every directory along `path` that ends just before a separator, outermost
// first, beginning at the second separator: the part before the first separator (a
// drive, or the empty root on Linux) and the last component (the file name) are never
// created. Directories that already exist, and any other failure, are ignored.
void CreateParentDirectories(const char* path);

// Installs the staged file of `entry` at its localPath; true when the file is in place,
// false with the reason of the failed move in LastErrorCode (a directory at the target,
// a file that cannot be replaced, a path the files layer refuses). The old copy is
// replaced in one rename, so a failed move leaves it as it was; the staged file is
// stamped with the listed time just before it moves. The staged file's own directory
// is removed when it is left empty, never its parents.
bool InstallStagedEntry(const PatchEntry& entry);

// The listed local date (YYYY-MM-DD) and time (HH:MM) put over `base` (a UTC file time),
// converted back to UTC with the offset of that date and time (platform/clock.h); the
// seconds and their fraction stay those of `base`. False for a date or time that is no
// valid calendar time.
bool ListedWriteTime(const char* date, const char* time, plat::FileTime base, plat::FileTime* out);

// Sets the last-write time of `path` to the listed local date (YYYY-MM-DD) and time
// (HH:MM), converted to UTC with the offset of that date and time; seconds and the
// fraction of the second are kept from the file, and so are its other times. A missing
// file is created. A date or time that is no valid calendar time stamps nothing.
void StampListedTime(const char* path, const char* date, const char* time);
