// The unpacking worker: gzip staging files of 'Z' entries are unpacked beside
// themselves on a thread of their own, then installed; the window hears of it only
// through posted messages, so it keeps painting and answering EX meanwhile.
#include <cstdio>
#include <cstring>

#include "app/patcher.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/window.h"
#include "ui/status.h"

namespace {

// The one copy buffer of the program, used only by the worker (one entry at a time).
char g_copyBuffer[16384];

constexpr size_t kPathCapacity = 1024;
constexpr int32_t kBarMaximum = 1000;


// The worker's report that the run cannot go on. The window may have ended already
// (the close that stopped the worker); the refused post is then of no consequence.
void PostClose(plat::WindowHandle window) { plat::PostToWindow(window, plat::kMsgClose, 0, 0); }

// Unpacks and installs the entry under the cursor. True when the worker may wait for
// the next one; false when it must end (failure or stop: WM_CLOSE has been posted).
bool UnpackCurrentEntry(Patcher* p) {
  const plat::WindowHandle window = p->hwnd;
  // A wake-up always comes with an entry under the cursor; without one the walk
  // could never move on, so the run is ended rather than left waiting.
  PatchEntry* entry = p->cursor != nullptr ? static_cast<PatchEntry*>(p->cursor->value) : nullptr;
  if (entry == nullptr) {
    PostClose(window);
    return false;
  }

  // zlib opens by name: it is given the name as the disk spells it. A failed
  // resolution leaves its reason in the system's code; a failed gzopen in the run-time
  // library's.
  char readPath[kPathCapacity];
  if (!plat::ResolvePath(entry->stagingPath, readPath, sizeof readPath)) {
    p->ReportSystemError(plat::LastErrorCode());
    PostClose(window);
    return false;
  }
  gzFile stream = gzopen(readPath, "rb");
  if (stream == nullptr) {
    p->ReportSystemError(plat::RuntimeErrorCode());
    PostClose(window);
    return false;
  }

  // The output is the staging path less its last three characters (".gz").
  char outputPath[kPathCapacity];
  size_t stagingLength = std::strlen(entry->stagingPath);
  if (stagingLength >= kPathCapacity) stagingLength = kPathCapacity - 1;
  const size_t outputLength = stagingLength >= 3 ? stagingLength - 3 : 0;
  std::memcpy(outputPath, entry->stagingPath, outputLength);
  outputPath[outputLength] = '\0';

  // A leftover output, even a read-only one, goes before the new one is created.
  plat::MakeWritable(outputPath);
  plat::RemoveFile(outputPath);

  FILE* output = plat::OpenFileForWriting(outputPath);
  if (output == nullptr) {
    const uint32_t code = plat::LastErrorCode();
    gzclose(stream);
    p->ReportSystemError(code);
    PostClose(window);
    return false;
  }

  bool unpacked = p->UnpackFile(stream, output);
  gzclose(stream);
  // Data still in the output's buffer is written by the close: a full disk can show
  // first here, and a short file must not be installed as if it were whole.
  const bool closed = std::fclose(output) == 0;
  if (unpacked && !closed) {
    p->Box("Uncompress file.", plat::kBoxOk);
    unpacked = false;
  }
  if (!unpacked) {
    plat::RemoveFile(outputPath);
    PostClose(window);
    return false;
  }

  plat::RemoveFile(entry->stagingPath);
  std::memcpy(entry->stagingPath, outputPath, outputLength + 1);
  if (!p->InstallEntry(entry)) {
    // Reported like the worker's other failures; the unpacked file is removed by the
    // shutdown with the other staged files.
    p->ReportSystemError(plat::LastErrorCode());
    PostClose(window);
    return false;
  }
  // From here on the window owns the entry again (FinishUnpack moves the cursor).
  plat::PostToWindow(window, WM_PATCH_UNPACK_DONE, 0, 0);
  return true;
}

}  // namespace

unsigned UnpackWorker(void* argument) {
  Patcher* p = static_cast<Patcher*>(argument);
  // Both events are created before the worker starts and stay until it has ended.
  const plat::EventHandle stop = p->stopEvent;
  const plat::EventHandle unpack = p->unpackEvent;
  for (;;) {
    // Stop first, so it wins when both are signalled. A failed wait (an event was not
    // created) is no request to unpack and there is no entry: the thread ends without
    // touching the record, which the window is closing already.
    const int woke = plat::WaitForEither(stop, unpack, plat::kWaitForever);
    if (woke != 1) return 0;
    // Only now is the cursor's entry the worker's: StartUnpack placed it before the signal.
    if (!UnpackCurrentEntry(p)) return 0;
  }
}

void Patcher::StartUnpack(PatchEntry* entry) {
  SetBarPosition(0);
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "[%d/%d] ", static_cast<int>(fileIndex), static_cast<int>(fileCount));
  char text[128];
  ComposeWithName(text, prefix, entry != nullptr ? entry->listedName : "", " uncompressing file...");
  // The state is still FetchingFile here, so the status shows the finished download's
  // figures once more.
  ShowStatus(text, true);
  state.store(Unpacking);
  plat::SignalEvent(unpackEvent);
}

bool Patcher::UnpackFile(gzFile stream, FILE* output) {
  uint32_t written = 0;
  for (;;) {
    // A stop is noticed within one block; the poll takes the signal.
    if (plat::PollEvent(stopEvent) == 0) return false;
    const int n = gzread(stream, g_copyBuffer, sizeof g_copyBuffer);
    if (n < 0) {
      Box("File is damaged. ZidoDiruv cannot continue.", plat::kBoxOk);
      return false;
    }
    if (n == 0) {
      // zlib reports a stream cut short (no end of the deflate data, or no trailer) as
      // the end of the data, with Z_BUF_ERROR left behind: a truncated download is as
      // damaged as a corrupt one.
      int error = Z_OK;
      gzerror(stream, &error);
      if (error != Z_OK) {
        Box("File is damaged. ZidoDiruv cannot continue.", plat::kBoxOk);
        return false;
      }
      return true;
    }
    if (std::fwrite(g_copyBuffer, 1, static_cast<size_t>(n), output) != static_cast<size_t>(n)) {
      Box("Uncompress file.", plat::kBoxOk);
      return false;
    }
    written += static_cast<uint32_t>(n);
    plat::PostToWindow(hwnd, WM_PATCH_UNPACK_PROGRESS, written, 0);
  }
}

void Patcher::ShowUnpackProgress(uint32_t bytes) {
  if (ClosingStarted() || cursor == nullptr) return;
  const PatchEntry* entry = static_cast<const PatchEntry*>(cursor->value);
  if (entry == nullptr) return;
  int32_t position;
  if (entry->unpackedSize <= 0) {
    // No expected size to measure against: the bar is full once data has arrived.
    position = bytes > 0 ? kBarMaximum : 0;
  } else {
    const double ratio = static_cast<double>(bytes) / static_cast<double>(entry->unpackedSize) * kBarMaximum;
    // More data than listed gives a position past the end, which the bar shows as
    // full; the conversion itself must stay in range.
    position = ratio >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(ratio);
  }
  SetBarPosition(position);
}
