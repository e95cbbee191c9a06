// Element types: their sizes and names, the type each builder gives its
// output, the refusals of mixed and integer operands, and validation.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {
namespace {

using Shape = std::vector<std::uint64_t>;

constexpr auto kNotAType = static_cast<DType>(99);

TEST(ElementTypes, SizesNamesAndPrintedForms) {
  struct Case {
    DType dtype;
    std::uint64_t size;
    std::string_view name;
    std::string_view printed;
    bool floating;
  };
  const std::vector<Case> cases = {
      {DType::F32, 4, "f32", "F32", true},    {DType::F16, 2, "f16", "F16", true},
      {DType::BF16, 2, "bf16", "BF16", true}, {DType::I32, 4, "i32", "I32", false},
      {DType::I64, 8, "i64", "I64", false},
  };
  ASSERT_EQ(cases.size(), kDTypes.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(kDTypes[i], c.dtype);
    EXPECT_EQ(size(c.dtype), c.size) << c.name;
    EXPECT_EQ(dtype_name(c.dtype), c.name);
    EXPECT_EQ(dtype_from_name(c.name), c.dtype);
    EXPECT_EQ(debug_string(c.dtype), c.printed);
    EXPECT_EQ(is_float(c.dtype), c.floating) << c.name;
    EXPECT_TRUE(is_element_type(c.dtype));
  }
  for (const std::string_view name : {"", "F32", "f8", "float16", "f16 ", "int64"}) {
    EXPECT_EQ(dtype_from_name(name), std::nullopt) << name;
  }
  EXPECT_FALSE(is_element_type(kNotAType));
  EXPECT_THROW((void)size(kNotAType), std::invalid_argument);
  EXPECT_THROW((void)dtype_name(kNotAType), std::invalid_argument);
}

TEST(ElementTypes, SourcesTakeTheirTypeAndDefaultToF32) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 3});
  const TensorId h = graph.input("h", {2, 3}, DType::F16);
  const TensorId w = graph.weight("w", {3, 4}, DType::BF16);
  const TensorId ids = graph.tensor("ids", {8}, TensorKind::Input, std::nullopt, DType::I64);
  EXPECT_EQ(graph.tensors[x.index].dtype, DType::F32);
  EXPECT_EQ(graph.tensors[h.index].dtype, DType::F16);
  EXPECT_EQ(graph.tensors[w.index].dtype, DType::BF16);
  EXPECT_EQ(graph.tensors[w.index].kind, TensorKind::Weight);
  EXPECT_EQ(graph.tensors[ids.index].dtype, DType::I64);
  EXPECT_EQ(debug_string(graph.tensors[h.index]),
            "Tensor { id: TensorId(1), name: \"h\", dtype: F16, shape: [2, 3], kind: Input, "
            "producer: None }");
}

// A builder call on [4, 4] operands, and the operation name its errors use.
struct Builder {
  std::string_view operation;
  std::size_t operands;
  bool takes_integers;
  std::function<Result<TensorId>(Graph&, std::span<const TensorId>)> call;
};

