// ScreensOff: DPMS's power level where the server has DPMS, else MIT-SCREEN-SAVER's state.
#include "system/screen_state.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

namespace varnix {

bool ScreensOff(const char* name) {
  Display* display = XOpenDisplay(name);
  if (display == nullptr) return false;
  int event_base = 0;
  int error_base = 0;
  bool off = false;
  CARD16 level = 0;
  BOOL enabled = False;
  if (DPMSQueryExtension(display, &event_base, &error_base) && DPMSCapable(display) &&
      DPMSInfo(display, &level, &enabled)) {
    off = level == DPMSModeOff;
  } else if (XScreenSaverQueryExtension(display, &event_base, &error_base)) {
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    XScreenSaverQueryInfo(display, DefaultRootWindow(display), info);
    off = info->state == ScreenSaverOn;
    XFree(info);
  }
  XCloseDisplay(display);
  return off;
}

}  // namespace varnix
