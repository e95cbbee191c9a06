// The fast memory planner against the literal one: identical allocation
// lists, or identical errors, on generated graphs, options and layouts.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/literal_planner.hpp"
#include "support/random_graphs.hpp"
#include "zelk_compiler/debug.hpp"

namespace zelk_compiler {
namespace {

using test_support::Random;

// One compute phase per operation, some preceded by an exchange that names a
// few of its inputs: the lifetimes this gives need no layouts.
std::vector<Phase> random_phases(Random& random, const Graph& graph) {
  std::vector<Phase> phases;
  for (const Op& op : graph.ops) {
    if (!op.inputs.empty() && random.chance(30)) {
      Exchange exchange;
      const std::uint64_t count = random.between(1, 3);
      for (std::uint64_t i = 0; i < count; ++i) {
        exchange.transfers.push_back(
            Transfer{0, 1, op.inputs[random.between(0, op.inputs.size() - 1)], 4});
      }
      phases.emplace_back(std::move(exchange));
    }
    phases.emplace_back(Compute{.op = op.id, .commands = {}});
  }
  return phases;
}

std::uint32_t random_alignment(Random& random) {
  static constexpr std::uint32_t kAlignments[] = {1, 2, 3, 4, 12, 16, 16, 16, 64, 4096};
  return kAlignments[random.between(0, std::size(kAlignments) - 1)];
}

// Tile lists that are not prefixes: repeated, unsorted, sparse.
Layout random_layout(Random& random, TensorId tensor) {
  Layout layout{.tensor = tensor,
                .tiles = {},
                .sharding = Sharding::Rows,
                .alignment = random_alignment(random)};
  const std::uint64_t count = random.between(1, 6);
  for (std::uint64_t i = 0; i < count; ++i) {
    layout.tiles.push_back(static_cast<std::uint16_t>(random.between(0, 9) * 7 % 23));
  }
  return layout;
}

std::string outcome(const Result<std::vector<Allocation>>& plan) {
  return plan ? "ok" : debug_string(plan.error());
}

void expect_same_plan(const Graph& graph, std::span<const Layout> layouts,
                      std::span<const Phase> phases, const CompilerOptions& options,
                      std::map<std::string, int>& outcomes, const std::string& context) {
  const auto fast = plan_memory(graph, layouts, phases, options);
  const auto literal = test_support::plan_memory_literal(graph, layouts, phases, options);
  ASSERT_EQ(fast.has_value(), literal.has_value())
      << context << ": " << outcome(fast) << " vs " << outcome(literal);
  if (fast) {
    ASSERT_EQ(*fast, *literal) << context;
    ++outcomes["ok"];
  } else {
    ASSERT_EQ(fast.error(), literal.error()) << context;
    ++outcomes[fast.error().message.substr(0, 8)];
  }
}

TEST(PlannerDifferential, CompiledSchedulesOfGeneratedGraphs) {
  Random random(7);
  std::map<std::string, int> outcomes;
  for (int round = 0; round < 1200; ++round) {
    const Graph graph = test_support::random_graph(random);
    CompilerOptions options = test_support::random_options(random, 256);
    // A roomy window compiles; the plan is then replayed under the options.
    CompilerOptions roomy = options;
    roomy.data_base = 0;
    roomy.data_limit = 0xFFFFFFFFU;
    const auto schedule = compile(graph, roomy);
    ASSERT_TRUE(schedule.has_value()) << schedule.error();
    expect_same_plan(graph, schedule->layouts, schedule->phases, options, outcomes,
                     "round " + std::to_string(round));
  }
  EXPECT_GT(outcomes["ok"], 400);
  EXPECT_GT(outcomes["tile 0 e"] + outcomes["tile 1 e"], 50);
  EXPECT_GT(outcomes["address "], 5);
}

TEST(PlannerDifferential, PrefixLayoutsWithOtherAlignments) {
  Random random(11);
  std::map<std::string, int> outcomes;
  for (int round = 0; round < 600; ++round) {
    const Graph graph = test_support::random_graph(random);
    const CompilerOptions options = test_support::random_options(random, 64);
    std::vector<Layout> layouts;
    for (const Tensor& tensor : graph.tensors) {
      Layout layout = choose_layout(tensor, options.tile_count);
      layout.alignment = random_alignment(random);
      layouts.push_back(std::move(layout));
    }
    expect_same_plan(graph, layouts, random_phases(random, graph), options, outcomes,
                     "round " + std::to_string(round));
  }
  EXPECT_GT(outcomes["ok"], 150);
}

TEST(PlannerDifferential, HandMadeLayouts) {
  Random random(13);
  std::map<std::string, int> outcomes;
  for (int round = 0; round < 800; ++round) {
    const Graph graph = test_support::random_graph(random, {.max_ops = 16, .max_extent = 24});
    const CompilerOptions options = test_support::random_options(random, 64);
    std::vector<Layout> layouts;
    for (const Tensor& tensor : graph.tensors) {
      layouts.push_back(random.chance(80)
                            ? random_layout(random, tensor.id)
                            : choose_layout(tensor, static_cast<std::uint16_t>(1 + round % 9)));
    }
    expect_same_plan(graph, layouts, random_phases(random, graph), options, outcomes,
                     "round " + std::to_string(round));
  }
  EXPECT_GT(outcomes["ok"], 200);
}

// Tile lists drawn from a few sets of tiles, each shuffled and with some
// tiles named twice: many tiles then share their buffer sequence without
// being neighbours, and a failing tensor fails on several tiles at once.
TEST(PlannerDifferential, FewTileSetsInAnyOrder) {
  Random random(17);
  std::map<std::string, int> outcomes;
  for (int round = 0; round < 600; ++round) {
    const Graph graph = test_support::random_graph(random, {.max_ops = 16, .max_extent = 32});
    const CompilerOptions options = test_support::random_options(random, 64);
    std::vector<std::vector<std::uint16_t>> sets(3);
    for (std::uint16_t tile = 0; tile < 12; ++tile) {
      for (auto& set : sets) {
        if (random.chance(50)) set.push_back(tile);
      }
    }
    std::vector<Layout> layouts;
    for (const Tensor& tensor : graph.tensors) {
      Layout layout{.tensor = tensor.id,
                    .tiles = sets[random.between(0, 2)],
                    .sharding = Sharding::Rows,
                    .alignment = random_alignment(random)};
      if (layout.tiles.empty() || random.chance(20)) layout.tiles.push_back(5);
      if (random.chance(15)) layout.tiles.push_back(layout.tiles.front());
      for (std::size_t i = layout.tiles.size(); i > 1; --i) {
        std::swap(layout.tiles[i - 1], layout.tiles[random.between(0, i - 1)]);
      }
      layouts.push_back(std::move(layout));
    }
    expect_same_plan(graph, layouts, random_phases(random, graph), options, outcomes,
                     "round " + std::to_string(round));
  }
  EXPECT_GT(outcomes["ok"], 150);
  EXPECT_GT(outcomes["tile 0 e"] + outcomes["tile 1 e"] + outcomes["tile 5 e"], 20);
}

// Phases in any order, some operations computed twice: tensors read before
// the phase that last writes them get lifetimes that end before they start,
// which meet only the lifetimes holding both their ends.
TEST(PlannerDifferential, PhasesInAnyOrder) {
  Random random(19);
  std::map<std::string, int> outcomes;
  for (int round = 0; round < 600; ++round) {
    const Graph graph = test_support::random_graph(random, {.max_ops = 16, .max_extent = 32});
    const CompilerOptions options = test_support::random_options(random, 16);
    std::vector<Layout> layouts;
    for (const Tensor& tensor : graph.tensors) {
      layouts.push_back(choose_layout(tensor, options.tile_count));
    }
    std::vector<Phase> phases = random_phases(random, graph);
    for (std::size_t i = phases.size(); i > 1; --i) {
      std::swap(phases[i - 1], phases[random.between(0, i - 1)]);
    }
    if (!graph.ops.empty() && random.chance(50)) {
      phases.emplace_back(Compute{.op = graph.ops.front().id, .commands = {}});
    }
    expect_same_plan(graph, layouts, phases, options, outcomes, "round " + std::to_string(round));
  }
  EXPECT_GT(outcomes["ok"], 150);
}

TEST(PlannerDifferential, LongLivedChainOnOneTile) {
  // Every buffer live to the end: each one lands above all the others.
  Graph graph;
  TensorId x = graph.input("x", {1, 64});
  for (int i = 0; i < 300; ++i) {
    x = *graph.gelu(test_support::numbered("g", static_cast<std::uint64_t>(i)), x);
    graph.mark_output(x);
  }
  const CompilerOptions options{.tile_count = 1, .data_base = 4, .data_limit = 0x100000};
  const auto schedule = compile(graph, options);
  ASSERT_TRUE(schedule.has_value());
  std::map<std::string, int> outcomes;
  expect_same_plan(graph, schedule->layouts, schedule->phases, options, outcomes, "chain");
  EXPECT_EQ(schedule->allocations.back().address, 16U + 299 * 256U);
}

}  // namespace
}  // namespace zelk_compiler
