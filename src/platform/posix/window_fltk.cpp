// Linux window backend on FLTK 1.3: the progress dialog built from the layout data the
// core hands over, message boxes of our own, and the shared dispatcher for posts and
// sends.
//
// FLTK quirks handled here:
// - Fl::awake(cb, data) silently drops calls once its fixed queue is full, so the
//   dispatcher keeps its own unbounded queue and wakes the toolkit only once per batch;
// - Fl::lock() must have been called on the UI thread before any other thread calls
//   Fl::awake;
// - labels treat '@' and '&' specially and inset by 3 px (also an image label), so
//   texts and the banner are drawn by plain widgets of our own;
// - fl_choice has a fixed "?" icon, so the message box is a small window of our own;
// - Fl_Progress repaints on every value change; the bar here repaints only when its
//   filled width in pixels changes, so a flood of positions costs almost nothing;
// - without a display FLTK prints "Can't open display" and ends the process with exit
//   code 1, so the display is opened here first and handed to FLTK: a missing display
//   is then an ordinary failure (no window, boxes written to standard error).
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Image.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/dispatcher.h"
#include "platform/window.h"

namespace plat {

namespace {

// Dialog units to pixels with base units 7 x 12, rounded to the nearest pixel as the
// Windows dialog manager does (MulDiv): the 266 x 47-unit picture is 466 x 71 pixels,
// the 267 x 159-unit dialog 467 x 239.
int MulDivRound(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator : -((-product + half) / denominator));
}
int DuX(int x) { return MulDivRound(x, 7, 4); }
int DuY(int y) { return MulDivRound(y, 12, 8); }

// The dialog's 9-point font at 96 dots per inch.
constexpr int kFontSize = 12;
const Fl_Color kDialogColour = 0xF0F0F000;  // RGB in the top three bytes
const Fl_Color kButtonColour = 0xE1E1E100;

// A single line of text, drawn as is (no symbol or shortcut processing), clipped.
class PlainText : public Fl_Widget {
 public:
  PlainText(int x, int y, int w, int h, const char* text) : Fl_Widget(x, y, w, h) {
    text_ = text != nullptr ? text : "";
  }
  void SetText(const char* text) {
    if (text_ == text) return;
    text_ = text;
    redraw();
  }
  const std::string& Text() const { return text_; }
  void draw() override {
    fl_push_clip(x(), y(), w(), h());
    fl_color(parent() != nullptr ? parent()->color() : FL_BACKGROUND_COLOR);
    fl_rectf(x(), y(), w(), h());
    fl_color(FL_FOREGROUND_COLOR);
    fl_font(FL_HELVETICA, kFontSize);
    fl_draw(text_.c_str(), x(), y(), w(), h(), FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP,
            nullptr, 0);
    fl_pop_clip();
  }

 private:
  std::string text_;
};

// The picture control: the bitmap at its own size from the control's top-left corner.
class Picture : public Fl_Widget {
 public:
  Picture(int x, int y, Fl_RGB_Image* image)
      : Fl_Widget(x, y, image != nullptr ? image->w() : 0, image != nullptr ? image->h() : 0), image_(image) {}
  void draw() override {
    if (image_ != nullptr) image_->draw(x(), y());
  }

