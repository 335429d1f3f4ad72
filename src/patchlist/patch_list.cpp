// The patch list and the freshness test.
//
// A line is "kind date time size localName remoteName": the kind is the very first
// character of the line, the other five columns are runs of non-blank characters.
// Every column is measured before it is stored, and a line whose columns or composed
// paths would not fit an entry is dropped whole: a path cut short could name a
// different file. Local names are checked before they become paths (local_name.h): a
// name that leaves the installation or that Windows cannot hold as a plain file drops
// its line whatever its kind.
#include "patchlist/patch_list.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "patchlist/local_name.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

// The longest line read: 4095 bytes before its line end (LF or CR LF), as a 4096-byte
// line buffer holds them.
constexpr size_t kLineBuffer = 4096;
constexpr int32_t kInt32Max = 2147483647;

struct Column {
  const char* text = nullptr;
  size_t length = 0;
};

// White space as the C library's scanner sees it in the "C" locale.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Splits a line the way "%c %s %s %s %s %s" scans it: the first character, whatever
// it is, then five runs of non-blank characters. Returns the number of fields found.
int SplitLine(const char* line, Column columns[6]) {
  if (line[0] == '\0') return 0;
  columns[0].text = line;
  columns[0].length = 1;
  const char* p = line + 1;
  int found = 1;
  while (found < 6) {
    while (IsBlank(*p)) ++p;
    if (*p == '\0') break;
    const char* start = p;
    while (*p != '\0' && !IsBlank(*p)) ++p;
    columns[found].text = start;
    columns[found].length = static_cast<size_t>(p - start);
    ++found;
  }
  return found;
}

// Reads the list line by line. A line of at most kLongestLine bytes before its line end
// (LF or CR LF) is given whole, without its line end; a longer one is skipped whole, up
// to and including its LF, so nothing from its middle is ever taken for a line. The
// last line needs no line end.
class LineReader {
 public:
  explicit LineReader(std::FILE* file) : file_(file) {}

  // The next line that fits, NUL-terminated (a NUL byte inside it ends its text there,
  // as in any C string) and valid until the next call; null at the end of the file.
  const char* Next() {
    size_t length = 0;  // bytes of the line so far, saturating at kLongestLine + 2
    bool started = false;
    for (;;) {
      if (begin_ == end_ && !Fill()) {
        if (started && length <= kLongestLine) break;
        return nullptr;
      }
      started = true;
      const char* start = block_ + begin_;
      const size_t available = end_ - begin_;
      const char* lf = static_cast<const char*>(std::memchr(start, '\n', available));
      const size_t taken = lf != nullptr ? static_cast<size_t>(lf - start) : available;
      Keep(start, taken, &length);
      begin_ += lf != nullptr ? taken + 1 : taken;
      if (lf == nullptr) continue;
      if (length > 0 && length <= kLongestLine + 1 && line_[length - 1] == '\r') --length;
      if (length <= kLongestLine) break;
      length = 0;  // too long: skipped; the next line begins
      started = false;
    }
    line_[length] = '\0';
    return line_;
  }

 private:
  static constexpr size_t kLongestLine = kLineBuffer - 1;

  bool Fill() {
    begin_ = 0;
    end_ = std::fread(block_, 1, sizeof block_, file_);
    return end_ > 0;
  }

  // Appends what fits of a piece of the line: its first kLongestLine + 1 bytes are
  // kept (the last of them may be the CR of a CR LF); beyond that only the count grows.
  void Keep(const char* piece, size_t size, size_t* length) {
    const size_t kept = kLongestLine + 1;
    if (*length < kept) std::memcpy(line_ + *length, piece, size < kept - *length ? size : kept - *length);
    *length = size > kept + 1 - *length ? kept + 1 : *length + size;
  }

  std::FILE* file_;
  char block_[16384];
  size_t begin_ = 0;
  size_t end_ = 0;
  char line_[kLongestLine + 2];
};

// A decimal count: an optional sign, then digits up to the first other character; no
// digits give 0. A negative count or one beyond a signed 32-bit value is refused.
bool ParseCount(const char* text, size_t length, int32_t* out) {
  size_t i = 0;
  while (i < length && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < length && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t value = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kInt32Max) return false;
  }
  if (negative && value != 0) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

// Builds a text in a fixed buffer; once something does not fit, the text is refused.
class Composer {
 public:
  Composer(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) { buffer_[0] = '\0'; }

