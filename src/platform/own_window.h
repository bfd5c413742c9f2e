// A top-level window of this program, for tools and test helpers that need to be seen on the
// desktop.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/desktop.h"
#include "platform/event_loop.h"

namespace varnix {

class OwnWindow {
 public:
  virtual ~OwnWindow() = default;
  virtual WindowHandle handle() const = 0;
};

// Shows a window titled `caption` whose events arrive through `loop`. `on_close` runs when
// something asks it to close; the window stays until it is dropped. Throws Error when the
// system has no desktop to show it on.
std::unique_ptr<OwnWindow> CreateOwnWindow(EventLoop& loop, const std::string& caption,
                                           std::function<void()> on_close);

}  // namespace varnix
