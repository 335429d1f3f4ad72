// The status display: the status line, the bar while a file downloads, and the three
// figure lines (current file, whole run, speed), throttled to one text update a second.
#include "ui/status.h"

#include <cstdio>
#include <cstring>

#include "ui/resource.h"

namespace {

constexpr double kMegabyte = 1048576.0;
constexpr double kKilobyte = 1024.0;
constexpr uint32_t kThrottleMs = 1000;

// Shown instead of a remaining time while the rate is still 0 (fewer bytes than
// whole seconds so far): there is nothing to divide by yet.
constexpr char kUnknownDuration[] = "--";

int32_t ClampToInt32(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// "<remaining> (<done> MB / <all> MB)", remaining = left / rate; rate 0: unknown.
void FormatFigureLine(char* out, int64_t left, int32_t rate, int32_t done, int32_t all) {
  char duration[kStatusTextCapacity];
  if (rate == 0) {
    std::snprintf(duration, sizeof duration, "%s", kUnknownDuration);
  } else {
    FormatDuration(ClampToInt32(left / rate), duration);
  }
  // A line too long for the buffer is cut there; snprintf always terminates it.
  const int n = std::snprintf(out, kStatusTextCapacity, "%s (%.2f MB / %.2f MB)", duration, done / kMegabyte,
                              all / kMegabyte);
  if (n < 0) out[0] = '\0';
}

}  // namespace

void FormatDuration(int32_t seconds, char* out) {
  const int s = static_cast<int>(seconds);
  if (s > 3600) {
    std::snprintf(out, kStatusTextCapacity, "%dh %dm %ds", s / 3600, s % 3600 / 60, s % 3600 % 60);
  } else if (s > 60) {
    std::snprintf(out, kStatusTextCapacity, "%dm %ds", s / 60, s % 60);
  } else {
    std::snprintf(out, kStatusTextCapacity, "%ds", s);
  }
}

void ComposeWithName(char (&out)[128], const char* prefix, const char* name, const char* suffix) {
  const size_t fixed = std::strlen(prefix) + std::strlen(suffix);
  const int room = fixed >= sizeof out - 1 ? 0 : static_cast<int>(sizeof out - 1 - fixed);
  std::snprintf(out, sizeof out, "%s%.*s%s", prefix, room, name, suffix);
}

int32_t DownloadBarPosition(int32_t received, int32_t size) {
  if (size == 0) return received > 0 ? 1000 : 0;
  const double position = static_cast<double>(received) / size * 1000.0;
  // Truncation toward zero, with the ends of the range held instead of overflowing.
  if (position >= 2147483647.0) return INT32_MAX;
  if (position <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(position);
}

int32_t UnpackBarPosition(uint32_t bytes, int32_t unpackedSize) {
  // No expected size to measure against: the bar is full once data has arrived.
  if (unpackedSize <= 0) return bytes > 0 ? 1000 : 0;
  const double ratio = static_cast<double>(bytes) / static_cast<double>(unpackedSize) * 1000.0;
  // More data than listed gives a position past the end, which the bar shows as full;
  // the conversion itself must stay in range.
  return ratio >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(ratio);
}

void PostBarPosition(plat::WindowHandle window, BarMemo& bar, int32_t position) {
  if (bar.position.exchange(position) == position) return;
  plat::PostToItem(window, IDC_PROGRESS, plat::kMsgBarSetPos, static_cast<uintptr_t>(static_cast<intptr_t>(position)),
                   0);
}

void PostBarRange(plat::WindowHandle window, BarMemo& bar) {
  if (bar.rangeSet.exchange(true)) return;
  plat::PostToItem(window, IDC_PROGRESS, plat::kMsgBarSetRange, 0, static_cast<intptr_t>(1000) << 16);
}

void RefreshStatus(const StatusView& v, const char* text, bool force) {
  // The bar follows every response, throttled or not.
  if (v.downloading) PostBarPosition(v.window, v.bar, DownloadBarPosition(v.fileBytes, v.fileSize));

  const uint32_t now = v.tick();
  // Ticks wrap after 49.7 days; the unsigned difference stays right across the wrap.
  if (!force && static_cast<uint32_t>(now - v.lastStatusTick) < kThrottleMs) return;
  v.lastStatusTick = now;
  plat::SetItemText(v.window, IDC_STATUS, text != nullptr ? text : "");

  if (!v.downloading) return;
  const int32_t elapsed = static_cast<int32_t>(now - v.fileStartTick);
  // Less than a second in: the figures would be noise, the lines keep their text.
  if (elapsed < 1000) return;
  const int32_t seconds = elapsed / 1000;
  const int32_t rate = v.fileBytes / seconds;

  // Differences in 64 bits: a size or total beyond what has arrived cannot overflow.
  char line[kStatusTextCapacity];
  FormatFigureLine(line, static_cast<int64_t>(v.fileSize) - v.fileBytes, rate, v.fileBytes, v.fileSize);
  plat::SetItemText(v.window, IDC_FILE, line);
  FormatFigureLine(line, static_cast<int64_t>(v.totalBytes) - v.totalReceived, rate, v.totalReceived, v.totalBytes);
  plat::SetItemText(v.window, IDC_TOTAL, line);
  std::snprintf(line, sizeof line, "%.1f KB/s", rate / kKilobyte);
  plat::SetItemText(v.window, IDC_SPEED, line);
}
