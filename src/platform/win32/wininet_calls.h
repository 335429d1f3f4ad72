// The WinINet functions the FTP client calls, through one table. The program always
// uses the system's; the client's own tests put a scripted WinINet in their place to
// drive the paths that Wine never takes (a connect or open that goes pending, its
// notifications in either order, a close while it is pending).
#pragma once
#include <windows.h>
#include <wininet.h>

namespace plat {

struct WinInetCalls {
  decltype(&InternetOpenA) open;
  decltype(&InternetSetStatusCallback) setStatusCallback;
  decltype(&InternetConnectA) connect;
  decltype(&FtpOpenFileA) openFile;
  decltype(&FtpCommandA) command;
  decltype(&InternetQueryDataAvailable) queryDataAvailable;
  decltype(&InternetReadFile) readFile;
  decltype(&InternetQueryOptionA) queryOption;
  decltype(&InternetGetLastResponseInfoA) lastResponseInfo;
  decltype(&DeleteUrlCacheEntryA) deleteUrlCacheEntry;
  decltype(&InternetCloseHandle) closeHandle;
};

// The table in use. Replacing entries is for tests, before any client call and after
// FtpShutdown.
WinInetCalls& WinInet();

}  // namespace plat
