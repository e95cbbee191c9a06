// Printed forms of ids, errors and graph records.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {
namespace {

TEST(GraphPrinting, IdsAndErrors) {
  EXPECT_EQ(debug_string(TensorId{0}), "TensorId(0)");
  EXPECT_EQ(debug_string(TensorId{3}), "TensorId(3)");
  EXPECT_EQ(debug_string(OpId{12}), "OpId(12)");
  EXPECT_EQ(debug_string(CompileError::memory("abc")), "Memory(\"abc\")");
  EXPECT_EQ(debug_string(CompileError::graph("graph has no outputs")),
            "Graph(\"graph has no outputs\")");
  EXPECT_EQ(debug_string(CompileError::graph("say \"hi\"\nback\\slash\ttab\r")),
            R"(Graph("say \"hi\"\nback\\slash\ttab\r"))");
  EXPECT_EQ(debug_string(CompileError::graph(std::string("\x01", 1))), R"(Graph("\u{01}"))");
}

TEST(GraphPrinting, ValuesInsideRecords) {
  EXPECT_EQ(debug_string(std::vector<std::uint64_t>{0, 1, 2}), "[0, 1, 2]");
  EXPECT_EQ(debug_string(std::vector<std::uint64_t>{}), "[]");
  EXPECT_EQ(debug_string(std::optional<OpId>{}), "None");
  EXPECT_EQ(debug_string(std::optional<OpId>{OpId{0}}), "Some(OpId(0))");
  EXPECT_EQ(debug_string(std::uint8_t{6}), "6");
  EXPECT_EQ(debug_string(1e-5F), "1e-05");
  EXPECT_EQ(debug_string(0.25F), "0.25");
  EXPECT_EQ(debug_string(-0.0F), "-0");
  EXPECT_EQ(debug_string(std::numeric_limits<float>::infinity()), "inf");
  EXPECT_EQ(debug_string(std::map<std::uint16_t, std::uint32_t>{{0, 9216}, {1, 9216}}),
            "{0: 9216, 1: 9216}");
  EXPECT_EQ(debug_string(std::string("tail")), "\"tail\"");
}

TEST(GraphPrinting, OperationKinds) {
  EXPECT_EQ(debug_string(OpKind{MatMul{}}), "MatMul");
  EXPECT_EQ(debug_string(OpKind{Gelu{}}), "Gelu");
  EXPECT_EQ(debug_string(OpKind{LayerNorm{1e-5F}}), "LayerNorm { epsilon: 1e-05 }");
  EXPECT_EQ(debug_string(OpKind{Softmax{1}}), "Softmax { axis: 1 }");
  EXPECT_EQ(debug_string(OpKind{Transpose{{1, 0}}}), "Transpose { permutation: [1, 0] }");
  EXPECT_EQ(debug_string(OpKind{Reshape{{2, 3}}}), "Reshape { shape: [2, 3] }");
}

TEST(GraphPrinting, WholeGraph) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 2});
  const TensorId y = *graph.softmax("y", x, 1);
  graph.mark_output(y);
  EXPECT_EQ(debug_string(graph.tensors[1]),
            "Tensor { id: TensorId(1), name: \"y\", dtype: F32, shape: [2, 2], kind: Output, "
            "producer: Some(OpId(0)) }");
  EXPECT_EQ(debug_string(graph.ops[0]),
            "Op { id: OpId(0), name: \"y\", kind: Softmax { axis: 1 }, inputs: [TensorId(0)], "
            "output: TensorId(1) }");
  EXPECT_EQ(debug_string(graph),
            "Graph { tensors: [Tensor { id: TensorId(0), name: \"x\", dtype: F32, shape: [2, 2], "
            "kind: Input, producer: None }, Tensor { id: TensorId(1), name: \"y\", dtype: F32, "
            "shape: [2, 2], kind: Output, producer: Some(OpId(0)) }], ops: [Op { id: OpId(0), "
            "name: \"y\", kind: Softmax { axis: 1 }, inputs: [TensorId(0)], output: TensorId(1) "
            "}], outputs: [TensorId(1)] }");
}

}  // namespace
}  // namespace zelk_compiler
