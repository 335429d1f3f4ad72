// What every part of a run that reports to the progress window shares: the window's
// own messages, and the one convention of its message boxes.
#pragma once
#include <cstdint>

#include "platform/window.h"

// Messages to the progress window; lParam is always 0.
constexpr uint32_t WM_PATCH_CONNECT = plat::kMsgUser + 1;
constexpr uint32_t WM_PATCH_FINISH = plat::kMsgUser + 2;
constexpr uint32_t WM_PATCH_UNPACK_PROGRESS = plat::kMsgUser + 11;  // wParam: bytes so far
constexpr uint32_t WM_PATCH_UNPACK_DONE = plat::kMsgUser + 12;

// A message box by the program's convention: the box title, the error icon, `buttons`;
// owned by `owner` (null: no owner, as in the hand-off steps). Returns the answer.
int ShowErrorBox(plat::WindowHandle owner, const char* text, uint32_t buttons);
// The system's text for `code` in such a box with an OK button.
void ShowSystemError(plat::WindowHandle owner, uint32_t code);
