// Listed times (stamps.h). Days are counted as civil day numbers so that moving
// forward crosses months and years without a time zone; only the final check that a
// minute exists asks the zone.
#include "publish/stamps.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "patchlist/patch_list.h"

namespace publish {
namespace {

constexpr int kMinutesPerDay = 24 * 60;
constexpr int64_t kSearchDays = 200 * 366;

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

std::string DateText(int64_t day) {
  int64_t y;
  int m, d;
  CivilFromDays(day, &y, &m, &d);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02d", static_cast<long long>(y), m, d);
  return text;
}

std::string TimeText(int minute) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d", minute / 60, minute % 60);
  return text;
}

bool ParseStamp(const Stamp& stamp, int64_t* day, int* minute) {
  int y, m, d, hh, mm;
  char tail;
  if (std::sscanf(stamp.date.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3) return false;
  if (std::sscanf(stamp.time.c_str(), "%2d:%2d%c", &hh, &mm, &tail) != 2) return false;
  if (m < 1 || m > 12 || d < 1 || d > 31 || hh < 0 || hh > 23 || mm < 0 || mm > 59) return false;
  *day = DaysFromCivil(y, m, d);
  *minute = hh * 60 + mm;
  return DateText(*day) == stamp.date;  // refuses 31 April and the like
}

// The first minute of a day at or after `from` whose text is greater than `old`, or
// -1. Well-formed times sort as text in the order of the day, so the minutes that pass
// form the end of the day and a binary search finds the first.
int FirstTimeAfter(int from, const std::string& old) {
  int low = from;
  int high = kMinutesPerDay;
  while (low < high) {
    const int mid = (low + high) / 2;
    if (TimeText(mid) > old) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  return low < kMinutesPerDay ? low : -1;
}

std::optional<std::pair<int64_t, int>> FirstFetching(int64_t day, int minute, const Stamp& old) {
  if (DateText(day) > old.date) return std::make_pair(day, minute);
  int m = FirstTimeAfter(minute, old.time);
  if (m >= 0) return std::make_pair(day, m);
  if (DateText(day + 1) > old.date) return std::make_pair(day + 1, 0);
  m = FirstTimeAfter(0, old.time);
  if (m >= 0) return std::make_pair(day + 1, m);
  // No time of day beats the old one: the first later date does, and dates sort as
  // text in calendar order.
  int64_t low = day + 2;
  int64_t high = day + kSearchDays;
  while (low < high) {
    const int64_t mid = low + (high - low) / 2;
    if (DateText(mid) > old.date) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  if (DateText(low) > old.date) return std::make_pair(low, 0);
  return std::nullopt;
}

// Whether a local date and time exists in the zone. A minute inside the hour skipped in
// spring comes back from the zone as another minute, which is where the search goes on.
bool ExistsLocally(int64_t day, int minute, int64_t* nextDay, int* nextMinute) {
  int64_t y;
  int m, d;
  CivilFromDays(day, &y, &m, &d);
  struct tm fields = {};
  fields.tm_year = static_cast<int>(y - 1900);
  fields.tm_mon = m - 1;
  fields.tm_mday = d;
  fields.tm_hour = minute / 60;
  fields.tm_min = minute % 60;
  fields.tm_isdst = -1;
  const time_t moment = mktime(&fields);
  *nextDay = day;
  *nextMinute = minute + 1;
  if (moment == static_cast<time_t>(-1)) return false;
  const Stamp back = StampOf(moment);
  if (back.date == DateText(day) && back.time == TimeText(minute)) return true;
  int64_t backDay;
  int backMinute;
  if (ParseStamp(back, &backDay, &backMinute) && (backDay > day || (backDay == day && backMinute > minute))) {
    *nextDay = backDay;
    *nextMinute = backMinute;
  }
  return false;
}

// A TZ text in the POSIX form: a name of three letters or more (or one in <>), then an
// offset: "UTC0", "ZZZ-5", "<+09>-9", "EST5EDT,M3.2.0,M11.1.0".
bool IsPosixZone(const std::string& text) {
  size_t i = 0;
  if (!text.empty() && text[0] == '<') {
    i = text.find('>');
    if (i == std::string::npos || i < 2) return false;
    ++i;
  } else {
    while (i < text.size() && ((text[i] >= 'A' && text[i] <= 'Z') || (text[i] >= 'a' && text[i] <= 'z'))) ++i;
    if (i < 3) return false;
  }
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

}  // namespace

bool UseZone(const std::string& zone, std::string* error) {
  if (!zone.empty()) {
    // glibc takes a name it cannot find as UTC without a word: accept a zone file or
    // a text in the POSIX TZ form only.
    const std::string name = zone[0] == ':' ? zone.substr(1) : zone;
    const std::string file = name[0] == '/' ? name : "/usr/share/zoneinfo/" + name;
    if (name.find("..") != std::string::npos || (::access(file.c_str(), R_OK) != 0 && !IsPosixZone(name))) {
      *error = "unknown time zone \"" + zone + "\" (a name under /usr/share/zoneinfo or a TZ text such as UTC0)";
      return false;
    }
    ::setenv("TZ", zone.c_str(), 1);
  }
  tzset();
  return true;
}

std::string ZoneName() {
  const char* tz = std::getenv("TZ");
  if (tz != nullptr && tz[0] != '\0') return tz;
  char target[512];
  const ssize_t n = ::readlink("/etc/localtime", target, sizeof target - 1);
  if (n > 0) {
    target[n] = '\0';
    const char* at = std::strstr(target, "zoneinfo/");
    if (at != nullptr) return at + std::strlen("zoneinfo/");
  }
  return "the local zone of the machine that built it";
}

Stamp StampOf(time_t moment) {
  struct tm fields = {};
  localtime_r(&moment, &fields);
  char date[32];
  char time[16];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday);
  std::snprintf(time, sizeof time, "%02d:%02d", fields.tm_hour, fields.tm_min);
  return {date, time};
}

bool ClientFetches(const Stamp& listed, int64_t listedSize, const Stamp& local, int64_t localSize) {
  return CopyIsOutOfDate(listed.date.c_str(), listed.time.c_str(), listedSize, local.date.c_str(), local.time.c_str(),
                         localSize);
}

std::optional<Stamp> NextFetchingStamp(const Stamp& candidate, const Stamp& old) {
  int64_t day;
  int minute;
  if (!ParseStamp(candidate, &day, &minute)) return std::nullopt;
  // A few rounds at most: only a clock change can reject a minute.
  for (int round = 0; round < 8; ++round) {
    const auto found = FirstFetching(day, minute, old);
    if (!found) return std::nullopt;
    if (ExistsLocally(found->first, found->second, &day, &minute))
      return Stamp{DateText(found->first), TimeText(found->second)};
    if (minute == kMinutesPerDay) {
      minute = 0;
      ++day;
    }
  }
  return std::nullopt;
}

}  // namespace publish
