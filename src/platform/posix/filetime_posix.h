// Conversions between POSIX timespecs and file times (100 ns since 1601 UTC).
#pragma once
#include <ctime>

#include "platform/files.h"

namespace plat {

constexpr int64_t kUnixEpochIn1601Seconds = 11644473600LL;

inline FileTime FileTimeFromTimespec(const timespec& ts) {
  const int64_t seconds = static_cast<int64_t>(ts.tv_sec) + kUnixEpochIn1601Seconds;
  if (seconds < 0) return 0;
  return static_cast<FileTime>(seconds) * 10000000ULL + static_cast<FileTime>(ts.tv_nsec / 100);
}

inline timespec TimespecFromFileTime(FileTime time) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(static_cast<int64_t>(time / 10000000ULL) - kUnixEpochIn1601Seconds);
  ts.tv_nsec = static_cast<long>((time % 10000000ULL) * 100);
  return ts;
}

}  // namespace plat
