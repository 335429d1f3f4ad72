// Windows: the system's millisecond tick and its file-time conversions.
//
// FileTimeToLocalFileTime and LocalFileTimeToFileTime apply the bias in force now
// (not the daylight-saving state of the converted date), which is the contract of
// clock.h; Wine's implementation does the same (RtlSystemTimeToLocalTime with the
// current bias).
#include "platform/clock.h"

#include <windows.h>

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

bool UtcToLocalFileTime(FileTime utc, FileTime* local) {
  const FILETIME in = ToFiletime(utc);
  FILETIME out;
  if (!FileTimeToLocalFileTime(&in, &out)) return false;
  *local = FromFiletime(out);
  return true;
}

bool LocalToUtcFileTime(FileTime local, FileTime* utc) {
  const FILETIME in = ToFiletime(local);
  FILETIME out;
  if (!LocalFileTimeToFileTime(&in, &out)) return false;
  *utc = FromFiletime(out);
  return true;
}

}  // namespace plat
