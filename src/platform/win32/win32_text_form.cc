// TextForm on Windows: a window of native EDIT controls with STATIC labels.
#include <map>

#include "platform/error.h"
#include "platform/text_form.h"
#include "platform/win32/windows_headers.h"

namespace varnix {
namespace {

constexpr char kClass[] = "VarnixTextForm";

class Win32TextForm : public TextForm {
 public:
  Win32TextForm(const std::string& title, const std::vector<TextBox>& boxes,
                std::function<void(const std::string&)> on_edit)
      : on_edit_(std::move(on_edit)) {
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = &Win32TextForm::WindowProc;
    window_class.hInstance = instance;
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = kClass;
    RegisterClassA(&window_class);
    constexpr int kWidth = 560;
    constexpr int kLabel = 80;
    int height = 50;
    for (const TextBox& box : boxes) height += box.multiline ? 250 : 34;
    window_ =
        CreateWindowExA(0, kClass, title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, CW_USEDEFAULT,
                        CW_USEDEFAULT, kWidth, height, nullptr, nullptr, instance, nullptr);
    if (window_ == nullptr) throw Error(static_cast<long>(GetLastError()), "CreateWindowEx failed");
    SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    int y = 10;
    int id = 100;
    for (const TextBox& box : boxes) {
      HWND edit = nullptr;
      if (box.multiline) {
        edit = CreateWindowExA(
            WS_EX_CLIENTEDGE, "EDIT", "",
            WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN, 10,
            y, kWidth - 40, 240, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
            instance, nullptr);
        y += 250;
      } else {
        CreateWindowExA(0, "STATIC", box.caption.c_str(), WS_CHILD | WS_VISIBLE, 10, y + 4,
                        kLabel - 15, 20, window_, nullptr, instance, nullptr);
        edit =
            CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL,
                            kLabel, y, kWidth - kLabel - 30, 26, window_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
        y += 34;
      }
      edits_[box.name] = edit;
      names_[id++] = box.name;
    }
  }
  ~Win32TextForm() override {
    if (IsWindow(window_)) DestroyWindow(window_);
  }

  void SetText(const std::string& box, const std::string& text) override {
    setting_ = true;  // our own change is not the user's edit
    SetWindowTextA(edits_.at(box), text.c_str());
    setting_ = false;
  }
  std::string Text(const std::string& box) override {
    const HWND edit = edits_.at(box);
    std::string text(static_cast<size_t>(GetWindowTextLengthA(edit)) + 1, '\0');
    const int length = GetWindowTextA(edit, text.data(), static_cast<int>(text.size()));
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return text;
  }
  void Run() override {
    MSG message;
    while (!closed_ && GetMessageA(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  void Flush() override {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<Win32TextForm*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self != nullptr) {
      if (message == WM_COMMAND && HIWORD(wparam) == EN_CHANGE && !self->setting_) {
        const auto found = self->names_.find(LOWORD(wparam));
        if (found != self->names_.end() && self->on_edit_) self->on_edit_(found->second);
        return 0;
      }
      if (message == WM_CLOSE) {
        self->closed_ = true;
        DestroyWindow(window);
        return 0;
      }
    }
    return DefWindowProcA(window, message, wparam, lparam);
  }

  std::function<void(const std::string&)> on_edit_;
  HWND window_ = nullptr;
  std::map<std::string, HWND> edits_;
  std::map<int, std::string> names_;
  bool setting_ = false;
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<TextForm> CreateTextForm(const std::string& title,
                                         const std::vector<TextBox>& boxes,
                                         std::function<void(const std::string&)> on_edit) {
  return std::make_unique<Win32TextForm>(title, boxes, std::move(on_edit));
}

}  // namespace varnix
