// Small models built in the test, one behaviour each: what each operator
// becomes, the values it computes, what is folded at import, and the chains
// that are fused only when they match exactly.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>

#include <zelk_compiler/lib.hpp>
#include <zelk_onnx/onnx.hpp>

#include "onnx_test_support.hpp"
#include "operators/table.hpp"

namespace zelk_onnx {
namespace {

namespace zc = zelk_compiler;
using test_support::ModelBuilder;
using test_support::set_float;
using test_support::set_int;
using test_support::set_ints;

OnnxModel import(const ModelBuilder& model, const Dims& dims = {}) {
  auto imported = import_onnx(model.bytes(), dims, {});
  if (!imported) {
    ADD_FAILURE() << imported.error();
    return {};
  }
  return std::move(*imported);
}

// The output `name` for the given input values.
std::vector<float> run(const OnnxModel& model, const zc::TensorValues& inputs,
                       const std::string& name = "y") {
  zc::TensorValues values = model.weights;
  values.insert(inputs.begin(), inputs.end());
  auto outputs = zc::evaluate(model.graph, values);
  if (!outputs) {
    ADD_FAILURE() << outputs.error();
    return {};
  }
  return outputs->at(name);
}

const zc::Tensor& tensor(const OnnxModel& model, std::string_view name) {
  for (const zc::Tensor& t : model.graph.tensors) {
    if (t.name == name) {
      return t;
    }
  }
  throw std::out_of_range(std::string(name));
}

std::map<std::string, int> operation_counts(const OnnxModel& model) {
  std::map<std::string, int> counts;
  for (const zc::Op& op : model.graph.ops) {
    ++counts[std::string(zc::operation_name(op.kind))];
  }
  return counts;
}

void expect_near(const std::vector<float>& got, const std::vector<float>& expected) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i], expected[i], 1e-5F * (1.0F + std::abs(expected[i]))) << "at " << i;
  }
}

const std::vector<float> kEight{1, -2, 3, -4, 5, -6, 7, -8};

TEST(Gemm, TransposesAConstantWeightAtImportAndAddsTheBiasByBroadcasting) {
  ModelBuilder m;
  m.input("x", {2, 3});
  m.initializer("w", {2, 3}, {1, 0, 2, 0, 1, -1});  // [out, in], read transposed
  m.initializer("b", {2}, {10, 20});
  auto& gemm = m.node("Gemm", {"x", "w", "b"}, {"y"});
  set_int(gemm, "transB", 1);
  set_float(gemm, "alpha", 2.0F);
  set_float(gemm, "beta", 0.5F);
  m.output("y");
  const OnnxModel model = import(m);
  EXPECT_EQ(model.weights.at("w:transposed"), (std::vector<float>{1, 0, 0, 1, 2, -1}));
  EXPECT_EQ(operation_counts(model)["transpose"], 0);
  // y = 2 x w^T + 0.5 b
  expect_near(run(model, {{"x", {1, 2, 3, 4, 5, 6}}}),
              {2 * 7 + 5, 2 * -1 + 10, 2 * 16 + 5, 2 * -1 + 10});
}

