// Placeholder until the banner artwork lands.
#include "ui/banner.h"

const unsigned char* BannerBitmap(size_t* size) {
  *size = 0;
  return nullptr;
}
