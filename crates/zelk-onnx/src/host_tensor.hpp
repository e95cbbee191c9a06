// Values the importer knows while it reads a model: initialisers, Constant
// nodes and the shape arithmetic folded from them (fold.hpp folds it). Shapes
// follow the library's shape rules; what is the importer's own is the 64-bit
// integer values that shape arithmetic computes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <zelk_compiler/detail/shape_rules.hpp>
#include <zelk_compiler/error.hpp>
#include <zelk_compiler/graph.hpp>

namespace zelk_onnx::detail {

using zelk_compiler::detail::Shape;
using zelk_compiler::detail::shape_text;
using zelk_compiler::detail::ShapeView;

// The importer's failures are all `Graph` errors.
[[nodiscard]] inline std::unexpected<zelk_compiler::CompileError> fail(std::string message) {
  return std::unexpected(zelk_compiler::CompileError::graph(std::move(message)));
}

// The element types a known value may have. The three float types are held
// as floats (a 16-bit value widened exactly, so every float held for one is
// a value of it); integers and booleans as 64-bit integers. The type says
// what they were, so that a Cast or a message can tell.
enum class ElementType { Float, Float16, BFloat16, Int64, Int32, Bool };

[[nodiscard]] std::string_view type_name(ElementType type);

[[nodiscard]] constexpr bool is_float(ElementType type) {
  return type == ElementType::Float || type == ElementType::Float16 ||
         type == ElementType::BFloat16;
}

// The graph's element type for a float type, which a constant of it becomes
// as a weight; none for the integer and boolean types.
[[nodiscard]] std::optional<zelk_compiler::DType> float_dtype(ElementType type);

// Ranks beyond this are refused: no model needs them, and a shape copied into
// every tensor must stay small.
constexpr std::uint64_t kMaxRank = 64;

struct HostTensor {
  ElementType type = ElementType::Float;
  Shape shape;
  std::vector<float> floats;           // Float
  std::vector<std::int64_t> integers;  // every other type

  [[nodiscard]] bool is_float() const { return detail::is_float(type); }
  [[nodiscard]] std::uint64_t elements() const {
    return is_float() ? floats.size() : integers.size();
  }

  // `values` must be values of `type`, a float type.
  [[nodiscard]] static HostTensor of_floats(Shape shape, std::vector<float> values,
                                            ElementType type = ElementType::Float);
  [[nodiscard]] static HostTensor of_integers(ElementType type, Shape shape,
                                              std::vector<std::int64_t> values);
};

// The element count of `shape`, refused when it overflows 64 bits.
[[nodiscard]] zelk_compiler::Result<std::uint64_t> element_count(ShapeView shape);

// The bytes one element of `type` takes while the importer holds it:
// integers and booleans are held as 64-bit integers.
[[nodiscard]] constexpr std::uint64_t held_size(ElementType type) {
  return is_float(type) ? sizeof(float) : sizeof(std::int64_t);
}

// Folding allocates only within this many bytes in all, so that no model can
// make the importer allocate without bound: every value a fold reads from
// the model or makes (at its held size, so widening counts), every copy and
// every list of indices beside them is taken from the budget before it is
// allocated. Only lists bounded by the rank (the axes of a walk) are not.
class FoldBudget {
 public:
  explicit FoldBudget(std::uint64_t bytes) : left_(bytes) {}

  // Takes `count` elements of `size` bytes for `what` (a value or a list the
  // message names), or fails, naming it and the bytes, when fewer are left.
  [[nodiscard]] zelk_compiler::Result<void> take(std::uint64_t count, std::uint64_t size,
                                                 std::string_view what);
  // Returns `bytes` taken before and freed since.
  void give_back(std::uint64_t bytes);
  [[nodiscard]] std::uint64_t left() const { return left_; }
  // How many takes the budget has refused: a handler that can leave a node
  // unfolded tells a refusal from the fold's other errors by it.
  [[nodiscard]] std::uint64_t refusals() const { return refusals_; }

 private:
  std::uint64_t left_;
  std::uint64_t refusals_ = 0;
};

// Axis `axis` of a rank-`rank` tensor, negative counting from the end.
[[nodiscard]] zelk_compiler::Result<std::uint64_t> normalize_axis(std::int64_t axis,
                                                                  std::uint64_t rank);

// The entries of a one-dimensional (or scalar) integer tensor.
[[nodiscard]] zelk_compiler::Result<std::vector<std::int64_t>> integer_list(const HostTensor& value,
                                                                            std::string_view what);
// A shape as an int64 tensor, refused when an extent does not fit int64.
[[nodiscard]] zelk_compiler::Result<HostTensor> shape_tensor(ShapeView shape);

}  // namespace zelk_onnx::detail
