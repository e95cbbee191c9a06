// Kernels that only move values: transpose, slice, concat and gather. Nothing is
// computed, so any order of copying gives the same result.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "checked.hpp"
#include "evaluate/kernels.hpp"
#include "zelk_compiler/detail/walk.hpp"

namespace zelk_compiler::detail {
namespace {

// Copies `count` values taken `step` apart to consecutive places.
void gather(const float* from, std::uint64_t step, float* to, std::uint64_t count) {
  if (step == 1) {
    std::copy(from, from + count, to);
    return;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    to[i] = from[i * step];
  }
}

}  // namespace

void transpose_values(std::span<const float> input, ShapeView shape, ShapeView permutation,
                      std::span<float> output) {
  const auto output_shape = transpose_shape(shape, permutation);
  if (!output_shape) {
    throw std::invalid_argument("transpose_values: not a permutation of the axes");
  }
  require_elements(input, shape, "transpose_values: input of another size");
  require_elements(output, *output_shape, "transpose_values: output of another size");
  if (output.empty()) {
    return;
  }
  const auto axes = simplify_walk(transpose_walk(shape, permutation));
  const WalkAxis<2>& line = axes.back();
  walk_lines(axes, [&](const std::array<std::uint64_t, 2>& at) {
    gather(input.data() + at[kWalkFrom], line.step[kWalkFrom], output.data() + at[kWalkTo],
           line.extent);
  });
}

void slice_values(std::span<const float> input, ShapeView shape, std::uint64_t axis,
                  std::uint64_t start, std::uint64_t end, std::span<float> output) {
  const auto output_shape = slice_shape(shape, axis, start, end);
  if (!output_shape) {
    throw std::invalid_argument("slice_values: not a slice of the input");
  }
  require_elements(input, shape, "slice_values: input of another size");
  require_elements(output, *output_shape, "slice_values: output of another size");
  const AxisSplit split = split_at(shape, axis);
  const std::uint64_t kept = (end - start) * split.inner;
  for (std::uint64_t o = 0; o < split.outer; ++o) {
    const float* from = input.data() + (o * split.extent + start) * split.inner;
    std::copy(from, from + kept, output.data() + o * kept);
  }
}

void concat_values(std::span<const std::span<const float>> inputs,
                   std::span<const ShapeView> shapes, std::uint64_t axis, std::span<float> output) {
  const auto output_shape = concat_shape(shapes, axis).shape;
  if (!output_shape || inputs.size() != shapes.size()) {
    throw std::invalid_argument("concat_values: inputs do not concatenate");
  }
  for (std::size_t t = 0; t < inputs.size(); ++t) {
    require_elements(inputs[t], shapes[t], "concat_values: input of another size");
  }
  require_elements(output, *output_shape, "concat_values: output of another size");
  const AxisSplit split = split_at(*output_shape, axis);
  float* to = output.data();
  for (std::uint64_t o = 0; o < split.outer; ++o) {
    for (std::size_t t = 0; t < inputs.size(); ++t) {
      const std::uint64_t run = shapes[t][axis] * split.inner;
      const float* from = inputs[t].data() + o * run;
      to = std::copy(from, from + run, to);
    }
  }
}

std::optional<float> gather_rows(std::span<const float> table, ShapeView table_shape,
                                 std::span<const float> ids, std::span<float> output) {
  if (table_shape.size() != 2) {
    throw std::invalid_argument("gather_rows: table is not 2-D");
  }
  require_elements(table, table_shape, "gather_rows: table of another size");
  const std::uint64_t rows = table_shape[0];
  const std::uint64_t width = table_shape[1];
  if (mul_or_throw(ids.size(), width, "gather_rows: output overflows") != output.size()) {
    throw std::invalid_argument("gather_rows: output of another size");
  }
  // In double, every row count and every id compares exactly; a NaN fails
  // both comparisons.
  const auto extent = static_cast<double>(rows);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const double id = std::trunc(static_cast<double>(ids[i]));
    if (!(id >= -extent && id < extent)) {
      return ids[i];
    }
    const auto row = static_cast<std::uint64_t>(id < 0 ? id + extent : id);
    const float* from = table.data() + row * width;
    std::copy(from, from + width, output.data() + i * width);
  }
  return std::nullopt;
}

}  // namespace zelk_compiler::detail
