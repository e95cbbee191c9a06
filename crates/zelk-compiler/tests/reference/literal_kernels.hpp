// The reference arithmetic written out literally, loop for loop, as an oracle
// for the library's kernels and encoder evaluation. Nothing here checks its
// arguments: callers pass lists that fit their dimensions. Any faster version
// of a kernel must agree with these bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler::literal {

// The generator of one deterministic weight matrix.
inline std::vector<float> weight_matrix(std::uint64_t rows, std::uint64_t columns,
                                        std::uint64_t salt) {
  std::vector<float> values;
  for (std::uint64_t index = 0; index < rows * columns; ++index) {
    const std::uint64_t n = (index * 17 + salt * 31) % 101;
    const float numerator = static_cast<float>(n) - 50.0F;
    const float product = 50.0F * static_cast<float>(rows);
    const float divisor = std::sqrt(product);
    values.push_back(numerator / divisor);
  }
  return values;
}

inline EncoderWeights deterministic_weights(const EncoderConfig& config) {
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  return EncoderWeights{.wq = weight_matrix(h, h, 1),
                        .wk = weight_matrix(h, h, 2),
                        .wv = weight_matrix(h, h, 3),
                        .wo = weight_matrix(h, h, 4),
                        .w1 = weight_matrix(h, f, 5),
                        .w2 = weight_matrix(f, h, 6)};
}

}  // namespace zelk_compiler::literal
