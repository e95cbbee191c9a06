// Whole-graph validation: what is checked, in which order, and what passes.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {
namespace {

CompileError graph_error(std::string message) { return CompileError::graph(std::move(message)); }

Graph valid_chain() {
  Graph graph;
  const TensorId x = graph.input("x", {4, 8});
  const TensorId w = graph.weight("w", {8, 8});
  const TensorId y = *graph.matmul("y", x, w);
  const TensorId z = *graph.gelu("z", y);
  graph.mark_output(z);
  return graph;
}

TEST(GraphValidation, EmptyGraphHasNoOutputs) {
  EXPECT_EQ(Graph{}.validate().error(), graph_error("graph has no outputs"));
}

TEST(GraphValidation, BuiltGraphsPass) {
  EXPECT_TRUE(valid_chain().validate().has_value());

  Graph only_input;
  only_input.mark_output(only_input.input("x", {3}));
  EXPECT_TRUE(only_input.validate().has_value());

  // Repeated outputs, unread tensors and repeated names are all fine.
  Graph loose;
  const TensorId x = loose.input("same", {2, 2});
  (void)loose.input("same", {5});
  (void)*loose.gelu("same", x);
  loose.mark_output(x);
  loose.mark_output(x);
  EXPECT_TRUE(loose.validate().has_value());
}

TEST(GraphValidation, BadShapesNameTheTensor) {
  const std::vector<std::vector<std::uint64_t>> bad_shapes = {{}, {4, 0}, {0}};
  for (const auto& shape : bad_shapes) {
    Graph graph;
    const TensorId x = graph.input("bad", shape);
    graph.mark_output(x);
    EXPECT_EQ(graph.validate().error(), graph_error("invalid tensor bad"));
    Graph no_output;
    (void)no_output.input("bad", shape);
    EXPECT_EQ(no_output.validate().error(), graph_error("invalid tensor bad"));
  }
}

TEST(GraphValidation, TensorsWhoseByteSizeOverflowsAreInvalid) {
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const auto check = [](std::vector<std::uint64_t> shape) {
    Graph graph;
    graph.mark_output(graph.input("huge", std::move(shape)));
    return graph.validate();
  };
  // 2^62 elements are 2^64 bytes: one byte too many.
  EXPECT_EQ(check({std::uint64_t{1} << 62U}).error(), graph_error("invalid tensor huge"));
  EXPECT_EQ(check({max, 2}).error(), graph_error("invalid tensor huge"));
  EXPECT_TRUE(check({(std::uint64_t{1} << 62U) - 1}).has_value());
  EXPECT_TRUE(check({std::uint64_t{1} << 30U, std::uint64_t{1} << 31U}).has_value());
}

TEST(GraphValidation, FirstBadTensorWinsOverLaterProblems) {
  Graph graph;
  (void)graph.input("fine", {2});
  (void)graph.input("first", {0});
  (void)graph.input("second", {});
  graph.ops.push_back(Op{.id = OpId{7}, .name = "op", .kind = Gelu{}, .inputs = {}, .output = {}});
  EXPECT_EQ(graph.validate().error(), graph_error("invalid tensor first"));
}

TEST(GraphValidation, TensorIdMustMatchItsPosition) {
  Graph graph = valid_chain();
  graph.tensors[1].id = TensorId{0};
  EXPECT_EQ(graph.validate().error(), graph_error("invalid tensor w"));
}

TEST(GraphValidation, EachOperationFaultNamesTheOperation) {
  struct Case {
    const char* label;
    void (*damage)(Graph&);
  };
  const std::vector<Case> cases = {
      {"id off its position", [](Graph& g) { g.ops[0].id = OpId{1}; }},
      {"input out of range", [](Graph& g) { g.ops[0].inputs.push_back(TensorId{4}); }},
      {"output out of range", [](Graph& g) { g.ops[0].output = TensorId{99}; }},
      {"output has no producer", [](Graph& g) { g.tensors[2].producer.reset(); }},
      {"producer names another op", [](Graph& g) { g.tensors[2].producer = OpId{1}; }},
      {"output is another op's tensor", [](Graph& g) { g.ops[0].output = TensorId{3}; }},
  };
  for (const auto& c : cases) {
    Graph graph = valid_chain();
    c.damage(graph);
    graph.outputs.clear();  // the op message must still win over the outputs check
    EXPECT_EQ(graph.validate().error(), graph_error("invalid op y")) << c.label;
  }
}

TEST(GraphValidation, LinksAreCheckedOnlyFromTheOperationsSide) {
  Graph graph = valid_chain();
  graph.tensors[0].producer = OpId{42};              // an input claiming a producer
  graph.tensors[1].kind = TensorKind::Intermediate;  // kinds are not looked at
  EXPECT_TRUE(graph.validate().has_value());
}

TEST(GraphValidation, OutputsMustNameTensors) {
  Graph graph = valid_chain();
  graph.outputs.push_back(TensorId{4});
  EXPECT_EQ(graph.validate().error(), graph_error("invalid output 4"));
  // Operations are checked first.
  graph.ops[1].id = OpId{0};
  EXPECT_EQ(graph.validate().error(), graph_error("invalid op z"));
}

TEST(GraphValidation, ValidateChangesNothing) {
  Graph graph = valid_chain();
  graph.tensors[3].shape = {};
  const Graph before = graph;
  EXPECT_FALSE(graph.validate().has_value());
  EXPECT_EQ(graph.validate().error(), graph_error("invalid tensor z"));
  EXPECT_EQ(graph, before);
}

}  // namespace
}  // namespace zelk_compiler
