// Exact placement search: depth-first branch and bound over canonical
// placements, splitting into independent groups as it goes.
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
// branch fails without a search. Searches restart after growing allowances
// of failed placements (the Luby sequence) and take turns among a few
// priority orders, each perturbed by a seeded factor after the first runs:
// a poor early choice costs at most one allowance, and the remembered
// failures carry over. Every other run after the first few orders by heat
// instead, as conflict-driven solvers do: each prune heats the unplaced
// buffers live in the section that overflowed (or the buffer that could not
// end within the limit), so the buffers that keep running out of room go
// lower next time. The seeds depend only on the run number and heat only on
// the search, so a step budget gives the same result everywhere.
//
// The limit is the capacity when looking for a fit, or one less than the
// best peak found when lowering it. A node costs O(n) in its group's
// buffers and sections; the step budget counts placements tried, and the
// deadline is read every few hundred of them.
#include "placement/search.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <numeric>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "zelk_compiler/checked.hpp"

namespace zelk_compiler::detail {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kNone = ~std::uint32_t{0};
constexpr std::uint64_t kUnbounded = ~std::uint64_t{0};

// Placements the search may still try, and the wall-clock deadline, shared by
// every run on every chain.
class Budget {
 public:
  // A deadline already passed leaves no steps.
  Budget(std::uint64_t steps, std::optional<Clock::time_point> deadline)
      : steps_(deadline && Clock::now() >= *deadline ? 0 : steps),
        granted_(steps_),
        deadline_(deadline) {}

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

  // Nine tenths of what is left, steps and time, for a first phase; the
  // rest stays for what follows once charge() has taken what it used.
  [[nodiscard]] Budget most() const {
    std::optional<Clock::time_point> deadline = deadline_;
    if (deadline_) {
      const Clock::time_point now = Clock::now();
      if (*deadline_ > now) {
        deadline = now + (*deadline_ - now - (*deadline_ - now) / 10);
      }
    }
    return Budget(steps_ - steps_ / 10, deadline);
  }

  void charge(const Budget& part) { steps_ -= std::min(steps_, part.granted_ - part.steps_); }

 private:
  static constexpr std::uint32_t kClockEvery = 256;
  std::uint64_t steps_;
  std::uint64_t granted_;
  std::optional<Clock::time_point> deadline_;
  std::uint32_t since_clock_ = 0;
};

bool occupies(const Buffer& b) { return b.size > 0 && b.lower < b.upper; }

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

Chain make_chain(std::span<const Buffer> buffers, std::span<const std::size_t> indices) {
  std::vector<std::uint64_t> times;
  for (const std::size_t i : indices) {
    times.push_back(buffers[i].lower);
    times.push_back(buffers[i].upper);
  }
  std::ranges::sort(times);
  times.erase(std::unique(times.begin(), times.end()), times.end());
  const auto section = [&times](std::uint64_t time) {
    return static_cast<std::uint32_t>(std::ranges::lower_bound(times, time) - times.begin());
  };
  Chain chain;
  chain.sections = static_cast<std::uint32_t>(times.size() - 1);
  for (const std::size_t i : indices) {
    const Buffer& b = buffers[i];
    chain.members.push_back(Member{.buffer = i,
                                   .size = b.size,
                                   .alignment = b.alignment,
                                   .lower = b.lower,
                                   .upper = b.upper,
                                   .first = section(b.lower),
                                   .last = section(b.upper)});
  }
  std::ranges::sort(chain.members, {}, &Member::buffer);
  for (std::uint32_t k = 0; k < chain.members.size(); ++k) {
    chain.members[k].member = k;
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
  std::ranges::sort(order, {}, [&](std::size_t i) { return std::pair{buffers[i].lower, i}; });
  std::vector<Chain> chains;
  std::size_t start = 0;
  std::uint64_t reach = 0;  // the latest end in the current chain
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k > start && buffers[order[k]].lower >= reach) {
      chains.push_back(make_chain(buffers, std::span(order).subspan(start, k - start)));
      start = k;
    }
    reach = std::max(reach, buffers[order[k]].upper);
  }
  if (start < order.size()) {
    chains.push_back(make_chain(buffers, std::span(order).subspan(start)));
  }
  return chains;
}

