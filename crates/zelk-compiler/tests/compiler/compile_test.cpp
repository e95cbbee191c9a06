// compile end to end: the default encoder block in full, phase structure,
// kernel commands and error precedence.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/schedule_checker.hpp"
#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/encoder.hpp"
#include "zelk_compiler/fit.hpp"

namespace zelk_compiler {
namespace {

constexpr std::uint32_t kBase = 0x52000;

Schedule default_schedule() {
  const auto graph = encoder_graph(EncoderConfig{});
  EXPECT_TRUE(graph.has_value());
  auto schedule = compile(*graph, CompilerOptions{});
  EXPECT_TRUE(schedule.has_value());
  return *schedule;
}

TEST(CompileEncoder, PhasesOfTheDefaultBlock) {
  const Graph graph = *encoder_graph(EncoderConfig{});
  const Schedule schedule = default_schedule();
  ASSERT_EQ(schedule.phases.size(), 17U);
  EXPECT_EQ(schedule.tile_count, 64);

  // Compute phases in operation order; the exchanges sit right before
  // attention_context (op 7) and ffn_up (op 11).
  std::size_t phase = 0;
  for (const Op& op : graph.ops) {
    if (op.name == "attention_context" || op.name == "ffn_up") {
      const auto& exchange = std::get<Exchange>(schedule.phases[phase++]);
      const TensorId sent = op.inputs[0];
      const std::uint16_t from = op.name == "ffn_up" ? 8 : 4;
      const std::uint16_t to = op.name == "ffn_up" ? 32 : 8;
      ASSERT_EQ(exchange.transfers.size(), to - from) << op.name;
      for (std::uint16_t d = from; d < to; ++d) {
        EXPECT_EQ(exchange.transfers[d - from],
                  (Transfer{static_cast<std::uint16_t>(d % from), d, sent, 1024}));
      }
    }
    const auto& compute = std::get<Compute>(schedule.phases[phase++]);
    EXPECT_EQ(compute.op, op.id);
  }
  EXPECT_EQ(graph.tensors[graph.ops[7].inputs[0].index].name, "attention_softmax");
  EXPECT_EQ(graph.tensors[graph.ops[11].inputs[0].index].name, "norm2");
}

TEST(CompileEncoder, LifetimesOffsetsAndPeaksOfTheDefaultBlock) {
  const Graph graph = *encoder_graph(EncoderConfig{});
  const Schedule schedule = default_schedule();
  ASSERT_EQ(schedule.allocations.size(), 360U);
  for (std::uint16_t tile = 0; tile < 8; ++tile) {
    EXPECT_EQ(schedule.allocations[tile], (Allocation{TensorId{0}, tile, kBase, 1024, 0, 10}));
  }

  struct Expected {
    const char* name;
    std::uint64_t from;
    std::uint64_t until;
    std::uint32_t tile0_offset;
  };
  const std::vector<Expected> expected = {
      {"input", 0, 10, 0},
      {"wq", 0, 1, 1024},
      {"wk", 0, 2, 2048},
      {"wv", 0, 3, 3072},
      {"wo", 0, 9, 4096},
      {"w1", 0, 13, 5120},
      {"w2", 0, 15, 6144},
      {"norm1", 0, 3, 7168},
      {"q", 1, 5, 8192},
      {"k", 2, 4, 1024},
      {"v", 3, 8, 2048},
      {"k_transpose", 4, 5, 3072},
      {"attention_scores", 5, 6, 1024},
      {"attention_softmax", 6, 8, 3072},
      {"attention_context", 8, 9, 1024},
      {"attention_projection", 9, 10, 2048},
      {"attention_residual", 10, 16, 1024},
      {"norm2", 11, 13, 0},
      {"ffn_up", 13, 14, 2048},
      {"ffn_gelu", 14, 15, 0},
      {"ffn_down", 15, 16, 2048},
      {"ffn_residual", 16, 17, 0},
  };
  std::vector<const Allocation*> tile0;
  for (const Allocation& a : schedule.allocations) {
    EXPECT_EQ(a.size, 1024U);
    if (a.tile == 0) tile0.push_back(&a);
  }
  ASSERT_EQ(tile0.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Allocation& a = *tile0[i];
    EXPECT_EQ(graph.tensors[a.tensor.index].name, expected[i].name);
    EXPECT_EQ(a.live_from, expected[i].from) << expected[i].name;
    EXPECT_EQ(a.live_until, expected[i].until) << expected[i].name;
    EXPECT_EQ(a.address - kBase, expected[i].tile0_offset) << expected[i].name;
  }

  ASSERT_EQ(schedule.peak_sram.size(), 64U);
  for (const auto& [tile, peak] : schedule.peak_sram) {
    const std::uint32_t want = tile < 8 ? 9216 : tile < 16 ? 6144 : tile < 32 ? 3072 : 2048;
    EXPECT_EQ(peak, want) << "tile " << tile;
  }
  EXPECT_TRUE(test_support::check_schedule(graph, CompilerOptions{}, schedule).empty());
}

TEST(CompileEncoder, SameInputGivesEqualSchedules) {
  const Graph graph = *encoder_graph(EncoderConfig{});
  const auto first = compile(graph, CompilerOptions{});
  const auto second = compile(graph, CompilerOptions{});
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(*first, *second);
}

TEST(CompileEncoder, KernelCommandsAndSpecialisationKeys) {
  const Graph graph = *encoder_graph(EncoderConfig{});
  const Schedule schedule = default_schedule();
  std::map<std::string, const Compute*> by_name;
  for (const Phase& phase : schedule.phases) {
    if (const auto* compute = std::get_if<Compute>(&phase)) {
      by_name[graph.ops[compute->op.index].name] = compute;
    }
  }
  const Compute& up = *by_name.at("ffn_up");  // [32, 256]: 32 tiles
  ASSERT_EQ(up.commands.size(), 32U);
  for (std::size_t i = 0; i < up.commands.size(); ++i) {
    const KernelCommand& command = up.commands[i];
    EXPECT_EQ(command.tile, i);
    EXPECT_EQ(command.output, TensorId{18});
    EXPECT_EQ(command.inputs, (std::vector<TensorId>{TensorId{17}, TensorId{5}}));
    EXPECT_EQ(command.specialization,
              (SpecializationKey{"matmul", {32, 256}, 6, i == 31 ? "tail" : "body", 16}));
  }
  // Same kind and output shape: equal keys on corresponding tiles.
  const Compute& q = *by_name.at("q");
  const Compute& k = *by_name.at("k");
  ASSERT_EQ(q.commands.size(), k.commands.size());
  for (std::size_t i = 0; i < q.commands.size(); ++i) {
    EXPECT_EQ(q.commands[i].specialization, k.commands[i].specialization);
  }
  EXPECT_EQ(by_name.at("norm1")->commands[0].specialization.operation, "layer_norm");
  EXPECT_EQ(by_name.at("attention_softmax")->commands[0].specialization.operation, "softmax");
  EXPECT_EQ(by_name.at("k_transpose")->commands[0].specialization.shape,
            (std::vector<std::uint64_t>{64, 32}));
}

TEST(Compile, SingleTileOutputRunsTheTailKernel) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 3});
  graph.mark_output(*graph.gelu("y", x));
  const auto schedule = compile(graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value());
  ASSERT_EQ(schedule->phases.size(), 1U);
  const auto& compute = std::get<Compute>(schedule->phases[0]);
  ASSERT_EQ(compute.commands.size(), 1U);
  EXPECT_EQ(compute.commands[0].specialization, (SpecializationKey{"gelu", {2, 3}, 1, "tail", 16}));
  // Only tile 0 is used, but the schedule keeps the target's tile count.
  EXPECT_EQ(schedule->tile_count, 64);
  EXPECT_EQ(schedule->peak_sram, (std::map<std::uint16_t, std::uint32_t>{{0, 64}}));
}

