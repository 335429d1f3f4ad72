// The network half of a run, one asynchronous step at a time: connect and log on,
// fetch the list, then walk the queue with one connection and one download per
// entry. Each step is issued with the Patcher as context and continued by the FTP
// client's notifications, which TransferStatusCallback routes here by `state`.
//
// Order rules that keep the record consistent without a lock: one client operation
// at a time, `state` written before the call whose notifications it routes, `cursor`
// moved only when the current step has completed, and nothing of the record touched
// after a call has been issued (its notifications may already be running).
//
// The list bounds every download (DownloadBound); the FTP client breaks a transfer off
// at its bound, so a server that sends more than the list says, whatever it states of
// the size itself, fails as any failed download does and fills no disk.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/patcher.h"
#include "install/install.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "ui/status.h"

namespace {

const char kListQuestion[] =
    "Network error, ZidoDiruv cannot continue.\n\nDo you want to run the game without ZidoDiruv?";
const char kFileQuestion[] =
    "Network error, ZidoDiruv cannot continue.\n\nDo you want to try again with previous ZidoDiruv?\n"
    "It will use the default directory.";

const plat::FtpAsyncResult* AsResult(const void* information) {
  return static_cast<const plat::FtpAsyncResult*>(information);
}

bool Failed(const void* information) { return information == nullptr || AsResult(information)->error != 0; }

// The connection's handle, announced before its connect completes.
void TakeConnection(Patcher& p, const void* information) {
  if (information != nullptr) p.connectionHandle = reinterpret_cast<plat::FtpHandle>(AsResult(information)->result);
}

// The most the list file may hold, and an 'A' entry: an 'A' file is fetched every
// time and publishers replace such files (a notice) on the server without touching the
// list, so its listed size is no promise. Both are far above any real list or notice;
// they only keep an endless transfer from filling the disk.
constexpr uint64_t kListCeiling = 64u << 20;
constexpr uint64_t kAlwaysCeiling = 64u << 20;

// What a 'Z' file may take on the wire beyond its listed unpacked size: gzip's overhead
// for data it could not compress, which deflate then keeps in stored blocks. Each stored
// block costs 5 bytes (its header bits padded to a byte, the length and its complement)
// and holds at most 65,535 bytes, but encoders cut them smaller: GNU gzip every 32 KiB,
// zlib every 16 KiB at its default memory level and every 4 KiB at level 6. One block
// per started 4 KiB is allowed, and one more for the last. Then gzip's 10-byte header and 8-byte trailer, and 64 KiB
// for the header's optional fields: the file name (plain gzip writes it), a comment or
// an extra field. The listed compressed size is not used: it only feeds the figures, and
// lists written by hand may carry stale ones that work. Whatever passes this bound is
// judged by the unpacking, which stops at the listed unpacked size.
constexpr uint64_t kStoredBlockHeader = 5;
constexpr uint64_t kStoredBlockEvery = 4096;
constexpr uint64_t kGzipHeaderAndTrailer = 10 + 8;
constexpr uint64_t kGzipOptionalFields = 64u << 10;

uint64_t GzipBound(int32_t unpackedSize) {
  const uint64_t size = unpackedSize > 0 ? static_cast<uint64_t>(unpackedSize) : 0;
  return size + kStoredBlockHeader * (size / kStoredBlockEvery + 1) + kGzipHeaderAndTrailer + kGzipOptionalFields;
}

// What the server may send for an entry. 'C' and 'P' files are installed as they
// arrive, so they must be exactly their listed size: one that ended short would be
// installed and, never matching the list, fetched again on every run.
plat::FtpSizeBound DownloadBound(const PatchEntry& entry) {
  switch (entry.kind) {
    case 'C':
    case 'P': return plat::FtpSizeBound{static_cast<uint64_t>(entry.size > 0 ? entry.size : 0), true};
    case 'Z': return plat::FtpSizeBound{GzipBound(entry.unpackedSize), false};
    default: return plat::FtpSizeBound{kAlwaysCeiling, false};
  }
}

// Adds without overflowing: the counters are signed 32-bit and stop at their maximum.
int32_t AddSaturated(int32_t total, uint32_t n) {
  const int64_t sum = static_cast<int64_t>(total) + static_cast<int64_t>(n);
  return sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
}

// "[<file>/<files>] <name><suffix>" in the status line.
void ShowFileStatus(Patcher& p, const char* name, const char* suffix, bool force) {
  char prefix[40];
  std::snprintf(prefix, sizeof prefix, "[%d/%d] ", static_cast<int>(p.fileIndex), static_cast<int>(p.fileCount));
  char text[128];
  ComposeWithName(text, prefix, name, suffix);
  p.ShowStatus(text, force);
}

// A connection failed: remember it, ask whether to start the game anyway, close.
void ConnectionFailed(Patcher& p, const char* question) {
  p.networkFailed = 1;
  if (p.Box(question, plat::kBoxYesNo) == plat::kIdYes) p.launchAfterFailure = 1;
  p.SendCloseAndLeave();
}

// Issues the connect and log-on. One that cannot even be started gets no
// notification, so it is the failed connection at once rather than a run that
// waits forever.
void IssueConnect(Patcher& p, const char* question) {
  if (plat::FtpConnectAsync(p.internetHandle, p.serverAddress, static_cast<uint16_t>(p.serverPort), p.userId,
                            p.password, reinterpret_cast<uintptr_t>(&p)) == nullptr &&
      !p.ClosingStarted())
    ConnectionFailed(p, question);
}

// Issues a download on the current connection; a download that was not started is
// shown with the system's text and ends the run.
void IssueDownload(Patcher& p, const char* remote, const char* local, plat::FtpSizeBound bound) {
  if (plat::FtpGetFileAsync(p.connectionHandle, remote, local, bound, reinterpret_cast<uintptr_t>(&p))) return;
  p.ReportSystemError(plat::LastErrorCode());
  p.SendCloseAndLeave();
}

}  // namespace

