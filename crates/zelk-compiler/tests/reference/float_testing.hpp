// Bit-level float comparisons and a seeded source of test values that mixes
// ordinary numbers with NaN, infinities, signed zeros and subnormals.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace zelk_compiler::test_support {

[[nodiscard]] inline std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

[[nodiscard]] inline float from_bits(std::uint32_t pattern) {
  return std::bit_cast<float>(pattern);
}

[[nodiscard]] inline std::string hex(std::uint32_t pattern) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", pattern);
  return text;
}

// Equal length and equal bit patterns, element for element; on failure names
// the first differing position. Any NaN matches any NaN: when both operands of
// an operation are NaN, IEEE 754 leaves open which one's sign and payload come
// through, and the compiler's choice of operand order decides it.
[[nodiscard]] inline testing::AssertionResult same_bits(std::span<const float> actual,
                                                        std::span<const float> expected) {
  if (actual.size() != expected.size()) {
    return testing::AssertionFailure()
           << "length " << actual.size() << ", expected " << expected.size();
  }
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (std::isnan(actual[i]) && std::isnan(expected[i])) {
      continue;
    }
    if (bits(actual[i]) != bits(expected[i])) {
      return testing::AssertionFailure()
             << "position " << i << ": " << actual[i] << " (" << hex(bits(actual[i]))
             << "), expected " << expected[i] << " (" << hex(bits(expected[i])) << ")";
    }
  }
  return testing::AssertionSuccess();
}

// Deterministic values for a given seed. `special_share` is the chance, in
// percent, that a value is one of the special ones rather than an ordinary
// number in [-range, range].
class ValueSource {
 public:
  explicit ValueSource(std::uint32_t seed, float range = 4.0F, unsigned special_share = 5)
      : engine_(seed), ordinary_(-range, range), special_share_(special_share) {}

  [[nodiscard]] float next() {
    if (percent_(engine_) < special_share_) {
      return special();
    }
    return ordinary_(engine_);
  }

  [[nodiscard]] std::vector<float> list(std::uint64_t count) {
    std::vector<float> values;
    for (std::uint64_t i = 0; i < count; ++i) {
      values.push_back(next());
    }
    return values;
  }

  [[nodiscard]] std::uint64_t below(std::uint64_t bound) {
    return std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(engine_);
  }

 private:
  [[nodiscard]] float special() {
    static constexpr std::uint32_t patterns[] = {
        0x7FC00000,  // quiet NaN
        0xFFC00000,  // negative quiet NaN
        0x7FC12345,  // NaN with a payload
        0x7F800000,  // +inf
        0xFF800000,  // -inf
        0x00000000,  // +0
        0x80000000,  // -0
        0x00000001,  // smallest subnormal
        0x80400000,  // negative subnormal
        0x7F7FFFFF,  // largest finite
        0xFF7FFFFF,  // most negative finite
        0x00800000,  // smallest normal
    };
    return from_bits(patterns[below(std::size(patterns))]);
  }

  std::mt19937 engine_;
  std::uniform_real_distribution<float> ordinary_;
  std::uniform_int_distribution<unsigned> percent_{0, 99};
  unsigned special_share_;
};

}  // namespace zelk_compiler::test_support
