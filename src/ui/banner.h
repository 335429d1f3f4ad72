// The banner bitmap IDB_BANNER (a 466 x 71, 8-bit, 256-colour BMP), built into the program.
#pragma once
#include <cstddef>

const unsigned char* BannerBitmap(size_t* size);
