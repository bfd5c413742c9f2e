// Owns one library loaded at run time (dlopen), for those a program maps only once it uses them.
#pragma once

#include <dlfcn.h>

#include <string>

namespace varnix {

class SharedLibrary {
 public:
  // Loads `soname`; when that fails, loaded() is false and error() says why. The code stays
  // mapped after the close: what it registered or allocated may still be reached at exit (by a
  // leak checker, say).
  explicit SharedLibrary(const char* soname)
      : soname_(soname), handle_(::dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
    if (handle_ == nullptr) {
      const char* why = ::dlerror();
      error_ = why != nullptr ? why : soname_ + " cannot be loaded";
    }
  }
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  ~SharedLibrary() {
    if (handle_ != nullptr) ::dlclose(handle_);
  }

  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }

  // Sets `function` to the library's `name`; false (and error() says which) when it has none.
  template <typename Function>
  bool Find(const char* name, Function*& function) {
    function = handle_ != nullptr ? reinterpret_cast<Function*>(::dlsym(handle_, name)) : nullptr;
    if (function == nullptr && error_.empty())
      error_ = std::string("no ") + name + " in " + soname_;
    return function != nullptr;
  }

 private:
  std::string soname_;
  void* handle_;
  std::string error_;
};

}  // namespace varnix
