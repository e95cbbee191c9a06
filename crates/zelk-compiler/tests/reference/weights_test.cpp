// Deterministic encoder weights and the printed forms of the encoder records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "float_testing.hpp"
#include "literal_kernels.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler {
namespace {

using test_support::same_bits;

EncoderConfig sized(std::uint64_t hidden, std::uint64_t feed_forward) {
  return EncoderConfig{.sequence = 32, .hidden = hidden, .heads = 4, .feed_forward = feed_forward};
}

TEST(EncoderWeights, SmallestWorkedExample) {
  const EncoderWeights weights = EncoderWeights::deterministic(sized(2, 3));
  // Divisor sqrt(50 x 2) = 10 exactly, so each value is the float nearest
  // the decimal quotient.
  EXPECT_TRUE(same_bits(weights.wq, std::vector{-1.9F, -0.2F, 1.5F, 3.2F}));
  EXPECT_TRUE(same_bits(weights.wk, std::vector{1.2F, 2.9F, 4.6F, -3.8F}));
  EXPECT_TRUE(same_bits(weights.wv, std::vector{4.3F, -4.1F, -2.4F, -0.7F}));
  EXPECT_TRUE(same_bits(weights.wo, std::vector{-2.7F, -1.0F, 0.7F, 2.4F}));
  EXPECT_TRUE(same_bits(weights.w1, std::vector{0.4F, 2.1F, 3.8F, -4.6F, -2.9F, -1.2F}));
  // w2 has 3 rows: divisor sqrt(150), not sqrt(100).
  const std::vector<float> w2 = {2.857738F,  -4.000833F, -2.612789F,
                                 -1.224745F, 0.163299F,  1.551343F};
  ASSERT_EQ(weights.w2.size(), w2.size());
  for (std::size_t i = 0; i < w2.size(); ++i) {
    EXPECT_NEAR(weights.w2[i], w2[i], 1e-6F) << "w2 position " << i;
  }
}

TEST(EncoderWeights, DivisorFollowsTheRowCount) {
  const EncoderWeights weights = EncoderWeights::deterministic(sized(8, 16));
  EXPECT_TRUE(same_bits(std::span(weights.wq).first(8),
                        std::vector{-0.95F, -0.1F, 0.75F, 1.6F, 2.45F, -1.75F, -0.9F, -0.05F}));
  EXPECT_EQ(weights.wq.size(), 64U);
  EXPECT_EQ(weights.wk.size(), 64U);
  EXPECT_EQ(weights.wv.size(), 64U);
  EXPECT_EQ(weights.wo.size(), 64U);
  EXPECT_EQ(weights.w1.size(), 128U);
  EXPECT_EQ(weights.w2.size(), 128U);
  const std::vector<float> w2 = {1.2374369F, -1.7324116F, -1.1313709F, -0.5303301F};
  for (std::size_t i = 0; i < w2.size(); ++i) {
    EXPECT_NEAR(weights.w2[i], w2[i], 1e-6F) << "w2 position " << i;
  }
  // Every value lies within sqrt(50 / rows) of zero: 2.5 for the 8-row
  // matrices, sqrt(50 / 16) for w2.
  for (const float value : weights.w1) {
    EXPECT_LE(std::fabs(value), 2.5F);
  }
  for (const float value : weights.w2) {
    EXPECT_LE(std::fabs(value), std::sqrt(50.0F / 16.0F));
  }
}

TEST(EncoderWeights, AgreeWithTheLiteralGeneratorBitForBit) {
  for (std::uint64_t hidden = 0; hidden <= 70; hidden += 7) {
    for (const std::uint64_t feed_forward : {0U, 1U, 3U, 16U, 101U, 256U}) {
      const EncoderConfig config = sized(hidden, feed_forward);
      const EncoderWeights actual = EncoderWeights::deterministic(config);
      const EncoderWeights expected = literal::deterministic_weights(config);
      SCOPED_TRACE(debug_string(config));
      EXPECT_TRUE(same_bits(actual.wq, expected.wq));
      EXPECT_TRUE(same_bits(actual.wk, expected.wk));
      EXPECT_TRUE(same_bits(actual.wv, expected.wv));
      EXPECT_TRUE(same_bits(actual.wo, expected.wo));
      EXPECT_TRUE(same_bits(actual.w1, expected.w1));
      EXPECT_TRUE(same_bits(actual.w2, expected.w2));
    }
  }
}

TEST(EncoderWeights, DependOnlyOnHiddenAndFeedForward) {
  const EncoderWeights reference = EncoderWeights::deterministic(EncoderConfig{});
  EXPECT_EQ(EncoderWeights::deterministic(EncoderConfig{}), reference);
  for (const EncoderConfig config :
       {EncoderConfig{.sequence = 1, .heads = 4}, EncoderConfig{.sequence = 0, .heads = 0},
        EncoderConfig{.sequence = 1000, .heads = 3}}) {
    const EncoderWeights weights = EncoderWeights::deterministic(config);
    EXPECT_TRUE(same_bits(weights.wq, reference.wq));
    EXPECT_TRUE(same_bits(weights.w2, reference.w2));
    EXPECT_EQ(weights, reference);
  }
}

TEST(EncoderWeights, ZeroDimensionsGiveEmptyMatrices) {
  const EncoderWeights no_width = EncoderWeights::deterministic(sized(0, 256));
  EXPECT_EQ(no_width, EncoderWeights{});

  const EncoderWeights no_feed_forward = EncoderWeights::deterministic(sized(64, 0));
  EXPECT_EQ(no_feed_forward.wq.size(), 64U * 64U);
  EXPECT_EQ(no_feed_forward.wo.size(), 64U * 64U);
  EXPECT_TRUE(no_feed_forward.w1.empty());
  EXPECT_TRUE(no_feed_forward.w2.empty());
}

TEST(EncoderWeights, SizesThatWouldWrapAreRefused) {
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  // hidden x hidden itself overflows.
  EXPECT_THROW((void)EncoderWeights::deterministic(sized(std::uint64_t{1} << 32, 1)),
               std::overflow_error);
  // hidden x hidden fits, but the largest index x 17 does not.
  EXPECT_THROW((void)EncoderWeights::deterministic(sized(std::uint64_t{1} << 31, 1)),
               std::overflow_error);
  // Only hidden x feed_forward overflows.
  EXPECT_THROW((void)EncoderWeights::deterministic(sized(2, max / 2 + 1)), std::overflow_error);
}

TEST(EncoderPrinting, ConfigurationAndWeights) {
  EXPECT_EQ(debug_string(EncoderConfig{}),
            "EncoderConfig { sequence: 32, hidden: 64, heads: 4, feed_forward: 256 }");
  EXPECT_EQ(debug_string(EncoderWeights::deterministic(sized(2, 0))),
            "EncoderWeights { wq: [-1.9, -0.2, 1.5, 3.2], wk: [1.2, 2.9, 4.6, -3.8], "
            "wv: [4.3, -4.1, -2.4, -0.7], wo: [-2.7, -1, 0.7, 2.4], w1: [], w2: [] }");
  const EncoderWeights special{.wq = {-0.0F, std::numeric_limits<float>::infinity()},
                               .wk = {std::numeric_limits<float>::quiet_NaN()},
                               .wv = {1e-5F},
                               .wo = {},
                               .w1 = {0.1F},
                               .w2 = {}};
  EXPECT_EQ(debug_string(special),
            "EncoderWeights { wq: [-0, inf], wk: [nan], wv: [1e-05], wo: [], w1: [0.1], w2: [] }");
}

}  // namespace
}  // namespace zelk_compiler
