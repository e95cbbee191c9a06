// The encoder block and the stacked encoder as graphs.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

#include "support/random_graphs.hpp"
#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler {
namespace {

using Shape = std::vector<std::uint64_t>;

TEST(EncoderGraph, DefaultBlockTensorsAndOperations) {
  EXPECT_EQ(EncoderConfig{}, (EncoderConfig{32, 64, 4, 256}));
  const auto graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value());
  struct Expected {
    const char* name;
    Shape shape;
    TensorKind kind;
  };
  const auto I = TensorKind::Intermediate;
  const auto W = TensorKind::Weight;
  const std::vector<Expected> expected = {
      {"input", {32, 64}, TensorKind::Input},
      {"wq", {64, 64}, W},
      {"wk", {64, 64}, W},
      {"wv", {64, 64}, W},
      {"wo", {64, 64}, W},
      {"w1", {64, 256}, W},
      {"w2", {256, 64}, W},
      {"norm1", {32, 64}, I},
      {"q", {32, 64}, I},
      {"k", {32, 64}, I},
      {"v", {32, 64}, I},
      {"k_transpose", {64, 32}, I},
      {"attention_scores", {32, 32}, I},
      {"attention_softmax", {32, 32}, I},
      {"attention_context", {32, 64}, I},
      {"attention_projection", {32, 64}, I},
      {"attention_residual", {32, 64}, I},
      {"norm2", {32, 64}, I},
      {"ffn_up", {32, 256}, I},
      {"ffn_gelu", {32, 256}, I},
      {"ffn_down", {32, 64}, I},
      {"ffn_residual", {32, 64}, TensorKind::Output},
  };
  ASSERT_EQ(graph->tensors.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(graph->tensors[i].name, expected[i].name);
    EXPECT_EQ(graph->tensors[i].shape, expected[i].shape) << expected[i].name;
    EXPECT_EQ(graph->tensors[i].kind, expected[i].kind) << expected[i].name;
  }
  EXPECT_EQ(graph->outputs, (std::vector<TensorId>{TensorId{21}}));

  // Operand order: activation left, weight right; residuals take the older
  // value on the left.
  const auto ids = [](std::initializer_list<std::uint64_t> list) {
    std::vector<TensorId> result;
    for (const auto i : list) result.push_back(TensorId{i});
    return result;
  };
  const std::vector<std::pair<OpKind, std::vector<TensorId>>> ops = {
      {LayerNorm{1e-5F}, ids({0})}, {MatMul{}, ids({7, 1})},       {MatMul{}, ids({7, 2})},
      {MatMul{}, ids({7, 3})},      {Transpose{{1, 0}}, ids({9})}, {MatMul{}, ids({8, 11})},
      {Softmax{1}, ids({12})},      {MatMul{}, ids({13, 10})},     {MatMul{}, ids({14, 4})},
      {Add{}, ids({0, 15})},        {LayerNorm{1e-5F}, ids({16})}, {MatMul{}, ids({17, 5})},
      {Gelu{}, ids({18})},          {MatMul{}, ids({19, 6})},      {Add{}, ids({16, 20})},
  };
  ASSERT_EQ(graph->ops.size(), ops.size());
  for (std::size_t j = 0; j < ops.size(); ++j) {
    const Op& op = graph->ops[j];
    EXPECT_EQ(op.kind, ops[j].first) << op.name;
    EXPECT_EQ(op.inputs, ops[j].second) << op.name;
    EXPECT_EQ(op.output, TensorId{j + 7}) << op.name;
    EXPECT_EQ(op.name, graph->tensors[j + 7].name);
  }
  EXPECT_EQ(std::bit_cast<std::uint32_t>(std::get<LayerNorm>(graph->ops[0].kind).epsilon),
            0x3727C5ACU);
}

