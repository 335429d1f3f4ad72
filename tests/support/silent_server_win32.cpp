// Windows: the silent and the refusing loopback ports of silent_server.h, on Winsock.
#include <winsock2.h>

#include <stdexcept>

#include "support/silent_server.h"

namespace zdtest {
namespace {

int BindLoopback(uint16_t* port) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof addr;
  if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    throw std::runtime_error("bind failed");
  }
  *port = ntohs(addr.sin_port);
  return static_cast<int>(s);
}

void Close(int fd) {
  closesocket(static_cast<SOCKET>(fd));
  WSACleanup();
}

}  // namespace

SilentServer::SilentServer() {
  fd_ = BindLoopback(&port_);
  // The system completes connections into the backlog; nobody ever reads or writes.
  if (listen(static_cast<SOCKET>(fd_), 16) != 0) throw std::runtime_error("listen failed");
}

SilentServer::~SilentServer() { Close(fd_); }

RefusingPort::RefusingPort() { fd_ = BindLoopback(&port_); }

RefusingPort::~RefusingPort() { Close(fd_); }

}  // namespace zdtest
