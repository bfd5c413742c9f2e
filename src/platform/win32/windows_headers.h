// The one place that includes <windows.h>, with the macros that would rename our own names kept
// out.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <iphlpapi.h>
#include <wtsapi32.h>
// clang-format on

#include <string>
#include <string_view>

namespace varnix {

// UTF-8 (or `code_page`) to the UTF-16 of the wide functions, and back.
inline std::wstring WideFromText(std::string_view text, UINT code_page = CP_UTF8) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(code_page, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), size, wide.data(), length);
  return wide;
}

inline std::string TextFromWide(std::wstring_view wide, UINT code_page = CP_UTF8) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(code_page, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), size, text.data(), length, nullptr, nullptr);
  return text;
}

// The system's text for an error number, without the trailing line break. Its inserts ("%1",
// as in "Bad EXE format for %1.") are filled with `insert`, or left out without one.
inline std::string SystemErrorText(unsigned long number, const std::string& insert = "") {
  wchar_t buffer[512] = {};
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, number, 0, buffer, 512, nullptr);
  const std::string raw = TextFromWide(std::wstring_view(buffer, length));
  std::string text;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '%' && i + 1 < raw.size() && raw[i + 1] >= '1' && raw[i + 1] <= '9') {
      text += insert;
      ++i;
      if (insert.empty() && !text.empty() && text.back() == ' ') text.pop_back();
    } else {
      text += raw[i];
    }
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text.empty() ? "Error " + std::to_string(number) : text;
}

// Keeps Windows Sockets started for as long as it lives.
class WinsockSession {
 public:
  WinsockSession() { started_ = WSAStartup(MAKEWORD(2, 2), &data_) == 0; }
  ~WinsockSession() {
    if (started_) WSACleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;

 private:
  WSADATA data_{};
  bool started_ = false;
};

}  // namespace varnix