// Every weight the import derives from an initialiser leads back to it, and
// no other name does.
TEST(Gemm, ATransposedWeightNamesTheInitializerItWasMadeFrom) {
  ModelBuilder m;
  m.input("x", {2, 3});
  m.initializer("w", {2, 3}, {1, 0, 2, 0, 1, -1});
  m.initializer("w:transposed", {1}, {0});  // the model's own name, taken first
  set_int(m.node("Gemm", {"x", "w"}, {"y"}), "transB", 1);
  m.output("y");
  const OnnxModel model = import(m);
  for (const auto& [name, values] : model.weights) {
    EXPECT_EQ(initializer_of(name), std::optional<std::string_view>("w")) << name;
  }
  const struct {
    std::string_view name;
    std::optional<std::string_view> initializer;
  } cases[] = {
      {"0.weight:transposed", "0.weight"}, {"a:b:transposed_12", "a:b"},
      {"0.weight", std::nullopt},          {"dense/kernel:0", std::nullopt},
      {":transposed", std::nullopt},       {"w:transposed_", std::nullopt},
      {"w:transposed_x", std::nullopt},    {"w:transposedness", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(initializer_of(c.name), c.initializer) << c.name;
  }
}

TEST(Gemm, TransposesAComputedOperandWithAnOperation) {
  ModelBuilder m;
  m.input("x", {2, 2});
  m.input("w", {2, 2});
  set_int(m.node("Gemm", {"x", "w"}, {"y"}), "transB", 1);
  m.output("y");
  const OnnxModel model = import(m);
  EXPECT_EQ(operation_counts(model)["transpose"], 1);
  expect_near(run(model, {{"x", {1, 2, 3, 4}}, {"w", {1, 0, 1, 1}}}), {1, 3, 3, 7});
}

TEST(MatMul, BroadcastsBatchesAndTakesVectors) {
  ModelBuilder m;
  m.input("x", {2, 2, 3});
  m.input("v", {3});
  m.initializer("w", {3, 2}, {1, 0, 0, 1, 1, 1});
  m.node("MatMul", {"x", "w"}, {"batched"});
  m.node("MatMul", {"x", "v"}, {"times_vector"});
  m.node("MatMul", {"v", "w"}, {"vector_times"});
  m.output("batched").output("times_vector").output("vector_times");
  const OnnxModel model = import(m);
  EXPECT_EQ(tensor(model, "batched").shape, (std::vector<std::uint64_t>{2, 2, 2}));
  EXPECT_EQ(tensor(model, "times_vector").shape, (std::vector<std::uint64_t>{2, 2}));
  EXPECT_EQ(tensor(model, "vector_times").shape, (std::vector<std::uint64_t>{2}));
  const zc::TensorValues in{{"x", {1, 2, 3, 4, 5, 6, 1, 0, 0, 0, 1, 0}}, {"v", {1, 1, 1}}};
  expect_near(run(model, in, "batched"), {4, 5, 10, 11, 1, 0, 0, 1});
  expect_near(run(model, in, "times_vector"), {6, 15, 1, 1});
  expect_near(run(model, in, "vector_times"), {2, 2});
}

// What the shape arithmetic of an export with dynamic axes folds into: the
// reshape of x to [batch, sequence, 2, 2] from Shape, Gather, Unsqueeze and
// Concat leaves a single reshape in the graph.
TEST(ShapeArithmetic, FoldsAwayOnceTheDimensionsAreBound) {
  ModelBuilder m(13);
  m.input("x", {-1, -1, 4}, {"batch", "sequence", ""});
  m.node("Shape", {"x"}, {"shape"});
  m.int_initializer("zero", {}, {0});
  m.int_initializer("one", {}, {1});
  m.int_initializer("axes", {1}, {0});
  m.int_initializer("heads", {2}, {2, -1});
  set_int(m.node("Gather", {"shape", "zero"}, {"batch"}), "axis", 0);
  set_int(m.node("Gather", {"shape", "one"}, {"sequence"}), "axis", 0);
  m.node("Unsqueeze", {"batch", "axes"}, {"batch_list"});
  m.node("Unsqueeze", {"sequence", "axes"}, {"sequence_list"});
  set_int(m.node("Concat", {"batch_list", "sequence_list", "heads"}, {"target"}), "axis", 0);
  set_int(m.node("Cast", {"target"}, {"target_cast"}), "to", onnx::TensorProto_DataType_INT64);
  m.node("Reshape", {"x", "target_cast"}, {"y"});
  m.output("y");
  for (const auto& [batch, sequence] : {std::pair{1, 5}, std::pair{3, 2}}) {
    const OnnxModel model = import(m, {{"batch", batch}, {"sequence", sequence}});
    ASSERT_EQ(model.graph.ops.size(), 1U);
    EXPECT_EQ(tensor(model, "y").shape,
              (std::vector<std::uint64_t>{static_cast<std::uint64_t>(batch),
                                          static_cast<std::uint64_t>(sequence), 2, 2}));
    EXPECT_TRUE(model.weights.empty());
  }
}

TEST(Reshapes, SqueezeUnsqueezeFlattenAndReshapeWithZeroAndMinusOne) {
  ModelBuilder m;
  m.input("x", {2, 1, 4});
  m.int_initializer("keep_and_infer", {3}, {0, -1, 2});
  m.int_initializer("axis1", {1}, {1});
  m.int_initializer("axis_last", {1}, {-1});
  m.node("Reshape", {"x", "keep_and_infer"}, {"reshaped"});
  m.node("Squeeze", {"x", "axis1"}, {"squeezed"});
  m.node("Squeeze", {"x"}, {"squeezed_all"});
  m.node("Unsqueeze", {"x", "axis_last"}, {"unsqueezed"});
  set_int(m.node("Flatten", {"x"}, {"flat"}), "axis", 2);
  for (const char* name : {"reshaped", "squeezed", "squeezed_all", "unsqueezed", "flat"}) {
    m.output(name);
  }
  const OnnxModel model = import(m);
  const std::map<std::string, std::vector<std::uint64_t>> expected{{"reshaped", {2, 2, 2}},
                                                                   {"squeezed", {2, 4}},
                                                                   {"squeezed_all", {2, 4}},
                                                                   {"unsqueezed", {2, 1, 4, 1}},
                                                                   {"flat", {2, 4}}};
  for (const auto& [name, shape] : expected) {
    EXPECT_EQ(tensor(model, name).shape, shape) << name;
    expect_near(run(model, {{"x", kEight}}, name), kEight);
  }
}

TEST(Slices, SliceSplitAndGatherBecomeSlices) {
  ModelBuilder m;
  m.input("x", {2, 4});
  m.int_initializer("starts", {2}, {-3, 0});
  m.int_initializer("ends", {2}, {std::numeric_limits<std::int64_t>::max(), 1});
  m.int_initializer("axes", {2}, {-1, 0});
  m.int_initializer("sizes", {2}, {1, 3});
  m.int_initializer("row", {}, {-1});
  m.node("Slice", {"x", "starts", "ends", "axes"}, {"sliced"});
  set_int(m.node("Split", {"x", "sizes"}, {"first", "rest"}), "axis", 1);
  m.node("Split", {"x"}, {"top", "bottom"});
  m.node("Gather", {"x", "row"}, {"last_row"});
  for (const char* name : {"sliced", "first", "rest", "top", "bottom", "last_row"}) {
    m.output(name);
  }
  const OnnxModel model = import(m);
  const std::map<std::string, std::vector<float>> expected{
      {"sliced", {-2, 3, -4}}, {"first", {1, 5}},          {"rest", {-2, 3, -4, -6, 7, -8}},
      {"top", {1, -2, 3, -4}}, {"bottom", {5, -6, 7, -8}}, {"last_row", {5, -6, 7, -8}}};
  for (const auto& [name, values] : expected) {
    expect_near(run(model, {{"x", kEight}}, name), values);
  }
  EXPECT_EQ(tensor(model, "last_row").shape, (std::vector<std::uint64_t>{4}));
}

TEST(Reductions, ReduceMeanOverSeveralAxesWithoutKeepingThem) {
  ModelBuilder m;
  m.input("x", {2, 2, 2});
  auto& mean = m.node("ReduceMean", {"x"}, {"y"});
  set_ints(mean, "axes", {0, -1});
  set_int(mean, "keepdims", 0);
  m.output("y");
  const OnnxModel model = import(m);
  EXPECT_EQ(tensor(model, "y").shape, (std::vector<std::uint64_t>{2}));
  expect_near(run(model, {{"x", kEight}}), {(1 - 2 + 5 - 6) / 4.0F, (3 - 4 + 7 - 8) / 4.0F});
}

TEST(Constants, AMaskBuiltFromRangeEqualAndWhereIsFoldedIntoOneWeight) {
  ModelBuilder m;
  m.input("x", {3, 3});
  m.int_initializer("zero", {}, {0});
  m.int_initializer("three", {}, {3});
  m.int_initializer("step", {}, {1});
  m.int_initializer("column", {2}, {3, 1});
  m.initializer("blocked", {}, {-100.0F});
  m.initializer("open", {}, {0.0F});
  m.node("Range", {"zero", "three", "step"}, {"positions"});
  m.node("Reshape", {"positions", "column"}, {"rows"});
  m.node("Equal", {"rows", "positions"}, {"diagonal"});
  m.node("Where", {"diagonal", "open", "blocked"}, {"mask"});
  m.node("Add", {"x", "mask"}, {"y"});
  m.output("y");
  const OnnxModel model = import(m);
  EXPECT_EQ(model.graph.ops.size(), 1U);
  EXPECT_EQ(model.weights.at("mask"),
            (std::vector<float>{0, -100, -100, -100, 0, -100, -100, -100, 0}));
}

TEST(Constants, ScalarsEnterTheGraphWithShapeOne) {
  ModelBuilder m;
  m.input("x", {2, 2});
  m.scalar("half", 0.5F);
  m.node("Mul", {"x", "half"}, {"y"});
  m.output("y");
  const OnnxModel model = import(m);
  EXPECT_EQ(tensor(model, "half").shape, (std::vector<std::uint64_t>{1}));
  expect_near(run(model, {{"x", {1, 2, 3, 4}}}), {0.5F, 1, 1.5F, 2});
}

TEST(Aliases, IdentityCastAndDropoutAddNoOperation) {
  ModelBuilder m;
  m.input("x", {2, 2});
  m.node("Identity", {"x"}, {"same"});
  set_int(m.node("Cast", {"same"}, {"still_float"}), "to", onnx::TensorProto_DataType_FLOAT);
  m.node("Dropout", {"still_float"}, {"dropped"});
  m.node("Relu", {"dropped"}, {"y"});
  m.output("y");
  const OnnxModel model = import(m);
  ASSERT_EQ(model.graph.ops.size(), 1U);
  EXPECT_EQ(model.graph.ops[0].inputs, (std::vector<zc::TensorId>{{0}}));
}

// Sets the element type of the model's input or output `name`.
void set_type(ModelBuilder& m, std::string_view name, onnx::TensorProto_DataType type) {
  auto* graph = m.model().mutable_graph();
  for (auto* infos : {graph->mutable_input(), graph->mutable_output()}) {
    for (auto& info : *infos) {
      if (info.name() == name) info.mutable_type()->mutable_tensor_type()->set_elem_type(type);
    }
  }
}

TEST(IntegerInputs, IdsLookRowsUpAndAMaskBecomesAnAdditiveBias) {
  // As a BERT export begins: token ids into an embedding table, and an
  // attention mask widened to [batch, 1, 1, sequence], cast to float, and
  // made (1 - mask) * lowest.
  ModelBuilder m;
  m.input("input_ids", {-1, -1}, {"batch", "sequence"});
  m.input("attention_mask", {-1, -1}, {"batch", "sequence"});
  set_type(m, "input_ids", onnx::TensorProto_DataType_INT64);
  set_type(m, "attention_mask", onnx::TensorProto_DataType_INT64);
  m.initializer("word_embeddings", {5, 2}, {0, 1, 10, 11, 20, 21, 30, 31, 40, 41});
  m.int_initializer("axes", {2}, {1, 2});
  m.scalar("one", 1.0F);
  m.scalar("lowest", -1e4F);
  m.node("Gather", {"word_embeddings", "input_ids"}, {"embedded"});
  m.node("Sigmoid", {"embedded"}, {"gates"});
  m.node("Unsqueeze", {"attention_mask", "axes"}, {"wide"});
  set_int(m.node("Cast", {"wide"}, {"wide_float"}), "to", onnx::TensorProto_DataType_FLOAT);
  m.node("Sub", {"one", "wide_float"}, {"inverted"});
  m.node("Mul", {"inverted", "lowest"}, {"bias"});
  m.output("embedded").output("gates").output("bias");
  const OnnxModel model = import(m, {{"batch", 1}, {"sequence", 3}});
  EXPECT_EQ(tensor(model, "input_ids").dtype, zc::DType::I64);
  EXPECT_EQ(tensor(model, "embedded").shape, (std::vector<std::uint64_t>{1, 3, 2}));
  EXPECT_EQ(tensor(model, "wide").dtype, zc::DType::I64);
  const zc::TensorValues inputs = {{"input_ids", {4, 0, -1}}, {"attention_mask", {1, 1, 0}}};
  expect_near(run(model, inputs, "embedded"), {40, 41, 0, 1, 40, 41});
  expect_near(run(model, inputs, "gates"),
              {1.0F, 1.0F, 0.5F, 1.0F / (1.0F + std::exp(-1.0F)), 1.0F, 1.0F});
  expect_near(run(model, inputs, "bias"), {0, 0, -1e4F});
  EXPECT_EQ(
      operation_counts(model),
      (std::map<std::string, int>{
          {"cast", 1}, {"gather", 1}, {"mul", 1}, {"reshape", 1}, {"sigmoid", 1}, {"sub", 1}}));
}

TEST(IntegerInputs, CastsOfComputedValuesBecomeCastOperations) {
  ModelBuilder m;
  m.input("x", {3});
  set_int(m.node("Cast", {"x"}, {"whole"}), "to", onnx::TensorProto_DataType_INT32);
  set_int(m.node("Cast", {"whole"}, {"half"}), "to", onnx::TensorProto_DataType_FLOAT16);
  set_int(m.node("Cast", {"half"}, {"y"}), "to", onnx::TensorProto_DataType_FLOAT);
  m.output("half").output("y");
  set_type(m, "half", onnx::TensorProto_DataType_FLOAT16);
  const OnnxModel model = import(m);
  EXPECT_EQ(tensor(model, "whole").dtype, zc::DType::I32);
  EXPECT_EQ(tensor(model, "half").dtype, zc::DType::F16);
  expect_near(run(model, {{"x", {2.75F, -2.75F, 2049.0F}}}), {2, -2, 2048});
}

// --- 16-bit floats ----------------------------------------------------------

// How a writer stores a 16-bit initialiser: little-endian bytes, or one
// pattern per int32_data entry (zero-extended as ONNX's writer does, or
// sign-extended as one reading them as int16 would).
enum class Storage { Raw, Int32Data, SignExtended };

void half_initializer(ModelBuilder& m, std::string_view name, onnx::TensorProto_DataType type,
                      std::vector<std::int64_t> dims, const std::vector<std::uint16_t>& patterns,
                      Storage storage) {
  auto* tensor = m.model().mutable_graph()->add_initializer();
  tensor->set_name(std::string(name));
  tensor->set_data_type(type);
  for (const std::int64_t dim : dims) {
    tensor->add_dims(dim);
  }
  std::string raw;
  for (const std::uint16_t pattern : patterns) {
    raw.push_back(static_cast<char>(pattern & 0xFFU));
    raw.push_back(static_cast<char>(pattern >> 8U));
    tensor->add_int32_data(storage == Storage::SignExtended
                               ? std::int32_t{static_cast<std::int16_t>(pattern)}
                               : std::int32_t{pattern});
  }
  if (storage == Storage::Raw) {
    tensor->clear_int32_data();
    tensor->set_raw_data(raw);
  }
}

TEST(SixteenBitFloats, InitializersReadAlikeFromEveryStorageAndWidenExactly) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    onnx::TensorProto_DataType type;
    zc::DType dtype;
    std::vector<std::uint16_t> patterns;
    std::vector<float> values;
  } types[] = {
      // Smallest and largest subnormal, smallest normal, one, the largest
      // finite value, both infinities, negative zero, a NaN.
      {onnx::TensorProto_DataType_FLOAT16,
       zc::DType::F16,
       {0x0001, 0x03FF, 0x0400, 0x3C00, 0xC000, 0x7BFF, 0x7C00, 0xFC00, 0x8000, 0x7E00},
       {0x1p-24F, 0x3FFp-24F, 0x1p-14F, 1.0F, -2.0F, 65504.0F, inf, -inf, -0.0F, nan}},
      {onnx::TensorProto_DataType_BFLOAT16,
       zc::DType::BF16,
       {0x0001, 0x007F, 0x0080, 0x3F80, 0xC000, 0x7F7F, 0x7F80, 0xFF80, 0x8000, 0x7FC0},
       {0x1p-133F, 0x7Fp-133F, 0x1p-126F, 1.0F, -2.0F, 0x1.FEp127F, inf, -inf, -0.0F, nan}},
  };
  for (const auto& t : types) {
    for (const Storage storage : {Storage::Raw, Storage::Int32Data, Storage::SignExtended}) {
      SCOPED_TRACE(zc::debug_string(t.dtype) + " stored as " +
                   std::to_string(static_cast<int>(storage)));
      const auto count = static_cast<std::int64_t>(t.patterns.size());
      ModelBuilder m;
      m.input("x", {count});
      half_initializer(m, "w", t.type, {count}, t.patterns, storage);
      set_type(m, "x", t.type);
      m.node("Add", {"x", "w"}, {"y"});
      m.output("y");
      const OnnxModel model = import(m);
      EXPECT_EQ(tensor(model, "w").dtype, t.dtype);
      const std::vector<float>& w = model.weights.at("w");
      ASSERT_EQ(w.size(), t.values.size());
      for (std::size_t i = 0; i < w.size(); ++i) {
        if (std::isnan(t.values[i])) {
          EXPECT_TRUE(std::isnan(w[i])) << "at " << i;
        } else {
          EXPECT_EQ(std::bit_cast<std::uint32_t>(w[i]), std::bit_cast<std::uint32_t>(t.values[i]))
              << "at " << i << ": " << w[i];
        }
      }
      // Evaluation accepts only values of the weight's type.
      const std::vector<float> y = run(model, {{"x", std::vector<float>(w.size(), 0.0F)}});
      ASSERT_EQ(y.size(), w.size());
      EXPECT_EQ(y[5], t.values[5]);
      EXPECT_EQ(y[7], -inf);
    }
  }
}

