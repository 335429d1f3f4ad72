// Linux: a server's addresses through getaddrinfo, which sorts them by the rules of
// /etc/gai.conf (RFC 6724): the order a plain connect to the name would try.
#include "platform/resolver.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>

namespace plat {

bool ResolveHost(const char* host, std::vector<std::string>* addresses) {
  addresses->clear();
  if (host == nullptr || host[0] == '\0') return false;
  // No AI_ADDRCONFIG: it ignores loopback, so a machine (or a network namespace) with
  // loopback alone would find no address for a name that maps to it. AI_IDN converts an
  // international name as libcurl did when it resolved names itself.
  addrinfo hints{};
  hints.ai_flags = AI_IDN;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &found) != 0) return false;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    char text[NI_MAXHOST];
    if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) continue;
    if (std::find(addresses->begin(), addresses->end(), text) == addresses->end()) addresses->emplace_back(text);
  }
  ::freeaddrinfo(found);
  return !addresses->empty();
}

}  // namespace plat
