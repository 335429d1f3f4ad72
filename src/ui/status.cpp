// Placeholder status display until the figures land: the text only.
#include "ui/status.h"

#include <cstdio>

#include "app/patcher.h"
#include "ui/resource.h"

void FormatDuration(int32_t seconds, char* out) { std::snprintf(out, 128, "%ds", static_cast<int>(seconds)); }

void Patcher::ShowStatus(const char* text, bool force) {
  const uint32_t now = tick();
  if (!force && now - lastStatusTick < 1000) return;
  lastStatusTick = now;
  plat::SetItemText(hwnd, IDC_STATUS, text);
}
