// Tile memory planning: lifetimes, first-fit placement and its errors.
#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <stdexcept>
#include <vector>

#include "compiler/test_graphs.hpp"
#include "support/random_graphs.hpp"
#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler {
namespace {

using test_support::prefix_layout;

TEST(Alignment, RoundsUpAndNeverWraps) {
  EXPECT_EQ(align_u32(0, 16), 0U);
  EXPECT_EQ(align_u32(1, 16), 16U);
  EXPECT_EQ(align_u32(16, 16), 16U);
  EXPECT_EQ(align_u32(514, 16), 528U);
  EXPECT_EQ(align_u32(7, 1), 7U);
  EXPECT_EQ(align_u32(10, 3), 12U);
  EXPECT_EQ(align_u32(0xFFFFFFF0U, 16), 0xFFFFFFF0U);
  EXPECT_EQ(align_u32(0xFFFFFFF1U, 16), std::nullopt);
  EXPECT_EQ(align_u32(0xFFFFFFFFU, 0xFFFFFFFFU), 0xFFFFFFFFU);
  EXPECT_THROW((void)align_u32(5, 0), std::invalid_argument);
}

TEST(Lifetimes, OverlapIsInclusiveAtBothEnds) {
  EXPECT_TRUE(lifetimes_overlap(0, 3, 3, 5));
  EXPECT_TRUE(lifetimes_overlap(3, 5, 0, 3));
  EXPECT_FALSE(lifetimes_overlap(0, 2, 3, 5));
  EXPECT_TRUE(lifetimes_overlap(2, 2, 0, 9));
  // Evaluated as written even for an inverted range.
  EXPECT_TRUE(lifetimes_overlap(4, 0, 0, 5));
  EXPECT_FALSE(lifetimes_overlap(4, 0, 0, 3));
  EXPECT_FALSE(lifetimes_overlap(4, 0, 1, 9));
}

TEST(Lifetimes, PeakLowerBoundIsTheBusiestPhaseOfEachTile) {
  constexpr std::uint64_t kLast = std::numeric_limits<std::uint64_t>::max();
  const auto on = [](std::uint16_t tile, std::uint32_t size, std::uint64_t from,
                     std::uint64_t until) {
    return Allocation{.tensor = TensorId{0},
                      .tile = tile,
                      .address = 0,
                      .size = size,
                      .live_from = from,
                      .live_until = until};
  };
  struct Case {
    const char* what;
    std::vector<Allocation> allocations;
    std::map<std::uint16_t, std::uint64_t> bounds;
  };
  const std::vector<Case> cases = {
      {"nothing", {}, {}},
      {"meeting in one phase", {on(0, 100, 0, 3), on(0, 50, 3, 5)}, {{0, 150}}},
      {"one after the other", {on(0, 100, 0, 2), on(0, 50, 3, 5)}, {{0, 100}}},
      {"ending before it starts", {on(0, 100, 0, 9), on(0, 999, 5, 4)}, {{0, 100}}},
      {"only ending before it starts", {on(3, 999, 5, 4)}, {{3, 0}}},
      {"to the last phase", {on(0, 10, kLast, kLast), on(0, 20, 0, kLast)}, {{0, 30}}},
      {"per tile", {on(0, 8, 0, 1), on(2, 16, 0, 1), on(2, 16, 1, 1)}, {{0, 8}, {2, 32}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(peak_lower_bounds(c.allocations), c.bounds) << c.what;
  }
}

// A hand-made planning problem on prefix layouts: tensor i has bytes[i]
// bytes (a multiple of 4) and lives over lifetimes[i]. A tensor that starts
// after phase 0 is produced by an operation computed in that phase; every
// tensor is read in its last phase, by the operation computed there or by an
// exchange naming it. Two tensors may not start in the same later phase.
struct Problem {
  Graph graph;
  std::vector<Layout> layouts;
  std::vector<Phase> phases;
};

Problem problem(const std::vector<std::uint64_t>& bytes,
                const std::vector<std::pair<std::uint64_t, std::uint64_t>>& lifetimes,
                std::uint16_t tiles = 1) {
  Problem p;
  std::uint64_t phase_count = 0;
  for (const auto& [from, until] : lifetimes) phase_count = std::max(phase_count, until + 1);
  p.phases.assign(phase_count, Exchange{});
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const TensorId id = p.graph.input(test_support::numbered("t", i), {bytes[i] / 4});
    p.layouts.push_back(prefix_layout(id.index, tiles));
    if (const std::uint64_t from = lifetimes[i].first; from > 0) {
      const OpId op{p.graph.ops.size()};
      p.graph.ops.push_back(Op{.id = op, .name = "op", .kind = Gelu{}, .inputs = {}, .output = id});
      p.graph.tensors[id.index].producer = op;
      p.phases[from] = Compute{.op = op, .commands = {}};
    }
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const TensorId id{i};
    Phase& last = p.phases[lifetimes[i].second];
    if (auto* compute = std::get_if<Compute>(&last)) {
      p.graph.ops[compute->op.index].inputs.push_back(id);
    } else {
      std::get<Exchange>(last).transfers.push_back(Transfer{0, 1, id, 4});
    }
  }
  return p;
}

CompilerOptions window(std::uint32_t base, std::uint32_t limit) {
  return CompilerOptions{.tile_count = 64, .data_base = base, .data_limit = limit};
}

std::vector<std::uint32_t> addresses(const std::vector<Allocation>& allocations) {
  std::vector<std::uint32_t> result;
  for (const Allocation& a : allocations) result.push_back(a.address);
  return result;
}

TEST(MemoryPlanning, LifetimesThatMeetInOnePhaseKeepBytesApart) {
  const std::uint32_t d = 0x1000;
  auto touching = problem({1024, 1024}, {{0, 3}, {3, 5}});
  auto plan = plan_memory(touching.graph, touching.layouts, touching.phases, window(d, 0x10000));
  ASSERT_TRUE(plan.has_value());
  EXPECT_EQ(addresses(*plan), (std::vector<std::uint32_t>{d, d + 1024}));

  auto apart = problem({1024, 1024}, {{0, 2}, {3, 5}});
  plan = plan_memory(apart.graph, apart.layouts, apart.phases, window(d, 0x10000));
  ASSERT_TRUE(plan.has_value());
  EXPECT_EQ(addresses(*plan), (std::vector<std::uint32_t>{d, d}));
}

TEST(MemoryPlanning, FreedGapIsReused) {
  const std::uint32_t d = 0x2000;
  // A dead by phase 2, B live throughout and only touching the candidate's end.
  auto p = problem({1024, 1024, 1024}, {{0, 1}, {0, 9}, {2, 4}});
  const auto plan = plan_memory(p.graph, p.layouts, p.phases, window(d, 0x10000));
  ASSERT_TRUE(plan.has_value());
  EXPECT_EQ(addresses(*plan), (std::vector<std::uint32_t>{d, d + 1024, d}));
}

TEST(MemoryPlanning, FirstCandidateIsTheUnalignedBase) {
  const std::uint32_t d = 0x52004;
  auto p = problem({20, 8, 4}, {{0, 3}, {0, 3}, {0, 3}});
  const auto plan = plan_memory(p.graph, p.layouts, p.phases, window(d, 0x60000));
  ASSERT_TRUE(plan.has_value());
  // Sizes round up to 32, 16, 16; later buffers start at multiples of 16.
  EXPECT_EQ(addresses(*plan), (std::vector<std::uint32_t>{d, 0x52030, 0x52040}));
  EXPECT_EQ((*plan)[0].size, 32U);
  EXPECT_EQ((*plan)[1].size, 16U);
}

TEST(MemoryPlanning, BumpRoundsToThePlacedTensorsAlignment) {
  auto p = problem({4, 4}, {{0, 1}, {0, 1}});
  p.layouts[0].alignment = 4;
  p.layouts[1].alignment = 64;
  const auto plan = plan_memory(p.graph, p.layouts, p.phases, window(0x100, 0x1000));
  ASSERT_TRUE(plan.has_value());
  EXPECT_EQ(addresses(*plan), (std::vector<std::uint32_t>{0x100, 0x140}));
  EXPECT_EQ((*plan)[1].size, 64U);
}

TEST(MemoryPlanning, FirstFitTakesTheLowestGapNotTheTightest) {
  // Phase 2 on: live buffers at [0, 64), [192, 224), [256, 320); the dead ones
  // leave a 128-byte gap at 64 and a 32-byte gap at 224.
  auto p = problem({64, 128, 32, 32, 64, 32, 128},
                   {{0, 9}, {0, 1}, {0, 9}, {0, 1}, {0, 9}, {2, 9}, {3, 9}});
  const auto plan = plan_memory(p.graph, p.layouts, p.phases, window(0, 0x1000));
  ASSERT_TRUE(plan.has_value());
  // 32 bytes go to the lower, wider gap; 128 bytes no longer fit below 320.
  EXPECT_EQ(addresses(*plan), (std::vector<std::uint32_t>{0, 64, 192, 224, 256, 64, 320}));
}

TEST(MemoryPlanning, BufferMayEndExactlyAtTheLimit) {
  auto p = problem({1024, 1024}, {{0, 1}, {0, 1}}, 3);
  // Each of the 3 tiles holds ceil(1024 / 3) = 342 -> 352 bytes.
  const std::uint32_t base = 0x1000;
  auto plan = plan_memory(p.graph, p.layouts, p.phases, window(base, base + 704));
  ASSERT_TRUE(plan.has_value());
  EXPECT_EQ(plan->back().address + plan->back().size, base + 704);
  EXPECT_EQ(plan_memory(p.graph, p.layouts, p.phases, window(base, base + 703)).error(),
            CompileError::memory("tile 0 exceeds data limit allocating t1"));
}

TEST(MemoryPlanning, DataLimitIsReportedForTheFirstTileOfTheLayoutThatOverflows) {
  // Tiles 1 and 2 are fuller than tile 0 when the big tensor comes; its tile
  // list visits tile 2 before tile 1.
  Problem p = problem({64, 64, 4096}, {{0, 3}, {0, 3}, {0, 3}});
  p.layouts[0].tiles = {2};
  p.layouts[1].tiles = {1, 1};
  p.layouts[2].tiles = {0, 2, 1};
  // 4096 bytes over 3 tiles: 1366 -> 1376 per tile; tiles 1 and 2 hold 64.
  EXPECT_EQ(plan_memory(p.graph, p.layouts, p.phases, window(0, 1376 + 32)).error(),
            CompileError::memory("tile 2 exceeds data limit allocating t2"));
  EXPECT_TRUE(plan_memory(p.graph, p.layouts, p.phases, window(0, 1376 + 64)).has_value());
}

TEST(MemoryPlanning, AddressOverflowIsCheckedAtEveryCandidate) {
  auto p = problem({64, 64}, {{0, 1}, {0, 1}});
  // The first buffer fits right below 2^32; the second's candidate cannot.
  const auto top = window(0xFFFFFF80U, 0xFFFFFFFFU);
  EXPECT_EQ(plan_memory(p.graph, p.layouts, p.phases, top).error(),
            CompileError::memory("address overflow"));
  // At the very first candidate too, before the limit is looked at.
  auto single = problem({256}, {{0, 1}});
  EXPECT_EQ(
      plan_memory(single.graph, single.layouts, single.phases, window(0xFFFFFF80U, 0xFFFFFF90U))
          .error(),
      CompileError::memory("address overflow"));
  // A size that cannot be rounded up within 32 bits.
  auto odd = problem({4}, {{0, 1}});
  odd.layouts[0].alignment = 0x80000000U;
  odd.graph.tensors[0].shape = {0x20000001U};  // 0x80000004 bytes
  EXPECT_EQ(plan_memory(odd.graph, odd.layouts, odd.phases, window(0, 0xFFFFFFFFU)).error(),
            CompileError::memory("address overflow"));
}

TEST(MemoryPlanning, ShareOf4GiBOrMoreIsNeverNarrowed) {
  auto p = problem({64, 4}, {{0, 1}, {0, 1}});
  p.graph.tensors[1].shape = {std::uint64_t{1} << 30U};  // exactly 2^32 bytes on one tile
  p.layouts[1] =
      Layout{.tensor = TensorId{1}, .tiles = {7, 3}, .sharding = Sharding::Rows, .alignment = 16};
  // Two tiles: 2^31 each, too big for this window but not for 32 bits.
  EXPECT_EQ(plan_memory(p.graph, p.layouts, p.phases, window(0, 0x1000)).error(),
            CompileError::memory("tile 7 exceeds data limit allocating t1"));
  p.layouts[1].tiles = {7};
  EXPECT_EQ(plan_memory(p.graph, p.layouts, p.phases, window(0, 0xFFFFFFFFU)).error(),
            CompileError::memory("tile 7 exceeds data limit allocating t1"));
  // An earlier tensor's error keeps its precedence.
  EXPECT_EQ(plan_memory(p.graph, p.layouts, p.phases, window(0, 32)).error(),
            CompileError::memory("tile 0 exceeds data limit allocating t0"));
}

TEST(MemoryPlanning, UnreadTensorLivesOnlyInItsProducingPhase) {
  // x feeds a and b; a is never read and is not an output.
  Graph graph;
  const TensorId x = graph.input("x", {256});
  const TensorId a = *graph.gelu("a", x);
  const TensorId b = *graph.gelu("b", x);
  const TensorId c = *graph.gelu("c", b);
  graph.mark_output(c);
  const auto schedule = compile(graph, CompilerOptions{.tile_count = 1});
  ASSERT_TRUE(schedule.has_value());
  const auto& allocs = schedule->allocations;
  EXPECT_EQ(allocs[a.index].live_from, 0U);
  EXPECT_EQ(allocs[a.index].live_until, 0U);
  // x is live in phase 1 where b is produced; a (phase 0) is dead by then, so
  // b may reuse a's bytes but never x's.
  EXPECT_EQ(allocs[x.index].live_until, 1U);
  EXPECT_NE(allocs[a.index].address, allocs[x.index].address);
  EXPECT_EQ(allocs[b.index].address, allocs[a.index].address);
  EXPECT_EQ(allocs[c.index].live_until, 3U);

  // Produced in phase 2 and unread: without care its lifetime would be [2, 0].
  Graph late;
  const TensorId y = late.input("y", {256});
  const TensorId y1 = *late.gelu("y1", y);
  const TensorId y2 = *late.gelu("y2", y1);
  const TensorId dead = *late.gelu("dead", y2);
  late.mark_output(y2);
  const auto late_schedule = compile(late, CompilerOptions{.tile_count = 1});
  ASSERT_TRUE(late_schedule.has_value());
  const Allocation& dead_alloc = late_schedule->allocations[dead.index];
  EXPECT_EQ(dead_alloc.live_from, 2U);
  EXPECT_EQ(dead_alloc.live_until, 2U);
  // y2 is live in phase 2 (it is read there and is an output): no sharing.
  EXPECT_NE(dead_alloc.address, late_schedule->allocations[y2.index].address);
}

TEST(MemoryPlanning, BrokenPreconditionsThrow) {
  auto p = problem({64}, {{0, 1}});
  const auto options = window(0, 0x1000);
  EXPECT_THROW((void)plan_memory(p.graph, {}, p.phases, options), std::invalid_argument);
  auto no_tiles = p.layouts;
  no_tiles[0].tiles.clear();
  EXPECT_THROW((void)plan_memory(p.graph, no_tiles, p.phases, options), std::invalid_argument);
  auto no_alignment = p.layouts;
  no_alignment[0].alignment = 0;
  EXPECT_THROW((void)plan_memory(p.graph, no_alignment, p.phases, options), std::invalid_argument);
  const std::vector<Phase> stray_op = {Compute{.op = OpId{3}, .commands = {}}};
  EXPECT_THROW((void)plan_memory(p.graph, p.layouts, stray_op, options), std::out_of_range);
  const std::vector<Phase> stray_tensor = {Exchange{{Transfer{0, 1, TensorId{8}, 4}}}};
  EXPECT_THROW((void)plan_memory(p.graph, p.layouts, stray_tensor, options), std::out_of_range);
  Graph bad_output = p.graph;
  bad_output.outputs.push_back(TensorId{4});
  EXPECT_THROW((void)plan_memory(bad_output, p.layouts, p.phases, options), std::out_of_range);
}

}  // namespace
}  // namespace zelk_compiler