TEST(SixteenBitFloats, CastsOfConstantsAreFoldedIntoWeightsOfTheTargetType) {
  ModelBuilder m;
  m.input("x", {1, 2});
  set_type(m, "x", onnx::TensorProto_DataType_FLOAT16);
  // 1 + 2^-11 is a tie between 1 and 1 + 2^-10; 70000 is beyond FLOAT16.
  m.initializer("w", {2, 2}, {1.0F + 0x1p-11F, 70000.0F, -0.0F, 0.1F});
  set_int(m.node("Cast", {"w"}, {"w16"}), "to", onnx::TensorProto_DataType_FLOAT16);
  m.node("MatMul", {"x", "w16"}, {"y"});
  half_initializer(m, "b16", onnx::TensorProto_DataType_BFLOAT16, {2}, {0x3FC0, 0xC2F7},
                   Storage::Raw);
  set_int(m.node("Cast", {"b16"}, {"b"}), "to", onnx::TensorProto_DataType_FLOAT);
  m.input("z", {2});
  m.node("Add", {"z", "b"}, {"shifted"});
  m.output("y").output("shifted");
  const OnnxModel model = import(m);
  EXPECT_EQ(operation_counts(model), (std::map<std::string, int>{{"add", 1}, {"matmul", 1}}));
  EXPECT_EQ(tensor(model, "w16").dtype, zc::DType::F16);
  EXPECT_EQ(model.weights.at("w16"),
            (std::vector<float>{1.0F, std::numeric_limits<float>::infinity(), -0.0F, 0x1.998p-4F}));
  EXPECT_EQ(tensor(model, "b").dtype, zc::DType::F32);
  EXPECT_EQ(model.weights.at("b"), (std::vector<float>{1.5F, -123.5F}));
}

