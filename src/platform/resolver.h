// Looking up a server's addresses.
#pragma once
#include <string>
#include <vector>

namespace plat {

// The addresses of `host` for a TCP connection, in the order the system prefers them
// (its address-selection rules over what the name service gave), each once, as numeric
// text: a.b.c.d, or an IPv6 address without brackets. An address written as text gives
// itself alone, without a lookup. The call blocks while the system's resolver works, so
// it is made on the FTP client's threads, never on the UI thread. False, with
// `addresses` empty, when the name has no address or cannot be looked up now.
bool ResolveHost(const char* host, std::vector<std::string>* addresses);

}  // namespace plat
