// Round trips per file: small files fetched through a proxy that delays the control
// connection, as a player far from the server sees them.
//
//   latency_bench [files] [delay-ms]
//
// Each file gets a fresh connection and log-on, as in a patch run. The proxy
// (bench/delay_proxy.py) delays every byte of the control connection by delay-ms
// (default 10) each way; active-mode data connections go from the server to the
// client directly. For the client, a `curl` process per file and an `lftp` process per
// file, through the same proxy: the commands each file's connection sent (from the
// server's log; every one waits for its reply) and the time per file.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/ftp.h"
#include "support/ftp_server.h"
#include "support/temp_tree.h"

namespace {

using namespace zdbench;

// The proxy process: started in front of the server's port, ended with the object.
class DelayProxy {
 public:
  DelayProxy(uint16_t target, double delayMs) {
    char delay[32];
    std::snprintf(delay, sizeof delay, "%g", delayMs);
    std::string said;
    port_ = zdtest::StartWithPort({"/usr/bin/python3", std::string(ZD_SOURCE_DIR) + "/bench/delay_proxy.py",
                                   "--target", std::to_string(target), "--delay-ms", delay},
                                  &pid_, &said);
  }
  ~DelayProxy() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

struct Result {
  std::string name;
  double msPerFile = 0;
  double commandsPerFile = 0;  // commands sent on a file's connection, QUIT included
  double beforeDataPerFile = 0;  // commands answered before the file's data could flow
  std::string sequence;        // the commands of the first file's connection
  int failures = 0;
};

// The commands the server saw on the connections opened since `firstConnection`, one
// connection per file.
void Count(const zdtest::FtpServerFixture& server, int firstConnection, int files, Result* r) {
  std::map<int, std::vector<std::string>> byConnection;
  for (const zdtest::FtpLogEntry& e : server.Log()) {
    if (e.kind == "CMD" && e.connection >= firstConnection) byConnection[e.connection].push_back(e.verb);
  }
  long total = 0, beforeData = 0;
  for (const auto& entry : byConnection) {
    total += static_cast<long>(entry.second.size());
    const auto retr = std::find(entry.second.begin(), entry.second.end(), "RETR");
    beforeData += static_cast<long>(retr - entry.second.begin()) + (retr != entry.second.end() ? 1 : 0);
  }
  r->commandsPerFile = static_cast<double>(total) / files;
  r->beforeDataPerFile = static_cast<double>(beforeData) / files;
  if (!byConnection.empty()) {
    for (const std::string& verb : byConnection.begin()->second) r->sequence += (r->sequence.empty() ? "" : " ") + verb;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
  const double delayMs = argc > 2 ? std::atof(argv[2]) : 10.0;
  zdtest::FtpServerFixture server;
  if (!server.ok()) return 1;
  DelayProxy proxy(server.port(), delayMs);
  if (proxy.port() == 0) {
    std::fprintf(stderr, "the delaying proxy did not start\n");
    return 1;
  }
  zdtest::TempTree local;
  std::vector<std::string> remotes;
  const std::string block(4096, 'x');
  for (int i = 0; i < files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "lat/f%04d.bin", i);
    server.WriteFile(name, block);
    remotes.push_back(name);
  }
  auto locals = [&](const std::string& dir) {
    local.MakeDirs(dir);
    std::vector<std::string> out;
    for (int i = 0; i < files; ++i) out.push_back(local.Path(dir + "/" + std::to_string(i)));
    return out;
  };
  auto countWhole = [&](const std::vector<std::string>& paths) {
    int bad = 0;
    for (const std::string& p : paths) bad += FileSize(p) != 4096;
    return bad;
  };
  const std::string port = std::to_string(proxy.port());
  std::vector<Result> results;

  {
    Result r;
    r.name = "client";
    const std::vector<std::string> targets = locals("client");
    const int first = server.Connections() + 1;
    const auto start = Clock::now();
    const bool ok = Driver(server, remotes, targets, proxy.port()).Run();
    r.msPerFile = Seconds(start) * 1000.0 / files;
    r.failures = ok ? countWhole(targets) : files;
    // The last connection's QUIT goes after the driver has finished.
    zdtest::FtpServerFixture::WaitFor([&] { return server.Disconnections() >= server.Connections(); });
    Count(server, first, files, &r);
    results.push_back(r);
  }
  {
    Result r;
    r.name = "curl, a process per file";
    const std::vector<std::string> targets = locals("curl");
    const std::string url = "ftp://" + server.user() + ":" + server.password() + "@127.0.0.1:" + port + "/";
    const int first = server.Connections() + 1;
    const auto start = Clock::now();
    for (int i = 0; i < files; ++i) {
      r.failures += Run({"curl", "-s", "--ftp-port", "-", "--disable-eprt", "-o", targets[static_cast<size_t>(i)],
                         url + remotes[static_cast<size_t>(i)]}) != 0;
    }
    r.msPerFile = Seconds(start) * 1000.0 / files;
    r.failures += countWhole(targets);
    zdtest::FtpServerFixture::WaitFor([&] { return server.Disconnections() >= server.Connections(); });
    Count(server, first, files, &r);
    results.push_back(r);
  }
  {
    Result r;
    r.name = "lftp, a process per file";
    const std::vector<std::string> targets = locals("lftp");
    const int first = server.Connections() + 1;
    const auto start = Clock::now();
    for (int i = 0; i < files; ++i) {
      r.failures += Run({"lftp", "-e",
                         "set ftp:passive-mode off; set cmd:interactive off; get " + remotes[static_cast<size_t>(i)] +
                             " -o " + targets[static_cast<size_t>(i)] + "; quit",
                         "-u", server.user() + "," + server.password(), "-p", port, "127.0.0.1"}) != 0;
    }
    r.msPerFile = Seconds(start) * 1000.0 / files;
    r.failures += countWhole(targets);
    zdtest::FtpServerFixture::WaitFor([&] { return server.Disconnections() >= server.Connections(); });
    Count(server, first, files, &r);
    results.push_back(r);
  }

  std::printf("%d files of 4 KiB, control connection delayed %.1f ms each way (round trip %.1f ms)\n", files, delayMs,
              2 * delayMs);
  std::printf("%-28s %9s %9s %11s  %s\n", "case", "commands", "to data", "ms/file", "commands of one file");
  for (const Result& r : results) {
    std::printf("%-28s %9.2f %9.2f %11.1f  %s%s\n", r.name.c_str(), r.commandsPerFile, r.beforeDataPerFile, r.msPerFile,
                r.sequence.c_str(), r.failures != 0 ? "  (FAILURES)" : "");
  }
  return 0;
}
