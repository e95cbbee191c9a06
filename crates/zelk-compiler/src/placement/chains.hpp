// The exact search's view of a buffer list: the buffers that occupy bytes,
// split into chains that no lifetime links, each with its lifetimes cut into
// sections at every start and end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "zelk_compiler/placement.hpp"

namespace zelk_compiler::detail::search {

// One buffer of a chain, its lifetime as the sections [first, last).
struct Member {
  std::size_t buffer = 0;    // position in the caller's list
  std::uint32_t member = 0;  // position in its chain's list
  std::uint64_t size = 0;
  std::uint64_t alignment = 1;
  std::uint64_t lower = 0;
  std::uint64_t upper = 0;
  std::uint32_t first = 0;
  std::uint32_t last = 0;
};

// Buffers linked by overlapping lifetimes, in list order.
struct Chain {
  std::vector<Member> members;
  std::uint32_t sections = 0;
};

// The buffers that occupy bytes, split into chains whose lifetimes never
// meet another chain's.
[[nodiscard]] std::vector<Chain> chains_of(std::span<const Buffer> buffers);

}  // namespace zelk_compiler::detail::search
