// The "Xap Protocol Test" window: shows one xAP message field by field.
//
//   varnix-console [FILE | -] [--print-fields OUT]
//
// FILE (or "-" for standard input) is shown at start; typing or pasting into the message box
// updates the fields as it is edited. --print-fields writes each box's text, as the window
// holds it, to OUT once the message is shown. Closing the window ends the program.
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/terminal.h"
#include "platform/text_encoding.h"
#include "platform/text_form.h"
#include "testconsole/traffic.h"

namespace {

const std::vector<varnix::TextBox> kBoxes = {
    {"aMessage", "", true}, {"aSource", "Source", false}, {"aTarget", "Target", false},
    {"aUID", "UID", false}, {"aClass", "Class", false},   {"aSection", "Section", false},
    {"aKey", "Key", false}, {"aValue", "Value", false}};

std::string ReadAll(std::istream& in) {
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The window shows CR LF; the parser takes the message as it travels, with LF alone.
std::string AsTravelled(std::string text) {
  for (auto at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
    text.erase(at, 1);
  }
  return text;
}

void ShowFields(varnix::TextForm& form, const varnix::TrafficFields& f, bool with_message) {
  if (with_message) form.SetText("aMessage", f.aMessage);
  form.SetText("aSource", f.aSource);
  form.SetText("aTarget", f.aTarget);
  form.SetText("aUID", f.aUID);
  form.SetText("aClass", f.aClass);
  form.SetText("aSection", f.aSection.value_or(""));
  form.SetText("aKey", f.aKey.value_or(""));
  form.SetText("aValue", f.aValue.value_or(""));
}

}  // namespace

int main(int argc, char** argv) {
  // Read as wide text on Windows: a path outside the code page is still the user's file.
  const std::vector<std::string> words = varnix::ProgramArguments(argc, argv);
  std::string message;
  std::string print_to;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& arg = words[i];
    if (arg == "--print-fields" && i + 1 < words.size()) {
      print_to = words[++i];
    } else if (arg == "-") {
      message = varnix::MessageFromFile(ReadAll(std::cin), varnix::TextFromCodePage);
    } else {
      std::ifstream in(varnix::PathFromText(arg), std::ios::binary);
      if (!in) {
        varnix::ShowError("varnix-console", "Cannot read " + arg);
        return 2;
      }
      message = varnix::MessageFromFile(ReadAll(in), varnix::TextFromCodePage);
    }
  }

  varnix::SimpleTest test;
  std::unique_ptr<varnix::TextForm> form;
  try {
    form = varnix::CreateTextForm("Xap Protocol Test", kBoxes, [&](const std::string& box) {
      if (box != "aMessage") return;
      test.UpdateTraffic(AsTravelled(form->Text("aMessage")));
      ShowFields(*form, test.fields(), false);  // the box being typed in stays as it is
    });
  } catch (const std::exception& e) {
    varnix::ShowError("varnix-console", e.what());
    return 1;
  }
  test.UpdateTraffic(message);
  ShowFields(*form, test.fields(), true);
  form->Flush();
  if (!print_to.empty()) {
    // UTF-8, which holds whatever the boxes show.
    std::ofstream out(varnix::PathFromText(print_to), std::ios::binary);
    for (const varnix::TextBox& box : kBoxes)
      out << box.name << "=" << form->Text(box.name) << "\n";
  }
  form->Run();
  return 0;
}
