// evaluate on whole graphs: the encoder block gives the bits of the
// reference kernels, values are checked before anything is computed, raw
// graphs that break a shape rule are refused, and buffers that are reused or
// shared never change a value that is still to be read.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "reference/float_testing.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/encoder.hpp"
#include "zelk_compiler/evaluate.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {
namespace {

using test_support::same_bits;
using test_support::ValueSource;

std::vector<float> add_lists(const std::vector<float>& a, const std::vector<float>& b) {
  std::vector<float> sum(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) sum[i] = a[i] + b[i];
  return sum;
}

std::vector<float> transposed(const std::vector<float>& m, std::uint64_t rows,
                              std::uint64_t columns) {
  std::vector<float> t(m.size());
  for (std::uint64_t r = 0; r < rows; ++r) {
    for (std::uint64_t c = 0; c < columns; ++c) t[c * rows + r] = m[r * columns + c];
  }
  return t;
}

TEST(Evaluate, EncoderBlockGivesTheBitsOfTheReferenceKernels) {
  const EncoderConfig config{};
  const Graph graph = *encoder_graph(config);
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  ValueSource source(41, 2.0F, 0);
  const std::vector<float> input = source.list(s * h);
  const TensorValues values = {{"input", input},   {"wq", weights.wq}, {"wk", weights.wk},
                               {"wv", weights.wv}, {"wo", weights.wo}, {"w1", weights.w1},
                               {"w2", weights.w2}};

  // The graph's fifteen steps, one reference kernel call each.
  const auto norm1 = layer_norm(input, s, h, 1e-5F);
  const auto q = matmul(norm1, weights.wq, s, h, h);
  const auto k = matmul(norm1, weights.wk, s, h, h);
  const auto v = matmul(norm1, weights.wv, s, h, h);
  const auto scores = matmul(q, transposed(k, s, h), s, h, s);
  auto probabilities = scores;
  softmax_rows(probabilities, s, s);
  const auto context = matmul(probabilities, v, s, s, h);
  const auto projection = matmul(context, weights.wo, s, h, h);
  const auto residual = add_lists(input, projection);
  const auto norm2 = layer_norm(residual, s, h, 1e-5F);
  auto up = matmul(norm2, weights.w1, s, h, f);
  for (float& value : up) value = gelu(value);
  const auto down = matmul(up, weights.w2, s, f, h);
  const auto expected = add_lists(residual, down);

  const auto first = evaluate(graph, values);
  ASSERT_TRUE(first.has_value()) << first.error();
  ASSERT_EQ(first->size(), 1U);
  EXPECT_TRUE(same_bits(first->at("ffn_residual"), expected));
  const auto second = evaluate(graph, values);
  ASSERT_TRUE(second.has_value());
  EXPECT_TRUE(same_bits(second->at("ffn_residual"), first->at("ffn_residual")));
}

// x [2, 3] and w [3, 2] into y = x w, the output.
Graph small_graph() {
  Graph graph;
  const TensorId x = graph.input("x", {2, 3});
  const TensorId w = graph.weight("w", {3, 2});
  graph.mark_output(*graph.matmul("y", x, w));
  return graph;
}

TEST(Evaluate, ValuesAreCheckedBeforeAnythingIsComputed) {
  const std::vector<float> six(6, 1.0F);
  const Graph graph = small_graph();
  Graph twins = small_graph();
  twins.tensors[1].name = "x";
  Graph outputs = small_graph();
  outputs.mark_output(TensorId{0});
  outputs.tensors[0].name = "y";
  Graph unmarked = small_graph();
  unmarked.outputs.clear();
  struct Case {
    const char* label;
    const Graph& graph;
    TensorValues values;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no value for the weight", graph, {{"x", six}}, "missing value for w"},
      {"a value too short",
       graph,
       {{"x", six}, {"w", {1, 2, 3, 4, 5}}},
       "value size mismatch for w"},
      {"a value too long",
       graph,
       {{"x", std::vector<float>(7)}, {"w", six}},
       "value size mismatch for x"},
      {"two sources of one name", twins, {{"x", six}}, "ambiguous value name x"},
      {"two outputs of one name", outputs, {{"y", six}, {"w", six}}, "ambiguous output name y"},
      {"an invalid graph", unmarked, {{"x", six}, {"w", six}}, "graph has no outputs"},
  };
  for (const Case& c : cases) {
    const auto result = evaluate(c.graph, c.values);
    ASSERT_FALSE(result.has_value()) << c.label;
    EXPECT_EQ(result.error(), CompileError::graph(c.message)) << c.label;
  }
  // Values of other names are not read; one tensor marked twice is one output.
  Graph twice = small_graph();
  twice.mark_output(TensorId{2});
  const auto result = evaluate(twice, {{"x", six}, {"w", six}, {"unused", {}}});
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(*result, (TensorValues{{"y", {3, 3, 3, 3}}}));
}

TEST(Evaluate, RawOperationsThatBreakTheirKindsRuleAreRefused) {
  struct Case {
    const char* label;
    OpKind kind;
    std::vector<std::uint64_t> inputs;  // positions among x [2, 3], w [3, 2], b [3]
    std::vector<std::uint64_t> shape;
  };
  const std::vector<Case> cases = {
      {"matmul with a wrong output", MatMul{}, {0, 1}, {2, 3}},
      {"matmul with one operand", MatMul{}, {0}, {2, 3}},
      {"add that does not broadcast", Add{}, {0, 1}, {2, 3}},
      {"add with a wider output", Add{}, {0, 2}, {4, 3}},
      {"gelu with a wider output", Gelu{}, {0}, {4, 3}},
      {"exp of two operands", Exp{}, {0, 0}, {2, 3}},
      {"reshape to another count", Reshape{{5}}, {0}, {5}},
      {"reshape to another shape than its own", Reshape{{6}}, {0}, {3, 2}},
      {"transpose with a bad permutation", Transpose{{0, 0}}, {0}, {2, 2}},
      {"softmax past the rank", Softmax{2}, {0}, {2, 3}},
      {"layer_norm with two operands", LayerNorm{1e-5F}, {0, 2}, {2, 3}},
      {"layer_norm with a misfit gain", LayerNorm{1e-5F}, {0, 1, 2}, {2, 3}},
      {"slice past the end", Slice{1, 2, 4}, {0}, {2, 2}},
      {"concat of nothing", Concat{0}, {}, {1}},
      {"concat of misfits", Concat{0}, {0, 1}, {5, 3}},
      {"reduce_mean past the rank", ReduceMean{2}, {0}, {2, 3}},
  };
  for (const Case& c : cases) {
    Graph graph;
    const TensorId x = graph.input("x", {2, 3});
    (void)graph.weight("w", {3, 2});
    (void)graph.weight("b", {3});
    std::vector<TensorId> inputs;
    for (const std::uint64_t position : c.inputs) inputs.push_back(TensorId{position});
    graph.mark_output(*graph.op("bad", c.kind, inputs, c.shape));
    graph.mark_output(x);
    const auto result = evaluate(
        graph,
        {{"x", std::vector<float>(6)}, {"w", std::vector<float>(6)}, {"b", std::vector<float>(3)}});
    ASSERT_FALSE(result.has_value()) << c.label;
    EXPECT_EQ(result.error(), CompileError::graph("operands do not fit op bad")) << c.label;
  }
}

TEST(Evaluate, AnOperationReadingALaterResultIsRefused) {
  // Two operations, each reading the other's output, made from raw records.
  Graph graph;
  const TensorId x = graph.input("x", {2});
  graph.tensors.push_back(Tensor{.id = TensorId{1},
                                 .name = "a",
                                 .dtype = DType::F32,
                                 .shape = {2},
                                 .kind = TensorKind::Intermediate,
                                 .producer = OpId{0}});
  graph.tensors.push_back(Tensor{.id = TensorId{2},
                                 .name = "b",
                                 .dtype = DType::F32,
                                 .shape = {2},
                                 .kind = TensorKind::Intermediate,
                                 .producer = OpId{1}});
  graph.ops.push_back(Op{.id = OpId{0},
                         .name = "a",
                         .kind = Add{},
                         .inputs = {x, TensorId{2}},
                         .output = TensorId{1}});
  graph.ops.push_back(Op{
      .id = OpId{1}, .name = "b", .kind = Relu{}, .inputs = {TensorId{1}}, .output = TensorId{2}});
  graph.mark_output(TensorId{2});
  ASSERT_TRUE(graph.validate().has_value());
  EXPECT_EQ(evaluate(graph, {{"x", {1, 2}}}).error(),
            CompileError::graph("operand computed after op a"));
  // Reading its own output is the same fault.
  graph.ops[0].inputs = {x, TensorId{1}};
  EXPECT_EQ(evaluate(graph, {{"x", {1, 2}}}).error(),
            CompileError::graph("operand computed after op a"));
}

TEST(Evaluate, ReusedAndSharedBuffersKeepEveryValueStillToBeRead) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 2});
  const TensorId e = *graph.unary("e", Exp{}, x);
  // `e` is read again after `r` and `flat`, and `flat` shares its buffer:
  // neither unary map may write into it.
  const TensorId flat = *graph.reshape("flat", e, {4});
  const TensorId r = *graph.unary("r", Relu{}, e);
  const TensorId n = *graph.unary("n", Sqrt{}, flat);
  const TensorId sum = *graph.elementwise("sum", Add{}, r, e);
  const TensorId both = *graph.elementwise("both", Mul{}, sum, *graph.reshape("square", n, {2, 2}));
  graph.mark_output(both);
  graph.mark_output(x);
  // Computed but never read: skipped, and its value is not asked for.
  (void)graph.unary("unused", Tanh{}, both);

  const std::vector<float> input = {0.5F, -1.0F, 2.0F, 0.0F};
  const auto result = evaluate(graph, {{"x", input}});
  ASSERT_TRUE(result.has_value()) << result.error();
  std::vector<float> expected;
  for (const float value : input) {
    const float ev = ::expf(value);
    const float s = ev + ev;  // relu(e) is e itself
    expected.push_back(s * ::sqrtf(ev));
  }
  EXPECT_TRUE(same_bits(result->at("both"), expected));
  EXPECT_TRUE(same_bits(result->at("x"), input));
  EXPECT_EQ(result->size(), 2U);
}

}  // namespace
}  // namespace zelk_compiler
