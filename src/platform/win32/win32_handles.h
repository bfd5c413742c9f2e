// Owners for Windows handles, the handles a new process inherits, and the close request both
// process kinds send to windows.
#pragma once

#include <utility>
#include <vector>

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

// Lets the next process created inherit exactly `handles`: they are inheritable only while
// this lives, and the attribute list names them, so that no other handle of ours (a socket,
// inheritable as Windows makes it) goes along. The node starts one process at a time.
class InheritOnly {
 public:
  explicit InheritOnly(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    for (const HANDLE handle : handles_) {
      SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                  handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      list_ = list;
    } else {
      DeleteProcThreadAttributeList(list);
    }
  }
  ~InheritOnly() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
    for (const HANDLE handle : handles_) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  }
  InheritOnly(const InheritOnly&) = delete;
  InheritOnly& operator=(const InheritOnly&) = delete;

  // Nothing where the system keeps no such list: then nothing is to be inherited at all.
  LPPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
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
