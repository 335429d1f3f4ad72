// Throughput of the FTP client against the test server, beside the command-line tools.
//
//   ftp_bench [large-file-bytes] [small-file-count]
//
// 1. One large file (default 1 GiB) through the client and through `curl`.
// 2. Small files (default 2,000 of 4 KiB), each with a fresh connect, log-on, RETR and
//    QUIT as the patch run does it: the client, a `curl` process per file, and one
//    `lftp` mirror of the directory (one connection for all, for reference).
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ftp.h"
#include "bench_support.h"
#include "support/ftp_server.h"
#include "support/temp_tree.h"

namespace {

using namespace zdbench;


}  // namespace

int main(int argc, char** argv) {
  long long large = argc > 1 ? std::atoll(argv[1]) : (1LL << 30);
  int count = argc > 2 ? std::atoi(argv[2]) : 2000;
  zdtest::FtpServerFixture server;
  if (!server.ok()) return 1;
  zdtest::TempTree local;
  std::string url = "ftp://" + server.user() + ":" + server.password() + "@127.0.0.1:" + std::to_string(server.port());

  // The large file: a repeated 1 MiB block (the contents do not matter here).
  {
    std::string path = server.root() + "/large.bin";
    FILE* f = std::fopen(path.c_str(), "wb");
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = zdtest::FtpServerFixture::PatternByte(static_cast<long long>(i));
    for (long long done = 0; done < large;) {
      size_t n = static_cast<size_t>(std::min<long long>(large - done, static_cast<long long>(block.size())));
      std::fwrite(block.data(), 1, n, f);
      done += static_cast<long long>(n);
    }
    std::fclose(f);
  }
  std::string target = local.Path("large.bin");
  auto start = Clock::now();
  bool ok = Driver(server, {"large.bin"}, {target}).Run();
  double clientLarge = Seconds(start);
  if (!ok || FileSize(target) != large) std::fprintf(stderr, "client: large download failed\n");
  ::unlink(target.c_str());
  start = Clock::now();
  int rc = Run({"curl", "-s", "--ftp-port", "-", "--disable-eprt", "-o", target, url + "/large.bin"});
  double curlLarge = Seconds(start);
  if (rc != 0 || FileSize(target) != large) std::fprintf(stderr, "curl: large download failed (%d)\n", rc);
  ::unlink(target.c_str());
  ::unlink((server.root() + "/large.bin").c_str());

  // Small files.
  std::string block(4096, 'x');
  std::vector<std::string> remotes, locals;
  local.MakeDirs("small");
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "small/f%05d.bin", i);
    server.WriteFile(name, block);
    remotes.push_back(name);
    locals.push_back(local.Path(name));
  }
  start = Clock::now();
  ok = Driver(server, remotes, locals).Run();
  double clientSmall = Seconds(start);
  int present = 0;
  for (const std::string& l : locals) present += FileSize(l) == 4096;
  if (!ok || present != count) std::fprintf(stderr, "client: %d of %d small files\n", present, count);

  start = Clock::now();
  int curlFailures = 0;
  for (int i = 0; i < count; ++i) {
    curlFailures += Run({"curl", "-s", "--ftp-port", "-", "--disable-eprt", "-o", locals[static_cast<size_t>(i)],
                         url + "/" + remotes[static_cast<size_t>(i)]}) != 0;
  }
  double curlSmall = Seconds(start);
  if (curlFailures != 0) std::fprintf(stderr, "curl: %d small downloads failed\n", curlFailures);

  local.MakeDirs("mirror");
  start = Clock::now();
  rc = Run({"lftp", "-e",
            "set ftp:passive-mode off; mirror small " + local.Path("mirror") + "; quit",
            "-u", server.user() + "," + server.password(), "-p", std::to_string(server.port()), "127.0.0.1"});
  double lftpSmall = Seconds(start);
  if (rc != 0) std::fprintf(stderr, "lftp: exit %d\n", rc);

  double mib = static_cast<double>(large) / (1024.0 * 1024.0);
  std::printf("%-44s %10s %12s\n", "case", "seconds", "figure");
  std::printf("%-44s %10.3f %8.0f MiB/s\n", ("large file " + std::to_string(large) + " B, client").c_str(), clientLarge,
              mib / clientLarge);
  std::printf("%-44s %10.3f %8.0f MiB/s\n", "large file, curl tool", curlLarge, mib / curlLarge);
  std::printf("%-44s %10.3f %9.3f ms/file\n", (std::to_string(count) + " x 4 KiB, fresh log-on each, client").c_str(),
              clientSmall, clientSmall * 1000.0 / count);
  std::printf("%-44s %10.3f %9.3f ms/file\n", "same, one curl process per file", curlSmall, curlSmall * 1000.0 / count);
  std::printf("%-44s %10.3f %9.3f ms/file\n", "lftp mirror (one connection for all)", lftpSmall,
              lftpSmall * 1000.0 / count);
  return 0;
}