std::vector<Builder> builders() {
  using Ids = std::span<const TensorId>;
  return {
      {"matmul", 2, false, [](Graph& g, Ids in) { return g.matmul("q", in[0], in[1]); }},
      {"matmul", 2, false, [](Graph& g, Ids in) { return g.batch_matmul("q", in[0], in[1]); }},
      {"add", 2, true, [](Graph& g, Ids in) { return g.add("q", in[0], in[1]); }},
      {"mul", 2, true, [](Graph& g, Ids in) { return g.mul("q", in[0], in[1]); }},
      {"mul", 2, true, [](Graph& g, Ids in) { return g.binary("q", Mul{}, in[0], in[1]); }},
      {"add", 2, true, [](Graph& g, Ids in) { return g.elementwise("q", Add{}, in[0], in[1]); }},
      {"sub", 2, true, [](Graph& g, Ids in) { return g.elementwise("q", Sub{}, in[0], in[1]); }},
      {"div", 2, false, [](Graph& g, Ids in) { return g.elementwise("q", Div{}, in[0], in[1]); }},
      {"pow", 2, false, [](Graph& g, Ids in) { return g.elementwise("q", Pow{}, in[0], in[1]); }},
      {"concat", 2, true,
       [](Graph& g, Ids in) {
         return g.concat("q", {in[0], in[1]}, 0);
       }},
      {"transpose", 1, true,
       [](Graph& g, Ids in) {
         return g.transpose("q", in[0], {1, 0});
       }},
      {"reshape", 1, true, [](Graph& g, Ids in) { return g.reshape("q", in[0], {16}); }},
      {"slice", 1, true, [](Graph& g, Ids in) { return g.slice("q", in[0], 1, 0, 2); }},
      {"layer_norm", 1, false, [](Graph& g, Ids in) { return g.layer_norm("q", in[0], 1e-5F); }},
      {"softmax", 1, false, [](Graph& g, Ids in) { return g.softmax("q", in[0], 1); }},
      {"gelu", 1, false, [](Graph& g, Ids in) { return g.gelu("q", in[0]); }},
      {"gelu_erf", 1, false, [](Graph& g, Ids in) { return g.unary("q", GeluErf{}, in[0]); }},
      {"relu", 1, false, [](Graph& g, Ids in) { return g.unary("q", Relu{}, in[0]); }},
      {"erf", 1, false, [](Graph& g, Ids in) { return g.unary("q", Erf{}, in[0]); }},
      {"tanh", 1, false, [](Graph& g, Ids in) { return g.unary("q", Tanh{}, in[0]); }},
      {"sqrt", 1, false, [](Graph& g, Ids in) { return g.unary("q", Sqrt{}, in[0]); }},
      {"exp", 1, false, [](Graph& g, Ids in) { return g.unary("q", Exp{}, in[0]); }},
      {"sigmoid", 1, false, [](Graph& g, Ids in) { return g.unary("q", Sigmoid{}, in[0]); }},
      {"reduce_mean", 1, false, [](Graph& g, Ids in) { return g.reduce_mean("q", in[0], 1); }},
      // The common step, with an output shape no builder would give.
      {"gelu", 1, false,
       [](Graph& g, Ids in) {
         return g.op("q", Gelu{}, {in[0]}, {4, 8});
       }},
      {"reshape", 1, true,
       [](Graph& g, Ids in) {
         return g.op("q", Reshape{{2, 8}}, {in[0]}, {2, 8});
       }},
  };
}

// A graph holding one [4, 4] input of each type given, in order.
Graph sources(std::initializer_list<DType> types) {
  Graph graph;
  for (const DType dtype : types) {
    (void)graph.input("s" + std::to_string(graph.tensors.size()), {4, 4}, dtype);
  }
  return graph;
}

std::vector<TensorId> first_ids(std::size_t count) {
  std::vector<TensorId> ids;
  for (std::uint64_t i = 0; i < count; ++i) ids.push_back(TensorId{i});
  return ids;
}

TEST(ElementTypes, EveryBuilderGivesItsOperandsTypeAndFloatKindsRefuseIntegers) {
  for (const Builder& builder : builders()) {
    for (const DType dtype : kDTypes) {
      Graph graph = sources({dtype, dtype});
      const Graph before = graph;
      const auto built = builder.call(graph, first_ids(builder.operands));
      const std::string what = std::string(builder.operation) + " of " + debug_string(dtype);
      if (is_float(dtype) || builder.takes_integers) {
        ASSERT_TRUE(built.has_value()) << what << ": " << built.error();
        EXPECT_EQ(graph.tensors[built->index].dtype, dtype) << what;
        continue;
      }
      ASSERT_FALSE(built.has_value()) << what;
      EXPECT_EQ(built.error(),
                CompileError::graph("q: " + std::string(builder.operation) +
                                    " takes floating-point inputs, not " + debug_string(dtype)));
      EXPECT_EQ(graph, before) << what;
    }
  }
}

