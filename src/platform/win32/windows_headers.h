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
// clang-format on

#include <string>

namespace varnix {

// The system's text for an error number, without the trailing line break.
inline std::string SystemErrorText(unsigned long number) {
  char buffer[512] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, number, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
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
