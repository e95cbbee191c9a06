// The pieces of tile memory planning shared by plan_memory and the fit
// diagnosis: lifetimes, groups of tiles that hold the same buffers, and the
// placement of one group's buffers.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "placement/live_bytes.hpp"
#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler::detail {

// The phases in which a tensor's bytes are in use, as the half-open range
// [lower, upper): the closed range [live_from, live_until] of its
// allocations is [lower, upper - 1]. upper <= lower for a tensor read only in
// phases before the one that writes it; see `lives_meet`.
struct Lifetime {
  std::uint64_t lower = 0;
  std::uint64_t upper = 0;
};

// Tiles that receive shares of the same tensors in the same order see the
// same placement under any strategy, so each such group is planned once.
struct TileGroup {
  std::vector<std::uint16_t> tiles;  // ascending
  // The tensor of each buffer, in placement order; a tensor whose layout
  // lists the group's tiles k times holds k buffers on each of them.
  std::vector<std::uint64_t> buffers;
};

constexpr std::uint64_t kLargestEnd = std::numeric_limits<std::uint32_t>::max();

struct MemoryProblem {
  std::vector<Lifetime> lives;  // per tensor
  // Per tensor: its share rounded up to its layout's alignment, computed in
  // 64 bits (saturating); a size past kLargestEnd can never be placed.
  std::vector<std::uint64_t> sizes;
  std::vector<std::uint32_t> alignments;  // per tensor, from its layout
  std::vector<bool> repeats;              // per tensor: its layout names a tile twice
  // Per tensor: the earliest start of its lifetime and of every later
  // tensor's.
  std::vector<std::uint64_t> horizons;
  std::vector<TileGroup> groups;  // ordered by first tile
  // Per tile up to the highest tile any layout names: its group, or kNoGroup.
  std::vector<std::uint32_t> group_of_tile;
  // The first tensor whose size can never be placed, or the tensor count.
  std::uint64_t first_unplaceable = 0;
};

constexpr std::uint32_t kNoGroup = std::numeric_limits<std::uint32_t>::max();

// Groups numbered by first tile, each with its tiles and its buffer sequence,
// into `problem.groups`, with `problem.group_of_tile` and `problem.repeats`.
void find_groups(const Graph& graph, std::span<const Layout> layouts, MemoryProblem& problem);

// Counts how often the current tensor's layout names each tile. A stamp per
// tile marks the tensor that last counted it, so nothing is cleared between
// tensors.
class TileCounts {
 public:
  explicit TileCounts(std::size_t tiles) : stamp_(tiles, 0), count_(tiles, 0) {}

  // Counts one more naming of `tile` by tensor `tensor`; returns how many
  // namings came before it.
  std::uint64_t next(std::uint16_t tile, std::uint64_t tensor) {
    if (stamp_[tile] != tensor + 1) {
      stamp_[tile] = tensor + 1;
      count_[tile] = 0;
    }
    return count_[tile]++;
  }
  [[nodiscard]] std::uint64_t count(std::uint16_t tile) const { return count_[tile]; }

 private:
  std::vector<std::uint64_t> stamp_;
  std::vector<std::uint64_t> count_;
};

// Lifetimes, sizes and tile groups. Broken preconditions (a layout missing,
// without tiles or with alignment 0, a phase naming no operation, ids out of
// range) throw std::invalid_argument or std::out_of_range.
[[nodiscard]] MemoryProblem memory_problem(const Graph& graph, std::span<const Layout> layouts,
                                           std::span<const Phase> phases);

// Addresses for one group's buffers, in the group's order.
struct GroupPlacement {
  std::vector<std::uint64_t> addresses;
  std::uint64_t end = 0;  // highest address + size; the window's base when empty
  // The first buffer that could not be placed within the limit, and whether
  // its search passed 2^32 - 1 on the way; `addresses` stops before it.
  std::optional<std::size_t> failed;
  bool overflowed = false;
};

// First fit in placement order from `base`, for the buffers of the tensors
// before `problem.first_unplaceable`. With a limit, stops at the first buffer
// whose end would pass it (or 2^32 - 1); without one, places everything. A
// stop requested on `stop` throws Stopped before the next buffer.
[[nodiscard]] GroupPlacement first_fit(const MemoryProblem& problem, const TileGroup& group,
                                       std::uint32_t base, std::optional<std::uint32_t> limit,
                                       const std::stop_token& stop);

// The solver's placement of the same buffers within [base, limit), from the
// lowest origin at or above `base` that is a multiple of every alignment in
// the group; nothing when there is none below `limit`. Its end may pass
// `limit` when the buffers do not fit. A stop requested on `stop` throws
// Stopped as place_buffers does.
[[nodiscard]] std::optional<GroupPlacement> solver_placement(
    const MemoryProblem& problem, const TileGroup& group, std::uint32_t base, std::uint32_t limit,
    std::uint64_t search_steps, const std::stop_token& stop);

// The most bytes of the group's buffers live in any one phase, and the first
// phase where that many are live; no placement can peak lower.
[[nodiscard]] BusiestTime busiest_phase(const MemoryProblem& problem, const TileGroup& group);

}  // namespace zelk_compiler::detail
