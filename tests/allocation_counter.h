// Counts the program's heap allocations, for tests and benchmarks that promise to make none.
#pragma once

#include <cstdint>

namespace varnix {

// Every operator new this program has made so far (the counting operator new is linked into
// the programs that use this).
uint64_t HeapAllocations();

}  // namespace varnix
