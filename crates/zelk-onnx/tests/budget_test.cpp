// Crafted models whose folding would allocate beyond the importer's byte
// budget: each is refused with its node and the bytes named, or left to the
// graph where the graph can compute the node, and folds within a larger
// budget. Widened reads (BOOL and INT32 held as 64-bit integers), results and
// index lists all count.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <zelk_compiler/evaluate.hpp>

#include "importer.hpp"
#include "onnx_test_support.hpp"

namespace zelk_onnx::detail {
namespace {

namespace zc = zelk_compiler;
using test_support::ModelBuilder;
using test_support::set_int;

constexpr std::uint64_t kSmall = std::uint64_t{64} << 10;  // what the crafted models exceed
constexpr std::uint64_t kLarge = std::uint64_t{16} << 20;  // what they fold within

onnx::TensorProto& raw_initializer(ModelBuilder& m, std::string_view name,
                                   onnx::TensorProto_DataType type, std::int64_t count,
                                   std::size_t element_size) {
  auto* tensor = m.model().mutable_graph()->add_initializer();
  tensor->set_name(std::string(name));
  tensor->set_data_type(type);
  tensor->add_dims(count);
  std::string raw(static_cast<std::size_t>(count) * element_size, '\0');
  for (std::size_t i = 0; i < raw.size(); i += element_size) {
    raw[i] = static_cast<char>(i % 3 == 0 ? 1 : 0);
  }
  tensor->set_raw_data(raw);
  return *tensor;
}

// A model whose graph is x -> Relu -> y beside the crafted nodes `body` adds.
ModelBuilder beside_relu(const std::function<void(ModelBuilder&)>& body) {
  ModelBuilder m;
  m.input("x", {2, 4});
  m.node("Relu", {"x"}, {"y"});
  body(m);
  return m.output("y");
}

struct Refusal {
  std::string name;
  std::function<ModelBuilder()> build;
  std::string message;  // a part of the message within the small budget
};

std::vector<Refusal> refusals() {
  return {
      {"EqualOfABooleanWithItself",
       [] {
         return beside_relu([](ModelBuilder& m) {
           raw_initializer(m, "b", onnx::TensorProto_DataType_BOOL, 20000, 1);
           m.node("Equal", {"b", "b"}, {"same"});
         });
       },
       "node '/Equal_1' (Equal): folding needs 160000 bytes for the values of 'b'; 65536 are "
       "left of the importer's folding budget"},
      {"WhereOnALargeCondition",
       [] {
         return beside_relu([](ModelBuilder& m) {
           raw_initializer(m, "cond", onnx::TensorProto_DataType_BOOL, 20000, 1);
           m.int_initializer("one", {}, {1});
           m.int_initializer("two", {}, {2});
           m.node("Where", {"cond", "one", "two"}, {"picked"});
         });
       },
       "(Where): folding needs 160000 bytes for the values of 'cond'"},
      {"CastThatWidens",
       [] {
         return beside_relu([](ModelBuilder& m) {
           raw_initializer(m, "narrow", onnx::TensorProto_DataType_INT32, 6000, 4);
           set_int(m.node("Cast", {"narrow"}, {"wide"}), "to", onnx::TensorProto_DataType_INT64);
         });
       },
       "(Cast): folding needs 48000 bytes for the Cast to INT64"},
      {"ExpandOfAScalar",
       [] {
         return beside_relu([](ModelBuilder& m) {
           m.int_initializer("seven", {}, {7});
           m.int_initializer("shape", {1}, {20000});
           m.node("Expand", {"seven", "shape"}, {"many"});
         });
       },
       "(Expand): folding needs 160000 bytes for the INT64 result of shape [20000]"},
      {"ConcatOfItself",
       [] {
         return beside_relu([](ModelBuilder& m) {
           m.int_initializer("c", {4000}, std::vector<std::int64_t>(4000, 5));
           set_int(m.node("Concat", {"c", "c", "c"}, {"joined"}), "axis", 0);
         });
       },
       "(Concat): folding needs 96000 bytes for the INT64 result of shape [12000]"},
      {"GatherOfALargeConstant",
       [] {
         return beside_relu([](ModelBuilder& m) {
           m.int_initializer("data", {4000}, std::vector<std::int64_t>(4000, 5));
           m.int_initializer("indices", {4000}, std::vector<std::int64_t>(4000, 1));
           m.node("Gather", {"data", "indices"}, {"gathered"});
         });
       },
       "(Gather): folding needs 32000 bytes for the INT64 result of shape [4000]"},
  };
}

zc::Result<OnnxModel> import_within(ModelBuilder model, std::uint64_t budget) {
  return import_model(model.model(), {}, std::nullopt, budget, {});
}

class BeyondTheFoldingBudget : public testing::TestWithParam<Refusal> {};

TEST_P(BeyondTheFoldingBudget, IsRefusedNamingTheNodeAndTheBytes) {
  const auto refused = import_within(GetParam().build(), kSmall);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message.find(GetParam().message), std::string::npos)
      << refused.error().message;
  EXPECT_TRUE(import_within(GetParam().build(), kLarge));
}

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

INSTANTIATE_TEST_SUITE_P(Import, BeyondTheFoldingBudget, testing::ValuesIn(refusals()),
                         [](const testing::TestParamInfo<Refusal>& param) {
                           return param.param.name;
                         });

// The operations of `graph` by name, in order.
std::vector<std::string> operations(const zc::Graph& graph) {
  std::vector<std::string> names;
  for (const zc::Op& op : graph.ops) {
    names.emplace_back(zc::operation_name(op.kind));
  }
  return names;
}

std::vector<float> evaluated(const OnnxModel& model, std::uint64_t inputs) {
  zc::TensorValues values = model.weights;
  std::vector<float> x(inputs);
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = static_cast<float>(i % 7) - 3.0F;
  }
  values["x"] = x;
  auto outputs = zc::evaluate(model.graph, values);
  return outputs ? outputs->at("y") : std::vector<float>{};
}

