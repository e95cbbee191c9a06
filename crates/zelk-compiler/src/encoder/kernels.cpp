// The host reference kernels: matmul, layer_norm, softmax_rows and gelu.
//
// Every sum runs in the order written and every operation is rounded on its
// own (the library builds with -ffp-contract=off): the bits of each result are
// what callers rely on. The kernels check their arguments here and leave the
// arithmetic to the vectorised loops, which keep that order for every output
// and only compute independent outputs side by side. They live out of line so
// that the flags of a caller's build cannot change them.
#include <cmath>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "checked.hpp"
#include "encoder/vector_kernels.hpp"
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

namespace detail {

std::vector<float> matmul_on(VectorIsa isa, std::span<const float> left,
                             std::span<const float> right, std::uint64_t rows, std::uint64_t inner,
                             std::uint64_t columns) {
  const std::uint64_t count = mul_or_throw(rows, columns, "matmul: result size overflows");
  const std::uint64_t left_needed = mul_or_throw(rows, inner, "matmul: left size overflows");
  const std::uint64_t right_needed = mul_or_throw(inner, columns, "matmul: right size overflows");
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
  multiply(isa, MatrixView{left.data(), inner, 1}, MatrixView{right.data(), columns, 1},
           OutputMatrix{output.data(), columns}, rows, inner, columns);
  return output;
}

std::vector<float> layer_norm_on(VectorIsa isa, std::span<const float> input, std::uint64_t rows,
                                 std::uint64_t columns, float epsilon) {
  const std::uint64_t count = mul_or_throw(rows, columns, "layer_norm: rows x columns overflows");
  require_length(input, count, "layer_norm: list shorter than rows x columns");

  std::vector<float> output(input.size(), 0.0F);
  if (count == 0) {
    return output;
  }
  standardise_rows(isa, input.data(), output.data(), rows, columns, epsilon);
  return output;
}

void softmax_rows_on(VectorIsa isa, std::span<float> values, std::uint64_t rows,
                     std::uint64_t columns) {
  const std::uint64_t count = mul_or_throw(rows, columns, "softmax_rows: rows x columns overflows");
  require_length(values, count, "softmax_rows: list shorter than rows x columns");
  if (count == 0) {
    return;
  }
  softmax_rows(isa, values.data(), rows, columns);
}

}  // namespace detail

std::vector<float> matmul(std::span<const float> left, std::span<const float> right,
                          std::uint64_t rows, std::uint64_t inner, std::uint64_t columns) {
  return detail::matmul_on(detail::widest_vector_isa(), left, right, rows, inner, columns);
}

std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows,
                              std::uint64_t columns, float epsilon) {
  return detail::layer_norm_on(detail::widest_vector_isa(), input, rows, columns, epsilon);
}

void softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  detail::softmax_rows_on(detail::widest_vector_isa(), values, rows, columns);
}

float gelu(float value) {
  const float half = detail::gelu_half(value);
  const float t = ::tanhf(detail::gelu_tanh_argument(value));
  return detail::gelu_from_tanh(half, t);
}

}  // namespace zelk_compiler
