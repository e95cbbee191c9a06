// Exact placement search: depth-first branch and bound over canonical
// placements.
//
// Why canonical placements suffice: drop every buffer of any placement as
// low as it will go (to the aligned top of the buffers below it that it
// meets) and the peak is no higher. Served in order of offset, each buffer
// then sits at its minimum offset: the aligned top of the buffers placed
// before it that it meets. So the search places buffers only at their
// minimum offsets and in non-decreasing order of offset; a buffer whose
// minimum falls below the last placement must first be raised by another.
// Which buffer comes next? Let E be the lowest end any unplaced buffer can
// reach. The next buffer in offset order starts below E (otherwise the
// buffer that can end at E could drop into the free space below E), so the
// node branches on the buffers whose minimum offset is below E, the lowest
// first. Buffers placed one after another at the same offset never meet and
// any order of them gives the same placement, so they go in priority order;
// of identical buffers only the first unplaced may go.
//
// Time is cut into sections at every start and end. Each section keeps its
// floor (the top of the buffers placed across it) and the bytes still to be
// placed across it; those buffers stack above the lowest offset any of them
// can take, and offsets never go below the last placement. A node is pruned
// as soon as some section's stack, or some buffer's lowest end, passes the
// limit: the best peak found so far, less one. Space below that lowest
// offset is wasted, and this is how waste is charged.
//
// Buffers whose lifetimes form separate chains of overlaps never meet, so
// each chain is searched on its own, the one with the highest peak first. A
// node costs O(n) in the chain's buffers and sections; the step budget counts
// nodes, and the deadline is read every few hundred of them.
#include "placement/search.hpp"

#include <algorithm>
#include <map>
#include <numeric>
#include <tuple>

#include "placement/placed_buffers.hpp"

namespace zelk_compiler::detail {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kNone = ~std::uint32_t{0};

// Nodes the search may still open, and the wall-clock deadline, shared by
// every chain.
class Budget {
 public:
  Budget(std::uint64_t steps, std::optional<Clock::time_point> deadline)
      : steps_(steps), deadline_(deadline) {}

  // Takes one step; false once the steps are spent or the deadline passed.
  bool take() {
    if (steps_ == 0) {
      return false;
    }
    --steps_;
    if (deadline_ && ++since_clock_ == kClockEvery) {
      since_clock_ = 0;
      if (Clock::now() >= *deadline_) {
        steps_ = 0;
      }
    }
    return true;
  }

  [[nodiscard]] bool spent() const { return steps_ == 0; }

 private:
  static constexpr std::uint32_t kClockEvery = 256;
  std::uint64_t steps_;
  std::optional<Clock::time_point> deadline_;
  std::uint32_t since_clock_ = 0;
};

struct Item {
  std::size_t buffer = 0;  // position in the caller's list
  std::uint64_t size = 0;
  std::uint64_t alignment = 1;
  std::uint32_t first = 0;  // the sections [first, last) it is live in
  std::uint32_t last = 0;
  std::uint32_t twin = kNone;  // the identical item before it, if any
};

// One chain of buffers linked by overlapping lifetimes, items in priority
// order: the order candidates are tried in.
struct Chain {
  std::vector<Item> items;
  std::uint32_t sections = 0;
};

bool occupies(const Buffer& b) { return b.size > 0 && b.lower < b.upper; }

// Larger buffers first: they are the hardest to fit once the floors rise.
// Then longer ones, then list order.
bool higher_priority(const Buffer& a, std::size_t a_index, const Buffer& b, std::size_t b_index) {
  return std::tuple(b.size, b.upper - b.lower, a_index) <
         std::tuple(a.size, a.upper - a.lower, b_index);
}

Chain make_chain(std::span<const Buffer> buffers, std::vector<std::size_t> members) {
  std::vector<std::uint64_t> times;
  for (const std::size_t i : members) {
    times.push_back(buffers[i].lower);
    times.push_back(buffers[i].upper);
  }
  std::ranges::sort(times);
  times.erase(std::unique(times.begin(), times.end()), times.end());
  const auto section = [&times](std::uint64_t time) {
    return static_cast<std::uint32_t>(std::ranges::lower_bound(times, time) - times.begin());
  };

  std::ranges::sort(members, [&](std::size_t a, std::size_t b) {
    return higher_priority(buffers[a], a, buffers[b], b);
  });
  Chain chain;
  chain.sections = static_cast<std::uint32_t>(times.size() - 1);
  std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>, std::uint32_t>
      last_alike;
  for (const std::size_t i : members) {
    const Buffer& b = buffers[i];
    const auto key = std::tuple(b.lower, b.upper, b.size, b.alignment);
    const auto position = static_cast<std::uint32_t>(chain.items.size());
    const auto [alike, fresh] = last_alike.try_emplace(key, position);
    chain.items.push_back(Item{.buffer = i,
                               .size = b.size,
                               .alignment = b.alignment,
                               .first = section(b.lower),
                               .last = section(b.upper),
                               .twin = fresh ? kNone : alike->second});
    alike->second = position;
  }
  return chain;
}

// The buffers that occupy bytes, split into chains whose lifetimes never
// meet another chain's.
std::vector<Chain> chains_of(std::span<const Buffer> buffers) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    if (occupies(buffers[i])) {
      order.push_back(i);
    }
  }
  std::ranges::stable_sort(order, {}, [&](std::size_t i) { return buffers[i].lower; });
  std::vector<Chain> chains;
  std::vector<std::size_t> members;
  std::uint64_t reach = 0;  // the latest end in the current chain
  for (const std::size_t i : order) {
    if (!members.empty() && buffers[i].lower >= reach) {
      chains.push_back(make_chain(buffers, std::move(members)));
      members.clear();
    }
    members.push_back(i);
    reach = std::max(reach, buffers[i].upper);
  }
  if (!members.empty()) {
    chains.push_back(make_chain(buffers, std::move(members)));
  }
  return chains;
}