std::vector<float> ramp(std::size_t count) {
  std::vector<float> values(count);
  for (std::size_t i = 0; i < count; ++i) {
    values[i] = static_cast<float>(i % 11) * 0.25F;
  }
  return values;
}

struct LeftToGraph {
  std::string name;
  std::function<ModelBuilder()> build;
  std::uint64_t inputs;               // elements of x
  std::vector<std::string> folded;    // the operations within the large budget
  std::vector<std::string> unfolded;  // and within the small one
};

std::vector<LeftToGraph> left_to_graph() {
  return {
      {"AddOfLargeFloatConstants",
       [] {
         ModelBuilder m;
         m.input("x", {20000});
         m.initializer("w1", {20000}, ramp(20000));
         m.initializer("w2", {20000}, ramp(20000));
         m.node("Add", {"w1", "w2"}, {"sum"});
         m.node("Add", {"x", "sum"}, {"y"});
         return m.output("y");
       },
       20000,
       {"add"},
       {"add", "add"}},
      {"TransposeOfALargeFloatConstant",
       [] {
         ModelBuilder m;
         m.input("x", {2, 200});
         m.initializer("w", {100, 200}, ramp(20000));
         m.node("Transpose", {"w"}, {"t"});
         m.node("MatMul", {"x", "t"}, {"y"});
         return m.output("y");
       },
       400,
       {"matmul"},
       {"transpose", "matmul"}},
      {"ReshapeOfALargeFloatConstant",
       [] {
         ModelBuilder m;
         m.input("x", {2, 10000});
         m.initializer("w", {20000}, ramp(20000));
         m.int_initializer("shape", {2}, {2, 10000});
         m.node("Reshape", {"w", "shape"}, {"r"});
         m.node("Add", {"x", "r"}, {"y"});
         return m.output("y");
       },
       20000,
       {"add"},
       {"reshape", "add"}},
      {"SliceOfALargeFloatConstant",
       [] {
         ModelBuilder m;
         m.input("x", {20000});
         m.initializer("w", {40000}, ramp(40000));
         m.int_initializer("starts", {1}, {20000});
         m.int_initializer("ends", {1}, {40000});
         m.node("Slice", {"w", "starts", "ends"}, {"s"});
         m.node("Add", {"x", "s"}, {"y"});
         return m.output("y");
       },
       20000,
       {"add"},
       {"slice", "add"}},
      {"ConcatOfLargeFloatConstants",
       [] {
         ModelBuilder m;
         m.input("x", {20000});
         m.initializer("w", {10000}, ramp(10000));
         set_int(m.node("Concat", {"w", "w"}, {"c"}), "axis", 0);
         m.node("Add", {"x", "c"}, {"y"});
         return m.output("y");
       },
       20000,
       {"add"},
       {"concat", "add"}},
      {"GemmWithALargeTransposedWeight",
       [] {
         ModelBuilder m;
         m.input("x", {2, 200});
         m.initializer("w", {100, 200}, ramp(20000));
         set_int(m.node("Gemm", {"x", "w"}, {"y"}), "transB", 1);
         return m.output("y");
       },
       400,
       {"matmul"},
       {"transpose", "matmul"}},
  };
}

class FloatFoldsBeyondTheBudget : public testing::TestWithParam<LeftToGraph> {};

TEST_P(FloatFoldsBeyondTheBudget, AreLeftToTheGraphWithTheSameResult) {
  const auto folded = import_within(GetParam().build(), kLarge);
  const auto unfolded = import_within(GetParam().build(), kSmall);
  ASSERT_TRUE(folded) << folded.error();
  ASSERT_TRUE(unfolded) << unfolded.error();
  EXPECT_EQ(operations(folded->graph), GetParam().folded);
  EXPECT_EQ(operations(unfolded->graph), GetParam().unfolded);
  const std::vector<float> expected = evaluated(*folded, GetParam().inputs);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(evaluated(*unfolded, GetParam().inputs), expected);
}

void PrintTo(const LeftToGraph& model, std::ostream* out) { *out << model.name; }

INSTANTIATE_TEST_SUITE_P(Import, FloatFoldsBeyondTheBudget, testing::ValuesIn(left_to_graph()),
                         [](const testing::TestParamInfo<LeftToGraph>& param) {
                           return param.param.name;
                         });

// A constant read for a fold and then made a weight keeps one copy: the
// weight map takes the values, and a later fold copies them back within
// the budget.
TEST(FoldingBudget, AConstantThatIsFoldedAndAWeightKeepsItsValues) {
  ModelBuilder m;
  m.input("x", {2000});
  m.initializer("w", {2000}, ramp(2000));
  m.node("Add", {"x", "w"}, {"sum"});
  m.node("Mul", {"w", "w"}, {"square"});
  m.node("Add", {"sum", "square"}, {"y"});
  m.output("y");
  const auto model = import_within(m, kLarge);
  ASSERT_TRUE(model) << model.error();
  EXPECT_EQ(model->weights.at("w"), ramp(2000));
  const std::vector<float> y = evaluated(*model, 2000);
  ASSERT_EQ(y.size(), 2000U);
  EXPECT_EQ(y[5], (static_cast<float>(5 % 7) - 3.0F) + 1.25F + 1.25F * 1.25F);
}

}  // namespace
}  // namespace zelk_onnx::detail
