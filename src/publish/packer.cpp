// The parallel reading, hashing and packing of a release (packer.h).
//
// The calling thread cuts every file into chunks and hands them to a pool of workers,
// keeping a bounded window of chunks in flight; it takes the results back in the order
// given, so the hash, the output file and the CRC are built strictly in order while
// the reading and the compression run on all cores.
#include "publish/packer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>
#include <zlib.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace publish {
namespace {

constexpr uint64_t kChunk = 1 << 20;
constexpr uint32_t kWindow = 32 * 1024;  // deflate's window: the dictionary of a chunk

struct Task {
  const PackInput* input = nullptr;
  uint64_t offset = 0;
  uint32_t length = 0;
  bool last = false;
  int level = 6;
  // Results.
  std::vector<unsigned char> data;  // the dictionary, then the chunk
  uint32_t dictionary = 0;
  std::vector<unsigned char> packed;
  uint32_t crc = 0;
  std::string error;
  bool done = false;
};

// A raw deflate stream kept by each worker for its whole life.
class Deflater {
 public:
  ~Deflater() {
    if (ready_) deflateEnd(&stream_);
  }
  bool Pack(Task* task) {
    if (!ready_ || level_ != task->level) {
      if (ready_) deflateEnd(&stream_);
      stream_ = z_stream();
      ready_ = deflateInit2(&stream_, task->level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
      level_ = task->level;
      if (!ready_) return false;
    } else if (deflateReset(&stream_) != Z_OK) {
      return false;
    }
    if (task->dictionary > 0 && deflateSetDictionary(&stream_, task->data.data(), task->dictionary) != Z_OK)
      return false;
    task->packed.resize(deflateBound(&stream_, task->length) + 64);
    stream_.next_in = task->data.data() + task->dictionary;
    stream_.avail_in = task->length;
    size_t used = 0;
    const int flush = task->last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
      stream_.next_out = task->packed.data() + used;
      stream_.avail_out = static_cast<uInt>(task->packed.size() - used);
      const int rc = deflate(&stream_, flush);
      used = task->packed.size() - stream_.avail_out;
      if (rc == Z_STREAM_END || (rc == Z_OK && flush == Z_SYNC_FLUSH && stream_.avail_out > 0)) break;
      if (rc != Z_OK && rc != Z_BUF_ERROR) return false;
      task->packed.resize(task->packed.size() * 2);
    }
    task->packed.resize(used);
    return true;
  }

