// OwnWindow on Windows: an ordinary overlapped window whose WM_CLOSE is handed to the owner.
#include "platform/error.h"
#include "platform/own_window.h"
#include "platform/win32/windows_headers.h"

namespace varnix {
namespace {

constexpr wchar_t kClass[] = L"VarnixOwnWindow";

class Win32OwnWindow : public OwnWindow {
 public:
  Win32OwnWindow(const std::string& caption, std::function<void()> on_close)
      : on_close_(std::move(on_close)) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = &Win32OwnWindow::WindowProc;
    window_class.hInstance = instance;
    window_class.lpszClassName = kClass;
    RegisterClassW(&window_class);
    window_ =
        CreateWindowExW(0, kClass, WideFromText(caption).c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                        10, 10, 320, 120, nullptr, nullptr, instance, nullptr);
    if (window_ == nullptr) throw Error(static_cast<long>(GetLastError()), "CreateWindowEx failed");
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~Win32OwnWindow() override {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }

  WindowHandle handle() const override {
    return static_cast<WindowHandle>(reinterpret_cast<uintptr_t>(window_));
  }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<Win32OwnWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && message == WM_CLOSE) {
      if (self->on_close_) self->on_close_();
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  std::function<void()> on_close_;
  HWND window_ = nullptr;
};

}  // namespace

std::unique_ptr<OwnWindow> CreateOwnWindow(EventLoop&, const std::string& caption,
                                           std::function<void()> on_close) {
  return std::make_unique<Win32OwnWindow>(caption, std::move(on_close));
}

}  // namespace varnix
