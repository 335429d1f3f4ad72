// A real FTP server for tests: tests/support/ftp_server.py (pyftpdlib) on a free
// loopback port, with its own root directory, one account, fault injection and a log of
// what it saw (connections, commands, log-ons, data sent). Linux starts one per fixture
// (ftp_server_posix.cpp); the Windows tests share the one their script started
// (ftp_server_win32.cpp).
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zdtest {

struct FtpFaults {
  bool refuseLogin = false;   // every PASS answered 530
  long long cutAfter = -1;    // RETR sends only this many bytes, then claims success
  int finalReply = 0;         // RETR sends its data whole, then answers this (426...) instead of 226
  bool announce = false;      // the reply opening a RETR states the size: "150 ... (N bytes)."
  long long claimSize = -1;   // SIZE, and the reply opening a RETR (with announce), state this size
  bool endless = false;       // RETR sends the file, then zeros without end (rate keeps it finite)
  long long stallAfter = -1;  // RETR sends this many bytes, then falls silent
  long long dropAfter = -1;   // RETR sends this many bytes, then the control connection is dropped
  bool mute = false;          // commands are read and never answered
  long long rate = 0;         // RETR sends about this many bytes per second (0 = no limit)
  std::string holdStore;      // a STOR of a file whose name holds this receives nothing until cleared
  int loginsAllowed = -1;     // log-ons after this many successful ones are refused (-1: all allowed)
  std::string path;           // the faults of a RETR and claimSize only for this file (root-relative); "" = all
};

// One event of the server's log.
struct FtpLogEntry {
  std::string kind;  // CONNECT, DISCONNECT, CMD, LOGIN, SENT, DROP
  int connection = 0;
  std::string verb;  // CMD: the command; LOGIN: OK or FAIL; SENT: complete or incomplete
  std::string argument;  // CMD: its argument; SENT: the byte count
};

// How this build's FTP client meets the server where libcurl (Linux) and WinINet
// (Windows) differ, in what platform/ftp.h leaves open.
struct FtpClientTraits {
  std::vector<std::string> logOn;     // the commands of a connect
  std::vector<std::string> download;  // then those of a download (the server states no size)
  std::vector<std::string> close;     // then those of the close of an idle connection
  bool sizeOnlyWhenNeeded;            // no SIZE after a transfer whose size was stated, or refused
  std::vector<uint32_t> refused;      // the codes of a transfer its closing reply refuses
  uint32_t missingDirectory;          // the code of a download into a missing local directory
  const char* oddName;                // a remote name full of URL syntax the server's disk can hold
  int closeMs;                        // the longest a close may take
  int timeoutMs;                      // the longest a 1-second time limit may take to end a log-on
};
const FtpClientTraits& ClientTraits();

// Linux: starts `args` (argv[0] a full path) with its output to a pipe, and waits up to
// 10 s for the line "PORT <n>" it prints when it listens. The port, or 0 with what it
// said in *said; the process in *pid (-1 when none started).
uint16_t StartWithPort(std::vector<std::string> args, pid_t* pid, std::string* said);

class FtpServerFixture {
 public:
  // Starts the server; on failure the test fails (ADD_FAILURE) and ok() is false.
  // `writable`: the account may also store, rename and delete files and make folders.
  explicit FtpServerFixture(std::string user = "patchuser", std::string password = "pa55word",
                            bool writable = false);
  ~FtpServerFixture();
  FtpServerFixture(const FtpServerFixture&) = delete;
  FtpServerFixture& operator=(const FtpServerFixture&) = delete;

  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  const std::string& root() const { return root_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }

  // Writes a file under the root (parents created); returns its full path.
  std::string WriteFile(const std::string& relative, const std::string& contents);
  // A file of `size` bytes of a position-dependent pattern (see PatternByte).
  std::string WritePatternFile(const std::string& relative, long long size);
  static char PatternByte(long long offset);

  // Faults take effect from the next command the server receives.
  void SetFaults(const FtpFaults& faults);
  void ClearFaults() { SetFaults(FtpFaults()); }

  std::vector<FtpLogEntry> Log() const;
  int Connections() const;          // connections accepted
  int Disconnections() const;       // connections ended
  int Logons() const;               // PASS commands (log-on attempts)
  int SuccessfulLogons() const;
  int CommandCount(const std::string& verb) const;
  int Retrs() const { return CommandCount("RETR"); }
  // The commands of one connection, in order ("USER", "PASS", "PWD", ...).
  std::vector<std::string> CommandsOf(int connection) const;
  // The argument of the last `verb` the connection sent ("" when it sent none).
  std::string LastArgument(int connection, const std::string& verb) const;
  // The connections after the first `after` that logged on successfully. One a test
  // closed while it was still being made, which the server may accept late, never did.
  std::vector<int> LoggedOnSince(int after) const;
  bool Disconnected(int connection) const;

  // Linux: ends the server at once (SIGKILL), as a machine that goes down, its files
  // and log kept; Restart starts it again on them, on another port (false when it did
  // not start).
  void Kill();
  bool Restart();

  // Polls `condition` until it holds or `timeoutMs` has passed; returns its last value.
  static bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000);

 private:
  void Start();
  void Launch();
  void Stop();

  std::string user_;
  std::string password_;
  bool writable_;
  std::string base_;   // temp directory holding root/ and state/
  std::string root_;
  std::string state_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

}  // namespace zdtest