// As a float16 converter writes a model that keeps its inputs, outputs and
// layer norm in float32: 16-bit weights, Casts at the inputs and outputs
// and around the layer norm, a float constant cast to FLOAT16.
TEST(SixteenBitFloats, AConvertedModelImportsWithItsCastsWhereTheyStandAndEvaluates) {
  ModelBuilder m;
  m.input("x", {2, 4});
  // Weights 1, 0.5, -1, 2 ... and a bias of 0.5, -1, 0, 2: every value up to
  // the layer norm is exact in FLOAT16.
  half_initializer(m, "weight", onnx::TensorProto_DataType_FLOAT16, {4, 4},
                   {0x3C00, 0x3800, 0xBC00, 0x4000, 0x0000, 0x3C00, 0x3C00, 0x0000, 0x4000, 0x0000,
                    0x3800, 0xBC00, 0xBC00, 0x3C00, 0x0000, 0x3800},
                   Storage::Raw);
  half_initializer(m, "bias", onnx::TensorProto_DataType_FLOAT16, {4},
                   {0x3800, 0xBC00, 0x0000, 0x4000}, Storage::Int32Data);
  m.initializer("gamma", {4}, {1, 2, 0.5F, 1});
  m.initializer("beta", {4}, {0, 0.25F, 0, -0.5F});
  m.scalar("half", 0.5F);
  set_int(m.node("Cast", {"x"}, {"x16"}), "to", onnx::TensorProto_DataType_FLOAT16);
  m.node("MatMul", {"x16", "weight"}, {"product"});
  m.node("Add", {"product", "bias"}, {"h"});
  set_int(m.node("Cast", {"h"}, {"h32"}), "to", onnx::TensorProto_DataType_FLOAT);
  m.node("LayerNormalization", {"h32", "gamma", "beta"}, {"normed"});
  set_int(m.node("Cast", {"normed"}, {"normed16"}), "to", onnx::TensorProto_DataType_FLOAT16);
  m.node("Relu", {"normed16"}, {"r"});
  set_int(m.node("Cast", {"half"}, {"half16"}), "to", onnx::TensorProto_DataType_FLOAT16);
  m.node("Mul", {"r", "half16"}, {"scaled"});
  set_int(m.node("Cast", {"scaled"}, {"y"}), "to", onnx::TensorProto_DataType_FLOAT);
  m.output("y");
  set_type(m, "y", onnx::TensorProto_DataType_FLOAT);
  const OnnxModel model = import(m);
  EXPECT_EQ(
      operation_counts(model),
      (std::map<std::string, int>{
          {"add", 1}, {"cast", 4}, {"layer_norm", 1}, {"matmul", 1}, {"mul", 1}, {"relu", 1}}));
  for (const auto& [name, dtype] : std::map<std::string, zc::DType>{{"x", zc::DType::F32},
                                                                    {"weight", zc::DType::F16},
                                                                    {"bias", zc::DType::F16},
                                                                    {"h", zc::DType::F16},
                                                                    {"normed", zc::DType::F32},
                                                                    {"half16", zc::DType::F16},
                                                                    {"y", zc::DType::F32}}) {
    EXPECT_EQ(tensor(model, name).dtype, dtype) << name;
  }
  // The same computation in double; FLOAT16 rounds the layer norm's output
  // once, to within 2^-11 of it.
  const std::vector<float> x{1, 2, -1, 0, 0.5F, -2, 3, 1};
  const std::vector<double> weight{1, 0.5, -1, 2, 0, 1, 1, 0, 2, 0, 0.5, -1, -1, 1, 0, 0.5};
  const std::vector<double> bias{0.5, -1, 0, 2};
  const std::vector<double> gamma{1, 2, 0.5, 1};
  const std::vector<double> beta{0, 0.25, 0, -0.5};
  std::vector<float> expected;
  for (std::size_t row = 0; row < 2; ++row) {
    std::vector<double> h(bias);
    for (std::size_t j = 0; j < 4; ++j) {
      for (std::size_t k = 0; k < 4; ++k) {
        h[j] += x[row * 4 + k] * weight[k * 4 + j];
      }
    }
    double mean = 0;
    double square = 0;
    for (const double v : h) {
      mean += v / 4;
    }
    for (const double v : h) {
      square += (v - mean) * (v - mean) / 4;
    }
    for (std::size_t j = 0; j < 4; ++j) {
      const double normed = (h[j] - mean) / std::sqrt(square + 1e-5) * gamma[j] + beta[j];
      expected.push_back(static_cast<float>(std::max(normed, 0.0) * 0.5));
    }
  }
  const std::vector<float> y = run(model, {{"x", x}});
  ASSERT_EQ(y.size(), expected.size());
  for (std::size_t i = 0; i < y.size(); ++i) {
    EXPECT_NEAR(y[i], expected[i], 0x1p-11F * std::abs(expected[i]) + 1e-6F) << "at " << i;
  }
}

