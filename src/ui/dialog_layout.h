// The progress dialog as data: the template's controls, in template order, with their
// ids, texts and positions in dialog units, and the banner bitmap.
#pragma once
#include "platform/window.h"

extern const char kDialogCaption[];  // "Vorn-ZEDA  Patch"

const plat::DialogLayout& PatchDialogLayout();
