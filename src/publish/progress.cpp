#include "publish/progress.h"

#include <unistd.h>

#include <cstdio>

namespace publish {
namespace {

using Clock = std::chrono::steady_clock;

bool lineShown = false;  // a progress line stands unfinished on the terminal

void FormatBytes(double bytes, char* out, size_t capacity) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  std::snprintf(out, capacity, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
}

}  // namespace

Progress::Progress(size_t files, uint64_t bytes)
    : enabled_(files > 0 && ::isatty(STDERR_FILENO) == 1),
      files_(files),
      bytes_(bytes),
      start_(Clock::now()),
      drawn_() {}

void Progress::Update(size_t filesDone, uint64_t bytesDone) {
  filesDone_ = filesDone;
  bytesDone_ = bytesDone;
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - drawn_ < std::chrono::milliseconds(200)) return;
  drawn_ = now;
  Draw();
}

void Progress::Finish() {
  if (!enabled_) return;
  Draw();
  std::fputc('\n', stderr);
  lineShown = false;
}

void Progress::ClearLine() {
  if (!lineShown) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  lineShown = false;
}

void Progress::Draw() {
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  const double speed = seconds > 0 ? static_cast<double>(bytesDone_) / seconds : 0;
  char done[32], total[32], rate[32], left[32] = "--:--";
  FormatBytes(static_cast<double>(bytesDone_), done, sizeof done);
  FormatBytes(static_cast<double>(bytes_), total, sizeof total);
  FormatBytes(speed, rate, sizeof rate);
  if (speed > 0) {
    const long remaining = static_cast<long>(static_cast<double>(bytes_ - bytesDone_) / speed);
    std::snprintf(left, sizeof left, "%ld:%02ld", remaining / 60, remaining % 60);
  }
  std::fprintf(stderr, "\r%zu/%zu files, %s of %s, %s/s, %s left   ", filesDone_, files_, done, total, rate, left);
  std::fflush(stderr);
  lineShown = true;
}

}  // namespace publish