// The priority orders the restarts take turns with; list order breaks ties.
std::uint64_t duration(const Member& m) { return m.upper - m.lower; }
std::uint64_t area(const Member& m) { return saturating_mul(m.size, duration(m)); }
using Priority = std::tuple<std::uint64_t, std::uint64_t>;
constexpr Priority (*kPriorities[])(const Member&) = {
    [](const Member& m) {
      return Priority{m.size, duration(m)};
    },
    [](const Member& m) {
      return Priority{duration(m), m.size};
    },
    [](const Member& m) {
      return Priority{area(m), m.size};
    },
};

// How one run orders the items: by one of the priority keys, its first part
// scaled by a pseudo-random factor within `spread` / 1024 of 1 (splitmix64,
// so the same everywhere), so that restarts try orders near the keys.
struct RunOrder {
  std::size_t priority = 0;
  std::span<const std::uint64_t> heat;  // when set, the key is (heat, size) instead
  std::uint64_t seed = 0;
  std::uint64_t spread = 0;
  bool focus = false;  // see starters_at_level
};

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31U);
}

std::vector<Member> ordered(std::span<const Member> members, const RunOrder& order) {
  struct Keyed {
    Priority key;
    std::size_t index;
  };
  std::vector<Keyed> keyed;
  std::uint64_t state = order.seed;
  for (std::size_t i = 0; i < members.size(); ++i) {
    auto [first, second] = order.heat.empty()
                               ? kPriorities[order.priority](members[i])
                               : Priority{order.heat[members[i].member], members[i].size};
    if (order.spread > 0) {
      const std::uint64_t factor = 1024 - order.spread / 2 + splitmix(state) % (order.spread + 1);
      first = first <= std::numeric_limits<std::uint64_t>::max() / 2048 ? first * factor / 1024
                                                                        : first / 1024 * factor;
    }
    keyed.push_back(Keyed{Priority{first, second}, i});
  }
  std::ranges::sort(keyed, [](const Keyed& a, const Keyed& b) {
    return b.key < a.key || (!(a.key < b.key) && a.index < b.index);
  });
  std::vector<Member> result;
  result.reserve(members.size());
  for (const Keyed& k : keyed) {
    result.push_back(members[k.index]);
  }
  return result;
}

// Sub-problems proven to have no placement under a limit: a group of
// buffers above given floors. The key lists the group's buffers and the
// floors across its sections; the value is the highest limit it failed
// under, since a lower limit fails too. Bounded, so that a long search
// cannot exhaust memory; once full it only answers.
class FailedGroups {
 public:
  [[nodiscard]] bool contains(const std::vector<std::uint64_t>& key, std::uint64_t limit) const {
    const auto found = failed_.find(key);
    return found != failed_.end() && limit <= found->second;
  }

  void add(std::vector<std::uint64_t> key, std::uint64_t limit) {
    if (const auto found = failed_.find(key); found != failed_.end()) {
      found->second = std::max(found->second, limit);
      return;
    }
    if (words_ + key.size() > kMaxWords) {
      return;
    }
    words_ += key.size();
    failed_.emplace(std::move(key), limit);
  }

 private:
  struct Hash {
    std::size_t operator()(const std::vector<std::uint64_t>& key) const {
      std::uint64_t hash = 0xCBF29CE484222325ULL;
      for (const std::uint64_t word : key) {
        hash = (hash ^ word) * 0x100000001B3ULL;
        hash ^= hash >> 29U;
      }
      return hash;
    }
  };
  static constexpr std::size_t kMaxWords = std::size_t{1} << 22U;
  std::unordered_map<std::vector<std::uint64_t>, std::uint64_t, Hash> failed_;
  std::size_t words_ = 0;
};

enum class Verdict { Found, None, OutOfSteps };

