// Local time to UTC by the rule of clock.h, the same on both builds: the system's
// conversion, settled where a clock change makes the local time repeat or not exist.
// The systems differ exactly there: glibc's mktime picks either occurrence of a
// repeated hour depending on earlier calls, and Wine's TzSpecificLocalTimeToSystemTime
// takes a skipped time as summer time, which reads back an hour earlier than itself.
// The reading direction (UtcToLocalFileTime) has one answer for every instant, so it
// decides.
#include "platform/clock.h"
#include "platform/zone_conversion.h"

namespace plat {

namespace {

constexpr int64_t kTicksPerDay = 86400LL * 10000000LL;

// The offset from UTC in force at `utc`, in file-time units.
bool OffsetAt(int64_t utc, int64_t* offset) {
  FileTime local = 0;
  if (utc < 0 || !UtcToLocalFileTime(static_cast<FileTime>(utc), &local)) return false;
  *offset = static_cast<int64_t>(local) - utc;
  return true;
}

}  // namespace

bool LocalToUtcFileTime(FileTime local, FileTime* utc) {
  FileTime system = 0;
  if (!SystemLocalToUtc(local, &system)) return false;
  const int64_t wanted = static_cast<int64_t>(local);
  const int64_t candidate = static_cast<int64_t>(system);
  // The offset a day before the local time: offsets lie within a day of UTC, so that
  // instant is before any change the local time is near (zones change at most a few
  // times a year).
  int64_t offset = 0, before = 0;
  if (!OffsetAt(candidate, &offset) || !OffsetAt(wanted - kTicksPerDay, &before)) {
    *utc = system;
    return true;
  }
  const bool readsBack = candidate + offset == wanted;
  if (offset != before || !readsBack) {
    // Near a change: the offset from before it, when the local time existed then (the
    // first of a repeated hour) or when no offset gives it at all (a skipped time).
    int64_t earlierOffset = 0;
    const int64_t earlier = wanted - before;
    if (earlier >= 0 && OffsetAt(earlier, &earlierOffset) && (earlierOffset == before || !readsBack)) {
      *utc = static_cast<FileTime>(earlier);
      return true;
    }
  }
  *utc = system;
  return true;
}

}  // namespace plat
