// Status line, progress bar and figure lines.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/window.h"

// Capacity of every composed text of the window (status, figure lines, durations).
constexpr size_t kStatusTextCapacity = 128;

// Turns seconds into "%dh %dm %ds" (more than an hour), "%dm %ds" (more than a
// minute) or "%ds" (a minute or less, also 0 and negative values) in a buffer of
// kStatusTextCapacity bytes.
void FormatDuration(int32_t seconds, char* out);

// The bar position for `received` bytes of an entry of `size` bytes: thousandths,
// computed in double precision (divide, then multiply) and truncated toward zero.
// More bytes than listed give a position above 1000 (the bar shows it full). An
// entry of size 0 counts as done once anything has arrived: 1000, else 0. Results
// beyond the 32-bit range are held at its ends.
int32_t DownloadBarPosition(int32_t received, int32_t size);
// The bar position for `bytes` unpacked of `unpackedSize`: thousandths, held at
// INT32_MAX; without a size to measure against, full once data has arrived.
int32_t UnpackBarPosition(uint32_t bytes, int32_t unpackedSize);

// "<prefix><name><suffix>" in a 128-byte text; the name is cut (at its end), never the
// rest, when the whole does not fit.
void ComposeWithName(char (&out)[128], const char* prefix, const char* name, const char* suffix);

// What the bar was last sent, so that only a change is sent: each move is a message for
// the window's thread. INT32_MIN: no position yet, which shows as empty like the bar of a
// new window.
struct BarMemo {
  std::atomic<int32_t> position{INT32_MIN};
  std::atomic<bool> rangeSet{false};
};
// The bar's position, and its range 0 to 1000 (set once). Both are queued for the
// window's thread in the order given; the caller does not wait for them to be shown.
void PostBarPosition(plat::WindowHandle window, BarMemo& bar, int32_t position);
void PostBarRange(plat::WindowHandle window, BarMemo& bar);

// One refresh of the status display, filled by the run from its record.
struct StatusView {
  plat::WindowHandle window;
  BarMemo& bar;
  uint32_t& lastStatusTick;  // when a text was last shown: the one-second throttle
  uint32_t (*tick)();
  bool downloading;  // a file is downloading: the bar and the figure lines follow it
  int32_t fileSize;
  int32_t fileBytes;
  uint32_t fileStartTick;
  int32_t totalBytes;
  int32_t totalReceived;
};

// Puts `text` (null: empty) in the status line unless `force` is false and the last
// text is less than a second old. While a file downloads the bar follows every call,
// and the figure lines (file, run, speed) are refreshed with a shown text once the
// file is a second old.
void RefreshStatus(const StatusView& view, const char* text, bool force);