TEST(Outputs, AnOutputThatIsAnotherValueGetsACopyUnderItsOwnName) {
  ModelBuilder m;
  m.input("x", {2});
  m.initializer("c", {2}, {7, 8});
  m.node("Identity", {"x"}, {"passed"});
  m.node("Identity", {"c"}, {"constant"});
  m.output("passed").output("constant").output("c");
  const OnnxModel model = import(m);
  EXPECT_EQ(model.outputs, (std::vector<std::string>{"passed", "constant", "c"}));
  expect_near(run(model, {{"x", {1, 2}}}, "passed"), {1, 2});
  expect_near(run(model, {{"x", {1, 2}}}, "constant"), {7, 8});
  // An initialiser that is an output is its weight tensor, marked.
  EXPECT_EQ(tensor(model, "c").kind, zc::TensorKind::Output);
  expect_near(run(model, {{"x", {1, 2}}}, "c"), {7, 8});
}

TEST(LayerNormalization, WithoutABiasGetsAZeroOne) {
  ModelBuilder m;
  m.input("x", {1, 4});
  m.initializer("gain", {4}, {1, 1, 2, 2});
  set_float(m.node("LayerNormalization", {"x", "gain"}, {"y"}), "epsilon", 0.0F);
  m.output("y");
  const OnnxModel model = import(m);
  EXPECT_EQ(model.weights.at("y:bias"), std::vector<float>(4, 0.0F));
  const float s = std::sqrt(1.25F);
  expect_near(run(model, {{"x", {1, 2, 3, 4}}}), {-1.5F / s, -0.5F / s, 1.0F / s, 3.0F / s});
}