 private:
  Fl_RGB_Image* image_;
};

// A smooth progress bar with a border: range and position as the Windows control keeps
// them. A position above the range shows a full bar, one below it an empty bar.
class SmoothBar : public Fl_Widget {
 public:
  SmoothBar(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {}

  // Returns the previous range, low word minimum, high word maximum.
  intptr_t SetRange(int low, int high) {
    const intptr_t old = static_cast<intptr_t>((low_ & 0xFFFF) | (high_ & 0xFFFF) << 16);
    low_ = low;
    high_ = high;
    pos_ = Clamp(pos_);
    Refresh();
    return old;
  }
  // Returns the previous position.
  int SetPos(int position) {
    const int old = pos_;
    pos_ = Clamp(position);
    Refresh();
    return old;
  }
  int Position() const { return pos_; }
  void draw() override {
    fl_color(fl_rgb_color(188, 188, 188));
    fl_rect(x(), y(), w(), h());
    fl_color(fl_rgb_color(230, 230, 230));
    fl_rectf(x() + 1, y() + 1, w() - 2, h() - 2);
    const int filled = Filled();
    if (filled > 0) {
      fl_color(fl_rgb_color(6, 176, 37));
      fl_rectf(x() + 1, y() + 1, filled, h() - 2);
    }
    drawn_ = filled;
  }

 private:
  int Clamp(int position) const {
    if (position > high_) return high_;
    if (position < low_) return low_;
    return position;
  }
  int Filled() const {
    const int inner = w() - 2;
    if (high_ <= low_ || inner <= 0) return 0;
    const long long share = static_cast<long long>(pos_ - low_) * inner / (high_ - low_);
    return static_cast<int>(share < 0 ? 0 : share > inner ? inner : share);
  }
  void Refresh() {
    if (Filled() != drawn_) redraw();
  }

  int low_ = 0;
  int high_ = 100;  // the Windows control's range until one is set
  int pos_ = 0;
  int drawn_ = -1;
};

// Opens the display for FLTK unless it is open already. On failure the reason goes to
// standard error, once, and errno tells why (ENXIO when no display is named at all).
bool OpenDisplay() {
  static std::mutex mutex;
  static bool reported = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (fl_display != nullptr) return true;
  errno = 0;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    const int reason = errno != 0 ? errno : ENXIO;
    if (!reported) {
      reported = true;
      const char* name = std::getenv("DISPLAY");
      std::fprintf(stderr, "Cannot open display \"%s\": %s.\n", name != nullptr ? name : "", std::strerror(reason));
    }
    errno = reason;
    return false;
  }
  fl_open_display(display);
  return true;
}

// Decodes an uncompressed 8-bit palette BMP (rows bottom-up) into RGB.
Fl_RGB_Image* DecodeBitmap(const unsigned char* data, size_t size) {
  if (data == nullptr || size < 54 || data[0] != 'B' || data[1] != 'M') return nullptr;
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(data[at]) | static_cast<uint32_t>(data[at + 1]) << 8 |
           static_cast<uint32_t>(data[at + 2]) << 16 | static_cast<uint32_t>(data[at + 3]) << 24;
  };
  auto u16 = [&](size_t at) { return static_cast<uint16_t>(data[at] | data[at + 1] << 8); };
  const uint32_t pixels = u32(10);
  const uint32_t headerSize = u32(14);
  const int32_t width = static_cast<int32_t>(u32(18));
  const int32_t rawHeight = static_cast<int32_t>(u32(22));
  if (u16(28) != 8 || u32(30) != 0 || width <= 0 || width > 4096 || rawHeight == 0 ||
      rawHeight > 4096 || rawHeight < -4096)
    return nullptr;
  const bool bottomUp = rawHeight > 0;
  const int height = bottomUp ? rawHeight : -rawHeight;
  uint32_t colours = u32(46);
  if (colours == 0 || colours > 256) colours = 256;
  const size_t palette = 14 + static_cast<size_t>(headerSize);
  const size_t stride = (static_cast<size_t>(width) + 3) & ~static_cast<size_t>(3);
  if (palette + colours * 4 > size || pixels + stride * static_cast<size_t>(height) > size) return nullptr;
  unsigned char* rgb = new unsigned char[static_cast<size_t>(width) * height * 3];
  for (int row = 0; row < height; ++row) {
    const unsigned char* src = data + pixels + stride * static_cast<size_t>(bottomUp ? height - 1 - row : row);
    unsigned char* dst = rgb + static_cast<size_t>(row) * width * 3;
    for (int col = 0; col < width; ++col) {
      const unsigned index = src[col] < colours ? src[col] : 0;
      const unsigned char* entry = data + palette + index * 4;  // blue, green, red, reserved
      dst[col * 3] = entry[2];
      dst[col * 3 + 1] = entry[1];
      dst[col * 3 + 2] = entry[0];
    }
  }
  Fl_RGB_Image* image = new Fl_RGB_Image(rgb, width, height, 3);
  image->alloc_array = 1;
  return image;
}

// The error icon: a red disc with a white cross.
class ErrorIcon : public Fl_Widget {
 public:
  ErrorIcon(int x, int y, int size) : Fl_Widget(x, y, size, size) {}
  void draw() override {
    fl_color(fl_rgb_color(200, 30, 30));
    fl_pie(x(), y(), w(), h(), 0, 360);
    fl_color(FL_WHITE);
    fl_line_style(FL_SOLID, 3);
    const int m = w() / 3;
    fl_line(x() + m, y() + m, x() + w() - m, y() + h() - m);
    fl_line(x() + w() - m, y() + m, x() + m, y() + h() - m);
    fl_line_style(0);
  }
};

