// The Windows event loop: WSAAsyncSelect and MsgWaitForMultipleObjectsEx on one hidden window,
// with the shared timer queue.
#include "platform/win32/win32_event_loop.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/udp_socket.h"
// After windows.h, which it needs.
#include <sddl.h>

namespace varnix {
namespace {

constexpr char kWindowClass[] = "VarnixEventWindow";
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
constexpr int kReadsPerWake = 4096;
constexpr int kMaxDatagram = 65536;

// The full path of a process's program, "" when it cannot be read.
std::wstring ImageOf(HANDLE process) {
  std::wstring path(32768, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  if (!QueryFullProcessImageNameW(process, 0, path.data(), &size)) return L"";
  path.resize(size);
  return path;
}

std::wstring FolderOf(std::wstring path) {
  path.resize(path.find_last_of(L"\\/") == std::wstring::npos ? 0 : path.find_last_of(L"\\/"));
  return path;
}

// The user SID of a process's token, as text; "" when it cannot be read.
std::wstring UserOf(HANDLE process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return L"";
  std::wstring text;
  alignas(TOKEN_USER) unsigned char buffer[256];
  DWORD size = 0;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
    wchar_t* sid = nullptr;
    if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
      text = sid;
      LocalFree(sid);
    }
  }
  CloseHandle(token);
  return text;
}

// Whether the process that holds local UDP `port` runs as this process's user or from this
// process's own folder (where only administrators write); nullopt when the system does not say.
std::optional<bool> PortHolderIsOwnOrAdministrator(uint16_t port) {
  ULONG size = 0;
  GetExtendedUdpTable(nullptr, &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || GetExtendedUdpTable(buffer.data(), &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID,
                                       0) != NO_ERROR) {
    return std::nullopt;
  }
  const auto* table = reinterpret_cast<const MIB_UDPTABLE_OWNER_PID*>(buffer.data());
  std::optional<DWORD> pid;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    if (ntohs(static_cast<u_short>(table->table[i].dwLocalPort)) == port) {
      pid = table->table[i].dwOwningPid;
    }
  }
  if (!pid) return false;              // its socket is gone: it may have been anyone's
  if (*pid == 0) return std::nullopt;  // the system names no process
  if (*pid == GetCurrentProcessId()) return true;
  HANDLE holder = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, *pid);
  if (holder == nullptr) return std::nullopt;
  const std::wstring image = ImageOf(holder);
  const std::wstring user = UserOf(holder);
  CloseHandle(holder);
  std::wstring own(32768, L'\0');
  own.resize(GetModuleFileNameW(nullptr, own.data(), static_cast<DWORD>(own.size())));
  if (!image.empty() && CompareStringOrdinal(FolderOf(image).c_str(), -1, FolderOf(own).c_str(), -1,
                                             TRUE) == CSTR_EQUAL) {
    return true;
  }
  return !user.empty() && user == UserOf(GetCurrentProcess());
}

Error SocketError() {
  const int number = WSAGetLastError();
  return Error(number, SystemErrorText(static_cast<unsigned long>(number)));
}

class Win32UdpSocket : public UdpSocket {
 public:
  Win32UdpSocket(Win32EventLoop& loop, EventLoop::Datagram on_datagram)
      : loop_(loop), on_datagram_(std::move(on_datagram)) {}
  ~Win32UdpSocket() override { Close(); }

