// Graph files: what is written replays to an equal graph, and every kind of
// malformed or refused file is reported at its place with the right status.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <zelk_compiler/lib.hpp>

#include "formats/graph_json.hpp"
#include "support/random_graphs.hpp"

namespace zelkc {
namespace {

namespace zc = zelk_compiler;

zc::Graph round_trip(const zc::Graph& graph) {
  const auto text = write_graph_json(graph);
  EXPECT_TRUE(text.has_value()) << (text ? "" : text.error().message);
  if (!text) {
    return {};
  }
  const auto read = read_graph_json(*text);
  EXPECT_TRUE(read.has_value()) << (read ? "" : read.error().message) << '\n' << *text;
  return read ? *read : zc::Graph{};
}

// Inputs and weights, every operation kind including Mul and Reshape, names
// that repeat, a tensor marked twice and an epsilon that is not a round
// decimal.
zc::Graph hand_made_graph() {
  zc::Graph graph;
  const auto x = graph.input("x", {4, 8});
  const auto w = graph.weight("w", {8, 8});
  const auto scale = graph.weight("x", {4, 8});  // same name as the input
  const auto product = *graph.matmul("y", x, w);
  const auto scaled = *graph.binary("y", zc::Mul{}, product, scale);  // "y" again
  const auto flat = *graph.op("flat", zc::Reshape{{2, 16}}, {scaled}, {2, 16});
  const auto turned = *graph.transpose("turned", flat, {1, 0});
  const auto norm = *graph.layer_norm("norm", turned, 0.1F);
  const auto soft = *graph.softmax("soft", norm, 0);
  const auto act = *graph.gelu("act", soft);
  const auto sum = *graph.add("sum", act, act);
  graph.mark_output(sum);
  graph.mark_output(product);
  graph.mark_output(sum);
  return graph;
}

TEST(GraphJson, EncoderBlockAndStackRoundTrip) {
  const zc::Graph block = *zc::encoder_graph({});
  EXPECT_EQ(round_trip(block), block);
  const zc::Graph stack = *zc::encoder_stack_graph({.sequence = 8, .hidden = 16}, 3);
  EXPECT_EQ(round_trip(stack), stack);
}

TEST(GraphJson, HandMadeGraphWithMulReshapeAndRepeatedNamesRoundTrips) {
  const zc::Graph graph = hand_made_graph();
  EXPECT_EQ(round_trip(graph), graph);
}

TEST(GraphJson, OperationsMadeByTheRawStepRoundTripAsRawEntries) {
  zc::Graph graph;
  const auto x = graph.input("x", {4, 8});
  const auto wide = *graph.op("wide", zc::Gelu{}, {x}, {16, 8});
  const auto lone = *graph.op("lone", zc::MatMul{}, {x}, {4, 4});
  const auto odd = *graph.op("odd", zc::Reshape{{32}}, {wide}, {2, 2});
  const auto none = *graph.op("none", zc::Softmax{1}, {}, {3});
  graph.mark_output(lone);
  graph.mark_output(odd);
  graph.mark_output(none);
  const auto text = write_graph_json(graph);
  ASSERT_TRUE(text.has_value()) << text.error().message;
  EXPECT_NE(text->find(R"({"op": "raw", "kind": "gelu", "name": "wide", "inputs": ["x"], )"
                       R"("output_shape": [16, 8]})"),
            std::string::npos)
      << *text;
  EXPECT_NE(text->find(R"({"op": "raw", "kind": "reshape", "name": "odd", "inputs": ["wide"], )"
                       R"("shape": [32], "output_shape": [2, 2]})"),
            std::string::npos)
      << *text;
  EXPECT_EQ(round_trip(graph), graph);
}

// Every kind of operation through its builder: broadcasting and batched
// entries, layer norms with one and three inputs, concatenations of several.
zc::Graph every_kind_graph() {
  zc::Graph graph;
  const auto x = graph.input("x", {2, 4, 8});
  const auto w = graph.weight("w", {8, 6});
  const auto g = graph.weight("g", {8});
  const auto b = graph.weight("b", {8});
  const auto product = *graph.batch_matmul("product", x, w);                          // [2, 4, 6]
  const auto square = *graph.matmul("square", *graph.reshape("flat", x, {8, 8}), w);  // [8, 6]
  const auto biased = *graph.elementwise("biased", zc::Add{}, x, b);
  const auto scaled = *graph.elementwise("scaled", zc::Mul{}, g, biased);
  const auto diff = *graph.elementwise("diff", zc::Sub{}, scaled, x);
  const auto ratio = *graph.elementwise("ratio", zc::Div{}, diff, x);
  const auto power = *graph.elementwise("power", zc::Pow{}, ratio, g);
  const auto same = *graph.add("same", power, x);
  const auto times = *graph.mul("times", same, x);
  const auto norm = *graph.layer_norm("norm", times, g, b, 1e-5F);
  const auto plain = *graph.layer_norm("plain", norm, 1e-6F);
  auto last = plain;
  for (const zc::OpKind& kind :
       {zc::OpKind{zc::Gelu{}}, zc::OpKind{zc::GeluErf{}}, zc::OpKind{zc::Relu{}},
        zc::OpKind{zc::Erf{}}, zc::OpKind{zc::Tanh{}}, zc::OpKind{zc::Sqrt{}},
        zc::OpKind{zc::Exp{}}, zc::OpKind{zc::Sigmoid{}}}) {
    last = *graph.unary(std::string(zc::operation_name(kind)), kind, last);
  }
  const auto turned = *graph.transpose("turned", last, {2, 0, 1});  // [8, 2, 4]
  const auto soft = *graph.softmax("soft", turned, 2);
  const auto part = *graph.slice("part", soft, 0, 2, 5);               // [3, 2, 4]
  const auto joined = *graph.concat("joined", {part, soft, part}, 0);  // [14, 2, 4]
  const auto mean = *graph.reduce_mean("mean", joined, 1);             // [14, 1, 4]
  graph.mark_output(*graph.cast("half", mean, zc::DType::F16));
  graph.mark_output(*graph.gather("looked", w, graph.input("ids", {2, 3}, zc::DType::I64)));
  graph.mark_output(product);
  graph.mark_output(square);
  return graph;
}

TEST(GraphJson, EveryKindRoundTripsThroughItsBuilder) {
  const zc::Graph graph = every_kind_graph();
  std::vector<bool> seen(std::variant_size_v<zc::OpKind>, false);
  for (const zc::Op& op : graph.ops) seen[op.kind.index()] = true;
  EXPECT_EQ(std::ranges::count(seen, false), 0) << "a kind is missing from the graph";

  const auto text = write_graph_json(graph);
  ASSERT_TRUE(text.has_value()) << text.error().message;
  EXPECT_EQ(text->find("\"raw\""), std::string::npos) << *text;
  for (
      const char* line : {
          R"({"op": "matmul", "name": "product", "inputs": ["x", "w"]})",
          R"({"op": "add", "name": "biased", "inputs": ["x", "b"]})",
          R"({"op": "pow", "name": "power", "inputs": ["ratio", "g"]})",
          R"({"op": "reshape", "name": "flat", "inputs": ["x"], "shape": [8, 8]})",
          R"({"op": "layer_norm", "name": "norm", "inputs": ["times", "g", "b"], "epsilon": 1e-05})",
          R"({"op": "gelu_erf", "name": "gelu_erf", "inputs": ["gelu"]})",
          R"({"op": "slice", "name": "part", "inputs": ["soft"], "axis": 0, "start": 2, "end": 5})",
          R"({"op": "concat", "name": "joined", "inputs": ["part", "soft", "part"], "axis": 0})",
          R"({"op": "reduce_mean", "name": "mean", "inputs": ["joined"], "axis": 1})",
          R"({"op": "cast", "name": "half", "inputs": ["mean"], "to": "f16"})",
          R"({"op": "gather", "name": "looked", "inputs": ["w", "ids"]})",
      }) {
    EXPECT_NE(text->find(line), std::string::npos) << line << "\n" << *text;
  }
  EXPECT_EQ(round_trip(graph), graph);
}

TEST(GraphJson, RawEntriesOfTheNewKindsKeepTheirFields) {
  zc::Graph graph;
  const auto x = graph.input("x", {4, 8});
  // Shapes no builder gives: each is written as a raw entry.
  graph.mark_output(*graph.op("s", zc::Slice{1, 2, 3}, {x}, {4, 2}));
  graph.mark_output(*graph.op("c", zc::Concat{0}, {}, {1}));
  graph.mark_output(*graph.op("m", zc::ReduceMean{5}, {x}, {4, 8}));
  graph.mark_output(*graph.op("p", zc::Pow{}, {x, x, x}, {4, 8}));
  const auto text = write_graph_json(graph);
  ASSERT_TRUE(text.has_value()) << text.error().message;
  EXPECT_NE(text->find(R"({"op": "raw", "kind": "slice", "name": "s", "inputs": ["x"], "axis": 1, )"
                       R"("start": 2, "end": 3, "output_shape": [4, 2]})"),
            std::string::npos)
      << *text;
  EXPECT_EQ(round_trip(graph), graph);
}

TEST(GraphJson, GeneratedGraphsRoundTrip) {
  zc::test_support::Random random(77);
  for (int round = 0; round < 200; ++round) {
    const zc::Graph graph = zc::test_support::random_graph(random);
    ASSERT_EQ(round_trip(graph), graph) << "round " << round;
  }
}

TEST(GraphJson, NamesAreWrittenWhereTheyPickOutOneTensorAndIndicesElsewhere) {
  const auto text = write_graph_json(hand_made_graph());
  ASSERT_TRUE(text.has_value());
  // Two tensors are named "x" before "y" reads the first; "y" is unique
  // until the second "y".
  EXPECT_NE(text->find(R"({"op": "matmul", "name": "y", "inputs": [0, "w"]})"), std::string::npos)
      << *text;
  EXPECT_NE(text->find(R"({"op": "mul", "name": "y", "inputs": ["y", 2]})"), std::string::npos)
      << *text;
  EXPECT_NE(text->find(R"({"op": "reshape", "name": "flat", "inputs": [4], "shape": [2, 16]})"),
            std::string::npos)
      << *text;
  EXPECT_NE(text->find(R"("outputs": ["sum", 3, "sum"])"), std::string::npos) << *text;
}

TEST(GraphJson, EncoderEntriesReadAsTheBuilderCalls) {
  const auto text = write_graph_json(*zc::encoder_graph({}));
  ASSERT_TRUE(text.has_value());
  for (
      const char* line : {
          R"({"op": "input", "name": "input", "shape": [32, 64]})",
          R"({"op": "layer_norm", "name": "norm1", "inputs": ["input"], "epsilon": 1e-05})",
          R"({"op": "transpose", "name": "k_transpose", "inputs": ["k"], "permutation": [1, 0]})",
          R"({"op": "softmax", "name": "attention_softmax", "inputs": ["attention_scores"], "axis": 1})",
      }) {
    EXPECT_NE(text->find(line), std::string::npos) << line << "\n" << *text;
  }
}

TEST(GraphJson, EpsilonsKeepTheirExactValue) {
  const float denormal = std::numeric_limits<float>::denorm_min();
  const float largest = std::numeric_limits<float>::max();
  const float infinity = std::numeric_limits<float>::infinity();
  for (const float epsilon :
       {1e-5F, -0.0F, 0.0F, denormal, largest, -largest, infinity, -infinity, 0.3F, 16777217.0F}) {
    zc::Graph graph;
    graph.mark_output(*graph.layer_norm("n", graph.input("x", {2}), epsilon));
    const zc::Graph back = round_trip(graph);
    ASSERT_EQ(back.ops.size(), 1U);
    const float read = std::get<zc::LayerNorm>(back.ops[0].kind).epsilon;
    EXPECT_EQ(read, epsilon);
    EXPECT_EQ(std::signbit(read), std::signbit(epsilon));
  }
  zc::Graph graph;
  graph.mark_output(
      *graph.layer_norm("n", graph.input("x", {2}), std::numeric_limits<float>::quiet_NaN()));
  const zc::Graph back = round_trip(graph);
  ASSERT_EQ(back.ops.size(), 1U);
  EXPECT_TRUE(std::isnan(std::get<zc::LayerNorm>(back.ops[0].kind).epsilon));
}

TEST(GraphJson, GraphsNoBuilderCallsMakeAreNotWritten) {
  zc::Graph orphan;
  const auto t = orphan.tensor("t", {2}, zc::TensorKind::Intermediate, std::nullopt);
  orphan.mark_output(t);
  orphan.tensors[0].kind = zc::TensorKind::Intermediate;
  const auto written = write_graph_json(orphan);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, Failure::Kind::Refused);

