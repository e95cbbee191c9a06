// The choice of cuts on a table of segment costs, independent of graphs and
// compilation so that it can be checked on its own against an exhaustive
// search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace zelk_compiler::detail {

// The cycles of every segment between two of `points` cut points (0 is
// the start, points - 1 the end), or none for a segment that does not fit a
// chip.
class SegmentTable {
 public:
  explicit SegmentTable(std::size_t points)
      : points_(points), cycles_(points * points, std::nullopt) {}

  [[nodiscard]] std::size_t points() const { return points_; }
  // Throws std::out_of_range unless first < last < points.
  [[nodiscard]] std::optional<std::uint64_t> at(std::size_t first, std::size_t last) const {
    return cycles_.at(index(first, last));
  }
  void set(std::size_t first, std::size_t last, std::optional<std::uint64_t> cycles) {
    cycles_.at(index(first, last)) = cycles;
  }

 private:
  [[nodiscard]] std::size_t index(std::size_t first, std::size_t last) const;

  std::size_t points_;
  std::vector<std::optional<std::uint64_t>> cycles_;
};

// (sum of stage cycles) + (microbatches - 1) x slowest, saturating.
[[nodiscard]] std::uint64_t pipeline_cycles(std::uint64_t sum, std::uint64_t slowest,
                                            std::uint64_t microbatches);

struct Split {
  std::vector<std::size_t> points;  // 0, the cuts, the end
  std::uint64_t sum = 0;
  std::uint64_t slowest = 0;
  std::uint64_t cycles = 0;  // pipeline_cycles of the two
};

// The split into exactly `stages` segments that fit, with the fewest
// pipeline cycles (among equal ones, one whose slowest stage is lowest of
// those the search meets first; see partition.cpp); none when
// there is no such split (also for `stages` 0). Throws std::invalid_argument
// for `microbatches` 0.
[[nodiscard]] std::optional<Split> best_split(const SegmentTable& table, std::size_t stages,
                                              std::uint64_t microbatches);

}  // namespace zelk_compiler::detail
