// X11Desktop: EWMH and ICCCM properties of the top-level client windows, through Xlib.
#include "platform/posix/x11_desktop.h"

#include <cerrno>

#include "platform/error.h"

#ifdef VARNIX_HAVE_X11

#include <X11/Xatom.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/x11_library.h"

namespace varnix {
namespace {

// Windows may vanish between two requests; Xlib's default handler would end the program.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// A lost server (a logout, an X restart) is no reason to end: Xlib's default handler would
// exit. The exit handler below returns instead, and the desktop connects again on next use.
int IgnoreIOError(Display*) { return 0; }

// Whether `name`, from WM_CLIENT_MACHINE, is `host`: full, or both up to their first dot.
bool IsThisMachine(const std::string& name, std::string_view full) {
  if (name.empty() || full.empty()) return false;
  const auto same = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return std::tolower(static_cast<unsigned char>(x)) ==
                    std::tolower(static_cast<unsigned char>(y));
           });
  };
  const std::string_view own = full.substr(0, full.find('.'));
  return same(name, full) || same(std::string_view(name).substr(0, name.find('.')), own);
}

class X11Desktop : public Desktop {
 public:
  ~X11Desktop() override { Disconnect(); }

  std::vector<WindowHandle> TopLevelWindows() override {
    std::vector<WindowHandle> windows;
    if (!Connect()) return windows;
    // The window manager's stacking list is bottom first; without one, the root's children are.
    std::vector<unsigned long> stacking = WindowListProperty(root_, "_NET_CLIENT_LIST_STACKING");
    if (stacking.empty()) {
      Window root_return = 0;
      Window parent = 0;
      Window* children = nullptr;
      unsigned int count = 0;
      if (x_->XQueryTree(display_, root_, &root_return, &parent, &children, &count) != 0) {
        stacking.assign(children, children + count);
        if (children != nullptr) x_->XFree(children);
      }
    }
    windows.assign(stacking.rbegin(), stacking.rend());
    return windows;
  }

  std::string Caption(WindowHandle window) override {
    if (!Connect() || window == 0) return "";
    std::string name = TextProperty(window, "_NET_WM_NAME", "UTF8_STRING");
    if (name.empty()) name = TextProperty(window, "WM_NAME", nullptr);
    return name.substr(0, 254);
  }

  std::string ClassName(WindowHandle window) override {
    if (!Connect() || window == 0) return "";
    XClassHint hint{};
    if (x_->XGetClassHint(display_, window, &hint) == 0) return "";
    std::string name = hint.res_class != nullptr ? hint.res_class : "";
    if (hint.res_name != nullptr) x_->XFree(hint.res_name);
    if (hint.res_class != nullptr) x_->XFree(hint.res_class);
    return name.substr(0, 254);
  }

  ProcessId OwnerPid(WindowHandle window) override {
    if (!Connect() || window == 0) return 0;
    const std::vector<unsigned long> pid = CardinalProperty(window, "_NET_WM_PID");
    if (pid.empty()) return 0;
    // A process id means something only on the machine the client names; a remote (ssh -X)
    // or careless client must not lead a stop to an unrelated local process.
    if (!IsThisMachine(TextProperty(window, "WM_CLIENT_MACHINE", nullptr), host_)) return 0;
    return static_cast<ProcessId>(pid[0]);
  }

  // Visible as on Windows: a window the user can bring back. A window manager unmaps a
  // minimized window and those on other desktops, so being mapped is the wrong test there.
  bool IsVisible(WindowHandle window) override {
    if (!Connect() || window == 0) return false;
    const Atom wm_state = Intern("WM_STATE");
    const std::vector<unsigned long> state = LongProperty(window, "WM_STATE", wm_state);
    if (!state.empty()) return state[0] == NormalState || state[0] == IconicState;
    const std::vector<unsigned long> clients = WindowListProperty(root_, "_NET_CLIENT_LIST");
    if (std::find(clients.begin(), clients.end(), window) != clients.end()) return true;
    // No window manager: nobody minimizes, and a mapped window is what the user sees.
    XWindowAttributes attributes{};
    return x_->XGetWindowAttributes(display_, window, &attributes) != 0 &&
           attributes.map_state == IsViewable;
  }

  WindowHandle Parent(WindowHandle window) override {
    if (!Connect() || window == 0) return 0;
    Window owner = 0;
    return x_->XGetTransientForHint(display_, window, &owner) != 0 ? owner : 0;
  }

  bool IsWindow(WindowHandle window) override {
    XWindowAttributes attributes{};
    return Connect() && window != 0 && x_->XGetWindowAttributes(display_, window, &attributes) != 0;
  }

  void PostClose(WindowHandle window) override {
    if (!Connect() || window == 0) return;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = Intern("WM_PROTOCOLS");
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(Intern("WM_DELETE_WINDOW"));
    event.xclient.data.l[1] = CurrentTime;
    x_->XSendEvent(display_, window, False, NoEventMask, &event);
    x_->XFlush(display_);
  }