void Patcher::ConnectToServer() {
  if (ClosingStarted()) return;
  state.store(Connecting);
  IssueConnect(*this, kListQuestion);
}

void Patcher::HandleConnecting(uint32_t status, const void* information) {
  if (status == plat::kFtpResolvingName) ShowStatus("Connecting to ZidoDiruv Server...", true);
  if (status == plat::kFtpHandleCreated) TakeConnection(*this, information);
  if (status != plat::kFtpRequestComplete) return;
  if (Failed(information)) {
    ConnectionFailed(*this, kListQuestion);
    return;
  }
  ShowStatus("Successfully connected.", true);
  char remote[1024];
  const size_t length = std::strlen(baseDirectory);
  const bool endsWithSlash = length > 0 && baseDirectory[length - 1] == '/';
  std::snprintf(remote, sizeof remote, "%s%s%s", baseDirectory, endsWithSlash ? "" : "/", listFileName);
  state.store(FetchingList);
  IssueDownload(*this, remote, listTempPath, plat::FtpSizeBound{kListCeiling, false});
}

void Patcher::HandleFetchingList(uint32_t status, const void* information) {
  if (status == plat::kFtpResponseReceived) ShowStatus("Getting patch file list...", false);
  if (status != plat::kFtpRequestComplete) return;
  if (Failed(information)) {
    Box("Cannot receive patch file.", plat::kBoxOk);
    SendCloseAndLeave();
    return;
  }
  plat::FtpCloseHandle(connectionHandle.exchange(nullptr));
  ShowStatus("Confirming patch file list...", true);
  ParsePatchList(listTempPath, entries);
  if (entries.head == nullptr) {
    // Nothing to do: the game is started ("Patch installed." is not shown).
    plat::PostToWindow(hwnd, WM_PATCH_FINISH, 0, 0);
    return;
  }
  state.store(ConnectingForFile);
  cursor = entries.head;
  ProcessQueue();
}