// One run of the depth-first search on one chain, in one priority order.
class ChainSearch {
 public:
  ChainSearch(const Chain& chain, const RunOrder& order, Budget& budget, FailedGroups& failed,
              std::span<std::uint64_t> heat)
      : budget_(budget),
        failed_(failed),
        heat_(heat),
        focus_(order.focus),
        items_(ordered(chain.members, order)),
        twin_(items_.size(), kNone),
        later_alike_(items_.size()),
        min_(items_.size()),
        earliest_(items_.size()),
        offset_(items_.size()),
        placed_(items_.size()),
        placed_at_(items_.size()),
        floor_(chain.sections),
        remaining_(chain.sections),
        links_(chain.sections),
        reach_(chain.sections),
        part_of_(chain.sections),
        covering_(chain.sections),
        by_size_(chain.sections) {
    // Identical items (twin_) and items alike but for their size
    // (later_alike_), each in priority order.
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>, std::uint32_t>
        last_twin;
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>, std::vector<std::uint32_t>>
        alike;
    for (std::uint32_t i = 0; i < items_.size(); ++i) {
      const Member& m = items_[i];
      const auto [twin, fresh] =
          last_twin.try_emplace(std::tuple(m.lower, m.upper, m.size, m.alignment), i);
      if (!fresh) {
        twin_[i] = std::exchange(twin->second, i);
      }
      if (m.size % m.alignment == 0) {
        alike[std::tuple(m.lower, m.upper, m.alignment)].push_back(i);
      }
    }
    for (const auto& [lifetime, members] : alike) {
      for (std::size_t k = 0; k < members.size(); ++k) {
        later_alike_[members[k]].assign(members.begin() + static_cast<std::ptrdiff_t>(k) + 1,
                                        members.end());
      }
    }
    for (std::uint32_t i = 0; i < items_.size(); ++i) {
      for (std::uint32_t s = items_[i].first; s < items_[i].last; ++s) {
        covering_[s].push_back(i);
      }
    }
    for (std::size_t s = 0; s < covering_.size(); ++s) {
      by_size_[s] = covering_[s];
      std::ranges::sort(by_size_[s], {}, [this](std::uint32_t i) {
        return std::pair{items_[i].size, i};
      });
    }
  }

  // Looks for a placement of the whole chain that peaks at or below
  // `limit`, giving up after `allowance` failed placements.
  Verdict decide(std::uint64_t limit, std::uint64_t allowance) {
    limit_ = limit;
    allowance_ = allowance;
    std::ranges::fill(floor_, 0);
    std::ranges::fill(remaining_, 0);
    std::ranges::fill(min_, 0);
    std::ranges::fill(placed_, std::uint8_t{0});
    std::ranges::fill(links_, 0U);
    for (const Member& item : items_) {
      for (std::uint32_t s = item.first; s < item.last; ++s) {
        remaining_[s] += item.size;
        if (s + 1 < item.last) {
          ++links_[s];
        }
      }
    }
    pool_.resize(items_.size());
    std::iota(pool_.begin(), pool_.end(), std::uint32_t{0});
    placements_.clear();
    trail_.clear();
    return solve_group(0, pool_.size(),
                       Span{.first = 0, .last = static_cast<std::uint32_t>(floor_.size())});
  }

