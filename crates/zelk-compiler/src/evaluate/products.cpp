// Batched matrix products: every 2-D slice through the host reference's
// blocked product, read in place through its strides.
#include <stdexcept>
#include <vector>

#include "checked.hpp"
#include "evaluate/kernels.hpp"
#include "zelk_compiler/detail/walk.hpp"

namespace zelk_compiler::detail {

void batch_product(VectorIsa isa, std::span<const float> left, ShapeView left_shape,
                   std::span<const float> right, ShapeView right_shape, std::span<float> output,
                   ShapeView output_shape) {
  require_elements(left, left_shape, "batch_product: left operand of another size");
  require_elements(right, right_shape, "batch_product: right operand of another size");
  require_elements(output, output_shape, "batch_product: output of another size");
  if (batch_matmul_shape(left_shape, right_shape) !=
      Shape(output_shape.begin(), output_shape.end())) {
    throw std::invalid_argument("batch_product: shapes do not multiply to the output");
  }
  if (output.empty()) {
    return;
  }
  const std::uint64_t rows = left_shape[left_shape.size() - 2];
  const std::uint64_t inner = left_shape.back();
  const std::uint64_t columns = right_shape.back();
  const std::uint64_t left_matrix = rows * inner;
  const std::uint64_t right_matrix = inner * columns;
  const std::uint64_t output_matrix = rows * columns;

  // Every slice multiplies the same right matrix, and the left slices lie one
  // after the other as the output's do: the batch folds into the rows of one
  // product. Each element is the same dot product either way.
  const std::uint64_t batches = output.size() / output_matrix;
  if (right.size() == right_matrix && left.size() == batches * left_matrix) {
    multiply(isa, MatrixView{left.data(), inner, 1}, MatrixView{right.data(), columns, 1},
             OutputMatrix{output.data(), columns}, batches * rows, inner, columns);
    return;
  }

  std::vector<WalkAxis<3>> axes = broadcast_walk(left_shape.first(left_shape.size() - 2),
                                                 right_shape.first(right_shape.size() - 2),
                                                 output_shape.first(output_shape.size() - 2));
  for (WalkAxis<3>& axis : axes) {
    axis.step[kWalkOutput] *= output_matrix;
    axis.step[kWalkLeft] *= left_matrix;
    axis.step[kWalkRight] *= right_matrix;
  }
  axes = simplify_walk(axes);
  const WalkAxis<3>& line = axes.back();
  walk_lines(axes, [&](const std::array<std::uint64_t, 3>& at) {
    for (std::uint64_t i = 0; i < line.extent; ++i) {
      const float* a = left.data() + at[kWalkLeft] + i * line.step[kWalkLeft];
      const float* b = right.data() + at[kWalkRight] + i * line.step[kWalkRight];
      float* c = output.data() + at[kWalkOutput] + i * line.step[kWalkOutput];
      multiply(isa, MatrixView{a, inner, 1}, MatrixView{b, columns, 1}, OutputMatrix{c, columns},
               rows, inner, columns);
    }
  });
}

}  // namespace zelk_compiler::detail