  zc::Graph invalid_utf8;
  invalid_utf8.mark_output(invalid_utf8.input("\xff", {2}));
  const auto bytes = write_graph_json(invalid_utf8);
  ASSERT_FALSE(bytes.has_value());
  EXPECT_NE(bytes.error().message.find("UTF-8"), std::string::npos);
}

// A document around the given entries: "ops": [entries], "outputs": [outputs].
std::string document(const std::string& entries, const std::string& outputs = R"("x")") {
  return R"({"format": "zelk-graph", "version": 1, "ops": [)" + entries + R"(], "outputs": [)" +
         outputs + "]}";
}

const std::string kX = R"({"op": "input", "name": "x", "shape": [4, 8]})";
const std::string kW = R"({"op": "weight", "name": "w", "shape": [8, 16]})";

struct BadFile {
  std::string text;
  std::string message;  // the whole message
};

// Each file fails to read, with a failure of `kind` and its message.
void expect_failures(const std::vector<BadFile>& files, Failure::Kind kind) {
  for (const BadFile& bad : files) {
    const auto graph = read_graph_json(bad.text);
    ASSERT_FALSE(graph.has_value()) << bad.text;
    EXPECT_EQ(graph.error().kind, kind) << bad.text;
    EXPECT_EQ(graph.error().message, bad.message) << bad.text;
  }
}

TEST(GraphJson, MalformedFilesAreUsageErrorsAtTheirPlace) {
  const std::vector<BadFile> cases = {
      {"this is not json",
       "not JSON: parse error at line 1, column 2: syntax error while "
       "parsing value - invalid literal; last read: 'th'"},
      {R"({"ops": [{"op": "input")",
       "not JSON: parse error at line 1, column 24: syntax error "
       "while parsing object - unexpected end of input; expected "
       "'}'"},
      {"[]", "the document: expected an object, got an array"},
      {R"({"outputs": []})", "the document: missing field \"ops\""},
      {R"({"ops": []})", "the document: missing field \"outputs\""},
      {R"({"ops": {}, "outputs": []})", "/ops: expected an array, got an object"},
      {R"({"ops": [], "outputs": [], "tensors": []})", "/tensors: unexpected field"},
      {R"({"format": "zelk-schedule", "ops": [], "outputs": []})",
       "/format: expected \"zelk-graph\", got a string"},
      {R"({"version": 2, "ops": [], "outputs": []})",
       "/version: expected version 1, got the number 2"},
      {R"({"ops": [], "outputs": [], "ops": []})", "/ops: key given twice"},
      {document(R"({"op": "input", "name": "x", "shape": [4], "shape": [8]})"),
       "/ops/0/shape: key given twice"},
      {document(kX + R"(, {"op": "input", "name": "y", "shape": [4], "shape": [8]})"),
       "/ops/1/shape: key given twice"},
      {document("[]"), "/ops/0: expected an object, got an array"},
      {document(R"({"name": "x", "shape": [4]})"), "/ops/0: missing field \"op\""},
      {document(R"({"op": 3, "name": "x"})"), "/ops/0/op: expected a string, got the number 3"},
      {document(kX + R"(, {"op": "conv", "name": "c", "inputs": ["x"]})"),
       "/ops/1/op: unknown operation \"conv\" (known: input, weight, matmul, add, mul, "
       "reshape, transpose, layer_norm, softmax, gelu, sub, div, pow, gelu_erf, relu, erf, tanh, "
       "sqrt, exp, slice, concat, reduce_mean, cast, sigmoid, gather, raw)"},
      {document(R"({"op": "input", "name": "x", "shape": [4], "epsilon": 1})"),
       "/ops/0/epsilon: unexpected field for input"},
      {document(R"({"op": "input", "shape": [4]})"), "/ops/0: missing field \"name\""},
      {document(R"({"op": "input", "name": ["x"], "shape": [4]})"),
       "/ops/0/name: expected a string, got an array"},
      {document(R"({"op": "input", "name": "x"})"), "/ops/0: missing field \"shape\""},
      {document(R"({"op": "input", "name": "x", "shape": "4x8"})"),
       "/ops/0/shape: expected an array of unsigned integers, got a string"},
      {document(R"({"op": "input", "name": "x", "shape": [4, -8]})"),
       "/ops/0/shape/1: expected an unsigned integer, got the negative number -8"},
      {document(R"({"op": "input", "name": "x", "shape": [-0]})"),
       "/ops/0/shape/0: expected an unsigned integer, got the number -0"},
      {document(R"({"op": "input", "name": "x", "shape": [2.5]})"),
       "/ops/0/shape/0: expected an unsigned integer, got the fractional number 2.5"},
      {document(R"({"op": "input", "name": "x", "shape": [4.0]})"),
       "/ops/0/shape/0: expected an unsigned integer, got the number 4.0 written with a "
       "fraction or an exponent"},
      {document(R"({"op": "input", "name": "x", "shape": [18446744073709551616]})"),
       "/ops/0/shape/0: expected an unsigned integer, got a number beyond 64 bits"},
      {document(R"({"op": "input", "name": "x", "shape": [1e400]})"),
       "not JSON: number overflow parsing '1e400'"},
      {document(R"({"op": "input", "name": "x", "shape": [true]})"),
       "/ops/0/shape/0: expected an unsigned integer, got a boolean"},
      {document(kX + "," + kW + R"(, {"op": "matmul", "name": "y", "inputs": ["x"]})"),
       "/ops/2/inputs: matmul takes 2 tensors, got 1"},
      {document(kX + R"(, {"op": "gelu", "name": "y"})"), "/ops/1: missing field \"inputs\""},
      {document(kX + R"(, {"op": "layer_norm", "name": "n", "inputs": ["x", "x"], "epsilon": 0})"),
       "/ops/1/inputs: layer_norm takes 1 or 3 tensors, got 2"},
      {document(kX + R"(, {"op": "concat", "name": "c", "inputs": [], "axis": 0})"),
       "/ops/1/inputs: concat takes 1 or more tensors, got 0"},
      {document(kX + R"(, {"op": "relu", "name": "r", "inputs": ["x", "x"]})"),
       "/ops/1/inputs: relu takes 1 tensor, got 2"},
      {document(kX + R"(, {"op": "slice", "name": "s", "inputs": ["x"], "axis": 0, "end": 2})"),
       "/ops/1: missing field \"start\""},
      {document(kX + R"(, {"op": "slice", "name": "s", "inputs": ["x"], "axis": 0, "start": 0, )" +
                R"("end": 2, "step": 1})"),
       "/ops/1/step: unexpected field for slice"},
      {document(kX + R"(, {"op": "reduce_mean", "name": "r", "inputs": ["x"], "axis": "last"})"),
       "/ops/1/axis: expected an unsigned integer, got a string"},
      {document(kX + "," + kW + R"(, {"op": "matmul", "name": "y", "inputs": ["x", "v"]})"),
       "/ops/2/inputs/1: \"v\" names no tensor"},
      {document(kX + R"(, {"op": "gelu", "name": "y", "inputs": ["z"]}, )" +
                R"({"op": "gelu", "name": "z", "inputs": ["x"]})"),
       "/ops/1/inputs/0: \"z\" comes later (at /ops/2); operands must be made by earlier "
       "entries"},
      // The first failing entry is reported, though later ones fail too and
      // only the last entry tells why it failed.
      {document(kX + R"(, {"op": "gelu", "name": "y", "inputs": ["z"]}, )" +
                R"({"op": "conv", "name": "c"}, {"op": "gelu", "name": "z", "inputs": ["x"]})"),
       "/ops/1/inputs/0: \"z\" comes later (at /ops/3); operands must be made by earlier "
       "entries"},
      // A header after the entries still comes first.
      {R"({"ops": [{"op": "gelu", "name": "y", "inputs": ["z"]}], "outputs": [], "version": 2})",
       "/version: expected version 1, got the number 2"},
      {document(kX + R"(, {"op": "gelu", "name": "y", "inputs": [2]}, )" +
                R"({"op": "gelu", "name": "z", "inputs": [0]})"),
       "/ops/1/inputs/0: tensor 2 comes later (at /ops/2); operands must be made by earlier "
       "entries"},
      {document(kX + R"(, {"op": "gelu", "name": "y", "inputs": [1]})"),
       "/ops/1/inputs/0: tensor 1 comes later (at /ops/1); operands must be made by earlier "
       "entries"},
      {document(kX + R"(, {"op": "gelu", "name": "y", "inputs": [7]})"),
       "/ops/1/inputs/0: tensor 7 names nothing (the graph has 2 tensors)"},
      {document(kX + R"(, {"op": "gelu", "name": "y", "inputs": [-1]})"),
       "/ops/1/inputs/0: expected a tensor name or index, got the negative number -1"},
      {document(kX + "," + kX + R"(, {"op": "gelu", "name": "y", "inputs": ["x"]})"),
       "/ops/2/inputs/0: \"x\" is ambiguous: tensors 0 and 1 both have that name; refer to one "
       "by index"},
      {document(kX + R"(, {"op": "layer_norm", "name": "n", "inputs": ["x"], "epsilon": "tiny"})"),
       "/ops/1/epsilon: expected a number (or \"nan\", \"inf\", \"-inf\"), got a string"},
      {document(kX + R"(, {"op": "layer_norm", "name": "n", "inputs": ["x"], "epsilon": 1e39})"),
       "/ops/1/epsilon: 1e+39 is beyond the float range"},
      {document(kX + R"(, {"op": "softmax", "name": "s", "inputs": ["x"], "axis": -1})"),
       "/ops/1/axis: expected an unsigned integer, got the negative number -1"},
      {document(kX + R"(, {"op": "transpose", "name": "t", "inputs": ["x"], "permutation": 1})"),
       "/ops/1/permutation: expected an array of unsigned integers, got the number 1"},
      {document(kX, R"("nothing")"), "/outputs/0: \"nothing\" names no tensor"},
      {document(kX, "1"), "/outputs/0: tensor 1 names nothing (the graph has 1 tensors)"},
      {document(kX + R"(, {"op": "raw", "name": "r", "inputs": ["x"], "output_shape": [2]})"),
       "/ops/1: missing field \"kind\""},
      {document(kX + R"(, {"op": "raw", "kind": "conv", "name": "r", "inputs": ["x"]})"),
       "/ops/1/kind: unknown operation kind \"conv\""},
      {document(kX + R"(, {"op": "raw", "kind": "gelu", "name": "r", "inputs": ["x"]})"),
       "/ops/1: missing field \"output_shape\""},
      {document(
           kX +
           R"(, {"op": "raw", "kind": "gelu", "name": "r", "inputs": "x", "output_shape": [1]})"),
       "/ops/1/inputs: expected an array of tensors, got a string"},
      {document(kX + R"(, {"op": "gelu", "name": "g", "inputs": ["x"], "output_shape": [1]})"),
       "/ops/1/output_shape: unexpected field for gelu"},
      {document(
           kX +
           R"(, {"op": "raw", "kind": "softmax", "name": "r", "inputs": [], "output_shape": [1]})"),
       "/ops/1: missing field \"axis\""},
      {R"({"ops": [], "outputs": "x"})",
       "/outputs: expected an array of tensor names or indices, got a string"},
  };
  expect_failures(cases, Failure::Kind::Usage);
}

TEST(GraphJson, FilesTheLibraryRefusesCarryItsPrintedError) {
  const std::vector<BadFile> cases = {
      {document(kX + R"(, {"op": "weight", "name": "wq", "shape": [16, 4]}, )" +
                R"({"op": "matmul", "name": "q", "inputs": ["x", "wq"]})"),
       R"(/ops/2: Graph("q: incompatible matmul [4, 8] x [16, 4]"))"},
      {document(kX + "," + kW + R"(, {"op": "add", "name": "s", "inputs": ["x", "w"]})"),
       R"(/ops/2: Graph("s: shapes do not broadcast [4, 8] and [8, 16]"))"},
      {document(kX + "," + kW + R"(, {"op": "mul", "name": "m", "inputs": ["x", "w"]})"),
       R"(/ops/2: Graph("m: shapes do not broadcast [4, 8] and [8, 16]"))"},
      {document(kX + R"(, {"op": "reshape", "name": "r", "inputs": ["x"], "shape": [4, 4]})"),
       R"(/ops/1: Graph("r: invalid reshape [4, 8] to [4, 4]"))"},
      {document(kX + R"(, {"op": "matmul", "name": "p", "inputs": ["x", "x"]})"),
       R"(/ops/1: Graph("p: incompatible matmul [4, 8] x [4, 8]"))"},
      {document(kX + R"(, {"op": "slice", "name": "s", "inputs": ["x"], "axis": 1, "start": 4, )" +
                R"("end": 9})"),
       R"(/ops/1: Graph("s: invalid slice [4, 9) of axis 1 of [4, 8]"))"},
      {document(kX + R"(, {"op": "layer_norm", "name": "n", "inputs": ["x", "x", "x"], )" +
                R"("epsilon": 0})"),
       R"(/ops/1: Graph("n: invalid layer_norm gain [4, 8] and bias [4, 8] for [4, 8]"))"},
      {document(kX +
                R"(, {"op": "transpose", "name": "t", "inputs": ["x"], "permutation": [0, 0]})"),
       R"(/ops/1: Graph("t: invalid transpose permutation"))"},
      {document(kX + R"(, {"op": "softmax", "name": "s", "inputs": ["x"], "axis": 2})"),
       R"(/ops/1: Graph("s: softmax axis out of range"))"},
      {R"({"ops": [], "outputs": []})", R"(Graph("graph has no outputs"))"},
      {document(R"({"op": "input", "name": "x", "shape": [4, 0]})"),
       R"(Graph("invalid tensor x"))"},
      {document(R"({"op": "input", "name": "x", "shape": []})"), R"(Graph("invalid tensor x"))"},
  };
  expect_failures(cases, Failure::Kind::Refused);
}

TEST(GraphJson, ElementTypesRoundTripAndAreWrittenOnlyWhereNotF32) {
  for (const zc::DType dtype : zc::kDTypes) {
    zc::Graph graph;
    const auto x = graph.input("x", {4, 8}, dtype);
    const auto w = graph.weight("w", {4, 8}, dtype);
    const auto f = graph.input("f", {4, 8});
    graph.mark_output(*graph.add("s", x, w));
    graph.mark_output(f);
    const auto text = write_graph_json(graph);
    ASSERT_TRUE(text.has_value()) << text.error().message;
    const std::string typed = dtype == zc::DType::F32
                                  ? std::string()
                                  : R"(, "dtype": ")" + std::string(zc::dtype_name(dtype)) + R"(")";
    EXPECT_NE(text->find(R"({"op": "input", "name": "x", "shape": [4, 8])" + typed + "}"),
              std::string::npos)
        << *text;
    EXPECT_NE(text->find(R"({"op": "weight", "name": "w", "shape": [4, 8])" + typed + "}"),
              std::string::npos)
        << *text;
    EXPECT_NE(text->find(R"({"op": "input", "name": "f", "shape": [4, 8]})"), std::string::npos)
        << *text;
    EXPECT_EQ(round_trip(graph), graph) << *text;
  }
}

TEST(GraphJson, ATypeNameOnlyMakesTheTypeItNames) {
  const auto read =
      read_graph_json(document(R"({"op": "input", "name": "x", "shape": [2], "dtype": "f32"}, )"
                               R"({"op": "weight", "name": "ids", "shape": [2], "dtype": "i64"}, )"
                               R"({"op": "mul", "name": "m", "inputs": ["ids", "ids"]})",
                               R"("x", "m")"));
  ASSERT_TRUE(read.has_value()) << read.error().message;
  EXPECT_EQ(read->tensors[0].dtype, zc::DType::F32);
  EXPECT_EQ(read->tensors[1].dtype, zc::DType::I64);
  EXPECT_EQ(read->tensors[2].dtype, zc::DType::I64);

  const std::vector<BadFile> malformed = {
      {document(R"({"op": "input", "name": "x", "shape": [2], "dtype": "f8"})"),
       R"(/ops/0/dtype: unknown type "f8" (known: f32, f16, bf16, i32, i64))"},
      {document(R"({"op": "input", "name": "x", "shape": [2], "dtype": "F16"})"),
       R"(/ops/0/dtype: unknown type "F16" (known: f32, f16, bf16, i32, i64))"},
      {document(R"({"op": "input", "name": "x", "shape": [2], "dtype": 2})"),
       "/ops/0/dtype: expected a type name, got the number 2"},
      {document(kX + R"(, {"op": "gelu", "name": "g", "inputs": ["x"], "dtype": "f16"})"),
       "/ops/1/dtype: unexpected field for gelu"},
      {document(kX + R"(, {"op": "cast", "name": "c", "inputs": ["x"], "to": "f8"})"),
       R"(/ops/1/to: unknown type "f8" (known: f32, f16, bf16, i32, i64))"},
      {document(kX + R"(, {"op": "cast", "name": "c", "inputs": ["x"]})"),
       "/ops/1: missing field \"to\""},
      {document(kX + R"(, {"op": "cast", "name": "c", "inputs": ["x"], "to": 1})"),
       "/ops/1/to: expected a type name, got the number 1"},
  };
  expect_failures(malformed, Failure::Kind::Usage);
  const std::vector<BadFile> refused = {
      {document(R"({"op": "input", "name": "x", "shape": [2], "dtype": "f16"}, )"
                R"({"op": "weight", "name": "b", "shape": [2], "dtype": "bf16"}, )"
                R"({"op": "add", "name": "s", "inputs": ["x", "b"]})"),
       R"(/ops/2: Graph("s: mixed input types F16 and BF16"))"},
      {document(R"({"op": "input", "name": "x", "shape": [2, 2], "dtype": "i32"}, )"
                R"({"op": "softmax", "name": "s", "inputs": ["x"], "axis": 1})"),
       R"(/ops/1: Graph("s: softmax takes floating-point inputs, not I32"))"},
      {document(R"({"op": "input", "name": "x", "shape": [2], "dtype": "i64"}, )"
                R"({"op": "raw", "kind": "exp", "name": "e", "inputs": ["x"], )"
                R"("output_shape": [2]})"),
       R"(/ops/1: Graph("e: exp takes floating-point inputs, not I64"))"},
  };
  expect_failures(refused, Failure::Kind::Refused);
}

TEST(GraphJson, RecordsWhoseTypesNoBuilderGivesAreNotWritten) {
  zc::Graph graph;
  const auto x = graph.input("x", {2});
  graph.mark_output(*graph.unary("e", zc::Exp{}, x));
  graph.tensors[1].dtype = zc::DType::F16;
  const auto written = write_graph_json(graph);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, Failure::Kind::Refused);
}

