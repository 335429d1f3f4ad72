// Windows: the progress window is the system's modal dialog, created from the resource
// template the layout names (the layout's controls and bitmap are for builds without
// resources). The core's dialog procedure has the Win32 signature and calling convention
// (window.h) and gets every message of the dialog, passed on by a thin procedure that
// first gives the dialog's bar and texts their deferred paint (below); a WindowHandle is
// the HWND.
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
// - PostToItem posts to the control itself: the bar's moves cost a download thread a
//   post each (a call to Wine's server) instead of a send it waits on.
// - Wine's progress bar repaints itself inside PBM_SETPOS (UpdateWindow), and its text
//   controls inside WM_SETTEXT, so a thread that sends a new position or text waits for
//   a whole paint, about 2 ms under Wine; a large download moves the bar a thousand
//   times, and every file changes the status line. The dialog's bar and text controls
//   therefore take a new position or text with drawing held off, and are repainted from
//   a timer at most every kPaintMs: the sender no longer waits for the paint, and the
//   control still shows, at most that much later, whatever it comes to rest at.
#include "platform/window.h"

#include <windows.h>
#include <commctrl.h>

namespace plat {

namespace {

constexpr UINT kPaintMs = 15;
constexpr UINT_PTR kPaintTimer = 0x5A01;
constexpr char kPaintPending[] = "ZidoDiruv.PaintPending";

HWND H(WindowHandle window) { return reinterpret_cast<HWND>(window); }

LRESULT CALLBACK DeferredPaint(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  if (message == PBM_SETPOS || message == WM_SETTEXT) {
    SendMessageA(control, WM_SETREDRAW, FALSE, 0);
    const LRESULT result = DefSubclassProc(control, message, wParam, lParam);
    SendMessageA(control, WM_SETREDRAW, TRUE, 0);
    // Setting a running timer again would restart it, and a control that keeps changing
    // would never be painted.
    if (GetPropA(control, kPaintPending) == nullptr && SetTimer(control, kPaintTimer, kPaintMs, nullptr) != 0)
      SetPropA(control, kPaintPending, reinterpret_cast<HANDLE>(1));
    return result;
  }
  if (message == WM_TIMER && wParam == kPaintTimer) {
    KillTimer(control, kPaintTimer);
    RemovePropA(control, kPaintPending);
    InvalidateRect(control, nullptr, TRUE);
    return 0;
  }
  if (message == WM_NCDESTROY) {
    KillTimer(control, kPaintTimer);
    RemovePropA(control, kPaintPending);
    RemoveWindowSubclass(control, DeferredPaint, 0);
  }
  return DefSubclassProc(control, message, wParam, lParam);
}

// The bar and the text controls (not the picture) paint later.
BOOL CALLBACK DeferPaint(HWND child, LPARAM) {
  char name[32];
  if (GetClassNameA(child, name, sizeof name) <= 0) return TRUE;
  const bool text = lstrcmpiA(name, "Static") == 0 && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) != SS_BITMAP;
  if (text || lstrcmpiA(name, PROGRESS_CLASSA) == 0) SetWindowSubclass(child, DeferredPaint, 0, 0);
  return TRUE;
}

// The dialog procedure of the running modal dialog (one at a time, on its thread).
thread_local DialogProc t_dialogProc = nullptr;

// Gives the dialog's controls their deferred paint before the core's procedure sees the
// dialog, then passes every message on.
INT_PTR CALLBACK DialogWithDeferredPaint(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) EnumChildWindows(hwnd, DeferPaint, 0);
  return t_dialogProc(reinterpret_cast<WindowHandle>(hwnd), message, wParam, lParam);
}

bool OnUiThread(HWND hwnd) { return GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId(); }

}  // namespace

ModuleHandle CurrentModule() { return reinterpret_cast<ModuleHandle>(GetModuleHandleA(nullptr)); }

intptr_t RunModalDialog(ModuleHandle module, const DialogLayout& layout, DialogProc proc, intptr_t param) {
  const DialogProc outer = t_dialogProc;
  t_dialogProc = proc;
  const intptr_t result = DialogBoxParamA(reinterpret_cast<HINSTANCE>(module), MAKEINTRESOURCEA(layout.templateId),
                                          nullptr, DialogWithDeferredPaint, static_cast<LPARAM>(param));
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

bool PostToItem(WindowHandle window, int controlId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  // Posted messages to one window are handled in the order posted; the dialog's modal
  // loop dispatches them to the control.
  HWND control = GetDlgItem(H(window), controlId);
  return control != nullptr && PostMessageA(control, message, wParam, lParam) != 0;
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
