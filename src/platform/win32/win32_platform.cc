// Bundles the Windows services.
#include "platform/platform.h"
#include "platform/win32/win32_event_loop.h"
#include "platform/win32/win32_machine.h"

namespace varnix {

Platform MakePlatform() {
  Platform platform;
  platform.loop = std::make_unique<Win32EventLoop>();
  platform.machine = std::make_unique<Win32Machine>();
  return platform;
}

}  // namespace varnix
