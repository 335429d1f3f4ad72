#include "publish/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace publish {
namespace {

using Clock = std::chrono::steady_clock;

// Progress lines standing unfinished on the terminal, the cursor at the end of the last.
int linesShown = 0;

void FormatBytes(double bytes, char* out, size_t capacity) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  std::snprintf(out, capacity, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
}

// "3/10 files, 1.2 MiB of 5.0 MiB, 800.0 KiB/s, 0:05 left"
std::string Figures(size_t filesDone, size_t files, uint64_t bytesDone, uint64_t bytes, Clock::time_point start) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double speed = seconds > 0 ? static_cast<double>(bytesDone) / seconds : 0;
  char done[32], total[32], rate[32], left[32] = "--:--";
  FormatBytes(static_cast<double>(bytesDone), done, sizeof done);
  FormatBytes(static_cast<double>(bytes), total, sizeof total);
  FormatBytes(speed, rate, sizeof rate);
  if (speed > 0) {
    const long remaining = static_cast<long>(static_cast<double>(bytes - bytesDone) / speed);
    std::snprintf(left, sizeof left, "%ld:%02ld", remaining / 60, remaining % 60);
  }
  char line[200];
  std::snprintf(line, sizeof line, "%zu/%zu files, %s of %s, %s/s, %s left", filesDone, files, done, total, rate, left);
  return line;
}

// The terminal's width in characters, 0 when it does not say.
size_t TerminalWidth() {
  winsize size = {};
  return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
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
  linesShown = 0;
}

void Progress::ClearLine() {
  if (linesShown == 0) return;
  if (linesShown > 1) std::fprintf(stderr, "\033[%dA", linesShown - 1);
  std::fputs("\r\033[J", stderr);
  std::fflush(stderr);
  linesShown = 0;
}

void Progress::Draw() {
  std::fprintf(stderr, "\r%s   ", Figures(filesDone_, files_, bytesDone_, bytes_, start_).c_str());
  std::fflush(stderr);
  linesShown = 1;
}

ProgressRows::ProgressRows(const std::vector<std::string>& labels) : enabled_(::isatty(STDERR_FILENO) == 1) {
  size_t width = 0;
  for (const std::string& label : labels) width = std::max(width, label.size());
  for (const std::string& label : labels) {
    rows_.emplace_back();
    rows_.back().label = label + std::string(width - label.size(), ' ');
  }
}

void ProgressRows::Note(size_t row, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows_[row].note = text;
  if (enabled_) Draw();
}

void ProgressRows::Start(size_t row, size_t files, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row& r = rows_[row];
  r.started = true;
  r.note.clear();
  r.files = files;
  r.bytes = bytes;
  r.filesDone = 0;
  r.bytesDone = 0;
  r.start = Clock::now();
  if (enabled_) Draw();
}

void ProgressRows::Update(size_t row, size_t filesDone, uint64_t bytesDone) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows_[row].filesDone = filesDone;
  rows_[row].bytesDone = bytesDone;
  const Clock::time_point now = Clock::now();
  if (!enabled_ || now - drawn_ < std::chrono::milliseconds(200)) return;
  Draw();
}

void ProgressRows::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!enabled_ || linesShown == 0) return;
  Draw();
  std::fputc('\n', stderr);
  std::fflush(stderr);
  linesShown = 0;
}

void ProgressRows::Draw() {
  drawn_ = Clock::now();
  // Back to the first row, then each row over what stood there. A row no wider than the
  // terminal keeps its line, so the way back stays right.
  if (linesShown > 1) std::fprintf(stderr, "\033[%dA", linesShown - 1);
  const size_t width = TerminalWidth();
  for (size_t i = 0; i < rows_.size(); ++i) {
    const Row& r = rows_[i];
    std::string line = r.label + "  " + (r.note.empty() && r.started
                                             ? Figures(r.filesDone, r.files, r.bytesDone, r.bytes, r.start)
                                             : r.note);
    if (width > 1 && line.size() > width - 1) line.resize(width - 1);
    std::fprintf(stderr, "\r\033[K%s%s", line.c_str(), i + 1 < rows_.size() ? "\n" : "");
  }
  std::fflush(stderr);
  linesShown = static_cast<int>(rows_.size());
}

}  // namespace publish
