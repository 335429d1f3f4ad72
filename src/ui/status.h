// Status line, progress bar and figure lines.
#pragma once
#include <cstddef>
#include <cstdint>

// Turns seconds into "%dh %dm %ds", "%dm %ds" or "%ds" in a 128-byte buffer.
void FormatDuration(int32_t seconds, char* out);