  ProcessId ShellPid() override {
    if (!Connect()) return 0;
    const Atom desktop_type = Intern("_NET_WM_WINDOW_TYPE_DESKTOP");
    for (const WindowHandle window : TopLevelWindows()) {
      const std::vector<unsigned long> types =
          WindowListProperty(window, "_NET_WM_WINDOW_TYPE", XA_ATOM);
      if (std::find(types.begin(), types.end(), desktop_type) != types.end())
        return OwnerPid(window);
    }
    return 0;
  }

  std::string TurnScreensOff() override {
    if (!Connect()) {
      throw Error(ENXIO, missing_.empty()
                             ? "no X display to turn off (DISPLAY is not set or not open)"
                             : "no X display to turn off: " + missing_);
    }
    int event_base = 0;
    int error_base = 0;
    if (x_->DPMSQueryExtension != nullptr &&
        x_->DPMSQueryExtension(display_, &event_base, &error_base) && x_->DPMSCapable(display_)) {
      // Forcing a level needs DPMS on; the server's own timeouts then bring it back at input.
      x_->DPMSEnable(display_);
      x_->DPMSForceLevel(display_, DPMSModeOff);
      x_->XFlush(display_);
      return "";
    }
    // Without DPMS the screen cannot be powered down: the screen saver blanks it instead.
    x_->XForceScreenSaver(display_, ScreenSaverActive);
    x_->XFlush(display_);
    return "the display has no DPMS; the screen saver was started instead";
  }

 private:
  bool Connect() {
    if (lost_) Disconnect();
    if (display_ != nullptr) return true;
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return false;
    if (x_ == nullptr) x_ = LoadX11(&missing_);
    if (x_ == nullptr) return false;
    x_->XSetIOErrorHandler(IgnoreIOError);
    display_ = x_->XOpenDisplay(name);
    if (display_ == nullptr) return false;
    x_->XSetErrorHandler(IgnoreXError);
    x_->XSetIOErrorExitHandler(display_, OnConnectionLost, this);
    root_ = DefaultRootWindow(display_);
    char host[256] = {};
    host_ = ::gethostname(host, sizeof host - 1) == 0 ? host : "";  // asked once, not per window
    return true;
  }

  void Disconnect() {
    if (display_ != nullptr) x_->XCloseDisplay(display_);
    display_ = nullptr;
    lost_ = false;
  }

  // Xlib has given up on the connection; what the current walk reads from it is empty.
  static void OnConnectionLost(Display*, void* self) {
    static_cast<X11Desktop*>(self)->lost_ = true;
  }

  Atom Intern(const char* name) { return x_->XInternAtom(display_, name, False); }

  std::vector<unsigned long> WindowListProperty(Window window, const char* name,
                                                Atom type = XA_WINDOW) {
    return LongProperty(window, name, type);
  }
  std::vector<unsigned long> CardinalProperty(Window window, const char* name) {
    return LongProperty(window, name, XA_CARDINAL);
  }

  std::vector<unsigned long> LongProperty(Window window, const char* name, Atom type) {
    Atom actual = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> values;
    if (x_->XGetWindowProperty(display_, window, Intern(name), 0, 65536, False, type, &actual,
                               &format, &count, &after, &data) == Success &&
        data != nullptr && format == 32) {
      const auto* longs = reinterpret_cast<const unsigned long*>(data);
      values.assign(longs, longs + count);
    }
    if (data != nullptr) x_->XFree(data);
    return values;
  }

  std::string TextProperty(Window window, const char* name, const char* type) {
    Atom actual = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::string text;
    const Atom wanted = type != nullptr ? Intern(type) : AnyPropertyType;
    if (x_->XGetWindowProperty(display_, window, Intern(name), 0, 1024, False, wanted, &actual,
                               &format, &count, &after, &data) == Success &&
        data != nullptr && format == 8) {
      text.assign(reinterpret_cast<const char*>(data), count);
    }
    if (data != nullptr) x_->XFree(data);
    return text;
  }

  const X11Library* x_ = nullptr;  // loaded with the first display
  std::string missing_;            // why Xlib could not be loaded, when it could not
  Display* display_ = nullptr;
  Window root_ = 0;
  std::string host_;
  bool lost_ = false;
};

}  // namespace

std::unique_ptr<Desktop> MakeX11Desktop() { return std::make_unique<X11Desktop>(); }

}  // namespace varnix

#else  // no libX11 at build time: a desktop without windows

#include "platform/posix/no_desktop.h"

namespace varnix {

std::unique_ptr<Desktop> MakeX11Desktop() { return std::make_unique<NoDesktop>(); }

}  // namespace varnix

#endif