struct Outcome {
  bool found = false;      // some placement under the limit was found
  bool exhausted = false;  // every placement under the (final) limit was tried
};

// The depth-first search over one chain.
class ChainSearch {
 public:
  ChainSearch(const Chain& chain, Budget& budget)
      : items_(chain.items),
        budget_(budget),
        floor_(chain.sections),
        remaining_(chain.sections),
        lowest_(chain.sections),
        min_(items_.size()),
        offset_(items_.size()),
        placed_(items_.size()) {}

  // Looks for placements that peak at or below `limit`; each one found
  // lowers the limit below its peak, and one at or below `enough` ends the
  // search.
  Outcome run(std::uint64_t limit, std::uint64_t enough) {
    reset(limit);
    Outcome outcome;
    open_node(kNone, 0);
    while (!frames_.empty()) {
      Frame& frame = frames_.back();
      if (frame.item != kNone) {
        undo(frame);
      }
      if (frame.next == frame.end) {
        pool_.resize(frame.begin);
        frames_.pop_back();
        continue;
      }
      if (!budget_.take()) {
        return outcome;
      }
      frame.item = pool_[frame.next++];
      frame.trail_mark = trail_.size();
      const std::uint32_t item = frame.item;
      const std::uint64_t offset = min_[item];
      if (!place(item, offset)) {
        continue;
      }
      if (placed_count_ == items_.size()) {
        record();
        outcome.found = true;
        if (best_peak_ <= enough) {
          return outcome;
        }
        limit_ = best_peak_ - 1;
        continue;
      }
      open_node(item, offset);
    }
    outcome.exhausted = true;
    return outcome;
  }

  [[nodiscard]] std::uint64_t best_peak() const { return best_peak_; }

