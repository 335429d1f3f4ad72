#include "support/scripted_window.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "platform/posix/dispatcher.h"

namespace zdtest {

namespace {

double SteadyMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Ends the test process unless destroyed within `ms`: a run that cannot end would
// otherwise hold up the whole suite.
class Watchdog {
 public:
  explicit Watchdog(int ms) : thread_([this, ms] {
    std::unique_lock<std::mutex> lock(mutex_);
    if (changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; })) return;
    std::fprintf(stderr, "scripted window: the run did not end within %d ms (deadlock?)\n", ms);
    std::abort();
  }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

ScriptedWindow& ScriptedWindow::Get() {
  static ScriptedWindow* instance = new ScriptedWindow;
  return *instance;
}

ScriptedWindow::ScriptedWindow() { Reset(); }

void ScriptedWindow::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  start_ = SteadyMs();
  answer_ = nullptr;
  pressEx_ = nullptr;
  onText_ = nullptr;
  exPressed_ = false;
  deadlineMs_ = 30000;
  timedOut_ = false;
  dialogsRun_ = 0;
  caption_.clear();
  texts_.clear();
  bars_.clear();
  boxes_.clear();
  barPos_ = 0;
  postsHandled_ = 0;
}

void ScriptedWindow::AnswerBoxes(std::function<int(const BoxRecord&)> answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = std::move(answer);
}

void ScriptedWindow::PressExWhen(std::function<bool()> condition) {
  std::lock_guard<std::mutex> lock(mutex_);
  pressEx_ = std::move(condition);
  exPressed_ = false;
}

void ScriptedWindow::OnText(std::function<void(int, const std::string&)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  onText_ = std::move(hook);
}

void ScriptedWindow::SetDeadlineMs(int ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  deadlineMs_ = ms;
}

std::vector<TextRecord> ScriptedWindow::Texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return texts_;
}

std::vector<TextRecord> ScriptedWindow::Texts(int controlId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<TextRecord> out;
  for (const TextRecord& t : texts_)
    if (t.controlId == controlId) out.push_back(t);
  return out;
}

std::vector<BarRecord> ScriptedWindow::Bars() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bars_;
}

std::vector<BoxRecord> ScriptedWindow::Boxes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

std::vector<std::string> BoxTexts() {
  std::vector<std::string> out;
  for (const BoxRecord& b : ScriptedWindow::Get().Boxes()) out.push_back(b.text);
  return out;
}

std::string ScriptedWindow::Text(int controlId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = texts_.rbegin(); it != texts_.rend(); ++it)
    if (it->controlId == controlId) return it->text;
  return std::string();
}

int ScriptedWindow::BarPosition() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return barPos_;
}

bool ScriptedWindow::ExPressed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exPressed_;
}

bool ScriptedWindow::TimedOut() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timedOut_;
}

int ScriptedWindow::DialogsRun() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dialogsRun_;
}

std::string ScriptedWindow::Caption() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return caption_;
}

plat::WindowHandle ScriptedWindow::Handle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handle_;
}

uint64_t ScriptedWindow::PostsHandled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return postsHandled_;
}

double ScriptedWindow::Now() const { return SteadyMs() - start_; }

void ScriptedWindow::RecordText(int id, const char* text) {
  std::function<void(int, const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back(TextRecord{SteadyMs() - start_, id, text});
    hook = onText_;
  }
  if (hook) hook(id, text);
}

void ScriptedWindow::RecordBar(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  std::lock_guard<std::mutex> lock(mutex_);
  bars_.push_back(BarRecord{SteadyMs() - start_, message, wParam, lParam});
  if (message == plat::kMsgBarSetPos) barPos_ = static_cast<int>(wParam);
}

