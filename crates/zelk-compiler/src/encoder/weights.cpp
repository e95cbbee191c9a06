// The deterministic encoder weights: six matrices from one integer formula.
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler {
namespace {

constexpr std::uint64_t index_step = 17;
constexpr std::uint64_t salt_step = 31;
constexpr std::uint64_t period = 101;

// One row-major `rows` x `columns` matrix. Element `index` is
// ((index * 17 + salt * 31) mod 101 - 50) / sqrt(50 * rows). The integer
// terms grow with `index`, so checking them at the largest index checks every
// one; a matrix whose terms would wrap is refused before anything is made.
std::vector<float> weight_matrix(std::uint64_t rows, std::uint64_t columns, std::uint64_t salt) {
  const auto count = checked_mul(rows, columns);
  if (!count) {
    throw std::overflow_error("encoder weight matrix size overflows");
  }
  if (*count == 0) {
    return {};
  }
  const auto largest_step = checked_mul(*count - 1, index_step);
  const auto salt_offset = checked_mul(salt, salt_step);
  if (!largest_step || !salt_offset || !checked_add(*largest_step, *salt_offset)) {
    throw std::overflow_error("encoder weight index overflows");
  }

  // The row count sets the scale, so every matrix feeding the same width has
  // values of the same spread.
  const float divisor = std::sqrt(50.0F * static_cast<float>(rows));
  std::vector<float> values;
  values.reserve(*count);
  for (std::uint64_t index = 0; index < *count; ++index) {
    const std::uint64_t n = (index * index_step + *salt_offset) % period;
    const float numerator = static_cast<float>(n) - 50.0F;
    values.push_back(numerator / divisor);
  }
  return values;
}

}  // namespace

EncoderWeights EncoderWeights::deterministic(EncoderConfig config) {
  const std::uint64_t hidden = config.hidden;
  const std::uint64_t feed_forward = config.feed_forward;
  EncoderWeights weights;
  weights.wq = weight_matrix(hidden, hidden, 1);
  weights.wk = weight_matrix(hidden, hidden, 2);
  weights.wv = weight_matrix(hidden, hidden, 3);
  weights.wo = weight_matrix(hidden, hidden, 4);
  weights.w1 = weight_matrix(hidden, feed_forward, 5);
  weights.w2 = weight_matrix(feed_forward, hidden, 6);
  return weights;
}

}  // namespace zelk_compiler
