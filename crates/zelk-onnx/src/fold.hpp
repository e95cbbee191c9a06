// Constant folding at import: arithmetic and data movement on values the
// importer knows (fold.cpp). Shapes come from the library's shape rules and
// the values move along its walks; what is folded here is the importer's own:
// integer shape arithmetic, checked so that nothing wraps, and values of
// either element class.
//
// Every fold takes the bytes it allocates from a `FoldBudget` first.
#pragma once

#include <cstdint>
#include <span>

#include "host_tensor.hpp"

namespace zelk_onnx::detail {

enum class Arithmetic { Add, Sub, Mul, Div, Pow, Equal };

// Element-wise `op` with broadcasting. Both operands have the same element
// class (float, or integers); Pow takes floats only, Equal gives booleans.
// Integer overflow and division by zero are errors.
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_arithmetic(Arithmetic op,
                                                                const HostTensor& left,
                                                                const HostTensor& right,
                                                                FoldBudget& budget);
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_sqrt(const HostTensor& value,
                                                          FoldBudget& budget);
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_cast(const HostTensor& value, ElementType to,
                                                          FoldBudget& budget);
// A copy of `value` under `shape`, which has as many elements.
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_copy(const HostTensor& value, Shape shape,
                                                          FoldBudget& budget);
// `condition` picks from `then` where nonzero, from `otherwise` elsewhere.
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_where(const HostTensor& condition,
                                                           const HostTensor& then,
                                                           const HostTensor& otherwise,
                                                           FoldBudget& budget);
// `value` broadcast with `shape` (both ways, as ONNX Expand).
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_expand(const HostTensor& value,
                                                            ShapeView shape, FoldBudget& budget);
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_transpose(const HostTensor& value,
                                                               ShapeView permutation,
                                                               FoldBudget& budget);
// Positions [start, end) of `axis`.
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_slice(const HostTensor& value,
                                                           std::uint64_t axis, std::uint64_t start,
                                                           std::uint64_t end, FoldBudget& budget);
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_concat(
    std::span<const HostTensor* const> parts, std::uint64_t axis, FoldBudget& budget);
// ONNX Gather: the entries of `indices` (negative counting from the end)
// taken along `axis`.
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_gather(const HostTensor& data,
                                                            const HostTensor& indices,
                                                            std::uint64_t axis, FoldBudget& budget);
// `value` (a one-element tensor) repeated to fill `shape`.
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_fill(const HostTensor& value, ShapeView shape,
                                                          FoldBudget& budget);
// start, start + delta, ... below `limit` (above it for a negative delta).
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_range(const HostTensor& start,
                                                           const HostTensor& limit,
                                                           const HostTensor& delta,
                                                           FoldBudget& budget);

}  // namespace zelk_onnx::detail
