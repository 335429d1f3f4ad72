#include "app/download_hash.h"

#include <algorithm>
#include <cstring>
#include <new>

DownloadHasher::~DownloadHasher() {
  Stop();
  delete[] ring_;
}

unsigned DownloadHasher::ThreadMain(void* self) {
  static_cast<DownloadHasher*>(self)->Run();
  return 0;
}

bool DownloadHasher::Begin() {
  std::unique_lock<std::mutex> lock(mu_);
  if (stopping_) return false;
  // The digest before this one has been finished or abandoned; its last piece may still
  // be in the thread's hands.
  changed_.wait(lock, [this] { return !active_ && !busy_; });
  if (ring_ == nullptr) ring_ = new (std::nothrow) uint8_t[kRingSize];
  if (ring_ == nullptr) return false;
  if (thread_ == nullptr) thread_ = plat::StartThread(ThreadMain, this);
  if (thread_ == nullptr) return false;
  hash_ = plat::StartSha256();
  if (hash_ == nullptr) return false;
  head_ = tail_ = 0;
  active_ = true;
  finishing_ = dropping_ = failed_ = haveDigest_ = false;
  return true;
}

void DownloadHasher::Data(const void* bytes, size_t length) {
  const uint8_t* from = static_cast<const uint8_t*>(bytes);
  std::unique_lock<std::mutex> lock(mu_);
  while (length > 0) {
    if (head_ - tail_ == kRingSize) {
      dataWaiting_ = true;  // the thread hashes what it has, whatever the batch
      changed_.wait(lock, [this] { return stopping_ || !active_ || dropping_ || head_ - tail_ < kRingSize; });
      dataWaiting_ = false;
    }
    if (stopping_ || !active_ || dropping_) return;
    const size_t at = static_cast<size_t>(head_ % kRingSize);
    const size_t free = kRingSize - static_cast<size_t>(head_ - tail_);
    const size_t n = std::min({length, free, kRingSize - at});
    // [head_, head_ + n) is free: the thread reads only below head_.
    lock.unlock();
    std::memcpy(ring_ + at, from, n);
    lock.lock();
    head_ += n;
    from += n;
    length -= n;
    if (threadWaiting_ && head_ - tail_ >= kBatch) toThread_.notify_one();
  }
}

bool DownloadHasher::Finish(uint8_t digest[plat::kSha256Size]) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!active_) return false;
  finishing_ = true;
  toThread_.notify_one();
  changed_.wait(lock, [this] { return !active_ || stopping_; });
  if (!haveDigest_) return false;
  std::memcpy(digest, digest_, sizeof digest_);
  return true;
}

void DownloadHasher::Abandon() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!active_) return;
  dropping_ = true;
  toThread_.notify_one();
  changed_.notify_all();
}

void DownloadHasher::Stop() {
  plat::ThreadHandle thread = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    thread = thread_;
    thread_ = nullptr;
    toThread_.notify_one();
    changed_.notify_all();
  }
  if (thread != nullptr) plat::JoinAndCloseThread(thread);
  if (hash_ != nullptr) plat::AbandonSha256(hash_);
  hash_ = nullptr;
  active_ = false;
}

void DownloadHasher::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    threadWaiting_ = true;
    toThread_.wait(lock, [this] {
      // A full ring is hashed whatever the batch; an emptied one waits, also while Data has
      // yet to take the lock back after its wait.
      return stopping_ ||
             (active_ && (head_ - tail_ >= kBatch || finishing_ || dropping_ || (dataWaiting_ && head_ != tail_)));
    });
    threadWaiting_ = false;
    if (stopping_) return;
    if (dropping_) {
      plat::AbandonSha256(hash_);
      hash_ = nullptr;
      tail_ = head_;
      active_ = false;
      changed_.notify_all();
      continue;
    }
    if (head_ != tail_) {
      const size_t at = static_cast<size_t>(tail_ % kRingSize);
      const size_t n = std::min({static_cast<size_t>(head_ - tail_), kRingSize - at, kMaxPiece});
      busy_ = true;
      lock.unlock();
      const bool ok = plat::AddToSha256(hash_, ring_ + at, n);
      lock.lock();
      busy_ = false;
      if (!ok) failed_ = true;
      tail_ += n;
      if (dataWaiting_) changed_.notify_all();
      continue;
    }
    if (!finishing_) continue;
    // Every byte given is hashed.
    haveDigest_ = plat::FinishSha256(hash_, digest_) && !failed_;
    hash_ = nullptr;
    active_ = false;
    changed_.notify_all();
  }
}
