// The one record of a patch run and the operations that act on it.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>

#include <zlib.h>

#include "patchlist/entry_list.h"
#include "patchlist/list_signature.h"
#include "patchlist/patch_entry.h"
#include "platform/ftp.h"
#include "platform/sync.h"
#include "platform/window.h"
#include "ui/progress_window.h"
#include "ui/status.h"

enum PatcherState : int8_t {
  Idle = 0,
  Connecting = 1,
  FetchingList = 2,
  ConnectingForFile = 3,
  FetchingFile = 4,
  Unpacking = 5,
  Closing = 6,
};

class DownloadHasher;

class Patcher {
 public:
  Patcher();
  ~Patcher();

  // Start-up and the window (entry point, dialog procedure).
  bool RunPatchWindow(plat::ModuleHandle instance);
  void ReportSystemError(uint32_t code);
  void StartPatching();
  void ClosePatcher();

  // Settings.
  bool ReadPatchConfig(const char* settingsPath);

  // The transfer sequence.
  void ConnectToServer();
  void HandleConnecting(uint32_t status, const void* information);
  void HandleFetchingList(uint32_t status, const void* information);
  void HandleConnectingForFile(uint32_t status, const void* information);
  void HandleFetchingFile(uint32_t status, const void* information);
  void ProcessQueue();
  void FinishUnpack();

  // The patch list.
  bool ParsePatchList(const char* listPath, EntryList& list);

  // Installation and unpacking.
  // False when the staged file could not be put in place; LastErrorCode says why.
  bool InstallEntry(PatchEntry* entry);
  void StartUnpack(PatchEntry* entry);
  bool UnpackFile(gzFile stream, FILE* output);
  void ShowUnpackProgress(uint32_t bytes);

  // Status display.
  void ShowStatus(const char* text, bool force);
  // The bar's position and its range (0 to 1000). Every move of the bar goes through
  // these: each queues a message for the window's thread, and only for what the bar does
  // not show already.
  void SetBarPosition(int32_t position);
  void SetBarRange();

  // Hand-off.
  void LaunchGame();

  // Message box by the program's convention: owner hwnd, title, error icon.
  int Box(const char* text, uint32_t buttons);
  // Sends WM_CLOSE from a notification or worker thread; the sender touches nothing
  // of the record after this returns.
  void SendCloseAndLeave();
  // True once ClosePatcher has begun: late messages and notifications do nothing.
  bool ClosingStarted() const { return closeStarted.load(); }

  // The record, in order.
  plat::WindowHandle hwnd = nullptr;
  char serverAddress[256] = {};
  uint32_t serverPort = 0;
  char userId[256] = {};
  char password[256] = {};
  char baseDirectory[256] = {};
  char listFileName[256] = {};
  // Atomic: the shutdown on the UI thread closes them while a notification may be
  // storing or using them on the client's thread.
  std::atomic<plat::FtpHandle> internetHandle{nullptr};
  std::atomic<plat::FtpHandle> connectionHandle{nullptr};
  std::atomic<int8_t> state{Idle};
  uint8_t networkFailed = 0;
  uint8_t launchAfterFailure = 0;
  char installDir[1024] = {};
  char listTempPath[1024] = {};
  EntryList entries;
  int32_t totalBytes = 0;
  int32_t fileCount = 0;
  uint32_t lastStatusTick = 0;
  int32_t fileIndex = 0;
  EntryNode* cursor = nullptr;
  uint32_t fileStartTick = 0;
  int32_t fileBytes = 0;
  int32_t totalReceived = 0;
  PatchEntry* pendingPatcher = nullptr;
  plat::ThreadHandle workerThread = nullptr;
  plat::EventHandle unpackEvent = nullptr;
  plat::EventHandle stopEvent = nullptr;

  // Beyond the record: the clock (tests put their own in) and the close bookkeeping.
  uint32_t (*tick)() = nullptr;
  std::atomic<bool> closeStarted{false};
  std::atomic<bool> senderAwaitingClose{false};
  // What the bar was last sent.
  BarMemo bar;

  // Signed lists: the publisher's keys this installation holds (none: lists are taken
  // as they come), the downloaded list's signed block, whether its hash lines may be
  // used, and the digest of the download in progress with the hash it must match.
  ListPublicKeys keys;
  SignedList* signedList = nullptr;
  bool listHashes = false;
  DownloadHasher* hasher = nullptr;
  bool checkHash = false;
  bool hashing = false;  // the hasher follows the download in progress
  FileHash expectedHash;

 private:
  Patcher(const Patcher&) = delete;
  Patcher& operator=(const Patcher&) = delete;
};

// The dialog procedure of the progress window and the FTP client's status callback.
intptr_t PLAT_CALLBACK PatchDialogProc(plat::WindowHandle window, uint32_t message, uintptr_t wParam,
                         intptr_t lParam);
void PLAT_CALLBACK TransferStatusCallback(plat::FtpHandle handle, uintptr_t context, uint32_t status,
                            void* information, uint32_t informationLength);

// The worker thread's procedure (argument: the Patcher).
unsigned UnpackWorker(void* patcher);

// The entry point, shared by both builds.
int PatcherMain(plat::ModuleHandle instance, int argc, char** argv);
