// The choice of cuts against an exhaustive search of every split, on cost
// tables of generated layer stacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "pipeline/partition.hpp"
#include "support/random_graphs.hpp"

namespace zelk_compiler::detail {
namespace {

using test_support::Random;

// The least pipeline cycles of any split into `stages` fitting segments,
// by trying every one; segments that do not fit end a branch early, as do
// branches whose rest is longer than the stages left can hold at `most`
// points each.
void every_split(const SegmentTable& table, std::size_t stages, std::size_t most,
                 std::uint64_t microbatches, std::size_t first, std::uint64_t sum,
                 std::uint64_t slowest, std::optional<std::uint64_t>& best) {
  const std::size_t end = table.points() - 1;
  if (stages == 1) {
    if (const auto cycles = table.at(first, end)) {
      const std::uint64_t total =
          pipeline_cycles(sum + *cycles, std::max(slowest, *cycles), microbatches);
      best = best ? std::min(*best, total) : total;
    }
    return;
  }
  for (std::size_t last = first + 1; last + stages - 1 <= end; ++last) {
    if (end - last > (stages - 1) * most) {
      continue;
    }
    if (const auto cycles = table.at(first, last)) {
      every_split(table, stages - 1, most, microbatches, last, sum + *cycles,
                  std::max(slowest, *cycles), best);
    }
  }
}

// A stack of `layers` layers with random costs, where a segment fits when it
// holds at most `most` layers, and a few segments are struck out at random
// as a compile that fails would.
SegmentTable layer_stack(Random& random, std::size_t layers, std::size_t most) {
  std::vector<std::uint64_t> layer(layers);
  for (std::uint64_t& cycles : layer) {
    cycles = random.between(1, 1000);
  }
  // An embedding and a head much heavier than a layer, sometimes.
  if (random.chance(30)) {
    layer.back() *= 8;
  }
  if (random.chance(30)) {
    layer.front() *= 5;
  }
  const std::uint64_t link = random.between(0, 300);
  SegmentTable table(layers + 1);
  for (std::size_t first = 0; first < layers; ++first) {
    std::uint64_t sum = first == 0 ? 0 : link;
    for (std::size_t last = first + 1; last <= layers && last - first <= most; ++last) {
      sum += layer[last - 1];
      if (!random.chance(3)) {
        table.set(first, last, sum);
      }
    }
  }
  return table;
}

TEST(Partition, FindsTheExactOptimumOnGeneratedLayerStacks) {
  Random random(24);
  int compared = 0;
  for (int round = 0; round < 120; ++round) {
    const std::size_t layers = random.between(1, 64);
    const std::size_t stages = random.between(1, std::min<std::size_t>(8, layers));
    // Tight enough that the exhaustive search stays small: every stage
    // holds close to its share of the layers.
    const std::size_t most = (layers + stages - 1) / stages + random.between(0, 1);
    const std::uint64_t microbatches = random.chance(50) ? 1 : random.between(2, 64);
    const SegmentTable table = layer_stack(random, layers, most);
    std::optional<std::uint64_t> exhaustive;
    every_split(table, stages, most, microbatches, 0, 0, 0, exhaustive);
    const auto split = best_split(table, stages, microbatches);
    ASSERT_EQ(split.has_value(), exhaustive.has_value()) << "round " << round;
    if (!split) {
      continue;
    }
    ++compared;
    ASSERT_EQ(split->cycles, *exhaustive) << "round " << round;
    // The split is what it says: its segments fit and add up.
    ASSERT_EQ(split->points.size(), stages + 1);
    EXPECT_EQ(split->points.front(), 0U);
    EXPECT_EQ(split->points.back(), layers);
    std::uint64_t sum = 0;
    std::uint64_t slowest = 0;
    for (std::size_t k = 0; k < stages; ++k) {
      const auto cycles = table.at(split->points[k], split->points[k + 1]);
      ASSERT_TRUE(cycles.has_value());
      sum += *cycles;
      slowest = std::max(slowest, *cycles);
    }
    EXPECT_EQ(split->sum, sum);
    EXPECT_EQ(split->slowest, slowest);
    EXPECT_EQ(split->cycles, pipeline_cycles(sum, slowest, microbatches));
  }
  EXPECT_GT(compared, 80);
}

TEST(Partition, PrefersAnEvenSplitWhenEverySplitSumsAlike) {
  SegmentTable table(9);
  for (std::size_t first = 0; first < 8; ++first) {
    for (std::size_t last = first + 1; last <= 8; ++last) {
      table.set(first, last, 10 * (last - first));
    }
  }
  const auto split = best_split(table, 2, 1);
  ASSERT_TRUE(split.has_value());
  EXPECT_EQ(split->points, (std::vector<std::size_t>{0, 4, 8}));
  EXPECT_EQ(split->slowest, 40U);
}

TEST(Partition, HasNoSplitIntoMoreStagesThanSegmentsOrIntoNone) {
  SegmentTable table(3);
  table.set(0, 1, 5);
  table.set(1, 2, 5);
  table.set(0, 2, 10);
  EXPECT_FALSE(best_split(table, 3, 1).has_value());
  EXPECT_FALSE(best_split(table, 0, 1).has_value());
  EXPECT_TRUE(best_split(table, 2, 1).has_value());
  EXPECT_THROW((void)best_split(table, 2, 0), std::invalid_argument);
  EXPECT_THROW((void)table.at(1, 1), std::out_of_range);
  EXPECT_THROW((void)table.at(0, 3), std::out_of_range);
}

TEST(Partition, PipelineCyclesSaturate) {
  constexpr auto kMost = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(pipeline_cycles(10, 4, 3), 18U);
  EXPECT_EQ(pipeline_cycles(10, kMost, 3), kMost);
  EXPECT_EQ(pipeline_cycles(kMost, 1, 1), kMost);
}

}  // namespace
}  // namespace zelk_compiler::detail