// Message box text: several lines, drawn as is, wrapped at the box's width.
class BoxText : public Fl_Widget {
 public:
  BoxText(int x, int y, int w, int h, const char* text) : Fl_Widget(x, y, w, h), text_(text) {}
  void draw() override {
    fl_color(FL_BLACK);
    fl_font(FL_HELVETICA, kFontSize);
    fl_draw(text_.c_str(), x(), y(), w(), h(), FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP, nullptr, 0);
  }

 private:
  std::string text_;
};

// A filled panel behind the box's text and icon.
class Panel : public Fl_Widget {
 public:
  Panel(int x, int y, int w, int h, Fl_Color colour) : Fl_Widget(x, y, w, h) { color(colour); }
  void draw() override {
    fl_color(color());
    fl_rectf(x(), y(), w(), h());
  }
};

// A button of a box. As in a Windows message box, Enter presses the button that has
// the focus (Tab moves it), and the default button (OK, or Yes) when no button has it;
// a darker frame marks the button that Enter presses.
class BoxButton : public Fl_Button {
 public:
  BoxButton(int x, int y, int w, int h, const char* label, bool isDefault)
      : Fl_Button(x, y, w, h, label), default_(isDefault) {}
  int handle(int event) override {
    const bool enter = Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter;
    // FLTK offers a key to the focused widget first, then to every widget as a shortcut.
    if (enter && ((event == FL_KEYBOARD && Fl::focus() == this) || (event == FL_SHORTCUT && default_))) {
      do_callback();
      return 1;
    }
    if ((event == FL_FOCUS || event == FL_UNFOCUS) && window() != nullptr) window()->redraw();  // the frame moves
    return Fl_Button::handle(event);
  }
  void draw() override {
    Fl_Button::draw();
    if (Fl::focus() == this || (default_ && dynamic_cast<BoxButton*>(Fl::focus()) == nullptr)) {
      fl_color(fl_rgb_color(0, 84, 153));
      fl_rect(x(), y(), w(), h());
    }
  }

 private:
  bool default_;
};

// The box's window. As in a Windows message box, Y and N press Yes and No (with or
// without Alt, in either case), and a Yes/No box cannot be closed without an answer:
// its close box and Esc do nothing, while they close an OK box (answering OK).
class BoxWindow : public Fl_Double_Window {
 public:
  BoxWindow(int w, int h, const char* title) : Fl_Double_Window(w, h, title) {
    callback(OnClose, this);
  }
  void SetAnswers(Fl_Button* yes, Fl_Button* no) {
    yes_ = yes;
    no_ = no;
  }
  int handle(int event) override {
    if ((event == FL_KEYBOARD || event == FL_SHORTCUT) && yes_ != nullptr &&
        (Fl::event_state() & (FL_CTRL | FL_META)) == 0) {
      const int key = Fl::event_key();
      if (key == 'y' || key == 'n') {
        (key == 'y' ? yes_ : no_)->do_callback();
        return 1;
      }
    }
    return Fl_Double_Window::handle(event);
  }

 private:
  static void OnClose(Fl_Widget*, void* data) {
    BoxWindow* self = static_cast<BoxWindow*>(data);
    if (self->yes_ == nullptr) self->hide();
  }
  Fl_Button* yes_ = nullptr;
  Fl_Button* no_ = nullptr;
};

