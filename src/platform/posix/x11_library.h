// Xlib and its DPMS extension, loaded when a window is first looked at: a node on a server
// without a display never maps them, and runs where they are not installed at all.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/dpms.h>

#include <string>

namespace varnix {

// Each Xlib function the desktop and the own window call, by its own name.
// clang-format off
#define VARNIX_X11_FUNCTIONS(F)                                                           \
  F(XChangeProperty) F(XCloseDisplay) F(XCreateSimpleWindow) F(XDestroyWindow) F(XFlush) \
  F(XForceScreenSaver) F(XFree) F(XGetClassHint) F(XGetTransientForHint)                 \
  F(XGetWindowAttributes) F(XGetWindowProperty) F(XInternAtom) F(XMapWindow)             \
  F(XNextEvent) F(XOpenDisplay) F(XPending) F(XQueryTree) F(XSendEvent) F(XSetClassHint) \
  F(XSetErrorHandler) F(XSetIOErrorExitHandler) F(XSetIOErrorHandler) F(XSetWMProtocols) \
  F(XStoreName) F(XSync)
// Those of the DPMS extension: a display without it still has windows.
#define VARNIX_DPMS_FUNCTIONS(F) \
  F(DPMSCapable) F(DPMSEnable) F(DPMSForceLevel) F(DPMSQueryExtension)
// clang-format on

struct X11Library {
#define VARNIX_X11_POINTER(name) decltype(&::name) name = nullptr;
  VARNIX_X11_FUNCTIONS(VARNIX_X11_POINTER)
  // Null when libXext is missing.
  VARNIX_DPMS_FUNCTIONS(VARNIX_X11_POINTER)
#undef VARNIX_X11_POINTER
};

// The library, loaded on the first call and kept for the program's life; null when it cannot
// be, and then `why` (if given) says why.
const X11Library* LoadX11(std::string* why = nullptr);

}  // namespace varnix
