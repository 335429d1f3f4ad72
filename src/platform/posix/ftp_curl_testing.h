// Test hook of the libcurl FTP client: shorter time limits, so that tests can show that
// a silent server ends in an error without waiting for the real limits. The program
// never calls this.
#pragma once

namespace plat {

struct FtpTimeLimits {
  long connectMs;        // TCP connect and log-on
  long responseSeconds;  // one server reply (libcurl counts whole seconds)
  long acceptMs;         // the server connecting back for an active data connection
  long lowSpeedSeconds;  // below 1 byte/s for this long ends a transfer
};

// The limits the client uses: 15 s, 30 s, 15 s, 30 s.
FtpTimeLimits FtpDefaultTimeLimits();

// Applies to connects and downloads started afterwards.
void FtpSetTimeLimitsForTesting(const FtpTimeLimits& limits);

}  // namespace plat
