// Heap accounting for the benchmarks: the program replaces the global
// allocation functions so that a benchmark can read the bytes in use and the
// high-water mark since a reset.
#pragma once

#include <cstddef>

namespace zelk_compiler::bench {

struct HeapCounters {
  std::size_t current = 0;
  std::size_t peak = 0;
};

[[nodiscard]] HeapCounters heap_counters();

// Starts a new high-water mark at the bytes in use now.
void reset_heap_peak();

}  // namespace zelk_compiler::bench
