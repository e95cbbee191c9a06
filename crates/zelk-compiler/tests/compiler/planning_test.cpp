// Planning strategies and the fit diagnosis: first fit stays the default plan,
// `best` is sound, never above first fit nor below the bound, and the
// diagnosis agrees with what `compile` does and names where memory runs out.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/random_graphs.hpp"
#include "support/schedule_checker.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/encoder.hpp"
#include "zelk_compiler/fit.hpp"

namespace zelk_compiler {
namespace {

using test_support::Random;

constexpr PlanningOptions kFirstFit{.strategy = PlacementStrategy::FirstFit};
constexpr PlanningOptions kBest{.strategy = PlacementStrategy::Best};

// The highest peak_sram entry over a group's tiles.
std::uint64_t group_peak(const Schedule& schedule, const GroupFit& group) {
  std::uint64_t peak = 0;
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    if (tile >= group.first_tile && tile <= group.last_tile)
      peak = std::max<std::uint64_t>(peak, bytes);
  }
  return peak;
}

// Compiles with both strategies under generated options and under a window
// set between the lower bound and first fit's peak, where only a better
// placement fits, and checks every schedule and the diagnosis against them.
TEST(PlanningStrategies, BestIsSoundNeverAboveFirstFitNorBelowTheBound) {
  Random random(424242);
  int lower = 0;
  int rescued = 0;
  int compiled = 0;
  for (int round = 0; round < 300; ++round) {
    const Graph graph = test_support::random_graph(random);
    CompilerOptions options = test_support::random_options(random, 64);
    const std::string context = "round " + std::to_string(round);
    const auto roomy = diagnose_fit(graph, options, kBest);
    ASSERT_TRUE(roomy.has_value()) << context;
    if (random.chance(50) && options.data_limit < 0xFFFF0000U) {
      // A window between the highest bound and the highest first-fit peak.
      std::uint64_t bound = 0;
      std::uint64_t peak = 0;
      for (const GroupFit& group : roomy->groups) {
        bound = std::max(bound, group.lower_bound);
        peak = std::max(peak, group.first_fit_peak.value_or(0));
      }
      if (bound < peak && bound > 0) {
        options.data_limit =
            options.data_base + static_cast<std::uint32_t>(random.between(bound, peak));
      }
    }
    for (const PlanningOptions& planning : {kFirstFit, kBest}) {
      const auto diagnosis = diagnose_fit(graph, options, planning);
      ASSERT_TRUE(diagnosis.has_value()) << context;
      const auto schedule = compile(graph, options, planning);
      ASSERT_EQ(diagnosis->fits, schedule.has_value()) << context << " " << planning;
      ASSERT_EQ(diagnosis->failure.has_value(), !schedule.has_value()) << context;
      if (!schedule) continue;
      ++compiled;
      const auto problems =
          test_support::check_schedule(graph, options, *schedule, test_support::AddressRule::Any);
      ASSERT_TRUE(problems.empty()) << context << ": " << problems.front();
      for (const GroupFit& group : diagnosis->groups) {
        const std::uint64_t peak = group_peak(*schedule, group);
        EXPECT_GE(peak, group.lower_bound) << context;
        EXPECT_LE(group.best_peak, group.first_fit_peak) << context;
        EXPECT_EQ(peak, planning.strategy == PlacementStrategy::Best ? group.best_peak
                                                                     : group.first_fit_peak)
            << context << " " << group;
      }
    }
    const auto first_fit = compile(graph, options);
    ASSERT_EQ(compile(graph, options, kFirstFit), first_fit) << context;
    const auto best = compile(graph, options, kBest);
    ASSERT_EQ(compile(graph, options, kBest), best) << context << ": not deterministic";
    if (first_fit) {
      ASSERT_TRUE(best.has_value()) << context << ": best failed where first fit fits";
      lower += best->peak_sram != first_fit->peak_sram ? 1 : 0;
    } else {
      rescued += best.has_value() ? 1 : 0;
    }
  }
  EXPECT_GT(compiled, 200);
  EXPECT_GT(lower, 10);
  EXPECT_GT(rescued, 10);
}

// Hand-made layouts (repeated, unsorted, sparse tiles, any alignment): `best`
// changes nothing but addresses, and those stay valid.
TEST(PlanningStrategies, BestOnAnyLayoutsMovesOnlyAddresses) {
  Random random(99);
  for (int round = 0; round < 300; ++round) {
    const Graph graph = test_support::random_graph(random, {.max_ops = 12, .max_extent = 24});
    CompilerOptions options = test_support::random_options(random, 16);
    if (random.chance(70)) options.data_limit = options.data_base + 0x10000;
    std::vector<Layout> layouts;
    std::vector<Phase> phases;
    for (const Tensor& tensor : graph.tensors) {
      Layout layout{
          .tensor = tensor.id,
          .tiles = {},
          .sharding = Sharding::Rows,
          .alignment = static_cast<std::uint32_t>(std::uint64_t{1} << random.between(0, 7))};
      const std::uint64_t count = random.between(1, 4);
      for (std::uint64_t i = 0; i < count; ++i)
        layout.tiles.push_back(static_cast<std::uint16_t>(random.between(0, 5)));
      layouts.push_back(std::move(layout));
    }
    for (const Op& op : graph.ops) phases.emplace_back(Compute{.op = op.id, .commands = {}});
    const auto first_fit = plan_memory(graph, layouts, phases, options);
    const auto best = plan_memory(graph, layouts, phases, options, kBest);
    const std::string context = "round " + std::to_string(round);
    if (first_fit) {
      ASSERT_TRUE(best.has_value()) << context;
    }
    if (!best) continue;
    ASSERT_EQ(best->size(), first_fit ? first_fit->size() : best->size());
    for (std::size_t i = 0; i < best->size(); ++i) {
      const Allocation& a = (*best)[i];
      if (first_fit) {
        Allocation moved = (*first_fit)[i];
        moved.address = a.address;
        ASSERT_EQ(a, moved) << context;
      }
      const std::uint32_t alignment = layouts[a.tensor.index].alignment;
      EXPECT_TRUE(a.address == options.data_base || a.address % alignment == 0) << context << a;
      EXPECT_GE(a.address, options.data_base) << context;
      EXPECT_LE(std::uint64_t{a.address} + a.size, options.data_limit) << context;
      for (std::size_t j = 0; j < i; ++j) {
        const Allocation& b = (*best)[j];
        const bool apart = a.address + a.size <= b.address || b.address + b.size <= a.address;
        EXPECT_TRUE(a.tile != b.tile ||
                    !lifetimes_overlap(a.live_from, a.live_until, b.live_from, b.live_until) ||
                    apart)
            << context << ": " << a << " meets " << b;
      }
    }
  }
}

TEST(PlanningStrategies, DefaultEncoderBlockKeepsItsFirstFitPlan) {
  // First fit already reaches every group's bound there.
  const Graph graph = *encoder_graph(EncoderConfig{});
  EXPECT_EQ(compile(graph, CompilerOptions{}, kBest), compile(graph, CompilerOptions{}));
}

TEST(PlanningStrategies, BestReachesTheBoundWhereFirstFitWastesBytes) {
  const Graph graph =
      *encoder_graph({.sequence = 512, .hidden = 64, .heads = 4, .feed_forward = 256});
  const CompilerOptions options{.tile_count = 16};
  const auto first_fit = compile(graph, options);
  const auto best = compile(graph, options, kBest);
  ASSERT_TRUE(first_fit.has_value() && best.has_value());
  EXPECT_EQ(first_fit->peak_sram.at(0), 184320U);
  EXPECT_EQ(best->peak_sram.at(0), 156672U);
  EXPECT_TRUE(
      test_support::check_schedule(graph, options, *best, test_support::AddressRule::Any).empty());
}

// x (256 bytes, tile 0) through two products with 16 KiB weights spread over
// four tiles: tile 0 holds every activation, tiles 1 to 3 only weights.
Graph two_products() {
  Graph graph;
  const TensorId x = graph.input("x", {1, 64});
  const TensorId w1 = graph.weight("w1", {64, 64});
  const TensorId w2 = graph.weight("w2", {64, 64});
  const TensorId h = *graph.matmul("h", x, w1);
  graph.mark_output(*graph.matmul("y", h, w2));
  return graph;
}

TEST(FitDiagnosis, NamesTheTilesPhaseAndBuffersWhereMostBytesAreLive) {
  const Graph graph = two_products();
  // Tile 0 needs 8,704 bytes in phase 0 (x, w1, w2, h), tiles 1 to 3 8,192.
  const CompilerOptions options{.tile_count = 4, .data_base = 0x1000, .data_limit = 0x1000 + 8400};
  const auto diagnosis = diagnose_fit(graph, options);
  ASSERT_TRUE(diagnosis.has_value());
  EXPECT_FALSE(diagnosis->fits);
  EXPECT_EQ(diagnosis->window, 8400U);
  ASSERT_EQ(diagnosis->groups.size(), 2U);
  EXPECT_EQ(diagnosis->groups[0], (GroupFit{.first_tile = 0,
                                            .last_tile = 0,
                                            .tile_count = 1,
                                            .buffers = 5,
                                            .lower_bound = 8704,
                                            .first_fit_peak = 8704,
                                            .best_peak = 8704,
                                            .headroom = -304}));
  EXPECT_EQ(diagnosis->groups[1], (GroupFit{.first_tile = 1,
                                            .last_tile = 3,
                                            .tile_count = 3,
                                            .buffers = 2,
                                            .lower_bound = 8192,
                                            .first_fit_peak = 8192,
                                            .best_peak = 8192,
                                            .headroom = 208}));
  ASSERT_TRUE(diagnosis->failure.has_value());
  const FitFailure& failure = *diagnosis->failure;
  EXPECT_EQ(failure.group, 0U);
  EXPECT_EQ(failure.phase, 0U);
  EXPECT_EQ(failure.op, OpId{0});
  EXPECT_FALSE(failure.exchange);
  std::vector<std::pair<std::string, std::uint64_t>> live;
  for (const LiveBuffer& buffer : failure.live) live.emplace_back(buffer.name, buffer.bytes);
  EXPECT_EQ(live, (std::vector<std::pair<std::string, std::uint64_t>>{
                      {"w1", 4096}, {"w2", 4096}, {"x", 256}, {"h", 256}}));
  EXPECT_EQ(failure.weight_bytes, 8192U);
  EXPECT_EQ(failure.activation_bytes, 512U);
  EXPECT_EQ(failure.bound_over_window, 304U);
  EXPECT_EQ(compile(graph, options).error(),
            CompileError::memory("tile 0 exceeds data limit allocating w2"));

  // With room for tile 0 it fits, and every group reports its headroom.
  const auto roomy = diagnose_fit(graph, CompilerOptions{.tile_count = 4});
  ASSERT_TRUE(roomy.has_value());
  EXPECT_TRUE(roomy->fits);
  EXPECT_FALSE(roomy->failure.has_value());
  EXPECT_EQ(roomy->groups[0].headroom, 0x8E000 - 8704);
}

TEST(FitDiagnosis, SaysWhetherABetterPlacementCanHelp) {
  // First fit peaks at 184,320 bytes, the bound is 156,672: a window between
  // them defeats first fit but not every placement.
  const Graph graph =
      *encoder_graph({.sequence = 512, .hidden = 64, .heads = 4, .feed_forward = 256});
  const CompilerOptions options{.tile_count = 16, .data_base = 0, .data_limit = 170000};
  const auto first_fit = diagnose_fit(graph, options, kFirstFit);
  ASSERT_TRUE(first_fit.has_value());
  EXPECT_FALSE(first_fit->fits);
  ASSERT_TRUE(first_fit->failure.has_value());
  EXPECT_EQ(first_fit->failure->bound_over_window, 0U);
  EXPECT_EQ(first_fit->groups[0].first_fit_peak, 184320U);
  EXPECT_EQ(first_fit->groups[0].best_peak, 156672U);
  EXPECT_EQ(first_fit->groups[0].headroom, 170000 - 184320);
  std::uint64_t live = 0;
  for (const LiveBuffer& buffer : first_fit->failure->live) live += buffer.bytes;
  EXPECT_EQ(live, 156672U);
  EXPECT_EQ(first_fit->failure->weight_bytes + first_fit->failure->activation_bytes, live);

  const auto best = diagnose_fit(graph, options, kBest);
  ASSERT_TRUE(best.has_value());
  EXPECT_TRUE(best->fits);
  EXPECT_EQ(best->groups[0].headroom, 170000 - 156672);
  EXPECT_TRUE(compile(graph, options, kBest).has_value());
}

TEST(FitDiagnosis, ShareThatCanNeverBePlacedHasNoPeak) {
  // 2^32 bytes on one tile: no 32-bit window can hold it.
  Graph graph;
  graph.mark_output(*graph.gelu("big", graph.input("x", {std::uint64_t{1} << 30U})));
  const auto diagnosis = diagnose_fit(graph, CompilerOptions{.tile_count = 1});
  ASSERT_TRUE(diagnosis.has_value());
  EXPECT_FALSE(diagnosis->fits);
  ASSERT_EQ(diagnosis->groups.size(), 1U);
  EXPECT_EQ(diagnosis->groups[0].first_fit_peak, std::nullopt);
  EXPECT_EQ(diagnosis->groups[0].headroom, std::nullopt);
  EXPECT_EQ(diagnosis->groups[0].lower_bound, std::uint64_t{1} << 33U);
  EXPECT_EQ(diagnosis->failure->bound_over_window, (std::uint64_t{1} << 33U) - 0x8E000);
}

TEST(FitDiagnosis, OtherErrorsAreThoseOfCompile) {
  const Graph graph = two_products();
  EXPECT_EQ(diagnose_fit(graph, CompilerOptions{.tile_count = 0}).error(),
            CompileError::graph("invalid compiler options"));
  EXPECT_EQ(diagnose_fit(Graph{}, CompilerOptions{}).error(), Graph{}.validate().error());
  // A 4 GiB weight read under another sharding: its share cannot be sent.
  Graph huge;
  huge.mark_output(*huge.gelu("g", huge.weight("w", {std::uint64_t{1} << 20U, 1024})));
  const CompilerOptions one_tile{.tile_count = 1};
  EXPECT_EQ(diagnose_fit(huge, one_tile).error(),
            CompileError::memory("tile 0 exceeds data limit allocating w"));
  EXPECT_EQ(diagnose_fit(huge, one_tile).error(), compile(huge, one_tile).error());
}

TEST(FitDiagnosis, PrintsAsARecord) {
  const auto diagnosis = diagnose_fit(two_products(), CompilerOptions{.tile_count = 1});
  ASSERT_TRUE(diagnosis.has_value());
  EXPECT_EQ(debug_string(diagnosis->groups[0]),
            "GroupFit { first_tile: 0, last_tile: 0, tile_count: 1, buffers: 5, lower_bound: "
            "33280, first_fit_peak: Some(33280), best_peak: Some(33280), headroom: "
            "Some(548352) }");
  EXPECT_EQ(debug_string(kBest), "PlanningOptions { strategy: Best, search_steps: 20000 }");
}

}  // namespace
}  // namespace zelk_compiler
