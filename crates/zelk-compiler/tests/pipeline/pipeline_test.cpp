// Pipelines of stages: stage graphs, the split compile_pipeline chooses,
// its evaluation stage by stage, its schedules and its checker.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "support/random_graphs.hpp"
#include "support/schedule_checker.hpp"
#include "zelk_compiler/cost_model.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/encoder.hpp"
#include "zelk_compiler/evaluate.hpp"
#include "zelk_compiler/fit.hpp"
#include "zelk_compiler/pipeline.hpp"

namespace zelk_compiler {
namespace {

using test_support::Random;

constexpr EncoderConfig kSmall{.sequence = 8, .hidden = 16, .heads = 2, .feed_forward = 32};

// A value for every source tensor of `graph`, the same on every run.
TensorValues source_values(const Graph& graph) {
  Random random(7);
  TensorValues values;
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.producer) {
      continue;
    }
    std::vector<float> data(tensor.elements());
    for (float& value : data) {
      value = static_cast<float>(random.between(0, 2000)) / 1000.0F - 1.0F;
    }
    values[tensor.name] = std::move(data);
  }
  return values;
}

// The whole graph's outputs computed stage after stage, each stage's
// outputs passed on by name.
TensorValues evaluate_stages(const Graph& graph, const Pipeline& pipeline,
                             const TensorValues& sources) {
  TensorValues known = sources;
  for (const PipelineStage& stage : pipeline.stages) {
    auto outputs = evaluate(stage.graph, known);
    EXPECT_TRUE(outputs.has_value()) << debug_string(outputs.error());
    if (!outputs) {
      return {};
    }
    known.merge(*outputs);
  }
  TensorValues result;
  for (const TensorId output : graph.outputs) {
    const std::string& name = graph.tensors[output.index].name;
    result[name] = known.at(name);
  }
  return result;
}

void expect_same_bits(const TensorValues& expected, const TensorValues& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (const auto& [name, values] : expected) {
    const std::vector<float>& other = actual.at(name);
    ASSERT_EQ(values.size(), other.size()) << name;
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(values[i]), std::bit_cast<std::uint32_t>(other[i]))
          << name << "[" << i << "]";
    }
  }
}

// A chip on which one block of kSmall fits but a stack of four does not.
CompilerOptions small_chip() {
  return CompilerOptions{.tile_count = 4, .data_base = 0, .data_limit = 24 * 1024};
}

TEST(Pipeline, AStackTooLargeForOneChipRunsOnTheFewestThatFit) {
  const Graph graph = encoder_stack_graph(kSmall, 4).value();
  const CompilerOptions options = small_chip();
  ASSERT_FALSE(compile(graph, options).has_value());
  const auto pipeline = compile_pipeline(graph, options, PipelineOptions{});
  ASSERT_TRUE(pipeline.has_value()) << debug_string(pipeline.error());
  ASSERT_GE(pipeline->stages.size(), 2U);
  // One fewer chip has no split that fits.
  const auto fewer =
      compile_pipeline(graph, options, PipelineOptions{.chips = pipeline->stages.size() - 1});
  EXPECT_FALSE(fewer.has_value());
  EXPECT_TRUE(check_pipeline(graph, *pipeline).empty());
}

TEST(Pipeline, StagesEvaluateToTheWholeGraphsBitsAndPassTheScheduleChecker) {
  const Graph graph = encoder_stack_graph(kSmall, 4).value();
  const TensorValues sources = source_values(graph);
  const TensorValues whole = evaluate(graph, sources).value();
  for (const std::uint64_t chips : {1U, 2U, 3U, 5U}) {
    for (const std::uint64_t microbatches : {1U, 8U}) {
      const CompilerOptions options{.tile_count = 16};
      const auto pipeline = compile_pipeline(
          graph, options, PipelineOptions{.chips = chips, .microbatches = microbatches});
      ASSERT_TRUE(pipeline.has_value()) << debug_string(pipeline.error());
      ASSERT_EQ(pipeline->stages.size(), chips);
      const std::vector<std::string> problems = check_pipeline(graph, *pipeline);
      EXPECT_TRUE(problems.empty()) << problems.front();
      for (const PipelineStage& stage : pipeline->stages) {
        const auto stage_problems =
            test_support::check_schedule(stage.graph, options, stage.schedule);
        EXPECT_TRUE(stage_problems.empty()) << stage_problems.front();
        EXPECT_EQ(stage.schedule, compile(stage.graph, options).value());
      }
      expect_same_bits(whole, evaluate_stages(graph, *pipeline, sources));
    }
  }
}

