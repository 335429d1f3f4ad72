// The calling convention of procedures the system calls back (the dialog procedure,
// the FTP status callback). 32-bit Windows calls them with __stdcall, so the core's
// procedures carry PLAT_CALLBACK and the Windows build hands them to the system as
// they are; elsewhere it is the ordinary convention.
#pragma once

#if defined(_WIN32) && defined(__i386__)
#define PLAT_CALLBACK __stdcall
#else
#define PLAT_CALLBACK
#endif