// Shows a box (title, error icon, text, OK or Yes and No) and returns the answer.
// The box is modal: while it is up the progress window takes no input, but its nested
// loop keeps the toolkit and so the dispatcher's posted messages running. Without a
// display the box is written to standard error instead and answers OK (or No, so no
// question is taken as a Yes).
int RunBox(Fl_Window* owner, const char* text, const char* title, uint32_t flags) {
  const bool yesNo = (flags & 0x0F) == kBoxYesNo;
  if (!OpenDisplay()) {
    std::fprintf(stderr, "%s: %s\n", title != nullptr ? title : "", text != nullptr ? text : "");
    return yesNo ? kIdNo : kIdOk;
  }
  constexpr int kMargin = 12, kIcon = 32, kButtonW = 80, kButtonH = 24, kMaxTextW = 400;
  fl_font(FL_HELVETICA, kFontSize);
  int tw = kMaxTextW, th = 0;
  fl_measure(text, tw, th, 0);
  const int buttons = yesNo ? 2 : 1;
  const int buttonsW = buttons * kButtonW + (buttons - 1) * 8;
  const int textX = kMargin + kIcon + kMargin;
  int W = textX + (tw > 0 ? tw : 0) + 2 * kMargin;
  if (W < buttonsW + 2 * kMargin) W = buttonsW + 2 * kMargin;
  if (W < 220) W = 220;
  const int textH = th > kIcon ? th : kIcon;
  const int panelH = 2 * (kMargin + 8) + textH;
  const int stripH = kButtonH + 2 * kMargin;
  const int H = panelH + stripH;

  BoxWindow box(W, H, title);
  box.set_modal();
  box.color(fl_rgb_color(240, 240, 240));
  int answer = yesNo ? kIdNo : kIdOk;
  new Panel(0, 0, W, panelH, FL_WHITE);
  new ErrorIcon(kMargin + 8, kMargin + 8 + (textH - kIcon) / 2, kIcon);
  new BoxText(textX + 8, kMargin + 8, W - textX - 8 - kMargin, textH, text);
  struct Choice {
    Fl_Window* window;
    int* answer;
    int value;
  };
  std::vector<std::unique_ptr<Choice>> choices;
  auto button = [&](Fl_Button* b, int value) {
    choices.push_back(std::make_unique<Choice>(Choice{&box, &answer, value}));
    b->labelsize(kFontSize);
    b->callback(
        [](Fl_Widget*, void* data) {
          Choice* c = static_cast<Choice*>(data);
          *c->answer = c->value;
          c->window->hide();
        },
        choices.back().get());
    return b;
  };
  const int by = panelH + kMargin;
  int bx = W - kMargin - buttonsW;
  Fl_Button* first = button(new BoxButton(bx, by, kButtonW, kButtonH, yesNo ? "Yes" : "OK", true),
                            yesNo ? kIdYes : kIdOk);
  if (yesNo)
    box.SetAnswers(first, button(new BoxButton(bx + kButtonW + 8, by, kButtonW, kButtonH, "No", false), kIdNo));
  box.end();
  box.size_range(W, H, W, H);
  if (owner != nullptr && owner->shown()) {
    box.position(owner->x() + (owner->w() - W) / 2, owner->y() + (owner->h() - H) / 2);
  } else {
    box.position((Fl::w() - W) / 2, (Fl::h() - H) / 2);
  }
  box.show();
  first->take_focus();
  while (box.shown()) Fl::wait(0.1);
  return answer;
}

}  // namespace

struct FltkWindow : Window, posix::WindowFrontEnd {
  DialogProc proc = nullptr;
  Fl_Double_Window* window = nullptr;
  std::vector<std::pair<int, Fl_Widget*>> items;
  std::unique_ptr<Fl_RGB_Image> banner;

  static void AwakeDrain(void* data) {
    FltkWindow* self = static_cast<FltkWindow*>(data);
    if (self->dispatcher) self->dispatcher->Drain(512);
  }
  static void QuietDrain(void* data) {
    FltkWindow* self = static_cast<FltkWindow*>(data);
    if (self->dispatcher) self->dispatcher->QuietDrain();
  }
  void Wake() override { Fl::awake(AwakeDrain, this); }
  // Progress floods are drained at most every 4 ms: the bar cannot show more, and the
  // UI thread stays nearly idle however fast the worker posts.
  bool ScheduleQuietDrain() override {
    Fl::add_timeout(0.004, QuietDrain, this);
    return true;
  }
  Fl_Widget* Find(int id) {
    for (auto& item : items)
      if (item.first == id) return item.second;
    return nullptr;
  }
  void SetText(int id, const char* text) override {
    Fl_Widget* w = Find(id);
    PlainText* t = dynamic_cast<PlainText*>(w);
    if (t != nullptr) t->SetText(text);
  }
  intptr_t ItemMessage(int id, uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    SmoothBar* bar = dynamic_cast<SmoothBar*>(Find(id));
    if (bar == nullptr) return 0;
    if (message == kMsgBarSetRange) {
      const uint32_t range = static_cast<uint32_t>(lParam);
      return bar->SetRange(static_cast<int>(range & 0xFFFF), static_cast<int>(range >> 16));
    }
    // The position is a signed int carried in wParam.
    if (message == kMsgBarSetPos) return bar->SetPos(static_cast<int>(static_cast<intptr_t>(wParam)));
    return 0;
  }
  int Box(const char* text, const char* title, uint32_t flags) override {
    return RunBox(window, text, title, flags);
  }
};

