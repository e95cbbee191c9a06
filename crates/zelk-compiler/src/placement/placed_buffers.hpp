// The buffers already placed in one memory, sorted by offset, answering
// first-fit and best-fit queries in one sweep.
//
// Only buffers whose lifetimes meet the new one's can block it. Visiting them
// in offset order, the lowest admissible offset only ever moves up, past the
// end of a blocker, so one sweep finds it without starting over after a bump,
// and the sweep stops at the first buffer that starts above the candidate's
// end. Cost: one pass over the placed buffers per query, one insertion into a
// sorted vector per placement.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "zelk_compiler/checked.hpp"

namespace zelk_compiler::detail {

// Whether half-open lifetimes [lower, upper) share a time: each starts
// before the other ends. A lifetime with upper <= lower is the closed range
// [lower, upper - 1] of a tensor read only before it is written; it meets
// exactly the lifetimes that hold both of those phases, as `lifetimes_overlap`
// says of the closed records, and no other such lifetime.
[[nodiscard]] constexpr bool lives_meet(std::uint64_t a_lower, std::uint64_t a_upper,
                                        std::uint64_t b_lower, std::uint64_t b_upper) {
  return a_lower < b_upper && b_lower < a_upper;
}

// Offsets are plain 64-bit sums: callers keep every offset, end and aligned
// end below 2^64 (the planner's addresses stay below 2^34; `place_buffers`
// checks that all sizes and alignments together fit 64 bits). `place_buffers`
// leaves out the buffers whose lifetime holds no time.
class PlacedBuffers {
 public:
  // The lowest offset at or above `base` that is `base` itself or a multiple
  // of `alignment` (at least 1) where [offset, offset + size) meets no buffer
  // whose lifetime meets [lower, upper).
  [[nodiscard]] std::uint64_t first_fit(std::uint64_t base, std::uint64_t size,
                                        std::uint64_t alignment, std::uint64_t lower,
                                        std::uint64_t upper) const {
    std::uint64_t offset = base;
    for (const Placed& placed : placed_) {
      if (placed.offset >= offset + size) {
        break;  // this and every later buffer start past the candidate
      }
      if (offset < placed.end && lives_meet(lower, upper, placed.lower, placed.upper)) {
        offset = saturating_align_up(placed.end, alignment);
      }
    }
    return offset;
  }

  // Among the admissible offsets, the one at the start of the smallest free
  // gap (between buffers whose lifetimes meet [lower, upper)) that holds the
  // buffer; the lowest such offset among equal gaps, and above everything
  // when no gap holds it.
  [[nodiscard]] std::uint64_t best_fit(std::uint64_t base, std::uint64_t size,
                                       std::uint64_t alignment, std::uint64_t lower,
                                       std::uint64_t upper) const {
    std::uint64_t cursor = base;  // lowest admissible offset above the blockers seen
    std::uint64_t best = 0;
    std::uint64_t best_gap = 0;
    bool found = false;
    for (const Placed& placed : placed_) {
      if (!lives_meet(lower, upper, placed.lower, placed.upper)) {
        continue;
      }
      if (placed.offset >= cursor + size) {
        const std::uint64_t gap = placed.offset - cursor;
        if (!found || gap < best_gap) {
          best = cursor;
          best_gap = gap;
          found = true;
        }
      }
      if (placed.end > cursor) {
        cursor = saturating_align_up(placed.end, alignment);
      }
    }
    return found ? best : cursor;
  }

  void insert(std::uint64_t offset, std::uint64_t size, std::uint64_t lower, std::uint64_t upper) {
    const auto position = std::ranges::upper_bound(placed_, offset, {}, &Placed::offset);
    placed_.insert(position, Placed{offset, offset + size, lower, upper});
  }

  // Drops the buffers that are dead at `horizon` (upper <= horizon), the
  // earliest time any buffer still to be placed is live: they can never
  // block again. Sweeps only when the memory has doubled since the last
  // sweep, so it costs O(1) amortised per buffer.
  void forget_before(std::uint64_t horizon) {
    if (placed_.size() < 2 * kept_after_sweep_ + 16) {
      return;
    }
    std::erase_if(placed_, [horizon](const Placed& p) { return p.upper <= horizon; });
    kept_after_sweep_ = placed_.size();
  }

 private:
  struct Placed {
    std::uint64_t offset;
    std::uint64_t end;
    std::uint64_t lower;
    std::uint64_t upper;
  };
  std::vector<Placed> placed_;
  std::size_t kept_after_sweep_ = 0;
};

}  // namespace zelk_compiler::detail
