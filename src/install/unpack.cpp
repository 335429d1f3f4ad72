#include "install/unpack.h"

#include <cstring>

#include "install/install.h"
#include "patchlist/patch_entry.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "ui/progress_window.h"

namespace {

// The one copy buffer of the program, used only by the worker (one entry at a time).
char g_copyBuffer[16384];

constexpr size_t kPathCapacity = 1024;
constexpr char kDamaged[] = "File is damaged. ZidoDiruv cannot continue.";
constexpr char kCannotWrite[] = "Uncompress file.";

// The worker's report that the run cannot go on. The window may have ended already
// (the close that stopped the worker); the refused post is then of no consequence.
void PostClose(plat::WindowHandle window) { plat::PostToWindow(window, plat::kMsgClose, 0, 0); }

// The worker's end after a failed system call: the system's text, then WM_CLOSE.
bool EndWithSystemError(plat::WindowHandle window, uint32_t code) {
  ShowSystemError(window, code);
  PostClose(window);
  return false;
}

// Unpacks and installs the entry under the cursor. True when the worker may wait for
// the next one; false when it must end (failure or stop: WM_CLOSE has been posted).
bool UnpackCurrentEntry(const UnpackWork& work) {
  const plat::WindowHandle window = work.window;
  // A wake-up always comes with an entry under the cursor; without one the walk
  // could never move on, so the run is ended rather than left waiting.
  const EntryNode* node = *work.cursor;
  PatchEntry* entry = node != nullptr ? static_cast<PatchEntry*>(node->value) : nullptr;
  if (entry == nullptr) {
    PostClose(window);
    return false;
  }

  // zlib opens by name: it is given the name as the disk spells it. A failed
  // resolution leaves its reason in the system's code; a failed gzopen in the run-time
  // library's.
  char readPath[kPathCapacity];
  if (!plat::ResolvePath(entry->stagingPath, readPath, sizeof readPath)) {
    return EndWithSystemError(window, plat::LastErrorCode());
  }
  gzFile stream = gzopen(readPath, "rb");
  if (stream == nullptr) {
    return EndWithSystemError(window, plat::RuntimeErrorCode());
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
    return EndWithSystemError(window, code);
  }

  bool unpacked = UnpackStream(work, stream, output, entry->unpackedSize);
  gzclose(stream);
  // Data still in the output's buffer is written by the close: a full disk can show
  // first here, and a short file must not be installed as if it were whole.
  const bool closed = std::fclose(output) == 0;
  if (unpacked && !closed) {
    ShowErrorBox(window, kCannotWrite, plat::kBoxOk);
    unpacked = false;
  }
  if (!unpacked) {
    plat::RemoveFile(outputPath);
    PostClose(window);
    return false;
  }

  plat::RemoveFile(entry->stagingPath);
  entry->CutStagingPath(outputLength);
  if (!InstallStagedEntry(*entry)) {
    // Reported like the worker's other failures; the unpacked file is removed by the
    // shutdown with the other staged files.
    return EndWithSystemError(window, plat::LastErrorCode());
  }
  // From here on the window owns the entry again (FinishUnpack moves the cursor).
  plat::PostToWindow(window, WM_PATCH_UNPACK_DONE, 0, 0);
  return true;
}

}  // namespace

unsigned RunUnpackWorker(const UnpackWork& work) {
  for (;;) {
    // Stop first, so it wins when both are signalled. A failed wait (an event was not
    // created) is no request to unpack and there is no entry: the thread ends without
    // touching the run, which the window is closing already.
    const int woke = plat::WaitForEither(work.stopEvent, work.unpackEvent, plat::kWaitForever);
    if (woke != 1) return 0;
    // Only now is the cursor's entry the worker's: it was placed before the signal.
    if (!UnpackCurrentEntry(work)) return 0;
  }
}

bool UnpackStream(const UnpackWork& work, gzFile stream, std::FILE* output, int32_t unpackedSize) {
  const uint32_t listed = unpackedSize > 0 ? static_cast<uint32_t>(unpackedSize) : 0;
  uint32_t written = 0;
  for (;;) {
    // A stop is noticed within one block; the poll takes the signal.
    if (plat::PollEvent(work.stopEvent) == 0) return false;
    // Never more than one byte past the listed size is asked for: that byte alone tells
    // a file longer than listed, however much more its data would unpack to.
    const uint32_t room = listed - written;
    const unsigned want = room < sizeof g_copyBuffer ? room + 1 : static_cast<unsigned>(sizeof g_copyBuffer);
    const int n = gzread(stream, g_copyBuffer, want);
    if (n < 0 || static_cast<uint32_t>(n) > room) {
      ShowErrorBox(work.window, kDamaged, plat::kBoxOk);
      return false;
    }
    if (n == 0) {
      // zlib reports a stream cut short (no end of the deflate data, or no trailer) as
      // the end of the data, with Z_BUF_ERROR left behind: a truncated download is as
      // damaged as a corrupt one, and so is a whole stream shorter than listed.
      int error = Z_OK;
      gzerror(stream, &error);
      if (error != Z_OK || written != listed) {
        ShowErrorBox(work.window, kDamaged, plat::kBoxOk);
        return false;
      }
      return true;
    }
    if (std::fwrite(g_copyBuffer, 1, static_cast<size_t>(n), output) != static_cast<size_t>(n)) {
      ShowErrorBox(work.window, kCannotWrite, plat::kBoxOk);
      return false;
    }
    written += static_cast<uint32_t>(n);
    plat::PostToWindow(work.window, WM_PATCH_UNPACK_PROGRESS, written, 0);
  }
}