 private:
  z_stream stream_ = {};
  bool ready_ = false;
  int level_ = -1;
};

bool ReadAt(int fd, unsigned char* out, size_t length, uint64_t offset) {
  while (length > 0) {
    const ssize_t n = ::pread(fd, out, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = 0;  // the end of the file, not an error: the file became shorter
      return false;
    }
    out += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

void RunTask(Task* task, Deflater* deflater) {
  const uint64_t start = task->offset >= kWindow ? task->offset - kWindow : 0;
  task->dictionary = task->input->compress ? static_cast<uint32_t>(task->offset - start) : 0;
  const uint64_t from = task->offset - task->dictionary;
  task->data.resize(task->dictionary + task->length);
  const int fd = ::open(task->input->source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    task->error = "cannot read " + task->input->source + ": " + std::strerror(errno);
    return;
  }
  const bool read = ReadAt(fd, task->data.data(), task->data.size(), from);
  const int readError = errno;
  ::close(fd);
  if (!read) {
    task->error = "cannot read " + task->input->source + ": " +
                  (readError != 0 ? std::strerror(readError) : "it became shorter while it was read");
    return;
  }
  task->crc = static_cast<uint32_t>(crc32(0, task->data.data() + task->dictionary, task->length));
  if (task->input->compress && !deflater->Pack(task)) task->error = "zlib failed on " + task->input->source;
}

class Pool {
 public:
  explicit Pool(int workers) {
    for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  void Submit(Task* task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(task);
    }
    wake_.notify_one();
  }
  void Wait(Task* task) {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [task] { return task->done; });
  }

 private:
  void Work() {
    Deflater deflater;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      Task* task = queue_.front();
      queue_.pop_front();
      lock.unlock();
      RunTask(task, &deflater);
      lock.lock();
      task->done = true;
      finished_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  std::deque<Task*> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

bool WriteAll(int fd, const unsigned char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// The output of the file being assembled.
class Assembly {
 public:
  Assembly() : hash_(XXH3_createState()), packedHash_(XXH3_createState()) {}
  ~Assembly() {
    Close();
    XXH3_freeState(hash_);
    XXH3_freeState(packedHash_);
  }

  bool Begin(const PackInput& input, const std::string& path, std::string* error) {
    input_ = &input;
    output_ = PackOutput();
    output_.path = path;
    output_.compressed = input.compress;
    crc_ = 0;
    XXH3_64bits_reset(hash_);
    XXH3_64bits_reset(packedHash_);
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      *error = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
    if (input.compress) {
      // No name, no time, no flags; OS 3 (Unix), as gzip -n writes.
      static const unsigned char kHeader[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
      return Write(kHeader, sizeof kHeader, error);
    }
    return true;
  }

  bool Add(const Task& task, std::string* error) {
    const unsigned char* chunk = task.data.data() + task.dictionary;
    XXH3_64bits_update(hash_, chunk, task.length);
    crc_ = static_cast<uint32_t>(crc32_combine(crc_, task.crc, static_cast<z_off_t>(task.length)));
    return input_->compress ? Write(task.packed.data(), task.packed.size(), error) : Write(chunk, task.length, error);
  }

  bool Finish(std::string* error) {
    if (input_->compress) {
      unsigned char trailer[8];
      const uint32_t isize = static_cast<uint32_t>(input_->size);
      for (int i = 0; i < 4; ++i) {
        trailer[i] = static_cast<unsigned char>(crc_ >> (8 * i));
        trailer[4 + i] = static_cast<unsigned char>(isize >> (8 * i));
      }
      if (!Write(trailer, sizeof trailer, error)) return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
      *error = "cannot write " + output_.path + ": " + std::strerror(errno);
      return false;
    }
    // The release must not change under the build: its hash would not match its copy.
    if (!Unchanged(input_->source, input_->size, input_->mtime)) {
      *error = input_->source + " changed while it was read";
      return false;
    }
    output_.hash = XXH3_64bits_digest(hash_);
    output_.packedHash = XXH3_64bits_digest(packedHash_);
    return true;
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  const PackOutput& output() const { return output_; }

 private:
  bool Write(const unsigned char* data, size_t length, std::string* error) {
    XXH3_64bits_update(packedHash_, data, length);
    output_.packedSize += length;
    if (WriteAll(fd_, data, length)) return true;
    *error = "cannot write " + output_.path + ": " + std::strerror(errno);
    return false;
  }

  const PackInput* input_ = nullptr;
  PackOutput output_;
  XXH3_state_t* hash_;
  XXH3_state_t* packedHash_;
  uint32_t crc_ = 0;
  int fd_ = -1;
};

}  // namespace

bool Unchanged(const std::string& path, uint64_t size, const timespec& mtime) {
  struct stat now;
  return ::stat(path.c_str(), &now) == 0 && static_cast<uint64_t>(now.st_size) == size &&
         now.st_mtim.tv_sec == mtime.tv_sec && now.st_mtim.tv_nsec == mtime.tv_nsec;
}

bool PackFiles(const std::vector<PackInput>& inputs, int jobs, int level, const std::string& workDir,
               const std::function<bool(size_t, const PackOutput&, std::string*)>& done, std::string* error) {
  if (jobs < 1) jobs = 1;
  Pool pool(jobs);
  std::deque<std::unique_ptr<Task>> window;
  const size_t windowSize = static_cast<size_t>(jobs) * 4;
  Assembly assembly;
  size_t current = 0;  // the file whose chunks come back next
  bool ok = true;

  // Takes back the oldest chunk in flight.
  auto consume = [&]() {
    std::unique_ptr<Task> task = std::move(window.front());
    window.pop_front();
    pool.Wait(task.get());
    if (!ok) return;
    if (!task->error.empty()) {
      *error = task->error;
      ok = false;
      return;
    }
    if (task->offset == 0 &&
        !assembly.Begin(inputs[current], workDir + "/.pack-" + std::to_string(current), error)) {
      ok = false;
      return;
    }
    if (!assembly.Add(*task, error)) {
      ok = false;
      return;
    }
    if (task->last) {
      ok = assembly.Finish(error) && done(current, assembly.output(), error);
      ++current;
    }
  };

  for (size_t i = 0; i < inputs.size() && ok; ++i) {
    uint64_t offset = 0;
    do {
      const uint64_t length = inputs[i].size - offset < kChunk ? inputs[i].size - offset : kChunk;
      auto task = std::make_unique<Task>();
      task->input = &inputs[i];
      task->offset = offset;
      task->length = static_cast<uint32_t>(length);
      task->last = offset + length >= inputs[i].size;
      task->level = level;
      offset += length;
      pool.Submit(task.get());
      window.push_back(std::move(task));
      while (window.size() >= windowSize && ok) consume();
    } while (offset < inputs[i].size && ok);
  }
  while (!window.empty()) consume();
  assembly.Close();
  return ok;
}

}  // namespace publish