TEST(Compile, NoExchangeWhenEveryTensorSpansTheSameTiles) {
  Graph graph;
  const TensorId x = graph.input("x", {16, 16});
  const TensorId w = graph.weight("w", {16, 16});
  const TensorId y = *graph.matmul("y", x, w);
  const TensorId z = *graph.add("z", y, x);
  graph.mark_output(*graph.softmax("s", z, 0));
  const auto schedule = compile(graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value());
  EXPECT_EQ(schedule->phases.size(), graph.ops.size());
}

TEST(Compile, AnInputListedTwiceIsSentOnce) {
  // x (800 bytes) lies on tile 0; concat(x, x) spans tiles 0 and 1, so tile 1
  // needs x's share, once, however often the operation lists x.
  Graph graph;
  const TensorId x = graph.input("x", {200});
  const TensorId joined = *graph.concat("joined", {x, x}, 0);
  const TensorId square = *graph.mul("square", x, x);
  graph.mark_output(joined);
  graph.mark_output(square);
  const auto schedule = compile(graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  EXPECT_TRUE(test_support::check_schedule(graph, CompilerOptions{}, *schedule).empty());
  ASSERT_EQ(schedule->phases.size(), 3U);
  EXPECT_EQ(std::get<Exchange>(schedule->phases[0]).transfers,
            (std::vector<Transfer>{{0, 1, x, 800}}));
  // Kernel commands still list the operands as the operation does.
  EXPECT_EQ(std::get<Compute>(schedule->phases[1]).commands[1].inputs,
            (std::vector<TensorId>{x, x}));

  // The same for an operation made from raw records, whose output spans four
  // tiles: three sends.
  Graph doubled;
  const TensorId small = doubled.input("small", {4});
  doubled.mark_output(*doubled.op("wide", Mul{}, {small, small}, {1024}));
  const auto widened = compile(doubled, CompilerOptions{});
  ASSERT_TRUE(widened.has_value()) << widened.error();
  EXPECT_EQ(std::get<Exchange>(widened->phases[0]).transfers,
            (std::vector<Transfer>{{0, 1, small, 16}, {0, 2, small, 16}, {0, 3, small, 16}}));
}

TEST(Compile, ErrorsInTheOrderOfTheRoad) {
  Graph invalid;
  (void)invalid.input("x", {4, 0});
  EXPECT_EQ(compile(invalid, CompilerOptions{.tile_count = 0}).error(),
            CompileError::graph("invalid tensor x"));

  Graph valid;
  valid.mark_output(valid.input("x", {4, 4}));
  const auto bad_options = CompileError::graph("invalid compiler options");
  EXPECT_EQ(compile(valid, CompilerOptions{.tile_count = 0}).error(), bad_options);
  EXPECT_EQ(
      compile(valid, CompilerOptions{.tile_count = 4, .data_base = 64, .data_limit = 64}).error(),
      bad_options);

  // Memory comes last: a window too small for the first tensor.
  EXPECT_EQ(
      compile(valid, CompilerOptions{.tile_count = 1, .data_base = 0, .data_limit = 63}).error(),
      CompileError::memory("tile 0 exceeds data limit allocating x"));
  EXPECT_TRUE(compile(valid, CompilerOptions{.tile_count = 1, .data_base = 0, .data_limit = 64})
                  .has_value());
}

// Operations run in list order, so a graph assembled from records whose
// operation reads its own result or a later one is refused before anything
// is laid out, by compile with either planner and by diagnose_fit.
TEST(Compile, AnOperationReadingItsOwnOrALaterResultIsRefused) {
  for (const std::uint64_t operand : {1U, 2U}) {  // a's own output, then b's
    Graph graph;
    const TensorId a = *graph.unary("a", Relu{}, graph.input("x", {4, 4}));
    graph.mark_output(*graph.unary("b", Relu{}, a));
    graph.ops[0].inputs = {TensorId{operand}};
    ASSERT_TRUE(graph.validate().has_value());

    const auto refused = CompileError::graph("operand computed after op a");
    EXPECT_EQ(compile(graph, CompilerOptions{}).error(), refused) << operand;
    EXPECT_EQ(compile(graph, CompilerOptions{}, {.strategy = PlacementStrategy::Best}).error(),
              refused);
    EXPECT_EQ(diagnose_fit(graph, CompilerOptions{}, {}).error(), refused);
  }
}

}  // namespace
}  // namespace zelk_compiler