  // Writes the placement found by the last successful decide into
  // `offsets`, indexed like the caller's list.
  void write_placement(std::span<std::uint64_t> offsets) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
      offsets[items_[i].buffer] = offset_[i];
    }
  }

 private:
  // A group's sections [first, last), and how many placements came before
  // its search (its bands among them).
  struct Span {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::size_t placed_before = 0;
  };
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

  // Places the group pool_[from, to), all unplaced, above the current
  // floors, unless the same group above the same floors failed before.
  Verdict solve_group(std::size_t from, std::size_t to, Span span) {
    std::vector<std::uint64_t> key;
    key.reserve(to - from + (span.last - span.first) + 1);
    for (std::size_t i = from; i < to; ++i) {
      key.push_back(items_[pool_[i]].buffer);
    }
    std::sort(key.begin(), key.end());
    key.push_back(~std::uint64_t{0});
    key.insert(key.end(), floor_.begin() + span.first, floor_.begin() + span.last);
    if (failed_.contains(key, limit_)) {
      return Verdict::None;
    }
    Verdict verdict = Verdict::None;
    if (place_bands(from, to, span)) {
      span.placed_before = placements_.size();
      verdict = branch(from, to, span, kNone, 0);
    }
    if (verdict == Verdict::None) {
      failed_.add(std::move(key), limit_);
    }
    return verdict;
  }

  // Above a flat floor a group is a problem of its own, and an item live
  // across the group's whole span meets every other: take any placement,
  // move that item down to the floor and what was below it up by its size,
  // and the peak is no higher. So such items (bands) are stacked on the
  // floor before the search begins, as long as the moves keep every item
  // aligned: each band's size a multiple of every alignment in the group,
  // and the floor one of the band's own. False when that passes the limit.
  bool place_bands(std::size_t from, std::size_t to, Span span) {
    const std::uint64_t floor = floor_[span.first];
    if (std::any_of(floor_.begin() + span.first, floor_.begin() + span.last,
                    [floor](std::uint64_t f) { return f != floor; })) {
      return true;
    }
    const auto aligns_every_item = [&](std::uint64_t size) {
      for (std::size_t k = from; k < to; ++k) {
        if (size % items_[pool_[k]].alignment != 0) {
          return false;
        }
      }
      return true;
    };
    std::uint64_t bottom = floor;
    for (std::size_t k = from; k < to; ++k) {
      const std::uint32_t i = pool_[k];
      const Member& item = items_[i];
      if (item.first != span.first || item.last != span.last || bottom % item.alignment != 0 ||
          !aligns_every_item(item.size)) {
        continue;
      }
      if (item.size > limit_ - bottom || !place(i, bottom, from, to)) {
        return false;
      }
      bottom += item.size;
    }
    return true;
  }

  // The node below the placement of `last` at `last_offset` (kNone for a
  // group's root), for the unplaced items of pool_[from, to).
  Verdict branch(std::size_t from, std::size_t to, Span span, std::uint32_t last,
                 std::uint64_t last_offset) {
    const PoolMark mark(pool_);
    const std::size_t begin = pool_.size();
    for (std::size_t i = from; i < to; ++i) {
      if (placed_[pool_[i]] == 0) {
        pool_.push_back(pool_[i]);
      }
    }
    const std::size_t end = pool_.size();
    if (begin == end) {
      return Verdict::Found;
    }
    if (last != kNone && unlinks(items_[last])) {
      if (const auto split = solve_parts(begin, end, span)) {
        return *split;
      }
    }

    if (!find_earliest(begin, end, last, last_offset)) {
      return Verdict::None;
    }
    // The next placement starts below the lowest end any item can reach.
    std::uint64_t lowest_end = kUnbounded;
    std::uint64_t level = kUnbounded;
    std::uint64_t smallest = kUnbounded;
    for (std::size_t k = begin; k < end; ++k) {
      const std::uint32_t i = pool_[k];
      lowest_end = std::min(lowest_end, earliest_[i] + items_[i].size);
      level = std::min(level, earliest_[i]);
      smallest = std::min(smallest, items_[i].size);
    }
    if (overflows(span, level)) {
      return Verdict::None;
    }
    const bool starters = starters_at_level(span, level, smallest, last, last_offset) > 0;
    const std::size_t first_candidate = pool_.size();
    if (starters) {
      pool_.insert(pool_.end(), fewest_starters_.begin(), fewest_starters_.end());
    } else {
      for (std::size_t k = begin; k < end; ++k) {
        const std::uint32_t i = pool_[k];
        if (min_[i] < lowest_end && in_order(i, last, last_offset) &&
            (twin_[i] == kNone || placed_[twin_[i]] != 0)) {
          pool_.push_back(i);
        }
      }
      std::sort(pool_.begin() + static_cast<std::ptrdiff_t>(first_candidate), pool_.end(),
                [this](std::uint32_t a, std::uint32_t b) {
                  return min_[a] != min_[b] ? min_[a] < min_[b] : a < b;
                });
    }

    for (std::size_t k = first_candidate; k < pool_.size(); ++k) {
      if (allowance_ == 0 || !budget_.take()) {
        return Verdict::OutOfSteps;
      }
      const std::uint32_t item = pool_[k];
      const std::uint64_t offset = min_[item];
      const std::size_t placed_before = placements_.size();
      if (!on_later_alike(item, offset, span) && place(item, offset, begin, end)) {
        const Verdict below = starters ? branch(begin, end, span, last, last_offset)
                                       : branch(begin, end, span, item, offset);
        if (below != Verdict::None) {
          return below;
        }
      }
      undo_to(placed_before);
      if (allowance_ > 0) {
        --allowance_;
      }
    }
    return Verdict::None;
  }

  // Buffers with the same lifetime and alignment (sizes multiples of it)
  // that sit one directly on the other can trade places: the pair covers the
  // same bytes either way. So of such a pair, placed by one group's search
  // (not stacked as a band), only the one earlier in priority order may be
  // the lower: whether `item` at `offset` would sit directly on a later one.
  [[nodiscard]] bool on_later_alike(std::uint32_t item, std::uint64_t offset, Span span) const {
    return std::ranges::any_of(later_alike_[item], [&](std::uint32_t v) {
      return placed_[v] != 0 && placed_at_[v] >= span.placed_before &&
             offset_[v] + items_[v].size == offset;
    });
  }

  // Whether placing `b` left some pair of neighbouring sections in its
  // lifetime without an unplaced item across both: only then can the
  // unplaced items have fallen apart.
  [[nodiscard]] bool unlinks(const Member& b) const {
    for (std::uint32_t s = b.first; s + 1 < b.last; ++s) {
      if (links_[s] == 0) {
        return true;
      }
    }
    return false;
  }

  // When the unplaced items pool_[begin, end) fall into several chains,
  // solves each on its own, the smallest first, and keeps them all placed
  // or none; nothing when they form one chain.
  std::optional<Verdict> solve_parts(std::size_t begin, std::size_t end, Span span) {
    for (std::uint32_t s = span.first; s < span.last; ++s) {
      reach_[s] = 0;
    }
    for (std::size_t k = begin; k < end; ++k) {
      const Member& item = items_[pool_[k]];
      reach_[item.first] = std::max(reach_[item.first], item.last);
    }
    // Sections where items start, swept in time order: a new part begins
    // where no earlier item reaches.
    std::uint32_t parts = 0;
    std::uint32_t extent = 0;
    for (std::uint32_t s = span.first; s < span.last; ++s) {
      if (reach_[s] == 0) {
        continue;
      }
      if (s >= extent) {
        ++parts;
      }
      extent = std::max(extent, reach_[s]);
      part_of_[s] = parts - 1;
    }
    if (parts < 2) {
      return std::nullopt;
    }
    // Each item's part, read before any part is solved: solving one splits
    // it in turn, and that reuses part_of_.
    std::vector<std::uint32_t> part_of_item(end - begin);
    std::vector<std::size_t> sizes(parts, 0);
    for (std::size_t k = begin; k < end; ++k) {
      part_of_item[k - begin] = part_of_[items_[pool_[k]].first];
      ++sizes[part_of_item[k - begin]];
    }
    std::vector<std::uint32_t> order(parts);
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    std::ranges::sort(order, {}, [&sizes](std::uint32_t p) { return std::pair{sizes[p], p}; });

    const std::size_t placed_before = placements_.size();
    for (const std::uint32_t part : order) {
      const PoolMark mark(pool_);
      const std::size_t from = pool_.size();
      Span part_span{.first = span.last, .last = span.first};
      for (std::size_t k = begin; k < end; ++k) {
        const Member& item = items_[pool_[k]];
        if (part_of_item[k - begin] == part) {
          pool_.push_back(pool_[k]);
          part_span.first = std::min(part_span.first, item.first);
          part_span.last = std::max(part_span.last, item.last);
        }
      }
      const Verdict verdict = solve_group(from, pool_.size(), part_span);
      if (verdict != Verdict::Found) {
        undo_to(placed_before);
        return verdict;
      }
    }
    return Verdict::Found;
  }

  // Offsets never decrease along a branch, and items placed at the same
  // offset go in priority order: whether unplaced `i` may go at its minimum
  // offset right after `last` went to `last_offset`, as far as order goes.
  [[nodiscard]] bool in_order(std::uint32_t i, std::uint32_t last,
                              std::uint64_t last_offset) const {
    return last == kNone || min_[i] > last_offset || (min_[i] == last_offset && i > last);
  }

  // The lowest offset each unplaced item of pool_[begin, end) can still
  // take, into earliest_: its minimum offset if in order, and otherwise the
  // top of some other unplaced item it meets, placed at or above the last
  // placement, since it must first be raised. False when an item cannot
  // end within the limit, or has nothing left to raise it.
  bool find_earliest(std::size_t begin, std::size_t end, std::uint32_t last,
                     std::uint64_t last_offset) {
    for (std::size_t k = begin; k < end; ++k) {
      const std::uint32_t i = pool_[k];
      const Member& item = items_[i];
      std::uint64_t earliest = min_[i];
      if (!in_order(i, last, last_offset)) {
        const std::uint64_t support = smallest_meeting(i);
        if (support == kUnbounded) {
          ++heat_[item.member];
          return false;
        }
        earliest = saturating_align_up(last_offset + support, item.alignment);
      }
      if (earliest > limit_ || limit_ - earliest < item.size) {
        ++heat_[item.member];
        return false;
      }
      earliest_[i] = earliest;
    }
    return true;
  }

  // The size of the smallest unplaced item other than `i` that meets it.
  [[nodiscard]] std::uint64_t smallest_meeting(std::uint32_t i) const {
    std::uint64_t smallest = kUnbounded;
    for (std::uint32_t s = items_[i].first; s < items_[i].last; ++s) {
      for (const std::uint32_t u : by_size_[s]) {
        if (items_[u].size >= smallest) {
          break;
        }
        if (u != i && placed_[u] == 0) {
          smallest = items_[u].size;
          break;
        }
      }
    }
    return smallest;
  }

  // A section whose unplaced items leave less room above the level than the
  // smallest unplaced item has no room for anything below its lowest item
  // but waste: that item starts the section at its present minimum offset
  // (an item below it would start at or above the level and end within
  // that room), and nothing can go below it. Of such sections, the one with the
  // fewest items that can start it: one of them does so in every placement
  // below this node. The node may branch on those alone, each placed at once
  // without moving the order of the items at the level; with one it always
  // does, with several only in focused runs. Returns their number, listed in
  // fewest_starters_, or 0 when there is no such section (or one of its items
  // is out of order, and must wait to be raised).
  std::size_t starters_at_level(Span span, std::uint64_t level, std::uint64_t smallest,
                                std::uint32_t last, std::uint64_t last_offset) {
    std::size_t fewest = 0;
    for (std::uint32_t s = span.first; s < span.last; ++s) {
      if (remaining_[s] == 0 || limit_ - remaining_[s] < level ||
          limit_ - remaining_[s] - level >= smallest) {
        continue;
      }
      const std::uint64_t highest_start = limit_ - remaining_[s];
      starters_.clear();
      bool in_turn = true;
      for (const std::uint32_t u : covering_[s]) {
        if (placed_[u] == 0 && earliest_[u] <= highest_start) {
          in_turn = in_turn && in_order(u, last, last_offset);
          if (twin_[u] == kNone || placed_[twin_[u]] != 0) {
            starters_.push_back(u);
          }
        }
      }
      const bool wanted = starters_.size() == 1 || focus_;
      if (in_turn && wanted && !starters_.empty() && (fewest == 0 || starters_.size() < fewest)) {
        fewest = starters_.size();
        fewest_starters_ = starters_;
        if (fewest == 1) {
          break;
        }
      }
    }
    return fewest;
  }

  // Whether some section's unplaced items, stacked from the lowest offset
  // any of them can take there (and never below the level), pass the limit;
  // that section takes the blame.
  bool overflows(Span span, std::uint64_t level) {
    for (std::uint32_t s = span.first; s < span.last; ++s) {
      if (remaining_[s] == 0) {
        continue;
      }
      if (remaining_[s] > limit_ || std::max(floor_[s], level) > limit_ - remaining_[s]) {
        blame(s);
        return true;
      }
      const std::uint64_t highest_start = limit_ - remaining_[s];
      const auto starts_low = [&](std::uint32_t u) {
        return placed_[u] == 0 && earliest_[u] <= highest_start;
      };
      if (std::ranges::none_of(covering_[s], starts_low)) {
        blame(s);
        return true;
      }
    }
    return false;
  }

  // Counts a prune against the unplaced items live in section `s`.
  void blame(std::uint32_t s) {
    for (const std::uint32_t u : covering_[s]) {
      if (placed_[u] == 0) {
        ++heat_[items_[u].member];
      }
    }
  }

  // Places `item` at `offset`, raising the floors of its sections and the
  // minimum offsets of the unplaced items of pool_[begin, end) it meets.
  // False when that passes the limit; the changes stay until undone either
  // way.
  bool place(std::uint32_t item, std::uint64_t offset, std::size_t begin, std::size_t end) {
    const Member& b = items_[item];
    const std::uint64_t top = offset + b.size;
    placed_at_[item] = placements_.size();
    placements_.push_back(Placed{item, trail_.size()});
    placed_[item] = 1;
    offset_[item] = offset;
    bool within = top <= limit_;
    for (std::uint32_t s = b.first; s < b.last; ++s) {
      trail_.push_back(Change{.floor = true, .index = s, .old = floor_[s]});
      floor_[s] = top;
      remaining_[s] -= b.size;
      if (s + 1 < b.last) {
        --links_[s];
      }
      if (within && remaining_[s] != 0 && top + remaining_[s] > limit_) {
        within = false;
        blame(s);
      }
    }
    if (!within) {
      ++heat_[b.member];
      return false;
    }
    for (std::size_t k = begin; k < end; ++k) {
      const std::uint32_t u = pool_[k];
      const Member& other = items_[u];
      if (placed_[u] != 0 || other.last <= b.first || b.last <= other.first) {
        continue;
      }
      const std::uint64_t raised = saturating_align_up(top, other.alignment);
      if (raised > min_[u]) {
        trail_.push_back(Change{.floor = false, .index = u, .old = min_[u]});
        min_[u] = raised;
        if (raised + other.size > limit_) {
          ++heat_[other.member];
          ++heat_[b.member];
          return false;
        }
      }
    }
    return true;
  }

  // Takes back every placement after the first `count`.
  void undo_to(std::size_t count) {
    while (placements_.size() > count) {
      const Placed placed = placements_.back();
      placements_.pop_back();
      const Member& b = items_[placed.item];
      placed_[placed.item] = 0;
      for (std::uint32_t s = b.first; s < b.last; ++s) {
        remaining_[s] += b.size;
        if (s + 1 < b.last) {
          ++links_[s];
        }
      }
      while (trail_.size() > placed.trail_mark) {
        const Change& change = trail_.back();
        (change.floor ? floor_ : min_)[change.index] = change.old;
        trail_.pop_back();
      }
    }
  }

  Budget& budget_;
  FailedGroups& failed_;
  std::span<std::uint64_t> heat_;  // per chain member: prunes it took part in
  std::uint64_t limit_ = 0;
  std::uint64_t allowance_ = 0;  // failed placements left before this run gives up
  bool focus_ = false;
  // Per item, in priority order.
  std::vector<Member> items_;
  std::vector<std::uint32_t> twin_;                      // the identical item before it, if any
  std::vector<std::vector<std::uint32_t>> later_alike_;  // see on_later_alike
  std::vector<std::uint64_t> min_;                       // its lowest admissible offset
  std::vector<std::uint64_t> earliest_;                  // scratch for find_earliest
  std::vector<std::uint64_t> offset_;                    // while placed
  std::vector<std::uint8_t> placed_;                     // 1 while placed
  std::vector<std::size_t> placed_at_;  // while placed: its position in placements_
  // Per section.
  std::vector<std::uint64_t> floor_;
  std::vector<std::uint64_t> remaining_;  // bytes of unplaced items live there
  std::vector<std::uint32_t> links_;      // unplaced items live there and in the next section
  std::vector<std::uint32_t> reach_;      // scratch for solve_parts
  std::vector<std::uint32_t> part_of_;    // scratch for solve_parts
  std::vector<std::vector<std::uint32_t>> covering_;  // the items live there
  std::vector<std::vector<std::uint32_t>> by_size_;   // the same, smallest first
  // The search's stacks.
  std::vector<std::uint32_t> pool_;             // item lists of the open nodes
  std::vector<std::uint32_t> starters_;         // scratch for starters_at_level
  std::vector<std::uint32_t> fewest_starters_;  // the result of starters_at_level
  std::vector<Placed> placements_;
  std::vector<Change> trail_;
};

