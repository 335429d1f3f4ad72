// Many patch runs in a row in one process against one server, as a patcher left running
// for a long session would never see, but as leaks and creeping costs show best: memory
// (resident size and the heap in use), open descriptors and time per run must not grow,
// and every run must look the same (boxes, status texts, the installation afterwards).
//
//   load_bench [runs] [entries] [fetched]
//
// The list has `entries` lines (default 500): `fetched` files (default 40) are taken out
// of the installation before each run and fetched again, a few of them packed ('Z'); a
// few files are deleted by the list and put back before each run; the rest are current
// and only checked. Each run is in-process with the test window, like tests/run.
// Prints the first and last runs' figures and exits 1 when anything grew or differed.
#include <malloc.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/patcher.h"
#include "bench_support.h"
#include "platform/ftp.h"
#include "support/ftp_server.h"
#include "support/gzip_builder.h"
#include "support/scripted_window.h"
#include "support/temp_tree.h"

namespace {

using namespace zdbench;
using zdtest::FtpServerFixture;
using zdtest::ScriptedWindow;

struct RunFigures {
  double seconds = 0;
  long rssKiB = 0;
  size_t heapBytes = 0;
  int descriptors = 0;
  std::string look;          // boxes and status texts, figures masked
  std::string installation;  // names, sizes and times of the installation
};

long ResidentKiB() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  long pages = 0, resident = 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    --n;  // the listing's own
  }
  return n;
}

// A text with its figures (byte counts, speeds, times, counters) masked, and repeats of
// the same masked text in a row dropped: how often a progress text is refreshed depends
// on how the data arrives, what it says does not.
std::string Masked(const std::string& text) {
  std::string out;
  for (char c : text) {
    const char m = std::isdigit(static_cast<unsigned char>(c)) ? '#' : c;
    if (m == '#' && !out.empty() && out.back() == '#') continue;
    out += m;
  }
  return out;
}

std::string Look() {
  std::map<int, std::vector<std::string>> byControl;
  for (const zdtest::TextRecord& t : ScriptedWindow::Get().Texts()) {
    std::vector<std::string>& seq = byControl[t.controlId];
    const std::string m = Masked(t.text);
    if (seq.empty() || seq.back() != m) seq.push_back(m);
  }
  std::string look;
  for (const auto& c : byControl) {
    look += "control " + std::to_string(c.first) + ":";
    for (const std::string& s : c.second) look += " [" + s + "]";
    look += "\n";
  }
  for (const zdtest::BoxRecord& b : ScriptedWindow::Get().Boxes()) look += "box [" + b.text + "]\n";
  return look;
}