// --- Fused chains -----------------------------------------------------------

float gelu_erf(float x) { return 0.5F * x * (1.0F + std::erf(x / std::numbers::sqrt2_v<float>)); }

// y = x * (Erf(x / c) + 1) * half, as exporters write it.
ModelBuilder erf_chain(float c, float half, bool half_first = false) {
  ModelBuilder m;
  m.input("x", {2, 4});
  m.scalar("c", c).scalar("one", 1.0F).scalar("half", half);
  m.node("Div", {"x", "c"}, {"scaled"});
  m.node("Erf", {"scaled"}, {"erf"});
  m.node("Add", {"erf", "one"}, {"plus"});
  if (half_first) {
    m.node("Mul", {"half", "x"}, {"halved"});
    m.node("Mul", {"halved", "plus"}, {"y"});
  } else {
    m.node("Mul", {"x", "plus"}, {"times"});
    m.node("Mul", {"times", "half"}, {"y"});
  }
  return m.output("y");
}

TEST(Fusion, TheErfGeluChainIsOneOperationInEitherOrder) {
  for (const bool half_first : {false, true}) {
    const OnnxModel model = import(erf_chain(std::numbers::sqrt2_v<float>, 0.5F, half_first));
    ASSERT_EQ(model.graph.ops.size(), 1U);
    EXPECT_EQ(zc::operation_name(model.graph.ops[0].kind), "gelu_erf");
    EXPECT_EQ(model.graph.ops[0].name, "y");
    std::vector<float> expected;
    for (const float x : kEight) {
      expected.push_back(gelu_erf(x));
    }
    expect_near(run(model, {{"x", kEight}}), expected);
  }
}

