// Graph builders: ids that follow positions, shape rules and their messages.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {
namespace {

using Shape = std::vector<std::uint64_t>;

TEST(GraphRecords, ElementsIsTheCheckedProductOfTheShape) {
  const auto tensor = [](Shape shape) {
    return Tensor{.id = {},
                  .name = "t",
                  .dtype = DType::F32,
                  .shape = std::move(shape),
                  .kind = TensorKind::Input,
                  .producer = {}};
  };
  EXPECT_EQ(tensor({4, 8}).elements(), 32U);
  EXPECT_EQ(tensor({}).elements(), 1U);
  EXPECT_EQ(tensor({4, 0}).elements(), 0U);
  constexpr auto max = std::numeric_limits<std::uint64_t>::max();
  // A zero anywhere wins over an overflowing partial product.
  EXPECT_EQ(tensor({max, max, 0}).elements(), 0U);
  EXPECT_EQ(tensor({max}).elements(), max);
  EXPECT_EQ(tensor({std::uint64_t{1} << 32U, std::uint64_t{1} << 31U}).elements(),
            std::uint64_t{1} << 63U);
  EXPECT_THROW((void)tensor({std::uint64_t{1} << 32U, std::uint64_t{1} << 32U}).elements(),
               std::overflow_error);
  EXPECT_EQ(size(DType::F32), 4U);
}

TEST(GraphRecords, OperationNamesAreFixed) {
  const std::vector<std::pair<OpKind, std::string_view>> cases = {
      {MatMul{}, "matmul"},
      {Add{}, "add"},
      {Mul{}, "mul"},
      {Reshape{{2, 3}}, "reshape"},
      {Transpose{{1, 0}}, "transpose"},
      {LayerNorm{1e-5F}, "layer_norm"},
      {Softmax{7}, "softmax"},
      {Gelu{}, "gelu"},
  };
  for (const auto& [kind, name] : cases) {
    EXPECT_EQ(operation_name(kind), name);
  }
}

TEST(GraphBuilding, DefaultGraphIsEmpty) {
  const Graph graph;
  EXPECT_TRUE(graph.tensors.empty());
  EXPECT_TRUE(graph.ops.empty());
  EXPECT_TRUE(graph.outputs.empty());
}

TEST(GraphBuilding, IdsFollowPositionsAndOperationsLinkTheirOutput) {
  Graph graph;
  const TensorId x = graph.input("x", {4, 8});
  const TensorId w = graph.weight("w", {8, 16});
  EXPECT_EQ(x, TensorId{0});
  EXPECT_EQ(w, TensorId{1});
  const auto y = graph.matmul("y", x, w);
  ASSERT_TRUE(y.has_value());
  EXPECT_EQ(*y, TensorId{2});

  const Tensor& out = graph.tensors[2];
  EXPECT_EQ(out.id, TensorId{2});
  EXPECT_EQ(out.name, "y");
  EXPECT_EQ(out.dtype, DType::F32);
  EXPECT_EQ(out.shape, (Shape{4, 16}));
  EXPECT_EQ(out.kind, TensorKind::Intermediate);
  EXPECT_EQ(out.producer, OpId{0});

  ASSERT_EQ(graph.ops.size(), 1U);
  const Op& op = graph.ops[0];
  EXPECT_EQ(op.id, OpId{0});
  EXPECT_EQ(op.name, "y");
  EXPECT_EQ(op.kind, OpKind{MatMul{}});
  EXPECT_EQ(op.inputs, (std::vector<TensorId>{x, w}));
  EXPECT_EQ(op.output, TensorId{2});

  EXPECT_EQ(graph.tensors[0].kind, TensorKind::Input);
  EXPECT_EQ(graph.tensors[1].kind, TensorKind::Weight);
  EXPECT_FALSE(graph.tensors[0].producer.has_value());
}

struct ShapeCase {
  const char* label;
  Shape left;
  Shape right;
  Shape expected;  // empty when the builder must fail
};

TEST(GraphBuilding, MatmulShapeRule) {
  const std::vector<ShapeCase> cases = {
      {"fits", {4, 8}, {8, 16}, {4, 16}},
      {"inner sizes differ", {4, 8}, {16, 4}, {}},
      {"left of rank 3", {2, 4, 8}, {8, 16}, {}},
      {"right of rank 1", {4, 8}, {8}, {}},
      {"both empty", {}, {}, {}},
  };
  for (const auto& c : cases) {
    Graph graph;
    const TensorId a = graph.input("a", c.left);
    const TensorId b = graph.input("b", c.right);
    const auto result = graph.matmul("q", a, b);
    if (c.expected.empty()) {
      EXPECT_FALSE(result.has_value()) << c.label;
    } else {
      ASSERT_TRUE(result.has_value()) << c.label;
      EXPECT_EQ(graph.tensors[result->index].shape, c.expected) << c.label;
    }
  }
}

TEST(GraphBuilding, MatmulMessagePrintsBothShapes) {
  Graph graph;
  const TensorId a = graph.input("a", {4, 8});
  const TensorId b = graph.input("b", {16, 4});
  const TensorId c = graph.input("c", {2, 4, 8});
  const TensorId e = graph.input("e", {});
  EXPECT_EQ(graph.matmul("q", a, b).error(),
            CompileError::graph("q: incompatible matmul [4, 8] x [16, 4]"));
  EXPECT_EQ(graph.matmul("r", c, b).error(),
            CompileError::graph("r: incompatible matmul [2, 4, 8] x [16, 4]"));
  EXPECT_EQ(graph.matmul("s", e, a).error(),
            CompileError::graph("s: incompatible matmul [] x [4, 8]"));
}

TEST(GraphBuilding, AddNeedsIdenticalShapes) {
  Graph graph;
  const TensorId a = graph.input("a", {2, 3});
  const TensorId b = graph.input("b", {3, 2});
  const TensorId c = graph.input("c", {2, 3});
  EXPECT_EQ(graph.add("sum", a, b).error(), CompileError::graph("sum: binary shapes differ"));
  const auto sum = graph.add("sum", a, c);
  ASSERT_TRUE(sum.has_value());
  EXPECT_EQ(graph.tensors[sum->index].shape, (Shape{2, 3}));
  EXPECT_EQ(graph.ops[0].kind, OpKind{Add{}});
  EXPECT_EQ(graph.ops[0].inputs, (std::vector<TensorId>{a, c}));
}

TEST(GraphBuilding, TransposePermutesTheSourceShape) {
  struct Case {
    Shape source;
    Shape permutation;
    bool valid;
    Shape expected;
  };
  const std::vector<Case> cases = {
      {{2, 3, 5}, {2, 0, 1}, true, {5, 2, 3}},
      {{2, 3, 5}, {0, 1, 2}, true, {2, 3, 5}},
      {{2, 3, 5}, {0, 0, 1}, false, {}},
      {{2, 3, 5}, {0, 1}, false, {}},
      {{2, 3, 5}, {0, 1, 3}, false, {}},
      {{2, 3, 5}, {0, 1, 2, 3}, false, {}},
      {{}, {}, true, {}},
      {{}, {0}, false, {}},
  };
  for (const auto& c : cases) {
    Graph graph;
    const TensorId x = graph.input("x", c.source);
    const auto result = graph.transpose("t", x, c.permutation);
    if (!c.valid) {
      EXPECT_EQ(result.error(), CompileError::graph("t: invalid transpose permutation"));
      continue;
    }
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(graph.tensors[result->index].shape, c.expected);
    EXPECT_EQ(graph.ops[0].kind, OpKind{Transpose{c.permutation}});
  }
}

TEST(GraphBuilding, SoftmaxAxisMustBeBelowTheRank) {
  Graph graph;
  const TensorId x = graph.input("x", {4, 8});
  const TensorId scalar = graph.input("s", {});
  EXPECT_TRUE(graph.softmax("ok", x, 1).has_value());
  EXPECT_EQ(graph.softmax("bad", x, 2).error(),
            CompileError::graph("bad: softmax axis out of range"));
  EXPECT_EQ(graph.softmax("bad", scalar, 0).error(),
            CompileError::graph("bad: softmax axis out of range"));
  EXPECT_EQ(graph.ops[0].kind, OpKind{Softmax{1}});
}

TEST(GraphBuilding, UnaryBuildersKeepTheShapeAndTheirParameters) {
  Graph graph;
  const TensorId x = graph.input("x", {3, 0, 7});
  const auto norm = graph.layer_norm("norm", x, 1e-5F);
  const auto act = graph.gelu("act", *norm);
  ASSERT_TRUE(norm.has_value());
  ASSERT_TRUE(act.has_value());
  EXPECT_EQ(graph.tensors[norm->index].shape, (Shape{3, 0, 7}));
  EXPECT_EQ(graph.tensors[act->index].shape, (Shape{3, 0, 7}));
  EXPECT_EQ(graph.ops[0].kind, OpKind{LayerNorm{1e-5F}});
  EXPECT_EQ(graph.ops[1].kind, OpKind{Gelu{}});
  EXPECT_EQ(graph.ops[1].inputs, (std::vector<TensorId>{*norm}));
}

TEST(GraphBuilding, OperandsThatNameNoTensorAreUnknownInputs) {
  Graph graph;
  const TensorId x = graph.input("x", {4, 4});
  const TensorId missing{5};
  const auto expect_unknown = [&](const Result<TensorId>& result, const char* name) {
    ASSERT_FALSE(result.has_value()) << name;
    EXPECT_EQ(result.error(), CompileError::graph(std::string(name) + ": unknown input"));
  };
  expect_unknown(graph.matmul("mm", x, missing), "mm");
  expect_unknown(graph.matmul("mm", missing, x), "mm");
  expect_unknown(graph.add("sum", missing, x), "sum");
  expect_unknown(graph.add("sum", x, missing), "sum");
  expect_unknown(graph.transpose("t", missing, {}), "t");
  expect_unknown(graph.layer_norm("n", missing, 1e-5F), "n");
  expect_unknown(graph.softmax("s", missing, 0), "s");
  expect_unknown(graph.gelu("g", missing), "g");
  expect_unknown(graph.op("raw", Mul{}, {x, missing}, {4, 4}), "raw");
  expect_unknown(graph.binary("b", Mul{}, x, missing), "b");
  EXPECT_EQ(graph.tensors.size(), 1U);
  EXPECT_TRUE(graph.ops.empty());

  EXPECT_THROW(graph.mark_output(missing), std::out_of_range);
  EXPECT_TRUE(graph.outputs.empty());
  EXPECT_EQ(graph.tensors[0].kind, TensorKind::Input);
}

TEST(GraphBuilding, FailedCallsChangeNothingAndDoNotShiftLaterIds) {
  Graph graph;
  const TensorId a = graph.input("a", {2, 3});
  const TensorId b = graph.input("b", {3, 2});
  graph.mark_output(a);
  const Graph before = graph;

  EXPECT_FALSE(graph.add("x", a, b).has_value());
  EXPECT_FALSE(graph.matmul("x", a, a).has_value());
  EXPECT_FALSE(graph.transpose("x", a, {1, 1}).has_value());
  EXPECT_FALSE(graph.softmax("x", a, 9).has_value());
  EXPECT_EQ(graph, before);

  const auto product = graph.matmul("ab", a, b);
  ASSERT_TRUE(product.has_value());
  EXPECT_EQ(*product, TensorId{2});
  EXPECT_EQ(graph.ops.back().id, OpId{0});
}

TEST(GraphBuilding, RawOpAndBinaryBuildAnyKind) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 6});
  const auto reshaped = graph.op("r", Reshape{{3, 4}}, {x}, {3, 4});
  ASSERT_TRUE(reshaped.has_value());
  EXPECT_EQ(graph.tensors[reshaped->index].shape, (Shape{3, 4}));
  const auto product = graph.binary("m", Mul{}, x, x);
  ASSERT_TRUE(product.has_value());
  EXPECT_EQ(graph.ops[1].kind, OpKind{Mul{}});
  EXPECT_EQ(graph.ops[1].inputs, (std::vector<TensorId>{x, x}));
  EXPECT_EQ(graph.binary("m", Mul{}, x, *reshaped).error(),
            CompileError::graph("m: binary shapes differ"));

  const TensorId plain = graph.tensor("p", {1}, TensorKind::Weight, OpId{9});
  EXPECT_EQ(graph.tensors[plain.index].producer, OpId{9});
  EXPECT_EQ(graph.tensors[plain.index].kind, TensorKind::Weight);
}

TEST(GraphBuilding, MarkOutputOverwritesTheKindAndRepeats) {
  Graph graph;
  const TensorId x = graph.input("x", {1});
  graph.mark_output(x);
  graph.mark_output(x);
  EXPECT_EQ(graph.tensors[0].kind, TensorKind::Output);
  EXPECT_FALSE(graph.tensors[0].producer.has_value());
  EXPECT_EQ(graph.outputs, (std::vector<TensorId>{x, x}));
}

TEST(GraphBuilding, NamesAreCopiedUnchecked) {
  Graph graph;
  const TensorId x = graph.input("", {1});
  const TensorId y = graph.input("", {1});
  const auto sum = graph.add("same \"name\"\n", x, y);
  ASSERT_TRUE(sum.has_value());
  EXPECT_EQ(graph.tensors[sum->index].name, "same \"name\"\n");
  EXPECT_EQ(graph.ops[0].name, "same \"name\"\n");
}

}  // namespace
}  // namespace zelk_compiler