void Describe(const std::string& dir, const std::string& prefix, std::string* out) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    struct stat st;
    const std::string path = dir + "/" + n;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      *out += prefix + n + "/\n";
      Describe(path, prefix + n + "/", out);
    } else {
      *out += prefix + n + " " + std::to_string(st.st_size) + " " + std::to_string(st.st_mtime / 60) + "\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(2, std::atoi(argv[1])) : 200;
  const int entries = argc > 2 ? std::max(20, std::atoi(argv[2])) : 500;
  const int fetched = argc > 3 ? std::min(std::max(1, std::atoi(argv[3])), entries / 2) : 40;
  const int packed = std::max(1, fetched / 8);
  const int deleted = 5;

  FtpServerFixture server;
  if (!server.ok()) return 1;
  zdtest::TempTree tree;
  ::chmod(tree.root().c_str(), 0700);
  tree.Write("xdg/SOFTWARE/Brisco Entertainment/Tessary/SETUP PATH", tree.Path("game") + "/\n");
  tree.WriteSettings("game", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(server.port()) +
                                 "\nUSERID=" + server.user() + "\nPASSWD=" + server.password() +
                                 "\nBASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n");
  const std::string game = tree.Write("game/Vorn.exe", "#!/bin/sh\nexit 0\n");
  ::chmod(game.c_str(), 0755);
  zdtest::ScopedEnv registry("XDG_CONFIG_DIRS", tree.Path("xdg"));
  zdtest::ScopedEnv runtime("XDG_RUNTIME_DIR", "");
  zdtest::ScopedEnv tmp("TMPDIR", tree.root());
  zdtest::ScopedTimeZone tz("UTC");

  // The list: fetched files first (some packed), then deletions, then current files.
  std::string list;
  std::vector<std::string> refetch;   // taken out before each run
  std::vector<std::string> restore;   // put back before each run
  for (int i = 0; i < entries; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "d%02d\\f%04d.bin", i % 20, i);
    std::string local = name;
    std::string remote = local;
    std::replace(remote.begin(), remote.end(), '\\', '/');
    std::string disk = remote;
    const std::string body = zdtest::SampleData(2048 + static_cast<size_t>(i % 7) * 512, static_cast<uint32_t>(i));
    if (i < fetched) {
      refetch.push_back(disk);
      if (i < packed) {
        const std::string gz = zdtest::Gzip(body);
        server.WriteFile("patch/" + remote + ".gz", gz);
        list += "Z 2002-06-01 14:30 " + std::to_string(body.size()) + ":" + std::to_string(gz.size()) + " " + local +
                " " + remote + ".gz\n";
      } else {
        server.WriteFile("patch/" + remote, body);
        list += "C 2002-06-01 14:30 " + std::to_string(body.size()) + " " + local + " " + remote + "\n";
      }
    } else if (i < fetched + deleted) {
      restore.push_back(disk);
      list += "D 2002-06-01 14:30 0 " + local + " " + remote + "\n";
    } else {
      // Current: in the installation with the listed stamp and size.
      server.WriteFile("patch/" + remote, body);
      tree.Write("game/" + disk, body);
      tree.SetLocalMtime("game/" + disk, 2002, 6, 1, 14, 30);
      list += "C 2002-06-01 14:30 " + std::to_string(body.size()) + " " + local + " " + remote + "\n";
    }
  }
  server.WriteFile("patch/patch.lst", list);

  std::vector<RunFigures> figures;
  figures.reserve(static_cast<size_t>(runs));
  RunFigures first;
  bool failed = false;
  for (int run = 0; run < runs; ++run) {
    for (const std::string& f : refetch) ::unlink(tree.Path("game/" + f).c_str());
    for (const std::string& f : restore) tree.Write("game/" + f, "to be deleted\n");

    ScriptedWindow::Get().Reset();
    ScriptedWindow::Get().SetDeadlineMs(120000);
    RunFigures r;
    const auto start = Clock::now();
    bool ran;
    {
      Patcher patcher;
      ran = patcher.RunPatchWindow(nullptr);
    }
    plat::FtpShutdown();
    r.seconds = Seconds(start);
    r.rssKiB = ResidentKiB();
    r.heapBytes = mallinfo2().uordblks;
    r.descriptors = OpenDescriptors();
    r.look = Look();
    Describe(tree.Path("game"), "", &r.installation);
    if (!ran || ScriptedWindow::Get().TimedOut() || !ScriptedWindow::Get().Boxes().empty()) {
      std::fprintf(stderr, "run %d did not end by itself without a box:\n%s", run + 1, r.look.c_str());
      failed = true;
    }
    if (!figures.empty() && r.look != first.look) {
      std::fprintf(stderr, "run %d looked different:\n--- first\n%s--- this\n%s", run + 1,
                   first.look.c_str(), r.look.c_str());
      failed = true;
    }
    if (!figures.empty() && r.installation != first.installation) {
      std::fprintf(stderr, "run %d left a different installation\n", run + 1);
      failed = true;
    }
    // Only the first run's texts are kept: holding every run's would grow the heap itself.
    if (figures.empty()) first = r;
    r.look.clear();
    r.installation.clear();
    r.look.shrink_to_fit();
    r.installation.shrink_to_fit();
    figures.push_back(r);
    if (failed) break;
  }
  if (failed) return 1;

  // First and last tenth (at least one run each); the very first run is left out of
  // the first group, since it pays for what is set up once (libraries, the resolver).
  const size_t group = std::max<size_t>(1, figures.size() / 10);
  auto average = [&](size_t from, double RunFigures::*field) {
    double sum = 0;
    for (size_t i = from; i < from + group; ++i) sum += figures[i].*field;
    return sum / static_cast<double>(group);
  };
  const size_t firstFrom = figures.size() > group + 1 ? 1 : 0;
  const size_t lastFrom = figures.size() - group;
  const double firstMs = average(firstFrom, &RunFigures::seconds) * 1000;
  const double lastMs = average(lastFrom, &RunFigures::seconds) * 1000;
  const RunFigures& second = figures[firstFrom];
  const RunFigures& last = figures.back();
  std::printf("%d runs, %d-entry list (%d fetched, %d of them packed, %d deleted, %d current)\n", runs, entries,
              fetched, packed, deleted, entries - fetched - deleted);
  std::printf("%-28s %14s %14s\n", "", "first runs", "last runs");
  std::printf("%-28s %14.1f %14.1f\n", "time per run, ms (mean)", firstMs, lastMs);
  std::printf("%-28s %14ld %14ld\n", "resident, KiB", second.rssKiB, last.rssKiB);
  std::printf("%-28s %14zu %14zu\n", "heap in use, bytes", second.heapBytes, last.heapBytes);
  std::printf("%-28s %14d %14d\n", "open descriptors", second.descriptors, last.descriptors);
  if (std::getenv("LOAD_BENCH_SHOW") != nullptr) std::printf("%s", first.look.c_str());
  std::printf("every run: the same status texts (%zu controls), no box, the same installation\n",
              static_cast<size_t>(std::count(first.look.begin(), first.look.end(), '\n')));

  const double heapPerRun = (static_cast<double>(last.heapBytes) - static_cast<double>(second.heapBytes)) /
                            static_cast<double>(figures.size() - 1 - firstFrom);
  std::printf("%-28s %14.0f\n", "heap growth per run, bytes", heapPerRun);
  // Limits: descriptors exactly; the heap by at most 2 KiB a run, which is the record
  // the window layer keeps of every dialog it has run (posix::KeepWindow: a handle stays
  // valid for late posts, which are then refused; the program runs one dialog a
  // process); resident size within 2 MiB plus that; time within half again.
  bool grew = false;
  if (last.descriptors != second.descriptors) grew = true, std::printf("descriptors grew\n");
  if (heapPerRun > 2048) grew = true, std::printf("the heap grew\n");
  if (last.rssKiB > second.rssKiB + 2048 + static_cast<long>(2 * figures.size())) grew = true, std::printf("the resident size grew\n");
  if (lastMs > firstMs * 1.5 + 20) grew = true, std::printf("runs got slower\n");
  return grew ? 1 : 0;
}
