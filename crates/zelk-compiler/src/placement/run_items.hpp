// The items of one run of the exact search: a chain's members in the run's
// priority order, and how they relate, which stays fixed through the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "placement/chains.hpp"

namespace zelk_compiler::detail::search {

// How many priority keys the runs take turns with.
inline constexpr std::size_t kPriorityCount = 3;

// How one run orders the items: by one of the priority keys, its first part
// scaled by a pseudo-random factor within `spread` / 1024 of 1 (splitmix64,
// so the same everywhere), so that restarts try orders near the keys.
struct RunOrder {
  std::size_t priority = 0;
  std::span<const std::uint64_t> heat;  // when set, the key is (heat, size) instead
  std::uint64_t seed = 0;
  std::uint64_t spread = 0;
  bool focus = false;  // see ChainSearch::starters_at_level
};

struct RunItems {
  RunItems(const Chain& chain, const RunOrder& order);

  [[nodiscard]] std::size_t size() const { return list.size(); }
  [[nodiscard]] const Member& operator[](std::size_t i) const { return list[i]; }
  [[nodiscard]] auto begin() const { return list.begin(); }
  [[nodiscard]] auto end() const { return list.end(); }

  // Per item, in priority order.
  std::vector<Member> list;
  std::vector<std::uint32_t> twin;                      // the identical item before it, if any
  std::vector<std::vector<std::uint32_t>> later_alike;  // see ChainSearch::on_later_alike
  // Per section.
  std::vector<std::vector<std::uint32_t>> covering;  // the items live there
  std::vector<std::vector<std::uint32_t>> by_size;   // the same, smallest first
};

inline constexpr std::uint32_t kNone = ~std::uint32_t{0};

}  // namespace zelk_compiler::detail::search
