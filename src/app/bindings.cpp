// The Patcher's operations whose work a subsystem does: each hands the record's fields
// to the subsystem's functions, which know nothing of the record.
#include "app/patcher.h"
#include "handoff/handoff.h"
#include "install/install.h"
#include "install/unpack.h"
#include "patchlist/config.h"
#include "patchlist/patch_list.h"

namespace {

// What the unpacking worker works with; set before it starts (StartPatching).
UnpackWork WorkOf(Patcher& p) { return UnpackWork{p.hwnd, p.stopEvent, p.unpackEvent, &p.cursor}; }

}  // namespace

bool Patcher::ReadPatchConfig(const char* settingsPath) {
  return ReadPatchSettings(settingsPath, PatchSettings{serverAddress, serverPort, userId, password, baseDirectory,
                                                       listFileName, listTempPath});
}

bool Patcher::ParsePatchList(const char* listPath, EntryList& list) {
  return ParsePatchListFile(listPath, installDir, baseDirectory, list, &totalBytes, &fileCount);
}

bool Patcher::InstallEntry(PatchEntry* entry) { return entry != nullptr && InstallStagedEntry(*entry); }

unsigned UnpackWorker(void* patcher) { return RunUnpackWorker(WorkOf(*static_cast<Patcher*>(patcher))); }

bool Patcher::UnpackFile(gzFile stream, FILE* output) {
  const PatchEntry* entry = cursor != nullptr ? static_cast<const PatchEntry*>(cursor->value) : nullptr;
  return UnpackStream(WorkOf(*this), stream, output, entry != nullptr ? entry->unpackedSize : 0);
}

void Patcher::ShowUnpackProgress(uint32_t bytes) {
  if (ClosingStarted() || cursor == nullptr) return;
  const PatchEntry* entry = static_cast<const PatchEntry*>(cursor->value);
  if (entry != nullptr) SetBarPosition(UnpackBarPosition(bytes, entry->unpackedSize));
}

void Patcher::ShowStatus(const char* text, bool force) {
  const PatchEntry* entry = nullptr;
  if (state.load() == FetchingFile && cursor != nullptr) entry = static_cast<const PatchEntry*>(cursor->value);
  RefreshStatus(StatusView{hwnd, bar, lastStatusTick, tick, entry != nullptr, entry != nullptr ? entry->size : 0,
                           fileBytes, fileStartTick, totalBytes, totalReceived},
                text, force);
}

void Patcher::SetBarPosition(int32_t position) { PostBarPosition(hwnd, bar, position); }

void Patcher::SetBarRange() { PostBarRange(hwnd, bar); }

void Patcher::LaunchGame() {
  if (ClosingStarted()) return;
  StartGame(hwnd, installDir);
  plat::SendToWindow(hwnd, plat::kMsgClose, 0, 0);
}
