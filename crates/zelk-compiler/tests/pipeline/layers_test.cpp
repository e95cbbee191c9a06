// Layers of a graph and the split by layers per stage: what a layer is on
// stacks with and without an embedding and an output head, the counts that
// do not add up, and the chosen split against an equal one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/random_graphs.hpp"
#include "zelk_compiler/encoder.hpp"
#include "zelk_compiler/pipeline.hpp"

namespace zelk_compiler {
namespace {

using test_support::Random;

constexpr EncoderConfig kSmall{.sequence = 8, .hidden = 16, .heads = 2, .feed_forward = 32};

std::vector<std::string> first_ops(const Graph& graph, const std::vector<std::uint64_t>& starts) {
  std::vector<std::string> names;
  for (const std::uint64_t start : starts) {
    names.push_back(graph.ops.at(start).name);
  }
  return names;
}

// A decoder-like stack: an input projection, `layers` blocks (norm, a
// feed-forward pair, residual), a final norm and an output head of
// `vocabulary` columns.
Graph decoder(std::uint64_t layers, std::uint64_t hidden, std::uint64_t vocabulary) {
  constexpr std::uint64_t kSequence = 8;
  Graph graph;
  TensorId x = graph.input("tokens", {kSequence, 4});
  x = graph.matmul("embed", x, graph.weight("embedding", {4, hidden})).value();
  for (std::uint64_t layer = 0; layer < layers; ++layer) {
    std::string at = "b";
    at += std::to_string(layer);
    at += '.';
    const TensorId norm = graph.layer_norm(at + "norm", x, 1e-5F).value();
    const TensorId up =
        graph.matmul(at + "up", norm, graph.weight(at + "w1", {hidden, 4 * hidden})).value();
    const TensorId act = graph.gelu(at + "gelu", up).value();
    const TensorId down =
        graph.matmul(at + "down", act, graph.weight(at + "w2", {4 * hidden, hidden})).value();
    x = graph.add(at + "residual", x, down).value();
  }
  const TensorId norm = graph.layer_norm("final_norm", x, 1e-5F).value();
  graph.mark_output(
      graph.matmul("head", norm, graph.weight("head_w", {hidden, vocabulary})).value());
  return graph;
}

TEST(GraphLayers, AStackHasOneLayerPerBlock) {
  for (const std::uint64_t blocks : {1U, 2U, 5U}) {
    const Graph graph = encoder_stack_graph(kSmall, blocks).value();
    std::vector<std::string> expected;
    for (std::uint64_t block = 0; block < blocks; ++block) {
      std::string name = "l";
      name += std::to_string(block);
      name += ".norm1";
      expected.push_back(name);
    }
    EXPECT_EQ(first_ops(graph, graph_layers(graph).value()), expected) << blocks << " blocks";
  }
}

TEST(GraphLayers, TheEmbeddingJoinsTheFirstLayerAndTheHeadTheLast) {
  const Graph graph = decoder(3, 16, 100);
  EXPECT_EQ(first_ops(graph, graph_layers(graph).value()),
            (std::vector<std::string>{"embed", "b1.norm", "b2.norm"}));
}

TEST(GraphLayers, AGraphThatRepeatsNothingIsOneLayer) {
  Graph graph;
  const TensorId x = graph.input("x", {4, 8});
  const TensorId a = graph.gelu("a", x).value();
  const TensorId b = graph.softmax("b", a, 1).value();
  graph.mark_output(graph.matmul("c", b, graph.weight("w", {8, 2})).value());
  EXPECT_EQ(graph_layers(graph).value(), (std::vector<std::uint64_t>{0}));
  EXPECT_FALSE(graph_layers(Graph{}).has_value());
}

TEST(LayersPerStage, CutsBetweenTheCountedLayers) {
  const Graph graph = encoder_stack_graph(kSmall, 4).value();
  const auto by_layers =
      compile_pipeline(graph, CompilerOptions{}, PipelineOptions{.layers_per_stage = {3, 1}});
  const auto by_name =
      compile_pipeline(graph, CompilerOptions{}, PipelineOptions{.cut_after = {"l2.ffn_residual"}});
  ASSERT_TRUE(by_layers.has_value()) << by_layers.error();
  EXPECT_EQ(by_layers, by_name);
  EXPECT_EQ(check_pipeline(graph, *by_layers), std::vector<std::string>{});
}

TEST(LayersPerStage, RefusesCountsThatDoNotMakeTheGraphsLayers) {
  const Graph graph = encoder_stack_graph(kSmall, 4).value();
  const std::vector<std::pair<PipelineOptions, std::string>> cases = {
      {PipelineOptions{.layers_per_stage = {2, 1}},
       "layers per stage add up to 2 + 1 = 3, but the graph has 4 layers (the first operations "
       "l0.norm1 to l0.ffn_residual)"},
      {PipelineOptions{.layers_per_stage = {5}},
       "layers per stage add up to 5, but the graph has 4 layers (the first operations l0.norm1 "
       "to l0.ffn_residual)"},
      {PipelineOptions{.layers_per_stage = {4, 0}}, "layers per stage: a stage of 0 layers"},
      {PipelineOptions{.chips = 3, .layers_per_stage = {2, 2}},
       "2 layer counts make 2 stages, not 3"},
      {PipelineOptions{.cut_after = {"l0.q"}, .layers_per_stage = {2, 2}},
       "cut after named operations or by layers per stage, not both"},
  };
  for (const auto& [pipeline, message] : cases) {
    const auto result = compile_pipeline(graph, CompilerOptions{}, pipeline);
    ASSERT_FALSE(result.has_value()) << message;
    EXPECT_EQ(result.error(), CompileError::graph(message));
  }
}

// On generated decoders, the split chosen for a count of chips is never
// slower than the equal split of layers on as many, and fits whenever the
// equal split does.
TEST(LayersPerStage, TheChosenSplitIsNeverWorseThanAnEqualOne) {
  Random random(24);
  int compared = 0;
  for (int trial = 0; trial < 12; ++trial) {
    const std::uint64_t chips = random.between(2, 4);
    const std::uint64_t layers = chips * random.between(1, 3);
    const Graph graph = decoder(layers, 16, 64 * random.between(1, 16));
    const CompilerOptions options{
        .tile_count = 8,
        .data_base = 0,
        .data_limit = static_cast<std::uint32_t>(1024 * random.between(6, 24))};
    const std::uint64_t microbatches = random.between(1, 8);
    const auto chosen = compile_pipeline(
        graph, options, PipelineOptions{.chips = chips, .microbatches = microbatches});
    const auto equal = compile_pipeline(
        graph, options,
        PipelineOptions{.chips = chips,
                        .microbatches = microbatches,
                        .layers_per_stage = std::vector<std::uint64_t>(chips, layers / chips)});
    if (!equal) {
      continue;
    }
    ++compared;
    ASSERT_TRUE(chosen.has_value()) << "trial " << trial << ": " << chosen.error();
    EXPECT_LE(chosen->total_cycles, equal->total_cycles) << "trial " << trial;
  }
  EXPECT_GE(compared, 6);
}

}  // namespace
}  // namespace zelk_compiler
