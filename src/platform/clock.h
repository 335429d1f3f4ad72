// Millisecond ticks, sleeping, and the calendar conversions of file times.
#pragma once
#include <cstdint>

#include "platform/files.h"

namespace plat {

// A 32-bit millisecond counter that only moves forward; compare ticks by difference.
uint32_t TickCount();

void SleepMs(uint32_t milliseconds);

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

// Converts between UTC and local file times with the offset from UTC that is in
// force at the moment of the call, never the offset of the converted date. Both
// directions use the same offset, so a converted value converts back exactly.
bool UtcToLocalFileTime(FileTime utc, FileTime* local);
bool LocalToUtcFileTime(FileTime local, FileTime* utc);

}  // namespace plat
