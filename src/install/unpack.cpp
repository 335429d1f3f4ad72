// The unpacking worker. Until gzip entries are handled it only waits for the stop.
#include "app/patcher.h"

unsigned UnpackWorker(void* argument) {
  Patcher* p = static_cast<Patcher*>(argument);
  plat::EventHandle stop = p->stopEvent;
  plat::EventHandle unpack = p->unpackEvent;
  for (;;) {
    // A failed wait (an event was not created) is no request: end without touching
    // the record.
    const int woke = plat::WaitForEither(stop, unpack, plat::kWaitForever);
    if (woke != 1) return 0;
  }
}

void Patcher::StartUnpack(PatchEntry*) {}
bool Patcher::UnpackFile(gzFile, FILE*) { return false; }
void Patcher::ShowUnpackProgress(uint32_t) {}
