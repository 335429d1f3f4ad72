// Linux clock: CLOCK_MONOTONIC ticks, calendar arithmetic on file times, and the zone's
// offsets from the C library: localtime_r for the offset at an instant, mktime with
// tm_isdst = -1 for the offset at a local time (settled at clock changes by
// local_time.cpp).
#include "platform/clock.h"

#include <time.h>

#include <cerrno>

#include "platform/zone_conversion.h"

namespace plat {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000ULL;
constexpr uint64_t kTicksPerDay = 86400ULL * kTicksPerSecond;
// Days from 0000-03-01 (proleptic Gregorian) to 1601-01-01.
constexpr int64_t kDaysTo1601 = 584694;

// Days since 0000-03-01 of a civil date (Howard Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe);
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochSeconds = 11644473600LL;

}  // namespace

uint32_t TickCount() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

FileTime CurrentUtcFileTime() {
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<FileTime>(ts.tv_sec + kEpochSeconds) * kTicksPerSecond + static_cast<FileTime>(ts.tv_nsec) / 100u;
}

bool SplitFileTime(FileTime time, CalendarTime* out) {
  // The Windows call refuses values with the top bit set; so do we.
  if (time >= 0x8000000000000000ULL) {
    errno = EINVAL;
    return false;
  }
  const uint64_t days = time / kTicksPerDay;
  uint64_t rest = time % kTicksPerDay;
  int64_t y;
  unsigned m, d;
  CivilFromDays(static_cast<int64_t>(days) + kDaysTo1601, &y, &m, &d);
  out->year = static_cast<uint16_t>(y);
  out->month = static_cast<uint16_t>(m);
  out->day = static_cast<uint16_t>(d);
  out->dayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  out->hour = static_cast<uint16_t>(rest / (3600 * kTicksPerSecond));
  rest %= 3600 * kTicksPerSecond;
  out->minute = static_cast<uint16_t>(rest / (60 * kTicksPerSecond));
  rest %= 60 * kTicksPerSecond;
  out->second = static_cast<uint16_t>(rest / kTicksPerSecond);
  rest %= kTicksPerSecond;
  out->millisecond = static_cast<uint16_t>(rest / 10000);
  return true;
}

bool JoinFileTime(const CalendarTime& f, FileTime* out) {
  if (f.year < 1601 || f.year > 30827 || f.month < 1 || f.month > 12 || f.day < 1 ||
      f.day > DaysInMonth(f.year, f.month) || f.hour > 23 || f.minute > 59 || f.second > 59 ||
      f.millisecond > 999) {
    errno = EINVAL;
    return false;
  }
  const int64_t days = DaysFromCivil(f.year, f.month, f.day) - kDaysTo1601;
  *out = static_cast<uint64_t>(days) * kTicksPerDay +
         ((static_cast<uint64_t>(f.hour) * 60 + f.minute) * 60 + f.second) * kTicksPerSecond +
         static_cast<uint64_t>(f.millisecond) * 10000;
  return true;
}

bool UtcToLocalFileTime(FileTime utc, FileTime* local) {
  // localtime_r reads the zone once; it never looks at TZ again unless tzset() runs.
  const time_t seconds = static_cast<time_t>(static_cast<int64_t>(utc / kTicksPerSecond) - kEpochSeconds);
  struct tm fields;
  if (::localtime_r(&seconds, &fields) == nullptr) return false;
  const int64_t value =
      static_cast<int64_t>(utc) + static_cast<int64_t>(fields.tm_gmtoff) * static_cast<int64_t>(kTicksPerSecond);
  if (value < 0) {
    errno = EINVAL;
    return false;
  }
  *local = static_cast<FileTime>(value);
  return true;
}

bool SystemLocalToUtc(FileTime local, FileTime* utc) {
  CalendarTime c;
  if (!SplitFileTime(local, &c)) return false;
  struct tm fields {};
  fields.tm_year = c.year - 1900;
  fields.tm_mon = c.month - 1;
  fields.tm_mday = c.day;
  fields.tm_hour = c.hour;
  fields.tm_min = c.minute;
  fields.tm_sec = c.second;
  fields.tm_isdst = -1;  // the zone's rules decide, not the season of today
  fields.tm_wday = -1;   // mktime sets it on success; -1 is also a valid result
  const time_t seconds = ::mktime(&fields);
  const int64_t sinceFileEpoch = static_cast<int64_t>(seconds) + kEpochSeconds;
  if (fields.tm_wday < 0 || sinceFileEpoch < 0) {
    errno = EINVAL;
    return false;
  }
  // Seconds are whole in both, so the fraction carries over unchanged.
  *utc = static_cast<FileTime>(sinceFileEpoch) * kTicksPerSecond + local % kTicksPerSecond;
  return true;
}

}  // namespace plat
