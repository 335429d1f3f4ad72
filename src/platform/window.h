// The progress window: a modal dialog run by a dialog procedure, messages posted and
// sent to it from any thread, its controls, and message boxes.
//
// Message numbers, command ids and box flags carry the Win32 values so the dialog
// procedure reads the same on both builds; the names differ from windows.h's macros.
//
// The window model, which every implementation gives and the core relies on:
// - The dialog procedure runs only on the UI thread (the thread in RunModalDialog), one
//   message at a time. It gets kMsgInitDialog once the window and its controls exist,
//   kMsgClose from the caption's close box, and kMsgCommand with kIdCancel (low 16 bits
//   of wParam) from the "EX" button and from the Esc key.
// - Post: queued for the UI thread, handled in the order posted; never blocks and never
//   drops a message while the window lives. Where the system's own queue is bounded
//   (a toolkit's wake-up queue, the Windows per-thread limit of 10,000 posted
//   messages), the implementation keeps its own unbounded queue in front of it, or the
//   limit is far above anything the program posts: the worker posts one progress
//   message per 16 KiB unpacked and waits for nothing, so the UI thread drains far
//   faster than it fills.
// - Send: on the UI thread it runs inline; from any other thread the caller blocks until
//   the UI thread has handled it. Control updates and message boxes go the same way.
// - Every wait on the UI thread (WaitServingWindow, a message box, the modal loop
//   itself) keeps serving sends and boxes from other threads, so a thread blocked on the
//   window can always finish.
// - Message boxes raised on any thread are shown modal to the window; the raising
//   thread waits for the answer; the UI thread keeps handling posted messages and sends
//   while a box is up (only WaitServingWindow holds posts back). Which thread draws the
//   box is the implementation's: the Linux backends have the UI thread draw it, Windows
//   runs it on the raising thread with the window disabled as its owner.
// - After the dialog has ended: posts are refused (false), sends return 0 at once, and
//   a message box whose owner has ended (also one still waiting to be shown when the
//   window ends) is shown without an owner on the raising thread, so the user still
//   reads it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/callconv.h"

namespace plat {

struct Window;
using WindowHandle = Window*;

constexpr uint32_t kMsgClose = 0x0010;
constexpr uint32_t kMsgInitDialog = 0x0110;
constexpr uint32_t kMsgCommand = 0x0111;
constexpr uint32_t kMsgUser = 0x0400;
// Progress bar messages, sent to the bar control.
constexpr uint32_t kMsgBarSetRange = kMsgUser + 1;  // lParam: low 16 bits min, high 16 bits max
constexpr uint32_t kMsgBarSetPos = kMsgUser + 2;    // wParam: position

constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

constexpr uint32_t kBoxOk = 0x00;
constexpr uint32_t kBoxYesNo = 0x04;
constexpr uint32_t kBoxIconError = 0x10;

// The module whose resources hold the dialog template (the Linux build has none).
struct Module;
using ModuleHandle = Module*;
ModuleHandle CurrentModule();

using DialogProc = intptr_t(PLAT_CALLBACK*)(WindowHandle window, uint32_t message, uintptr_t wParam,
                                intptr_t lParam);

enum class ControlKind { Button, Text, Label, ProgressBar, Picture };

// One control, in dialog units.
struct ControlLayout {
  int id;  // -1 for labels that nothing addresses
  ControlKind kind;
  const char* text;
  int x, y, width, height;
};

// The dialog as data: the Windows build creates it from the resource template
// `templateId`; the Linux build builds it from the rest, converting dialog units
// with base units 7 x 12 pixels (x * 7 / 4, y * 12 / 8).
struct DialogLayout {
  int templateId;
  const char* caption;
  int width, height;  // dialog units
  const ControlLayout* controls;
  size_t controlCount;
  const unsigned char* bitmap;  // the picture control's bitmap file image (BMP)
  size_t bitmapSize;
};

// Runs the modal dialog on the calling thread, which becomes the window's UI thread.
// The procedure gets kMsgInitDialog with `param` as lParam once the window exists.
// Returns the value given to EndModalDialog, or -1 when the window cannot be made
// (LastErrorCode says why; without a display the reason also goes to standard error,
// and the process goes on).
intptr_t RunModalDialog(ModuleHandle module, const DialogLayout& layout, DialogProc proc,
                        intptr_t param);
// Ends the dialog once the current message has been handled.
void EndModalDialog(WindowHandle window, intptr_t result);

// Queues a message for the UI thread (see the window model above). False once the
// window has ended.
bool PostToWindow(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Has the procedure handle the message on the UI thread: inline when called there,
// otherwise the caller blocks until it has been handled. 0 once the window has ended.
intptr_t SendToWindow(WindowHandle window, uint32_t message, uintptr_t wParam,
                      intptr_t lParam);

// Control updates, carried out by the UI thread (synchronously, as sends).
bool SetItemText(WindowHandle window, int controlId, const char* text);
intptr_t SendToItem(WindowHandle window, int controlId, uint32_t message, uintptr_t wParam,
                    intptr_t lParam);
// A control update the caller does not wait for, for one that changes far more often
// than anyone can see (the bar, which a download moves up to a thousand times a file):
// carried out on the UI thread after the updates of that control queued before it.
// Windows posts it to the control, so a download no longer waits for the window's thread
// once per move; Linux carries it out as SendToItem, whose cost is a lock and a wake-up.
// False once the window has ended.
bool PostToItem(WindowHandle window, int controlId, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Shows a message box modal to `owner` (null: no owner), from any thread (see the
// window model above); the calling thread waits for the answer. An owner that has ended
// counts as none. Returns kIdOk, kIdYes or kIdNo (kIdNo also when no box could be
// shown). Enter presses the first button; Y and N answer a Yes/No box; Esc and the
// close box close an OK box (kIdOk) but leave a Yes/No box open. Where no box can be
// shown at all (Linux without a display) the title and text go to standard error and
// the answer is kIdOk, or kIdNo for a Yes/No box.
int ShowMessageBox(WindowHandle owner, const char* text, const char* title, uint32_t flags);

// On the UI thread: waits until `done(argument)` is true while still serving sends
// and message boxes from other threads (posted messages wait), so a thread that is
// blocked on the window can always finish. Returns at once when called elsewhere.
void WaitServingWindow(WindowHandle window, bool (*done)(void* argument), void* argument);

// Loads what the window's controls need (InitCommonControls on Windows).
void InitWindowControls();

}  // namespace plat
