// Win32Desktop: EnumWindows in Z order, and the text calls with their 254-character buffers.
#include "platform/win32/win32_desktop.h"

#include "platform/error.h"
#include "platform/win32/windows_headers.h"

namespace varnix {
namespace {

HWND Hwnd(WindowHandle window) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(window)); }
WindowHandle Handle(HWND window) {
  return static_cast<WindowHandle>(reinterpret_cast<uintptr_t>(window));
}

BOOL CALLBACK Collect(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<WindowHandle>*>(list)->push_back(Handle(window));
  return TRUE;
}

}  // namespace

std::vector<WindowHandle> Win32Desktop::TopLevelWindows() {
  std::vector<WindowHandle> windows;
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

std::string Win32Desktop::Caption(WindowHandle window) {
  wchar_t text[256] = {};
  const int length = GetWindowTextW(Hwnd(window), text, 255);
  return TextFromWide(std::wstring_view(text, length > 0 ? static_cast<size_t>(length) : 0));
}

std::string Win32Desktop::ClassName(WindowHandle window) {
  wchar_t text[256] = {};
  const int length = GetClassNameW(Hwnd(window), text, 255);
  return TextFromWide(std::wstring_view(text, length > 0 ? static_cast<size_t>(length) : 0));
}

ProcessId Win32Desktop::OwnerPid(WindowHandle window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(Hwnd(window), &pid);
  return pid;
}

bool Win32Desktop::IsVisible(WindowHandle window) { return IsWindowVisible(Hwnd(window)) != 0; }

WindowHandle Win32Desktop::Parent(WindowHandle window) { return Handle(GetParent(Hwnd(window))); }

bool Win32Desktop::IsWindow(WindowHandle window) { return ::IsWindow(Hwnd(window)) != 0; }

void Win32Desktop::PostClose(WindowHandle window) { PostMessageA(Hwnd(window), WM_CLOSE, 0, 0); }

std::string Win32Desktop::TurnScreensOff() {
  // Posted, not sent: a sent broadcast waits on every top-level window, a hung one included.
  if (!PostMessageW(HWND_BROADCAST, WM_SYSCOMMAND, SC_MONITORPOWER, 2)) {
    const DWORD number = GetLastError();
    throw Error(static_cast<long>(number), "SC_MONITORPOWER: " + SystemErrorText(number));
  }
  return "";
}

ProcessId Win32Desktop::ShellPid() {
  const HWND shell = GetShellWindow();
  return shell == nullptr ? 0 : OwnerPid(Handle(shell));
}

}  // namespace varnix