  // Writes the best placement found into `offsets`, indexed like the
  // caller's list.
  void write_best(std::span<std::uint64_t> offsets) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
      offsets[items_[i].buffer] = best_[i];
    }
  }

 private:
  struct Frame {
    std::size_t begin = 0;  // candidates are pool_[begin, end)
    std::size_t end = 0;
    std::size_t next = 0;
    std::size_t trail_mark = 0;  // the trail's length before `item` was placed
    std::uint32_t item = kNone;  // the candidate placed below this node, if any
  };
  // An overwritten floor (section) or minimum offset (item), to restore.
  struct Change {
    bool floor;
    std::uint32_t index;
    std::uint64_t old;
  };

  void reset(std::uint64_t limit) {
    limit_ = limit;
    std::ranges::fill(floor_, 0);
    std::ranges::fill(remaining_, 0);
    std::ranges::fill(min_, 0);
    std::ranges::fill(placed_, std::uint8_t{0});
    placed_count_ = 0;
    for (const Item& item : items_) {
      for (std::uint32_t s = item.first; s < item.last; ++s) {
        remaining_[s] += item.size;
      }
    }
    frames_.clear();
    pool_.clear();
    trail_.clear();
  }

  // Pushes a node below the placement of `last` at `last_offset` (kNone at
  // the root) with its candidates, unless it is a dead end.
  void open_node(std::uint32_t last, std::uint64_t last_offset) {
    // Where each unplaced item can go at the earliest: its minimum offset,
    // unless that is below the last placement (or at it, but earlier in
    // priority order), and then it must first be raised. The item that can
    // end earliest ends at `earliest_end`, the space below its earliest
    // offset is free for every candidate, and the lowest of them is the level.
    std::uint64_t earliest_end = ~std::uint64_t{0};
    std::uint64_t level = ~std::uint64_t{0};
    for (std::uint32_t i = 0; i < items_.size(); ++i) {
      if (placed_[i]) {
        continue;
      }
      const std::uint64_t earliest = earliest_offset(i, last, last_offset);
      if (earliest + items_[i].size > limit_) {
        return;
      }
      earliest_end = std::min(earliest_end, earliest + items_[i].size);
      level = std::min(level, earliest);
    }
    if (wastes_too_much(level, last, last_offset)) {
      return;
    }
    const std::size_t begin = pool_.size();
    for (std::uint32_t i = 0; i < items_.size(); ++i) {
      if (!placed_[i] && min_[i] < earliest_end && may_go_next(i, last, last_offset)) {
        pool_.push_back(i);
      }
    }
    if (pool_.size() == begin) {
      return;
    }
    // Lowest first, then in priority order: the item at the level goes first.
    std::sort(pool_.begin() + static_cast<std::ptrdiff_t>(begin), pool_.end(),
              [this](std::uint32_t a, std::uint32_t b) {
                return min_[a] != min_[b] ? min_[a] < min_[b] : a < b;
              });
    frames_.push_back(Frame{.begin = begin,
                            .end = pool_.size(),
                            .next = begin,
                            .trail_mark = trail_.size(),
                            .item = kNone});
  }

  // Offsets never decrease along a branch, and items placed at the same
  // offset go in priority order: whether unplaced `i` may go at its minimum
  // offset right after `last` went to `last_offset`, as far as order goes.
  [[nodiscard]] bool in_order(std::uint32_t i, std::uint32_t last,
                              std::uint64_t last_offset) const {
    return last == kNone || min_[i] > last_offset || (min_[i] == last_offset && i > last);
  }

  // In order, and the identical items before it are placed.
  [[nodiscard]] bool may_go_next(std::uint32_t i, std::uint32_t last,
                                 std::uint64_t last_offset) const {
    return in_order(i, last, last_offset) &&
           (items_[i].twin == kNone || placed_[items_[i].twin] != 0);
  }

  // The lowest offset unplaced `i` can still take: out of order, it must be
  // raised above the last placement first.
  [[nodiscard]] std::uint64_t earliest_offset(std::uint32_t i, std::uint32_t last,
                                              std::uint64_t last_offset) const {
    if (in_order(i, last, last_offset)) {
      return min_[i];
    }
    const std::uint64_t above = min_[i] == last_offset ? last_offset + 1 : last_offset;
    return align_up(above, items_[i].alignment);
  }

  // Whether some section's unplaced items, stacked from the lowest offset
  // any of them can take there, pass the limit.
  [[nodiscard]] bool wastes_too_much(std::uint64_t level, std::uint32_t last,
                                     std::uint64_t last_offset) {
    std::ranges::fill(lowest_, ~std::uint64_t{0});
    for (std::uint32_t i = 0; i < items_.size(); ++i) {
      if (placed_[i]) {
        continue;
      }
      const std::uint64_t earliest = earliest_offset(i, last, last_offset);
      for (std::uint32_t s = items_[i].first; s < items_[i].last; ++s) {
        lowest_[s] = std::min(lowest_[s], earliest);
      }
    }
    for (std::size_t s = 0; s < floor_.size(); ++s) {
      if (remaining_[s] > 0 && std::max(lowest_[s], level) + remaining_[s] > limit_) {
        return true;
      }
    }
    return false;
  }

  // Places `item` at `offset`, raising the floors of its sections and the
  // minimum offsets of the unplaced items it meets. False when that passes
  // the limit; the changes stay until undone either way.
  bool place(std::uint32_t item, std::uint64_t offset) {
    const Item& b = items_[item];
    const std::uint64_t end = offset + b.size;
    placed_[item] = 1;
    offset_[item] = offset;
    ++placed_count_;
    bool within = end <= limit_;
    for (std::uint32_t s = b.first; s < b.last; ++s) {
      trail_.push_back(Change{.floor = true, .index = s, .old = floor_[s]});
      floor_[s] = end;
      remaining_[s] -= b.size;
      within = within && (remaining_[s] == 0 || end + remaining_[s] <= limit_);
    }
    if (!within) {
      return false;
    }
    for (std::uint32_t u = 0; u < items_.size(); ++u) {
      const Item& other = items_[u];
      if (placed_[u] || other.last <= b.first || b.last <= other.first) {
        continue;
      }
      const std::uint64_t raised = align_up(end, other.alignment);
      if (raised > min_[u]) {
        trail_.push_back(Change{.floor = false, .index = u, .old = min_[u]});
        min_[u] = raised;
        if (raised + other.size > limit_) {
          return false;
        }
      }
    }
    return true;
  }

  void undo(Frame& frame) {
    const Item& b = items_[frame.item];
    placed_[frame.item] = 0;
    --placed_count_;
    for (std::uint32_t s = b.first; s < b.last; ++s) {
      remaining_[s] += b.size;
    }
    while (trail_.size() > frame.trail_mark) {
      const Change& change = trail_.back();
      (change.floor ? floor_ : min_)[change.index] = change.old;
      trail_.pop_back();
    }
    frame.item = kNone;
  }

  void record() {
    best_ = offset_;
    best_peak_ = 0;
    for (std::size_t i = 0; i < items_.size(); ++i) {
      best_peak_ = std::max(best_peak_, offset_[i] + items_[i].size);
    }
  }

  const std::vector<Item>& items_;
  Budget& budget_;
  std::uint64_t limit_ = 0;
  std::vector<std::uint64_t> floor_;      // per section
  std::vector<std::uint64_t> remaining_;  // per section: bytes of unplaced items live there
  std::vector<std::uint64_t> lowest_;     // per section: scratch for wastes_too_much
  std::vector<std::uint64_t> min_;        // per item: its lowest admissible offset
  std::vector<std::uint64_t> offset_;     // per item, while placed
  std::vector<std::uint8_t> placed_;      // per item: 1 while placed
  std::size_t placed_count_ = 0;
  std::vector<Frame> frames_;
  std::vector<std::uint32_t> pool_;
  std::vector<Change> trail_;
  std::vector<std::uint64_t> best_;
  std::uint64_t best_peak_ = 0;
};

