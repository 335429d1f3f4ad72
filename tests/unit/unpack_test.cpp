// The unpacking worker against real gzip files, a running (scripted) progress window
// and the real shutdown: progress and bar positions, installation, damaged and cut
// files, write failures (a child process with a file size limit), stops while idle and
// while unpacking, a failed wait, and a close that meets a box raised by the worker.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/patcher.h"
#include "platform/errors.h"
#include "platform/sync.h"
#include "platform/window.h"
#include "support/gzip_builder.h"
#include "support/in_child.h"
#include "support/scripted_window.h"
#include "support/temp_tree.h"
#include "ui/resource.h"

namespace {

using zdtest::BoxRecord;
using zdtest::BoxTexts;
using zdtest::FileExists;
using zdtest::Gzip;
using zdtest::ReadFile;
using zdtest::SampleData;
using zdtest::ScriptedWindow;
using zdtest::TempTree;
using zdtest::WaitUntil;

constexpr uint32_t kMarker = plat::kMsgUser + 100;
constexpr char kDamaged[] = "File is damaged. ZidoDiruv cannot continue.";
constexpr char kWriteFailed[] = "Uncompress file.";

struct Seen {
  uint32_t message;
  uintptr_t wParam;
  bool fromWorker;  // for WM_CLOSE: neither the test nor a close already begun sent it
};

// One progress window run with the real worker and the real ClosePatcher. The dialog
// procedure stands in for the program's: it starts the worker as StartPatching does,
// hands entries over as the transfer sequence does (StartUnpack with the state still
// FetchingFile) and moves on after each done message as FinishUnpack does.
class Harness {
 public:
  // The installation ("game/") and the staging area ("Update/") in a tree of their own,
  // under `base` when given.
  explicit Harness(const std::string& base = "") : tree(base) {}

  PatchEntry* AddEntry(const std::string& name, int32_t unpackedSize) {
    PatchEntry* e = new PatchEntry;
    e->kind = 'Z';
    std::snprintf(e->date, sizeof e->date, "2024-03-05");
    std::snprintf(e->time, sizeof e->time, "12:34");
    EXPECT_TRUE(e->SetPaths(Local(name).c_str(), ("patch/" + name + ".gz").c_str(), name.c_str(),
                            Staging(name).c_str()));
    e->unpackedSize = unpackedSize;
    p.entries.Append(e);
    p.fileCount += 1;
    zdtest::MakeDirs(tree.Path("Update"));
    return e;
  }
  PatchEntry* AddGzip(const std::string& name, const std::string& gz, int32_t unpackedSize) {
    PatchEntry* e = AddEntry(name, unpackedSize);
    zdtest::WriteFile(e->stagingPath, gz);
    e->size = static_cast<int32_t>(gz.size());
    return e;
  }
  PatchEntry* AddFifo(const std::string& name, int32_t unpackedSize) {
    PatchEntry* e = AddEntry(name, unpackedSize);
    if (::mkfifo(e->stagingPath, 0600) != 0) ADD_FAILURE() << "mkfifo: " << std::strerror(errno);
    return e;
  }

  std::string Staging(const std::string& name) const { return tree.Path("Update/" + name + ".gz"); }
  std::string Output(const std::string& name) const { return tree.Path("Update/" + name); }
  std::string Local(const std::string& name) const { return tree.Path("game/" + name); }

  // Runs the window until ClosePatcher has ended it.
  void Run() {
    ScriptedWindow& w = ScriptedWindow::Get();
    w.Reset();
    w.SetDeadlineMs(15000);
    if (answer) w.AnswerBoxes(answer);
    if (pressEx) w.PressExWhen(pressEx);
    g_current = this;
    static const plat::DialogLayout layout{IDD_PATCH, "Vorn-ZEDA  Patch", 266, 47, nullptr, 0, nullptr, 0};
    plat::RunModalDialog(nullptr, layout, &Harness::Proc, 0);
    g_current = nullptr;
  }