// The Luby sequence 1, 1, 2, 1, 1, 2, 4, 1, ... (for run >= 1), its terms
// capped at 2^62.
std::uint64_t luby(std::uint64_t run) {
  for (std::uint64_t k = 1; k < 63; ++k) {
    const std::uint64_t length = (std::uint64_t{1} << k) - 1;
    if (run == length) {
      return std::uint64_t{1} << (k - 1);
    }
    if (run < length) {
      return luby(run - (length >> 1U));
    }
  }
  return std::uint64_t{1} << 62U;
}

constexpr std::uint64_t kFirstAllowance = 256;
constexpr std::uint64_t kSmallSpread = 307;  // 0.3
constexpr std::uint64_t kLargeSpread = 1024;

// Runs on one chain, restarting as described at the top, until one decides.
// Failed groups and heat are remembered across runs and calls.
class ChainSolver {
 public:
  // A placement of `chain` peaking at or below `limit` (written into
  // `offsets`), none, or out of steps.
  Verdict decide(const Chain& chain, std::uint64_t limit, std::span<std::uint64_t> offsets,
                 Budget& budget) {
    heat_.resize(chain.members.size());
    std::uint64_t keyed = 0;
    std::uint64_t heated = 0;
    for (std::uint64_t run = 1; !budget.spent(); ++run) {
      // After the first few runs every other one orders by heat. The others
      // take each key plain first, then with a small or a large spread in
      // turn. Each kind counts its own turns, which set its seeds and
      // allowances.
      const bool by_heat = run > std::size(kPriorities) && run % 2 == 0;
      const std::uint64_t turn = by_heat ? ++heated : ++keyed;
      const std::uint64_t spread = turn % 2 == 1 ? kSmallSpread : kLargeSpread;
      const RunOrder order =
          by_heat ? RunOrder{.priority = 0,
                             .heat = heat_,
                             .seed = ~turn,
                             .spread = spread,
                             .focus = turn % 4 >= 2}
                  : RunOrder{.priority = (turn - 1) % std::size(kPriorities),
                             .heat = {},
                             .seed = turn,
                             .spread = turn <= std::size(kPriorities) ? std::uint64_t{0} : spread,
                             .focus = turn % 4 >= 2};
      ChainSearch search(chain, order, budget, failed_, heat_);
      const std::uint64_t allowance = saturating_mul(luby(turn), kFirstAllowance);
      const Verdict verdict = search.decide(limit, allowance);
      if (verdict == Verdict::Found) {
        search.write_placement(offsets);
      }
      if (verdict != Verdict::OutOfSteps) {
        return verdict;
      }
    }
    return Verdict::OutOfSteps;
  }

