// Owners for Windows handles, and the close request that both process kinds send to windows.
#pragma once

#include <utility>

#include "platform/win32/windows_headers.h"

namespace varnix {

// Closes the handle it holds; both "no handle" values of the API count as empty.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  void Reset() {
    if (valid()) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Asks every top-level window of process `pid` to close, as its close box would.
inline void PostCloseToWindowsOf(DWORD pid) {
  EnumWindows(
      [](HWND window, LPARAM wanted) -> BOOL {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == static_cast<DWORD>(wanted)) PostMessageA(window, WM_CLOSE, 0, 0);
        return TRUE;
      },
      static_cast<LPARAM>(pid));
}

}  // namespace varnix
