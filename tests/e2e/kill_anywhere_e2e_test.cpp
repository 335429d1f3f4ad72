// The built program killed (SIGKILL) at many moments of a patch run that replaces
// files, adds one, unpacks a multi-megabyte 'Z' entry, deletes a file and renews the
// patcher itself through its three processes. After each kill, before anything runs
// again, every installed file must be whole (its old or its new contents, never a
// mixture, the patcher included) and nothing foreign may sit in the installation; a
// rerun must then bring the installation to exactly what the list says (contents,
// stamps, the deleted file gone) and leave the staging area and the temporary
// directory as one clean run leaves them.
//
// Kill points are spread by time (evenly over the length of a measured clean run, the
// server slowed so that the run lasts a few seconds) and by file-system and process
// events (a partial download appearing, a staged file, an installed file changing,
// the unpacking under way, the deletion, each process of the self-update).
//
// ZD_KILL_POINTS sets how many kill points are tried (default 10, the CI form); the
// README gives the command for the long form.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "support/ftp_server.h"
#include "support/gzip_builder.h"
#include "support/temp_tree.h"
#include "support/x11_session.h"

namespace {

using namespace zdtest;

const char kBoxName[] = "^Tessary ZidoDiruv$";
const char kDate[] = "2002-07-15";
const char kTime[] = "09:05";
const char kStamp[] = "2002-07-15 09:05";
constexpr size_t kUnpackedSize = 8u << 20;

std::string Pattern(size_t size, unsigned seed) {
  std::string s(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

std::string Join(const std::set<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += n + " ";
  return text;
}

// Processes whose program file lies under `dir` (deleted images included): every
// process of the patch run, whichever of the three it is.
std::vector<pid_t> ProgramsUnder(const std::string& dir) {
  std::vector<pid_t> pids;
  if (DIR* proc = ::opendir("/proc")) {
    while (const dirent* e = ::readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
      if (pid <= 0) continue;
      char link[4096];
      const ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), link, sizeof link - 1);
      if (n <= 0) continue;
      link[n] = '\0';
      if (std::string(link).compare(0, dir.size() + 1, dir + "/") == 0) pids.push_back(pid);
    }
    ::closedir(proc);
  }
  return pids;
}

std::string CommandLineOf(pid_t pid) {
  std::string text = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  std::replace(text.begin(), text.end(), '\0', ' ');
  return text;
}

// Bytes written so far by a process (its write calls); -1 when it is gone.
long long BytesWritten(pid_t pid) {
  std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/io"));
  for (std::string key; in >> key;) {
    long long value = 0;
    in >> value;
    if (key == "wchar:") return value;
  }
  return -1;
}

long long SizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Polls `condition` as fast as the machine lets it (the moments caught here last a
// few milliseconds), up to `ms`.
bool CatchWithin(const std::function<bool()>& condition, int ms) {
  const double deadline = SteadyNowMs() + ms;
  while (!condition()) {
    if (SteadyNowMs() > deadline) return false;
    sched_yield();
  }
  return true;
}

// One installed file: what it held before the patch, what the list brings.
struct Known {
  std::string name;     // relative to the installation, '/' separated
  std::string before;   // contents before; empty with hadBefore false: not there
  bool hadBefore = true;
  std::string after;    // contents the list gives it
  bool deleted = false;  // the list deletes it
  bool current = false;  // already current: never touched
};

// How a kill point is chosen, and what is killed there.
struct KillPoint {
  std::string label;
  double atMs = -1;  // a moment after the start, or
  std::function<bool()> trigger;  // an event (checked by fast polling)
  // What to kill once the moment has come; all of the run's processes when empty.
  std::function<void()> kill;
};

class KillAnywhere : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb_.Start()) << "Xvfb could not be started";
    ASSERT_TRUE(server_.ok());
    for (const char* dir : {"run", "xdg", "home"}) tree_.MakeDirs(dir);
    app_ = tree_.Path("app");
    installed_ = app_ + "/zidodiruv";
    staged_ = app_ + "/Update/zidodiruv";
    oldPatcher_ = ReadFile(ZD_PROGRAM);
    // The new version: the same program with bytes of its own after the image (the
    // loader ignores them), a few megabytes so that its copy can be caught half-way.
    newPatcher_ = oldPatcher_ + std::string(4096, '\n') + Pattern(6u << 20, 7) + "renewed\n";

