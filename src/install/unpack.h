// The unpacking worker: gzip staging files of 'Z' entries are unpacked beside
// themselves on a thread of their own, then installed; the window hears of it only
// through posted messages, so it keeps painting and answering EX meanwhile.
#pragma once
#include <cstdint>
#include <cstdio>

#include <zlib.h>

#include "patchlist/entry_list.h"
#include "platform/sync.h"
#include "platform/window.h"

// What the worker is given by the run it serves. All is set before the thread starts
// and stays while it runs; the entry under *cursor is the worker's from the wake-up
// that hands it over until the worker's done message.
struct UnpackWork {
  plat::WindowHandle window;  // owner of its boxes, target of its messages
  plat::EventHandle stopEvent;
  plat::EventHandle unpackEvent;
  EntryNode* const* cursor;  // the run's position in its queue
};

// The worker's loop: one entry unpacked and installed per signal of unpackEvent, each
// followed by WM_PATCH_UNPACK_DONE. It ends on stopEvent, on a failed wait (no event)
// and after a failure or a stop during unpacking, which post WM_CLOSE. Returns 0.
unsigned RunUnpackWorker(const UnpackWork& work);

// Copies the data of `stream` to `output` in 16 KiB blocks, posting
// WM_PATCH_UNPACK_PROGRESS after each. The data must be exactly `unpackedSize` bytes
// (the listed size): the copy stops at the first byte past it, and that byte, like a
// stream that ends short of it, makes the file damaged; nothing past it is written.
// False after a stop (silent), damaged data or a failed write (both shown in a box).
bool UnpackStream(const UnpackWork& work, gzFile stream, std::FILE* output, int32_t unpackedSize);
