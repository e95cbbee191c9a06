// evaluate, kind by kind, against plain loops written here: every element
// must come out with the same bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "reference/float_testing.hpp"
#include "reference/literal_kernels.hpp"
#include "zelk_compiler/evaluate.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {
namespace {

using Shape = std::vector<std::uint64_t>;
using test_support::same_bits;
using test_support::ValueSource;

std::uint64_t count_of(const Shape& shape) {
  return std::accumulate(shape.begin(), shape.end(), std::uint64_t{1},
                         std::multiplies<std::uint64_t>());
}

// The multi-index of position `flat` in a row-major `shape`.
Shape unravel(std::uint64_t flat, const Shape& shape) {
  Shape index(shape.size());
  for (std::size_t a = shape.size(); a > 0; --a) {
    index[a - 1] = flat % shape[a - 1];
    flat /= shape[a - 1];
  }
  return index;
}

// The position in a row-major `shape` of the output index `index`, read the
// NumPy way: `shape` aligned at the last axis, extents of 1 pinned to 0.
std::uint64_t broadcast_position(const Shape& index, const Shape& shape) {
  std::uint64_t position = 0;
  const std::size_t skip = index.size() - shape.size();
  for (std::size_t a = 0; a < shape.size(); ++a) {
    position = position * shape[a] + (shape[a] == 1 ? 0 : index[skip + a]);
  }
  return position;
}

// Evaluates `graph`, whose only output is `name`, from `values`.
std::vector<float> run(const Graph& graph, const TensorValues& values, const std::string& name) {
  const auto result = evaluate(graph, values);
  EXPECT_TRUE(result.has_value()) << result.error();
  if (!result) {
    return {};
  }
  EXPECT_EQ(result->size(), 1U);
  return result->at(name);
}

TEST(EvaluateKinds, BroadcastingBinaryOperationsMatchPlainLoops) {
  const std::vector<std::pair<Shape, Shape>> shapes = {
      {{3, 5}, {3, 5}},          {{2, 16, 8}, {8}}, {{8}, {2, 3, 8}},
      {{4, 1, 3}, {5, 1}},       {{2, 3}, {1}},     {{1}, {7}},
      {{2, 1, 4, 1}, {3, 1, 5}}, {{1, 1}, {1, 1}},  {{6, 1}, {1, 6}},
      {{2, 3, 4}, {2, 1, 4}},
  };
  const std::vector<std::pair<OpKind, float (*)(float, float)>> kinds = {
      {Add{}, [](float a, float b) { return a + b; }},
      {Sub{}, [](float a, float b) { return a - b; }},
      {Mul{}, [](float a, float b) { return a * b; }},
      {Div{}, [](float a, float b) { return a / b; }},
      {Pow{}, [](float a, float b) { return ::powf(a, b); }},
  };
  ValueSource source(11);
  for (const auto& [left_shape, right_shape] : shapes) {
    for (const auto& [kind, apply] : kinds) {
      Graph graph;
      const TensorId a = graph.input("a", left_shape);
      const TensorId b = graph.weight("b", right_shape);
      graph.mark_output(*graph.elementwise("out", kind, a, b));
      const Shape out_shape = graph.tensors.back().shape;
      const TensorValues values = {{"a", source.list(count_of(left_shape))},
                                   {"b", source.list(count_of(right_shape))}};
      std::vector<float> expected(count_of(out_shape));
      for (std::uint64_t i = 0; i < expected.size(); ++i) {
        const Shape index = unravel(i, out_shape);
        expected[i] = apply(values.at("a")[broadcast_position(index, left_shape)],
                            values.at("b")[broadcast_position(index, right_shape)]);
      }
      EXPECT_TRUE(same_bits(run(graph, values, "out"), expected))
          << kind << " of " << testing::PrintToString(left_shape) << " and "
          << testing::PrintToString(right_shape);
    }
  }
}

float plain_gelu_erf(float x) {
  const float quotient = x / 1.41421356F;
  const float e = ::erff(quotient);
  const float half = 0.5F * x;
  const float sum = 1.0F + e;
  return half * sum;
}

TEST(EvaluateKinds, UnaryKindsApplyTheirFormulaToEveryElement) {
  const std::vector<std::pair<OpKind, float (*)(float)>> kinds = {
      {Gelu{}, literal::gelu},
      {GeluErf{}, plain_gelu_erf},
      {Relu{}, [](float x) { return std::isnan(x) ? x : (x > 0.0F ? x : 0.0F); }},
      {Erf{}, [](float x) { return ::erff(x); }},
      {Tanh{}, [](float x) { return ::tanhf(x); }},
      {Sqrt{}, [](float x) { return ::sqrtf(x); }},
      {Exp{}, [](float x) { return ::expf(x); }},
  };
  // More than one chunk of the vectorised GELU, with special values mixed in.
  ValueSource source(5, 8.0F, 10);
  const std::vector<float> input = source.list(700);
  for (const auto& [kind, apply] : kinds) {
    Graph graph;
    const TensorId x = graph.input("x", {7, 100});
    graph.mark_output(*graph.unary("y", kind, x));
    std::vector<float> expected;
    for (const float value : input) expected.push_back(apply(value));
    EXPECT_TRUE(same_bits(run(graph, {{"x", input}}, "y"), expected)) << kind;
  }
  // Relu sends -0.0 to +0.0.
  Graph graph;
  graph.mark_output(*graph.unary("y", Relu{}, graph.input("x", {2})));
  EXPECT_TRUE(same_bits(run(graph, {{"x", {-0.0F, -1.0F}}}, "y"), std::vector<float>{0.0F, 0.0F}));
}

TEST(EvaluateKinds, BatchedProductsMultiplyEverySliceInAscendingOrder) {
  const std::vector<std::pair<Shape, Shape>> shapes = {
      {{5, 7}, {7, 3}},          {{2, 3, 4}, {4, 5}},    {{4, 5}, {2, 5, 3}},
      {{3, 1, 4, 5}, {2, 5, 6}}, {{1, 2, 3}, {1, 3, 2}}, {{2, 2, 9, 70}, {2, 2, 70, 33}},
  };
  ValueSource source(3, 2.0F, 0);
  for (const auto& [left_shape, right_shape] : shapes) {
    Graph graph;
    const TensorId a = graph.input("a", left_shape);
    const TensorId b = graph.weight("b", right_shape);
    graph.mark_output(*graph.batch_matmul("out", a, b));
    const Shape out_shape = graph.tensors.back().shape;
    const TensorValues values = {{"a", source.list(count_of(left_shape))},
                                 {"b", source.list(count_of(right_shape))}};
    const std::uint64_t rows = left_shape[left_shape.size() - 2];
    const std::uint64_t inner = left_shape.back();
    const std::uint64_t columns = right_shape.back();
    const Shape left_batch(left_shape.begin(), left_shape.end() - 2);
    const Shape right_batch(right_shape.begin(), right_shape.end() - 2);
    std::vector<float> expected(count_of(out_shape));
    for (std::uint64_t i = 0; i < expected.size(); ++i) {
      const Shape index = unravel(i, out_shape);
      const Shape batch(index.begin(), index.end() - 2);
      const std::uint64_t row = index[index.size() - 2];
      const std::uint64_t column = index.back();
      const std::uint64_t left_at = broadcast_position(batch, left_batch) * rows * inner;
      const std::uint64_t right_at = broadcast_position(batch, right_batch) * inner * columns;
      float sum = 0.0F;
      for (std::uint64_t k = 0; k < inner; ++k) {
        const float p = values.at("a")[left_at + row * inner + k] *
                        values.at("b")[right_at + k * columns + column];
        sum = p + sum;
      }
      expected[i] = sum;
    }
    EXPECT_TRUE(same_bits(run(graph, values, "out"), expected))
        << testing::PrintToString(left_shape) << " x " << testing::PrintToString(right_shape);
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
  for (const auto& [shape, permutation] : cases) {
    Graph graph;
    const TensorId x = graph.input("x", shape);
    graph.mark_output(*graph.transpose("t", x, permutation));
    const Shape out_shape = graph.tensors.back().shape;
    std::vector<float> input(count_of(shape));
    std::iota(input.begin(), input.end(), 0.0F);
    std::vector<float> expected(input.size());
    for (std::uint64_t i = 0; i < expected.size(); ++i) {
      const Shape index = unravel(i, out_shape);
      Shape source_index(shape.size());
      for (std::size_t a = 0; a < shape.size(); ++a) source_index[permutation[a]] = index[a];
      expected[i] = input[broadcast_position(source_index, shape)];
    }
    EXPECT_TRUE(same_bits(run(graph, {{"x", input}}, "t"), expected))
        << testing::PrintToString(permutation);
  }
}

TEST(EvaluateKinds, SliceConcatAndReduceMeanFollowTheirAxis) {
  const Shape shape = {3, 4, 5};
  ValueSource source(17);
  const std::vector<float> x = source.list(60);
  const std::vector<float> y = source.list(36);  // [3, 4, 3]
  const auto at = [](const std::vector<float>& values, const Shape& of, const Shape& index) {
    return values[broadcast_position(index, of)];
  };
  for (std::uint64_t axis = 0; axis < 3; ++axis) {
    Graph graph;
    const TensorId a = graph.input("x", shape);
    graph.mark_output(*graph.slice("slice", a, axis, 1, 3));
    graph.mark_output(*graph.concat("concat", {a, a}, axis));
    graph.mark_output(*graph.reduce_mean("mean", a, axis));
    const auto result = evaluate(graph, {{"x", x}});
    ASSERT_TRUE(result.has_value()) << result.error();

    std::vector<float> slice;
    std::vector<float> concat;
    std::vector<float> mean;
    Shape sliced = shape;
    sliced[axis] = 2;
    for (std::uint64_t i = 0; i < count_of(sliced); ++i) {
      Shape index = unravel(i, sliced);
      index[axis] += 1;
      slice.push_back(at(x, shape, index));
    }
    Shape doubled = shape;
    doubled[axis] *= 2;
    for (std::uint64_t i = 0; i < count_of(doubled); ++i) {
      Shape index = unravel(i, doubled);
      index[axis] %= shape[axis];
      concat.push_back(at(x, shape, index));
    }
    Shape reduced = shape;
    reduced[axis] = 1;
    for (std::uint64_t i = 0; i < count_of(reduced); ++i) {
      Shape index = unravel(i, reduced);
      float sum = -0.0F;
      for (index[axis] = 0; index[axis] < shape[axis]; ++index[axis]) {
        sum = sum + at(x, shape, index);
      }
      mean.push_back(sum / static_cast<float>(shape[axis]));
    }
    EXPECT_TRUE(same_bits(result->at("slice"), slice)) << "axis " << axis;
    EXPECT_TRUE(same_bits(result->at("concat"), concat)) << "axis " << axis;
    EXPECT_TRUE(same_bits(result->at("mean"), mean)) << "axis " << axis;
  }
  // Inputs of different extents along the axis, one of them listed twice.
  Graph graph;
  const TensorId a = graph.input("x", shape);
  const TensorId b = graph.input("y", {3, 4, 3});
  graph.mark_output(*graph.concat("c", {b, a, b}, 2));
  std::vector<float> expected;
  for (std::uint64_t row = 0; row < 12; ++row) {
    for (std::uint64_t k = 0; k < 3; ++k) expected.push_back(y[row * 3 + k]);
    for (std::uint64_t k = 0; k < 5; ++k) expected.push_back(x[row * 5 + k]);
    for (std::uint64_t k = 0; k < 3; ++k) expected.push_back(y[row * 3 + k]);
  }
  EXPECT_TRUE(same_bits(run(graph, {{"x", x}, {"y", y}}, "c"), expected));
}

TEST(EvaluateKinds, SoftmaxOnEveryAxisTreatsEachLineAsAReferenceRow) {
  const Shape shape = {2, 3, 4, 5};
  ValueSource source(23, 6.0F, 3);
  const std::vector<float> x = source.list(count_of(shape));
  for (std::uint64_t axis = 0; axis < shape.size(); ++axis) {
    Graph graph;
    graph.mark_output(*graph.softmax("s", graph.input("x", shape), axis));
    std::vector<float> expected(x.size());
    for (std::uint64_t i = 0; i < x.size(); ++i) {
      Shape index = unravel(i, shape);
      if (index[axis] != 0) continue;
      std::vector<float> line;
      for (index[axis] = 0; index[axis] < shape[axis]; ++index[axis]) {
        line.push_back(x[broadcast_position(index, shape)]);
      }
      literal::softmax_rows(line, 1, line.size());
      for (index[axis] = 0; index[axis] < shape[axis]; ++index[axis]) {
        expected[broadcast_position(index, shape)] = line[index[axis]];
      }
    }
    EXPECT_TRUE(same_bits(run(graph, {{"x", x}}, "s"), expected)) << "axis " << axis;
  }
}

TEST(EvaluateKinds, LayerNormIsTheReferenceOverTheLastAxisThenGainAndBias) {
  const Shape shape = {2, 3, 20};
  ValueSource source(29, 3.0F, 0);
  const std::vector<float> x = source.list(120);
  const std::vector<float> gain = source.list(20);
  const std::vector<float> bias = source.list(20);
  const std::vector<float> plain = literal::layer_norm(x, 6, 20, 1e-5F);
  std::vector<float> affine(plain.size());
  for (std::uint64_t i = 0; i < plain.size(); ++i) {
    const float scaled = plain[i] * gain[i % 20];
    affine[i] = scaled + bias[i % 20];
  }
  Graph graph;
  const TensorId input = graph.input("x", shape);
  const TensorId g = graph.weight("g", {20});
  const TensorId b = graph.weight("b", {20});
  graph.mark_output(*graph.layer_norm("plain", input, 1e-5F));
  graph.mark_output(*graph.layer_norm("affine", input, g, b, 1e-5F));
  const auto result = evaluate(graph, {{"x", x}, {"g", gain}, {"b", bias}});
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_TRUE(same_bits(result->at("plain"), plain));
  EXPECT_TRUE(same_bits(result->at("affine"), affine));
}

TEST(EvaluateKinds, ReshapeKeepsTheElementsInOrder) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 6});
  graph.mark_output(*graph.reshape("r", x, {3, 1, 4}));
  const std::vector<float> values = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_TRUE(same_bits(run(graph, {{"x", values}}, "r"), values));
}

}  // namespace
}  // namespace zelk_compiler
