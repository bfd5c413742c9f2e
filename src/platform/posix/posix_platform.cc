// Bundles the Linux services.
#include "platform/platform.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_machine.h"

namespace varnix {

Platform MakePlatform() {
  Platform platform;
  platform.loop = std::make_unique<PosixEventLoop>();
  platform.machine = std::make_unique<PosixMachine>();
  return platform;
}

}  // namespace varnix
