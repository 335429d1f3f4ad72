// Windows: a server's addresses through getaddrinfo of ws2_32 (Windows' own DLL, from
// Windows XP on), which sorts them by the system's prefix policy. WinINet connects to a
// name's first address only (Wine's does), so the FTP client hands it one address at a
// time from this list.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <mutex>

#include "platform/resolver.h"

namespace plat {

bool ResolveHost(const char* host, std::vector<std::string>* addresses) {
  addresses->clear();
  if (host == nullptr || host[0] == '\0') return false;
  // Winsock is started once for the process and left running: WinINet uses it too.
  static std::once_flag started;
  static bool ready = false;
  std::call_once(started, [] {
    WSADATA data;
    ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  if (!ready) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0) return false;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    char text[NI_MAXHOST];
    if (getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) != 0) {
      continue;
    }
    if (std::find(addresses->begin(), addresses->end(), text) == addresses->end()) addresses->emplace_back(text);
  }
  freeaddrinfo(found);
  return !addresses->empty();
}

}  // namespace plat
