// Bundles the Windows services.
#include "platform/memory.h"
#include "platform/platform.h"
#include "platform/win32/win32_desktop.h"
#include "platform/win32/win32_event_loop.h"
#include "platform/win32/win32_machine.h"
#include "platform/win32/win32_process_table.h"
#include "platform/win32/windows_headers.h"

namespace varnix {
namespace {

// Windows Sockets, started and released as the caller asks.
class Win32SocketsLayer : public SocketsLayer {
 public:
  Started Startup(Version wanted) override {
    WSADATA data{};
    const int result = WSAStartup(
        MAKEWORD(static_cast<BYTE>(wanted.major), static_cast<BYTE>(wanted.minor)), &data);
    return {result, {LOBYTE(data.wVersion), HIBYTE(data.wVersion)}};
  }
  int Cleanup() override { return WSACleanup() == 0 ? 0 : WSAGetLastError(); }
};

}  // namespace

PathRules ThisSystemPaths() { return PathRules::Windows(); }

Platform MakePlatform() {
  Platform platform;
  platform.loop = std::make_unique<Win32EventLoop>();
  platform.machine = std::make_unique<Win32Machine>();
  platform.sockets = std::make_unique<Win32SocketsLayer>();
  platform.files = std::make_unique<StdFileSystem>();
  platform.processes = std::make_unique<Win32ProcessTable>();
  platform.desktop = std::make_unique<Win32Desktop>();
  return platform;
}

// Windows links its window functions into every program anyway; the bundle is the same.
Platform MakeWindowlessPlatform() { return MakePlatform(); }

void ReleaseFreeMemory() { HeapCompact(GetProcessHeap(), 0); }

}  // namespace varnix