std::uint64_t peak_of(const Chain& chain, std::span<const std::uint64_t> offsets) {
  std::uint64_t peak = 0;
  for (const Item& item : chain.items) {
    peak = std::max(peak, offsets[item.buffer] + item.size);
  }
  return peak;
}

}  // namespace

SearchResult search_placement(std::span<const Buffer> buffers, std::span<const std::uint64_t> start,
                              const SearchGoal& goal) {
  SearchResult result{.offsets = {start.begin(), start.end()}, .peak = 0, .optimal = false};
  Budget budget(goal.steps, goal.deadline);

  // Buffers outside every chain sit at 0 and end at their size.
  std::uint64_t outside = 0;
  for (const Buffer& b : buffers) {
    if (!occupies(b)) {
      outside = std::max(outside, b.size);
    }
  }
  struct Part {
    Chain chain;
    std::uint64_t peak;
    bool proven;
  };
  std::vector<Part> parts;
  for (Chain& chain : chains_of(buffers)) {
    const std::uint64_t peak = peak_of(chain, start);
    parts.push_back(Part{std::move(chain), peak, peak <= goal.bound});
  }
  std::ranges::stable_sort(parts, std::ranges::greater{}, &Part::peak);

  for (Part& part : parts) {
    if (part.proven || (goal.fit_within && part.peak <= *goal.fit_within) || budget.spent()) {
      continue;
    }
    ChainSearch search(part.chain, budget);
    const auto adopt = [&](const Outcome& outcome) {
      if (outcome.found && search.best_peak() < part.peak) {
        search.write_best(result.offsets);
        part.peak = search.best_peak();
      }
    };
    if (goal.fit_within) {
      const Outcome fit = search.run(*goal.fit_within, *goal.fit_within);
      adopt(fit);
      if (fit.found || !fit.exhausted) {
        continue;
      }
    }
    const Outcome lower = search.run(part.peak - 1, goal.bound);
    adopt(lower);
    part.proven = part.peak <= goal.bound || lower.exhausted;
  }

  result.peak = outside;
  for (const Part& part : parts) {
    result.peak = std::max(result.peak, part.peak);
  }
  result.optimal = result.peak <= goal.bound;
  for (const Part& part : parts) {
    result.optimal = result.optimal || (part.proven && part.peak == result.peak);
  }
  return result;
}

}  // namespace zelk_compiler::detail
