// Linux: the test FTP server fixture starts tests/support/ftp_server.py itself, on a
// free loopback port it picks and prints, with a root and state directory of its own.
#include "support/ftp_server.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/ftp.h"

extern char** environ;

namespace zdtest {
namespace {

using Clock = std::chrono::steady_clock;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

}  // namespace

void FtpServerFixture::Start() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/zd-ftp-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    return;
  }
  base_ = buffer.data();
  root_ = base_ + "/root";
  state_ = base_ + "/state";
  ::mkdir(root_.c_str(), 0755);
  ::mkdir(state_.c_str(), 0755);
  Launch();
}

void FtpServerFixture::Launch() {
  const std::string script = std::string(ZD_SOURCE_DIR) + "/tests/support/ftp_server.py";
  std::vector<std::string> args = {"/usr/bin/python3", script, "--root",     root_,
                                   "--state",          state_, "--user",     user_,
                                   "--password",       password_};
  if (writable_) args.push_back("--writable");
  std::string said;
  port_ = StartWithPort(std::move(args), &pid_, &said);
  if (port_ == 0) ADD_FAILURE() << "the FTP server did not start (said \"" << said << "\")";
}

uint16_t StartWithPort(std::vector<std::string> args, pid_t* pid, std::string* said) {
  *pid = -1;
  said->clear();
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return 0;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  const int rc = posix_spawn(pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    *pid = -1;
    ::close(out[0]);
    *said = std::string("posix_spawn: ") + std::strerror(rc);
    return 0;
  }
  // Wait for "PORT <n>\n", at most 10 s.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (said->find('\n') == std::string::npos) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) break;
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) continue;
    char chunk[128];
    ssize_t n = ::read(out[0], chunk, sizeof chunk);
    if (n <= 0) break;
    said->append(chunk, static_cast<size_t>(n));
  }
  ::close(out[0]);
  unsigned port = 0;
  if (std::sscanf(said->c_str(), "PORT %u", &port) != 1 || port == 0 || port > 65535) return 0;
  return static_cast<uint16_t>(port);
}

void FtpServerFixture::Kill() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  port_ = 0;
}

bool FtpServerFixture::Restart() {
  Kill();
  Launch();
  return port_ != 0;
}

void FtpServerFixture::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    auto deadline = Clock::now() + std::chrono::seconds(3);
    bool reaped = false;
    while (Clock::now() < deadline) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        reaped = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!reaped) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  if (!base_.empty()) ::nftw(base_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  port_ = 0;
}

const FtpClientTraits& ClientTraits() {
  static const FtpClientTraits traits{{"USER", "PASS", "PWD"},
                                      {"PORT", "TYPE", "SIZE", "RETR"},
                                      {"QUIT"},
                                      false,
                                      // libcurl takes the refusal for a partial file or, when
                                      // it is there before libcurl has accepted the server's
                                      // data connection (a busy machine), for a refused RETR.
                                      {plat::kFtpErrorConnectionAborted, plat::kFtpErrorTransferFailed},
                                      ENOENT,
                                      "odd dir/a;type=a %41#?.txt",
                                      50,
                                      3000};
  return traits;
}

}  // namespace zdtest
