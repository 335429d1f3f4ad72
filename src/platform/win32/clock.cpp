// Windows: the system's millisecond tick and its file-time conversions.
//
// Local and UTC convert with the zone's bias at the converted time:
// SystemTimeToTzSpecificLocalTime and TzSpecificLocalTimeToSystemTime with the current
// zone (NULL), which apply its standard or daylight bias by the date, where
// FileTimeToLocalFileTime and LocalFileTimeToFileTime would apply the bias in force
// now, whatever the date. The zone's current rules serve every year. Both calls work on
// SYSTEMTIME, to the millisecond; biases are whole minutes, so the 100-ns remainder
// carries over. Windows does not document what TzSpecificLocalTimeToSystemTime makes of
// a local time that a clock change repeats or skips; Wine 8.0 takes a repeated time as
// its first occurrence and a skipped one as daylight time, which reads back an hour
// earlier than itself. local_time.cpp settles both by the rule of clock.h, whatever the
// system chose.
#include "platform/clock.h"

#include <windows.h>

#include "platform/zone_conversion.h"

namespace plat {

namespace {

FILETIME ToFiletime(FileTime t) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return ft;
}

FileTime FromFiletime(const FILETIME& ft) {
  return (static_cast<FileTime>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

uint32_t TickCount() { return GetTickCount(); }

void SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }

FileTime CurrentUtcFileTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return FromFiletime(now);
}

bool SplitFileTime(FileTime time, CalendarTime* out) {
  const FILETIME ft = ToFiletime(time);
  SYSTEMTIME st;
  if (!FileTimeToSystemTime(&ft, &st)) return false;
  out->year = st.wYear;
  out->month = st.wMonth;
  out->dayOfWeek = st.wDayOfWeek;
  out->day = st.wDay;
  out->hour = st.wHour;
  out->minute = st.wMinute;
  out->second = st.wSecond;
  out->millisecond = st.wMilliseconds;
  return true;
}

bool JoinFileTime(const CalendarTime& fields, FileTime* out) {
  SYSTEMTIME st;
  st.wYear = fields.year;
  st.wMonth = fields.month;
  st.wDayOfWeek = fields.dayOfWeek;
  st.wDay = fields.day;
  st.wHour = fields.hour;
  st.wMinute = fields.minute;
  st.wSecond = fields.second;
  st.wMilliseconds = fields.millisecond;
  FILETIME ft;
  if (!SystemTimeToFileTime(&st, &ft)) return false;
  *out = FromFiletime(ft);
  return true;
}

namespace {

constexpr FileTime kTicksPerMillisecond = 10000;

// Converts `from` through SYSTEMTIME with `convert`, keeping what SYSTEMTIME cannot hold.
template <typename Convert>
bool ConvertZoned(FileTime from, FileTime* to, Convert convert) {
  const FILETIME in = ToFiletime(from);
  SYSTEMTIME fields, converted;
  FILETIME out;
  if (!FileTimeToSystemTime(&in, &fields) || !convert(&fields, &converted) ||
      !SystemTimeToFileTime(&converted, &out))
    return false;
  *to = FromFiletime(out) + from % kTicksPerMillisecond;
  return true;
}

}  // namespace

bool UtcToLocalFileTime(FileTime utc, FileTime* local) {
  return ConvertZoned(utc, local, [](SYSTEMTIME* in, SYSTEMTIME* out) {
    return SystemTimeToTzSpecificLocalTime(nullptr, in, out) != FALSE;
  });
}

bool SystemLocalToUtc(FileTime local, FileTime* utc) {
  return ConvertZoned(local, utc, [](SYSTEMTIME* in, SYSTEMTIME* out) {
    return TzSpecificLocalTimeToSystemTime(nullptr, in, out) != FALSE;
  });
}

}  // namespace plat