TEST(Fusion, AChainThatDiffersInAnyWayIsImportedNodeByNode) {
  // Another constant.
  EXPECT_EQ(operation_counts(import(erf_chain(std::numbers::sqrt2_v<float>, 0.4F)))["gelu_erf"], 0);
  EXPECT_EQ(operation_counts(import(erf_chain(2.0F, 0.5F)))["gelu_erf"], 0);
  // A value inside the chain is also a graph output.
  ModelBuilder m = erf_chain(std::numbers::sqrt2_v<float>, 0.5F);
  m.output("erf");
  const OnnxModel model = import(m);
  EXPECT_EQ(operation_counts(model)["gelu_erf"], 0);
  EXPECT_EQ(operation_counts(model)["erf"], 1);
  std::vector<float> expected;
  for (const float x : kEight) {
    expected.push_back(gelu_erf(x));
  }
  expect_near(run(model, {{"x", kEight}}), expected);
}

// The opset 16 layer norm chain over axis `axis`, the square as Pow(d, power).
ModelBuilder layer_norm_chain(std::int64_t axis, float power) {
  ModelBuilder m(14);
  m.input("x", {2, 4});
  m.initializer("gain", {4}, {1, 2, 3, 4});
  m.initializer("bias", {4}, {0, 1, 0, 1});
  m.scalar("power", power).scalar("epsilon", 1e-5F);
  set_ints(m.node("ReduceMean", {"x"}, {"mean"}), "axes", {axis});
  m.node("Sub", {"x", "mean"}, {"deviation"});
  m.node("Pow", {"deviation", "power"}, {"square"});
  set_ints(m.node("ReduceMean", {"square"}, {"variance"}), "axes", {axis});
  m.node("Add", {"variance", "epsilon"}, {"shifted"});
  m.node("Sqrt", {"shifted"}, {"root"});
  m.node("Div", {"deviation", "root"}, {"normalized"});
  m.node("Mul", {"normalized", "gain"}, {"scaled"});
  m.node("Add", {"bias", "scaled"}, {"y"});
  return m.output("y");
}