namespace {

void OnWindowCallback(Fl_Widget*, void* data) {
  FltkWindow* self = static_cast<FltkWindow*>(data);
  // FLTK calls the window callback for Esc as well as for the close box; Esc is the
  // Cancel key of the dialog and presses EX.
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) {
    self->dispatcher->Send(kMsgCommand, static_cast<uintptr_t>(kIdCancel), 0);
  } else {
    self->dispatcher->Send(kMsgClose, 0, 0);
  }
}

// The dialog's one button is EX, the Cancel command.
void OnButton(Fl_Widget*, void* data) {
  FltkWindow* self = static_cast<FltkWindow*>(data);
  self->dispatcher->Send(kMsgCommand, static_cast<uintptr_t>(kIdCancel), 0);
}

}  // namespace

ModuleHandle CurrentModule() { return nullptr; }

void InitWindowControls() {}

intptr_t RunModalDialog(ModuleHandle, const DialogLayout& layout, DialogProc proc, intptr_t param) {
  // No display: the window cannot be made, and errno says why.
  if (!OpenDisplay()) return -1;
  Fl::lock();  // enables Fl::awake from other threads
  FltkWindow* w;
  {
    auto owned = std::make_unique<FltkWindow>();
    w = owned.get();
    posix::KeepWindow(std::move(owned));
  }
  w->proc = proc;
  w->dispatcher = std::make_unique<posix::Dispatcher>(w, proc, w);
  w->dispatcher->BindUiThread();

  const int W = DuX(layout.width), H = DuY(layout.height);
  w->window = new Fl_Double_Window(W, H, layout.caption);
  w->window->color(kDialogColour);
  w->window->callback(OnWindowCallback, w);
  for (size_t i = 0; i < layout.controlCount; ++i) {
    const ControlLayout& c = layout.controls[i];
    const int x = DuX(c.x), y = DuY(c.y), cw = DuX(c.width), ch = DuY(c.height);
    Fl_Widget* widget = nullptr;
    switch (c.kind) {
      case ControlKind::Button: {
        Fl_Button* b = new Fl_Button(x, y, cw, ch);
        b->copy_label(c.text);
        b->labelsize(kFontSize);
        b->color(kButtonColour);
        b->clear_visible_focus();  // no dotted focus frame; Esc and clicks press it
        b->callback(OnButton, w);
        widget = b;
        break;
      }
      case ControlKind::Text:
      case ControlKind::Label:
        widget = new PlainText(x, y, cw, ch, c.text);
        break;
      case ControlKind::ProgressBar:
        widget = new SmoothBar(x, y, cw, ch);
        break;
      case ControlKind::Picture:
        w->banner.reset(DecodeBitmap(layout.bitmap, layout.bitmapSize));
        widget = new Picture(x, y, w->banner.get());
        break;
    }
    if (widget != nullptr) w->items.emplace_back(c.id, widget);
  }
  w->window->end();
  // Fixed size (the window manager offers no resizing and no maximise box), centred
  // on the screen. Texts never change the size: each control clips its own.
  w->window->size_range(W, H, W, H);
  w->window->position((Fl::w() - W) / 2, (Fl::h() - H) / 2);
  w->window->show();

  proc(w, kMsgInitDialog, 0, param);
  while (!w->dispatcher->Ended()) {
    w->dispatcher->Drain(512);
    if (w->dispatcher->Ended()) break;
    Fl::wait(0.5);
  }
  w->window->hide();
  Fl::flush();
  Fl::remove_timeout(FltkWindow::QuietDrain, w);
  delete w->window;
  w->window = nullptr;
  w->items.clear();
  w->banner.reset();
  Fl::unlock();
  return w->dispatcher->Result();
}






int ShowMessageBox(WindowHandle owner, const char* text, const char* title, uint32_t flags) {
  if (owner != nullptr && !owner->dispatcher->Ended()) {
    // 0: the window ended before the box could be shown; it is shown without owner.
    const int answer = owner->dispatcher->Box(text, title, flags);
    if (answer != 0) return answer;
  }
  // No window (the hand-off steps, or before the window exists): shown right here.
  return RunBox(nullptr, text, title, flags);
}


}  // namespace plat
