#include "install/install.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "patchlist/patch_entry.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace {

// Paths hold up to 1023 characters; every prefix of such a path fits.
constexpr size_t kPathCapacity = 1024;

// One piece of a listed text at fixed 1-based positions [first, first + length),
// converted the way atoi does (blanks, a sign, digits up to the first non-digit).
// The caller has made sure the text is long enough.
int ListedNumber(const char* text, size_t first, size_t length) {
  char piece[8] = {};
  std::memcpy(piece, text + first - 1, length);
  return std::atoi(piece);
}

bool FitsField(int value, int limit) { return value >= 0 && value <= limit; }

// The listed date and time put over `fields`; false when the texts are too short for
// the positions or a piece cannot be a calendar field (the join refuses the rest).
bool ApplyListedTime(const char* date, const char* time, plat::CalendarTime* fields) {
  if (std::strlen(date) < 10 || std::strlen(time) < 5) return false;
  const int year = ListedNumber(date, 1, 4);
  const int month = ListedNumber(date, 6, 2);
  const int day = ListedNumber(date, 9, 2);
  const int hour = ListedNumber(time, 1, 2);
  const int minute = ListedNumber(time, 4, 2);
  // A negative piece ("-1") must not wrap round into a valid 16-bit field.
  if (!FitsField(year, 9999) || !FitsField(month, 99) || !FitsField(day, 99) ||
      !FitsField(hour, 99) || !FitsField(minute, 99)) {
    return false;
  }
  fields->year = static_cast<uint16_t>(year);
  fields->month = static_cast<uint16_t>(month);
  fields->day = static_cast<uint16_t>(day);
  fields->hour = static_cast<uint16_t>(hour);
  fields->minute = static_cast<uint16_t>(minute);
  return true;
}

}  // namespace

void CreateParentDirectories(const char* path) {
  if (path == nullptr) return;
  const char separator = plat::PathSeparator();
  const char* first = std::strchr(path, separator);
  if (first == nullptr) return;
  char directory[kPathCapacity];
  // The directories to create are the prefixes that end before each separator after the
  // first. Those that exist are skipped: looking up from the file's own directory finds
  // the deepest existing one after a look or two (the file's folder, or the staging
  // folder's parent: the staging folder goes after each file), which spares a creation
  // attempt at every level of a long path.
  const char* from = first;
  for (const char* end = std::strrchr(path, separator); end > first;) {
    const size_t length = static_cast<size_t>(end - path);
    if (length < sizeof directory) {
      std::memcpy(directory, path, length);
      directory[length] = '\0';
      plat::FileStatus status;
      if (plat::QueryFile(directory, &status) && status.isDirectory) {
        from = end;
        break;
      }
    }
    do --end; while (end > first && *end != separator);
  }
  for (const char* next = std::strchr(from + 1, separator); next != nullptr;
       next = std::strchr(next + 1, separator)) {
    const size_t length = static_cast<size_t>(next - path);
    // A prefix that does not fit is not created cut short; nor is anything below it.
    if (length >= sizeof directory) return;
    std::memcpy(directory, path, length);
    directory[length] = '\0';
    plat::MakeDirectory(directory);
  }
}

bool ListedWriteTime(const char* date, const char* time, plat::FileTime base, plat::FileTime* out) {
  if (date == nullptr || time == nullptr) return false;
  plat::CalendarTime fields;
  plat::FileTime local = 0;
  plat::FileTime utc = 0;
  if (!plat::SplitFileTime(base, &fields) || !ApplyListedTime(date, time, &fields) ||
      !plat::JoinFileTime(fields, &local))
    return false;
  // The split keeps milliseconds only; the 100-ns remainder goes back on as well, so
  // the second and its fraction stay exactly as the file had them.
  local += base % 10000;
  if (!plat::LocalToUtcFileTime(local, &utc)) return false;
  *out = utc;
  return true;
}

void StampListedTime(const char* path, const char* date, const char* time) {
  if (path == nullptr || date == nullptr || time == nullptr) return;
  // The listed texts are checked before the file is opened, so a bad stamp neither
  // touches nor creates anything.
  plat::CalendarTime probe;
  plat::FileTime joined = 0;
  if (!ApplyListedTime(date, time, &probe) || !plat::JoinFileTime(probe, &joined)) return;

  plat::TimesHandle file = plat::OpenForTimes(path);
  if (file == nullptr) return;
  plat::FileTimes times;
  plat::FileTime stamped = 0;
  if (plat::GetTimes(file, &times) && ListedWriteTime(date, time, times.lastWrite, &stamped)) {
    times.lastWrite = stamped;
    plat::SetTimes(file, times);
  }
  plat::CloseTimes(file);
}

bool InstallStagedEntry(const PatchEntry& entry) {
  bool installed = false;
  uint32_t error = 0;
  // Nothing is created or changed for a staged file that is not there to be moved.
  plat::FileStatus staged;
  if (plat::QueryFile(entry.stagingPath, &staged) && !staged.isDirectory) {
    CreateParentDirectories(entry.localPath);
    plat::FileStatus target;
    const bool targetIsDirectory =
        plat::QueryFile(entry.localPath, &target) && target.isDirectory;
    // Read-only targets cannot be renamed over on every platform. A directory keeps
    // its mode: the rename below refuses it and says why.
    // The staged file takes the listed time before it moves, so it appears in place
    // already stamped: a run killed between a move and a later stamp would leave a new
    // file with today's time, which the freshness test takes for current and so never
    // stamps. A failed move leaves the target as it was, its time included.
    if (!targetIsDirectory) {
      plat::MakeWritable(entry.localPath);
      StampListedTime(entry.stagingPath, entry.date, entry.time);
    }
    // One rename over the old copy: if it fails, the old file is still whole.
    installed = plat::RenameOver(entry.stagingPath, entry.localPath);
    if (!installed) error = plat::LastErrorCode();
  } else {
    // Not there (the lookup's reason), or a directory, which is no file to install.
    error = staged.exists ? 0 : plat::LastErrorCode();
  }

  // The staged file's own directory goes when nothing else is left in it.
  char directory[kPathCapacity];
  std::snprintf(directory, sizeof directory, "%s", entry.stagingPath);
  char* last = std::strrchr(directory, plat::PathSeparator());
  if (last != nullptr) {
    *last = '\0';
    plat::RemoveEmptyDirectory(directory);
  }
  // The caller reports the reason of the failed move, not that of the clean-up after it.
  if (!installed) plat::SetLastErrorCode(error);
  return installed;
}