    files_ = {
        {"a.dat", Pattern(150000, 1), true, Pattern(300000, 2)},
        {"sub/b.dat", "old b\n", true, Pattern(200000, 3)},
        {"c.dat", "", false, Pattern(100000, 4)},
        {"big.bin", Pattern(1 << 20, 5), true, SampleData(kUnpackedSize, 6)},
        {"gone.dat", "to be deleted\n", true, "", true},
        {"keep.dat", "already current\n", true, "already current\n", false, true},
    };
    const std::string gz = Gzip(files_[3].after);
    server_.WriteFile("patch/a.dat", files_[0].after);
    server_.WriteFile("patch/sub/b.dat", files_[1].after);
    server_.WriteFile("patch/c.dat", files_[2].after);
    server_.WriteFile("patch/big.bin.gz", gz);
    server_.WriteFile("patch/keep.dat", files_[5].after);
    server_.WriteFile("patch/new/zidodiruv", newPatcher_);
    const std::string stamp = std::string(kDate) + " " + kTime + " ";
    server_.WriteFile("patch/patch.lst",
                      "C " + stamp + std::to_string(files_[0].after.size()) + " a.dat a.dat\r\n" +
                      "C " + stamp + std::to_string(files_[1].after.size()) + " sub\\b.dat sub/b.dat\r\n" +
                      "C " + stamp + std::to_string(files_[2].after.size()) + " c.dat c.dat\r\n" +
                      "C " + stamp + std::to_string(files_[5].after.size()) + " keep.dat keep.dat\r\n" +
                      "Z " + stamp + std::to_string(kUnpackedSize) + ":" + std::to_string(gz.size()) +
                      " big.bin big.bin.gz\r\n" +
                      "D " + stamp + "0 gone.dat gone.dat\r\n" +
                      "P " + stamp + std::to_string(newPatcher_.size()) + " zidodiruv new/zidodiruv\r\n");
    downloadBytes_ = files_[0].after.size() + files_[1].after.size() + files_[2].after.size() + gz.size() +
                     newPatcher_.size();
  }
  void TearDown() override { KillAll(); }

  // The installation before the patch, and an empty temporary directory.
  void Reset() {
    KillAll();
    RemoveTree(app_);
    RemoveTree(tree_.Path("run"));
    tree_.MakeDirs("run");
    ::chmod(tree_.Path("run").c_str(), 0700);
    tree_.MakeDirs("app");
    for (const Known& f : files_)
      if (f.hadBefore) WriteStaleFile(app_ + "/" + f.name, f.before);
    tree_.SetLocalMtime("app/keep.dat", 2002, 7, 15, 9, 5);
    WriteStaleFile(installed_, oldPatcher_);
    ::chmod(installed_.c_str(), 0755);
    const std::string game = tree_.Write("app/Vorn.exe", "#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/started\"\n");
    ::chmod(game.c_str(), 0755);
    tree_.WriteSettings("app", "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=" + std::to_string(server_.port()) +
                                   "\nUSERID=patchuser\nPASSWD=pa55word\nBASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n");
  }

  void Start(ChildProcess& run) { ASSERT_TRUE(run.Start({installed_}, ProgramEnv(xvfb_, tree_.root()), app_)); }

  void KillAll() {
    // Killing one process of the hand-off can let the next one start: repeat until none is left.
    for (int round = 0; round < 50; ++round) {
      const std::vector<pid_t> pids = ProgramsUnder(app_);
      if (pids.empty()) return;
      for (pid_t pid : pids) ::kill(pid, SIGKILL);
      WaitUntil([&] { return ProgramsUnder(app_).empty(); }, 2000);
    }
  }

  // The game has been started and has written its line.
  bool GameStarted() {
    const std::string text = ReadFile(app_ + "/started");
    return !text.empty() && text.back() == '\n';
  }

  // Waits until every process of the run has ended, answering any box with Return;
  // false when they did not end within `ms`. Boxes seen are counted.
  bool Settle(int ms, int* boxes) {
    const double deadline = SteadyNowMs() + ms;
    unsigned long lastBox = 0;
    while (!ProgramsUnder(app_).empty()) {
      if (SteadyNowMs() > deadline) return false;
      const unsigned long box = xvfb_.FindWindow(kBoxName, 200);
      if (box != 0) {
        if (box != lastBox) ++*boxes;
        lastBox = box;
        xvfb_.Xdotool({"windowfocus", "--sync", std::to_string(box)});
        xvfb_.Xdotool({"key", "Return"});
      }
    }
    return true;
  }

  // Every installed file whole, old or new; the patcher old or new and still a
  // program; nothing in the installation (outside the staging area) that is neither.
  std::string CheckWhole() {
    std::string faults;
    for (const Known& f : files_) {
      const std::string path = app_ + "/" + f.name;
      if (!FileExists(path)) {
        if (f.hadBefore && !f.deleted) faults += f.name + " is missing; ";
        continue;
      }
      const std::string now = ReadFile(path);
      if (!(f.hadBefore && now == f.before) && !(!f.deleted && now == f.after))
        faults += f.name + " is neither old nor new (" + std::to_string(now.size()) + " bytes); ";
    }
    const std::string patcher = ReadFile(installed_);
    if (patcher != oldPatcher_ && patcher != newPatcher_)
      faults += "the patcher is neither old nor new (" + std::to_string(patcher.size()) + " bytes); ";
    struct stat st;
    if (::stat(installed_.c_str(), &st) != 0 || (st.st_mode & 0777) != 0755) faults += "the patcher lost its mode; ";
    for (const std::string& name : TreeListing(app_)) {
      if (name.compare(0, 7, "Update/") == 0 || name == "Update/" || name == "sub/") continue;
      bool known = name == "zidodiruv" || name == "Vorn.exe" || name == "VornPatch.ini" || name == "started";
      for (const Known& f : files_) known = known || f.name == name;
      if (!known) faults += "stray " + name + "; ";
    }
    return faults;
  }

  // The installation as the list says, nothing else.
  std::string CheckFinal() {
    std::string faults;
    for (const Known& f : files_) {
      const std::string path = app_ + "/" + f.name;
      if (f.deleted) {
        if (FileExists(path)) faults += f.name + " was not deleted; ";
        continue;
      }
      if (ReadFile(path) != f.after) faults += f.name + " has the wrong contents; ";
      if (LocalStamp(path) != kStamp) faults += f.name + " is stamped " + LocalStamp(path) + "; ";
    }
    if (ReadFile(installed_) != newPatcher_) faults += "the patcher was not renewed; ";
    if (LocalStamp(installed_) != kStamp) faults += "the patcher is stamped " + LocalStamp(installed_) + "; ";
    std::set<std::string> names = TreeListing(app_);
    for (auto it = names.begin(); it != names.end();)
      it = it->compare(0, 7, "Update/") == 0 ? names.erase(it) : std::next(it);
    // The staging area is compared with a clean run's separately.
    const std::set<std::string> want{"a.dat",         "sub/",     "sub/b.dat", "c.dat",    "big.bin",
                                     "keep.dat",      "started",  "Vorn.exe",  "zidodiruv", "VornPatch.ini"};
    if (names != want) faults += "installation holds " + Join(names) + "; ";
    return faults;
  }
  // The staging area: "-" when there is none, else its contents.
  std::string Staging() { return FileExists(app_ + "/Update") ? "Update/ " + Join(TreeListing(app_ + "/Update")) : "-"; }

  // One clean run: its length and what it leaves in the staging area and the
  // temporary directory.
  void MeasureCleanRun() {
    Reset();
    SetRate();
    ChildProcess run;
    const double start = SteadyNowMs();
    Start(run);
    int boxes = 0;
    ASSERT_TRUE(WaitUntil([&] { return GameStarted(); }, 120000)) << "the clean run did not end";
    runMs_ = SteadyNowMs() - start;
    ASSERT_TRUE(Settle(30000, &boxes));
    EXPECT_EQ(boxes, 0);
    server_.ClearFaults();
    ASSERT_EQ(CheckFinal(), "");
    ASSERT_EQ(ReadFile(app_ + "/started"), "-U\n");
    referenceStaging_ = Staging();
    referenceTemp_ = TreeListing(tree_.Path("run"));
  }
  void SetRate() {
    FtpFaults slow;
    // About three seconds of downloading for the whole patch.
    slow.rate = static_cast<long long>(downloadBytes_ / 3);
    server_.SetFaults(slow);
  }

  XvfbSession xvfb_;
  FtpServerFixture server_;
  TempTree tree_;
  std::string app_, installed_, staged_, oldPatcher_, newPatcher_;
  std::vector<Known> files_;
  size_t downloadBytes_ = 0;
  double runMs_ = 0;
  std::string referenceStaging_;
  std::set<std::string> referenceTemp_;
};

