// Unpacking a large gzip file through the worker, with every progress message handled
// by a running (scripted) progress window, next to `gzip -dc > file` on the same file
// in the same run. The rounds alternate which one goes first; each starts after a
// sync so that neither pays for the other's write-back.
//
// Usage: unpack_bench [directory] [MiB] [rounds]
//   directory  where the sample (made once with gzip -1) and the outputs go;
//              default ./unpack_bench_data
//   MiB        unpacked size of the sample, default 1024
//   rounds     default 3
//
// Built against the test window by default; with ZD_BENCH_REAL_WINDOW defined and
// linked with the FLTK window instead, it runs the program's own window (under Xvfb).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/patcher.h"
#include "platform/sync.h"
#include "platform/window.h"
#include "support/gzip_builder.h"
#include "ui/dialog_layout.h"
#include "ui/resource.h"
#ifndef ZD_BENCH_REAL_WINDOW
#include "support/scripted_window.h"
#endif

namespace {

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double ThreadCpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// Makes the sample once: text-like data, compressed by the gzip tool at level 1.
bool MakeSample(const std::string& gz, uint64_t bytes) {
  if (FileSize(gz) > 0) return true;
  const std::string part = gz + ".part";
  std::printf("making %s (%llu MiB unpacked, gzip -1)...\n", gz.c_str(),
              static_cast<unsigned long long>(bytes >> 20));
  std::fflush(stdout);
  FILE* pipe = ::popen(("gzip -1 > " + Quoted(part)).c_str(), "w");
  if (pipe == nullptr) return false;
  const bool written = zdtest::WriteSampleData(fileno(pipe), bytes, 2024);
  if (::pclose(pipe) != 0 || !written) return false;
  return std::rename(part.c_str(), gz.c_str()) == 0;
}

struct WorkerRun {
  double wall = 0;   // hand-over to the done message
  double uiCpu = 0;  // UI thread CPU time over the same span
  uint64_t progressMessages = 0;
  uint32_t lastCount = 0;
  bool done = false;
};

struct BenchState {
  Patcher* p = nullptr;
  WorkerRun* run = nullptr;
  double start = 0;
  double startCpu = 0;
};
BenchState g_bench;

intptr_t BenchProc(plat::WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t) {
  Patcher& p = *g_bench.p;
  WorkerRun& r = *g_bench.run;
  switch (message) {
    case plat::kMsgInitDialog: {
      p.hwnd = window;
      p.unpackEvent = plat::CreateAutoResetEvent();
      p.stopEvent = plat::CreateAutoResetEvent();
      p.workerThread = plat::StartThread(UnpackWorker, &p);
      p.cursor = p.entries.head;
      p.fileIndex = 1;
      p.state.store(FetchingFile);
      g_bench.start = Now();
      g_bench.startCpu = ThreadCpu();
      p.StartUnpack(static_cast<PatchEntry*>(p.cursor->value));
      break;
    }
    case WM_PATCH_UNPACK_PROGRESS:
      p.ShowUnpackProgress(static_cast<uint32_t>(wParam));
      ++r.progressMessages;
      r.lastCount = static_cast<uint32_t>(wParam);
      break;
    case WM_PATCH_UNPACK_DONE:
      r.wall = Now() - g_bench.start;
      r.uiCpu = ThreadCpu() - g_bench.startCpu;
      r.done = true;
      plat::SendToWindow(window, plat::kMsgClose, 0, 0);
      break;
    case plat::kMsgClose:
      p.ClosePatcher();
      break;
    default:
      break;
  }
  return 0;
}

WorkerRun RunWorker(const std::string& dir, const std::string& gz, uint64_t unpacked) {
  WorkerRun r;
  const std::string update = dir + "/Update";
  ::mkdir(update.c_str(), 0700);
  const std::string staging = update + "/sample.dat.gz";
  const std::string local = dir + "/worker.out";
  ::unlink(staging.c_str());
  // The worker deletes its staging file: give it a second name for the sample.
  if (::link(gz.c_str(), staging.c_str()) != 0) {
    std::perror("link");
    return r;
  }
  Patcher p;
  PatchEntry* e = new PatchEntry;
  e->kind = 'Z';
  std::snprintf(e->date, sizeof e->date, "2024-01-02");
  std::snprintf(e->time, sizeof e->time, "03:04");
  e->SetPaths(local.c_str(), "", "sample.dat", staging.c_str());
  e->unpackedSize = unpacked > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(unpacked);
  p.entries.Append(e);
  p.fileCount = 1;
  g_bench.p = &p;
  g_bench.run = &r;
#ifndef ZD_BENCH_REAL_WINDOW
  zdtest::ScriptedWindow::Get().Reset();
  zdtest::ScriptedWindow::Get().SetDeadlineMs(30 * 60 * 1000);
#endif
  plat::RunModalDialog(plat::CurrentModule(), PatchDialogLayout(), BenchProc, 0);
  if (FileSize(local) != unpacked) {
    std::fprintf(stderr, "worker output has %llu bytes, expected %llu\n",
                 static_cast<unsigned long long>(FileSize(local)), static_cast<unsigned long long>(unpacked));
    r.done = false;
  }
  ::unlink(local.c_str());
  ::unlink(staging.c_str());
  return r;
}

double RunGzip(const std::string& dir, const std::string& gz, uint64_t unpacked) {
  const std::string out = dir + "/gzip.out";
  const double start = Now();
  const int status = std::system(("gzip -dc " + Quoted(gz) + " > " + Quoted(out)).c_str());
  const double wall = Now() - start;
  const bool ok = status == 0 && FileSize(out) == unpacked;
  ::unlink(out.c_str());
  return ok ? wall : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "unpack_bench_data";
  const uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  const uint64_t unpacked = mib << 20;
  ::mkdir(dir.c_str(), 0700);
  const std::string gz = dir + "/sample-" + std::to_string(mib) + "MiB.gz";
  if (!MakeSample(gz, unpacked)) {
    std::fprintf(stderr, "cannot make the sample\n");
    return 1;
  }
  std::printf("sample: %llu bytes unpacked, %llu bytes compressed (%.2f:1)\n",
              static_cast<unsigned long long>(unpacked), static_cast<unsigned long long>(FileSize(gz)),
              static_cast<double>(unpacked) / static_cast<double>(FileSize(gz)));

  std::vector<double> gzipTimes, workerTimes, ratios, uiShares;
  for (int round = 0; round < rounds; ++round) {
    double g = 0;
    WorkerRun w;
    for (int turn = 0; turn < 2; ++turn) {
      ::sync();
      if ((turn == 0) == (round % 2 == 0)) {
        g = RunGzip(dir, gz, unpacked);
      } else {
        w = RunWorker(dir, gz, unpacked);
      }
    }
    if (g < 0 || !w.done) {
      std::fprintf(stderr, "round %d failed\n", round + 1);
      return 1;
    }
    const double share = w.uiCpu / w.wall;
    std::printf("round %d: gzip -dc %.3f s (%.0f MB/s) | worker %.3f s (%.0f MB/s), %.3fx gzip, "
                "UI thread CPU %.3f s = %.1f%% of wall, %llu progress messages\n",
                round + 1, g, unpacked / g / 1e6, w.wall, unpacked / w.wall / 1e6, g / w.wall, w.uiCpu,
                share * 100, static_cast<unsigned long long>(w.progressMessages));
    std::fflush(stdout);
    gzipTimes.push_back(g);
    workerTimes.push_back(w.wall);
    ratios.push_back(g / w.wall);
    uiShares.push_back(share);
  }
  std::printf("median: gzip -dc %.3f s, worker %.3f s; worker speed %.3fx gzip's; UI thread CPU %.1f%% of wall\n",
              Median(gzipTimes), Median(workerTimes), Median(ratios), Median(uiShares) * 100);
  return 0;
}
