// The builders of broadcasting, batched, normalising, unary, slicing,
// concatenating, reducing and reshaping operations: their output shapes,
// their messages, and that a refused call changes nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {
namespace {

using Shape = std::vector<std::uint64_t>;

constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();

// One builder call on a graph whose tensors 0, 1, 2 have the case's shapes
// `a`, `b`, `c`; it either gives `shape` and `kind`, or fails with `error`.
struct BuilderCase {
  const char* label;
  Shape a;
  Shape b;
  Shape c;
  std::function<Result<TensorId>(Graph&)> call;
  Shape shape;
  OpKind kind;
  std::vector<std::uint64_t> inputs;  // positions of the operands
  std::string error;                  // empty when the call must succeed
};

const TensorId A{0};
const TensorId B{1};
const TensorId C{2};

std::vector<BuilderCase> builder_cases() {
  return {
      // Broadcasting.
      {"bias on the right",
       {2, 16, 64},
       {64},
       {},
       [](Graph& g) { return g.elementwise("e", Add{}, A, B); },
       {2, 16, 64},
       Add{},
       {0, 1},
       ""},
      {"bias on the left",
       {64},
       {16, 64},
       {},
       [](Graph& g) { return g.elementwise("e", Sub{}, A, B); },
       {16, 64},
       Sub{},
       {0, 1},
       ""},
      {"both sides stretch",
       {4, 1, 3},
       {5, 1},
       {},
       [](Graph& g) { return g.elementwise("e", Mul{}, A, B); },
       {4, 5, 3},
       Mul{},
       {0, 1},
       ""},
      {"scalar",
       {2, 3},
       {},
       {},
       [](Graph& g) { return g.elementwise("e", Div{}, A, B); },
       {2, 3},
       Div{},
       {0, 1},
       ""},
      {"one against zero",
       {1, 3},
       {0, 3},
       {},
       [](Graph& g) { return g.elementwise("e", Pow{}, A, B); },
       {0, 3},
       Pow{},
       {0, 1},
       ""},
      {"identical",
       {2, 3},
       {2, 3},
       {},
       [](Graph& g) { return g.elementwise("e", Pow{}, A, A); },
       {2, 3},
       Pow{},
       {0, 0},
       ""},
      {"misfit",
       {2, 3},
       {3, 2},
       {},
       [](Graph& g) { return g.elementwise("e", Add{}, A, B); },
       {},
       Add{},
       {},
       "e: shapes do not broadcast [2, 3] and [3, 2]"},
      {"misfit of a leading axis",
       {2, 4, 3},
       {3, 1, 3},
       {},
       [](Graph& g) { return g.elementwise("e", Add{}, A, B); },
       {},
       Add{},
       {},
       "e: shapes do not broadcast [2, 4, 3] and [3, 1, 3]"},
      // Identical shapes only.
      {"mul",
       {2, 3},
       {2, 3},
       {},
       [](Graph& g) { return g.mul("m", A, B); },
       {2, 3},
       Mul{},
       {0, 1},
       ""},
      {"mul does not broadcast",
       {2, 3},
       {3},
       {},
       [](Graph& g) { return g.mul("m", A, B); },
       {},
       Mul{},
       {},
       "m: binary shapes differ"},
      // Batched products.
      {"batch times matrix",
       {2, 16, 64},
       {64, 8},
       {},
       [](Graph& g) { return g.batch_matmul("p", A, B); },
       {2, 16, 8},
       MatMul{},
       {0, 1},
       ""},
      {"broadcast batches",
       {3, 1, 4, 5},
       {2, 5, 6},
       {},
       [](Graph& g) { return g.batch_matmul("p", A, B); },
       {3, 2, 4, 6},
       MatMul{},
       {0, 1},
       ""},
      {"plain matrices",
       {4, 8},
       {8, 16},
       {},
       [](Graph& g) { return g.batch_matmul("p", A, B); },
       {4, 16},
       MatMul{},
       {0, 1},
       ""},
      {"inner sizes differ",
       {2, 4, 8},
       {16, 4},
       {},
       [](Graph& g) { return g.batch_matmul("p", A, B); },
       {},
       MatMul{},
       {},
       "p: incompatible matmul [2, 4, 8] x [16, 4]"},
      {"batches misfit",
       {2, 4, 8},
       {3, 8, 4},
       {},
       [](Graph& g) { return g.batch_matmul("p", A, B); },
       {},
       MatMul{},
       {},
       "p: incompatible matmul [2, 4, 8] x [3, 8, 4]"},
      {"vector operand",
       {8},
       {8, 4},
       {},
       [](Graph& g) { return g.batch_matmul("p", A, B); },
       {},
       MatMul{},
       {},
       "p: incompatible matmul [8] x [8, 4]"},
      // Layer normalisation with gain and bias.
      {"gain and bias",
       {2, 5, 8},
       {8},
       {8},
       [](Graph& g) { return g.layer_norm("n", A, B, C, 1e-5F); },
       {2, 5, 8},
       LayerNorm{1e-5F},
       {0, 1, 2},
       ""},
      {"gain of another extent",
       {2, 8},
       {4},
       {8},
       [](Graph& g) { return g.layer_norm("n", A, B, C, 1e-5F); },
       {},
       LayerNorm{},
       {},
       "n: invalid layer_norm gain [4] and bias [8] for [2, 8]"},
      {"bias of rank 2",
       {2, 8},
       {8},
       {1, 8},
       [](Graph& g) { return g.layer_norm("n", A, B, C, 1e-5F); },
       {},
       LayerNorm{},
       {},
       "n: invalid layer_norm gain [8] and bias [1, 8] for [2, 8]"},
      {"input without axes",
       {},
       {1},
       {1},
       [](Graph& g) { return g.layer_norm("n", A, B, C, 1e-5F); },
       {},
       LayerNorm{},
       {},
       "n: invalid layer_norm gain [1] and bias [1] for []"},
      // Unary kinds.
      {"exact gelu",
       {3, 7},
       {},
       {},
       [](Graph& g) { return g.unary("u", GeluErf{}, A); },
       {3, 7},
       GeluErf{},
       {0},
       ""},
      {"tanh gelu",
       {3},
       {},
       {},
       [](Graph& g) { return g.unary("u", Gelu{}, A); },
       {3},
       Gelu{},
       {0},
       ""},
      {"relu", {}, {}, {}, [](Graph& g) { return g.unary("u", Relu{}, A); }, {}, Relu{}, {0}, ""},
      // Slices.
      {"slice",
       {4, 96},
       {},
       {},
       [](Graph& g) { return g.slice("s", A, 1, 32, 64); },
       {4, 32},
       Slice{1, 32, 64},
       {0},
       ""},
      {"slice of all",
       {4, 96},
       {},
       {},
       [](Graph& g) { return g.slice("s", A, 0, 0, 4); },
       {4, 96},
       Slice{0, 0, 4},
       {0},
       ""},
      {"slice past the end",
       {4, 96},
       {},
       {},
       [](Graph& g) { return g.slice("s", A, 1, 64, 97); },
       {},
       Slice{},
       {},
       "s: invalid slice [64, 97) of axis 1 of [4, 96]"},
      {"empty slice",
       {4, 96},
       {},
       {},
       [](Graph& g) { return g.slice("s", A, 1, 5, 5); },
       {},
       Slice{},
       {},
       "s: invalid slice [5, 5) of axis 1 of [4, 96]"},
      {"slice of no axis",
       {4},
       {},
       {},
       [](Graph& g) { return g.slice("s", A, 1, 0, 1); },
       {},
       Slice{},
       {},
       "s: invalid slice [0, 1) of axis 1 of [4]"},
      // Concatenation.
      {"concat",
       {2, 3},
       {2, 5},
       {2, 1},
       [](Graph& g) {
         return g.concat("c", {A, B, C}, 1);
       },
       {2, 9},
       Concat{1},
       {0, 1, 2},
       ""},
      {"concat of one",
       {2, 3},
       {},
       {},
       [](Graph& g) { return g.concat("c", {A}, 0); },
       {2, 3},
       Concat{0},
       {0},
       ""},
      {"concat of itself",
       {2, 3},
       {},
       {},
       [](Graph& g) {
         return g.concat("c", {A, A}, 0);
       },
       {4, 3},
       Concat{0},
       {0, 0},
       ""},
      {"concat misfit",
       {2, 3},
       {2, 5},
       {3, 1},
       [](Graph& g) {
         return g.concat("c", {A, B, C}, 1);
       },
       {},
       Concat{},
       {},
       "c: invalid concat on axis 1 of [2, 3] and [3, 1]"},
      {"concat of ranks",
       {2, 3},
       {2, 3, 1},
       {},
       [](Graph& g) {
         return g.concat("c", {A, B}, 0);
       },
       {},
       Concat{},
       {},
       "c: invalid concat on axis 0 of [2, 3] and [2, 3, 1]"},
      {"concat past the rank",
       {2, 3},
       {},
       {},
       [](Graph& g) { return g.concat("c", {A}, 2); },
       {},
       Concat{},
       {},
       "c: invalid concat on axis 2 of [2, 3]"},
      {"concat of nothing",
       {},
       {},
       {},
       [](Graph& g) { return g.concat("c", {}, 0); },
       {},
       Concat{},
       {},
       "c: invalid concat on axis 0 of no inputs"},
      {"concat beyond 64 bits",
       {kHuge},
       {1},
       {},
       [](Graph& g) {
         return g.concat("c", {A, B}, 0);
       },
       {},
       Concat{},
       {},
       "c: invalid concat on axis 0 of [18446744073709551615] and [1]"},
      // Mean along an axis.
      {"reduce_mean",
       {2, 5, 8},
       {},
       {},
       [](Graph& g) { return g.reduce_mean("r", A, 2); },
       {2, 5, 1},
       ReduceMean{2},
       {0},
       ""},
      {"reduce_mean past the rank",
       {2, 5},
       {},
       {},
       [](Graph& g) { return g.reduce_mean("r", A, 2); },
       {},
       ReduceMean{},
       {},
       "r: reduce_mean axis out of range"},
      // Reshape.
      {"reshape",
       {2, 3},
       {},
       {},
       [](Graph& g) {
         return g.reshape("r", A, {3, 1, 2});
       },
       {3, 1, 2},
       Reshape{{3, 1, 2}},
       {0},
       ""},
      {"reshape to a scalar",
       {1, 1},
       {},
       {},
       [](Graph& g) { return g.reshape("r", A, {}); },
       {},
       Reshape{{}},
       {0},
       ""},
      {"reshape changes the count",
       {2, 3},
       {},
       {},
       [](Graph& g) {
         return g.reshape("r", A, {4, 2});
       },
       {},
       Reshape{},
       {},
       "r: invalid reshape [2, 3] to [4, 2]"},
      {"reshape beyond 64 bits",
       {2},
       {},
       {},
       [](Graph& g) {
         return g.reshape("r", A, {kHuge, 2});
       },
       {},
       Reshape{},
       {},
       "r: invalid reshape [2] to [18446744073709551615, 2]"},
  };
}

TEST(GraphBuilding, ExtendedBuildersFollowTheirShapeRules) {
  for (const BuilderCase& c : builder_cases()) {
    Graph graph;
    (void)graph.input("a", c.a);
    (void)graph.weight("b", c.b);
    (void)graph.input("c", c.c);
    graph.mark_output(A);
    const Graph before = graph;
    const auto result = c.call(graph);
    if (!c.error.empty()) {
      ASSERT_FALSE(result.has_value()) << c.label;
      EXPECT_EQ(result.error(), CompileError::graph(c.error)) << c.label;
      EXPECT_EQ(graph, before) << c.label;
      continue;
    }
    ASSERT_TRUE(result.has_value()) << c.label << ": " << result.error();
    EXPECT_EQ(*result, TensorId{3}) << c.label;
    EXPECT_EQ(graph.tensors[3].shape, c.shape) << c.label;
    EXPECT_EQ(graph.tensors[3].producer, OpId{0}) << c.label;
    ASSERT_EQ(graph.ops.size(), 1U) << c.label;
    EXPECT_EQ(graph.ops[0].kind, c.kind) << c.label;
    std::vector<TensorId> inputs;
    for (const std::uint64_t position : c.inputs) inputs.push_back(TensorId{position});
    EXPECT_EQ(graph.ops[0].inputs, inputs) << c.label;
  }
}

TEST(GraphBuilding, ExtendedBuildersReportUnknownInputsAndChangeNothing) {
  Graph graph;
  const TensorId x = graph.input("x", {4, 4});
  const TensorId g = graph.weight("g", {4});
  const TensorId missing{9};
  const Graph before = graph;
  const std::vector<std::pair<const char*, Result<TensorId>>> calls = {
      {"m", graph.mul("m", x, missing)},
      {"r", graph.reshape("r", missing, {16})},
      {"e", graph.elementwise("e", Sub{}, missing, x)},
      {"p", graph.batch_matmul("p", x, missing)},
      {"n", graph.layer_norm("n", x, g, missing, 1e-5F)},
      {"u", graph.unary("u", Exp{}, missing)},
      {"s", graph.slice("s", missing, 0, 0, 1)},
      {"c", graph.concat("c", {x, missing}, 0)},
      {"q", graph.reduce_mean("q", missing, 0)},
  };
  for (const auto& [name, result] : calls) {
    ASSERT_FALSE(result.has_value()) << name;
    EXPECT_EQ(result.error(), CompileError::graph(std::string(name) + ": unknown input"));
  }
  EXPECT_EQ(graph, before);
}

TEST(GraphBuilding, KindsOutsideABuildersSetAreBrokenPreconditions) {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  for (const OpKind& kind : {OpKind{MatMul{}}, OpKind{Gelu{}}, OpKind{Softmax{0}}}) {
    EXPECT_THROW((void)graph.elementwise("e", kind, x, x), std::invalid_argument) << kind;
  }
  for (const OpKind& kind :
       {OpKind{Add{}}, OpKind{Reshape{{4}}}, OpKind{Concat{0}}, OpKind{Cast{DType::F16}}}) {
    EXPECT_THROW((void)graph.unary("u", kind, x), std::invalid_argument) << kind;
  }
  EXPECT_EQ(graph.tensors.size(), 1U);
  EXPECT_TRUE(graph.ops.empty());
}

TEST(GraphRecords, ExtendedKindsHaveTheirNamesAndPrintedForms) {
  const std::vector<std::tuple<OpKind, std::string_view, std::string>> cases = {
      {Sub{}, "sub", "Sub"},
      {Div{}, "div", "Div"},
      {Pow{}, "pow", "Pow"},
      {GeluErf{}, "gelu_erf", "GeluErf"},
      {Relu{}, "relu", "Relu"},
      {Erf{}, "erf", "Erf"},
      {Tanh{}, "tanh", "Tanh"},
      {Sqrt{}, "sqrt", "Sqrt"},
      {Exp{}, "exp", "Exp"},
      {Slice{1, 0, 64}, "slice", "Slice { axis: 1, start: 0, end: 64 }"},
      {Concat{2}, "concat", "Concat { axis: 2 }"},
      {ReduceMean{0}, "reduce_mean", "ReduceMean { axis: 0 }"},
      {Cast{DType::BF16}, "cast", "Cast { to: BF16 }"},
      {Sigmoid{}, "sigmoid", "Sigmoid"},
  };
  for (const auto& [kind, name, printed] : cases) {
    EXPECT_EQ(operation_name(kind), name);
    EXPECT_EQ(debug_string(kind), printed);
  }
}

}  // namespace
}  // namespace zelk_compiler
