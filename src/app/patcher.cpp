// The Patcher record's life: construction, the window, the dialog procedure, the
// routing of FTP notifications, and the start and end of a run.
#include "app/patcher.h"

#include <new>
#include <thread>

#include "app/download_hash.h"
#include "handoff/handoff.h"
#include "patchlist/config.h"
#include "patchlist/list_trust.h"
#include "patchlist/patch_list.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "ui/dialog_layout.h"

namespace {

// Set on WM_INITDIALOG: how the dialog procedure finds the record.
Patcher* g_patcher = nullptr;
// The thread that runs the window.
std::thread::id g_uiThread;

bool NoHandlerRunning(void* argument) {
  Patcher* p = static_cast<Patcher*>(argument);
  // A handler that sent the WM_CLOSE now being handled is blocked in that send and
  // touches nothing once it returns; any other one must finish first.
  return plat::FtpCallbacksInFlight() == 0 || p->senderAwaitingClose.load();
}

bool WorkerEnded(void* argument) { return plat::ThreadFinished(static_cast<plat::ThreadHandle>(argument)); }

// Waits on the UI thread while serving sends; anywhere else (no window) it polls.
void WaitServing(plat::WindowHandle window, bool (*done)(void*), void* argument) {
  plat::WaitServingWindow(window, done, argument);
  while (!done(argument)) plat::SleepMs(1);
}

}  // namespace

Patcher::Patcher() {
  plat::InitWindowControls();
  tick = plat::TickCount;
}

Patcher::~Patcher() {
  if (g_patcher == this) g_patcher = nullptr;
  delete hasher;
  delete signedList;
}

bool Patcher::RunPatchWindow(plat::ModuleHandle instance) {
  return plat::RunModalDialog(instance, PatchDialogLayout(), PatchDialogProc,
                              reinterpret_cast<intptr_t>(this)) >= 0;
}

int Patcher::Box(const char* text, uint32_t buttons) { return ShowErrorBox(hwnd, text, buttons); }

void Patcher::ReportSystemError(uint32_t code) { ShowSystemError(hwnd, code); }

void Patcher::SendCloseAndLeave() {
  plat::WindowHandle window = hwnd;
  // On the UI thread the close runs inline; only another thread's send blocks on it.
  if (std::this_thread::get_id() != g_uiThread) senderAwaitingClose.store(true);
  // From here on the record may be released at any moment: only locals are used.
  plat::SendToWindow(window, plat::kMsgClose, 0, 0);
}

void Patcher::StartPatching() {
  FindInstallDir(installDir, sizeof installDir);
  char settingsPath[1024];
  // Without an installation there is nowhere to read settings from or patch into.
  if (installDir[0] == '\0' || !JoinPath(settingsPath, sizeof settingsPath, installDir, kSettingsFileName) ||
      !ReadPatchConfig(settingsPath)) {
    Box("Cannot read patch detail.", plat::kBoxOk);
    plat::SendToWindow(hwnd, plat::kMsgClose, 0, 0);
    return;
  }
  // A key that cannot be read must not turn into no key: that would take any list.
  if (!ReadInstallationKeys(settingsPath, &keys)) {
    Box("Cannot read the publisher's key (PUBLICKEY in VornPatch.ini).", plat::kBoxOk);
    plat::SendToWindow(hwnd, plat::kMsgClose, 0, 0);
    return;
  }
  // From here on the files service matches the list's names as the installation spells
  // them, and keeps every change of the run inside it.
  if (!plat::OpenInstallation(installDir)) {
    ReportSystemError(plat::LastErrorCode());
    plat::SendToWindow(hwnd, plat::kMsgClose, 0, 0);
    return;
  }
  uint32_t error = 0;
  internetHandle = plat::FtpOpenRoot("VornAuthPatch");
  if (internetHandle == nullptr) {
    error = plat::LastErrorCode();
  } else {
    plat::FtpSetStatusCallback(internetHandle, TransferStatusCallback);
    unpackEvent = plat::CreateAutoResetEvent();
    if (unpackEvent == nullptr) error = plat::LastErrorCode();
    stopEvent = plat::CreateAutoResetEvent();
    if (stopEvent == nullptr && error == 0) error = plat::LastErrorCode();
    // The worker starts even when an event is missing; it then ends by itself.
    workerThread = plat::StartThread(UnpackWorker, this);
    if (workerThread == nullptr && error == 0) error = plat::LastErrorCode();
    if (unpackEvent != nullptr && stopEvent != nullptr && workerThread != nullptr) {
      plat::PostToWindow(hwnd, WM_PATCH_CONNECT, 0, 0);
      return;
    }
  }
  ReportSystemError(error);
  plat::SendToWindow(hwnd, plat::kMsgClose, 0, 0);
}

