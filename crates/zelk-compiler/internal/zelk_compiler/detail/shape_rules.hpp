// The shape and element type rules of every operation kind, written once: the builders use
// them to refuse misfits with their own messages, host evaluation uses them
// to check graphs that were assembled from raw records, and the ONNX importer
// folds shape arithmetic with them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zelk_compiler/graph.hpp"

namespace zelk_compiler::detail {

using Shape = std::vector<std::uint64_t>;
using ShapeView = std::span<const std::uint64_t>;

// `[2, 3]`, `[]`: how messages print a shape.
[[nodiscard]] std::string shape_text(ShapeView shape);

// NumPy broadcasting: the shapes aligned at their last axes, the shorter one
// padded with leading 1s; each pair of extents equal or one of them 1 (which
// then takes the other's extent).
[[nodiscard]] std::optional<Shape> broadcast_shape(ShapeView left, ShapeView right);

// [m, k] x [k, n] -> [m, n], both operands of rank exactly 2.
[[nodiscard]] std::optional<Shape> matmul_shape(ShapeView left, ShapeView right);

// [..., m, k] x [..., k, n] -> [..., m, n]: operands of rank 2 or more, the
// leading axes broadcast. Agrees with `matmul_shape` wherever that fits.
[[nodiscard]] std::optional<Shape> batch_matmul_shape(ShapeView left, ShapeView right);

// source[permutation[i]] for each i, when `permutation` is a permutation of
// 0 .. rank - 1.
[[nodiscard]] std::optional<Shape> transpose_shape(ShapeView source, ShapeView permutation);

// Whether `from` and `to` hold the same number of elements (a count that
// does not fit 64 bits matches nothing).
[[nodiscard]] bool reshape_fits(ShapeView from, ShapeView to);

// Whether `axis` is an axis of `shape`.
[[nodiscard]] bool axis_fits(ShapeView shape, std::uint64_t axis);

// Gain and bias of a layer normalisation: both [last extent of input], which
// needs an input of rank 1 or more.
[[nodiscard]] bool layer_norm_parameters_fit(ShapeView input, ShapeView gain, ShapeView bias);

// `source` with the extent of `axis` replaced by end - start, when
// start < end <= that extent.
[[nodiscard]] std::optional<Shape> slice_shape(ShapeView source, std::uint64_t axis,
                                               std::uint64_t start, std::uint64_t end);

// How `concat_shape` judged its inputs: the concatenated shape, or the
// position of the first input that does not fit the first one (0 when there
// are no inputs or the axis is not one of the first input's) and whether it
// fits but takes the summed extent beyond 64 bits.
struct ConcatFit {
  std::optional<Shape> shape;
  std::size_t misfit = 0;
  bool overflow = false;
};

// One or more shapes of equal rank, equal extents except along `axis`, whose
// extents along `axis` are summed (the sum must fit 64 bits).
[[nodiscard]] ConcatFit concat_shape(std::span<const ShapeView> inputs, std::uint64_t axis);

// `source` with the extent of `axis` replaced by 1.
[[nodiscard]] std::optional<Shape> reduce_shape(ShapeView source, std::uint64_t axis);

// ids + [width] for a 2-D table [rows, width] and ids of any shape.
[[nodiscard]] std::optional<Shape> gather_shape(ShapeView table, ShapeView ids);

// The output shape an operation of `kind` on operands of these shapes has
// under the kind's most general rule (broadcasting for the element-wise
// kinds, batches for MatMul, 1 or 3 operands for LayerNorm), nothing when the
// operands do not fit it or are not as many as the kind takes.
[[nodiscard]] std::optional<Shape> output_shape(const OpKind& kind,
                                                std::span<const ShapeView> inputs);

// The element type of an operation of `kind` on operands of types `inputs`:
// a cast's target type, whatever its operand's; a gather's table's type,
// which must be a float, its ids being of an integer type; otherwise the
// operands' one
// type (F32 when there are none), which must be a float unless the kind
// computes on integers too (add, sub, mul, and the kinds that only move
// elements). Fails with a `Graph` error whose message starts with `name`, as
// `Graph::op` documents.
[[nodiscard]] Result<DType> output_type(const OpKind& kind, std::span<const DType> inputs,
                                        std::string_view name);

}  // namespace zelk_compiler::detail
