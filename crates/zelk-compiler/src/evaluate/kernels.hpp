// The host kernels behind `evaluate`, one per family of operation kinds.
//
// They work on row-major values of shapes that the caller has checked
// against the kinds' shape rules: every list is exactly as long as its shape
// says, and every output has the shape the rule gives. They check these
// lengths once more and throw std::invalid_argument where one is off, so a
// mistake in the caller can never read or write outside a list.
//
// Every result element sees the roundings `docs/operations.md` gives for its
// kind, in that order: speed comes from computing independent elements side
// by side, never from regrouping a sum.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "encoder/vector_kernels.hpp"
#include "zelk_compiler/detail/walk.hpp"

namespace zelk_compiler::detail {

enum class BinaryOp : std::uint8_t { add, sub, mul, div, pow };
enum class UnaryOp : std::uint8_t { gelu, gelu_erf, relu, erf, tanh, sqrt, exp, sigmoid };

// output = left op right, the operands broadcast to `output_shape`. The
// output may be the storage of an operand whose shape is `output_shape`.
void broadcast_binary(BinaryOp op, std::span<const float> left, ShapeView left_shape,
                      std::span<const float> right, ShapeView right_shape, std::span<float> output,
                      ShapeView output_shape);

// broadcast_binary of integer values (add, sub or mul; another op throws
// std::invalid_argument), each result computed exactly. Returns the first
// result, in output order, whose magnitude is beyond 2^24, which no float
// holds exactly, if any; the output is then not to be used.
[[nodiscard]] std::optional<double> integer_binary(BinaryOp op, std::span<const float> left,
                                                   ShapeView left_shape,
                                                   std::span<const float> right,
                                                   ShapeView right_shape, std::span<float> output,
                                                   ShapeView output_shape);

// output[i] = input[i] rounded toward zero, the two possibly the same
// storage. Returns the first input whose rounded value is not an integer of
// magnitude at most 2^24 (an infinity, a NaN, a value too large), if any.
[[nodiscard]] std::optional<float> truncate_values(std::span<const float> input,
                                                   std::span<float> output);

// output[i] = op(input[i]); the two may be the same storage.
void map_unary(VectorIsa isa, UnaryOp op, std::span<const float> input, std::span<float> output);

// Matrix products over the last two axes, leading axes broadcast, each 2-D
// slice through the host reference's blocked product.
void batch_product(VectorIsa isa, std::span<const float> left, ShapeView left_shape,
                   std::span<const float> right, ShapeView right_shape, std::span<float> output,
                   ShapeView output_shape);

// output[..., i, ...] = input[..., permutation[i], ...].
void transpose_values(std::span<const float> input, ShapeView shape, ShapeView permutation,
                      std::span<float> output);

// Positions [start, end) of `axis`.
void slice_values(std::span<const float> input, ShapeView shape, std::uint64_t axis,
                  std::uint64_t start, std::uint64_t end, std::span<float> output);

// The inputs one after the other along `axis`.
void concat_values(std::span<const std::span<const float>> inputs,
                   std::span<const ShapeView> shapes, std::uint64_t axis, std::span<float> output);

// Row ids[i] of `table` ([rows, width]) as output row i; an id of -rows
// .. -1 counts from the end. Returns the first id outside -rows .. rows - 1
// (a NaN is one), if any; the output is then not to be used.
[[nodiscard]] std::optional<float> gather_rows(std::span<const float> table, ShapeView table_shape,
                                               std::span<const float> ids, std::span<float> output);

// Softmax along `axis`, in place: each line along the axis as one row of the
// host reference's `softmax_rows`.
void softmax_axis(VectorIsa isa, std::span<float> values, ShapeView shape, std::uint64_t axis);

// Layer normalisation over the last axis with the host reference's
// `layer_norm`, then, when `gain` and `bias` are not empty, element (r, c)
// times gain[c] plus bias[c].
void layer_norm_last(VectorIsa isa, std::span<const float> input, ShapeView shape, float epsilon,
                     std::span<const float> gain, std::span<const float> bias,
                     std::span<float> output);

// The mean along `axis`: a sum from -0.0 in position order, divided by the
// axis's extent.
void reduce_mean_axis(std::span<const float> input, ShapeView shape, std::uint64_t axis,
                      std::span<float> output);

// Throws std::invalid_argument unless `values` holds exactly the elements of
// `shape`.
void require_elements(std::span<const float> values, ShapeView shape, const char* what);

}  // namespace zelk_compiler::detail
