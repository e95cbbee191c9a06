// Values the importer knows while it reads a model: initialisers, Constant
// nodes and the shape arithmetic folded from them, with the arithmetic that
// folds it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <zelk_compiler/error.hpp>

namespace zelk_onnx::detail {

using Shape = std::vector<std::uint64_t>;

// The element types a known value may have. Integers and booleans are held
// as 64-bit integers; the type says what they were, so that a Cast or a
// message can tell.
enum class ElementType { Float, Int64, Int32, Bool };

[[nodiscard]] std::string_view type_name(ElementType type);

// Ranks beyond this are refused: no model needs them, and a shape copied into
// every tensor must stay small.
constexpr std::uint64_t kMaxRank = 64;

struct HostTensor {
  ElementType type = ElementType::Float;
  Shape shape;
  std::vector<float> floats;           // Float
  std::vector<std::int64_t> integers;  // every other type

  [[nodiscard]] bool is_float() const { return type == ElementType::Float; }
  [[nodiscard]] std::uint64_t elements() const {
    return is_float() ? floats.size() : integers.size();
  }

  [[nodiscard]] static HostTensor of_floats(Shape shape, std::vector<float> values);
  [[nodiscard]] static HostTensor of_integers(ElementType type, Shape shape,
                                              std::vector<std::int64_t> values);
};

// "[2, 3]".
[[nodiscard]] std::string shape_text(std::span<const std::uint64_t> shape);

// The element count of `shape`, refused when it overflows 64 bits.
[[nodiscard]] zelk_compiler::Result<std::uint64_t> element_count(
    std::span<const std::uint64_t> shape);

// Folding allocates only within this many elements in all, so that no model
// can make the importer allocate without bound.
class FoldBudget {
 public:
  explicit FoldBudget(std::uint64_t elements) : left_(elements) {}
  // Takes `elements` from the budget, or fails when fewer are left.
  [[nodiscard]] zelk_compiler::Result<void> take(std::uint64_t elements);

 private:
  std::uint64_t left_;
};

// Axis `axis` of a rank-`rank` tensor, negative counting from the end.
[[nodiscard]] zelk_compiler::Result<std::uint64_t> normalize_axis(std::int64_t axis,
                                                                  std::uint64_t rank);

// NumPy broadcasting of two shapes, aligned at their last axes.
[[nodiscard]] zelk_compiler::Result<Shape> broadcast_shapes(std::span<const std::uint64_t> left,
                                                            std::span<const std::uint64_t> right);

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
                                                            std::span<const std::uint64_t> shape,
                                                            FoldBudget& budget);
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_transpose(
    const HostTensor& value, std::span<const std::uint64_t> permutation, FoldBudget& budget);
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
// `count` copies of `value` (a one-element tensor) under `shape`.
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_fill(const HostTensor& value,
                                                          std::span<const std::uint64_t> shape,
                                                          FoldBudget& budget);
// start, start + delta, ... below `limit` (above it for a negative delta).
[[nodiscard]] zelk_compiler::Result<HostTensor> fold_range(const HostTensor& start,
                                                           const HostTensor& limit,
                                                           const HostTensor& delta,
                                                           FoldBudget& budget);

// The entries of a one-dimensional (or scalar) integer tensor.
[[nodiscard]] zelk_compiler::Result<std::vector<std::int64_t>> integer_list(const HostTensor& value,
                                                                            std::string_view what);
// A shape as an int64 tensor, refused when an extent does not fit int64.
[[nodiscard]] zelk_compiler::Result<HostTensor> shape_tensor(std::span<const std::uint64_t> shape);

}  // namespace zelk_onnx::detail
