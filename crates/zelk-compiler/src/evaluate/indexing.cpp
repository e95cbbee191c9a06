// Shape arithmetic shared by the evaluation kernels.
#include <stdexcept>

#include "checked.hpp"
#include "evaluate/kernels.hpp"
#include "zelk_compiler/detail/walk.hpp"

namespace zelk_compiler::detail {

AxisSplit split_at(ShapeView shape, std::uint64_t axis) {
  if (axis >= shape.size()) {
    throw std::invalid_argument("evaluate: axis beyond the rank");
  }
  AxisSplit split{.outer = 1, .extent = shape[axis], .inner = 1};
  for (std::uint64_t a = 0; a < axis; ++a) {
    split.outer = mul_or_throw(split.outer, shape[a], "evaluate: shape overflows");
  }
  for (std::uint64_t a = axis + 1; a < shape.size(); ++a) {
    split.inner = mul_or_throw(split.inner, shape[a], "evaluate: shape overflows");
  }
  return split;
}

void require_elements(std::span<const float> values, ShapeView shape, const char* what) {
  const auto count = checked_product(shape);
  if (!count || *count != values.size()) {
    throw std::invalid_argument(what);
  }
}

std::vector<WalkAxis<3>> broadcast_walk(ShapeView left, ShapeView right, ShapeView output) {
  const std::size_t rank = output.size();
  std::vector<WalkAxis<3>> axes(rank);
  std::array<std::uint64_t, 3> stride = {1, 1, 1};
  // Axis i of the output is axis i - (rank - operand rank) of an operand.
  for (std::size_t k = 0; k < rank; ++k) {
    const std::size_t i = rank - 1 - k;
    const std::uint64_t a = k < left.size() ? left[left.size() - 1 - k] : 1;
    const std::uint64_t b = k < right.size() ? right[right.size() - 1 - k] : 1;
    std::array<std::uint64_t, 3> step{};
    step[kWalkOutput] = stride[kWalkOutput];
    step[kWalkLeft] = a == 1 ? 0 : stride[kWalkLeft];
    step[kWalkRight] = b == 1 ? 0 : stride[kWalkRight];
    axes[i] = WalkAxis<3>{.extent = output[i], .step = step};
    stride[kWalkOutput] *= output[i];
    stride[kWalkLeft] *= a;
    stride[kWalkRight] *= b;
  }
  return axes;
}

std::vector<WalkAxis<2>> transpose_walk(ShapeView shape, ShapeView permutation) {
  // Row-major strides of the input, then the output's axes in order, each
  // read along the input axis it comes from.
  std::vector<std::uint64_t> input_stride(shape.size(), 1);
  for (std::size_t a = shape.size(); a > 1; --a) {
    input_stride[a - 2] = input_stride[a - 1] * shape[a - 1];
  }
  std::vector<WalkAxis<2>> axes(shape.size());
  std::uint64_t output_stride = 1;
  for (std::size_t i = shape.size(); i > 0; --i) {
    const std::uint64_t from = permutation[i - 1];
    axes[i - 1] = WalkAxis<2>{.extent = shape[from], .step = {output_stride, input_stride[from]}};
    output_stride *= shape[from];
  }
  return axes;
}

}  // namespace zelk_compiler::detail
