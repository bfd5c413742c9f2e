// The Linux services with the X11 desktop, in a file of its own: only programs that call this
// link libX11.
#include "platform/platform.h"
#include "platform/posix/x11_desktop.h"

namespace varnix {

Platform MakePlatform() {
  Platform platform = MakeWindowlessPlatform();
  platform.desktop = MakeX11Desktop();
  return platform;
}

}  // namespace varnix