  void Add(const char* text, size_t length) {
    if (!fits_) return;
    if (length >= capacity_ - used_) {
      fits_ = false;
      return;
    }
    std::memcpy(buffer_ + used_, text, length);
    used_ += length;
    buffer_[used_] = '\0';
  }
  void Add(const char* text) { Add(text, std::strlen(text)); }
  void Add(char c) { Add(&c, 1); }
  // The local name with each backslash turned into this platform's separator.
  void AddLocalName(const Column& name, char separator) {
    const size_t from = used_;
    Add(name.text, name.length);
    if (!fits_) return;
    for (size_t i = from; i < used_; ++i) {
      if (buffer_[i] == '\\') buffer_[i] = separator;
    }
  }
  bool fits() const { return fits_; }

 private:
  char* buffer_;
  size_t capacity_;
  size_t used_ = 0;
  bool fits_ = true;
};

void AddSaturated(int32_t* sum, int32_t amount) {
  if (sum == nullptr) return;
  *sum = *sum > kInt32Max - amount ? kInt32Max : *sum + amount;
}

bool CopyColumn(char* out, size_t capacity, const Column& column) {
  if (column.length >= capacity) return false;
  std::memcpy(out, column.text, column.length);
  out[column.length] = '\0';
  return true;
}

// Fills an entry from the columns of one line; false when the line is not usable.
bool FillEntry(const Column columns[6], const char* installDir, const char* baseDirectory,
               PatchEntry* entry) {
  char kind = columns[0].text[0];
  if (kind >= 'a' && kind <= 'z') kind = static_cast<char>(kind - 'a' + 'A');
  if (kind != 'A' && kind != 'C' && kind != 'P' && kind != 'Z' && kind != 'D') return false;
  entry->kind = kind;

  if (!CopyColumn(entry->date, sizeof entry->date, columns[1])) return false;
  if (!CopyColumn(entry->time, sizeof entry->time, columns[2])) return false;

  // Sizes. A 'Z' column is "unpacked:compressed"; the text keeps only the unpacked part.
  // A deletion never uses its size, so nothing in that column can drop it: the text is
  // kept as far as it fits and a count that is refused reads as 0.
  const Column& sizeColumn = columns[3];
  if (kind == 'D') {
    Column kept = sizeColumn;
    if (kept.length >= sizeof entry->sizeText) kept.length = sizeof entry->sizeText - 1;
    CopyColumn(entry->sizeText, sizeof entry->sizeText, kept);
    if (!ParseCount(sizeColumn.text, sizeColumn.length, &entry->size)) entry->size = 0;
  } else if (!CopyColumn(entry->sizeText, sizeof entry->sizeText, sizeColumn)) {
    return false;
  } else if (kind == 'Z') {
    const char* colon = static_cast<const char*>(std::memchr(sizeColumn.text, ':', sizeColumn.length));
    if (colon == nullptr) return false;
    const size_t before = static_cast<size_t>(colon - sizeColumn.text);
    entry->sizeText[before] = '\0';
    if (!ParseCount(sizeColumn.text, before, &entry->unpackedSize)) return false;
    if (!ParseCount(colon + 1, sizeColumn.length - before - 1, &entry->size)) return false;
  } else {
    if (!ParseCount(sizeColumn.text, sizeColumn.length, &entry->size)) return false;
  }

  const Column& localName = columns[4];
  const Column& remoteName = columns[5];
  if (CheckLocalName(localName.text, localName.length) != LocalNameFault::kNone) return false;
  // Composed at their full capacity here; the entry keeps only what they hold.
  char listed[PatchEntry::kPathCapacity];
  char remotePath[PatchEntry::kPathCapacity];
  char stagingPath[PatchEntry::kPathCapacity];
  char localPath[PatchEntry::kPathCapacity];
  if (!CopyColumn(listed, sizeof listed, remoteName)) return false;

  // Remote path: the base directory less one trailing slash, a slash unless the remote
  // name brings its own, the remote name. Remote paths keep their forward slashes.
  Composer remote(remotePath, sizeof remotePath);
  size_t baseLength = std::strlen(baseDirectory);
  if (baseLength > 0 && baseDirectory[baseLength - 1] == '/') --baseLength;
  remote.Add(baseDirectory, baseLength);
  if (remoteName.text[0] != '/') remote.Add('/');
  remote.Add(remoteName.text, remoteName.length);
  if (!remote.fits()) return false;

  const char separator = plat::PathSeparator();
  Composer staging(stagingPath, sizeof stagingPath);
  staging.Add(installDir);
  staging.Add(separator);
  staging.Add("Update");
  staging.Add(separator);
  staging.AddLocalName(localName, separator);
  if (kind == 'Z') staging.Add(".gz");
  if (!staging.fits()) return false;

  Composer local(localPath, sizeof localPath);
  local.Add(installDir);
  local.Add(separator);
  local.AddLocalName(localName, separator);
  return local.fits() && entry->SetPaths(localPath, remotePath, listed, stagingPath);
}

}  // namespace

