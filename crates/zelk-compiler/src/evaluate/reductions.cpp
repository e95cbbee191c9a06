// Kernels that combine values along an axis: softmax on any axis, layer
// normalisation with gain and bias, and the mean.
#include <stdexcept>
#include <vector>

#include "evaluate/kernels.hpp"

namespace zelk_compiler::detail {
namespace {

// block[r][c] of a `rows` x `columns` block into to[c][r].
void transpose_block(const float* block, std::uint64_t rows, std::uint64_t columns, float* to) {
  for (std::uint64_t r = 0; r < rows; ++r) {
    for (std::uint64_t c = 0; c < columns; ++c) {
      to[c * rows + r] = block[r * columns + c];
    }
  }
}

}  // namespace

void softmax_axis(VectorIsa isa, std::span<float> values, ShapeView shape, std::uint64_t axis) {
  require_elements(values, shape, "softmax_axis: values of another size");
  if (values.empty()) {
    return;
  }
  const AxisSplit split = split_at(shape, axis);
  if (split.inner == 1) {
    softmax_rows(isa, values.data(), split.outer, split.extent);
    return;
  }
  // Each block [extent][inner] turned so that its lines along the axis are
  // rows, softmaxed as rows, and turned back.
  std::vector<float> lines(split.extent * split.inner);
  for (std::uint64_t o = 0; o < split.outer; ++o) {
    float* block = values.data() + o * split.extent * split.inner;
    transpose_block(block, split.extent, split.inner, lines.data());
    softmax_rows(isa, lines.data(), split.inner, split.extent);
    transpose_block(lines.data(), split.inner, split.extent, block);
  }
}

void layer_norm_last(VectorIsa isa, std::span<const float> input, ShapeView shape, float epsilon,
                     std::span<const float> gain, std::span<const float> bias,
                     std::span<float> output) {
  require_elements(input, shape, "layer_norm_last: input of another size");
  if (output.size() != input.size()) {
    throw std::invalid_argument("layer_norm_last: output of another size");
  }
  if (input.empty()) {
    return;
  }
  // A value without axes is one row of one column.
  const std::uint64_t columns = shape.empty() ? 1 : shape.back();
  const std::uint64_t rows = input.size() / columns;
  standardise_rows(isa, input.data(), output.data(), rows, columns, epsilon);
  if (gain.empty() && bias.empty()) {
    return;
  }
  if (gain.size() != columns || bias.size() != columns) {
    throw std::invalid_argument("layer_norm_last: gain or bias not one value per column");
  }
  for (std::uint64_t r = 0; r < rows; ++r) {
    float* row = output.data() + r * columns;
    for (std::uint64_t c = 0; c < columns; ++c) {
      const float scaled = row[c] * gain[c];
      row[c] = scaled + bias[c];
    }
  }
}

void reduce_mean_axis(std::span<const float> input, ShapeView shape, std::uint64_t axis,
                      std::span<float> output) {
  require_elements(input, shape, "reduce_mean_axis: input of another size");
  const AxisSplit split = split_at(shape, axis);
  if (output.size() != split.outer * split.inner) {
    throw std::invalid_argument("reduce_mean_axis: output of another size");
  }
  const float count = static_cast<float>(split.extent);
  // The sums of one outer position run side by side over its inner
  // positions, each adding the axis's values in position order.
  for (std::uint64_t o = 0; o < split.outer; ++o) {
    float* sums = output.data() + o * split.inner;
    for (std::uint64_t i = 0; i < split.inner; ++i) {
      sums[i] = -0.0F;
    }
    for (std::uint64_t k = 0; k < split.extent; ++k) {
      const float* line = input.data() + (o * split.extent + k) * split.inner;
      for (std::uint64_t i = 0; i < split.inner; ++i) {
        sums[i] = sums[i] + line[i];
      }
    }
    for (std::uint64_t i = 0; i < split.inner; ++i) {
      sums[i] = sums[i] / count;
    }
  }
}

}  // namespace zelk_compiler::detail
