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

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace zdtest {
namespace {

using Clock = std::chrono::steady_clock;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

void MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0755);
  }
}

}  // namespace

FtpServerFixture::FtpServerFixture(std::string user, std::string password, bool writable)
    : user_(std::move(user)), password_(std::move(password)), writable_(writable) {
  Start();
}

FtpServerFixture::~FtpServerFixture() { Stop(); }

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

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return;
  }
  std::string script = std::string(ZD_SOURCE_DIR) + "/tests/support/ftp_server.py";
  std::vector<std::string> args = {"/usr/bin/python3", script,      "--root", root_, "--state",
                                   state_,             "--user",    user_,    "--password", password_};
  if (writable_) args.push_back("--writable");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    ADD_FAILURE() << "posix_spawn: " << std::strerror(rc);
    return;
  }
  pid_ = pid;

  // Wait for "PORT <n>\n", at most 10 s.
  std::string line;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) break;
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) continue;
    char chunk[128];
    ssize_t n = ::read(out[0], chunk, sizeof chunk);
    if (n <= 0) break;
    line.append(chunk, static_cast<size_t>(n));
  }
  ::close(out[0]);
  unsigned port = 0;
  if (std::sscanf(line.c_str(), "PORT %u", &port) != 1 || port == 0 || port > 65535) {
    ADD_FAILURE() << "the FTP server did not start (said \"" << line << "\")";
    return;
  }
  port_ = static_cast<uint16_t>(port);
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

std::string FtpServerFixture::WriteFile(const std::string& relative, const std::string& contents) {
  std::string path = root_ + "/" + relative;
  MakeParents(path);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  EXPECT_TRUE(f.good()) << path;
  return path;
}

char FtpServerFixture::PatternByte(long long offset) {
  return static_cast<char>((offset * 131 + offset / 251) & 0xff);
}

std::string FtpServerFixture::WritePatternFile(const std::string& relative, long long size) {
  std::string path = root_ + "/" + relative;
  MakeParents(path);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  std::string block;
  for (long long done = 0; done < size;) {
    long long n = std::min<long long>(size - done, 1 << 20);
    block.resize(static_cast<size_t>(n));
    for (long long i = 0; i < n; ++i) block[static_cast<size_t>(i)] = PatternByte(done + i);
    f.write(block.data(), static_cast<std::streamsize>(n));
    done += n;
  }
  EXPECT_TRUE(f.good()) << path;
  return path;
}

void FtpServerFixture::SetFaults(const FtpFaults& faults) {
  // Written whole and renamed into place: the server never reads half a file.
  std::string temp = state_ + "/control.new";
  {
    std::ofstream f(temp, std::ios::trunc);
    f << "refuse_login=" << (faults.refuseLogin ? 1 : 0) << "\n"
      << "cut_after=" << faults.cutAfter << "\n"
      << "final_reply=" << faults.finalReply << "\n"
      << "announce=" << (faults.announce ? 1 : 0) << "\n"
      << "stall_after=" << faults.stallAfter << "\n"
      << "drop_after=" << faults.dropAfter << "\n"
      << "mute=" << (faults.mute ? 1 : 0) << "\n"
      << "rate=" << faults.rate << "\n"
      << "hold_store=" << faults.holdStore << "\n"
      << "logins_allowed=" << faults.loginsAllowed << "\n"
      << "path=" << faults.path << "\n";
  }
  ASSERT_EQ(0, std::rename(temp.c_str(), (state_ + "/control").c_str()));
}

std::vector<FtpLogEntry> FtpServerFixture::Log() const {
  std::vector<FtpLogEntry> entries;
  std::ifstream f(state_ + "/log");
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream in(line);
    FtpLogEntry e;
    in >> e.kind >> e.connection;
    if (e.kind == "CMD" || e.kind == "LOGIN" || e.kind == "SENT") in >> e.verb;
    std::getline(in >> std::ws, e.argument);
    entries.push_back(e);
  }
  return entries;
}

int FtpServerFixture::Connections() const {
  int n = 0;
  for (const FtpLogEntry& e : Log()) n += e.kind == "CONNECT";
  return n;
}

int FtpServerFixture::Disconnections() const {
  int n = 0;
  for (const FtpLogEntry& e : Log()) n += e.kind == "DISCONNECT";
  return n;
}

int FtpServerFixture::Logons() const { return CommandCount("PASS"); }

int FtpServerFixture::SuccessfulLogons() const {
  int n = 0;
  for (const FtpLogEntry& e : Log()) n += e.kind == "LOGIN" && e.verb == "OK";
  return n;
}

int FtpServerFixture::CommandCount(const std::string& verb) const {
  int n = 0;
  for (const FtpLogEntry& e : Log()) n += e.kind == "CMD" && e.verb == verb;
  return n;
}

std::vector<std::string> FtpServerFixture::CommandsOf(int connection) const {
  std::vector<std::string> verbs;
  for (const FtpLogEntry& e : Log()) {
    if (e.kind == "CMD" && e.connection == connection) verbs.push_back(e.verb);
  }
  return verbs;
}

bool FtpServerFixture::WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace zdtest
