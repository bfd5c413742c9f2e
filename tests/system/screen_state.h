// The X server's own word on its screens, apart from the tests: Xlib's macros clash with gtest.
#pragma once

namespace varnix {

// Whether the displays of the X server `name` are off (DPMS) or blanked by its screen saver.
bool ScreensOff(const char* name);

}  // namespace varnix
