// Windows: the progress window is the system's modal dialog, created from the resource
// template the layout names (the layout's controls and bitmap are for builds without
// resources). The core's dialog procedure has the Win32 signature and calling convention
// (window.h) and gets every message of the dialog, passed on by a thin procedure that
// first gives the dialog's bars their deferred paint (below); a WindowHandle is the HWND.
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
// - Wine's progress bar repaints itself inside PBM_SETPOS (UpdateWindow), so a thread
//   that sends it a new position waits for a whole paint of the bar, about 2 ms under
//   Wine; a large download moves the bar a thousand times. The dialog's bars therefore
//   take a new position with drawing held off, and are repainted from a timer at most
//   every kBarPaintMs: the sender no longer waits for the paint, and the bar still
//   shows, at most that much later, every position it comes to rest at.
#include "platform/window.h"

#include <windows.h>
#include <commctrl.h>

namespace plat {

namespace {

constexpr UINT kBarPaintMs = 15;
constexpr UINT_PTR kBarPaintTimer = 0x5A01;
constexpr char kBarPaintPending[] = "ZidoDiruv.BarPaintPending";

HWND H(WindowHandle window) { return reinterpret_cast<HWND>(window); }

LRESULT CALLBACK BarWithDeferredPaint(HWND bar, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  if (message == PBM_SETPOS) {
    SendMessageA(bar, WM_SETREDRAW, FALSE, 0);
    const LRESULT previous = DefSubclassProc(bar, message, wParam, lParam);
    SendMessageA(bar, WM_SETREDRAW, TRUE, 0);
    // Setting a running timer again would restart it, and a bar whose position keeps
    // changing would never be painted.
    if (GetPropA(bar, kBarPaintPending) == nullptr && SetTimer(bar, kBarPaintTimer, kBarPaintMs, nullptr) != 0)
      SetPropA(bar, kBarPaintPending, reinterpret_cast<HANDLE>(1));
    return previous;
  }
  if (message == WM_TIMER && wParam == kBarPaintTimer) {
    KillTimer(bar, kBarPaintTimer);
    RemovePropA(bar, kBarPaintPending);
    InvalidateRect(bar, nullptr, TRUE);
    return 0;
  }
  if (message == WM_NCDESTROY) {
    KillTimer(bar, kBarPaintTimer);
    RemovePropA(bar, kBarPaintPending);
    RemoveWindowSubclass(bar, BarWithDeferredPaint, 0);
  }
  return DefSubclassProc(bar, message, wParam, lParam);
}

BOOL CALLBACK DeferBarPaint(HWND child, LPARAM) {
  char name[32];
  if (GetClassNameA(child, name, sizeof name) > 0 && lstrcmpiA(name, PROGRESS_CLASSA) == 0)
    SetWindowSubclass(child, BarWithDeferredPaint, 0, 0);
  return TRUE;
}

// The dialog procedure of the running modal dialog (one at a time, on its thread).
thread_local DialogProc t_dialogProc = nullptr;

// Gives the dialog's bars their deferred paint before the core's procedure sees the
// dialog, then passes every message on.
INT_PTR CALLBACK DialogWithDeferredBarPaint(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) EnumChildWindows(hwnd, DeferBarPaint, 0);
  return t_dialogProc(reinterpret_cast<WindowHandle>(hwnd), message, wParam, lParam);
}

bool OnUiThread(HWND hwnd) { return GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId(); }

}  // namespace

ModuleHandle CurrentModule() { return reinterpret_cast<ModuleHandle>(GetModuleHandleA(nullptr)); }

intptr_t RunModalDialog(ModuleHandle module, const DialogLayout& layout, DialogProc proc, intptr_t param) {
  const DialogProc outer = t_dialogProc;
  t_dialogProc = proc;
  const intptr_t result = DialogBoxParamA(reinterpret_cast<HINSTANCE>(module), MAKEINTRESOURCEA(layout.templateId),
                                          nullptr, DialogWithDeferredBarPaint, static_cast<LPARAM>(param));
  t_dialogProc = outer;
  return result;
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