TEST(Fusion, TheLayerNormChainIsOneOperationWithGainAndBias) {
  for (const std::int64_t axis : {-1, 1}) {
    const OnnxModel model = import(layer_norm_chain(axis, 2.0F));
    ASSERT_EQ(model.graph.ops.size(), 1U);
    const zc::Op& op = model.graph.ops[0];
    EXPECT_EQ(op.name, "y");
    EXPECT_EQ(op.kind, zc::OpKind{zc::LayerNorm{1e-5F}});
    EXPECT_EQ(op.inputs.size(), 3U);
  }
}

TEST(Fusion, ALayerNormChainOverAnotherAxisOrWithAnotherPowerIsNot) {
  for (const auto& [axis, power] :
       {std::pair{std::int64_t{0}, 2.0F}, std::pair{std::int64_t{-1}, 3.0F}}) {
    const OnnxModel model = import(layer_norm_chain(axis, power));
    EXPECT_EQ(operation_counts(model)["layer_norm"], 0) << axis << " " << power;
    EXPECT_EQ(operation_counts(model)["reduce_mean"], 2);
  }
  // Both ways compute the same.
  const zc::TensorValues in{{"x", kEight}};
  const auto fused = run(import(layer_norm_chain(-1, 2.0F)), in);
  ModelBuilder unfused = layer_norm_chain(-1, 2.0F);
  unfused.output("deviation");
  expect_near(run(import(unfused), in), fused);
}

TEST(Fusion, TheTanhGeluChainWithACubeOrAPower) {
  for (const bool pow : {false, true}) {
    ModelBuilder m;
    m.input("x", {2, 4});
    m.scalar("k", 0.044715F).scalar("s", std::sqrt(2.0F / std::numbers::pi_v<float>));
    m.scalar("one", 1.0F).scalar("half", 0.5F).scalar("three", 3.0F);
    if (pow) {
      m.node("Pow", {"x", "three"}, {"cube"});
    } else {
      m.node("Mul", {"x", "x"}, {"square"});
      m.node("Mul", {"x", "square"}, {"cube"});
    }
    m.node("Mul", {"k", "cube"}, {"cubic"});
    m.node("Add", {"x", "cubic"}, {"inner"});
    m.node("Mul", {"s", "inner"}, {"scaled"});
    m.node("Tanh", {"scaled"}, {"tanh"});
    m.node("Add", {"one", "tanh"}, {"plus"});
    m.node("Mul", {"x", "plus"}, {"times"});
    m.node("Mul", {"half", "times"}, {"y"});
    m.output("y");
    const OnnxModel model = import(m);
    ASSERT_EQ(model.graph.ops.size(), 1U) << pow;
    EXPECT_EQ(zc::operation_name(model.graph.ops[0].kind), "gelu");
    std::vector<float> expected;
    for (const float x : kEight) {
      expected.push_back(0.5F * x *
                         (1.0F + std::tanh(0.7978845608F * (x + 0.044715F * x * x * x))));
    }
    expect_near(run(model, {{"x", kEight}}), expected);
  }
}

TEST(SupportedOperators, AreListedInOrder) {
  const auto names = supported_operators();
  EXPECT_TRUE(std::ranges::is_sorted(names));
  for (const char* name : {"MatMul", "Gemm", "LayerNormalization", "Softmax", "Shape", "Split"}) {
    EXPECT_NE(std::ranges::find(names, name), names.end()) << name;
  }
  EXPECT_EQ(std::ranges::adjacent_find(names), names.end());
}

TEST(SupportedOperators, AreFoundByDomainNameAndOpset) {
  using detail::find_operator;
  const detail::Operator* add = find_operator("", "Add", 13);
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add->op_type, "Add");
  // Both spellings of the ONNX domain, and every supported opset, find it.
  EXPECT_EQ(find_operator("ai.onnx", "Add", 17), add);
  EXPECT_EQ(find_operator("", "Add", 15), add);
  EXPECT_EQ(find_operator("", "Add", 12), nullptr);  // before its definition
  EXPECT_EQ(find_operator("com.microsoft", "Add", 17), nullptr);
  EXPECT_EQ(find_operator("", "Adds", 17), nullptr);
  EXPECT_EQ(find_operator("", "Abs", 17), nullptr);  // sorts before every entry
  EXPECT_EQ(find_operator("", "Zeros", 17), nullptr);
  for (const std::string_view name : supported_operators()) {
    const detail::Operator* found = find_operator("", name, 17);
    ASSERT_NE(found, nullptr) << name;
    EXPECT_EQ(found->op_type, name);
  }
}

}  // namespace
}  // namespace zelk_onnx
