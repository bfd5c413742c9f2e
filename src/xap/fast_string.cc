// FastString's reset to its initial 101 empty slots.
#include "xap/fast_string.h"

namespace varnix {

void FastString::Reset() {
  text_.clear();
  // Most messages fit here, so building one allocates once.
  text_.reserve(256);
  pieces_ = 0;
  slots_ = kGrowBy + 1;
}

}  // namespace varnix
