// TextForm on Linux, with FLTK: an Fl_Window of labelled inputs and one multi-line editor.
#include <FL/Fl.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Multiline_Input.H>
#include <FL/Fl_Window.H>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>

#include "platform/error.h"
#include "platform/text_form.h"

namespace varnix {
namespace {

class FltkTextForm : public TextForm {
 public:
  FltkTextForm(const std::string& title, const std::vector<TextBox>& boxes,
               std::function<void(const std::string&)> on_edit)
      : title_(title), on_edit_(std::move(on_edit)) {
    // FLTK ends the program when it cannot open a display; say why first.
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') throw Error(1, "No X display: DISPLAY is not set");
    constexpr int kWidth = 560;
    constexpr int kLabel = 80;
    int height = 10;
    for (const TextBox& box : boxes) height += box.multiline ? 250 : 34;
    window_ = std::make_unique<Fl_Window>(kWidth, height, title_.c_str());
    int y = 10;
    for (const TextBox& box : boxes) {
      names_.push_back(box.name);
      Fl_Input* input = nullptr;
      if (box.multiline) {
        input = new Fl_Multiline_Input(10, y, kWidth - 20, 240);
        y += 250;
      } else {
        input = new Fl_Input(kLabel, y, kWidth - kLabel - 10, 26);
        y += 34;
      }
      captions_.push_back(box.caption);
      if (!box.caption.empty()) input->label(captions_.back().c_str());
      input->when(FL_WHEN_CHANGED);
      input->callback(&FltkTextForm::Changed, &names_.back());
      inputs_[box.name] = input;
    }
    window_->end();
    window_->user_data(this);
    self_ = this;
    window_->show();
    Fl::flush();
  }

  void SetText(const std::string& box, const std::string& text) override {
    // FLTK ends lines with LF alone; a CR would show as a character of its own.
    std::string shown = text;
    for (auto at = shown.find("\r\n"); at != std::string::npos; at = shown.find("\r\n", at)) {
      shown.erase(at, 1);
    }
    inputs_.at(box)->value(shown.c_str(), static_cast<int>(shown.size()));
  }
  std::string Text(const std::string& box) override {
    const Fl_Input* input = inputs_.at(box);
    return std::string(input->value(), static_cast<size_t>(input->size()));
  }
  void Run() override { Fl::run(); }
  void Flush() override {
    Fl::check();
    Fl::flush();
  }

 private:
  static void Changed(Fl_Widget*, void* name) {
    if (self_ != nullptr && self_->on_edit_) self_->on_edit_(*static_cast<std::string*>(name));
  }

  static inline FltkTextForm* self_ = nullptr;
  std::string title_;
  std::function<void(const std::string&)> on_edit_;
  std::unique_ptr<Fl_Window> window_;
  // Stable addresses: FLTK keeps pointers to labels and callback data.
  std::deque<std::string> names_;
  std::deque<std::string> captions_;
  std::map<std::string, Fl_Input*> inputs_;
};

}  // namespace

std::unique_ptr<TextForm> CreateTextForm(const std::string& title,
                                         const std::vector<TextBox>& boxes,
                                         std::function<void(const std::string&)> on_edit) {
  return std::make_unique<FltkTextForm>(title, boxes, std::move(on_edit));
}

void ShowError(const std::string& title, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

}  // namespace varnix
