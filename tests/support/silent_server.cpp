#include "support/silent_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace zdtest {

namespace {

int BindLoopback(uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("bind failed");
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

SilentServer::SilentServer() {
  fd_ = BindLoopback(&port_);
  // The kernel completes connections into the backlog; nobody ever reads or writes.
  if (::listen(fd_, 16) != 0) throw std::runtime_error("listen failed");
}

SilentServer::~SilentServer() {
  if (fd_ >= 0) ::close(fd_);
}

RefusingPort::RefusingPort() { fd_ = BindLoopback(&port_); }

RefusingPort::~RefusingPort() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace zdtest
