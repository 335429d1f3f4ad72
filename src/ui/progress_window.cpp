#include "ui/progress_window.h"

#include <cstdio>

#include "platform/errors.h"

namespace {

const char kBoxTitle[] = "Tessary ZidoDiruv";

}  // namespace

int ShowErrorBox(plat::WindowHandle owner, const char* text, uint32_t buttons) {
  return plat::ShowMessageBox(owner, text, kBoxTitle, buttons | plat::kBoxIconError);
}

void ShowSystemError(plat::WindowHandle owner, uint32_t code) {
  char text[512];
  if (!plat::ErrorText(code, text, sizeof text)) {
    std::snprintf(text, sizeof text, "An unexpected error occurred (error %u).", static_cast<unsigned>(code));
  }
  ShowErrorBox(owner, text, plat::kBoxOk);
}
