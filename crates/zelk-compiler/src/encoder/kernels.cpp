// The host reference kernels: matmul, layer_norm, softmax_rows and gelu.
//
// Every sum runs in the order written and every operation is rounded on its
// own (the library builds with -ffp-contract=off): the bits of each result are
// part of the behaviour. The kernels live out of line so that the flags of a
// caller's build cannot change them.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <vector>

#include "checked.hpp"
#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler {
namespace {

// Refuses a list shorter than the `needed` positions its dimensions address.
void require_length(std::span<const float> values, std::uint64_t needed, const char* what) {
  if (values.size() < needed) {
    throw std::invalid_argument(what);
  }
}

}  // namespace

std::vector<float> matmul(std::span<const float> left, std::span<const float> right,
                          std::uint64_t rows, std::uint64_t inner, std::uint64_t columns) {
  const std::uint64_t count = detail::mul_or_throw(rows, columns, "matmul: result size overflows");
  const std::uint64_t left_needed =
      detail::mul_or_throw(rows, inner, "matmul: left size overflows");
  const std::uint64_t right_needed =
      detail::mul_or_throw(inner, columns, "matmul: right size overflows");
  // An empty result reads nothing, so only a non-empty one needs the operands.
  if (count != 0) {
    require_length(left, left_needed, "matmul: left list shorter than rows x inner");
    require_length(right, right_needed, "matmul: right list shorter than inner x columns");
  }

  std::vector<float> output(count, 0.0F);
  // Rows of width 0 produce nothing; returning early keeps a huge row count
  // from looping over them.
  if (count == 0) {
    return output;
  }
  for (std::uint64_t row = 0; row < rows; ++row) {
    for (std::uint64_t column = 0; column < columns; ++column) {
      float sum = 0.0F;
      for (std::uint64_t k = 0; k < inner; ++k) {
        const float product = left[row * inner + k] * right[k * columns + column];
        sum = product + sum;
      }
      output[row * columns + column] = sum;
    }
  }
  return output;
}

std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows,
                              std::uint64_t columns, float epsilon) {
  const std::uint64_t count =
      detail::mul_or_throw(rows, columns, "layer_norm: rows x columns overflows");
  require_length(input, count, "layer_norm: list shorter than rows x columns");

  const float width = static_cast<float>(columns);
  std::vector<float> output(input.size(), 0.0F);
  if (count == 0) {
    return output;
  }
  for (std::uint64_t row = 0; row < rows; ++row) {
    const std::span<const float> values = input.subspan(row * columns, columns);

    // Both sums start at -0.0, the identity of addition, so a row of -0.0
    // keeps its sign through the mean.
    float sum = -0.0F;
    for (const float value : values) {
      sum = sum + value;
    }
    const float mean = sum / width;

    float squares = -0.0F;
    for (const float value : values) {
      const float difference = value - mean;
      const float square = difference * difference;
      squares = squares + square;
    }
    const float variance = squares / width;

    const float shifted = variance + epsilon;
    const float root = std::sqrt(shifted);
    const float scale = 1.0F / root;
    for (std::uint64_t column = 0; column < columns; ++column) {
      const float difference = values[column] - mean;
      output[row * columns + column] = difference * scale;
    }
  }
  return output;
}

void softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  const std::uint64_t count =
      detail::mul_or_throw(rows, columns, "softmax_rows: rows x columns overflows");
  require_length(values, count, "softmax_rows: list shorter than rows x columns");
  if (count == 0) {
    return;
  }

  for (std::uint64_t row = 0; row < rows; ++row) {
    const std::span<float> entries = values.subspan(row * columns, columns);

    // A NaN entry compares false and is passed over; a row of NaN or of -inf
    // keeps -inf here and turns to NaN below.
    float maximum = -std::numeric_limits<float>::infinity();
    for (const float entry : entries) {
      if (entry > maximum) {
        maximum = entry;
      }
    }

    float total = 0.0F;
    for (float& entry : entries) {
      entry = ::expf(entry - maximum);
      total = entry + total;
    }

    for (float& entry : entries) {
      entry = entry / total;
    }
  }
}

float gelu(float value) {
  // The constants by their single-precision bit patterns, so that no decimal
  // conversion can move them.
  constexpr float half_factor = std::bit_cast<float>(std::uint32_t{0x3F000000});  // 0.5
  constexpr float cubic = std::bit_cast<float>(std::uint32_t{0x3D372713});        // 0.044715
  constexpr float sqrt_two_over_pi = std::bit_cast<float>(std::uint32_t{0x3F4C422A});
  constexpr float one = std::bit_cast<float>(std::uint32_t{0x3F800000});  // 1.0

  const float half = half_factor * value;
  const float square = value * value;
  const float cube = value * square;
  const float cubic_term = cubic * cube;
  const float inner = value + cubic_term;
  const float t = ::tanhf(sqrt_two_over_pi * inner);
  const float one_plus_t = one + t;
  return half * one_plus_t;
}

}  // namespace zelk_compiler
