// evaluate, kind by kind and on generated graphs, against the literal
// evaluation: every element must come out with the same bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "evaluate/literal_agreement.hpp"
#include "reference/float_testing.hpp"
#include "support/literal_evaluation.hpp"
#include "support/random_graphs.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/evaluate.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {
namespace {

using Shape = std::vector<std::uint64_t>;
using test_support::agrees;
using test_support::literal_evaluate;
using test_support::same_bits;
using test_support::ValueSource;

// A value for every source tensor of `graph`, ordinary numbers with special
// ones mixed in.
TensorValues values_for(const Graph& graph, ValueSource& source) {
  TensorValues values;
  for (const Tensor& tensor : graph.tensors) {
    if (!tensor.producer) values[tensor.name] = source.list(tensor.elements());
  }
  return values;
}

// One operation made by `build` from an input "a" and a weight "b" of the
// given shapes (an empty `b` shape leaves "b" out).
testing::AssertionResult agrees_on(
    Shape a_shape, Shape b_shape,
    const std::function<Result<TensorId>(Graph&, TensorId, TensorId)>& build, ValueSource& source) {
  Graph graph;
  const TensorId a = graph.input("a", a_shape);
  const TensorId b = b_shape.empty() ? a : graph.weight("b", b_shape);
  const auto out = build(graph, a, b);
  if (!out) return testing::AssertionFailure() << out.error();
  graph.mark_output(*out);
  return agrees(graph, values_for(graph, source));
}

TEST(EvaluateKinds, BroadcastingBinaryOperationsMatchTheLiteralLoops) {
  const std::vector<std::pair<Shape, Shape>> shapes = {
      {{3, 5}, {3, 5}},          {{2, 16, 8}, {8}},     {{8}, {2, 3, 8}},
      {{4, 1, 3}, {5, 1}},       {{2, 3}, {1}},         {{1}, {7}},
      {{2, 1, 4, 1}, {3, 1, 5}}, {{1, 1}, {1, 1}},      {{6, 1}, {1, 6}},
      {{2, 3, 4}, {2, 1, 4}},    {{2, 70, 3}, {70, 1}},
  };
  ValueSource source(11);
  for (const auto& [left, right] : shapes) {
    for (const OpKind& kind :
         {OpKind{Add{}}, OpKind{Sub{}}, OpKind{Mul{}}, OpKind{Div{}}, OpKind{Pow{}}}) {
      EXPECT_TRUE(agrees_on(
          left, right,
          [&](Graph& g, TensorId a, TensorId b) { return g.elementwise("out", kind, a, b); },
          source))
          << kind << " of " << debug_string(left) << " and " << debug_string(right);
    }
  }
}

TEST(EvaluateKinds, UnaryKindsApplyTheirFormulaToEveryElement) {
  // More than one chunk of the vectorised GELU, with special values mixed in.
  ValueSource source(5, 8.0F, 10);
  for (const OpKind& kind : {OpKind{Gelu{}}, OpKind{GeluErf{}}, OpKind{Relu{}}, OpKind{Erf{}},
                             OpKind{Tanh{}}, OpKind{Sqrt{}}, OpKind{Exp{}}}) {
    EXPECT_TRUE(agrees_on(
        {7, 100}, {}, [&](Graph& g, TensorId a, TensorId) { return g.unary("y", kind, a); },
        source))
        << kind;
  }
  // A few values worked out by hand.
  Graph graph;
  const TensorId x = graph.input("x", {4});
  graph.mark_output(*graph.unary("relu", Relu{}, x));
  graph.mark_output(*graph.unary("gelu", GeluErf{}, x));
  const auto result = evaluate(graph, {{"x", {-0.0F, -1.0F, 0.0F, 3.0F}}});
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(same_bits(result->at("relu"), std::vector<float>{0.0F, 0.0F, 0.0F, 3.0F}));
  EXPECT_NEAR(result->at("gelu")[1], -0.15865525F, 1e-7F);
  EXPECT_NEAR(result->at("gelu")[3], 2.99595031F, 1e-6F);
}

TEST(EvaluateKinds, BatchedProductsMultiplyEverySliceInAscendingOrder) {
  const std::vector<std::pair<Shape, Shape>> shapes = {
      {{5, 7}, {7, 3}},          {{2, 3, 4}, {4, 5}},    {{4, 5}, {2, 5, 3}},
      {{3, 1, 4, 5}, {2, 5, 6}}, {{1, 2, 3}, {1, 3, 2}}, {{2, 2, 9, 70}, {2, 2, 70, 33}},
      {{2, 1, 3}, {1, 3, 1}},
  };
  ValueSource source(3, 2.0F, 0);
  for (const auto& [left, right] : shapes) {
    EXPECT_TRUE(agrees_on(
        left, right, [](Graph& g, TensorId a, TensorId b) { return g.batch_matmul("p", a, b); },
        source))
        << debug_string(left) << " x " << debug_string(right);
  }
}

TEST(EvaluateKinds, TransposesOfAnyRankMoveEveryElement) {
  const std::vector<std::pair<Shape, Shape>> cases = {
      {{3}, {0}},
      {{3, 4}, {1, 0}},
      {{2, 3, 4}, {2, 0, 1}},
      {{1, 5, 3, 4}, {0, 2, 1, 3}},
      {{2, 3, 1, 4, 5}, {4, 2, 0, 3, 1}},
      {{2, 1, 3}, {1, 0, 2}},
  };
  ValueSource source(7);
  for (const auto& [shape, permutation] : cases) {
    EXPECT_TRUE(agrees_on(
        shape, {}, [&](Graph& g, TensorId a, TensorId) { return g.transpose("t", a, permutation); },
        source))
        << debug_string(permutation);
  }
}

TEST(EvaluateKinds, AxisKindsFollowEveryAxis) {
  const Shape shape = {2, 3, 4, 5};
  ValueSource source(17, 6.0F, 3);
  for (std::uint64_t axis = 0; axis < shape.size(); ++axis) {
    const std::vector<std::function<Result<TensorId>(Graph&, TensorId)>> builds = {
        [&](Graph& g, TensorId a) { return g.softmax("out", a, axis); },
        [&](Graph& g, TensorId a) { return g.slice("out", a, axis, 1, shape[axis]); },
        [&](Graph& g, TensorId a) {
          return g.concat("out", {a, a, a}, axis);
        },
        [&](Graph& g, TensorId a) { return g.reduce_mean("out", a, axis); },
    };
    for (std::size_t b = 0; b < builds.size(); ++b) {
      EXPECT_TRUE(agrees_on(
          shape, {}, [&](Graph& g, TensorId a, TensorId) { return builds[b](g, a); }, source))
          << "kind " << b << ", axis " << axis;
    }
  }
  // Inputs of different extents along the axis, one of them listed twice:
  // each row is y's 3 values, x's 5 values, y's 3 values again.
  Graph graph;
  const TensorId x = graph.input("x", {2, 5});
  const TensorId y = graph.input("y", {2, 3});
  graph.mark_output(*graph.concat("c", {y, x, y}, 1));
  std::vector<float> xs(10);
  std::vector<float> ys(6);
  std::iota(xs.begin(), xs.end(), 0.0F);
  std::iota(ys.begin(), ys.end(), 100.0F);
  const auto result = evaluate(graph, {{"x", xs}, {"y", ys}});
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(
      same_bits(result->at("c"), std::vector<float>{100, 101, 102, 0, 1, 2, 3, 4, 100, 101, 102,
                                                    103, 104, 105, 5, 6, 7, 8, 9, 103, 104, 105}));
}

TEST(EvaluateKinds, LayerNormIsTheReferenceOverTheLastAxisThenGainAndBias) {
  ValueSource source(29, 3.0F, 0);
  EXPECT_TRUE(agrees_on(
      {2, 3, 20}, {}, [](Graph& g, TensorId a, TensorId) { return g.layer_norm("n", a, 1e-5F); },
      source));
  Graph graph;
  const TensorId x = graph.input("x", {2, 3, 20});
  const TensorId gain = graph.weight("g", {20});
  const TensorId bias = graph.weight("b", {20});
  graph.mark_output(*graph.layer_norm("n", x, gain, bias, 1e-5F));
  EXPECT_TRUE(agrees(graph, values_for(graph, source)));
}

TEST(EvaluateKinds, GeneratedGraphsMatchTheLiteralEvaluation) {
  test_support::Random random(91);
  ValueSource source(13, 2.0F, 2);
  for (int round = 0; round < 300; ++round) {
    const Graph graph =
        test_support::random_graph(random, {.max_ops = 16, .max_extent = 24, .misfits = false});
    ASSERT_TRUE(agrees(graph, values_for(graph, source))) << "round " << round << "\n" << graph;
  }
}

}  // namespace
}  // namespace zelk_compiler
