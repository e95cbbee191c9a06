// The vectorised loops behind the host reference kernels, and the kernels on
// an instruction set chosen by the caller.
//
// Speed comes only from computing independent results side by side: every
// output element, sum and quotient sees exactly the operations, in exactly the
// order, of the plain loops. Vectors hold independent outputs (several
// columns of a matrix product, several rows of a normalisation), never pieces
// of one sum, and no multiply is ever fused with an add. Each instruction set
// gets its own copy of the loops; all of them give the same bits.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "zelk_compiler/encoder.hpp"
#include "zelk_compiler/error.hpp"

namespace zelk_compiler::detail {

// The vector instruction sets the loops are built for. `baseline` runs on any
// processor the library is built for (on x86-64, SSE2).
enum class VectorIsa : std::uint8_t { baseline, avx2, avx512 };

inline constexpr VectorIsa all_vector_isas[] = {VectorIsa::baseline, VectorIsa::avx2,
                                                VectorIsa::avx512};

// Whether this processor runs `isa`, asked afresh on every call.
[[nodiscard]] bool vector_isa_available(VectorIsa isa) noexcept;

// The widest available instruction set.
[[nodiscard]] VectorIsa widest_vector_isa() noexcept;

[[nodiscard]] std::string_view vector_isa_name(VectorIsa isa) noexcept;

// A read-only matrix: element (i, j) is data[i * row_stride + j * column_stride].
struct MatrixView {
  const float* data;
  std::uint64_t row_stride;
  std::uint64_t column_stride;
};

// A writable matrix with unit column stride.
struct OutputMatrix {
  float* data;
  std::uint64_t row_stride;
};

// GELU's arithmetic on either side of tanhf, shared by the one-value kernel
// and the loops: half = 0.5 x; argument = 0.7978846 (x + 0.044715 x (x x));
// result = half (1 + tanhf(argument)). The constants by their bit patterns,
// so that no decimal conversion can move them.
inline constexpr float gelu_half_factor = std::bit_cast<float>(std::uint32_t{0x3F000000});
inline constexpr float gelu_cubic = std::bit_cast<float>(std::uint32_t{0x3D372713});
inline constexpr float gelu_sqrt_two_over_pi = std::bit_cast<float>(std::uint32_t{0x3F4C422A});
inline constexpr float gelu_one = std::bit_cast<float>(std::uint32_t{0x3F800000});

[[gnu::always_inline]] inline float gelu_half(float value) { return gelu_half_factor * value; }

[[gnu::always_inline]] inline float gelu_tanh_argument(float value) {
  const float square = value * value;
  const float cube = value * square;
  const float cubic_term = gelu_cubic * cube;
  const float inner = value + cubic_term;
  return gelu_sqrt_two_over_pi * inner;
}

[[gnu::always_inline]] inline float gelu_from_tanh(float half, float t) {
  const float one_plus_t = gelu_one + t;
  return half * one_plus_t;
}

// The loops. They check only the instruction set (an unavailable one throws
// std::invalid_argument): every position the dimensions address must exist.

// output(r, c) = the sum over k ascending of left(r, k) x right(k, c), from
// +0.0, each product rounded before it is added (p + sum). Writes exactly the
// `rows` x `columns` elements of `output`.
void multiply(VectorIsa isa, MatrixView left, MatrixView right, OutputMatrix output,
              std::uint64_t rows, std::uint64_t inner, std::uint64_t columns);

// Row-wise standardisation of the `rows` x `columns` matrix at `input` into
// the one at `output` (both row-major and densely packed).
void standardise_rows(VectorIsa isa, const float* input, float* output, std::uint64_t rows,
                      std::uint64_t columns, float epsilon);

// In-place softmax of each of the `rows` rows of `columns` values.
void softmax_rows(VectorIsa isa, float* values, std::uint64_t rows, std::uint64_t columns);

// Replaces every value by its GELU.
void gelu_each(VectorIsa isa, std::span<float> values);

// Replaces every value by expf(value) or tanhf(value), with the C library's
// bits.
void exp_each(VectorIsa isa, std::span<float> values);
void tanh_each(VectorIsa isa, std::span<float> values);

// Replaces every value by value / divisor.
void divide_each(VectorIsa isa, std::span<float> values, float divisor);

// The public kernels and the encoder evaluation on a given instruction set,
// with the public ones' checks and results; the public ones run these on the
// widest available set. An unavailable `isa` throws std::invalid_argument.
[[nodiscard]] std::vector<float> matmul_on(VectorIsa isa, std::span<const float> left,
                                           std::span<const float> right, std::uint64_t rows,
                                           std::uint64_t inner, std::uint64_t columns);
[[nodiscard]] std::vector<float> layer_norm_on(VectorIsa isa, std::span<const float> input,
                                               std::uint64_t rows, std::uint64_t columns,
                                               float epsilon);
void softmax_rows_on(VectorIsa isa, std::span<float> values, std::uint64_t rows,
                     std::uint64_t columns);
[[nodiscard]] Result<std::vector<float>> encoder_reference_on(VectorIsa isa, EncoderConfig config,
                                                              std::span<const float> input,
                                                              const EncoderWeights& weights);

}  // namespace zelk_compiler::detail
