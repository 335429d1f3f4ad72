// The test window: the program's window interface, run in-process without a display.
// It records every control text, bar range and position with a timestamp, answers
// message boxes from a script (recording text, title and buttons), and presses EX
// when a condition holds. A run that outlives its deadline is closed and flagged; one
// that still has not ended a minute later (a deadlock) ends the test process.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/window.h"

namespace zdtest {

struct TextRecord {
  double ms;  // since Reset()
  int controlId;
  std::string text;
};

struct BarRecord {
  double ms;
  uint32_t message;  // plat::kMsgBarSetRange or plat::kMsgBarSetPos
  uintptr_t wParam;
  intptr_t lParam;
};

struct BoxRecord {
  double ms;
  std::string text;
  std::string title;
  uint32_t flags;
  bool hadOwner;
  bool onUiThread;
  int answer;
};

class ScriptedWindow {
 public:
  static ScriptedWindow& Get();

  // Clears records and scripts; call before each run.
  void Reset();

  // Answers boxes; the default answers OK boxes with kIdOk and Yes/No boxes with kIdNo.
  void AnswerBoxes(std::function<int(const BoxRecord&)> answer);
  // Presses EX (WM_COMMAND IDCANCEL) once, the first time the condition holds. The
  // condition is checked on the UI thread between messages and at least every 5 ms.
  void PressExWhen(std::function<bool()> condition);
  // Called on the UI thread for every control text, before the sender goes on, so a
  // test can act at an exact step of a run.
  void OnText(std::function<void(int controlId, const std::string& text)> hook);
  // Ends a run that takes longer (default 30 s): WM_CLOSE, then the dialog is ended.
  void SetDeadlineMs(int ms);

  std::vector<TextRecord> Texts() const;
  std::vector<TextRecord> Texts(int controlId) const;
  std::vector<BarRecord> Bars() const;
  std::vector<BoxRecord> Boxes() const;
  std::string Text(int controlId) const;  // current text of a control
  int BarPosition() const;
  bool ExPressed() const;
  bool TimedOut() const;
  int DialogsRun() const;
  std::string Caption() const;
  plat::WindowHandle Handle() const;  // of the running dialog, or null
  uint64_t PostsHandled() const;

  // Used by the backend.
  double Now() const;
  void RecordText(int id, const char* text);
  void RecordBar(uint32_t message, uintptr_t wParam, intptr_t lParam);
  int AnswerBox(const char* text, const char* title, uint32_t flags, bool hadOwner, bool onUi);
  bool ShouldPressEx();
  bool DeadlinePassed() const;
  int DeadlineMs() const;
  void SetRunning(plat::WindowHandle handle, const std::string& caption);
  void SetTimedOut();
  void SetPostsHandled(uint64_t n);

 private:
  ScriptedWindow();
  mutable std::mutex mutex_;
  double start_ = 0;
  std::function<int(const BoxRecord&)> answer_;
  std::function<bool()> pressEx_;
  std::function<void(int, const std::string&)> onText_;
  bool exPressed_ = false;
  int deadlineMs_ = 30000;
  bool timedOut_ = false;
  int dialogsRun_ = 0;
  std::string caption_;
  plat::WindowHandle handle_ = nullptr;
  uint64_t postsHandled_ = 0;
  std::vector<TextRecord> texts_;
  std::vector<BarRecord> bars_;
  std::vector<BoxRecord> boxes_;
  int barPos_ = 0;
};

// The texts of the boxes shown since the last Reset(), in order.
std::vector<std::string> BoxTexts();

}  // namespace zdtest
