// The compiler at the edges of its ranges: 64-bit element and byte counts,
// 32-bit per-tile shares and addresses, the largest and smallest targets and
// windows, and a long graph.
#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "support/random_graphs.hpp"
#include "support/schedule_checker.hpp"
#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

Graph single(std::vector<std::uint64_t> shape) {
  Graph graph;
  graph.mark_output(graph.input("x", std::move(shape)));
  return graph;
}

CompilerOptions whole_address_space(std::uint16_t tiles) {
  return CompilerOptions{.tile_count = tiles, .data_base = 0, .data_limit = 0xFFFFFFFFU};
}

TEST(Extremes, ElementAndByteCountsAround2To64) {
  // Element count just below and just above 2^64.
  EXPECT_EQ(single({kMax64}).tensors[0].elements(), kMax64);
  EXPECT_THROW(
      (void)single({std::uint64_t{1} << 32U, std::uint64_t{1} << 32U}).tensors[0].elements(),
      std::overflow_error);
  // Byte size just below 2^64 (2^62 - 1 elements) passes validation; one
  // more element does not, nor does any count whose bytes overflow.
  EXPECT_TRUE(single({(std::uint64_t{1} << 62U) - 1}).validate().has_value());
  EXPECT_EQ(single({std::uint64_t{1} << 62U}).validate().error(),
            CompileError::graph("invalid tensor x"));
  EXPECT_EQ(single({kMax64}).validate().error(), CompileError::graph("invalid tensor x"));
  EXPECT_EQ(compile(single({kMax64, 2}), CompilerOptions{}).error(),
            CompileError::graph("invalid tensor x"));
  // The largest valid tensor compiles to a clear memory error, even spread
  // over every tile of the largest target.
  EXPECT_EQ(compile(single({(std::uint64_t{1} << 62U) - 1}), whole_address_space(65535)).error(),
            CompileError::memory("tile 0 exceeds data limit allocating x"));
}

TEST(Extremes, PerTileSharesAround2To32) {
  // 2^32 - 16 bytes on one tile fill the whole 32-bit address space but one
  // aligned unit.
  const auto below = compile(single({(std::uint64_t{1} << 30U) - 4}), whole_address_space(1));
  ASSERT_TRUE(below.has_value()) << below.error();
  EXPECT_EQ(below->allocations.front().size, 0xFFFFFFF0U);
  EXPECT_EQ(below->peak_sram.at(0), 0xFFFFFFF0U);
  // 2^32 - 4 bytes: the share fits 32 bits, its aligned size does not.
  EXPECT_EQ(compile(single({(std::uint64_t{1} << 30U) - 1}), whole_address_space(1)).error(),
            CompileError::memory("address overflow"));
  // Exactly 2^32 bytes: never narrowed to 0.
  EXPECT_EQ(compile(single({std::uint64_t{1} << 30U}), whole_address_space(1)).error(),
            CompileError::memory("tile 0 exceeds data limit allocating x"));
  // The same bytes over two tiles are 2^31 each and fit.
  const auto split = compile(single({std::uint64_t{1} << 30U}), whole_address_space(2));
  ASSERT_TRUE(split.has_value());
  EXPECT_EQ(split->allocations.size(), 2U);
  EXPECT_EQ(split->allocations[1].size, 0x80000000U);
}

TEST(Extremes, LargestTargetAndTopOfTheAddressSpace) {
  // 64 MiB spans all 65,535 tiles: 1,025 bytes each, 1,040 once aligned.
  Graph graph;
  const TensorId x = graph.input("x", {1U << 24U});
  graph.mark_output(*graph.gelu("y", x));
  const CompilerOptions options{
      .tile_count = 65535, .data_base = 0xFFFFF000U, .data_limit = 0xFFFFFFFFU};
  const auto schedule = compile(graph, options);
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  EXPECT_EQ(schedule->allocations.size(), 2 * 65535U);
  EXPECT_EQ(schedule->peak_sram.size(), 65535U);
  EXPECT_EQ(schedule->peak_sram.rbegin()->first, 65534);
  EXPECT_EQ(schedule->peak_sram.at(0), 2 * 1040U);
  EXPECT_TRUE(test_support::check_schedule(graph, options, *schedule).empty());
  // y is live with x, so it goes above it: past 2^32 with a window at the
  // very top, past the limit with one a little lower.
  EXPECT_EQ(compile(graph,
                    CompilerOptions{
                        .tile_count = 65535, .data_base = 0xFFFFF800U, .data_limit = 0xFFFFFFFFU})
                .error(),
            CompileError::memory("address overflow"));
  EXPECT_EQ(compile(graph,
                    CompilerOptions{
                        .tile_count = 65535, .data_base = 0xFFFF0000U, .data_limit = 0xFFFF0800U})
                .error(),
            CompileError::memory("tile 0 exceeds data limit allocating y"));
}

TEST(Extremes, WindowOfOneByte) {
  const CompilerOptions tiny{.tile_count = 1, .data_base = 100, .data_limit = 101};
  ASSERT_TRUE(tiny.valid());
  EXPECT_EQ(compile(single({1}), tiny).error(),
            CompileError::memory("tile 0 exceeds data limit allocating x"));
  const CompilerOptions top{.tile_count = 1, .data_base = 0xFFFFFFFEU, .data_limit = 0xFFFFFFFFU};
  EXPECT_EQ(compile(single({1}), top).error(), CompileError::memory("address overflow"));
}

TEST(Extremes, TenThousandOperations) {
  Graph graph;
  TensorId x = graph.input("x", {4, 64});
  for (std::uint64_t i = 0; i < 10000; ++i) {
    x = *graph.gelu(test_support::numbered("g", i), x);
  }
  graph.mark_output(x);
  const CompilerOptions options{.tile_count = 1};
  const auto schedule = compile(graph, options);
  ASSERT_TRUE(schedule.has_value());
  EXPECT_EQ(schedule->phases.size(), 10000U);
  EXPECT_EQ(schedule->allocations.size(), 10001U);
  // Each result only overlaps its input: the chain ping-pongs between two
  // buffers.
  EXPECT_EQ(schedule->peak_sram.at(0), 2048U);
  EXPECT_TRUE(test_support::check_schedule(graph, options, *schedule).empty());
}

}  // namespace
}  // namespace zelk_compiler
