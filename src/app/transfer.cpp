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
//
// Signed lists: with the publisher's keys in the installation, the list is acted on
// only when it is signed with one of them, not older than the newest one accepted and
// not expired, and each download is bound to its signed size. With or without keys, a
// file whose list line has a hash is hashed as it arrives and fails, before anything of
// it is used, when its bytes are not the ones the hash names.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "app/download_hash.h"
#include "app/patcher.h"
#include "install/install.h"
#include "patchlist/list_trust.h"
#include "platform/clock.h"
#include "platform/crypto.h"
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

// With a key, every file is bound to exactly the size the publisher signed for it.
plat::FtpSizeBound BoundFor(const Patcher& p, const PatchEntry& entry) {
  if (p.keys.count > 0 && p.checkHash)
    return plat::FtpSizeBound{static_cast<uint64_t>(p.expectedHash.size), true};
  return DownloadBound(entry);
}

const char kListNotSigned[] = "Patch file list is not signed by the game's publisher.";
const char kListRolledBack[] = "Patch file list is older than the one already installed.";
const char kListExpired[] = "Patch file list has expired.";
const char kFileChanged[] = " was changed, cannot install file.";
const char kFileNotSigned[] = " is not signed by the game's publisher.";

// Judges the downloaded list before anything of it is acted on. With a key: signed
// with one of them, not older than the newest list this installation accepted, not
// expired; the accepted sequence is then recorded. Without one every list is taken, and
// the hashes it carries are still checked. False (box shown) when the run must end.
bool AcceptList(Patcher& p) {
  const bool keyed = p.keys.count > 0;
  p.signedList = new (std::nothrow) SignedList;
  if (p.signedList == nullptr) {
    if (!keyed) return true;
    p.Box(kListNotSigned, plat::kBoxOk);
    return false;
  }
  const uint64_t accepted = keyed ? ReadAcceptedSequence(p.installDir) : 0;
  const ListVerdict verdict =
      JudgeListFile(p.listTempPath, p.keys, accepted, plat::CurrentUtcFileTime(), p.signedList, &p.listHashes);
  const char* refusal = nullptr;
  switch (verdict) {
    case ListVerdict::kAccepted: break;
    case ListVerdict::kNotSigned: refusal = kListNotSigned; break;
    case ListVerdict::kRolledBack: refusal = kListRolledBack; break;
    case ListVerdict::kExpired: refusal = kListExpired; break;
  }
  if (refusal != nullptr) {
    p.Box(refusal, plat::kBoxOk);
    return false;
  }
  // Recorded before any file is fetched, so a run that fails later still never takes an
  // older list. A sequence that cannot be written only leaves the older number.
  if (keyed && p.signedList->header().sequence > accepted)
    WriteAcceptedSequence(p.installDir, p.signedList->header().sequence);
  return true;
}

// The hash line of an entry's file, when the list's hashes are to be used.
bool FindHash(const Patcher& p, const PatchEntry& entry, FileHash* out) {
  return p.listHashes && p.signedList != nullptr &&
         p.signedList->FindFileHash(entry.listedName, std::strlen(entry.listedName), out);
}

// With a key no file is installed without a signed hash: a list that would have one
// fetched is refused before anything is done. False (box shown) then.
bool EveryDownloadSigned(Patcher& p) {
  if (p.keys.count == 0) return true;
  for (EntryNode* node = p.entries.head; node != nullptr; node = node->next) {
    const PatchEntry* entry = static_cast<const PatchEntry*>(node->value);
    FileHash hash;
    if (entry->kind == 'D' || FindHash(p, *entry, &hash)) continue;
    char text[128];
    ComposeWithName(text, "", entry->remotePath, kFileNotSigned);
    p.Box(text, plat::kBoxOk);
    return false;
  }
  return true;
}

// The digest of a staged file read back whole: for a download the hasher could not
// follow.
bool HashStagedFile(const char* path, uint8_t digest[plat::kSha256Size]) {
  char resolved[1024];
  if (!plat::ResolvePath(path, resolved, sizeof resolved)) return false;
  std::FILE* file = std::fopen(resolved, "rb");
  if (file == nullptr) return false;
  plat::Sha256Handle hash = plat::StartSha256();
  static char buffer[64u << 10];  // used only on the thread that completes downloads
  bool ok = hash != nullptr;
  for (size_t n; ok && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) ok = plat::AddToSha256(hash, buffer, n);
  ok = ok && std::ferror(file) == 0;
  std::fclose(file);
  if (!ok) {
    plat::AbandonSha256(hash);
    return false;
  }
  return plat::FinishSha256(hash, digest);
}

// Whether the download that just completed holds the bytes its hash line names.
bool DownloadMatches(Patcher& p, const PatchEntry& entry) {
  uint8_t digest[plat::kSha256Size];
  bool have = false;
  if (p.hashing) {
    p.hashing = false;
    have = p.hasher->Finish(digest);
  }
  if (!have) have = HashStagedFile(entry.stagingPath, digest);
  return have && std::memcmp(digest, p.expectedHash.sha256, sizeof digest) == 0;
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
void IssueDownload(Patcher& p, const char* remote, const char* local, plat::FtpSizeBound bound,
                   plat::FtpDataObserver* observer = nullptr) {
  if (plat::FtpGetFileAsync(p.connectionHandle, remote, local, bound, reinterpret_cast<uintptr_t>(&p), observer))
    return;
  const uint32_t error = plat::LastErrorCode();
  if (observer != nullptr) {
    p.hasher->Abandon();
    p.hashing = false;
  }
  p.ReportSystemError(error);
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
  if (!AcceptList(*this)) {
    SendCloseAndLeave();
    return;
  }
  ParsePatchList(listTempPath, entries);
  if (!EveryDownloadSigned(*this)) {
    SendCloseAndLeave();
    return;
  }
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
  // A file with a hash line is hashed as it arrives; without a hasher it is read back.
  checkHash = FindHash(*this, *entry, &expectedHash);
  hashing = false;
  if (checkHash) {
    if (hasher == nullptr) hasher = new (std::nothrow) DownloadHasher;
    hashing = hasher != nullptr && hasher->Begin();
  }
  state.store(FetchingFile);
  IssueDownload(*this, entry->remotePath, entry->stagingPath, BoundFor(*this, *entry),
                hashing ? hasher : nullptr);
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
    if (hashing) hasher->Abandon();
    hashing = false;
    char text[128];
    ComposeWithName(text, "", entry->remotePath, " cannot receive file.");
    Box(text, plat::kBoxOk);
    SendCloseAndLeave();
    return;
  }
  plat::FtpCloseHandle(connectionHandle.exchange(nullptr));
  // Bytes other than those the list's hash names fail as a failed download does, and
  // nothing of them stays: not unpacked, not installed, not handed over to.
  if (checkHash && !DownloadMatches(*this, *entry)) {
    plat::RemoveFile(entry->stagingPath);
    char text[128];
    ComposeWithName(text, "", entry->remotePath, kFileChanged);
    Box(text, plat::kBoxOk);
    SendCloseAndLeave();
    return;
  }
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