TEST(GraphJson, ACastToAValueThatNamesNoTypeIsNotWritten) {
  zc::Graph graph;
  const auto x = graph.input("x", {2});
  graph.mark_output(*graph.cast("c", x, zc::DType::F16));
  std::get<zc::Cast>(graph.ops[0].kind).to = static_cast<zc::DType>(42);
  const auto written = write_graph_json(graph);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, Failure::Kind::Refused);
  EXPECT_EQ(written.error().message,
            "graph cannot be written as builder calls: operation 0: "
            "c: cast to an unknown element type");
}

TEST(GraphJson, ExtremeButWellFormedValuesAreAccepted) {
  // The largest extent reads; validation then refuses a byte size past 64
  // bits.
  const std::string widest =
      document(R"({"op": "input", "name": "x", "shape": [18446744073709551615]})");
  const auto replayed = replay_graph(*parse_json(widest));
  ASSERT_TRUE(replayed.has_value()) << replayed.error().message;
  EXPECT_EQ(replayed->tensors[0].shape[0], std::numeric_limits<std::uint64_t>::max());
  const auto validated = read_graph_json(widest);
  ASSERT_FALSE(validated.has_value());
  EXPECT_EQ(validated.error().kind, Failure::Kind::Refused);
  EXPECT_EQ(validated.error().message, R"(Graph("invalid tensor x"))");

  // Just above the largest float still rounds to it; "nan" and "-inf" are
  // the spellings of values JSON has no number for.
  for (const auto& [epsilon, expected] : std::vector<std::pair<std::string, float>>{
           {"3.4028235e38", std::numeric_limits<float>::max()},
           {"\"-inf\"", -std::numeric_limits<float>::infinity()},
           {"0.1", 0.1F},
           {"1", 1.0F}}) {
    const auto graph = read_graph_json(document(
        kX + R"(, {"op": "layer_norm", "name": "n", "inputs": ["x"], "epsilon": )" + epsilon + "}",
        R"("n")"));
    ASSERT_TRUE(graph.has_value()) << epsilon << ": " << graph.error().message;
    EXPECT_EQ(std::get<zc::LayerNorm>(graph->ops[0].kind).epsilon, expected) << epsilon;
  }
  const auto nan = read_graph_json(document(
      kX + R"(, {"op": "layer_norm", "name": "n", "inputs": ["x"], "epsilon": "nan"})", "1"));
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(std::get<zc::LayerNorm>(nan->ops[0].kind).epsilon));
}

}  // namespace
}  // namespace zelkc