TEST(ElementTypes, MixedOperandsAreRefusedNamingBothTypes) {
  for (const Builder& builder : builders()) {
    if (builder.operands != 2) continue;
    for (const DType left : kDTypes) {
      for (const DType right : kDTypes) {
        if (left == right) continue;
        Graph graph = sources({left, right});
        const Graph before = graph;
        const auto built = builder.call(graph, first_ids(2));
        ASSERT_FALSE(built.has_value()) << builder.operation;
        EXPECT_EQ(built.error(), CompileError::graph("q: mixed input types " + debug_string(left) +
                                                     " and " + debug_string(right)));
        EXPECT_EQ(graph, before);
      }
    }
  }
}

TEST(ElementTypes, MixedTypesAreFoundBeyondTheFirstPair) {
  Graph graph = sources({DType::BF16, DType::BF16, DType::F32});
  (void)graph.weight("gain", {4}, DType::BF16);
  (void)graph.weight("bias", {4}, DType::F32);
  EXPECT_EQ(graph.concat("c", first_ids(3), 0).error().message,
            "c: mixed input types BF16 and F32");
  EXPECT_EQ(graph.layer_norm("n", TensorId{0}, TensorId{3}, TensorId{4}, 1e-5F).error().message,
            "n: mixed input types BF16 and F32");
  // Gain and bias of the input's own type make a 16-bit normalisation.
  const auto norm = graph.layer_norm("n", TensorId{0}, TensorId{3}, TensorId{3}, 1e-5F);
  ASSERT_TRUE(norm.has_value());
  EXPECT_EQ(graph.tensors[norm->index].dtype, DType::BF16);
}

TEST(ElementTypes, ShapeAndUnknownInputErrorsComeBeforeTypeErrors) {
  Graph graph;
  const TensorId a = graph.input("a", {2, 3}, DType::F16);
  const TensorId b = graph.input("b", {3, 2}, DType::I64);
  EXPECT_EQ(graph.add("q", a, b).error().message, "q: binary shapes differ");
  EXPECT_EQ(graph.matmul("q", a, TensorId{7}).error().message, "q: unknown input");
  EXPECT_EQ(graph.op("q", Add{}, {a, TensorId{7}}, {2, 3}).error().message, "q: unknown input");
}

TEST(ElementTypes, AnOperationWithoutOperandsMakesF32) {
  Graph graph;
  const auto made = graph.op("c", Concat{0}, {}, {4});
  ASSERT_TRUE(made.has_value());
  EXPECT_EQ(graph.tensors[made->index].dtype, DType::F32);
}

TEST(ElementTypes, ACastGoesFromAnyTypeToAnyTypeKeepingTheShape) {
  for (const DType from : kDTypes) {
    for (const DType to : kDTypes) {
      Graph graph = sources({from});
      const auto cast = graph.cast("c", TensorId{0}, to);
      ASSERT_TRUE(cast.has_value()) << debug_string(from) << " to " << debug_string(to);
      EXPECT_EQ(graph.tensors[cast->index].dtype, to);
      EXPECT_EQ(graph.tensors[cast->index].shape, (Shape{4, 4}));
      EXPECT_EQ(graph.ops.back().kind, OpKind{Cast{to}});
    }
  }
  // The raw step gives a cast its target type too.
  Graph graph = sources({DType::F32});
  const auto raw = graph.op("r", Cast{DType::BF16}, {TensorId{0}}, {4, 4});
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(graph.tensors[raw->index].dtype, DType::BF16);
}

