// The progress dialog as the resource compiler wrote it (the template is linked into
// this test from the program's own resource script): the window's style and size, and
// each control's id, style and place, in template order.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "ui/resource.h"

namespace {

struct Control {
  int id;
  uint32_t style;
  int x, y, cx, cy;
};

// A WORD-aligned "string or ordinal" field: skips it.
const uint8_t* SkipField(const uint8_t* p) {
  uint16_t first;
  std::memcpy(&first, p, 2);
  if (first == 0xFFFF) return p + 4;
  while (std::memcmp(p, "\0\0", 2) != 0) p += 2;
  return p + 2;
}

static_assert(sizeof(DLGTEMPLATE) == 18 && sizeof(DLGITEMTEMPLATE) == 18, "packed as in a template");

const uint8_t* AlignDword(const uint8_t* p, const uint8_t* base) {
  return base + ((p - base + 3) & ~static_cast<intptr_t>(3));
}

TEST(DialogTemplate, StylesAndPlacesAreThoseOfTheWindowTable) {
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(IDD_PATCH), MAKEINTRESOURCEA(5));  // RT_DIALOG
  ASSERT_NE(found, nullptr);
  const uint8_t* base = static_cast<const uint8_t*>(LockResource(LoadResource(nullptr, found)));
  ASSERT_NE(base, nullptr);
  DLGTEMPLATE head;
  std::memcpy(&head, base, sizeof head);
  EXPECT_EQ(head.style, static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER |
                                           DS_SETFONT));
  EXPECT_EQ(head.cx, 267);
  EXPECT_EQ(head.cy, 159);
  // Menu, class, caption, then the font's size and name.
  const uint8_t* p = SkipField(SkipField(SkipField(base + 18)));
  p = SkipField(p + 2);

  const uint32_t shown = WS_CHILD | WS_VISIBLE;
  const uint32_t text = shown | SS_LEFT | SS_CENTERIMAGE | WS_GROUP;
  const std::vector<Control> expected = {
      {IDCANCEL, shown | WS_TABSTOP, 105, 137, 55, 15},
      {IDC_STATUS, text, 8, 55, 250, 10},
      {IDC_PROGRESS, shown | PBS_SMOOTH | WS_BORDER, 8, 69, 250, 12},
      {IDC_BANNER, shown | SS_BITMAP, 0, 0, 266, 47},
      {0xFFFF, text, 8, 101, 31, 10},
      {IDC_TOTAL, text, 43, 101, 215, 10},
      {0xFFFF, text, 8, 115, 31, 10},
      {IDC_SPEED, text, 43, 115, 215, 10},
      {0xFFFF, text, 8, 87, 31, 10},
      {IDC_FILE, text, 43, 87, 215, 10},
  };
  ASSERT_EQ(head.cdit, expected.size());
  for (const Control& want : expected) {
    p = AlignDword(p, base);
    DLGITEMTEMPLATE item;
    std::memcpy(&item, p, sizeof item);
    SCOPED_TRACE(want.id);
    EXPECT_EQ(item.id, want.id);
    EXPECT_EQ(item.style, want.style);
    EXPECT_EQ(item.x, want.x);
    EXPECT_EQ(item.y, want.y);
    EXPECT_EQ(item.cx, want.cx);
    EXPECT_EQ(item.cy, want.cy);
    // Class and text, then the creation data's length and the data.
    p = SkipField(SkipField(p + sizeof item));
    uint16_t extra;
    std::memcpy(&extra, p, 2);
    p += 2 + extra;
  }
}

}  // namespace
