// 16-bit float types: rounding to them against the literal rounding, and
// evaluation of F16 and BF16 graphs (one rounding per operation, products
// accumulated in float, values that are not of their type refused).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "evaluate/literal_agreement.hpp"
#include "reference/float_testing.hpp"
#include "support/literal_evaluation.hpp"
#include "support/random_graphs.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/detail/float16.hpp"
#include "zelk_compiler/evaluate.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {
namespace {

using test_support::literal_round;
using test_support::same_bits;

float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

constexpr float kInfinity = std::numeric_limits<float>::infinity();

TEST(HalfPrecision, RoundingMeetsTheEdgesOfEachFormat) {
  struct Case {
    DType dtype;
    float value;
    float rounded;
  };
  const std::vector<Case> cases = {
      {DType::F16, 65504.0F, 65504.0F},
      {DType::F16, 65519.996F, 65504.0F},
      {DType::F16, 65520.0F, kInfinity},  // the tie goes to the even neighbour, 2^16
      {DType::F16, -1e9F, -kInfinity},
      {DType::F16, 1.0F + 0x1p-11F, 1.0F},            // tie, even fraction below
      {DType::F16, 1.0F + 0x3p-11F, 1.0F + 0x1p-9F},  // tie, even fraction above
      {DType::F16, 0x1p-24F, 0x1p-24F},               // smallest subnormal
      {DType::F16, 0x1p-25F, 0.0F},                   // tie with zero
      {DType::F16, -0x1p-25F, -0.0F},
      {DType::F16, 0x1.8p-25F, 0x1p-24F},
      {DType::F16, 0x3p-25F, 0x1p-23F},      // tie between 1 and 2 steps
      {DType::F16, 0x1.ffcp-15F, 0x1p-14F},  // subnormal rounding up to the smallest normal
      {DType::F16, 0.1F, 0x1.998p-4F},
      {DType::BF16, 0.1F, 0x1.9ap-4F},
      {DType::BF16, 1.0F + 0x1p-8F, 1.0F},
      {DType::BF16, 1.0F + 0x3p-8F, 1.0F + 0x1p-6F},
      {DType::BF16, std::numeric_limits<float>::max(), kInfinity},
      {DType::BF16, 0x1.fep127F, 0x1.fep127F},  // the largest finite value
      {DType::BF16, 0x1p-149F, 0.0F},           // below half of BF16's smallest step, 2^-133
      {DType::BF16, from_bits(0x0000'8001), 0x1p-133F},
  };
  for (const Case& c : cases) {
    const std::string what = std::to_string(c.value);
    EXPECT_TRUE(same_bits(std::vector{detail::round_to(c.dtype, c.value)}, std::vector{c.rounded}))
        << what;
    EXPECT_TRUE(same_bits(std::vector{literal_round(c.dtype, c.value)}, std::vector{c.rounded}))
        << what;
  }
}

TEST(HalfPrecision, RoundingAgreesWithTheLiteralRoundingAcrossTheFloats) {
  // Every 4099th pattern, and the neighbours of every 16-bit value's widened
  // form, where ties and carries happen.
  std::vector<float> values;
  for (std::uint64_t bits = 0; bits <= 0xFFFF'FFFFU; bits += 4099) {
    values.push_back(from_bits(static_cast<std::uint32_t>(bits)));
  }
  for (std::uint32_t half = 0; half <= 0xFFFF; ++half) {
    for (const float widened : {detail::f16_value(static_cast<std::uint16_t>(half)),
                                detail::bf16_value(static_cast<std::uint16_t>(half))}) {
      const std::uint32_t bits = std::bit_cast<std::uint32_t>(widened);
      for (const std::uint32_t near : {bits - 1, bits, bits + 1, bits + 0x1000, bits + 0x8000}) {
        values.push_back(from_bits(near));
      }
    }
  }
  for (const DType dtype : {DType::F16, DType::BF16}) {
    std::vector<float> fast;
    std::vector<float> literal;
    for (const float value : values) {
      fast.push_back(detail::round_to(dtype, value));
      literal.push_back(literal_round(dtype, value));
    }
    ASSERT_TRUE(same_bits(fast, literal)) << debug_string(dtype);
  }
}

TEST(HalfPrecision, EveryBitPatternWidensExactlyAndNarrowsBack) {
  for (std::uint32_t pattern = 0; pattern <= 0xFFFF; ++pattern) {
    const auto half = static_cast<std::uint16_t>(pattern);
    const bool f16_nan = (half & 0x7C00U) == 0x7C00U && (half & 0x3FFU) != 0;
    const bool bf16_nan = (half & 0x7F80U) == 0x7F80U && (half & 0x7FU) != 0;
    // A NaN comes back quiet.
    EXPECT_EQ(detail::f16_bits(detail::f16_value(half)), f16_nan ? (half | 0x200U) : half);
    EXPECT_EQ(detail::bf16_bits(detail::bf16_value(half)), bf16_nan ? (half | 0x40U) : half);
  }
}

TEST(HalfPrecision, EachOperationRoundsItsFloatResultOnce) {
  // 1 + 2^-11 + 2^-11: each partial sum rounded to F16 stays 1, but the
  // product accumulates in float and rounds 1 + 2^-10 once.
  Graph product;
  const TensorId row = product.input("row", {1, 3}, DType::F16);
  const TensorId ones = product.weight("ones", {3, 1}, DType::F16);
  product.mark_output(*product.matmul("p", row, ones));
  const auto summed =
      evaluate(product, {{"row", {1.0F, 0x1p-11F, 0x1p-11F}}, {"ones", {1.0F, 1.0F, 1.0F}}});
  ASSERT_TRUE(summed.has_value()) << summed.error();
  EXPECT_EQ(summed->at("p"), std::vector<float>{1.0F + 0x1p-10F});

  // A sum beyond F16's range is infinite; the same in BF16 is finite.
  for (const auto& [dtype, expected] :
       {std::pair{DType::F16, kInfinity}, std::pair{DType::BF16, 98304.0F}}) {
    Graph graph;
    const TensorId a = graph.input("a", {2}, dtype);
    graph.mark_output(*graph.add("s", a, a));
    const auto doubled = evaluate(graph, {{"a", {49152.0F, -0.0F}}});
    ASSERT_TRUE(doubled.has_value()) << doubled.error();
    EXPECT_TRUE(same_bits(doubled->at("s"), std::vector{expected, -0.0F}));
  }
}

TEST(HalfPrecision, CastsRoundBetweenFloatTypes) {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  const TensorId h = *graph.cast("h", x, DType::F16);
  const TensorId b = *graph.cast("b", h, DType::BF16);
  const TensorId back = *graph.cast("back", b, DType::F32);
  const TensorId same = *graph.cast("same", x, DType::F32);
  for (const TensorId id : {h, b, back, same}) graph.mark_output(id);
  const std::vector<float> x_values{0.1F, 1e6F, -0x1p-30F, std::nanf("")};
  const auto result = evaluate(graph, {{"x", x_values}});
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_TRUE(same_bits(result->at("h"), std::vector{0x1.998p-4F, kInfinity, -0.0F, NAN}));
  // 0x1.998p-4 has more fraction bits than BF16 keeps.
  EXPECT_TRUE(same_bits(result->at("b"), std::vector{0x1.9ap-4F, kInfinity, -0.0F, NAN}));
  EXPECT_TRUE(same_bits(result->at("back"), result->at("b")));
  EXPECT_TRUE(same_bits(result->at("same"), x_values));
}

TEST(HalfPrecision, SourceValuesMustBeOfTheirType) {
  Graph graph;
  const TensorId a = graph.input("a", {3}, DType::F16);
  const TensorId w = graph.weight("w", {3}, DType::BF16);
  graph.mark_output(*graph.cast("y", a, DType::BF16));
  graph.mark_output(w);
  const std::vector<float> fine{0.5F, NAN, -kInfinity};
  EXPECT_TRUE(evaluate(graph, {{"a", fine}, {"w", fine}}).has_value());
  EXPECT_EQ(evaluate(graph, {{"a", {0.5F, 1.0F, 0.1F}}, {"w", fine}}).error(),
            CompileError::graph("value for a is not of type F16: element 2 is 0.1"));
  // Far into a long value, past the first blocks checked whole.
  Graph long_graph;
  long_graph.mark_output(long_graph.input("long", {3000}, DType::BF16));
  std::vector<float> long_value(3000, 1.5F);
  long_value[2500] = 1.0F + 0x1p-10F;
  EXPECT_EQ(evaluate(long_graph, {{"long", long_value}}).error(),
            CompileError::graph("value for long is not of type BF16: element 2500 is 1.0009766"));
  // 1 + 2^-10 is an F16 value but not a BF16 one.
  EXPECT_EQ(evaluate(graph, {{"a", fine}, {"w", {1.0F + 0x1p-10F, 0.0F, 0.0F}}}).error(),
            CompileError::graph("value for w is not of type BF16: element 0 is 1.0009766"));
}

TEST(HalfPrecision, OperationsWhoseTypesBreakTheirKindsRuleAreRefused) {
  // Raw records: an add that claims an F32 result from F16 operands, and a
  // cast whose output is not of its target type.
  Graph add;
  const TensorId a = add.input("a", {2}, DType::F16);
  add.mark_output(*add.add("s", a, a));
  add.tensors[1].dtype = DType::F32;
  EXPECT_EQ(evaluate(add, {{"a", {1, 2}}}).error(),
            CompileError::graph("operands do not fit op s"));
  Graph cast;
  const TensorId x = cast.input("x", {2});
  cast.mark_output(*cast.cast("c", x, DType::F16));
  cast.tensors[1].dtype = DType::BF16;
  EXPECT_EQ(evaluate(cast, {{"x", {1, 2}}}).error(),
            CompileError::graph("operands do not fit op c"));
}

TEST(HalfPrecision, GeneratedGraphsMatchTheLiteralEvaluation) {
  test_support::ValueSource source(29, 3.0F, 2);
  for (const DType dtype : {DType::F16, DType::BF16}) {
    test_support::Random random(dtype == DType::F16 ? 17 : 23);
    for (int round = 0; round < 150; ++round) {
      const Graph graph = test_support::random_graph(
          random, {.max_ops = 16, .max_extent = 24, .misfits = false, .dtype = dtype});
      TensorValues values;
      for (const Tensor& tensor : graph.tensors) {
        if (tensor.producer) continue;
        std::vector<float>& value = values[tensor.name];
        for (const float x : source.list(tensor.elements())) {
          value.push_back(literal_round(dtype, x));
        }
      }
      ASSERT_TRUE(test_support::agrees(graph, values))
          << debug_string(dtype) << " round " << round << "\n"
          << graph;
    }
  }
}

}  // namespace
}  // namespace zelk_compiler
