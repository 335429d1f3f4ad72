// The banner bitmap IDB_BANNER, compiled in. The bytes are a complete BMP file
// (466 x 71, 8 bits per pixel, 256-colour palette, uncompressed, bottom-up) drawn by
// tools/make_banner.py during the build (cmake/banner.cmake).
#include "ui/banner.h"

#include "banner_bmp.inc"

const unsigned char* BannerBitmap(size_t* size) {
  *size = sizeof kBannerBmp;
  return kBannerBmp;
}
