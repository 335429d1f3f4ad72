// vsftpd for tests and benchmarks, Linux only: an instance of its own with a
// configuration of its own on a free loopback port, anonymous log-on (any password),
// chrooted to a root it cannot write, with a writable "patch" folder. Its anonymous user
// must have a home folder: "ftp" (made by Debian's package), else "daemon". It needs
// root for its chroot; `skip` says why it cannot run.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace zdtest {

class VsftpdServer {
 public:
  // `work` is a folder of the caller's own: the configuration, the root, the log.
  explicit VsftpdServer(const std::string& work);
  ~VsftpdServer();
  VsftpdServer(const VsftpdServer&) = delete;
  VsftpdServer& operator=(const VsftpdServer&) = delete;

  // Its files: the folder clients see as "/".
  const std::string& root() const { return root_; }
  // Downloads the log counts as done.
  int Downloads() const;

  std::string skip;
  uint16_t port = 0;

 private:
  void Start(uint16_t candidate);

  std::string work_;
  std::string root_;
  std::string user_;
  pid_t pid_ = -1;
};

}  // namespace zdtest
