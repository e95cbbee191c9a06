// One run of the exact placement search on one chain of buffers: a
// depth-first branch and bound over canonical placements, splitting into
// independent groups as it goes.
//
// Why canonical placements suffice: drop every buffer of any placement as
// low as it will go (to the aligned top of the buffers below it that it
// meets) and the peak is no higher. Served in order of offset, each buffer
// then sits at its minimum offset: the aligned top of the buffers placed
// before it that it meets. So the search places buffers only at their
// minimum offsets and in non-decreasing order of offset; a buffer whose
// minimum falls below the last placement must first be raised by another
// that it meets, so it cannot start below that one's top. Which buffer
// comes next? Let E be the lowest end any unplaced buffer can reach. The
// next buffer in offset order starts below E (otherwise the buffer that can
// end at E could drop into the free space below E), so a node branches on
// the buffers whose minimum offset is below E, the lowest first. Buffers
// placed one after another at the same offset never meet and any order of
// them gives the same placement, so they go in priority order; of identical
// buffers only the first unplaced may go, and of two that differ only in
// size, stacked one directly on the other, only one order is tried.
//
// Time is cut into sections at every start and end. Each section keeps its
// floor (the top of the buffers placed across it) and the bytes still to be
// placed across it; those buffers stack above the lowest offset any of them
// can take, and offsets never go below the lowest (the level). A node is
// pruned as soon as some section's stack, or some buffer's lowest end,
// passes the limit: space below that lowest offset is wasted, and this is
// how waste is charged. Where a section has less room to spare above the
// level than the smallest unplaced buffer, nothing fits below its lowest
// buffer: that buffer starts it at its present minimum, so the node
// branches only on the few that can (on one at once, always; on several in
// every other pair of runs).
//
// Once the unplaced buffers of a group fall into chains that no lifetime
// links, the floors are all they share, so each chain is solved on its own,
// as a fresh canonical search above those floors; one that has no placement
// fails the node at once, however the others went. Where a group's floors
// are flat (the whole chain's are, at the start), a buffer live across its
// whole span meets every other, so such buffers go to the bottom without a
// search (see place_bands). A chain that fails is remembered with its
// floors and the limit, so that the same sub-problem met through another
// branch fails without a search.
//
// A node costs O(n) in its group's buffers and sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "placement/chains.hpp"
#include "placement/failed_groups.hpp"
#include "placement/run_items.hpp"
#include "placement/search_budget.hpp"

namespace zelk_compiler::detail::search {

enum class Verdict { Found, None, OutOfSteps };

inline constexpr std::uint64_t kUnbounded = ~std::uint64_t{0};

// What the branches above a node have placed, and what that placement
// implies, restored on the way back up.
struct SearchState {
  SearchState(std::size_t items, std::size_t sections)
      : min(items),
        offset(items),
        placed(items),
        placed_at(items),
        floor(sections),
        remaining(sections),
        links(sections) {}

  // Clears every placement and counts every item as unplaced.
  void reset(const RunItems& items);
  // Takes back every placement after the first `count`.
  void undo_to(std::size_t count, const RunItems& items);

  // An overwritten floor (section) or minimum offset (item), to restore.
  struct Change {
    bool floor;
    std::uint32_t index;
    std::uint64_t old;
  };
  struct Placed {
    std::uint32_t item;
    std::size_t trail_mark;
  };

  // Per item, in priority order.
  std::vector<std::uint64_t> min;      // its lowest admissible offset
  std::vector<std::uint64_t> offset;   // while placed
  std::vector<std::uint8_t> placed;    // 1 while placed
  std::vector<std::size_t> placed_at;  // while placed: its position in placements
  // Per section.
  std::vector<std::uint64_t> floor;
  std::vector<std::uint64_t> remaining;  // bytes of unplaced items live there
  std::vector<std::uint32_t> links;      // unplaced items live there and in the next section
  std::vector<Placed> placements;
  std::vector<Change> trail;
};

// One run of the depth-first search on one chain, in one priority order.
class ChainSearch {
 public:
  ChainSearch(const Chain& chain, const RunOrder& order, Budget& budget, FailedGroups& failed,
              std::span<std::uint64_t> heat);

  // Looks for a placement of the whole chain that peaks at or below
  // `limit`, giving up after `allowance` failed placements.
  Verdict decide(std::uint64_t limit, std::uint64_t allowance);

  // Writes the placement found by the last successful decide into
  // `offsets`, indexed like the caller's list.
  void write_placement(std::span<std::uint64_t> offsets) const;

 private:
  // A group's sections [first, last), and how many placements came before
  // its search (its bands among them).
  struct Span {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::size_t placed_before = 0;
  };

  // Truncates the pool to its length at construction when leaving a scope.
  class PoolMark {
   public:
    explicit PoolMark(std::vector<std::uint32_t>& pool) : pool_(pool), size_(pool.size()) {}
    PoolMark(const PoolMark&) = delete;
    PoolMark& operator=(const PoolMark&) = delete;
    ~PoolMark() { pool_.resize(size_); }

   private:
    std::vector<std::uint32_t>& pool_;
    std::size_t size_;
  };

