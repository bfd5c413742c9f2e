// FastString's reset to its initial 101 empty slots.
#include "xap/fast_string.h"

namespace varnix {

void FastString::Reset() {
  text_.clear();
  pieces_ = 0;
  slots_ = kGrowBy + 1;
}

}  // namespace varnix
