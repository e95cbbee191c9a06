// Walking an output in row-major order while one or more operands follow it
// with their own steps per axis: the loop nest behind broadcasting and
// transposition.
//
// The walk runs as few nested loops as it can, its innermost one over as many
// consecutive output elements as possible: axes of extent 1 are dropped, and
// neighbouring axes along which every operand advances evenly are merged (a
// bias add over [batch, sequence, hidden] becomes one loop of `hidden` inside
// one of batch x sequence; a division by a scalar becomes a single loop).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "zelk_compiler/detail/shape_rules.hpp"

namespace zelk_compiler::detail {

// One axis of a walk: its extent and how far each of `N` operands moves
// along it.
template <std::size_t N>
struct WalkAxis {
  std::uint64_t extent;
  std::array<std::uint64_t, N> step;
};

// `axes` (outermost first) without axes of extent 1, neighbours merged where
// every operand's step on the outer one is its step on the inner one times
// the inner extent. Never empty: a walk of one element keeps one axis.
template <std::size_t N>
[[nodiscard]] std::vector<WalkAxis<N>> simplify_walk(const std::vector<WalkAxis<N>>& axes) {
  std::vector<WalkAxis<N>> merged;
  for (const WalkAxis<N>& axis : axes) {
    if (axis.extent == 1) {
      continue;
    }
    if (!merged.empty()) {
      WalkAxis<N>& outer = merged.back();
      bool even = true;
      for (std::size_t k = 0; k < N; ++k) {
        even = even && outer.step[k] == axis.step[k] * axis.extent;
      }
      if (even) {
        outer = WalkAxis<N>{.extent = outer.extent * axis.extent, .step = axis.step};
        continue;
      }
    }
    merged.push_back(axis);
  }
  if (merged.empty()) {
    merged.push_back(WalkAxis<N>{.extent = 1, .step = {}});
  }
  return merged;
}

// Calls `line(offsets)` once per combination of indices of all axes but the
// innermost, in row-major order, with each operand's offset at the start of
// that line; the caller runs the innermost axis. `axes` is not empty.
template <std::size_t N, class Line>
void walk_lines(const std::vector<WalkAxis<N>>& axes, Line line) {
  const std::size_t outer_axes = axes.size() - 1;
  std::vector<std::uint64_t> index(outer_axes, 0);
  std::array<std::uint64_t, N> offsets{};
  while (true) {
    line(offsets);
    // The odometer over the outer axes, innermost first; done when the
    // outermost one wraps (at once when there is none).
    std::size_t a = outer_axes;
    while (true) {
      if (a == 0) {
        return;
      }
      --a;
      for (std::size_t k = 0; k < N; ++k) {
        offsets[k] += axes[a].step[k];
      }
      if (++index[a] < axes[a].extent) {
        break;
      }
      for (std::size_t k = 0; k < N; ++k) {
        offsets[k] -= axes[a].step[k] * axes[a].extent;
      }
      index[a] = 0;
    }
  }
}

// The operands of a copying walk, by their place in `WalkAxis::step`.
inline constexpr std::size_t kWalkTo = 0;
inline constexpr std::size_t kWalkFrom = 1;

// The axes of the transpose of a tensor of shape `shape`: output axis i runs
// along input axis permutation[i], with the steps {output, input} in
// elements. `permutation` is a permutation of the axes (`transpose_shape`
// checks it) and the element count fits 64 bits; a walk of no elements must
// not be run. Not simplified.
[[nodiscard]] std::vector<WalkAxis<2>> transpose_walk(ShapeView shape, ShapeView permutation);

// The operands of a broadcast walk, by their place in `WalkAxis::step`.
inline constexpr std::size_t kWalkOutput = 0;
inline constexpr std::size_t kWalkLeft = 1;
inline constexpr std::size_t kWalkRight = 2;

// The axes of `output`, the broadcast of `left` and `right`, with the step
// of each in elements: an operand's axis of extent 1, or one it lacks being
// of lower rank, is read with step 0. Not simplified.
[[nodiscard]] std::vector<WalkAxis<3>> broadcast_walk(ShapeView left, ShapeView right,
                                                      ShapeView output);

// How `shape` splits around `axis`: the elements before it, its extent and
// the elements after it (each line along the axis is `inner` apart).
struct AxisSplit {
  std::uint64_t outer;
  std::uint64_t extent;
  std::uint64_t inner;
};
// Throws std::invalid_argument when `axis` is not one of `shape`'s or a part
// does not fit 64 bits.
[[nodiscard]] AxisSplit split_at(ShapeView shape, std::uint64_t axis);

}  // namespace zelk_compiler::detail
