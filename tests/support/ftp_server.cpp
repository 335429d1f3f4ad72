// The test FTP server fixture, the part both builds share: the server's files, its
// faults and its log (ftp_server_posix.cpp and ftp_server_win32.cpp start and stop it).
#include "support/ftp_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace zdtest {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// `relative` (with '/') under `dir`, its parent directories created.
std::string Under(const std::string& dir, const std::string& relative) {
  const fs::path path = fs::path(dir) / fs::path(relative).make_preferred();
  std::error_code ignored;
  fs::create_directories(path.parent_path(), ignored);
  return path.string();
}

}  // namespace

FtpServerFixture::FtpServerFixture(std::string user, std::string password, bool writable)
    : user_(std::move(user)), password_(std::move(password)), writable_(writable) {
  Start();
}

FtpServerFixture::~FtpServerFixture() { Stop(); }

std::string FtpServerFixture::WriteFile(const std::string& relative, const std::string& contents) {
  const std::string path = Under(root_, relative);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  EXPECT_TRUE(f.good()) << path;
  return path;
}

char FtpServerFixture::PatternByte(long long offset) {
  return static_cast<char>((offset * 131 + offset / 251) & 0xff);
}

std::string FtpServerFixture::WritePatternFile(const std::string& relative, long long size) {
  const std::string path = Under(root_, relative);
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
  {
    std::ofstream f(control + ".new", std::ios::trunc);
    f << "refuse_login=" << (faults.refuseLogin ? 1 : 0) << "\n"
      << "cut_after=" << faults.cutAfter << "\n"
      << "final_reply=" << faults.finalReply << "\n"
      << "announce=" << (faults.announce ? 1 : 0) << "\n"
      << "claim_size=" << faults.claimSize << "\n"
      << "endless=" << (faults.endless ? 1 : 0) << "\n"
      << "stall_after=" << faults.stallAfter << "\n"
      << "drop_after=" << faults.dropAfter << "\n"
      << "mute=" << (faults.mute ? 1 : 0) << "\n"
      << "rate=" << faults.rate << "\n"
      << "hold_store=" << faults.holdStore << "\n"
      << "logins_allowed=" << faults.loginsAllowed << "\n"
      << "path=" << faults.path << "\n";
  }
  std::error_code error;
  fs::rename(control + ".new", control, error);
  ASSERT_FALSE(error) << error.message();
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

std::string FtpServerFixture::LastArgument(int connection, const std::string& verb) const {
  std::string last;
  for (const FtpLogEntry& e : Log()) {
    if (e.kind == "CMD" && e.connection == connection && e.verb == verb) last = e.argument;
  }
  return last;
}

std::vector<int> FtpServerFixture::LoggedOnSince(int after) const {
  std::vector<int> ids;
  for (const FtpLogEntry& e : Log()) {
    if (e.kind == "LOGIN" && e.verb == "OK" && e.connection > after) ids.push_back(e.connection);
  }
  return ids;
}

bool FtpServerFixture::Disconnected(int connection) const {
  for (const FtpLogEntry& e : Log()) {
    if (e.kind == "DISCONNECT" && e.connection == connection) return true;
  }
  return false;
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
