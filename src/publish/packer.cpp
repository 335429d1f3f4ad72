// The parallel reading, hashing and packing of a release (packer.h).
//
// The calling thread cuts every file into tasks and hands them to a pool of workers,
// keeping a bounded window of tasks in flight, and takes the results back in the order
// given. Files of at most one chunk are done whole by a worker, a run of them (up to a
// chunk's worth) per task: read, hashed, packed, judged and written under their final
// names, so the many small files of a release cost the calling thread next to nothing. A
// larger file is one task per chunk (read, packed into a gzip member of its own); the
// calling thread joins the chunks in order into the output, hashing as it goes, and
// names the output when the last chunk is in.
#include "publish/packer.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

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
// A gzip member's header: no name, no time, no flags; OS 3 (Unix), as gzip -n writes.
constexpr unsigned char kHeader[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
constexpr size_t kTrailer = 8;

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

// Reads `length` bytes at `offset`; false with errno 0 when the file ends before.
bool ReadAt(int fd, unsigned char* out, size_t length, uint64_t offset) {
  while (length > 0) {
    const ssize_t n = ::pread(fd, out, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = 0;
      return false;
    }
    out += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool SameFile(const struct stat& st, uint64_t size, const timespec& mtime) {
  return static_cast<uint64_t>(st.st_size) == size && st.st_mtim.tv_sec == mtime.tv_sec &&
         st.st_mtim.tv_nsec == mtime.tv_nsec;
}

bool WriteFile(const std::string& path, const unsigned char* data, size_t length, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = Reason("cannot write " + path);
    return false;
  }
  const bool written = WriteAll(fd, data, length);
  const int writeError = errno;
  const bool closed = ::close(fd) == 0;
  if (written && closed) return true;
  if (!written) errno = writeError;
  *error = Reason("cannot write " + path);
  return false;
}

bool CopyFile(const std::string& from, const std::string& to, std::string* error) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    *error = Reason("cannot read " + from);
    return false;
  }
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    *error = Reason("cannot write " + to);
    ::close(in);
    return false;
  }
  bool ok = true;
  for (;;) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = Reason("cannot copy " + from + " to " + to);
      ok = false;
      break;
    }
  }
  ::close(in);
  if (::close(out) != 0 && ok) {
    *error = Reason("cannot write " + to);
    ok = false;
  }
  return ok;
}

// The SHA-256 of a file's bytes.
bool Sha256OfFile(const std::string& path, uint8_t digest[plat::kSha256Size], std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Reason("cannot read " + path);
    return false;
  }
  plat::Sha256Handle hash = plat::StartSha256();
  std::vector<unsigned char> buffer(kChunk);
  bool ok = hash != nullptr;
  for (;;) {
    const ssize_t n = ok ? ::read(fd, buffer.data(), buffer.size()) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) *error = Reason("cannot read " + path);
      ok = ok && n == 0;
      break;
    }
    ok = plat::AddToSha256(hash, buffer.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  if (ok && plat::FinishSha256(hash, digest)) return true;
  if (!ok) plat::AbandonSha256(hash);
  if (error->empty()) *error = "cannot hash " + path;
  return false;
}

