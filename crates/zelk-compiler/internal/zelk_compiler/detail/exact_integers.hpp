// Integer values carried in floats: I32 and I64 tensors hold whole numbers of
// magnitude at most 2^24, the range in which every integer is a float, so
// that each value and each result of integer arithmetic is exact.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

namespace zelk_compiler::detail {

// 2^24: every integer of at most this magnitude is a float; 2^24 + 1 is not.
inline constexpr double kExactIntegerLimit = 16777216.0;

// Whether `value` is a whole number of magnitude at most 2^24 (false for
// infinities and NaNs).
[[nodiscard]] inline bool is_exact_integer(double value) {
  return std::fabs(value) <= kExactIntegerLimit && std::trunc(value) == value;
}

// The position of the first element that is not an exact integer, or
// values.size() when all are.
[[nodiscard]] inline std::size_t first_non_integer(std::span<const float> values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!is_exact_integer(values[i])) {
      return i;
    }
  }
  return values.size();
}

}  // namespace zelk_compiler::detail