bool NeedsUpdate(const PatchEntry& entry) {
  plat::FileStatus status;
  if (!plat::QueryFile(entry.localPath, &status)) return true;

  // The last-write time as local calendar time, with the offset in force at that time:
  // the same rule the installation's stamp follows, so a stamped file compares equal
  // whatever the season of either run.
  plat::FileTime local;
  plat::CalendarTime fields;
  if (!plat::UtcToLocalFileTime(status.lastWrite, &local) || !plat::SplitFileTime(local, &fields)) return true;
  char localDate[32];
  char localTime[16];
  std::snprintf(localDate, sizeof localDate, "%04d-%02d-%02d", fields.year, fields.month, fields.day);
  std::snprintf(localTime, sizeof localTime, "%02d:%02d", fields.hour, fields.minute);

  const int32_t listedSize = entry.kind == 'Z' ? entry.unpackedSize : entry.size;
  return CopyIsOutOfDate(entry.date, entry.time, listedSize, localDate, localTime, static_cast<int64_t>(status.size));
}

bool CopyIsOutOfDate(const char* listedDate, const char* listedTime, int64_t listedSize, const char* localDate,
                     const char* localTime, int64_t localSize) {
  // strcmp compares as unsigned bytes. Date and time of day are judged separately.
  if (std::strcmp(listedDate, localDate) > 0) return true;
  if (std::strcmp(listedTime, localTime) > 0) return true;
  return static_cast<uint32_t>(listedSize) != static_cast<uint32_t>(localSize);
}

bool ParsePatchListFile(const char* listPath, const char* installDir, const char* baseDirectory,
                        EntryList& list, int32_t* totalBytes, int32_t* fileCount) {
  FILE* file = std::fopen(listPath, "rb");
  if (file == nullptr) return false;

  LineReader reader(file);
  while (const char* line = reader.Next()) {
    Column columns[6];
    if (SplitLine(line, columns) < 6) continue;
    const char first = line[0];
    if (first == '/' || first == '#' || first == '\'') continue;

    PatchEntry* entry = new (std::nothrow) PatchEntry;
    if (entry == nullptr) continue;
    if (!FillEntry(columns, installDir, baseDirectory, entry)) {
      delete entry;
      continue;
    }

    bool queue = false;
    bool counted = false;
    switch (entry->kind) {
      case 'A':
        queue = counted = true;
        break;
      case 'C':
      case 'Z':
        queue = counted = NeedsUpdate(*entry);
        break;
      case 'P':
        queue = counted = NeedsUpdate(*entry);
        // A current patcher with a staging copy beside it: a hand-off was cut short
        // after the copy had replaced the installed patcher (the renewed patcher killed
        // before it removed the copy). No later run queues this entry, so no clean-up
        // would ever reach the copy; it goes now, unless a program still runs from it.
        if (!queue) plat::RemoveProgramFile(entry->stagingPath);
        break;
      case 'D':
        queue = true;
        break;
    }
    // Counted only once the list holds the entry, so the figures match the queue.
    if (queue && list.Append(entry)) {
      if (counted) {
        AddSaturated(totalBytes, entry->size);
        AddSaturated(fileCount, 1);
      }
    } else {
      delete entry;
    }
  }
  std::fclose(file);
  return true;
}

void ReleaseQueue(EntryList& list) {
  while (list.head != nullptr) {
    EntryNode* node = list.head;
    delete static_cast<PatchEntry*>(node->value);
    list.head = node->next;
    if (list.head != nullptr) list.head->prev = nullptr;
    delete node;
  }
  list.head = nullptr;
  list.tail = nullptr;
  list.count = 0;
}