TEST(EncoderGraph, InvalidDimensionsNameTheFirstRuleBroken) {
  struct Case {
    EncoderConfig config;
    std::uint64_t layers;
    EncoderFault fault;
  };
  const std::vector<Case> cases = {
      {{32, 64, 0, 256}, 1, EncoderFault::ZeroHeads},
      {{32, 0, 4, 256}, 1, EncoderFault::ZeroHidden},
      {{0, 64, 4, 256}, 1, EncoderFault::ZeroSequence},
      {{32, 64, 3, 256}, 1, EncoderFault::HeadsDoNotDivideHidden},
      {{32, 4, 8, 256}, 1, EncoderFault::HeadsDoNotDivideHidden},
      {{0, 0, 0, 256}, 0, EncoderFault::ZeroHidden},
      {{0, 64, 3, 256}, 0, EncoderFault::ZeroSequence},
      {{32, 64, 3, 256}, 0, EncoderFault::HeadsDoNotDivideHidden},
      {{32, 64, 4, 256}, 0, EncoderFault::NoLayers},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(debug_string(c.config) + ", layers " + std::to_string(c.layers));
    EXPECT_EQ(encoder_fault(c.config, c.layers), c.fault);
    EXPECT_EQ(encoder_stack_graph(c.config, c.layers).error(),
              CompileError::graph("invalid encoder dimensions"));
    if (c.layers == 1) {
      EXPECT_EQ(encoder_graph(c.config).error(), CompileError::graph("invalid encoder dimensions"));
    }
  }
  EXPECT_EQ(debug_string(EncoderFault::HeadsDoNotDivideHidden), "HeadsDoNotDivideHidden");
}

TEST(EncoderGraph, ValidDimensionsHaveNoFault) {
  for (const EncoderConfig& config :
       {EncoderConfig{}, EncoderConfig{1, 1, 1, 0}, EncoderConfig{32, 64, 64, 256}}) {
    EXPECT_EQ(encoder_fault(config), std::nullopt) << config;
    EXPECT_EQ(encoder_fault(config, 12), std::nullopt) << config;
  }
}

TEST(EncoderGraph, HeadCountOnlyConstrainsTheWidth) {
  const Graph reference = *encoder_graph(EncoderConfig{32, 64, 4, 256});
  EXPECT_EQ(*encoder_graph(EncoderConfig{32, 64, 64, 256}), reference);
  EXPECT_EQ(*encoder_graph(EncoderConfig{32, 64, 1, 256}), reference);
}

TEST(EncoderGraph, ZeroFeedForwardBuildsButFailsValidation) {
  const auto graph = encoder_graph(EncoderConfig{4, 8, 2, 0});
  ASSERT_TRUE(graph.has_value());
  EXPECT_EQ(graph->tensors[5].shape, (Shape{8, 0}));
  EXPECT_EQ(graph->tensors[18].shape, (Shape{4, 0}));
  EXPECT_EQ(compile(*graph, CompilerOptions{}).error(), CompileError::graph("invalid tensor w1"));
}

TEST(EncoderStack, LayersAreChainedAndPrefixed) {
  const EncoderConfig config{8, 16, 2, 32};
  const Graph block = *encoder_graph(config);
  const auto stack = encoder_stack_graph(config, 3);
  ASSERT_TRUE(stack.has_value());
  ASSERT_EQ(stack->tensors.size(), 1 + 3 * 21U);
  ASSERT_EQ(stack->ops.size(), 3 * 15U);
  EXPECT_EQ(stack->tensors[0].name, "input");
  EXPECT_EQ(stack->tensors[1].name, "l0.wq");
  EXPECT_EQ(stack->tensors[22].name, "l1.wq");
  EXPECT_EQ(stack->tensors[1 + 2 * 21 + 11].name, "l2.attention_scores");

  // Layer n mirrors the block: same kinds, shapes and names after the prefix,
  // and its first operation reads layer n - 1's result.
  for (std::uint64_t layer = 0; layer < 3; ++layer) {
    const std::string prefix = test_support::numbered("l", layer) + ".";
    for (std::size_t i = 1; i < block.tensors.size(); ++i) {
      const Tensor& t = stack->tensors[1 + layer * 21 + (i - 1)];
      EXPECT_EQ(t.name, prefix + block.tensors[i].name);
      EXPECT_EQ(t.shape, block.tensors[i].shape);
    }
    const Op& norm1 = stack->ops[layer * 15];
    const std::uint64_t previous = layer == 0 ? 0 : 1 + (layer - 1) * 21 + 20;
    EXPECT_EQ(norm1.inputs, (std::vector<TensorId>{TensorId{previous}}));
    const Op& residual = stack->ops[layer * 15 + 9];
    EXPECT_EQ(residual.inputs[0], TensorId{previous}) << "attention_residual reads the block input";
  }
  const TensorId last{stack->tensors.size() - 1};
  EXPECT_EQ(stack->tensors[last.index].name, "l2.ffn_residual");
  EXPECT_EQ(stack->outputs, std::vector<TensorId>{last});
  EXPECT_EQ(stack->tensors[21].kind, TensorKind::Intermediate);  // l0.ffn_residual
  EXPECT_TRUE(stack->validate().has_value());
  EXPECT_TRUE(compile(*stack, CompilerOptions{}).has_value());
}

}  // namespace
}  // namespace zelk_compiler
