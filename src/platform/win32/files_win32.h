// Windows-only parts of the files service for other Windows services (the FTP client
// writes its downloads through them, so they obey the installation's rules of files.h).
#pragma once
#include <windows.h>

namespace plat {

// CreateFileA of `path` for `access`, sharing `share`, with `disposition`, judged as
// files.h judges a path that a call creates or writes: inside the installation a path
// that leads out of it through a link is refused (kFileErrorOutsideInstallation), and
// a link the system shows at the name itself is never written through
// (ERROR_CANT_RESOLVE_FILENAME). INVALID_HANDLE_VALUE and the last error on failure.
HANDLE OpenFileHandle(const char* path, DWORD access, DWORD share, DWORD disposition);

}  // namespace plat
