// Progress of a long task (build, verify, upload) on a terminal: files, bytes, speed
// and time left on one line of standard error, redrawn a few times a second. Silent
// when standard error is not a terminal, and when there is nothing to do.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>

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

}  // namespace publish
