// A plain window of labelled text boxes, for the protocol test console. Only the console links it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace varnix {

struct TextBox {
  std::string name;     // how the program refers to the box
  std::string caption;  // the label beside it; none when empty
  bool multiline = false;
};

class TextForm {
 public:
  virtual ~TextForm() = default;

  virtual void SetText(const std::string& box, const std::string& text) = 0;
  // The text as the toolkit holds it now.
  virtual std::string Text(const std::string& box) = 0;
  // Handles window events until the window is closed; closing it ends the run.
  virtual void Run() = 0;
  // Handles the events that are waiting, without blocking.
  virtual void Flush() = 0;
};

// Shows a window titled `title` with `boxes` from top to bottom. `on_edit` runs with a box's
// name whenever the user changes that box's text.
std::unique_ptr<TextForm> CreateTextForm(const std::string& title,
                                         const std::vector<TextBox>& boxes,
                                         std::function<void(const std::string&)> on_edit);

// Tells the user of a failure where they will see it: standard error on POSIX, where the
// program runs from a terminal; a message box on Windows, where nobody sees standard error.
void ShowError(const std::string& title, const std::string& text);

}  // namespace varnix