TEST(ElementTypes, AGatherLooksFloatRowsUpByIntegerIds) {
  Graph graph;
  const TensorId table = graph.weight("table", {30, 8}, DType::BF16);
  const TensorId ids = graph.input("ids", {2, 5}, DType::I64);
  const auto rows = graph.gather("rows", table, ids);
  ASSERT_TRUE(rows.has_value()) << rows.error();
  const Tensor& out = graph.tensors[rows->index];
  EXPECT_EQ(out.shape, (Shape{2, 5, 8}));
  EXPECT_EQ(out.dtype, DType::BF16);
  EXPECT_EQ(debug_string(graph.ops.back().kind), "Gather");
  EXPECT_EQ(operation_name(graph.ops.back().kind), "gather");
  // One id of rank 0 gives one row.
  const TensorId one = graph.input("one", {}, DType::I32);
  EXPECT_EQ(graph.tensors[graph.gather("row", table, one)->index].shape, (Shape{8}));

  const TensorId cube = graph.weight("cube", {2, 3, 4});
  const TensorId floats = graph.input("floats", {3});
  const TensorId counts = graph.weight("counts", {3, 4}, DType::I32);
  struct Case {
    TensorId table;
    TensorId ids;
    std::string message;
  };
  const std::vector<Case> cases = {
      {cube, ids, "g: gather table must be 2-D, not [2, 3, 4]"},
      {table, floats, "g: gather takes integer ids, not F32"},
      {counts, ids, "g: gather takes a floating-point table, not I32"},
      {table, TensorId{99}, "g: unknown input"},
  };
  for (const Case& c : cases) {
    const Graph before = graph;
    const auto refused = graph.gather("g", c.table, c.ids);
    ASSERT_FALSE(refused.has_value()) << c.message;
    EXPECT_EQ(refused.error(), CompileError::graph(c.message));
    EXPECT_EQ(graph, before);
  }
}

TEST(ElementTypes, ACastToAValueThatNamesNoTypeIsRefused) {
  Graph graph = sources({DType::F16});
  const Graph before = graph;
  EXPECT_EQ(graph.cast("c", TensorId{0}, kNotAType).error(),
            CompileError::graph("c: cast to an unknown element type"));
  EXPECT_EQ(graph.op("c", Cast{kNotAType}, {TensorId{0}}, {4, 4}).error(),
            CompileError::graph("c: cast to an unknown element type"));
  EXPECT_EQ(graph.cast("c", TensorId{3}, DType::F16).error(),
            CompileError::graph("c: unknown input"));
  EXPECT_EQ(graph, before);
}

TEST(ElementTypes, ValidationSizesEachTensorByItsOwnType) {
  // 2^62 elements are 2^63 bytes in 16 bits, but 2^64 in 32: too many.
  const std::uint64_t quarter = std::uint64_t{1} << 62U;
  struct Case {
    DType dtype;
    Shape shape;
    bool valid;
  };
  const std::vector<Case> cases = {
      {DType::F16, {quarter}, true},      {DType::BF16, {quarter}, true},
      {DType::F32, {quarter}, false},     {DType::I32, {quarter}, false},
      {DType::I64, {quarter / 2}, false}, {DType::I64, {quarter / 4}, true},
  };
  for (const Case& c : cases) {
    Graph graph;
    graph.mark_output(graph.input("x", c.shape, c.dtype));
    EXPECT_EQ(graph.validate().has_value(), c.valid) << debug_string(c.dtype);
    if (!c.valid) {
      EXPECT_EQ(graph.validate().error(), CompileError::graph("invalid tensor x"));
    }
  }
}

TEST(ElementTypes, ATypeValueThatNamesNoTypeIsAnInvalidTensor) {
  Graph graph;
  graph.mark_output(graph.input("ok", {2}));
  graph.mark_output(graph.input("odd", {2}, kNotAType));
  EXPECT_EQ(graph.validate().error(), CompileError::graph("invalid tensor odd"));
}

TEST(ElementTypes, ACastRecordToAValueThatNamesNoTypeIsAnInvalidOp) {
  Graph graph;
  const TensorId x = graph.input("x", {2});
  graph.mark_output(*graph.cast("c", x, DType::F16));
  ASSERT_TRUE(graph.validate().has_value());
  std::get<Cast>(graph.ops[0].kind).to = kNotAType;
  EXPECT_EQ(graph.validate().error(), CompileError::graph("invalid op c"));
  EXPECT_EQ(compile(graph, CompilerOptions{}).error(), CompileError::graph("invalid op c"));
}

}  // namespace
}  // namespace zelk_compiler
