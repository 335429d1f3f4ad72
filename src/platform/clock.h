// Millisecond ticks, sleeping, and the calendar conversions of file times.
#pragma once
#include <cstdint>

#include "platform/files.h"

namespace plat {

// A 32-bit millisecond counter that only moves forward; compare ticks by difference.
uint32_t TickCount();

void SleepMs(uint32_t milliseconds);

// The calendar time now, in UTC, as a file time (whatever the system's clock says: it
// may be set back or forward by its owner).
FileTime CurrentUtcFileTime();

// Calendar fields of a time, in the order the Windows build keeps them.
struct CalendarTime {
  uint16_t year = 0;
  uint16_t month = 0;      // 1..12
  uint16_t dayOfWeek = 0;  // 0 = Sunday; ignored when joining
  uint16_t day = 0;        // 1..31
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t millisecond = 0;
};

// Splits a file time into calendar fields and joins them again, with no time-zone
// change. The join fails for fields that are no valid calendar time (month 13,
// 31 April, hour 25, a year before 1601 ...).
bool SplitFileTime(FileTime time, CalendarTime* out);
bool JoinFileTime(const CalendarTime& fields, FileTime* out);

// Converts between UTC and local file times by the rules of the process's time zone
// (on Linux TZ, else /etc/localtime, with the rules of each year as the zone data
// records them; on Windows the system's zone, whose current rules serve every year;
// Wine takes it from TZ when a program starts), with the offset from UTC that those
// rules give at the converted time, never the offset in force at the moment of the
// call. A local time converted to UTC reads back exactly as it was, whatever the season
// of either conversion; only the local times that a clock change skips read back
// otherwise (below).
//
// UtcToLocalFileTime: the offset in force at that instant.
// LocalToUtcFileTime: the offset that holds at that local date and time. Where a clock
// change makes a local time repeat or not exist at all, the offset in force just
// before the change applies:
// - an hour that repeats in autumn (01:00-01:59 in New York, 02:00-02:59 in Berlin) is
//   taken as its first occurrence, still in summer time; it reads back the same;
// - a time in the hour that spring skips (02:00-02:59 in both) is taken with the
//   winter offset, so it falls after the change and reads back later by the length of
//   the change (02:30 reads 03:30): never earlier than itself, so a file given that
//   time is current for the freshness test, which fetches what reads back earlier.
// On Linux the zone is read on first use; a process that changes TZ later calls tzset().
bool UtcToLocalFileTime(FileTime utc, FileTime* local);
bool LocalToUtcFileTime(FileTime local, FileTime* utc);

}  // namespace plat
