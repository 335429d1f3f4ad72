#include "support/silent_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

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

int BindIpv6Loopback(uint16_t port) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("no IPv6 socket");
  const int one = 1;
  ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  addr.sin6_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot bind [::1]:" + std::to_string(port));
  }
  return fd;
}

}  // namespace

SilentServer::SilentServer(uint16_t ipv6LoopbackPort) : port_(ipv6LoopbackPort) {
  fd_ = BindIpv6Loopback(ipv6LoopbackPort);
  if (::listen(fd_, 16) != 0) throw std::runtime_error("listen failed");
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);  // Connections never waits
}

int SilentServer::Connections() {
  // Takes what the kernel has queued; taken ones are kept open, silent.
  for (;;) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) break;
    taken_.push_back(fd);
  }
  return static_cast<int>(taken_.size());
}

RefusingPort::RefusingPort(uint16_t ipv6LoopbackPort) : port_(ipv6LoopbackPort) {
  fd_ = BindIpv6Loopback(ipv6LoopbackPort);
}

SilentServer::SilentServer() {
  fd_ = BindLoopback(&port_);
  // The kernel completes connections into the backlog; nobody ever reads or writes.
  if (::listen(fd_, 16) != 0) throw std::runtime_error("listen failed");
}

SilentServer::~SilentServer() {
  for (int fd : taken_) ::close(fd);
  if (fd_ >= 0) ::close(fd_);
}

RefusingPort::RefusingPort() { fd_ = BindLoopback(&port_); }

RefusingPort::~RefusingPort() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace zdtest
