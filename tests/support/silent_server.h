// A loopback TCP port that accepts connections and never says anything: an FTP
// server that has stopped answering.
#pragma once
#include <cstdint>
#include <vector>

namespace zdtest {

class SilentServer {
 public:
  SilentServer();
  // Linux only: at IPv6 loopback's `port` (one another server uses on 127.0.0.1);
  // throws when it cannot be had.
  explicit SilentServer(uint16_t ipv6LoopbackPort);
  ~SilentServer();
  // Linux only: how many connections it has taken so far (each stays open, unanswered).
  int Connections();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::vector<int> taken_;
};

// A loopback port on which nothing listens (connections are refused). It stays bound,
// never listening, while the object lives, so no other process can take it meanwhile.
class RefusingPort {
 public:
  RefusingPort();
  // Linux only: IPv6 loopback's `port`, as SilentServer's.
  explicit RefusingPort(uint16_t ipv6LoopbackPort);
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace zdtest
