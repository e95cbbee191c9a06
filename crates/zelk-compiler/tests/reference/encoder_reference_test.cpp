// The host reference evaluation of the encoder block: the worked ramp, the
// literal steps as an oracle, the head split, and the order of its errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "float_testing.hpp"
#include "literal_kernels.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler {
namespace {

using test_support::bits;
using test_support::hex;
using test_support::same_bits;
using test_support::ValueSource;

constexpr std::uint64_t big = std::uint64_t{1} << 32;

std::vector<float> identity(std::uint64_t size) {
  std::vector<float> matrix(size * size, 0.0F);
  for (std::uint64_t i = 0; i < size; ++i) {
    matrix[i * size + i] = 1.0F;
  }
  return matrix;
}

EncoderWeights random_weights(const EncoderConfig& config, ValueSource& source) {
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  return EncoderWeights{.wq = source.list(h * h),
                        .wk = source.list(h * h),
                        .wv = source.list(h * h),
                        .wo = source.list(h * h),
                        .w1 = source.list(h * f),
                        .w2 = source.list(f * h)};
}

// Weights that expose the attention context: wo passes it through unchanged
// and feed_forward 0 makes the second branch +0.0, so the result is the input
// plus the context.
EncoderWeights context_probe(std::uint64_t hidden, ValueSource& source) {
  EncoderWeights weights =
      random_weights(EncoderConfig{.hidden = hidden, .feed_forward = 0}, source);
  weights.wo = identity(hidden);
  return weights;
}

TEST(EncoderReference, RampStepsBySixteenthsFromMinusNineSixteenths) {
  EXPECT_TRUE(reference_ramp(0).empty());
  const std::vector<float> ramp = reference_ramp(32);
  ASSERT_EQ(ramp.size(), 32U);
  EXPECT_EQ(ramp.front(), -0.5625F);
  EXPECT_EQ(bits(ramp[9]), 0U);  // +0.0, not -0.0
  EXPECT_EQ(ramp.back(), 1.375F);
  for (std::size_t i = 1; i < ramp.size(); ++i) {
    EXPECT_EQ(ramp[i] - ramp[i - 1], 0.0625F) << i;
  }
}

TEST(EncoderReference, ChecksumAddsInListOrderFromNegativeZero) {
  EXPECT_EQ(hex(bits(reference_checksum({}))), "0x80000000");
  // Summed as 1e8 - 1e8 + 1, the 1 would survive.
  const std::vector<float> values = {1e8F, 1.0F, -1e8F};
  EXPECT_EQ(reference_checksum(values), 0.0F);
  EXPECT_TRUE(std::isnan(reference_checksum(std::vector<float>{1.0F, NAN})));
}

TEST(EncoderReference, RampWorkedExample) {
  const EncoderConfig config{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16};
  const std::vector<float> input = reference_ramp(32);
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const auto result = encoder_reference(config, input, weights);
  ASSERT_TRUE(result.has_value()) << result.error();
  ASSERT_EQ(result->size(), 32U);

  const std::vector<float> first_row = {17.354069F,  8.073391F,  5.544778F,  -26.392069F,
                                        -29.680214F, 20.093485F, 17.576649F, 8.295972F};
  for (std::size_t column = 0; column < 8; ++column) {
    EXPECT_NEAR((*result)[column], first_row[column], 1e-4F) << "column " << column;
  }
  // The rows of the input are one ramp shifted by 0.5, so every attention
  // weight is 0.25 and each result row is the first plus 0.5 x its number.
  for (std::size_t row = 0; row < 4; ++row) {
    for (std::size_t column = 0; column < 8; ++column) {
      const float value = (*result)[row * 8 + column];
      EXPECT_TRUE(std::isfinite(value));
      EXPECT_NEAR(value, (*result)[column] + 0.5F * static_cast<float>(row), 1e-4F)
          << "row " << row << ", column " << column;
    }
  }

  const float sum = reference_checksum(*result);
  EXPECT_NEAR(sum, 107.46423F, 1e-4F);
  // The last bits follow the C library's expf and tanhf; these are glibc's.
  EXPECT_EQ(hex(bits(sum)), "0x42D6EDB0");
  RecordProperty("ramp_checksum_bits", hex(bits(sum)));

  EXPECT_TRUE(same_bits(*result, literal::encoder_reference(config, input, weights)));
}

TEST(EncoderReference, AgreesWithTheLiteralStepsOnGeneratedBlocks) {
  ValueSource source(4, 2.0F, 2);
  for (int trial = 0; trial < 150; ++trial) {
    const EncoderConfig config{.sequence = source.below(6),
                               .hidden = source.below(10),
                               .heads = 1 + source.below(6),
                               .feed_forward = source.below(13)};
    const std::vector<float> input = source.list(config.sequence * config.hidden);
    const EncoderWeights weights =
        trial % 3 == 0 ? EncoderWeights::deterministic(config) : random_weights(config, source);
    SCOPED_TRACE(debug_string(config));
    const auto result = encoder_reference(config, input, weights);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_TRUE(same_bits(*result, literal::encoder_reference(config, input, weights)));
  }
}

TEST(EncoderReference, DefaultBlockIsRepeatableAndLeavesItsArgumentsAlone) {
  const EncoderConfig config;
  ValueSource source(5, 1.0F, 0);
  const std::vector<float> input = source.list(config.sequence * config.hidden);
  const std::vector<float> input_copy = input;
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const EncoderWeights weights_copy = weights;

  const auto first = encoder_reference(config, input, weights);
  const auto second = encoder_reference(config, input, weights);
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_TRUE(same_bits(*first, *second));
  for (const float value : *first) {
    EXPECT_TRUE(std::isfinite(value));
  }
  EXPECT_TRUE(same_bits(input, input_copy));
  EXPECT_EQ(weights, weights_copy);
}

TEST(EncoderReference, SinglePositionAttendsOnlyToItself) {
  // One score per head, which the softmax turns into exactly 1.0: the
  // context is v, and the result is input + v bit for bit.
  ValueSource source(6, 2.0F, 0);
  for (const std::uint64_t heads : {1U, 2U, 4U, 8U}) {
    const EncoderConfig config{.sequence = 1, .hidden = 8, .heads = heads, .feed_forward = 0};
    const std::vector<float> input = source.list(8);
    const EncoderWeights weights = context_probe(8, source);
    const std::vector<float> v = matmul(layer_norm(input, 1, 8, 1e-5F), weights.wv, 1, 8, 8);
    std::vector<float> expected(8);
    for (std::size_t i = 0; i < 8; ++i) {
      expected[i] = input[i] + v[i];
    }
    const auto result = encoder_reference(config, input, weights);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(same_bits(*result, expected)) << "heads " << heads;
  }
}

TEST(EncoderReference, ColumnsNoHeadOwnsStayZero) {
  // hidden 8 with 3 heads: head_size 2, heads cover columns 0 to 5, and
  // columns 6 and 7 of the context stay 0, so the input passes through there.
  ValueSource source(7, 2.0F, 0);
  const EncoderConfig config{.sequence = 3, .hidden = 8, .heads = 3, .feed_forward = 0};
  const std::vector<float> input = source.list(24);
  const EncoderWeights weights = context_probe(8, source);
  const auto result = encoder_reference(config, input, weights);
  ASSERT_TRUE(result.has_value());
  const std::vector<float> v = matmul(layer_norm(input, 3, 8, 1e-5F), weights.wv, 3, 8, 8);
  for (std::size_t row = 0; row < 3; ++row) {
    for (std::size_t column = 0; column < 8; ++column) {
      const std::size_t i = row * 8 + column;
      if (column >= 6) {
        ASSERT_NE(v[i], 0.0F) << "a zero value column would hide a fault";
        EXPECT_EQ(bits((*result)[i]), bits(input[i])) << "row " << row << ", column " << column;
      } else {
        EXPECT_NE(bits((*result)[i]), bits(input[i])) << "row " << row << ", column " << column;
      }
    }
  }
  EXPECT_TRUE(same_bits(*result, literal::encoder_reference(config, input, weights)));
}

TEST(EncoderReference, MoreHeadsThanColumnsLeaveTheContextZero) {
  ValueSource source(8, 2.0F, 0);
  const std::vector<float> input = source.list(16);
  const EncoderWeights weights = context_probe(8, source);
  for (const std::uint64_t heads : {std::uint64_t{9}, std::uint64_t{1} << 62}) {
    const EncoderConfig config{.sequence = 2, .hidden = 8, .heads = heads, .feed_forward = 0};
    const auto result = encoder_reference(config, input, weights);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(same_bits(*result, input)) << "heads " << heads;
  }
}

TEST(EncoderReference, EmptyInputGivesAnEmptyResult) {
  for (const EncoderConfig config :
       {EncoderConfig{.sequence = 0}, EncoderConfig{.sequence = 1'000'000, .hidden = 0},
        EncoderConfig{.sequence = 0, .hidden = 8, .heads = 3, .feed_forward = 0}}) {
    const auto result = encoder_reference(config, {}, EncoderWeights::deterministic(config));
    ASSERT_TRUE(result.has_value()) << debug_string(config) << ": " << result.error();
    EXPECT_TRUE(result->empty());
  }
}

TEST(EncoderReference, LongerWeightListsAreReadOnlyAsFarAsNeeded) {
  const EncoderConfig config{.sequence = 3, .hidden = 4, .heads = 2, .feed_forward = 5};
  ValueSource source(9, 2.0F, 0);
  const std::vector<float> input = source.list(12);
  const EncoderWeights exact = EncoderWeights::deterministic(config);
  EncoderWeights longer = exact;
  for (std::vector<float>* list :
       {&longer.wq, &longer.wk, &longer.wv, &longer.wo, &longer.w1, &longer.w2}) {
    list->push_back(std::numeric_limits<float>::quiet_NaN());
  }
  const auto expected = encoder_reference(config, input, exact);
  const auto actual = encoder_reference(config, input, longer);
  ASSERT_TRUE(expected.has_value() && actual.has_value());
  EXPECT_TRUE(same_bits(*actual, *expected));
}

TEST(EncoderReference, ErrorsInTheirOrder) {
  const Result<std::vector<float>> input_mismatch =
      std::unexpected(CompileError::graph("encoder input size mismatch"));
  const Result<std::vector<float>> invalid_dimensions =
      std::unexpected(CompileError::graph("invalid encoder dimensions"));
  const Result<std::vector<float>> weights_mismatch =
      std::unexpected(CompileError::graph("encoder weights size mismatch"));

  const EncoderConfig small{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16};
  const EncoderWeights weights = EncoderWeights::deterministic(small);
  const std::vector<float> input(32, 0.5F);
  const std::vector<float> short_input(31, 0.5F);
  EncoderConfig no_heads = small;
  no_heads.heads = 0;

  // The input length comes first and nothing else is examined.
  EXPECT_EQ(encoder_reference(small, short_input, weights), input_mismatch);
  EXPECT_EQ(encoder_reference(no_heads, short_input, EncoderWeights{}), input_mismatch);
  // sequence x hidden wraps to 0 and must not pass for an empty input.
  EXPECT_EQ(encoder_reference(EncoderConfig{.sequence = big, .hidden = big}, {}, EncoderWeights{}),
            input_mismatch);

  EXPECT_EQ(encoder_reference(no_heads, input, weights), invalid_dimensions);
  EXPECT_EQ(encoder_reference(no_heads, input, EncoderWeights{}), invalid_dimensions);

  for (std::vector<float> EncoderWeights::*list :
       {&EncoderWeights::wq, &EncoderWeights::wk, &EncoderWeights::wv, &EncoderWeights::wo,
        &EncoderWeights::w1, &EncoderWeights::w2}) {
    EncoderWeights shortened = weights;
    (shortened.*list).pop_back();
    EXPECT_EQ(encoder_reference(small, input, shortened), weights_mismatch);
  }
  // Weight sizes that wrap to 0 must not pass for empty lists.
  EXPECT_EQ(encoder_reference(EncoderConfig{.sequence = 0, .hidden = big, .feed_forward = 0}, {},
                              EncoderWeights{}),
            weights_mismatch);
  EXPECT_EQ(encoder_reference(
                EncoderConfig{.sequence = 0, .hidden = 2, .feed_forward = std::uint64_t{1} << 63},
                {}, EncoderWeights::deterministic(EncoderConfig{.hidden = 2, .feed_forward = 0})),
            weights_mismatch);
}

}  // namespace
}  // namespace zelk_compiler
