#include "support/vsftpd_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "support/temp_tree.h"

extern char** environ;

namespace zdtest {
namespace {

uint16_t FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(s);
  return ntohs(address.sin_port);
}

bool Answers(uint16_t port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(s);
  return ok;
}

}  // namespace

VsftpdServer::VsftpdServer(const std::string& work) : work_(work), root_(work + "/root") {
  if (::system("command -v vsftpd >/dev/null 2>&1") != 0) {
    skip = "vsftpd is not installed";
    return;
  }
  if (::geteuid() != 0) {
    skip = "vsftpd needs root for its chroot";
    return;
  }
  const passwd* account = nullptr;
  for (const char* name : {"ftp", "daemon"}) {
    account = ::getpwnam(name);
    if (account != nullptr && account->pw_dir != nullptr && FileExists(account->pw_dir)) break;
    account = nullptr;
  }
  if (account == nullptr) {
    skip = "no user for anonymous log-ons (ftp or daemon) with a home folder";
    return;
  }
  user_ = account->pw_name;
  MakeDirs(root_ + "/patch");
  MakeDirs(work_ + "/empty");
  ::chmod(work_.c_str(), 0755);
  ::chmod(root_.c_str(), 0755);
  ::chmod((work_ + "/empty").c_str(), 0755);
  if (::chown((root_ + "/patch").c_str(), account->pw_uid, account->pw_gid) != 0) {
    skip = "cannot give the patch folder to " + user_;
    return;
  }
  // A port the system picked a moment before; taken meanwhile, the next try.
  for (int attempt = 0; attempt < 5 && port == 0; ++attempt) Start(FreePort());
  if (port == 0) skip = "vsftpd did not start: " + ReadFile(work_ + "/stderr");
}

VsftpdServer::~VsftpdServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

int VsftpdServer::Downloads() const {
  const std::string log = ReadFile(work_ + "/log");
  int count = 0;
  for (size_t at = log.find("OK DOWNLOAD"); at != std::string::npos; at = log.find("OK DOWNLOAD", at + 1)) ++count;
  return count;
}

void VsftpdServer::Start(uint16_t candidate) {
  const std::string config = work_ + "/vsftpd.conf";
  WriteFile(config, "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" + std::to_string(candidate) +
                        "\nbackground=NO\nanonymous_enable=YES\nftp_username=" + user_ + "\nanon_root=" + root_ +
                        "\nlocal_enable=NO\nwrite_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
                        "anon_other_write_enable=YES\nanon_umask=022\nconnect_from_port_20=NO\n"
                        "secure_chroot_dir=" + work_ + "/empty\nxferlog_enable=YES\nxferlog_std_format=NO\n"
                        "vsftpd_log_file=" + work_ + "/log\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
                        "max_clients=0\nmax_per_ip=0\n");
  std::string program = "vsftpd";
  std::vector<char*> argv = {&program[0], const_cast<char*>(config.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, (work_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "vsftpd", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return;
  const auto gone = [pid] { return ::waitpid(pid, nullptr, WNOHANG) == pid; };
  bool exited = false;
  WaitUntil([&] { return (exited = gone()) || Answers(candidate); }, 10000);
  if (exited) return;
  pid_ = pid;
  port = candidate;
}

}  // namespace zdtest
