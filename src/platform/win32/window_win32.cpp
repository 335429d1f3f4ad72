// Windows: the progress window is the system's modal dialog, created from the resource
// template the layout names (the layout's controls and bitmap are for builds without
// resources). The core's dialog procedure is the dialog's real procedure: window.h
// gives it the Win32 signature and calling convention, and a WindowHandle is the HWND.
//
// The window model of window.h on Win32:
// - posts are PostMessageA; the system's queue holds 10,000 posted messages per thread,
//   far more than the program ever has waiting (see window.h);
// - sends are SendMessageA, which runs inline on the UI thread and blocks other threads
//   until the UI thread has handled the message; the modal loop and every message box
//   serve such sends;
// - a message box runs on the thread that raises it, modal to the window (which is
//   disabled meanwhile); the UI thread goes on handling posts and sends;
// - WaitServingWindow peeks only for sent messages, so posted ones wait.
#include "platform/window.h"

#include <windows.h>
#include <commctrl.h>

namespace plat {

namespace {

HWND H(WindowHandle window) { return reinterpret_cast<HWND>(window); }

bool OnUiThread(HWND hwnd) { return GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId(); }

}  // namespace

ModuleHandle CurrentModule() { return reinterpret_cast<ModuleHandle>(GetModuleHandleA(nullptr)); }

intptr_t RunModalDialog(ModuleHandle module, const DialogLayout& layout, DialogProc proc, intptr_t param) {
  // The dialog procedure has the system's signature (see callconv.h), so the system
  // calls the core's procedure itself.
  return DialogBoxParamA(reinterpret_cast<HINSTANCE>(module), MAKEINTRESOURCEA(layout.templateId), nullptr,
                         reinterpret_cast<DLGPROC>(proc), static_cast<LPARAM>(param));
}

void EndModalDialog(WindowHandle window, intptr_t result) { EndDialog(H(window), result); }

bool PostToWindow(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return PostMessageA(H(window), message, wParam, lParam) != 0;
}

intptr_t SendToWindow(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return SendMessageA(H(window), message, wParam, lParam);
}

bool SetItemText(WindowHandle window, int controlId, const char* text) {
  return SetDlgItemTextA(H(window), controlId, text) != 0;
}

intptr_t SendToItem(WindowHandle window, int controlId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return SendDlgItemMessageA(H(window), controlId, message, wParam, lParam);
}

int ShowMessageBox(WindowHandle owner, const char* text, const char* title, uint32_t flags) {
  // An owner that has ended counts as none: the box is shown without an owner.
  HWND hwnd = owner != nullptr && IsWindow(H(owner)) ? H(owner) : nullptr;
  const int answer = MessageBoxA(hwnd, text, title, flags);
  return answer == 0 ? kIdNo : answer;
}

void WaitServingWindow(WindowHandle window, bool (*done)(void* argument), void* argument) {
  HWND hwnd = H(window);
  if (hwnd == nullptr || !IsWindow(hwnd) || !OnUiThread(hwnd)) return;
  MSG msg;
  while (!done(argument)) {
    // A peek for sent messages only delivers them (to their window procedures) and
    // removes no posted message.
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_SENDMESSAGE);
  }
}

void InitWindowControls() { InitCommonControls(); }

}  // namespace plat
