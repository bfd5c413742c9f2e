// The desktop on Linux: X11 top-level windows when a display can be opened, else none.
#pragma once

#include <memory>

#include "platform/desktop.h"

namespace varnix {

// Connects to $DISPLAY on first use, and again later if that failed.
std::unique_ptr<Desktop> MakeX11Desktop();

}  // namespace varnix
