#include "ui/dialog_layout.h"

#include "ui/banner.h"
#include "ui/resource.h"

const char kDialogCaption[] = "Vorn-ZEDA  Patch";

namespace {

using plat::ControlKind;

const plat::ControlLayout kControls[] = {
    {plat::kIdCancel, ControlKind::Button, "EX", 105, 137, 55, 15},
    {IDC_STATUS, ControlKind::Text, "", 8, 55, 250, 10},
    {IDC_PROGRESS, ControlKind::ProgressBar, "", 8, 69, 250, 12},
    {IDC_BANNER, ControlKind::Picture, "", 0, 0, 266, 47},
    {-1, ControlKind::Label, "All:", 8, 101, 31, 10},
    {IDC_TOTAL, ControlKind::Text, "", 43, 101, 215, 10},
    {-1, ControlKind::Label, "Sped:", 8, 115, 31, 10},
    {IDC_SPEED, ControlKind::Text, "", 43, 115, 215, 10},
    {-1, ControlKind::Label, "File:", 8, 87, 31, 10},
    {IDC_FILE, ControlKind::Text, "", 43, 87, 215, 10},
};

}  // namespace

const plat::DialogLayout& PatchDialogLayout() {
  static const plat::DialogLayout layout = [] {
    plat::DialogLayout l{};
    l.templateId = IDD_PATCH;
    l.caption = kDialogCaption;
    l.width = 267;
    l.height = 159;
    l.controls = kControls;
    l.controlCount = sizeof kControls / sizeof kControls[0];
    l.bitmap = BannerBitmap(&l.bitmapSize);
    return l;
  }();
  return layout;
}
