// Bundles the Linux services.
#include "platform/platform.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "platform/memory.h"
#include "platform/posix/no_desktop.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_machine.h"
#include "platform/posix/posix_process_table.h"

namespace varnix {
namespace {

// BSD sockets need no starting; this reports the version that callers check for.
class PosixSocketsLayer : public SocketsLayer {
 public:
  Started Startup(Version wanted) override { return {0, wanted}; }
  int Cleanup() override { return 0; }
};

}  // namespace

PathRules ThisSystemPaths() { return PathRules::Posix(); }

Platform MakeWindowlessPlatform() {
  Platform platform;
  platform.loop = std::make_unique<PosixEventLoop>();
  platform.machine = std::make_unique<PosixMachine>();
  platform.sockets = std::make_unique<PosixSocketsLayer>();
  platform.files = std::make_unique<StdFileSystem>();
  platform.processes = std::make_unique<PosixProcessTable>();
  platform.desktop = std::make_unique<NoDesktop>();
  return platform;
}

void ReleaseFreeMemory() {
#ifdef __GLIBC__
  // glibc keeps freed heap memory for later; only a trim gives it back.
  ::malloc_trim(0);
#endif
}

}  // namespace varnix