// A libdeflate compressor kept by each worker for its whole life.
class Deflater {
 public:
  explicit Deflater(int level) : compressor_(libdeflate_alloc_compressor(level)) {}
  ~Deflater() {
    if (compressor_ != nullptr) libdeflate_free_compressor(compressor_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // `data` as one gzip member.
  bool Member(const unsigned char* data, size_t length, std::vector<unsigned char>* out) {
    static const unsigned char kNothing[1] = {0};
    if (compressor_ == nullptr) return false;
    if (length == 0) data = kNothing;  // an empty vector's data() may be null
    const size_t bound = libdeflate_deflate_compress_bound(compressor_, length);
    out->resize(sizeof kHeader + bound + kTrailer);
    std::memcpy(out->data(), kHeader, sizeof kHeader);
    const size_t packed = libdeflate_deflate_compress(compressor_, data, length, out->data() + sizeof kHeader, bound);
    if (packed == 0) return false;  // the bound rules this out
    const uint32_t crc = libdeflate_crc32(0, data, length);
    const uint32_t isize = static_cast<uint32_t>(length);
    unsigned char* trailer = out->data() + sizeof kHeader + packed;
    for (int i = 0; i < 4; ++i) {
      trailer[i] = static_cast<unsigned char>(crc >> (8 * i));
      trailer[4 + i] = static_cast<unsigned char>(isize >> (8 * i));
    }
    out->resize(sizeof kHeader + packed + kTrailer);
    return true;
  }

 private:
  libdeflate_compressor* compressor_;
};

struct Task {
  // A chunk of a large file, or (whole) the small files first .. first + count - 1.
  size_t index = 0;
  const PackInput* input = nullptr;
  uint64_t offset = 0;
  uint32_t length = 0;
  bool last = false;
  bool whole = false;
  size_t count = 0;
  // Results.
  std::vector<unsigned char> data;    // the chunk read
  std::vector<unsigned char> packed;  // its gzip member
  std::vector<PackOutput> outputs;    // whole files, in order
  std::string error;
  bool done = false;
};

// A whole small file: read, hash, pack, keep the smaller that is allowed, write.
void RunWhole(size_t index, const PackInput& input, Task* task, Deflater* deflater, const PackSettings& settings) {
  task->data.resize(input.size);
  const int fd = ::open(input.source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    task->error = Reason("cannot read " + input.source);
    return;
  }
  const bool read = ReadAt(fd, task->data.data(), task->data.size(), 0);
  const int readError = errno;
  struct stat after;
  const bool examined = ::fstat(fd, &after) == 0;
  ::close(fd);
  if (!read) {
    task->error = "cannot read " + input.source + ": " +
                  (readError != 0 ? std::strerror(readError) : "it became shorter while it was read");
    return;
  }
  // The release must not change under the build: its hash would not match its copy.
  if (!examined || !SameFile(after, input.size, input.mtime)) {
    task->error = input.source + " changed while it was read";
    return;
  }
  PackOutput output;
  output.hash = XXH3_64bits(task->data.data(), task->data.size());
  const std::vector<unsigned char>* stored = &task->data;
  if (input.compress) {
    if (!deflater->Member(task->data.data(), task->data.size(), &task->packed)) {
      task->error = "libdeflate failed on " + input.source;
      return;
    }
    output.compressed = task->packed.size() * 100 <= input.size * static_cast<uint64_t>(settings.maxShare);
    if (output.compressed) stored = &task->packed;
  }
  output.packedSize = stored->size();
  output.packedHash = output.compressed ? XXH3_64bits(stored->data(), stored->size()) : output.hash;
  if (settings.sha256 && !plat::Sha256(stored->data(), stored->size(), output.sha256)) {
    task->error = "cannot hash " + input.source;
    return;
  }
  output.path = settings.workDir + "/" + settings.name(index, output.packedHash, output.compressed);
  if (!WriteFile(output.path, stored->data(), stored->size(), &task->error)) return;
  task->outputs.push_back(std::move(output));
}

// One chunk of a large file: read and, when packed, its gzip member.
void RunChunk(Task* task, Deflater* deflater) {
  const PackInput& input = *task->input;
  task->data.resize(task->length);
  const int fd = ::open(input.source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    task->error = Reason("cannot read " + input.source);
    return;
  }
  const bool read = ReadAt(fd, task->data.data(), task->length, task->offset);
  const int readError = errno;
  ::close(fd);
  if (!read) {
    task->error = "cannot read " + input.source + ": " +
                  (readError != 0 ? std::strerror(readError) : "it became shorter while it was read");
    return;
  }
  if (input.compress && !deflater->Member(task->data.data(), task->data.size(), &task->packed))
    task->error = "libdeflate failed on " + input.source;
}

class Pool {
 public:
  Pool(int workers, const PackSettings& settings) : settings_(settings) {
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
    Deflater deflater(settings_.level);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      Task* task = queue_.front();
      queue_.pop_front();
      lock.unlock();
      if (task->whole) {
        for (size_t i = 0; i < task->count && task->error.empty(); ++i)
          RunWhole(task->index + i, task->input[i], task, &deflater, settings_);
        std::vector<unsigned char>().swap(task->data);
        std::vector<unsigned char>().swap(task->packed);
      } else {
        RunChunk(task, &deflater);
      }
      lock.lock();
      task->done = true;
      finished_.notify_all();
    }
  }

  const PackSettings& settings_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  std::deque<Task*> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// The output of a large file, joined from its chunks in order under a temporary name.
class Assembly {
 public:
  explicit Assembly(const PackSettings& settings)
      : settings_(settings), hash_(XXH3_createState()), packedHash_(XXH3_createState()) {}
  ~Assembly() {
    Close();
    plat::AbandonSha256(sha256_);
    XXH3_freeState(hash_);
    XXH3_freeState(packedHash_);
  }

  bool Begin(size_t index, const PackInput& input, std::string* error) {
    index_ = index;
    input_ = &input;
    output_ = PackOutput();
    output_.compressed = input.compress;
    temporary_ = settings_.workDir + "/.pack-" + std::to_string(index);
    XXH3_64bits_reset(hash_);
    XXH3_64bits_reset(packedHash_);
    plat::AbandonSha256(sha256_);
    sha256_ = nullptr;
    if (settings_.sha256 && (sha256_ = plat::StartSha256()) == nullptr) {
      *error = "cannot hash " + input.source;
      return false;
    }
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      *error = Reason("cannot write " + temporary_);
      return false;
    }
    return true;
  }

  bool Add(const Task& task, std::string* error) {
    XXH3_64bits_update(hash_, task.data.data(), task.data.size());
    const std::vector<unsigned char>& stored = input_->compress ? task.packed : task.data;
    XXH3_64bits_update(packedHash_, stored.data(), stored.size());
    if (sha256_ != nullptr && !plat::AddToSha256(sha256_, stored.data(), stored.size())) {
      *error = "cannot hash " + input_->source;
      return false;
    }
    output_.packedSize += stored.size();
    if (WriteAll(fd_, stored.data(), stored.size())) return true;
    *error = Reason("cannot write " + temporary_);
    return false;
  }

  // Names the output; a gzip file larger than --max-share allows gives way to a copy.
  bool Finish(std::string* error) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
      *error = Reason("cannot write " + temporary_);
      return false;
    }
    // The release must not change under the build: its hash would not match its copy.
    if (!Unchanged(input_->source, input_->size, input_->mtime)) {
      *error = input_->source + " changed while it was read";
      return false;
    }
    output_.hash = XXH3_64bits_digest(hash_);
    output_.packedHash = XXH3_64bits_digest(packedHash_);
    const plat::Sha256Handle sha256 = sha256_;
    sha256_ = nullptr;
    if (output_.compressed && output_.packedSize * 100 > input_->size * static_cast<uint64_t>(settings_.maxShare)) {
      // Not worth it: serve the file as it is. Its SHA-256 is taken from the release's
      // file, which was read a moment ago and so comes from the page cache (the copy
      // may share the file's blocks without being in the cache itself).
      plat::AbandonSha256(sha256);
      ::unlink(temporary_.c_str());
      output_.compressed = false;
      output_.packedSize = input_->size;
      output_.packedHash = output_.hash;
      output_.path = settings_.workDir + "/" + settings_.name(index_, output_.hash, false);
      if (!CopyFile(input_->source, output_.path, error)) return false;
      if (settings_.sha256 && !Sha256OfFile(input_->source, output_.sha256, error)) return false;
      if (!Unchanged(input_->source, input_->size, input_->mtime)) {
        *error = input_->source + " changed while it was read";
        return false;
      }
      return true;
    }
    if (sha256 != nullptr && !plat::FinishSha256(sha256, output_.sha256)) {
      *error = "cannot hash " + input_->source;
      return false;
    }
    output_.path = settings_.workDir + "/" + settings_.name(index_, output_.packedHash, output_.compressed);
    if (::rename(temporary_.c_str(), output_.path.c_str()) != 0) {
      *error = Reason("cannot write " + output_.path);
      return false;
    }
    return true;
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  const PackOutput& output() const { return output_; }

