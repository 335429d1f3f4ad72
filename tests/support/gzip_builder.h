// gzip files for tests: whole files, streams written piece by piece (for a pipe that
// feeds a reader slowly or forever), and data that compresses like real game files
// (repetitive but not trivial).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace zdtest {

// The gzip file (RFC 1952) of `data`, at zlib's compression `level`; with `name`, the
// header carries it as plain gzip writes the file's name.
std::string Gzip(const std::string& data, int level = 6, const char* name = nullptr);

// Text-like bytes: words from a small vocabulary with numbers in between, the same
// for the same seed. Compresses about 2.5:1 with gzip -1.
std::string SampleData(size_t size, uint32_t seed = 1);

// Writes `size` bytes of the same kind of data to the file descriptor `fd` (for files
// too large to hold in memory); false when a write fails.
bool WriteSampleData(int fd, uint64_t size, uint32_t seed = 1);

// A gzip stream produced piece by piece. Each Add() returns the compressed bytes that
// can be sent so far (flushed, so a reader can unpack everything added); Finish()
// returns the rest with the trailer.
class GzipStream {
 public:
  GzipStream();
  ~GzipStream();
  GzipStream(const GzipStream&) = delete;
  GzipStream& operator=(const GzipStream&) = delete;

  std::string Add(const std::string& data);
  std::string Finish();

 private:
  std::string Run(const std::string& data, int flush);
  struct State;
  State* state_;
};

}  // namespace zdtest
