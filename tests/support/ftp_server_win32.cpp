// Windows: the test FTP server fixture. A Windows program under Wine cannot start the
// Linux server itself, so scripts/test_windows.sh does and hands it over in the
// environment:
//   ZD_FTP_PORT                  the port it printed
//   ZD_FTP_ROOT, ZD_FTP_STATE    its root and state directories, as Windows paths
//   ZD_FTP_USER, ZD_FTP_PASSWORD its one account
// Every test program of the suite shares that server; the log is read the same way as
// on Linux (connection ids only grow), and faults are cleared by each test's set-up.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/ftp.h"
#include "support/ftp_server.h"

namespace zdtest {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

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

const FtpClientTraits& ClientTraits() {
  // Wine's WinINet logs on without PWD, asks the size after a transfer (only where the
  // reply that opened it stated none) and drops an idle connection without QUIT; a name
  // here cannot hold '?'; its calls go through Wine's server, slower than libcurl's.
  static const FtpClientTraits traits{{"USER", "PASS"},
                                      {"TYPE", "PORT", "RETR", "SIZE"},
                                      {},
                                      true,
                                      {plat::kFtpErrorConnectionAborted},
                                      ERROR_PATH_NOT_FOUND,
                                      "odd dir/a;type=a %41#.txt",
                                      200,
                                      5000};
  return traits;
}

}  // namespace zdtest