  // Hands the entry at `node` to the worker.
  void Begin(EntryNode* node) {
    PatchEntry* e = static_cast<PatchEntry*>(node->value);
    p.cursor = node;
    p.fileIndex += 1;
    p.fileBytes = e->size;
    p.state.store(FetchingFile);
    p.StartUnpack(e);
  }

  std::vector<Seen> Messages(uint32_t message) const {
    std::vector<Seen> out;
    for (const Seen& s : seen)
      if (s.message == message) out.push_back(s);
    return out;
  }
  std::vector<uint32_t> Counts() const {
    std::vector<uint32_t> out;
    for (const Seen& s : Messages(WM_PATCH_UNPACK_PROGRESS)) out.push_back(static_cast<uint32_t>(s.wParam));
    return out;
  }
  bool WorkerPostedClose() const {
    for (const Seen& s : Messages(plat::kMsgClose))
      if (s.fromWorker) return true;
    return false;
  }
  // The test's own end of a run, as LaunchGame or EX would end it.
  void CloseFromTest() {
    testClosing = true;
    plat::SendToWindow(p.hwnd, plat::kMsgClose, 0, 0);
  }

  TempTree tree;  // declared before the record, so removed after it
  Patcher p;
  bool makeUnpackEvent = true;
  bool makeStopEvent = true;
  // Run on the UI thread; onInit replaces the hand-over of the first entry.
  std::function<void()> onInit;
  std::function<void(uint32_t)> onProgress;
  std::function<void(PatchEntry*)> onDone;
  std::function<void()> onMarker;
  std::function<int(const BoxRecord&)> answer;
  std::function<bool()> pressEx;

  // UI thread only (read after Run).
  std::vector<Seen> seen;
  std::vector<int> positions;  // the bar after each progress message
  std::atomic<int> progressCount{0};
  bool testClosing = false;

 private:
  static intptr_t Proc(plat::WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t) {
    Harness* h = g_current;
    Patcher& p = h->p;
    switch (message) {
      case plat::kMsgInitDialog:
        p.hwnd = window;
        if (h->makeUnpackEvent) p.unpackEvent = plat::CreateAutoResetEvent();
        if (h->makeStopEvent) p.stopEvent = plat::CreateAutoResetEvent();
        p.workerThread = plat::StartThread(UnpackWorker, &p);
        if (h->onInit) {
          h->onInit();
        } else if (p.entries.head != nullptr) {
          h->Begin(p.entries.head);
        }
        break;
      case plat::kMsgClose:
        h->seen.push_back(Seen{message, wParam, !h->testClosing && !p.ClosingStarted()});
        p.ClosePatcher();
        break;
      case plat::kMsgCommand:
        if ((wParam & 0xFFFF) == static_cast<uintptr_t>(plat::kIdCancel)) h->CloseFromTest();
        break;
      case WM_PATCH_UNPACK_PROGRESS:
        h->seen.push_back(Seen{message, wParam, false});
        p.ShowUnpackProgress(static_cast<uint32_t>(wParam));
        h->positions.push_back(ScriptedWindow::Get().BarPosition());
        h->progressCount.fetch_add(1);
        if (h->onProgress) h->onProgress(static_cast<uint32_t>(wParam));
        break;
      case WM_PATCH_UNPACK_DONE: {
        h->seen.push_back(Seen{message, wParam, false});
        if (p.ClosingStarted() || p.cursor == nullptr) break;
        if (h->onDone) h->onDone(static_cast<PatchEntry*>(p.cursor->value));
        p.state.store(ConnectingForFile);
        EntryNode* next = p.cursor->next;
        if (next != nullptr) {
          h->Begin(next);
        } else {
          h->CloseFromTest();
        }
        break;
      }
      case kMarker:
        h->seen.push_back(Seen{message, wParam, false});
        if (h->onMarker) h->onMarker();
        break;
      default:
        break;
    }
    return 0;
  }