  // Per node, overwritten by the next: working lists of the prunes and splits.
  struct Scratch {
    std::vector<std::uint64_t> earliest;         // per item: from find_earliest
    std::vector<std::uint32_t> reach;            // per section: for solve_parts
    std::vector<std::uint32_t> part_of;          // per section: for solve_parts
    std::vector<std::uint32_t> starters;         // for starters_at_level
    std::vector<std::uint32_t> fewest_starters;  // the result of starters_at_level
  };

  // The tree walk (chain_search.cpp).

  // Places the group pool_[from, to), all unplaced, above the current
  // floors, unless the same group above the same floors failed before.
  Verdict solve_group(std::size_t from, std::size_t to, Span span);

  // Above a flat floor a group is a problem of its own, and an item live
  // across the group's whole span meets every other: take any placement,
  // move that item down to the floor and what was below it up by its size,
  // and the peak is no higher. So such items (bands) are stacked on the
  // floor before the search begins, as long as the moves keep every item
  // aligned: each band's size a multiple of every alignment in the group,
  // and the floor one of the band's own. False when that passes the limit.
  bool place_bands(std::size_t from, std::size_t to, Span span);

  // The node below the placement of `last` at `last_offset` (kNone for a
  // group's root), for the unplaced items of pool_[from, to).
  Verdict branch(std::size_t from, std::size_t to, Span span, std::uint32_t last,
                 std::uint64_t last_offset);

  // Buffers with the same lifetime and alignment (sizes multiples of it)
  // that sit one directly on the other can trade places: the pair covers the
  // same bytes either way. So of such a pair, placed by one group's search
  // (not stacked as a band), only the one earlier in priority order may be
  // the lower: whether `item` at `offset` would sit directly on a later one.
  [[nodiscard]] bool on_later_alike(std::uint32_t item, std::uint64_t offset, Span span) const;

  // Whether placing `b` left some pair of neighbouring sections in its
  // lifetime without an unplaced item across both: only then can the
  // unplaced items have fallen apart.
  [[nodiscard]] bool unlinks(const Member& b) const;

  // When the unplaced items pool_[begin, end) fall into several chains,
  // solves each on its own, the smallest first, and keeps them all placed
  // or none; nothing when they form one chain.
  std::optional<Verdict> solve_parts(std::size_t begin, std::size_t end, Span span);

  // The prunes and the placements they follow (chain_prune.cpp).

  // Offsets never decrease along a branch, and items placed at the same
  // offset go in priority order: whether unplaced `i` may go at its minimum
  // offset right after `last` went to `last_offset`, as far as order goes.
  [[nodiscard]] bool in_order(std::uint32_t i, std::uint32_t last,
                              std::uint64_t last_offset) const {
    return last == kNone || state_.min[i] > last_offset ||
           (state_.min[i] == last_offset && i > last);
  }

  // The lowest offset each unplaced item of pool_[begin, end) can still
  // take, into scratch_.earliest: its minimum offset if in order, and
  // otherwise the top of some other unplaced item it meets, placed at or
  // above the last placement, since it must first be raised. False when an item cannot
  // end within the limit, or has nothing left to raise it.
  bool find_earliest(std::size_t begin, std::size_t end, std::uint32_t last,
                     std::uint64_t last_offset);

  // The size of the smallest unplaced item other than `i` that meets it.
  [[nodiscard]] std::uint64_t smallest_meeting(std::uint32_t i) const;

  // A section whose unplaced items leave less room above the level than the
  // smallest unplaced item has no room for anything below its lowest item
  // but waste: that item starts the section at its present minimum offset
  // (an item below it would start at or above the level and end within
  // that room), and nothing can go below it. Of such sections, the one with
  // the fewest items that can start it: one of them does so in every
  // placement below this node. The node may branch on those alone, each
  // placed at once without moving the order of the items at the level; with
  // one it always does, with several only in focused runs. Returns their
  // number, listed in scratch_.fewest_starters, or 0 when there is no such
  // section (or one of its items is out of order, and must wait to be
  // raised).
  std::size_t starters_at_level(Span span, std::uint64_t level, std::uint64_t smallest,
                                std::uint32_t last, std::uint64_t last_offset);

  // Whether some section's unplaced items, stacked from the lowest offset
  // any of them can take there (and never below the level), pass the limit;
  // that section takes the blame.
  bool overflows(Span span, std::uint64_t level);

  // Counts a prune against the unplaced items live in section `s`.
  void blame(std::uint32_t s);

  // Places `item` at `offset`, raising the floors of its sections and the
  // minimum offsets of the unplaced items of pool_[begin, end) it meets.
  // False when that passes the limit; the changes stay until undone either
  // way.
  bool place(std::uint32_t item, std::uint64_t offset, std::size_t begin, std::size_t end);

  Budget& budget_;
  FailedGroups& failed_;
  std::span<std::uint64_t> heat_;  // per chain member: prunes it took part in
  std::uint64_t limit_ = 0;
  std::uint64_t allowance_ = 0;  // failed placements left before this run gives up
  bool focus_ = false;
  RunItems items_;
  SearchState state_;
  std::vector<std::uint32_t> pool_;  // the search's stack: item lists of the open nodes
  Scratch scratch_;
};

}  // namespace zelk_compiler::detail::search