  void Bind(const std::string& local_address, uint16_t port) override {
    EnsureOpen();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (local_address.empty()) {
      address.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, local_address.c_str(), &address.sin_addr) != 1) {
      throw Error(WSAEADDRNOTAVAIL, "Invalid local address " + local_address);
    }
    if (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw SocketError();
    }
  }

  void SendTo(const std::string& host, uint16_t port, std::string_view datagram) override {
    EnsureOpen();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_DGRAM;
      addrinfo* found = nullptr;
      if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        throw Error(WSAHOST_NOT_FOUND, "Unknown host " + host);
      }
      address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
      freeaddrinfo(found);
    }
    const int sent = sendto(socket_, datagram.data(), static_cast<int>(datagram.size()), 0,
                            reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (sent == SOCKET_ERROR) throw SocketError();
  }

  Endpoint Sender() const override { return sender_; }

  std::optional<bool> SenderIsOwnOrAdministrator() const override {
    return PortHolderIsOwnOrAdministrator(sender_.port);
  }

  uint16_t LocalPort() const override {
    sockaddr_in address{};
    int size = sizeof address;
    if (socket_ == INVALID_SOCKET ||
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      return 0;
    return ntohs(address.sin_port);
  }

  void Close() override {
    if (socket_ == INVALID_SOCKET) return;
    WSAAsyncSelect(socket_, loop_.window(), 0, 0);
    loop_.RemoveSocket(socket_);
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }

 private:
  void EnsureOpen() {
    if (socket_ != INVALID_SOCKET) return;
    const SOCKET created = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (created == INVALID_SOCKET) throw SocketError();
    const BOOL on = TRUE;
    setsockopt(created, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(created, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kReceiveBufferBytes),
               sizeof kReceiveBufferBytes);
    socket_ = created;
    loop_.AddSocket(socket_, [this] { ReadAll(); });
    // Also makes the socket non-blocking.
    WSAAsyncSelect(socket_, loop_.window(), Win32EventLoop::kSocketMessage, FD_READ);
  }

  void ReadAll() {
    std::string buffer(kMaxDatagram, '\0');
    for (int i = 0; i < kReadsPerWake && socket_ != INVALID_SOCKET; ++i) {
      sockaddr_in from{};
      int from_size = sizeof from;
      const int got = recvfrom(socket_, buffer.data(), static_cast<int>(buffer.size()), 0,
                               reinterpret_cast<sockaddr*>(&from), &from_size);
      // WSAEMSGSIZE still delivers the truncated datagram; anything else ends this round.
      if (got == SOCKET_ERROR && WSAGetLastError() != WSAEMSGSIZE) return;
      const size_t length = got == SOCKET_ERROR ? buffer.size() : static_cast<size_t>(got);
      sender_ = Endpoint{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
      on_datagram_(buffer.substr(0, length));
    }
  }

  Win32EventLoop& loop_;
  EventLoop::Datagram on_datagram_;
  Endpoint sender_;
  SOCKET socket_ = INVALID_SOCKET;
};

}  // namespace

