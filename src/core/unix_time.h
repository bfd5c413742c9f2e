// The one reading of the wall clock as Unix seconds, for timestamps peers and files share.
#pragma once

#include <chrono>
#include <cstdint>

namespace varnix {

inline int64_t UnixSecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace varnix
