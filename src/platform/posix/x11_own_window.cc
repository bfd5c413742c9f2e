// OwnWindow on X11: a plain window with the ICCCM and EWMH properties a window manager reads.
#include "platform/error.h"
#include "platform/own_window.h"

#ifdef VARNIX_HAVE_X11

#include <X11/Xatom.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_event_loop.h"
#include "platform/posix/x11_library.h"

namespace varnix {
namespace {

class X11OwnWindow : public OwnWindow {
 public:
  X11OwnWindow(PosixEventLoop& loop, const std::string& caption, std::function<void()> on_close)
      : loop_(loop), on_close_(std::move(on_close)) {
    std::string missing;
    x_ = LoadX11(&missing);
    if (x_ == nullptr) throw Error(1, "Cannot open the X display: " + missing);
    const char* name = std::getenv("DISPLAY");
    display_ = name != nullptr ? x_->XOpenDisplay(name) : nullptr;
    if (display_ == nullptr) throw Error(1, "Cannot open the X display");
    const int screen = DefaultScreen(display_);
    window_ = x_->XCreateSimpleWindow(display_, RootWindow(display_, screen), 10, 10, 320, 120, 1,
                                      BlackPixel(display_, screen), WhitePixel(display_, screen));
    // The pid is only believed together with the machine it belongs to.
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    x_->XChangeProperty(display_, window_, x_->XInternAtom(display_, "WM_CLIENT_MACHINE", False),
                        XA_STRING, 8, PropModeReplace, reinterpret_cast<const unsigned char*>(host),
                        static_cast<int>(std::strlen(host)));
    const long pid = static_cast<long>(::getpid());
    x_->XChangeProperty(display_, window_, x_->XInternAtom(display_, "_NET_WM_PID", False),
                        XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&pid), 1);
    XClassHint hint{};
    char res_name[] = "varnix";
    char res_class[] = "VarnixWindow";
    hint.res_name = res_name;
    hint.res_class = res_class;
    x_->XSetClassHint(display_, window_, &hint);
    delete_ = x_->XInternAtom(display_, "WM_DELETE_WINDOW", False);
    x_->XSetWMProtocols(display_, window_, &delete_, 1);
    // The caption last: each atom look-up above sends what came before it, and a window that
    // can be found by its title must already say whose it is.
    const Atom utf8 = x_->XInternAtom(display_, "UTF8_STRING", False);
    const Atom net_wm_name = x_->XInternAtom(display_, "_NET_WM_NAME", False);
    x_->XStoreName(display_, window_, caption.c_str());
    x_->XChangeProperty(display_, window_, net_wm_name, utf8, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(caption.data()),
                        static_cast<int>(caption.size()));
    x_->XMapWindow(display_, window_);
    x_->XSync(display_, False);
    watch_ = loop_.WatchReadable(ConnectionNumber(display_), [this] { ReadEvents(); });
  }

  ~X11OwnWindow() override {
    loop_.Unwatch(watch_);
    x_->XDestroyWindow(display_, window_);
    x_->XCloseDisplay(display_);
  }

  WindowHandle handle() const override { return window_; }

 private:
  void ReadEvents() {
    while (x_->XPending(display_) > 0) {
      XEvent event;
      x_->XNextEvent(display_, &event);
      if (event.type == ClientMessage && static_cast<Atom>(event.xclient.data.l[0]) == delete_ &&
          on_close_) {
        on_close_();
      }
    }
  }

  PosixEventLoop& loop_;
  std::function<void()> on_close_;
  const X11Library* x_ = nullptr;
  Display* display_ = nullptr;
  Window window_ = 0;
  Atom delete_ = 0;
  uint64_t watch_ = 0;
};

}  // namespace

std::unique_ptr<OwnWindow> CreateOwnWindow(EventLoop& loop, const std::string& caption,
                                           std::function<void()> on_close) {
  return std::make_unique<X11OwnWindow>(dynamic_cast<PosixEventLoop&>(loop), caption,
                                        std::move(on_close));
}

}  // namespace varnix

#else

namespace varnix {

std::unique_ptr<OwnWindow> CreateOwnWindow(EventLoop&, const std::string&, std::function<void()>) {
  throw Error(1, "Built without X11: no windows");
}

}  // namespace varnix

#endif
