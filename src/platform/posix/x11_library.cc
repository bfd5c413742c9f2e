// LoadX11: libX11 and libXext by the names the build linked against, found once.
#include "platform/posix/x11_library.h"

#include "platform/posix/shared_library.h"

#if !defined(VARNIX_X11_SONAME) || !defined(VARNIX_XEXT_SONAME)
#error "VARNIX_X11_SONAME and VARNIX_XEXT_SONAME name the libraries to load"
#endif

namespace varnix {
namespace {

struct Loaded {
  Loaded() : x11(VARNIX_X11_SONAME), xext(VARNIX_XEXT_SONAME) {
#define VARNIX_X11_FIND(name) complete = x11.Find(#name, functions.name) && complete;
    VARNIX_X11_FUNCTIONS(VARNIX_X11_FIND)
#undef VARNIX_X11_FIND
    bool dpms = xext.loaded();
#define VARNIX_DPMS_FIND(name) dpms = dpms && xext.Find(#name, functions.name);
    VARNIX_DPMS_FUNCTIONS(VARNIX_DPMS_FIND)
#undef VARNIX_DPMS_FIND
    if (!dpms) {
#define VARNIX_DPMS_CLEAR(name) functions.name = nullptr;
      VARNIX_DPMS_FUNCTIONS(VARNIX_DPMS_CLEAR)
#undef VARNIX_DPMS_CLEAR
    }
  }

  SharedLibrary x11;
  SharedLibrary xext;
  X11Library functions;
  bool complete = true;
};

}  // namespace

const X11Library* LoadX11(std::string* why) {
  static const Loaded loaded;  // once, on first use, by whichever thread comes first
  if (loaded.x11.loaded() && loaded.complete) return &loaded.functions;
  if (why != nullptr) *why = loaded.x11.error();
  return nullptr;
}

}  // namespace varnix
