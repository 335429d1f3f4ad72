// The FTP server fixture for the Windows tests. A Windows program under Wine cannot
// start the Linux server itself, so scripts/test_windows.sh does
// and hands it over in the environment:
//   ZD_FTP_PORT                  the port it printed
//   ZD_FTP_ROOT, ZD_FTP_STATE    its root and state directories, as Windows paths
//   ZD_FTP_USER, ZD_FTP_PASSWORD its one account
// Every test program of the suite shares that server; the log is read the same way as
// on Linux (connection ids only grow), and faults are cleared by each test's set-up.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/ftp_server.h"

namespace zdtest {
namespace {

using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string Under(const std::string& dir, const std::string& relative) {
  std::filesystem::path path = std::filesystem::path(dir) / std::filesystem::path(relative).make_preferred();
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  return path.string();
}

}  // namespace

FtpServerFixture::FtpServerFixture(std::string user, std::string password, bool writable)
    : user_(std::move(user)), password_(std::move(password)), writable_(writable) {
  Start();
}

FtpServerFixture::~FtpServerFixture() { Stop(); }

void FtpServerFixture::Start() {
  root_ = Env("ZD_FTP_ROOT");
  state_ = Env("ZD_FTP_STATE");
  const std::string port = Env("ZD_FTP_PORT");
  const std::string user = Env("ZD_FTP_USER");
  if (!user.empty()) {
    user_ = user;
    password_ = Env("ZD_FTP_PASSWORD");
  }
  const long value = std::strtol(port.c_str(), nullptr, 10);
  if (writable_) {
    ADD_FAILURE() << "the suite's FTP server is read-only";
    return;
  }
  if (root_.empty() || state_.empty() || value <= 0 || value > 65535) {
    ADD_FAILURE() << "no FTP server: run the Windows tests through scripts/test_windows.sh "
                     "(ZD_FTP_PORT, ZD_FTP_ROOT, ZD_FTP_STATE)";
    return;
  }
  port_ = static_cast<uint16_t>(value);
}

// The server belongs to the script; only this fixture's faults are taken back.
void FtpServerFixture::Stop() {
  if (port_ != 0) ClearFaults();
  port_ = 0;
}

std::string FtpServerFixture::WriteFile(const std::string& relative, const std::string& contents) {
  std::string path = Under(root_, relative);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  EXPECT_TRUE(f.good()) << path;
  return path;
}

char FtpServerFixture::PatternByte(long long offset) {
  return static_cast<char>((offset * 131 + offset / 251) & 0xff);
}

std::string FtpServerFixture::WritePatternFile(const std::string& relative, long long size) {
  std::string path = Under(root_, relative);
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
  // Written whole and moved into place: the server never reads half a file.
  const std::string control = Under(state_, "control");
  const std::string temp = control + ".new";
  {
    std::ofstream f(temp, std::ios::trunc);
    f << "refuse_login=" << (faults.refuseLogin ? 1 : 0) << "\n"
      << "cut_after=" << faults.cutAfter << "\n"
      << "final_reply=" << faults.finalReply << "\n"
      << "announce=" << (faults.announce ? 1 : 0) << "\n"
      << "stall_after=" << faults.stallAfter << "\n"
      << "rate=" << faults.rate << "\n"
      << "logins_allowed=" << faults.loginsAllowed << "\n"
      << "path=" << faults.path << "\n";
  }
  ASSERT_NE(0, MoveFileExA(temp.c_str(), control.c_str(), MOVEFILE_REPLACE_EXISTING)) << GetLastError();
}

std::vector<FtpLogEntry> FtpServerFixture::Log() const {
  std::vector<FtpLogEntry> entries;
  std::ifstream f(Under(state_, "log"));
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