int ScriptedWindow::AnswerBox(const char* text, const char* title, uint32_t flags, bool hadOwner,
                              bool onUi) {
  BoxRecord record{0, text, title, flags, hadOwner, onUi, 0};
  std::function<int(const BoxRecord&)> answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    record.ms = SteadyMs() - start_;
    answer = answer_;
  }
  const bool yesNo = (flags & 0x0F) == plat::kBoxYesNo;
  int result = answer ? answer(record) : (yesNo ? plat::kIdNo : plat::kIdOk);
  if (!yesNo) result = plat::kIdOk;
  record.answer = result;
  std::lock_guard<std::mutex> lock(mutex_);
  boxes_.push_back(record);
  return result;
}

bool ScriptedWindow::ShouldPressEx() {
  std::function<bool()> condition;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (exPressed_ || !pressEx_) return false;
    condition = pressEx_;
  }
  if (!condition()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  exPressed_ = true;
  return true;
}

bool ScriptedWindow::DeadlinePassed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return SteadyMs() - start_ > deadlineMs_;
}

int ScriptedWindow::DeadlineMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return deadlineMs_;
}

void ScriptedWindow::SetRunning(plat::WindowHandle handle, const std::string& caption) {
  std::lock_guard<std::mutex> lock(mutex_);
  handle_ = handle;
  if (handle != nullptr) {
    caption_ = caption;
    ++dialogsRun_;
  }
}

void ScriptedWindow::SetTimedOut() {
  std::lock_guard<std::mutex> lock(mutex_);
  timedOut_ = true;
}

void ScriptedWindow::SetPostsHandled(uint64_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  postsHandled_ = n;
}

}  // namespace zdtest

// The window interface, implemented over the shared dispatcher.
namespace plat {

struct TestWindow : Window, posix::WindowFrontEnd {
  void Wake() override {}
  void SetText(int id, const char* text) override { zdtest::ScriptedWindow::Get().RecordText(id, text); }
  intptr_t ItemMessage(int, uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    zdtest::ScriptedWindow::Get().RecordBar(message, wParam, lParam);
    return 0;
  }
  int Box(const char* text, const char* title, uint32_t flags) override {
    return zdtest::ScriptedWindow::Get().AnswerBox(text, title, flags, true, true);
  }
};


ModuleHandle CurrentModule() { return nullptr; }
void InitWindowControls() {}

intptr_t RunModalDialog(ModuleHandle, const DialogLayout& layout, DialogProc proc, intptr_t param) {
  zdtest::ScriptedWindow& script = zdtest::ScriptedWindow::Get();
  const zdtest::Watchdog watchdog(script.DeadlineMs() + 60000);
  TestWindow* w;
  {
    auto owned = std::make_unique<TestWindow>();
    w = owned.get();
    posix::KeepWindow(std::move(owned));
  }
  w->dispatcher = std::make_unique<posix::Dispatcher>(w, proc, w);
  w->dispatcher->BindUiThread();
  script.SetRunning(w, layout.caption != nullptr ? layout.caption : "");
  proc(w, kMsgInitDialog, 0, param);
  bool closeSent = false;
  while (!w->dispatcher->Ended()) {
    w->dispatcher->Drain(64);
    if (w->dispatcher->Ended()) break;
    if (script.ShouldPressEx()) {
      proc(w, kMsgCommand, static_cast<uintptr_t>(kIdCancel), 0);
      continue;
    }
    if (script.DeadlinePassed()) {
      script.SetTimedOut();
      if (!closeSent) {
        closeSent = true;
        proc(w, kMsgClose, 0, 0);
        continue;
      }
      w->dispatcher->End(-1);
      break;
    }
    w->dispatcher->WaitForWork(5);
  }
  script.SetPostsHandled(w->dispatcher->PostsHandled());
  script.SetRunning(nullptr, "");
  return w->dispatcher->Result();
}






int ShowMessageBox(WindowHandle owner, const char* text, const char* title, uint32_t flags) {
  if (owner != nullptr && !owner->dispatcher->Ended()) {
    // 0: the window ended before the box could be shown; it is shown without owner.
    const int answer = owner->dispatcher->Box(text, title, flags);
    if (answer != 0) return answer;
  }
  return zdtest::ScriptedWindow::Get().AnswerBox(text, title, flags, false, false);
}


}  // namespace plat