TEST_F(KillAnywhere, EveryKillLeavesWholeFilesAndARerunFinishesThePatch) {
  MeasureCleanRun();
  if (HasFatalFailure()) return;

  const char* knob = std::getenv("ZD_KILL_POINTS");
  const int total = std::max(1, knob != nullptr ? std::atoi(knob) : 10);

  auto killAll = [this] { KillAll(); };
  // Stops the run's processes where they are, then kills them, so a moment of a few
  // milliseconds is not run past between seeing it and the kill.
  auto freezeAndKill = [this] {
    for (pid_t pid : ProgramsUnder(app_)) ::kill(pid, SIGSTOP);
    KillAll();
  };
  auto exists = [](const std::string& path) { return [path] { return FileExists(path); }; };
  auto changed = [this](const std::string& path, const std::string& before) {
    return [path, before, this] {
      return SizeOf(path) >= 0 && (SizeOf(path) != static_cast<long long>(before.size()) || ReadFile(path) != before);
    };
  };
  std::vector<KillPoint> events{
      {"partial download appears", -1, exists(app_ + "/Update/a.dat.part"), freezeAndKill},
      {"unpacking under way", -1, [this] { return SizeOf(app_ + "/Update/big.bin") > 0; }, freezeAndKill},
      {"deleted file gone", -1, [this] { return !FileExists(app_ + "/gone.dat"); }, freezeAndKill},
      {"old patcher after it started the replacing copy", -1,
       [this] { return !ProcessesRunningFrom(staged_).empty(); },
       [this] {
         for (pid_t pid : ProgramsUnder(app_))
           if (CommandLineOf(pid).find(" -P ") == std::string::npos) ::kill(pid, SIGKILL);
       }},
      {"replacing copy during its copy", -1,
       [this] {
         for (pid_t pid : ProcessesRunningFrom(staged_))
           if (BytesWritten(pid) > 0) return true;
         return false;
       },
       freezeAndKill},
      {"renewed patcher in its delete step", -1,
       [this] {
         for (pid_t pid : ProgramsUnder(app_))
           if (CommandLineOf(pid).find(" -D ") != std::string::npos) return true;
         return false;
       },
       freezeAndKill},
      {"staged file of a.dat complete", -1, exists(app_ + "/Update/a.dat"), freezeAndKill},
      {"a.dat replaced", -1, changed(app_ + "/a.dat", files_[0].before), freezeAndKill},
      {"new file c.dat installed", -1, exists(app_ + "/c.dat"), freezeAndKill},
      {"packed entry downloading", -1, exists(app_ + "/Update/big.bin.gz.part"), freezeAndKill},
      {"packed entry complete", -1, exists(app_ + "/Update/big.bin.gz"), freezeAndKill},
      {"big.bin replaced", -1, changed(app_ + "/big.bin", files_[3].before), freezeAndKill},
      {"new patcher downloading", -1, exists(staged_ + ".part"), freezeAndKill},
      {"patcher replaced", -1, changed(installed_, oldPatcher_), freezeAndKill},
      {"renewed patcher after removing the copy", -1,
       [this] { return !FileExists(staged_) && ReadFile(installed_) == newPatcher_ && !ProgramsUnder(app_).empty(); },
       freezeAndKill},
      {"game started", -1, exists(app_ + "/started"), killAll},
  };
  // The short form takes the first six events (one of each kind of step); the rest of
  // the points are moments spread evenly over the clean run.
  const size_t eventCount = total >= 2 * static_cast<int>(events.size()) ? events.size()
                                                                         : std::min<size_t>(6, total / 2 + 1);
  std::vector<KillPoint> points(events.begin(), events.begin() + static_cast<long>(eventCount));
  const int timed = total - static_cast<int>(eventCount);
  for (int i = 0; i < timed; ++i) {
    const double at = runMs_ * (i + 0.5) / timed;
    points.push_back({"at " + std::to_string(static_cast<int>(at)) + " ms", at, nullptr, killAll});
  }

  // ZD_KILL_ONLY keeps the points whose label holds the text (to replay one).
  if (const char* only = std::getenv("ZD_KILL_ONLY")) {
    points.erase(std::remove_if(points.begin(), points.end(),
                                [only](const KillPoint& p) { return p.label.find(only) == std::string::npos; }),
                 points.end());
  }
  std::map<std::string, int> outcomes;
  int boxesAfterKill = 0;
  for (const KillPoint& point : points) {
    SCOPED_TRACE(point.label);
    Reset();
    SetRate();
    ChildProcess run;
    const double start = SteadyNowMs();
    Start(run);
    const bool hit = point.trigger ? CatchWithin(point.trigger, 60000)
                                   : WaitUntil([&] { return SteadyNowMs() - start >= point.atMs; }, 120000);
    const bool runEnded = ProgramsUnder(app_).empty() && FileExists(app_ + "/started");
    point.kill();
    ++outcomes[!hit ? "moment not reached" : runEnded ? "run had ended" : "killed"];
    // Processes the kill left alone (the replacing copy after the old patcher died) go on.
    ASSERT_TRUE(Settle(60000, &boxesAfterKill)) << "the run's processes did not end after the kill";
    EXPECT_EQ(CheckWhole(), "") << "after the kill";
    server_.ClearFaults();

    // The rerun, from whichever patcher is installed now.
    ChildProcess rerun;
    ::unlink((app_ + "/started").c_str());
    Start(rerun);
    int boxes = 0;
    ASSERT_TRUE(WaitUntil([&] { return GameStarted(); }, 60000) || Settle(1000, &boxes))
        << "the rerun did not start the game";
    ASSERT_TRUE(Settle(60000, &boxes)) << "the rerun did not end";
    EXPECT_EQ(boxes, 0) << "the rerun showed a box";
    EXPECT_EQ(ReadFile(app_ + "/started"), "-U\n") << "the game was not started exactly once by the rerun";
    EXPECT_EQ(CheckFinal(), "") << "after the rerun";
    EXPECT_EQ(Staging(), referenceStaging_) << "the staging area after the rerun";
    EXPECT_EQ(Join(TreeListing(tree_.Path("run"))), Join(referenceTemp_)) << "the temporary directory after the rerun";
  }
  std::printf("clean run %.0f ms, leaving staging [%s] temp [%s]\n", runMs_, referenceStaging_.c_str(),
              Join(referenceTemp_).c_str());
  std::printf("clean run %.0f ms; %zu kill points (%zu by event, %d by time):", runMs_, points.size(), eventCount,
              timed);
  for (const auto& o : outcomes) std::printf(" %s %d;", o.first.c_str(), o.second);
  std::printf(" boxes after a kill %d\n", boxesAfterKill);
}

}  // namespace