 private:
  const PackSettings& settings_;
  size_t index_ = 0;
  const PackInput* input_ = nullptr;
  std::string temporary_;
  PackOutput output_;
  XXH3_state_t* hash_;
  XXH3_state_t* packedHash_;
  plat::Sha256Handle sha256_ = nullptr;  // of the bytes written, with settings.sha256
  int fd_ = -1;
};

}  // namespace

bool WriteAll(int fd, const void* data, size_t length) {
  const unsigned char* next = static_cast<const unsigned char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, next, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    next += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool Unchanged(const std::string& path, uint64_t size, const timespec& mtime) {
  struct stat now;
  return ::stat(path.c_str(), &now) == 0 && SameFile(now, size, mtime);
}

bool PackFiles(const std::vector<PackInput>& inputs, const PackSettings& settings,
               const std::function<bool(size_t, const PackOutput&, std::string*)>& done, std::string* error) {
  const int jobs = settings.jobs < 1 ? 1 : settings.jobs;
  Pool pool(jobs, settings);
  std::deque<std::unique_ptr<Task>> window;
  const size_t windowSize = static_cast<size_t>(jobs) * 4;
  Assembly assembly(settings);
  bool ok = true;

  // Takes back the oldest task in flight.
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
    if (task->whole) {
      for (size_t i = 0; i < task->outputs.size() && ok; ++i) ok = done(task->index + i, task->outputs[i], error);
      return;
    }
    if (task->offset == 0 && !assembly.Begin(task->index, *task->input, error)) {
      ok = false;
      return;
    }
    if (!assembly.Add(*task, error)) {
      ok = false;
      return;
    }
    if (task->last) ok = assembly.Finish(error) && done(task->index, assembly.output(), error);
  };

  for (size_t i = 0; i < inputs.size() && ok;) {
    if (inputs[i].size <= kChunk) {
      // A run of small files, up to a chunk's worth, in one task.
      auto task = std::make_unique<Task>();
      task->whole = true;
      task->index = i;
      task->input = &inputs[i];
      uint64_t bytes = 0;
      while (i < inputs.size() && inputs[i].size <= kChunk && (task->count == 0 || bytes + inputs[i].size <= kChunk)) {
        bytes += inputs[i].size;
        ++task->count;
        ++i;
      }
      pool.Submit(task.get());
      window.push_back(std::move(task));
      while (window.size() >= windowSize && ok) consume();
      continue;
    }
    uint64_t offset = 0;
    do {
      const uint64_t length = inputs[i].size - offset < kChunk ? inputs[i].size - offset : kChunk;
      auto task = std::make_unique<Task>();
      task->index = i;
      task->input = &inputs[i];
      task->offset = offset;
      task->length = static_cast<uint32_t>(length);
      task->last = offset + length >= inputs[i].size;
      offset += length;
      pool.Submit(task.get());
      window.push_back(std::move(task));
      while (window.size() >= windowSize && ok) consume();
    } while (offset < inputs[i].size && ok);
    ++i;
  }
  // Every task submitted is waited for: a worker may still hold one.
  while (!window.empty()) consume();
  assembly.Close();
  return ok;
}

}  // namespace publish
