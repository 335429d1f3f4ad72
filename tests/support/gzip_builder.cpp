#include "support/gzip_builder.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <zlib.h>

namespace zdtest {

namespace {

const char* const kWords[] = {"texture", "model", "sound", "level", "map", "npc", "quest", "item",
                              "weapon", "armor", "spell", "guild", "zone", "shader", "font", "ui",
                              "data", "script", "event", "table", "the", "of", "and", "to"};
constexpr size_t kWordCount = sizeof kWords / sizeof kWords[0];

// A small fast generator (xorshift32); the seed 0 is avoided.
struct Generator {
  explicit Generator(uint32_t seed) : x(seed != 0 ? seed : 0x9E3779B9u) {}
  uint32_t Next() {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  }
  uint32_t x;
};

// Appends one piece (a word, or a number with a separator) to `out`.
void AppendPiece(Generator& g, std::string& out) {
  const uint32_t r = g.Next();
  if ((r & 3) == 0) {
    char number[16];
    const int n = std::snprintf(number, sizeof number, "%u%c", (r >> 4) % 100000u, (r & 16) ? '\n' : ',');
    out.append(number, static_cast<size_t>(n));
  } else {
    out.append(kWords[(r >> 8) % kWordCount]);
    out.push_back((r & 0x80) ? '_' : ' ');
  }
}

}  // namespace

struct GzipStream::State {
  z_stream z{};
};

GzipStream::GzipStream() : state_(new State) {
  if (deflateInit2(&state_->z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    delete state_;
    throw std::runtime_error("deflateInit2 failed");
  }
}

GzipStream::~GzipStream() {
  deflateEnd(&state_->z);
  delete state_;
}

std::string GzipStream::Run(const std::string& data, int flush) {
  z_stream& z = state_->z;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  unsigned char chunk[16384];
  int ret;
  do {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    ret = deflate(&z, flush);
    if (ret == Z_STREAM_ERROR) throw std::runtime_error("deflate failed");
    out.append(reinterpret_cast<char*>(chunk), sizeof chunk - z.avail_out);
  } while (z.avail_out == 0 || (flush == Z_FINISH && ret != Z_STREAM_END));
  return out;
}

std::string GzipStream::Add(const std::string& data) { return Run(data, Z_SYNC_FLUSH); }

std::string GzipStream::Finish() { return Run(std::string(), Z_FINISH); }

std::string Gzip(const std::string& data, int level, const char* name) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  gz_header header{};
  header.name = reinterpret_cast<Bytef*>(const_cast<char*>(name));
  header.os = 3;  // Unix, as gzip on Linux writes it
  if (name != nullptr && deflateSetHeader(&z, &header) != Z_OK) throw std::runtime_error("deflateSetHeader failed");
  std::string out(deflateBound(&z, data.size()) + 32 + (name != nullptr ? std::strlen(name) + 1 : 0), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  const int ret = deflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  if (ret != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  return out;
}

std::string SampleData(size_t size, uint32_t seed) {
  Generator g(seed);
  std::string out;
  out.reserve(size + 32);
  while (out.size() < size) AppendPiece(g, out);
  out.resize(size);
  return out;
}

bool WriteSampleData(int fd, uint64_t size, uint32_t seed) {
  Generator g(seed);
  std::string block;
  while (size > 0) {
    block.clear();
    while (block.size() < (1u << 20)) AppendPiece(g, block);
    const size_t take = size < block.size() ? static_cast<size_t>(size) : block.size();
    size_t done = 0;
    while (done < take) {
      const ssize_t n = ::write(fd, block.data() + done, take - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    size -= take;
  }
  return true;
}

}  // namespace zdtest
