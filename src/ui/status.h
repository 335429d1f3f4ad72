// Status line, progress bar and figure lines.
#pragma once
#include <cstddef>
#include <cstdint>

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

// "<prefix><name><suffix>" in a 128-byte text; the name is cut (at its end), never the
// rest, when the whole does not fit.
void ComposeWithName(char (&out)[128], const char* prefix, const char* name, const char* suffix);