void Patcher::ClosePatcher() {
  // WM_CLOSE has several senders on several threads; the shutdown runs once.
  if (closeStarted.exchange(true)) return;

  state.store(Closing);
  if (plat::FtpHandle connection = connectionHandle.exchange(nullptr)) plat::FtpCloseHandle(connection);
  if (plat::FtpHandle root = internetHandle.exchange(nullptr)) plat::FtpCloseHandle(root);
  // Nothing new is reported now, but a handler may still be running on the client's
  // thread (in a box, or sending to this window): let it finish before its fields are
  // read or anything it uses is freed.
  WaitServing(hwnd, NoHandlerRunning, this);

  // No download can show the hasher data any more.
  if (hasher != nullptr) {
    hasher->Stop();
    delete hasher;
    hasher = nullptr;
  }
  delete signedList;
  signedList = nullptr;

  // The launch reads what the handlers decided, so it follows their end.
  const bool handOffStarted =
      LaunchOnClose(hwnd, installDir, pendingPatcher, networkFailed != 0 && launchAfterFailure != 0);

  if (stopEvent != nullptr) plat::SignalEvent(stopEvent);
  if (workerThread != nullptr) {
    WaitServing(hwnd, WorkerEnded, workerThread);
    plat::JoinAndCloseThread(workerThread);
    workerThread = nullptr;
  }
  if (stopEvent != nullptr) {
    plat::CloseEventHandle(stopEvent);
    stopEvent = nullptr;
  }
  if (unpackEvent != nullptr) {
    plat::CloseEventHandle(unpackEvent);
    unpackEvent = nullptr;
  }

  // Staged files and the list; most are gone by now. A pending patcher's staging copy
  // is the running image of the hand-off process and must survive (a platform that
  // lets a running program's file be deleted would otherwise lose it). Unfinished
  // downloads go too, also those a killed earlier run left for these files.
  for (EntryNode* node = entries.head; node != nullptr; node = node->next) {
    PatchEntry* entry = static_cast<PatchEntry*>(node->value);
    plat::FtpRemovePartial(entry->stagingPath);
    if (entry == pendingPatcher && handOffStarted) continue;
    plat::RemoveFile(entry->stagingPath);
  }
  if (listTempPath[0] != '\0') {
    plat::FtpRemovePartial(listTempPath);
    plat::RemoveFile(listTempPath);
  }
  plat::CloseInstallation();

  cursor = nullptr;
  pendingPatcher = nullptr;
  ReleaseQueue(entries);

  plat::EndModalDialog(hwnd, 0);
}

intptr_t PLAT_CALLBACK PatchDialogProc(plat::WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (message == plat::kMsgInitDialog) {
    g_patcher = reinterpret_cast<Patcher*>(lParam);
    g_uiThread = std::this_thread::get_id();
    if (g_patcher == nullptr) return 0;
    g_patcher->hwnd = window;
    g_patcher->StartPatching();
    return 0;
  }
  Patcher* p = g_patcher;
  if (p == nullptr) return 0;
  switch (message) {
    case plat::kMsgClose:
      p->ClosePatcher();
      break;
    case plat::kMsgCommand:
      if ((wParam & 0xFFFF) == static_cast<uintptr_t>(plat::kIdCancel))
        plat::SendToWindow(p->hwnd, plat::kMsgClose, 0, 0);
      break;
    case WM_PATCH_CONNECT:
      p->ConnectToServer();
      break;
    case WM_PATCH_FINISH:
      p->LaunchGame();
      break;
    case WM_PATCH_UNPACK_PROGRESS:
      p->ShowUnpackProgress(static_cast<uint32_t>(wParam));
      break;
    case WM_PATCH_UNPACK_DONE:
      p->FinishUnpack();
      break;
    default:
      break;
  }
  return 0;
}

void PLAT_CALLBACK TransferStatusCallback(plat::FtpHandle, uintptr_t context, uint32_t status, void* information, uint32_t) {
  Patcher* p = reinterpret_cast<Patcher*>(context);
  if (p == nullptr || p->ClosingStarted()) return;
  // The handlers of the states from Connecting to FetchingFile, in order; in the others
  // (Idle, Unpacking, Closing) notifications are ignored.
  using Handler = void (Patcher::*)(uint32_t, const void*);
  static constexpr Handler kHandlers[] = {&Patcher::HandleConnecting, &Patcher::HandleFetchingList,
                                          &Patcher::HandleConnectingForFile, &Patcher::HandleFetchingFile};
  const int8_t state = p->state.load();
  if (state >= Connecting && state <= FetchingFile) (p->*kHandlers[state - Connecting])(status, information);
}

int PatcherMain(plat::ModuleHandle instance, int argc, char** argv) {
  SetProcessArguments(argc, argv);
  if (argc > 1 && argv[1] != nullptr && argv[1][0] == '-') {
    char mode = argv[1][1];
    if (mode >= 'a' && mode <= 'z') mode = static_cast<char>(mode - 'a' + 'A');
    if (mode == 'D') {
      if (!RunDeleteMode()) return 0;
    } else if (mode == 'P') {
      RunReplaceMode();
      return 0;
    }
  }
  plat::InstanceLockHandle lock = nullptr;
  if (plat::AcquireInstanceLock("VornZidoDiruv_Mutex", &lock) != plat::InstanceResult::Acquired) return 0;
  Patcher* patcher = new (std::nothrow) Patcher;
  if (patcher != nullptr) {
    if (!patcher->RunPatchWindow(instance)) patcher->ReportSystemError(plat::LastErrorCode());
    delete patcher;
  }
  plat::FtpShutdown();
  plat::ReleaseInstanceLock(lock);
  return 0;
}
