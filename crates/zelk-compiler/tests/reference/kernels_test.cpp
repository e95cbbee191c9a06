// The host reference kernels: worked values, their order of rounding, the
// literal loops as an oracle on generated shapes, and broken preconditions.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "float_testing.hpp"
#include "literal_kernels.hpp"
#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler {
namespace {

using test_support::bits;
using test_support::from_bits;
using test_support::same_bits;
using test_support::ValueSource;

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr std::uint64_t big = std::uint64_t{1} << 32;

std::vector<float> from_patterns(std::initializer_list<std::uint32_t> patterns) {
  std::vector<float> values;
  for (const std::uint32_t pattern : patterns) {
    values.push_back(from_bits(pattern));
  }
  return values;
}

TEST(MatMulKernel, WorkedValues) {
  EXPECT_TRUE(same_bits(
      matmul(std::vector{1.0F, 2.0F, 3.0F, 4.0F}, std::vector{5.0F, 6.0F, 7.0F, 8.0F}, 2, 2, 2),
      std::vector{19.0F, 22.0F, 43.0F, 50.0F}));
  EXPECT_TRUE(same_bits(matmul(std::vector{1.0F, 2.0F, 3.0F, 4.0F, 5.0F, 6.0F},
                               std::vector{1.0F, 1.0F, 1.0F}, 2, 3, 1),
                        std::vector{6.0F, 15.0F}));
}

TEST(MatMulKernel, EmptyDimensions) {
  // inner 0: every element is the empty sum +0.0.
  EXPECT_TRUE(same_bits(matmul({}, {}, 2, 0, 3), std::vector<float>(6, 0.0F)));
  // An empty result reads nothing, so the operands may be empty too.
  EXPECT_TRUE(matmul({}, {}, 0, 5, 3).empty());
  EXPECT_TRUE(matmul({}, {}, 3, 5, 0).empty());
  EXPECT_TRUE(matmul({}, {}, 0, 0, 0).empty());
  // A huge count of empty rows or columns costs nothing.
  EXPECT_TRUE(matmul({}, {}, big, 3, 0).empty());
  EXPECT_TRUE(matmul({}, {}, 0, 3, big).empty());
}

TEST(MatMulKernel, SumsInAscendingOrderWithEachProductRounded) {
  // Ascending: 1, then 1e8 + 1 = 1e8, then 0. Any other order gives 1.
  EXPECT_TRUE(
      same_bits(matmul(std::vector{1.0F, 1e8F, -1e8F}, std::vector{1.0F, 1.0F, 1.0F}, 1, 3, 1),
                std::vector{0.0F}));
  // (1 + 2^-12)^2 rounds to 1 + 2^-11 and cancels the first term exactly; a
  // fused multiply-add would keep the 2^-24 left over.
  const float a = 1.0F + 0x1p-12F;
  EXPECT_TRUE(same_bits(matmul(std::vector{-(1.0F + 0x1p-11F), a}, std::vector{1.0F, a}, 1, 2, 1),
                        std::vector{0.0F}));
}

TEST(MatMulKernel, AgreesWithTheLiteralLoopsOnGeneratedShapes) {
  ValueSource source(1);
  for (int trial = 0; trial < 400; ++trial) {
    const std::uint64_t rows = source.below(7);
    const std::uint64_t inner = source.below(9);
    const std::uint64_t columns = source.below(7);
    // Lists may be longer than their dimensions; the tail is never read.
    std::vector<float> left = source.list(rows * inner + source.below(3));
    std::vector<float> right = source.list(inner * columns + source.below(3));
    SCOPED_TRACE(::testing::Message()
                 << "rows " << rows << ", inner " << inner << ", columns " << columns);
    EXPECT_TRUE(same_bits(matmul(left, right, rows, inner, columns),
                          literal::matmul(left, right, rows, inner, columns)));
  }
}

TEST(MatMulKernel, BrokenPreconditionsThrow) {
  const std::vector<float> six(6, 1.0F);
  EXPECT_THROW((void)matmul(std::span(six).first(5), six, 2, 3, 1), std::invalid_argument);
  EXPECT_THROW((void)matmul(six, std::span(six).first(2), 2, 3, 1), std::invalid_argument);
  EXPECT_THROW((void)matmul({}, {}, big, 0, big), std::invalid_argument);
  EXPECT_THROW((void)matmul({}, {}, big, big, 0), std::invalid_argument);
  EXPECT_THROW((void)matmul({}, {}, 0, big, big), std::invalid_argument);
}

TEST(LayerNormKernel, WorkedValues) {
  const std::vector<float> expected =
      from_patterns({0xBFABBAB6, 0xBEE4F8F3, 0x3EE4F8F3, 0x3FABBAB6});
  EXPECT_TRUE(same_bits(layer_norm(std::vector{1.0F, 2.0F, 3.0F, 4.0F}, 1, 4, 1e-5F), expected));

  // A constant row standardises to 0.0; the ninth value lies outside
  // rows x columns and its position stays 0.0.
  const std::vector<float> nine = {2, 2, 2, 2, 1, 2, 3, 4, 9};
  std::vector<float> nine_expected(4, 0.0F);
  nine_expected.insert(nine_expected.end(), expected.begin(), expected.end());
  nine_expected.push_back(0.0F);
  EXPECT_TRUE(same_bits(layer_norm(nine, 2, 4, 1e-5F), nine_expected));
}

TEST(LayerNormKernel, SumsStartAtNegativeZero) {
  // The mean of a row of -0.0 is -0.0, so every difference is +0.0. A sum
  // starting at +0.0 would give a mean of +0.0 and results of -0.0.
  EXPECT_TRUE(
      same_bits(layer_norm(std::vector{-0.0F, -0.0F}, 1, 2, 1e-5F), std::vector{0.0F, 0.0F}));
}

TEST(LayerNormKernel, ResultIsAsLongAsTheInput) {
  EXPECT_TRUE(same_bits(layer_norm(std::vector{nan, 5.0F, -inf}, 0, 3, 1e-5F),
                        std::vector<float>(3, 0.0F)));
  EXPECT_TRUE(
      same_bits(layer_norm(std::vector{1.0F, 2.0F}, 3, 0, 1e-5F), std::vector<float>(2, 0.0F)));
  EXPECT_TRUE(
      same_bits(layer_norm(std::vector{1.0F, 2.0F}, big, 0, 1e-5F), std::vector<float>(2, 0.0F)));
  EXPECT_TRUE(layer_norm({}, 0, 0, 1e-5F).empty());
}

TEST(LayerNormKernel, AgreesWithTheLiteralLoopsOnGeneratedShapes) {
  ValueSource source(2, 100.0F);
  for (int trial = 0; trial < 400; ++trial) {
    const std::uint64_t rows = source.below(6);
    const std::uint64_t columns = source.below(33);
    const std::vector<float> input = source.list(rows * columns + source.below(3));
    const float epsilon = trial % 4 == 0 ? 0.0F : 1e-5F;
    SCOPED_TRACE(::testing::Message() << "rows " << rows << ", columns " << columns);
    EXPECT_TRUE(same_bits(layer_norm(input, rows, columns, epsilon),
                          literal::layer_norm(input, rows, columns, epsilon)));
  }
}

TEST(LayerNormKernel, BrokenPreconditionsThrow) {
  const std::vector<float> seven(7, 1.0F);
  EXPECT_THROW((void)layer_norm(seven, 2, 4, 1e-5F), std::invalid_argument);
  EXPECT_THROW((void)layer_norm({}, big, big, 1e-5F), std::invalid_argument);
  EXPECT_NO_THROW((void)layer_norm(seven, 1, 7, 1e-5F));
}

TEST(SoftmaxKernel, WorkedValues) {
  std::vector<float> three = {1.0F, 2.0F, 3.0F};
  softmax_rows(three, 1, 3);
  EXPECT_NEAR(three[0], 0.09003057F, 1e-7F);
  EXPECT_NEAR(three[1], 0.24472848F, 1e-7F);
  EXPECT_NEAR(three[2], 0.66524094F, 1e-7F);

  std::vector<float> equal(4, -7.5F);
  softmax_rows(equal, 1, 4);
  EXPECT_TRUE(same_bits(equal, std::vector<float>(4, 0.25F)));

  // The row maximum is taken out first, so large values do not overflow.
  std::vector<float> wide = {1000.0F, 1000.0F, 0.0F, -1000.0F};
  softmax_rows(wide, 2, 2);
  EXPECT_TRUE(same_bits(wide, std::vector{0.5F, 0.5F, 1.0F, 0.0F}));
}

TEST(SoftmaxKernel, EmptyDimensionsChangeNothing) {
  const std::vector<float> original = {nan, -inf, 3.0F, -0.0F};
  for (const auto& [rows, columns] :
       {std::pair<std::uint64_t, std::uint64_t>{0, 4}, {2, 0}, {0, 0}, {big, 0}}) {
    std::vector<float> values = original;
    softmax_rows(values, rows, columns);
    EXPECT_TRUE(same_bits(values, original)) << rows << " x " << columns;
  }
}

TEST(SoftmaxKernel, RowsOfNanOrNegativeInfinityBecomeNan) {
  // Row 0 holds a NaN, row 1 only -inf, row 2 is ordinary, and the tail past
  // rows x columns is left alone.
  std::vector<float> values = {1.0F, nan, 2.0F, -inf, -inf, -inf, 0.0F, 0.0F, 0.0F, 42.0F};
  softmax_rows(values, 3, 3);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_TRUE(std::isnan(values[i])) << "position " << i;
  }
  EXPECT_TRUE(same_bits(std::span(values).subspan(6),
                        std::vector{1.0F / 3.0F, 1.0F / 3.0F, 1.0F / 3.0F, 42.0F}));
}

