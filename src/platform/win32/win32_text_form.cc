// TextForm on Windows: a dialog-like window of native EDIT controls with STATIC labels, in the
// system's message font and at the display's scale.
#include <map>

#include "platform/error.h"
#include "platform/text_form.h"
#include "platform/win32/windows_headers.h"

namespace varnix {
namespace {

constexpr wchar_t kClass[] = L"VarnixTextForm";

class Win32TextForm : public TextForm {
 public:
  Win32TextForm(const std::string& title, const std::vector<TextBox>& boxes,
                std::function<void(const std::string&)> on_edit)
      : on_edit_(std::move(on_edit)) {
    // Drawn at the display's own scale rather than stretched by the system.
    SetProcessDPIAware();
    const HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    const auto scaled = [dpi](int pixels) { return MulDiv(pixels, dpi, 96); };
    // The font of the system's dialogs and message boxes, not the bold System font.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
      font_ = CreateFontIndirectW(&metrics.lfMessageFont);
    }
    if (font_ == nullptr) font_ = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));

    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = &Win32TextForm::WindowProc;
    window_class.hInstance = instance;
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.hCursor = LoadCursor(nullptr, IDC_ARROW);
    window_class.lpszClassName = kClass;
    RegisterClassW(&window_class);
    const int width = scaled(560);
    const int label = scaled(80);
    int height = scaled(50);
    for (const TextBox& box : boxes) height += scaled(box.multiline ? 250 : 34);
    window_ = CreateWindowExW(0, kClass, WideFromText(title).c_str(),
                              WS_OVERLAPPEDWINDOW | WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, width,
                              height, nullptr, nullptr, instance, nullptr);
    if (window_ == nullptr) throw Error(static_cast<long>(GetLastError()), "CreateWindowEx failed");
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    int y = scaled(10);
    int id = 100;
    for (const TextBox& box : boxes) {
      HWND edit = nullptr;
      const auto menu = reinterpret_cast<HMENU>(static_cast<INT_PTR>(id));
      if (box.multiline) {
        edit = CreateWindowExW(
            WS_EX_CLIENTEDGE, L"EDIT", L"",
            WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN,
            scaled(10), y, width - scaled(40), scaled(240), window_, menu, instance, nullptr);
        y += scaled(250);
      } else {
        Use(CreateWindowExW(0, L"STATIC", WideFromText(box.caption).c_str(), WS_CHILD | WS_VISIBLE,
                            scaled(10), y + scaled(4), label - scaled(15), scaled(20), window_,
                            nullptr, instance, nullptr));
        edit = CreateWindowExW(
            WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, label, y,
            width - label - scaled(30), scaled(26), window_, menu, instance, nullptr);
        y += scaled(34);
      }
      Use(edit);
      edits_[box.name] = edit;
      names_[id++] = box.name;
    }
  }
  ~Win32TextForm() override {
    if (IsWindow(window_)) DestroyWindow(window_);
    if (font_ != nullptr) DeleteObject(font_);
  }

  void SetText(const std::string& box, const std::string& text) override {
    setting_ = true;  // our own change is not the user's edit
    SetWindowTextW(edits_.at(box), WideFromText(text).c_str());
    setting_ = false;
  }
  std::string Text(const std::string& box) override {
    const HWND edit = edits_.at(box);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
    const int length = GetWindowTextW(edit, text.data(), static_cast<int>(text.size()));
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return TextFromWide(text);
  }
  void Run() override {
    MSG message;
    while (!closed_ && GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  void Flush() override {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }

 private:
  void Use(HWND control) {
    if (control != nullptr)
      SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<Win32TextForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
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
    return DefWindowProcW(window, message, wparam, lparam);
  }

  std::function<void(const std::string&)> on_edit_;
  HWND window_ = nullptr;
  HFONT font_ = nullptr;
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

void ShowError(const std::string& title, const std::string& text) {
  // A windowless program's standard error is seen by nobody on Windows.
  MessageBoxW(nullptr, WideFromText(text).c_str(), WideFromText(title).c_str(),
              MB_OK | MB_ICONERROR);
}

}  // namespace varnix