Win32EventLoop::Win32EventLoop() {
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = &Win32EventLoop::WindowProc;
  window_class.hInstance = instance;
  window_class.lpszClassName = kWindowClass;
  RegisterClassA(&window_class);  // fails harmlessly when a second loop registers again
  // A hidden top-level window, not a message-only one: only those hear of the session's end.
  // Its caption names this process alone, so a wait for it to go is not fooled by another's.
  const std::string caption = "Varnix [" + std::to_string(GetCurrentProcessId()) + "]";
  window_ = CreateWindowExA(0, kWindowClass, caption.c_str(), WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                            nullptr, instance, nullptr);
  if (window_ == nullptr) throw Error(static_cast<long>(GetLastError()), "CreateWindowEx failed");
  SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

namespace {

// A console's Ctrl-C arrives on a thread of its own: it is handed to the loop's window.
std::atomic<HWND> g_console_window{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  return PostEndRequest();
}

}  // namespace

bool PostEndRequest() {
  const HWND window = g_console_window.load();
  return window != nullptr && PostMessageA(window, WM_CLOSE, 0, 0);
}

bool PostReloadRequest() {
  const HWND window = g_console_window.load();
  return window != nullptr && PostMessageA(window, Win32EventLoop::kReloadMessage, 0, 0);
}

void Win32EventLoop::OnEndRequest(std::function<void()> handler) {
  end_handler_ = std::move(handler);
  g_console_window.store(window_);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

Win32EventLoop::~Win32EventLoop() {
  HWND mine = window_;
  g_console_window.compare_exchange_strong(mine, nullptr);
  SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
  DestroyWindow(window_);
}

namespace {

// Network events come as window messages; a wish to write asks for FD_WRITE as well, which
// Winsock posts at once when the socket has room.
class Win32SocketWatch : public SocketWatch {
 public:
  Win32SocketWatch(Win32EventLoop& loop, SOCKET socket) : loop_(loop), socket_(socket) {
    Select(false);
  }
  ~Win32SocketWatch() override {
    WSAAsyncSelect(socket_, loop_.window(), 0, 0);
    loop_.RemoveStream(socket_);
  }
  void WantWrite(bool wanted) override { Select(wanted); }

 private:
  void Select(bool write) {
    WSAAsyncSelect(socket_, loop_.window(), Win32EventLoop::kStreamMessage,
                   FD_READ | FD_CLOSE | FD_CONNECT | (write ? FD_WRITE : 0));
  }

  Win32EventLoop& loop_;
  SOCKET socket_;
};

}  // namespace

namespace {

// The system's thread pool waits on the process and posts the end to the loop's window: no
// thread of ours, no limit of 64 handles, and nothing that wakes the loop before the end.
class Win32EndWatch : public EndWatch {
 public:
  Win32EndWatch(Win32EventLoop& loop, uint64_t id, HANDLE process)
      : loop_(loop), window_(loop.window()), id_(id) {
    if (!RegisterWaitForSingleObject(&wait_, process, &OnEnded, this, INFINITE,
                                     WT_EXECUTEONLYONCE)) {
      wait_ = nullptr;
    }
  }
  ~Win32EndWatch() override {
    // Waits for a callback under way: it reads this object.
    if (wait_ != nullptr) UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);
    loop_.RemoveEnd(id_);
  }

 private:
  static VOID CALLBACK OnEnded(PVOID context, BOOLEAN) {
    const auto* self = static_cast<const Win32EndWatch*>(context);
    PostMessageA(self->window_, Win32EventLoop::kEndMessage, static_cast<WPARAM>(self->id_), 0);
  }

  Win32EventLoop& loop_;
  HWND window_;
  uint64_t id_;
  HANDLE wait_ = nullptr;
};

}  // namespace

std::unique_ptr<EndWatch> Win32EventLoop::WatchEnd(intptr_t waitable,
                                                   std::function<void()> on_end) {
  const uint64_t id = next_end_++;
  ends_[id] = std::move(on_end);
  return std::make_unique<Win32EndWatch>(*this, id, reinterpret_cast<HANDLE>(waitable));
}

std::unique_ptr<SocketWatch> Win32EventLoop::WatchSocket(intptr_t socket, SocketReady on_ready) {
  const auto handle = static_cast<SOCKET>(socket);
  AddStream(handle, std::move(on_ready));
  return std::make_unique<Win32SocketWatch>(*this, handle);
}

std::unique_ptr<Timer> Win32EventLoop::CreateTimer(std::function<void()> on_tick) {
  return timers_.CreateTimer(std::move(on_tick));
}

std::unique_ptr<UdpSocket> Win32EventLoop::CreateUdpSocket(Datagram on_datagram) {
  return std::make_unique<Win32UdpSocket>(*this, std::move(on_datagram));
}

LRESULT CALLBACK Win32EventLoop::WindowProc(HWND window, UINT message, WPARAM wparam,
                                            LPARAM lparam) {
  auto* loop = reinterpret_cast<Win32EventLoop*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (loop == nullptr) return DefWindowProcA(window, message, wparam, lparam);
  return loop->Handle(message, wparam, lparam);
}

LRESULT Win32EventLoop::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case kSocketMessage: {
      const auto found = sockets_.find(static_cast<SOCKET>(wparam));
      if (found == sockets_.end()) return 0;
      const auto on_readable = found->second;
      on_readable();
      return 0;
    }
    case kStreamMessage: {
      const auto found = streams_.find(static_cast<SOCKET>(wparam));
      if (found == streams_.end()) return 0;
      const auto on_ready = found->second;
      const WORD event = WSAGETSELECTEVENT(lparam);
      on_ready((event & (FD_READ | FD_CLOSE)) != 0, (event & (FD_WRITE | FD_CONNECT)) != 0);
      return 0;
    }
    case kEndMessage: {
      // Told once; a watch ended meanwhile has left nothing to call.
      const auto found = ends_.find(static_cast<uint64_t>(wparam));
      if (found == ends_.end()) return 0;
      const auto on_end = std::move(found->second);
      ends_.erase(found);
      on_end();
      return 0;
    }
    case WM_CLOSE:
      if (end_handler_) end_handler_();
      return 0;
    case kReloadMessage:
      if (reload_handler_) reload_handler_();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // The process is ended once this returns, so the program's own ending runs first.
      if (wparam != 0 && end_handler_) end_handler_();
      return 0;
    default:
      return DefWindowProcA(window_, message, wparam, lparam);
  }
}

void Win32EventLoop::DispatchPending(std::chrono::milliseconds max_wait) {
  const auto wait =
      static_cast<DWORD>(timers_.WaitBefore(std::min<int64_t>(max_wait.count(), 0x7fffffff)));
  MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      quit_ = true;
      break;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  timers_.RunDue();
}

void Win32EventLoop::Run() {
  quit_ = false;
  while (!quit_) DispatchPending(std::chrono::hours(1));
}

}  // namespace varnix
