// The dynamic programme over cut points.
//
// The objective sum + (B - 1) x max does not split into per-stage parts, so
// the programme runs once per candidate slowest time T, in increasing order:
// with every stage held to at most T, the least sum over exactly k stages
// ending at each cut point is a plain recurrence. The best split under T
// costs at most minsum(T) + (B - 1) x T, and the optimum is reached at T
// equal to its own slowest stage, so the least of these over all T is the
// optimum. T is tried in increasing order and only strict improvements are
// kept, so among equal pipeline times the split found under the lowest T
// wins (an even split, where every split sums alike); once the least sum of
// all plus (B - 1) x T reaches the best found, no larger T can win. With
// one microbatch the least sum alone counts, and the lowest T that reaches
// the least sum of all is found by bisection instead; with more, bisection
// first finds the lowest T any split meets, where the scan starts.
#include "pipeline/partition.hpp"

#include <algorithm>
#include <limits>
#include <span>
#include <stdexcept>

#include "zelk_compiler/checked.hpp"

namespace zelk_compiler::detail {
namespace {

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

// The segments that fit, listed by the point they end at: (first point,
// cycles).
using Ending = std::vector<std::vector<std::pair<std::size_t, std::uint64_t>>>;

Ending fitting_segments(const SegmentTable& table) {
  Ending ending(table.points());
  for (std::size_t last = 1; last < table.points(); ++last) {
    for (std::size_t first = 0; first < last; ++first) {
      if (const auto cycles = table.at(first, last)) {
        ending[last].emplace_back(first, *cycles);
      }
    }
  }
  return ending;
}

// The least sum of exactly `stages` segments from point 0 to the end, every
// one at most `limit`; with the points of that split.
std::optional<Split> least_sum(const Ending& ending, std::size_t stages, std::uint64_t limit) {
  const std::size_t points = ending.size();
  // best[k][p]: least sum of k segments from 0 to p; from[k][p] the point
  // before p in that split.
  std::vector<std::vector<std::uint64_t>> best(stages + 1,
                                               std::vector<std::uint64_t>(points, kNone));
  std::vector<std::vector<std::size_t>> from(stages + 1, std::vector<std::size_t>(points, 0));
  std::vector<std::vector<std::uint64_t>> cost(stages + 1, std::vector<std::uint64_t>(points, 0));
  best[0][0] = 0;
  for (std::size_t k = 1; k <= stages; ++k) {
    for (std::size_t last = k; last < points; ++last) {
      for (const auto& [first, cycles] : ending[last]) {
        if (cycles > limit || best[k - 1][first] == kNone) {
          continue;
        }
        const std::uint64_t sum = saturating_add(best[k - 1][first], cycles);
        if (sum < best[k][last]) {
          best[k][last] = sum;
          from[k][last] = first;
          cost[k][last] = cycles;
        }
      }
    }
  }
  if (best[stages][points - 1] == kNone) {
    return std::nullopt;
  }
  Split split;
  split.sum = best[stages][points - 1];
  split.points.assign(stages + 1, 0);
  std::size_t point = points - 1;
  for (std::size_t k = stages; k > 0; --k) {
    split.points[k] = point;
    split.slowest = std::max(split.slowest, cost[k][point]);
    point = from[k][point];
  }
  return split;
}

}  // namespace

std::size_t SegmentTable::index(std::size_t first, std::size_t last) const {
  if (first >= last || last >= points_) {
    throw std::out_of_range("segment table: no segment between these points");
  }
  return first * points_ + last;
}

std::uint64_t pipeline_cycles(std::uint64_t sum, std::uint64_t slowest,
                              std::uint64_t microbatches) {
  if (microbatches == 0) {
    throw std::invalid_argument("pipeline_cycles: microbatches must be at least 1");
  }
  return saturating_add(sum, saturating_mul(microbatches - 1, slowest));
}

std::optional<Split> best_split(const SegmentTable& table, std::size_t stages,
                                std::uint64_t microbatches) {
  if (microbatches == 0) {
    throw std::invalid_argument("best_split: microbatches must be at least 1");
  }
  if (stages == 0 || table.points() < stages + 1) {
    return std::nullopt;
  }
  const Ending ending = fitting_segments(table);
  std::vector<std::uint64_t> limits;
  for (const auto& segments : ending) {
    for (const auto& segment : segments) {
      limits.push_back(segment.second);
    }
  }
  std::ranges::sort(limits);
  const auto [unique_end, end] = std::ranges::unique(limits);
  limits.erase(unique_end, end);

  // The least sum any split reaches: once a limit reaches it with (B - 1) x
  // limit included, no larger limit can do better.
  const auto unlimited = least_sum(ending, stages, kNone);
  if (!unlimited) {
    return std::nullopt;
  }
  if (microbatches == 1) {
    // The least sum alone counts, and it only falls as the limit rises: the
    // lowest limit that reaches the least sum of all, found by bisection.
    std::size_t low = 0;
    std::size_t high = limits.size() - 1;  // the largest limit reaches it
    while (low < high) {
      const std::size_t middle = low + (high - low) / 2;
      const auto split = least_sum(ending, stages, limits[middle]);
      if (split && split->sum == unlimited->sum) {
        high = middle;
      } else {
        low = middle + 1;
      }
    }
    auto split = least_sum(ending, stages, limits[low]);
    split->cycles = split->sum;
    return split;
  }
  // No split has a slowest stage below the lowest limit any split meets,
  // and feasibility only grows with the limit: bisection finds that lowest
  // limit, and the scan starts there instead of at the shortest segment.
  // Most limits are below it (every short segment's cycles), so the scan
  // then meets only the few between it and the point where (B - 1) x limit
  // alone loses to the best found.
  std::size_t low = 0;
  std::size_t high = limits.size() - 1;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (least_sum(ending, stages, limits[middle])) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  std::optional<Split> chosen;
  for (const std::uint64_t limit : std::span(limits).subspan(low)) {
    if (chosen && pipeline_cycles(unlimited->sum, limit, microbatches) >= chosen->cycles) {
      break;
    }
    auto split = least_sum(ending, stages, limit);
    if (!split) {
      continue;
    }
    split->cycles = pipeline_cycles(split->sum, split->slowest, microbatches);
    if (!chosen || split->cycles < chosen->cycles) {
      chosen = std::move(split);
    }
  }
  return chosen;
}

}  // namespace zelk_compiler::detail
