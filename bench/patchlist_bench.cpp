// Parse-and-check of a 100,000-line patch list against an installation of 100,000
// real files (half current, half not), next to a bare stat loop over the same files
// in the same run and cache state; then the same list for files that are all missing
// (every line queued: the queue at its fullest), with the resident memory it takes (in
// a child process that has parsed nothing before).
// Each parse is a run of its own: it declares the installation to the files service
// first (so its names are matched as the disk spells them, from listings read afresh)
// and ends it after. The program uses only the parser's interface, so the same source
// builds against an earlier commit's parser for a side-by-side run.
//
// Usage: patchlist_bench [files] [rounds]
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <ftw.h>

#include "patchlist/patch_list.h"
#include "platform/files.h"

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// The processor time this process has used, user and system.
double CpuSeconds() {
  struct rusage usage;
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// This process's resident size, in KiB (0 when unknown).
long ResidentKiB() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  long kib = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  }
  std::fclose(f);
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const int perDirectory = 1000;

  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/zdbench-XXXXXX";
  std::vector<char> rootBuffer(pattern.begin(), pattern.end());
  rootBuffer.push_back('\0');
  if (::mkdtemp(rootBuffer.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string root = rootBuffer.data();
  const std::string installDir = root + "/Play";
  ::mkdir(installDir.c_str(), 0755);
  ::mkdir((installDir + "/Data").c_str(), 0755);

  // Every file is stamped 2002-06-01 14:30 local time (the offset of that date), 16 bytes.
  struct tm listed {};
  listed.tm_year = 102;
  listed.tm_mon = 5;
  listed.tm_mday = 1;
  listed.tm_hour = 14;
  listed.tm_min = 30;
  listed.tm_isdst = -1;
  const time_t stamp = ::mktime(&listed);
  const timespec times[2] = {{stamp, 0}, {stamp, 0}};

  std::string list, currentList;
  list.reserve(static_cast<size_t>(files) * 80);
  currentList.reserve(static_cast<size_t>(files) * 80);
  const std::string emptyDir = root + "/Empty";
  ::mkdir(emptyDir.c_str(), 0755);
  std::vector<std::string> paths;
  paths.reserve(files);
  char name[64];
  char line[256];
  for (int i = 0; i < files; ++i) {
    if (i % perDirectory == 0) {
      std::snprintf(name, sizeof name, "%s/Data/D%03d", installDir.c_str(), i / perDirectory);
      ::mkdir(name, 0755);
    }
    std::snprintf(name, sizeof name, "D%03d/F%06d.dat", i / perDirectory, i);
    std::string path = installDir + "/Data/" + name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, "0123456789abcdef", 16) != 16 || ::futimens(fd, times) != 0) {
      std::perror(path.c_str());
      return 1;
    }
    ::close(fd);
    paths.push_back(path);
    // Odd lines list a size the file does not have: those are fetched.
    std::snprintf(line, sizeof line, "C 2002-06-01 14:30 %d Data\\D%03d\\F%06d.dat data/D%03d/F%06d.dat\r\n",
                  i % 2 == 0 ? 16 : 17, i / perDirectory, i, i / perDirectory, i);
    list += line;
    std::snprintf(line, sizeof line, "C 2002-06-01 14:30 16 Data\\D%03d\\F%06d.dat data/D%03d/F%06d.dat\r\n",
                  i / perDirectory, i, i / perDirectory, i);
    currentList += line;
  }
  const std::string listPath = root + "/list.txt";
  const std::string currentListPath = root + "/current.txt";
  for (const auto& [path, text] : {std::make_pair(listPath, &list), std::make_pair(currentListPath, &currentList)}) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(text->data(), 1, text->size(), out) != text->size()) {
      std::perror(path.c_str());
      return 1;
    }
    std::fclose(out);
  }

  // The all-missing list as a patch run meets it: parsed by a process that has parsed
  // nothing before, its queue's memory fresh from the system (this process reuses what
  // its earlier parses freed). A child of its own, each round: the time and the
  // resident memory the queue took, and the processor time (less moved by other load on
  // the machine than the wall time).
  std::vector<double> freshTimes, freshCpu;
  long missingKiB = 0;
  for (int r = 0; r < rounds; ++r) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) break;
    const pid_t child = ::fork();
    if (child == 0) {
      EntryList entries;
      int32_t bytes = 0, count = 0;
      const long before = ResidentKiB();
      const double cpu0 = CpuSeconds();
      auto t0 = std::chrono::steady_clock::now();
      plat::OpenInstallation(emptyDir.c_str());
      ParsePatchListFile(listPath.c_str(), emptyDir.c_str(), "/patch/", entries, &bytes, &count);
      const double report[3] = {Seconds(t0, std::chrono::steady_clock::now()), CpuSeconds() - cpu0,
                                entries.count == files ? static_cast<double>(ResidentKiB() - before) : 0.0};
      ::_exit(::write(pipeFds[1], report, sizeof report) == static_cast<ssize_t>(sizeof report) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    double report[3] = {0, 0, 0};
    if (child > 0 && ::read(pipeFds[0], report, sizeof report) == static_cast<ssize_t>(sizeof report)) {
      freshTimes.push_back(report[0]);
      freshCpu.push_back(report[1]);
      missingKiB = static_cast<long>(report[2]);
    }
    if (child > 0) ::waitpid(child, nullptr, 0);
    ::close(pipeFds[0]);
  }

  // Warm both paths once: the directory entries, the inodes and the list file.
  long long sink = 0;
  for (const std::string& p : paths) {
    struct stat st;
    if (::stat(p.c_str(), &st) == 0) sink += st.st_size;
  }
  {
    EntryList warm;
    int32_t bytes = 0, count = 0;
    plat::OpenInstallation(installDir.c_str());
    ParsePatchListFile(listPath.c_str(), installDir.c_str(), "/patch/", warm, &bytes, &count);
    plat::CloseInstallation();
    ReleaseQueue(warm);
  }

  // Each round: the bare stat loop, the half-current list, the all-current list (the
  // parse and check with nothing to keep), and the half-current list against an empty
  // installation (every file missing, every line queued).
  std::vector<double> statTimes, parseTimes, currentTimes, missingTimes, releaseTimes;
  int32_t queued = 0, fileCount = 0, totalBytes = 0, currentQueued = 0, missingQueued = 0;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    for (const std::string& p : paths) {
      struct stat st;
      if (::stat(p.c_str(), &st) == 0) sink += st.st_size;
    }
    auto t1 = std::chrono::steady_clock::now();
    EntryList entries;
    totalBytes = 0;
    fileCount = 0;
    plat::OpenInstallation(installDir.c_str());
    ParsePatchListFile(listPath.c_str(), installDir.c_str(), "/patch/", entries, &totalBytes, &fileCount);
    auto t2 = std::chrono::steady_clock::now();
    queued = entries.count;
    ReleaseQueue(entries);
    plat::CloseInstallation();
    auto t3 = std::chrono::steady_clock::now();
    int32_t bytes = 0, count = 0;
    plat::OpenInstallation(installDir.c_str());
    ParsePatchListFile(currentListPath.c_str(), installDir.c_str(), "/patch/", entries, &bytes, &count);
    auto t4 = std::chrono::steady_clock::now();
    plat::CloseInstallation();
    currentQueued = entries.count;
    ReleaseQueue(entries);
    auto t5 = std::chrono::steady_clock::now();
    plat::OpenInstallation(emptyDir.c_str());
    ParsePatchListFile(listPath.c_str(), emptyDir.c_str(), "/patch/", entries, &bytes, &count);
    auto t6 = std::chrono::steady_clock::now();
    plat::CloseInstallation();
    missingQueued = entries.count;
    ReleaseQueue(entries);
    statTimes.push_back(Seconds(t0, t1));
    parseTimes.push_back(Seconds(t1, t2));
    releaseTimes.push_back(Seconds(t2, t3));
    currentTimes.push_back(Seconds(t3, t4));
    missingTimes.push_back(Seconds(t5, t6));
  }

  ::nftw(root.c_str(), RemoveEntry, 32, FTW_DEPTH | FTW_PHYS);

  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double s = median(statTimes), p = median(parseTimes), f = median(releaseTimes);
  const double c = median(currentTimes), m = median(missingTimes);
  const char* tz = std::getenv("TZ");
  std::printf("files %d, rounds %d, TZ %s (median of rounds)\n", files, rounds, tz != nullptr ? tz : "(unset)");
  std::printf("bare stat loop                  %8.1f ms  (%.2f us/file)\n", s * 1e3, s * 1e6 / files);
  std::printf("parse and check, half current   %8.1f ms  ratio %.2f x  (queued %d)\n", p * 1e3, p / s, queued);
  std::printf("parse and check, all current    %8.1f ms  ratio %.2f x  (queued %d)\n", c * 1e3, c / s,
              currentQueued);
  // The first round takes the queue's memory fresh from the system, as a patch run does.
  std::printf("first round, half current       %8.1f ms  ratio %.2f x  (stat %.1f ms, fresh memory)\n",
              parseTimes[0] * 1e3, parseTimes[0] / statTimes[0], statTimes[0] * 1e3);
  std::printf("parse, all missing               %8.1f ms  ratio %.2f x  (queued %d)\n", m * 1e3, m / s,
              missingQueued);
  if (!freshTimes.empty()) {
    std::printf("parse, all missing, fresh process %6.1f ms  (processor %.1f ms; a process of its own, as a run)\n",
                median(freshTimes) * 1e3, median(freshCpu) * 1e3);
  }
  std::printf("memory of that queue            %8.1f MiB (%.0f bytes per entry, record %zu bytes)\n",
              missingKiB / 1024.0, missingKiB * 1024.0 / (missingQueued > 0 ? missingQueued : 1), sizeof(PatchEntry));
  std::printf("release queue and listings      %8.1f ms\n", f * 1e3);
  std::printf("fileCount %d, totalBytes %d (checksum %lld)\n", fileCount, totalBytes, sink);
  return queued == files / 2 && currentQueued == 0 && missingQueued == files ? 0 : 1;
}