TEST(Pipeline, GeneratedGraphsSplitSoundly) {
  Random random(2024);
  int evaluated = 0;
  for (int round = 0; round < 60; ++round) {
    const Graph graph =
        test_support::random_graph(random, test_support::GraphShape{.misfits = false});
    const CompilerOptions options{.tile_count = static_cast<std::uint16_t>(random.between(1, 16))};
    if (!compile(graph, options)) {
      continue;
    }
    const std::uint64_t chips = random.between(1, std::min<std::uint64_t>(4, graph.ops.size()));
    const auto pipeline = compile_pipeline(graph, options, PipelineOptions{.chips = chips});
    if (!pipeline) {
      // Only when the cut points are too few for that many stages.
      EXPECT_EQ(pipeline.error().kind, CompileError::Kind::Memory) << pipeline.error();
      continue;
    }
    const std::vector<std::string> problems = check_pipeline(graph, *pipeline);
    ASSERT_TRUE(problems.empty()) << "round " << round << ": " << problems.front();
    const TensorValues sources = source_values(graph);
    if (const auto whole = evaluate(graph, sources)) {
      ++evaluated;
      expect_same_bits(*whole, evaluate_stages(graph, *pipeline, sources));
    }
  }
  EXPECT_GT(evaluated, 10);
}

