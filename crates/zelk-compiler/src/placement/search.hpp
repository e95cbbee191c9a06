// The exact placement search, behind place_buffers.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "zelk_compiler/placement.hpp"

namespace zelk_compiler::detail {

// Buffers that occupy bytes while live: the others meet no buffer.
[[nodiscard]] inline bool occupies(const Buffer& buffer) {
  return buffer.size > 0 && buffer.lower < buffer.upper;
}

struct SearchGoal {
  std::uint64_t bound = 0;  // no placement peaks lower: the search stops there
  // When set, first look for any placement that peaks at or below it, and
  // lower the peak further only if there is none.
  std::optional<std::uint64_t> fit_within;
  std::uint64_t steps = 0;  // placements the search may try, in all
  std::optional<std::chrono::steady_clock::time_point> deadline;
  std::stop_token stop;  // a stop requested on it throws Stopped
};

struct SearchResult {
  std::vector<std::uint64_t> offsets;  // the best placement found, in input order
  std::uint64_t peak = 0;              // its peak
  bool optimal = false;                // that peak is proven minimal
};

// Improves `start`, a valid placement of `buffers`, towards the goal.
// Preconditions as for place_buffers, checked by the caller.
[[nodiscard]] SearchResult search_placement(std::span<const Buffer> buffers,
                                            std::span<const std::uint64_t> start,
                                            const SearchGoal& goal);

}  // namespace zelk_compiler::detail
