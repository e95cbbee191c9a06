// The exact search's prunes, and the placements and undos they follow.
#include <algorithm>

#include "placement/chain_search.hpp"

namespace zelk_compiler::detail::search {
namespace {

// The next multiple of `alignment` (at least 1) at or above `value`,
// unchecked: place_buffers has proven that every offset the search reaches,
// aligned, fits 64 bits, and the checked form slows these loops measurably.
std::uint64_t round_up(std::uint64_t value, std::uint64_t alignment) {
  const std::uint64_t remainder = value % alignment;
  return remainder == 0 ? value : value + (alignment - remainder);
}

}  // namespace

void SearchState::reset(const RunItems& items) {
  std::ranges::fill(floor, 0);
  std::ranges::fill(remaining, 0);
  std::ranges::fill(min, 0);
  std::ranges::fill(placed, std::uint8_t{0});
  std::ranges::fill(links, 0U);
  for (const Member& item : items) {
    for (std::uint32_t s = item.first; s < item.last; ++s) {
      remaining[s] += item.size;
      if (s + 1 < item.last) {
        ++links[s];
      }
    }
  }
  placements.clear();
  trail.clear();
}

void SearchState::undo_to(std::size_t count, const RunItems& items) {
  while (placements.size() > count) {
    const Placed undone = placements.back();
    placements.pop_back();
    const Member& b = items[undone.item];
    placed[undone.item] = 0;
    for (std::uint32_t s = b.first; s < b.last; ++s) {
      remaining[s] += b.size;
      if (s + 1 < b.last) {
        ++links[s];
      }
    }
    while (trail.size() > undone.trail_mark) {
      const Change& change = trail.back();
      (change.floor ? floor : min)[change.index] = change.old;
      trail.pop_back();
    }
  }
}

bool ChainSearch::find_earliest(std::size_t begin, std::size_t end, std::uint32_t last,
                                std::uint64_t last_offset) {
  for (std::size_t k = begin; k < end; ++k) {
    const std::uint32_t i = pool_[k];
    const Member& item = items_[i];
    std::uint64_t earliest = state_.min[i];
    if (!in_order(i, last, last_offset)) {
      const std::uint64_t support = smallest_meeting(i);
      if (support == kUnbounded) {
        ++heat_[item.member];
        return false;
      }
      earliest = round_up(last_offset + support, item.alignment);
    }
    if (earliest > limit_ || limit_ - earliest < item.size) {
      ++heat_[item.member];
      return false;
    }
    scratch_.earliest[i] = earliest;
  }
  return true;
}

std::uint64_t ChainSearch::smallest_meeting(std::uint32_t i) const {
  std::uint64_t smallest = kUnbounded;
  for (std::uint32_t s = items_[i].first; s < items_[i].last; ++s) {
    for (const std::uint32_t u : items_.by_size[s]) {
      if (items_[u].size >= smallest) {
        break;
      }
      if (u != i && state_.placed[u] == 0) {
        smallest = items_[u].size;
        break;
      }
    }
  }
  return smallest;
}

std::size_t ChainSearch::starters_at_level(Span span, std::uint64_t level, std::uint64_t smallest,
                                           std::uint32_t last, std::uint64_t last_offset) {
  std::size_t fewest = 0;
  for (std::uint32_t s = span.first; s < span.last; ++s) {
    if (state_.remaining[s] == 0 || limit_ - state_.remaining[s] < level ||
        limit_ - state_.remaining[s] - level >= smallest) {
      continue;
    }
    const std::uint64_t highest_start = limit_ - state_.remaining[s];
    scratch_.starters.clear();
    bool in_turn = true;
    for (const std::uint32_t u : items_.covering[s]) {
      if (state_.placed[u] == 0 && scratch_.earliest[u] <= highest_start) {
        in_turn = in_turn && in_order(u, last, last_offset);
        if (items_.twin[u] == kNone || state_.placed[items_.twin[u]] != 0) {
          scratch_.starters.push_back(u);
        }
      }
    }
    const bool wanted = scratch_.starters.size() == 1 || focus_;
    if (in_turn && wanted && !scratch_.starters.empty() &&
        (fewest == 0 || scratch_.starters.size() < fewest)) {
      fewest = scratch_.starters.size();
      scratch_.fewest_starters = scratch_.starters;
      if (fewest == 1) {
        break;
      }
    }
  }
  return fewest;
}

bool ChainSearch::overflows(Span span, std::uint64_t level) {
  for (std::uint32_t s = span.first; s < span.last; ++s) {
    if (state_.remaining[s] == 0) {
      continue;
    }
    if (state_.remaining[s] > limit_ ||
        std::max(state_.floor[s], level) > limit_ - state_.remaining[s]) {
      blame(s);
      return true;
    }
    const std::uint64_t highest_start = limit_ - state_.remaining[s];
    const auto starts_low = [&](std::uint32_t u) {
      return state_.placed[u] == 0 && scratch_.earliest[u] <= highest_start;
    };
    if (std::ranges::none_of(items_.covering[s], starts_low)) {
      blame(s);
      return true;
    }
  }
  return false;
}

void ChainSearch::blame(std::uint32_t s) {
  for (const std::uint32_t u : items_.covering[s]) {
    if (state_.placed[u] == 0) {
      ++heat_[items_[u].member];
    }
  }
}

bool ChainSearch::place(std::uint32_t item, std::uint64_t offset, std::size_t begin,
                        std::size_t end) {
  const Member& b = items_[item];
  const std::uint64_t top = offset + b.size;
  state_.placed_at[item] = state_.placements.size();
  state_.placements.push_back(SearchState::Placed{item, state_.trail.size()});
  state_.placed[item] = 1;
  state_.offset[item] = offset;
  bool within = top <= limit_;
  for (std::uint32_t s = b.first; s < b.last; ++s) {
    state_.trail.push_back(SearchState::Change{.floor = true, .index = s, .old = state_.floor[s]});
    state_.floor[s] = top;
    state_.remaining[s] -= b.size;
    if (s + 1 < b.last) {
      --state_.links[s];
    }
    if (within && state_.remaining[s] != 0 && top + state_.remaining[s] > limit_) {
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
    if (state_.placed[u] != 0 || other.last <= b.first || b.last <= other.first) {
      continue;
    }
    const std::uint64_t raised = round_up(top, other.alignment);
    if (raised > state_.min[u]) {
      state_.trail.push_back(SearchState::Change{.floor = false, .index = u, .old = state_.min[u]});
      state_.min[u] = raised;
      if (raised + other.size > limit_) {
        ++heat_[other.member];
        ++heat_[b.member];
        return false;
      }
    }
  }
  return true;
}

}  // namespace zelk_compiler::detail::search
