// The SHA-256 of a download, taken while its bytes arrive.
//
// The FTP client shows each written piece to the hasher (on the client's thread); the
// hasher copies it into a ring and a thread of its own hashes from there, so the
// digest is ready a moment after the last byte and the transfer never waits for the
// hash unless the ring is full. The ring is small (1 MiB) so the bytes are still in the
// processor's cache when they are hashed. One download at a time: Begin, the client's Data
// calls, then Finish or Abandon.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/crypto.h"
#include "platform/ftp.h"
#include "platform/sync.h"

class DownloadHasher final : public plat::FtpDataObserver {
 public:
  DownloadHasher() = default;
  ~DownloadHasher();

  // Starts a new digest (and, the first time, the thread and the ring). False when the
  // thread, the ring or the hash cannot be had: the caller then has no digest to compare
  // and must treat the download as unverified.
  bool Begin();
  // From the FTP client: the next bytes of the download. Waits while the ring is full.
  void Data(const void* bytes, size_t length) override;
  // After the download completed: waits until every byte given has been hashed and
  // writes the digest. False when hashing failed or no digest was begun.
  bool Finish(uint8_t digest[plat::kSha256Size]);
  // Drops the digest in progress (a download that failed or was given up).
  void Abandon();
  // Ends the thread; later Data calls return at once. Called once the FTP client can no
  // longer call Data (its handles closed), before the hasher is destroyed.
  void Stop();

 private:
  static unsigned ThreadMain(void* self);
  void Run();

  static constexpr size_t kRingSize = 1u << 20;
  static constexpr size_t kMaxPiece = 256u << 10;  // hashed per lock
  // The thread is woken once this much is waiting (or at the end): pieces come in as
  // small as 16 KiB, and a wake-up per piece would cost more than hashing it.
  static constexpr size_t kBatch = 128u << 10;

  std::mutex mu_;
  std::condition_variable toThread_;  // the thread waits here
  std::condition_variable changed_;   // Data, Begin and Finish wait here
  bool threadWaiting_ = false;
  bool dataWaiting_ = false;
  plat::ThreadHandle thread_ = nullptr;
  uint8_t* ring_ = nullptr;
  // Guarded by mu_. `head_` counts bytes put into the ring, `tail_` bytes hashed; the
  // producer copies into the free part outside the lock, the thread hashes the filled
  // part outside the lock.
  uint64_t head_ = 0;
  uint64_t tail_ = 0;
  bool active_ = false;     // a digest is begun and not yet finished or abandoned
  bool finishing_ = false;  // Finish waits for the rest
  bool dropping_ = false;   // Abandon: the thread drops what is left
  bool busy_ = false;       // the thread hashes a piece outside the lock
  bool stopping_ = false;
  bool failed_ = false;
  bool haveDigest_ = false;
  plat::Sha256Handle hash_ = nullptr;
  uint8_t digest_[plat::kSha256Size] = {};

  DownloadHasher(const DownloadHasher&) = delete;
  DownloadHasher& operator=(const DownloadHasher&) = delete;
};