TEST(SoftmaxKernel, AgreesWithTheLiteralLoopsOnGeneratedShapes) {
  ValueSource source(3, 30.0F, 3);
  for (int trial = 0; trial < 400; ++trial) {
    const std::uint64_t rows = source.below(6);
    const std::uint64_t columns = source.below(33);
    std::vector<float> values = source.list(rows * columns + source.below(3));
    std::vector<float> expected = values;
    softmax_rows(values, rows, columns);
    literal::softmax_rows(expected, rows, columns);
    SCOPED_TRACE(::testing::Message() << "rows " << rows << ", columns " << columns);
    EXPECT_TRUE(same_bits(values, expected));
  }
}

TEST(SoftmaxKernel, BrokenPreconditionsThrowBeforeWriting) {
  const std::vector<float> original = {1.0F, 2.0F, 3.0F, 4.0F, 5.0F};
  for (const auto& [rows, columns] :
       {std::pair<std::uint64_t, std::uint64_t>{2, 3}, {1, 6}, {big, big}, {big, 1}}) {
    std::vector<float> values = original;
    EXPECT_THROW(softmax_rows(values, rows, columns), std::invalid_argument)
        << rows << " x " << columns;
    EXPECT_TRUE(same_bits(values, original));
  }
}

TEST(GeluKernel, WorkedValues) {
  EXPECT_EQ(bits(gelu(0.0F)), 0x00000000U);
  EXPECT_NEAR(gelu(1.0F), 0.841192F, 1e-6F);
  EXPECT_NEAR(gelu(-1.0F), -0.158808F, 1e-6F);
  // tanh rounds to 1.0 at 10, so the result is exactly 10 and, at -10,
  // -5 x (+0.0): negative zero.
  EXPECT_EQ(bits(gelu(10.0F)), bits(10.0F));
  EXPECT_EQ(bits(gelu(-10.0F)), 0x80000000U);
  EXPECT_TRUE(std::isnan(gelu(-inf)));
  EXPECT_EQ(bits(gelu(inf)), bits(inf));
  EXPECT_TRUE(std::isnan(gelu(nan)));
}

TEST(GeluKernel, AgreesWithTheLiteralFormAcrossTheBitPatterns) {
  // The literal form spells its constants as decimals: they must round to
  // the bit patterns the kernel is built from.
  static_assert(std::bit_cast<std::uint32_t>(0.5F) == 0x3F000000);
  static_assert(std::bit_cast<std::uint32_t>(0.044715F) == 0x3D372713);
  static_assert(std::bit_cast<std::uint32_t>(0.7978846F) == 0x3F4C422A);
  static_assert(std::bit_cast<std::uint32_t>(1.0F) == 0x3F800000);
  // A prime stride visits every exponent and sign, NaNs and infinities too.
  for (std::uint64_t pattern = 0; pattern <= 0xFFFFFFFF; pattern += 65521) {
    const float value = from_bits(static_cast<std::uint32_t>(pattern));
    ASSERT_EQ(bits(gelu(value)), bits(literal::gelu(value)))
        << "input " << test_support::hex(static_cast<std::uint32_t>(pattern));
  }
}

}  // namespace
}  // namespace zelk_compiler
