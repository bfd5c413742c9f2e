// The relay's two streams on Windows: the standard input and error handles it was given.
#include "platform/relayed_output.h"
#include "platform/win32/win32_handles.h"

namespace varnix {
namespace {

class HandleSource : public ByteSource {
 public:
  explicit HandleSource(HANDLE handle) : handle_(handle) {}
  size_t Read(char* buffer, size_t size) override {
    // A pipe whose writers have all gone says ERROR_BROKEN_PIPE: the end. A write of no
    // bytes reads as none, and is not the end.
    DWORD got = 0;
    while (got == 0) {
      if (!handle_.valid() ||
          !ReadFile(handle_.get(), buffer, static_cast<DWORD>(size), &got, nullptr)) {
        return 0;
      }
    }
    return got;
  }

 private:
  ScopedHandle handle_;
};

}  // namespace

RelayedOutput TakeRelayedOutput() {
  // A program of the windows subsystem gets no console signals; nothing to turn away.
  return {std::make_unique<HandleSource>(GetStdHandle(STD_INPUT_HANDLE)),
          std::make_unique<HandleSource>(GetStdHandle(STD_ERROR_HANDLE)), nullptr};
}

}  // namespace varnix