// x -> a = x.w -> b = gelu(a) -> c = b.w -> d = a + c, cut after every
// operation: w lives on chips 0 and 2, a goes from chip 0 to chips 1 and 3.
TEST(Pipeline, SharedWeightsLiveOnEveryChipAndValuesGoOnceToEachChipThatNeedsThem) {
  Graph graph;
  const TensorId x = graph.input("x", {4, 8});
  const TensorId w = graph.weight("w", {8, 8});
  const TensorId a = graph.matmul("a", x, w).value();
  const TensorId b = graph.gelu("b", a).value();
  const TensorId c = graph.matmul("c", b, w).value();
  graph.mark_output(graph.add("d", a, c).value());
  const auto pipeline =
      compile_pipeline(graph, CompilerOptions{}, PipelineOptions{.cut_after = {"c", "a", "b"}});
  ASSERT_TRUE(pipeline.has_value()) << debug_string(pipeline.error());
  ASSERT_EQ(pipeline->stages.size(), 4U);
  const auto names = [](const std::vector<LinkTransfer>& transfers) {
    std::vector<std::string> listed;
    for (const LinkTransfer& transfer : transfers) {
      listed.push_back(
          transfer.name +
          (transfer.from_chip ? " " + std::to_string(*transfer.from_chip) : std::string(" host")) +
          ">" + std::to_string(transfer.to_chip));
    }
    return listed;
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(names(pipeline->stages[0].received), (Names{"x host>0"}));
  EXPECT_EQ(names(pipeline->stages[0].sent), (Names{"a 0>1", "a 0>3"}));
  EXPECT_EQ(names(pipeline->stages[2].received), (Names{"b 1>2"}));
  EXPECT_EQ(names(pipeline->stages[3].received), (Names{"a 0>3", "c 2>3"}));
  for (const std::size_t chip : {0U, 2U}) {
    const Graph& stage = pipeline->stages[chip].graph;
    EXPECT_TRUE(std::ranges::any_of(stage.tensors,
                                    [](const Tensor& tensor) {
                                      return tensor.name == "w" &&
                                             tensor.kind == TensorKind::Weight;
                                    }))
        << "chip " << chip;
  }
  EXPECT_EQ(pipeline->stages[0].graph.outputs.size(), 1U);  // a, sent on
  EXPECT_EQ(pipeline->stages[0].received[0].bytes, 4U * 8U * 4U);
  EXPECT_TRUE(check_pipeline(graph, *pipeline).empty());
  // Each stage waits for what it receives from other chips.
  EXPECT_EQ(pipeline->stages[3].cycles - pipeline->stages[3].compute_cycles,
            2U * 4U * 8U * 4U / PipelineOptions{}.link_bytes_per_cycle);
  EXPECT_EQ(pipeline->stages[0].cycles, pipeline->stages[0].compute_cycles);
}

TEST(Pipeline, TimesAddUpOverMicrobatches) {
  const Graph graph = encoder_stack_graph(kSmall, 3).value();
  const auto pipeline = compile_pipeline(graph, CompilerOptions{.tile_count = 16},
                                         PipelineOptions{.chips = 3, .microbatches = 4});
  ASSERT_TRUE(pipeline.has_value());
  std::uint64_t sum = 0;
  std::uint64_t slowest = 0;
  for (const PipelineStage& stage : pipeline->stages) {
    sum += stage.cycles;
    slowest = std::max(slowest, stage.cycles);
  }
  EXPECT_EQ(pipeline->stages[pipeline->bottleneck].cycles, slowest);
  EXPECT_EQ(pipeline->total_cycles, sum + 3 * slowest);
  EXPECT_DOUBLE_EQ(pipeline->cycles_per_microbatch,
                   static_cast<double>(pipeline->total_cycles) / 4.0);
  EXPECT_GT(pipeline->bubble_fraction, 0.0);
  EXPECT_LT(pipeline->bubble_fraction, 1.0);
}

// The cuts are chosen on the costs of the whole graph's phases; each stage's
// own schedule must cost the same, or the split chosen is not the best one.
TEST(Pipeline, StageCyclesAreThoseOfTheirOperationsInTheWholeSchedule) {
  const Graph graph = encoder_stack_graph(kSmall, 3).value();
  const CompilerOptions options{.tile_count = 16};
  const Schedule whole = compile(graph, options).value();
  const std::vector<double> phases = phase_cycles(graph, whole, CostModel{});
  std::vector<std::uint64_t> by_op(graph.ops.size(), 0);
  std::uint64_t pending = 0;
  for (std::size_t index = 0; index < whole.phases.size(); ++index) {
    pending += static_cast<std::uint64_t>(phases[index]);
    if (const auto* compute = std::get_if<Compute>(&whole.phases[index])) {
      by_op[compute->op.index] = pending;
      pending = 0;
    }
  }
  for (const std::uint64_t chips : {2U, 4U}) {
    const Pipeline pipeline =
        compile_pipeline(graph, options, PipelineOptions{.chips = chips}).value();
    for (const PipelineStage& stage : pipeline.stages) {
      std::uint64_t expected = 0;
      for (const OpId op : stage.ops) {
        expected += by_op[op.index];
      }
      EXPECT_EQ(stage.compute_cycles, expected) << "chip " << stage.chip << " of " << chips;
    }
  }
}

TEST(Pipeline, TheCheckerCatchesLostAndRepeatedOperationsAndUnsuppliedInputs) {
  const Graph graph = encoder_stack_graph(kSmall, 2).value();
  const Pipeline sound =
      compile_pipeline(graph, CompilerOptions{.tile_count = 16}, PipelineOptions{.chips = 2})
          .value();
  ASSERT_TRUE(check_pipeline(graph, sound).empty());
  const auto first_problem = [&](auto&& tamper) {
    Pipeline broken = sound;
    tamper(broken);
    const std::vector<std::string> problems = check_pipeline(graph, broken);
    return problems.empty() ? std::string("none") : problems.front();
  };
  // The last operation of stage 0 dropped.
  EXPECT_NE(first_problem([](Pipeline& p) {
              p.stages[0].ops.pop_back();
              p.stages[0].graph.ops.pop_back();
            }).find("is in 0 stages"),
            std::string::npos);
  // The first operation of stage 1 run on stage 0 as well.
  EXPECT_NE(first_problem([](Pipeline& p) {
              p.stages[0].ops.push_back(p.stages[1].ops.front());
              p.stages[0].graph.ops.push_back(p.stages[1].graph.ops.front());
            }).find("out of graph order"),
            std::string::npos);
  // Stage 1 reads a value nobody sends it.
  EXPECT_NE(first_problem([](Pipeline& p) {
              p.stages[0].sent.clear();
            }).find("neither a graph input nor sent by an earlier stage"),
            std::string::npos);
  // Stages swapped.
  EXPECT_NE(
      first_problem([](Pipeline& p) { std::swap(p.stages[0], p.stages[1]); }).find("runs on chip"),
      std::string::npos);
}

TEST(Pipeline, RefusesBadOptionsWithAClearError) {
  const Graph graph = encoder_stack_graph(kSmall, 2).value();
  const std::string last = graph.ops.back().name;
  const std::vector<std::pair<PipelineOptions, std::string>> cases = {
      {PipelineOptions{.microbatches = 0}, "microbatches must be at least 1"},
      {PipelineOptions{.max_chips = 0}, "max_chips must be at least 1"},
      {PipelineOptions{.link_bytes_per_cycle = 0}, "the link's bytes per cycle must be at least 1"},
      {PipelineOptions{.cost = CostModel{.macs_per_cycle = 0}},
       "the cost model's clock and rates must be above 0"},
      {PipelineOptions{.chips = 1000},
       "more chips (1000) than operations (" + std::to_string(graph.ops.size()) + ")"},
      {PipelineOptions{.cut_after = {"nothing"}}, "cut after nothing: no operation has that name"},
      {PipelineOptions{.cut_after = {last}},
       "cut after " + last + ": it is the last operation, so the stage after is empty"},
      {PipelineOptions{.cut_after = {graph.ops[3].name, graph.ops[3].name}},
       "cut after " + graph.ops[3].name + ": named twice"},
      {PipelineOptions{.chips = 3, .cut_after = {graph.ops[3].name}},
       "1 cuts make 2 stages, not 3"},
  };
  for (const auto& [pipeline, message] : cases) {
    const auto result = compile_pipeline(graph, CompilerOptions{}, pipeline);
    ASSERT_FALSE(result.has_value()) << message;
    EXPECT_EQ(result.error(), CompileError::graph(message));
  }
  EXPECT_EQ(compile_pipeline(graph, CompilerOptions{.tile_count = 0}, PipelineOptions{}).error(),
            compile(graph, CompilerOptions{.tile_count = 0}).error());
}

TEST(Pipeline, NamesTheOperationThatFitsNoChip) {
  // The product's weight alone is far past a one-tile window.
  Graph graph;
  const TensorId x = graph.input("x", {4, 64});
  const TensorId small = graph.gelu("small", x).value();
  const TensorId big = graph.matmul("big", small, graph.weight("w", {64, 1024})).value();
  graph.mark_output(graph.gelu("after", big).value());
  const CompilerOptions options{.tile_count = 1, .data_base = 0, .data_limit = 16 * 1024};
  // Cut after each operation, the product is a stage of its own; the cuts
  // chosen by crossing bytes put the product and the step after it together.
  const std::vector<std::pair<PipelineOptions, std::string>> cases = {
      {PipelineOptions{.cut_after = {"small", "big"}},
       "operation big alone does not fit one chip:\n"},
      {PipelineOptions{.max_chips = 3},
       "the stage of operations big to after, the smallest the cuts allow, does not fit one "
       "chip:\n"},
  };
  for (const auto& [pipeline, start] : cases) {
    const auto result = compile_pipeline(graph, options, pipeline);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, CompileError::Kind::Memory);
    EXPECT_TRUE(result.error().message.starts_with(start)) << result.error().message;
    EXPECT_NE(result.error().message.find("no placement can fit: the lower bound alone is"),
              std::string::npos)
        << result.error().message;
  }
}