void Patcher::ProcessQueue() {
  while (cursor != nullptr) {
    PatchEntry* entry = static_cast<PatchEntry*>(cursor->value);
    if (entry->kind == 'D') {
      plat::RemoveFile(entry->localPath);  // an absent file is no failure
      cursor = cursor->next;
      continue;
    }
    IssueConnect(*this, kFileQuestion);
    return;
  }
  ShowStatus("Patch installed.", true);
  if (pendingPatcher != nullptr) {
    SendCloseAndLeave();  // the shutdown starts the hand-off
  } else {
    plat::PostToWindow(hwnd, WM_PATCH_FINISH, 0, 0);
  }
}

void Patcher::HandleConnectingForFile(uint32_t status, const void* information) {
  if (status == plat::kFtpHandleCreated) {
    TakeConnection(*this, information);
    SetBarPosition(0);
  }
  if (status != plat::kFtpRequestComplete) return;
  if (Failed(information)) {
    ConnectionFailed(*this, kFileQuestion);
    return;
  }
  PatchEntry* entry = static_cast<PatchEntry*>(cursor->value);
  lastStatusTick = 0;
  ++fileIndex;
  fileStartTick = tick();
  fileBytes = 0;
  SetBarRange();
  CreateParentDirectories(entry->stagingPath);
  state.store(FetchingFile);
  IssueDownload(*this, entry->remotePath, entry->stagingPath, DownloadBound(*entry));
}

void Patcher::HandleFetchingFile(uint32_t status, const void* information) {
  PatchEntry* entry = static_cast<PatchEntry*>(cursor->value);
  if (status == plat::kFtpResponseReceived) {
    const uint32_t n = information != nullptr ? *static_cast<const uint32_t*>(information) : 0;
    fileBytes = AddSaturated(fileBytes, n);
    totalReceived = AddSaturated(totalReceived, n);
    ShowFileStatus(*this, entry->listedName, " receiving...", false);
  }
  if (status != plat::kFtpRequestComplete) return;
  if (Failed(information)) {
    char text[128];
    ComposeWithName(text, "", entry->remotePath, " cannot receive file.");
    Box(text, plat::kBoxOk);
    SendCloseAndLeave();
    return;
  }
  plat::FtpCloseHandle(connectionHandle.exchange(nullptr));
  switch (entry->kind) {
    case 'P':
      // The new patcher, handed over to at the end; a later one replaces an earlier
      // one. A patcher's file that is not this program's own (a list written for
      // another build of the patcher names that build's file) is installed as any
      // file is, so the installation stays whole and the next run finds it current.
      if (plat::IsOwnProgramFile(entry->localPath)) {
        pendingPatcher = entry;
        break;
      }
      [[fallthrough]];
    case 'C':
      // A file that cannot be put in place ends the run like any other failure;
      // what was installed before it stays.
      if (!InstallEntry(entry)) {
        ReportSystemError(plat::LastErrorCode());
        SendCloseAndLeave();
        return;
      }
      break;
    case 'Z':
      StartUnpack(entry);  // the worker's done message moves the walk on
      return;
    default:
      // The staged file stays until the shutdown removes it.
      Box("Patch file type is not right.", plat::kBoxOk);
      break;
  }
  state.store(ConnectingForFile);
  cursor = cursor->next;
  ProcessQueue();
}

void Patcher::StartUnpack(PatchEntry* entry) {
  SetBarPosition(0);
  // The state is still FetchingFile here, so the status shows the finished download's
  // figures once more.
  ShowFileStatus(*this, entry != nullptr ? entry->listedName : "", " uncompressing file...", true);
  state.store(Unpacking);
  plat::SignalEvent(unpackEvent);
}

void Patcher::FinishUnpack() {
  if (ClosingStarted() || cursor == nullptr) return;
  state.store(ConnectingForFile);
  cursor = cursor->next;
  ProcessQueue();
}