  static Harness* g_current;
};

Harness* Harness::g_current = nullptr;

std::string ErrorTextOf(int code) {
  char text[512];
  EXPECT_TRUE(plat::ErrorText(static_cast<uint32_t>(code), text, sizeof text));
  return text;
}

// Feeds a FIFO staging file from a thread of the test. Opening waits until the worker
// has opened the other end, i.e. until it has taken the hand-over.
class FifoWriter {
 public:
  explicit FifoWriter(std::string path) : path_(std::move(path)) {}
  ~FifoWriter() {
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    EXPECT_TRUE(failed.empty()) << failed;
  }
  void Start(std::function<void(FifoWriter&)> body) {
    thread_ = std::thread([this, body] {
      if (!WaitUntil([this] {
            fd_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            return fd_ >= 0;
          })) {
        failed = "the worker never opened the staging file";
        return;
      }
      ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
      body(*this);
    });
  }
  // False once the reader has gone (EPIPE) or on any other failure.
  bool Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  int Unread() const {
    int n = -1;
    ::ioctl(fd_, FIONREAD, &n);
    return n;
  }
  void Close() {
    ::close(fd_);
    fd_ = -1;
  }
  std::string failed;  // what the feed could not do; fails the test

 private:
  std::string path_;
  int fd_ = -1;
  std::thread thread_;
};

// A gzip stream without end: the worker can only leave it through a stop.
void FeedForever(FifoWriter& writer) {
  zdtest::GzipStream stream;
  for (uint32_t seed = 1; seed < 100000; ++seed) {
    if (!writer.Write(stream.Add(SampleData(65536, seed)))) return;  // the worker closed it
  }
  writer.failed = "the worker read the endless stream to its limit";
}

// Runs `h` with the staging file of `name` a FIFO that `feed` writes from a thread of the
// test; the writer ends once the worker has closed the stream (EPIPE). Listed as large
// as a list can say unless told otherwise.
void RunFeeding(Harness& h, const std::string& name, std::function<void(FifoWriter&)> feed,
                int32_t unpackedSize = INT32_MAX) {
  // Writes to a reader that has gone must fail with EPIPE, not end the test process.
  void (*const sigpipe)(int) = ::signal(SIGPIPE, SIG_IGN);
  h.AddFifo(name, unpackedSize);
  {
    FifoWriter writer(h.Staging(name));
    writer.Start(std::move(feed));
    h.Run();
  }
  ::signal(SIGPIPE, sigpipe);
}

// Which of an entry's files are left: its staging file, its output, its installed copy.
std::string Remains(const Harness& h, const std::string& name) {
  std::string left;
  for (const std::string& path : {h.Staging(name), h.Output(name), h.Local(name)})
    if (FileExists(path)) left += path + " ";
  return left;
}

TEST(UnpackTest, UnpacksInstallsAndReportsEveryBlock) {
  Harness h;
  const std::string data = SampleData(40000);
  PatchEntry* e = h.AddGzip("Data/a.dat", Gzip(data), 40000);
  std::string stagingAtDone;
  bool compressedGoneAtDone = false;
  h.onDone = [&](PatchEntry* done) {
    EXPECT_EQ(done, e);
    stagingAtDone = done->stagingPath;
    compressedGoneAtDone = !FileExists(h.Staging("Data/a.dat"));
  };
  h.Run();

  EXPECT_FALSE(ScriptedWindow::Get().TimedOut());
  EXPECT_EQ(h.Counts(), (std::vector<uint32_t>{16384, 32768, 40000}));
  EXPECT_EQ(h.positions, (std::vector<int>{409, 819, 1000}));
  EXPECT_EQ(h.Messages(WM_PATCH_UNPACK_DONE).size(), 1u);
  EXPECT_FALSE(h.WorkerPostedClose());
  EXPECT_TRUE(BoxTexts().empty());
  // The bar starts again from 0 when the unpacking begins.
  const auto bars = ScriptedWindow::Get().Bars();
  ASSERT_FALSE(bars.empty());
  EXPECT_EQ(bars.front().message, plat::kMsgBarSetPos);
  EXPECT_EQ(bars.front().wParam, 0u);
  EXPECT_EQ(ScriptedWindow::Get().Texts(IDC_STATUS).front().text, "[1/1] Data/a.dat uncompressing file...");
  // Installed in place; the compressed file and the emptied staging directory are gone.
  EXPECT_EQ(stagingAtDone, h.Output("Data/a.dat"));
  EXPECT_TRUE(compressedGoneAtDone);
  EXPECT_EQ(ReadFile(h.Local("Data/a.dat")), data);
  EXPECT_FALSE(FileExists(h.Output("Data/a.dat")));
  EXPECT_FALSE(FileExists(h.tree.Path("Update/Data")));
}

TEST(UnpackTest, EmptyContentsInstallAnEmptyFileOverLeftovers) {
  Harness h;
  h.AddGzip("empty.dat", Gzip(""), 0);
  // A read-only leftover of an earlier run and an old installed copy.
  h.tree.Write("Update/empty.dat", "leftover");
  ::chmod(h.Output("empty.dat").c_str(), 0444);
  h.tree.Write("game/empty.dat", "old contents");
  h.Run();

  EXPECT_TRUE(h.Counts().empty());
  EXPECT_EQ(h.Messages(WM_PATCH_UNPACK_DONE).size(), 1u);
  EXPECT_TRUE(BoxTexts().empty());
  ASSERT_TRUE(FileExists(h.Local("empty.dat")));
  EXPECT_EQ(ReadFile(h.Local("empty.dat")), "");
}

TEST(UnpackTest, DamagedOrCutFilesAreRefusedAndTheirOutputRemoved) {
  const std::string data = SampleData(300000, 7);
  const std::string gz = Gzip(data);
  std::string corrupt = gz;
  for (size_t i = gz.size() / 2; i < gz.size() / 2 + 64; ++i) corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5A);
  std::string badCrc = gz;
  badCrc[gz.size() - 8] = static_cast<char>(badCrc[gz.size() - 8] ^ 1);
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"corrupt deflate data", corrupt},
      {"a trailer that does not match", badCrc},
      {"cut in the middle", gz.substr(0, gz.size() / 2)},
      {"the trailer missing", gz.substr(0, gz.size() - 8)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    h.AddGzip("b.dat", c.bytes, static_cast<int32_t>(data.size()));
    bool partialOutputSeen = false;
    h.onProgress = [&](uint32_t) { partialOutputSeen = partialOutputSeen || FileExists(h.Output("b.dat")); };
    h.Run();

    EXPECT_EQ(BoxTexts(), std::vector<std::string>{kDamaged});
    EXPECT_TRUE(h.WorkerPostedClose());
    EXPECT_TRUE(h.Messages(WM_PATCH_UNPACK_DONE).empty());
    EXPECT_TRUE(partialOutputSeen);  // something was written before the fault showed
    EXPECT_EQ(Remains(h, "b.dat"), "");  // the staging file removed by the shutdown
  }
}

