// Progress of a long task (build, verify, upload) on a terminal: files, bytes, speed
// and time left on one line of standard error, redrawn a few times a second. Silent
// when standard error is not a terminal, and when there is nothing to do.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace publish {

class Progress {
 public:
  Progress(size_t files, uint64_t bytes);
  void Update(size_t filesDone, uint64_t bytesDone);
  // The last figures, and the line ended.
  void Finish();
  // Erases a progress line on the terminal, so that a message starts on a line of its
  // own; the next Update draws it again.
  static void ClearLine();

 private:
  void Draw();

  bool enabled_;
  size_t files_;
  uint64_t bytes_;
  size_t filesDone_ = 0;
  uint64_t bytesDone_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point drawn_;
};

// Progress of one task on several servers at once (an upload to mirrors): a line per
// server, its label first, redrawn together on standard error. A row shows a note
// ("logging on", "failed") until it has figures. Silent where Progress is. Its
// functions may be called from any thread.
class ProgressRows {
 public:
  explicit ProgressRows(const std::vector<std::string>& labels);
  void Note(size_t row, const std::string& text);
  // The row's task: files and bytes to do; its figures start at 0 and its clock now.
  void Start(size_t row, size_t files, uint64_t bytes);
  void Update(size_t row, size_t filesDone, uint64_t bytesDone);
  // The last state of every row, and the lines ended.
  void Finish();

 private:
  struct Row {
    std::string label;
    std::string note;
    bool started = false;
    size_t files = 0;
    uint64_t bytes = 0;
    size_t filesDone = 0;
    uint64_t bytesDone = 0;
    std::chrono::steady_clock::time_point start;
  };
  void Draw();

  const bool enabled_;
  std::mutex mutex_;
  std::vector<Row> rows_;
  std::chrono::steady_clock::time_point drawn_;
};

}  // namespace publish
