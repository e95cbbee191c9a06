// The exact search's tree walk: a group's root, its bands, the branching on
// the next placement and the split into independent parts.
#include "placement/chain_search.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

namespace zelk_compiler::detail::search {

ChainSearch::ChainSearch(const Chain& chain, const RunOrder& order, Budget& budget,
                         FailedGroups& failed, std::span<std::uint64_t> heat)
    : budget_(budget),
      failed_(failed),
      heat_(heat),
      focus_(order.focus),
      items_(chain, order),
      state_(items_.size(), chain.sections) {
  scratch_.earliest.resize(items_.size());
  scratch_.reach.resize(chain.sections);
  scratch_.part_of.resize(chain.sections);
}

Verdict ChainSearch::decide(std::uint64_t limit, std::uint64_t allowance) {
  limit_ = limit;
  allowance_ = allowance;
  state_.reset(items_);
  pool_.resize(items_.size());
  std::iota(pool_.begin(), pool_.end(), std::uint32_t{0});
  return solve_group(0, pool_.size(),
                     Span{.first = 0, .last = static_cast<std::uint32_t>(state_.floor.size())});
}

void ChainSearch::write_placement(std::span<std::uint64_t> offsets) const {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    offsets[items_[i].buffer] = state_.offset[i];
  }
}

Verdict ChainSearch::solve_group(std::size_t from, std::size_t to, Span span) {
  std::vector<std::uint64_t> key;
  key.reserve(to - from + (span.last - span.first) + 1);
  for (std::size_t i = from; i < to; ++i) {
    key.push_back(items_[pool_[i]].buffer);
  }
  std::sort(key.begin(), key.end());
  key.push_back(~std::uint64_t{0});
  key.insert(key.end(), state_.floor.begin() + span.first, state_.floor.begin() + span.last);
  if (failed_.contains(key, limit_)) {
    return Verdict::None;
  }
  Verdict verdict = Verdict::None;
  if (place_bands(from, to, span)) {
    span.placed_before = state_.placements.size();
    verdict = branch(from, to, span, kNone, 0);
  }
  if (verdict == Verdict::None) {
    failed_.add(std::move(key), limit_);
  }
  return verdict;
}

bool ChainSearch::place_bands(std::size_t from, std::size_t to, Span span) {
  const std::uint64_t floor = state_.floor[span.first];
  if (std::any_of(state_.floor.begin() + span.first, state_.floor.begin() + span.last,
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

Verdict ChainSearch::branch(std::size_t from, std::size_t to, Span span, std::uint32_t last,
                            std::uint64_t last_offset) {
  const PoolMark mark(pool_);
  const std::size_t begin = pool_.size();
  for (std::size_t i = from; i < to; ++i) {
    if (state_.placed[pool_[i]] == 0) {
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
    lowest_end = std::min(lowest_end, scratch_.earliest[i] + items_[i].size);
    level = std::min(level, scratch_.earliest[i]);
    smallest = std::min(smallest, items_[i].size);
  }
  if (overflows(span, level)) {
    return Verdict::None;
  }
  const bool starters = starters_at_level(span, level, smallest, last, last_offset) > 0;
  const std::size_t first_candidate = pool_.size();
  if (starters) {
    pool_.insert(pool_.end(), scratch_.fewest_starters.begin(), scratch_.fewest_starters.end());
  } else {
    for (std::size_t k = begin; k < end; ++k) {
      const std::uint32_t i = pool_[k];
      if (state_.min[i] < lowest_end && in_order(i, last, last_offset) &&
          (items_.twin[i] == kNone || state_.placed[items_.twin[i]] != 0)) {
        pool_.push_back(i);
      }
    }
    std::sort(pool_.begin() + static_cast<std::ptrdiff_t>(first_candidate), pool_.end(),
              [this](std::uint32_t a, std::uint32_t b) {
                return state_.min[a] != state_.min[b] ? state_.min[a] < state_.min[b] : a < b;
              });
  }

  for (std::size_t k = first_candidate; k < pool_.size(); ++k) {
    if (allowance_ == 0 || !budget_.take()) {
      return Verdict::OutOfSteps;
    }
    const std::uint32_t item = pool_[k];
    const std::uint64_t offset = state_.min[item];
    const std::size_t placed_before = state_.placements.size();
    if (!on_later_alike(item, offset, span) && place(item, offset, begin, end)) {
      const Verdict below = starters ? branch(begin, end, span, last, last_offset)
                                     : branch(begin, end, span, item, offset);
      if (below != Verdict::None) {
        return below;
      }
    }
    state_.undo_to(placed_before, items_);
    if (allowance_ > 0) {
      --allowance_;
    }
  }
  return Verdict::None;
}

bool ChainSearch::on_later_alike(std::uint32_t item, std::uint64_t offset, Span span) const {
  return std::ranges::any_of(items_.later_alike[item], [&](std::uint32_t v) {
    return state_.placed[v] != 0 && state_.placed_at[v] >= span.placed_before &&
           state_.offset[v] + items_[v].size == offset;
  });
}

bool ChainSearch::unlinks(const Member& b) const {
  for (std::uint32_t s = b.first; s + 1 < b.last; ++s) {
    if (state_.links[s] == 0) {
      return true;
    }
  }
  return false;
}

std::optional<Verdict> ChainSearch::solve_parts(std::size_t begin, std::size_t end, Span span) {
  for (std::uint32_t s = span.first; s < span.last; ++s) {
    scratch_.reach[s] = 0;
  }
  for (std::size_t k = begin; k < end; ++k) {
    const Member& item = items_[pool_[k]];
    scratch_.reach[item.first] = std::max(scratch_.reach[item.first], item.last);
  }
  // Sections where items start, swept in time order: a new part begins
  // where no earlier item reaches.
  std::uint32_t parts = 0;
  std::uint32_t extent = 0;
  for (std::uint32_t s = span.first; s < span.last; ++s) {
    if (scratch_.reach[s] == 0) {
      continue;
    }
    if (s >= extent) {
      ++parts;
    }
    extent = std::max(extent, scratch_.reach[s]);
    scratch_.part_of[s] = parts - 1;
  }
  if (parts < 2) {
    return std::nullopt;
  }
  // Each item's part, read before any part is solved: solving one splits
  // it in turn, and that reuses scratch_.part_of.
  std::vector<std::uint32_t> part_of_item(end - begin);
  std::vector<std::size_t> sizes(parts, 0);
  for (std::size_t k = begin; k < end; ++k) {
    part_of_item[k - begin] = scratch_.part_of[items_[pool_[k]].first];
    ++sizes[part_of_item[k - begin]];
  }
  std::vector<std::uint32_t> order(parts);
  std::iota(order.begin(), order.end(), std::uint32_t{0});
  std::ranges::sort(order, {}, [&sizes](std::uint32_t p) { return std::pair{sizes[p], p}; });

  const std::size_t placed_before = state_.placements.size();
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
      state_.undo_to(placed_before, items_);
      return verdict;
    }
  }
  return Verdict::Found;
}

}  // namespace zelk_compiler::detail::search