 private:
  FailedGroups failed_;
  std::vector<std::uint64_t> heat_;
};

std::uint64_t peak_of(const Chain& chain, std::span<const std::uint64_t> offsets) {
  std::uint64_t peak = 0;
  for (const Member& m : chain.members) {
    peak = std::max(peak, offsets[m.buffer] + m.size);
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
    ChainSolver solver;
    std::uint64_t peak = 0;
    bool proven = false;
    std::size_t position = 0;  // in time order
  };
  std::vector<Part> parts;
  for (Chain& chain : chains_of(buffers)) {
    const std::uint64_t peak = peak_of(chain, start);
    parts.push_back(Part{std::move(chain), ChainSolver{}, peak, peak <= goal.bound, parts.size()});
  }
  // Highest peak first; chains of equal peak keep their order in time.
  std::ranges::sort(parts, std::ranges::greater{}, [](const Part& part) {
    return std::pair{part.peak, ~part.position};
  });

  // Looking for a fit first, with most of the budget.
  if (goal.fit_within) {
    Budget first = budget.most();
    for (Part& part : parts) {
      if (part.proven || part.peak <= *goal.fit_within || first.spent()) {
        continue;
      }
      if (part.solver.decide(part.chain, *goal.fit_within, result.offsets, first) ==
          Verdict::Found) {
        part.peak = peak_of(part.chain, result.offsets);
        part.proven = part.peak <= goal.bound;
      }
    }
    budget.charge(first);
  }
  // Then lowering the peak of the others one found placement at a time; a
  // search that finds none below the best proves it.
  for (Part& part : parts) {
    if (goal.fit_within && part.peak <= *goal.fit_within) {
      continue;
    }
    while (!part.proven && !budget.spent()) {
      const Verdict lower = part.solver.decide(part.chain, part.peak - 1, result.offsets, budget);
      if (lower != Verdict::Found) {
        part.proven = lower == Verdict::None;
        break;
      }
      part.peak = peak_of(part.chain, result.offsets);
      part.proven = part.peak <= goal.bound;
    }
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