TEST(Pipeline, StageGraphKeepsNamesAndTurnsCrossingValuesIntoInputsAndOutputs) {
  const Graph graph = encoder_stack_graph(kSmall, 2).value();
  const std::uint64_t half = graph.ops.size() / 2;
  const Graph stage = stage_graph(graph, half, graph.ops.size()).value();
  EXPECT_TRUE(stage.validate().has_value());
  EXPECT_EQ(stage.ops.size(), graph.ops.size() - half);
  for (const Tensor& tensor : stage.tensors) {
    const auto original = std::ranges::find(graph.tensors, tensor.name, &Tensor::name);
    ASSERT_NE(original, graph.tensors.end()) << tensor.name;
    EXPECT_EQ(tensor.shape, original->shape);
    if (tensor.kind == TensorKind::Input) {
      EXPECT_TRUE(!original->producer || original->producer->index < half) << tensor.name;
    }
  }
  EXPECT_FALSE(stage_graph(graph, 2, 2).has_value());
  EXPECT_FALSE(stage_graph(graph, 0, graph.ops.size() + 1).has_value());
}

// Every cut of a chain is as narrow as the next; past 1,024 candidates the
// search keeps 1,024 spread evenly, and the split is still sound.
TEST(Pipeline, ALongChainSplitsAtTheCandidateCutsKept) {
  constexpr std::uint64_t kOps = 1100;
  Graph graph;
  TensorId x = graph.input("x", {2, 4});
  for (std::uint64_t op = 0; op < kOps; ++op) {
    std::string name = "g";
    name += std::to_string(op);
    x = graph.gelu(name, x).value();
  }
  graph.mark_output(x);
  const auto pipeline =
      compile_pipeline(graph, CompilerOptions{}, PipelineOptions{.chips = 3, .microbatches = 4});
  ASSERT_TRUE(pipeline.has_value()) << pipeline.error();
  EXPECT_EQ(check_pipeline(graph, *pipeline), std::vector<std::string>{});
  ASSERT_EQ(pipeline->stages.size(), 3U);
  // Cut k of those kept is the candidate at (k + 1) x 1099 / 1025, the
  // cut before operation that + 1.
  std::vector<std::uint64_t> kept;
  for (std::uint64_t k = 0; k < 1024; ++k) {
    kept.push_back((k + 1) * (kOps - 1) / 1025 + 1);
  }
  for (const PipelineStage& stage : pipeline->stages) {
    if (stage.chip != 0) {
      EXPECT_TRUE(std::ranges::binary_search(kept, stage.ops.front().index))
          << "chip " << stage.chip << " starts at " << stage.ops.front().index;
    }
  }
}

}  // namespace
}  // namespace zelk_compiler
