// Handing freed memory back to the system, after a burst that made the heap grow.
#pragma once

namespace varnix {

// Returns the heap's free memory to the system where the allocator keeps it otherwise.
void ReleaseFreeMemory();

}  // namespace varnix
