// The progress dialog as the resource compiler wrote it (the program's resource script is
// linked into this test): each control's id and style, in template order.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "ui/resource.h"

namespace {

// Skips a WORD-aligned "string or ordinal" field.
const uint8_t* Skip(const uint8_t* p) {
  if (p[0] == 0xFF && p[1] == 0xFF) return p + 4;
  while (p[0] != 0 || p[1] != 0) p += 2;
  return p + 2;
}

TEST(DialogTemplate, EveryControlHasTheStyleOfTheWindowTable) {
  const auto* base = static_cast<const uint8_t*>(
      LockResource(LoadResource(nullptr, FindResourceA(nullptr, MAKEINTRESOURCEA(IDD_PATCH), RT_DIALOG))));
  ASSERT_NE(base, nullptr);
  DLGTEMPLATE head;
  std::memcpy(&head, base, sizeof head);
  const uint8_t* p = Skip(Skip(Skip(Skip(base + sizeof head))) + 2);  // menu, class, caption; font size, name
  const uint32_t text = WS_CHILD | WS_VISIBLE | SS_LEFT | SS_CENTERIMAGE | WS_GROUP;
  const std::vector<std::pair<int, uint32_t>> expected = {
      {IDCANCEL, WS_CHILD | WS_VISIBLE | WS_TABSTOP}, {IDC_STATUS, text},
      {IDC_PROGRESS, WS_CHILD | WS_VISIBLE | PBS_SMOOTH | WS_BORDER},
      {IDC_BANNER, WS_CHILD | WS_VISIBLE | SS_BITMAP}, {0xFFFF, text}, {IDC_TOTAL, text}, {0xFFFF, text},
      {IDC_SPEED, text}, {0xFFFF, text}, {IDC_FILE, text}};
  ASSERT_EQ(head.cdit, expected.size());
  std::vector<std::pair<int, uint32_t>> got;
  for (size_t i = 0; i < expected.size(); ++i) {
    p = base + ((p - base + 3) & ~3);  // items are DWORD-aligned
    DLGITEMTEMPLATE item;
    std::memcpy(&item, p, sizeof item);
    got.emplace_back(item.id, item.style);
    p = Skip(Skip(p + sizeof item));  // class, text; then the creation data
    p += 2 + (p[0] | p[1] << 8);
  }
  EXPECT_EQ(got, expected);
}

}  // namespace
