// Linux-only parts of the files service for other Linux services (the FTP client
// writes its downloads through them, so they obey the installation's rules of files.h).
#pragma once
#include <sys/types.h>

namespace plat {

// Opens `path` with open(2) `flags` and `mode`, resolved as files.h resolves paths:
// inside the installation names match ignoring case and no link leads out; a link at
// the end is never followed (O_NOFOLLOW). The descriptor is close-on-exec. -1 and
// errno on failure.
int OpenFileDescriptor(const char* path, int flags, mode_t mode);

}  // namespace plat

namespace plat {

// True while a process of the user's runs from the file (device, inode): the image of a
// running program, which Windows would neither let be replaced nor deleted.
bool RunningFrom(dev_t device, ino_t inode);

// Copies what is left of `in` to `out`; false with errno on a read or write failure.
bool CopyData(int in, int out);

}  // namespace plat