// A write failure made real: the run happens in a child process whose file size limit
// stops the output, with SIGXFSZ ignored so the write fails with EFBIG instead.
TEST(UnpackTest, WriteFailureShowsUncompressAndRemovesTheOutput) {
  struct Case {
    const char* what;
    size_t size;
    rlim_t limit;
    size_t progress;  // blocks reported before the failure
  } cases[] = {
      {"a block cannot be written", 40000, 20000, 1},
      // The last 100 bytes stay in the output's buffer until it is closed.
      {"only the final flush fails", 32868, 32818, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempTree local;
    const std::string gz = Gzip(SampleData(c.size, 3));
    zdtest::ExpectPassesInChild([&] {
      ::signal(SIGXFSZ, SIG_IGN);
      Harness h(local.root());
      h.AddGzip("c.dat", gz, static_cast<int32_t>(c.size));
      const rlimit limit{c.limit, c.limit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      h.Run();
      EXPECT_EQ(BoxTexts(), std::vector<std::string>{kWriteFailed});
      EXPECT_EQ(h.Counts().size(), c.progress);
      EXPECT_TRUE(h.Messages(WM_PATCH_UNPACK_DONE).empty());
      EXPECT_TRUE(h.WorkerPostedClose());
      EXPECT_EQ(Remains(h, "c.dat"), "");
    });
  }
}

// A stop while a block is unpacked: EX, or the stop event seen by the worker itself,
// which then closes the window. Either ends the run without a box and without the entry.
TEST(UnpackTest, AStopDuringUnpackingEndsTheRunWithoutABox) {
  for (const bool byEx : {true, false}) {
    SCOPED_TRACE(byEx ? "EX" : "stop event");
    Harness h;
    if (byEx) {
      h.pressEx = [&] { return h.progressCount.load() >= 1; };
    } else {
      h.onProgress = [&](uint32_t) {
        if (h.progressCount.load() == 1) plat::SignalEvent(h.p.stopEvent);
      };
    }
    RunFeeding(h, "big.dat", FeedForever);
    EXPECT_FALSE(ScriptedWindow::Get().TimedOut());
    EXPECT_EQ(ScriptedWindow::Get().ExPressed(), byEx);
    EXPECT_EQ(h.WorkerPostedClose(), !byEx);
    EXPECT_TRUE(BoxTexts().empty());
    EXPECT_FALSE(h.Counts().empty());
    EXPECT_TRUE(h.Messages(WM_PATCH_UNPACK_DONE).empty());
    EXPECT_EQ(h.p.workerThread, nullptr);  // the shutdown waited for it and closed it
    EXPECT_EQ(Remains(h, "big.dat"), "");
  }
}

// The worker meets a damaged block just after EX has started the shutdown, which then
// waits for the worker while the worker waits for its box: the wait must show the box.
TEST(UnpackTest, BoxRaisedWhileTheShutdownWaitsIsShown) {
  Harness h;
  std::atomic<bool> workerReading{false};
  bool closingWhenShown = false;
  h.pressEx = [&] { return workerReading.load(); };
  h.answer = [&](const BoxRecord&) {
    closingWhenShown = h.p.ClosingStarted();
    return plat::kIdOk;
  };
  RunFeeding(h, "late.dat", [&](FifoWriter& w) {
    // A gzip header alone: the worker's first read takes it and waits for more, past
    // its stop poll.
    static const char header[] = {'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, 0, 3};
    if (!w.Write(std::string(header, sizeof header)) || !WaitUntil([&] { return w.Unread() == 0; })) {
      w.failed = "the worker did not read the header";
      return;
    }
    workerReading.store(true);
    if (!WaitUntil([&] { return h.p.ClosingStarted(); })) {
      w.failed = "EX did not start the shutdown";
      return;
    }
    // An invalid block type: the read the worker is in fails.
    w.Write(std::string(16, '\xff'));
    w.Close();
  });

  EXPECT_FALSE(ScriptedWindow::Get().TimedOut());
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{kDamaged});
  EXPECT_TRUE(closingWhenShown);
  EXPECT_EQ(h.p.workerThread, nullptr);
  EXPECT_EQ(Remains(h, "late.dat"), "");
}

// The worker ends by itself (a stop while idle, or a wait that fails because an event
// is missing) and posts nothing: a marker posted after its end is the first message.
TEST(UnpackTest, WorkerEndsSilentlyOnIdleStopOrFailedWait) {
  struct Case {
    const char* what;
    bool unpackEvent;
    bool stopEvent;
    bool signalStop;
  } cases[] = {
      {"stop while idle", true, true, true},
      {"no unpack event", false, true, false},
      {"no stop event", true, false, false},
      {"no event at all", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    // A valid entry under the cursor that a worker reading it would unpack.
    h.AddGzip("d.dat", Gzip(SampleData(50000)), 50000);
    h.p.cursor = h.p.entries.head;
    h.makeUnpackEvent = c.unpackEvent;
    h.makeStopEvent = c.stopEvent;
    bool ended = false;
    size_t seenBeforeMarker = 99;
    h.onInit = [&] {
      if (c.signalStop) plat::SignalEvent(h.p.stopEvent);
      ended = WaitUntil([&] { return plat::ThreadFinished(h.p.workerThread); });
      plat::PostToWindow(h.p.hwnd, kMarker, 0, 0);
    };
    h.onMarker = [&] {
      seenBeforeMarker = h.seen.size() - 1;
      h.CloseFromTest();
    };
    h.Run();

    EXPECT_TRUE(ended);
    EXPECT_EQ(seenBeforeMarker, 0u);
    EXPECT_TRUE(BoxTexts().empty());
    EXPECT_EQ(Remains(h, "d.dat"), "");
  }
}

TEST(UnpackTest, UnopenableFilesReportTheSystemError) {
  for (const int code : {ENOENT, EISDIR}) {
    SCOPED_TRACE(code == ENOENT ? "missing staging file" : "output path taken by a directory");
    Harness h;
    if (code == ENOENT) {
      h.AddEntry("x.dat", 100);
    } else {
      h.AddGzip("x.dat", Gzip("x"), 1);
      h.tree.Write("Update/x.dat/inside", "keeps the directory from being removed");
    }
    h.Run();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{ErrorTextOf(code)});
    EXPECT_TRUE(h.WorkerPostedClose());
    EXPECT_TRUE(h.Counts().empty());
    EXPECT_FALSE(FileExists(h.Local("x.dat")));
    EXPECT_EQ(FileExists(h.Output("x.dat")), code == EISDIR);
  }
}

TEST(UnpackTest, TwoEntriesInARowAreUnpackedOneAfterTheOther) {
  Harness h;
  const std::string first = SampleData(20000, 11);
  const std::string second = SampleData(17000, 12);
  h.AddGzip("one.dat", Gzip(first), 20000);
  // A listed name far longer than the status text: the name is cut, the rest kept.
  const std::string longName = std::string(300, 'n') + "/two.dat";
  PatchEntry* two = h.AddGzip("two.dat", Gzip(second), 17000);
  ASSERT_TRUE(two->SetPaths(two->localPath, two->remotePath, longName.c_str(), two->stagingPath));
  bool secondUntouchedAtFirstDone = false;
  int doneCount = 0;
  h.onDone = [&](PatchEntry*) {
    if (++doneCount == 1)
      secondUntouchedAtFirstDone = FileExists(h.Staging("two.dat")) && !FileExists(h.Output("two.dat"));
  };
  h.Run();

  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(h.Counts(), (std::vector<uint32_t>{16384, 20000, 16384, 17000}));
  EXPECT_EQ(doneCount, 2);
  EXPECT_TRUE(secondUntouchedAtFirstDone);
  EXPECT_EQ(ReadFile(h.Local("one.dat")), first);
  EXPECT_EQ(ReadFile(h.Local("two.dat")), second);
  const auto texts = ScriptedWindow::Get().Texts(IDC_STATUS);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].text, "[1/2] one.dat uncompressing file...");
  const std::string suffix = " uncompressing file...";  // the text's 127 characters end in it
  EXPECT_EQ(texts[1].text, "[2/2] " + longName.substr(0, 127 - 6 - suffix.size()) + suffix);
}

// The listed unpacked size is the file's size: a stream that unpacks one byte past it,
// or ends short of it, is damaged, and nothing past it is ever written. A stream without
// end (a gzip bomb) is left at the listed size.
TEST(UnpackTest, AnUnpackedSizeOtherThanTheListedOneIsDamaged) {
  struct Case {
    int32_t listed;
    std::vector<uint32_t> counts;
  } cases[] = {
      {39999, {16384, 32768}},         // one byte past
      {40001, {16384, 32768, 40000}},  // short by one
      {0, {}},
  };
  const std::string data = SampleData(40000, 5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listed);
    Harness h;
    h.AddGzip("e.dat", Gzip(data), c.listed);
    h.Run();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{kDamaged});
    EXPECT_EQ(h.Counts(), c.counts);
    EXPECT_TRUE(h.WorkerPostedClose());
    EXPECT_EQ(Remains(h, "e.dat"), "");
  }

  Harness h;
  RunFeeding(h, "bomb.dat", FeedForever, 100000);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{kDamaged});
  ASSERT_FALSE(h.Counts().empty());
  EXPECT_LE(h.Counts().back(), 100000u);
  EXPECT_EQ(Remains(h, "bomb.dat"), "");
}

}  // namespace
