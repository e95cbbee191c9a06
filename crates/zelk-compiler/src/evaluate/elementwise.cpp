// Element-wise kernels: binary operations with broadcasting, and unary maps.
#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "evaluate/kernels.hpp"
#include "zelk_compiler/detail/exact_integers.hpp"
#include "zelk_compiler/detail/walk.hpp"

namespace zelk_compiler::detail {
namespace {

template <BinaryOp op>
[[gnu::always_inline]] inline float apply(float a, float b) {
  if constexpr (op == BinaryOp::add) {
    return a + b;
  } else if constexpr (op == BinaryOp::sub) {
    return a - b;
  } else if constexpr (op == BinaryOp::mul) {
    return a * b;
  } else if constexpr (op == BinaryOp::div) {
    return a / b;
  } else {
    return ::powf(a, b);
  }
}

// The innermost loop, with the common steps spelled out so that the compiler
// can vectorise them.
template <BinaryOp op>
void run_line(const float* left, std::uint64_t left_step, const float* right,
              std::uint64_t right_step, float* output, std::uint64_t count) {
  if (left_step == 1 && right_step == 1) {
    for (std::uint64_t i = 0; i < count; ++i) {
      output[i] = apply<op>(left[i], right[i]);
    }
  } else if (left_step == 1 && right_step == 0) {
    const float b = right[0];
    for (std::uint64_t i = 0; i < count; ++i) {
      output[i] = apply<op>(left[i], b);
    }
  } else if (left_step == 0 && right_step == 1) {
    const float a = left[0];
    for (std::uint64_t i = 0; i < count; ++i) {
      output[i] = apply<op>(a, right[i]);
    }
  } else {
    for (std::uint64_t i = 0; i < count; ++i) {
      output[i] = apply<op>(left[i * left_step], right[i * right_step]);
    }
  }
}

template <BinaryOp op>
void run_walk(const std::vector<WalkAxis<3>>& axes, const float* left, const float* right,
              float* output) {
  const WalkAxis<3>& line = axes.back();
  walk_lines(axes, [&](const std::array<std::uint64_t, 3>& at) {
    run_line<op>(left + at[kWalkLeft], line.step[kWalkLeft], right + at[kWalkRight],
                 line.step[kWalkRight], output + at[kWalkOutput], line.extent);
  });
}

// 0.5 x (1 + erf(x / sqrt(2))): the quotient, its erff, the sum, then the
// product of half of x by that sum, each rounded.
inline constexpr float sqrt_two = std::bit_cast<float>(std::uint32_t{0x3FB504F3});

float gelu_erf(float x) {
  const float e = ::erff(x / sqrt_two);
  const float half = gelu_half(x);
  return half * (gelu_one + e);
}

// NaN stays NaN; every other value at or below zero becomes +0.0.
float relu(float x) { return x <= 0.0F ? 0.0F : x; }

// Runs `in_place`, a vector kernel that rewrites its values, on a copy of
// `input` in `output` (or on the values themselves when they are the same).
template <class InPlace>
void map_in_place(VectorIsa isa, std::span<const float> input, std::span<float> output,
                  InPlace in_place) {
  if (input.data() != output.data()) {
    std::ranges::copy(input, output.begin());
  }
  in_place(isa, output);
}

// 1 / (1 + exp(-x)), each step rounded: large negative x gives exp's
// infinity and so +0.0, large positive x gives 1.
float sigmoid(float x) {
  const float e = ::expf(-x);
  return 1.0F / (1.0F + e);
}

template <class Map>
void map_each(std::span<const float> input, std::span<float> output, Map map) {
  for (std::size_t i = 0; i < input.size(); ++i) {
    output[i] = map(input[i]);
  }
}

void require_broadcast(std::span<const float> left, ShapeView left_shape,
                       std::span<const float> right, ShapeView right_shape,
                       std::span<const float> output, ShapeView output_shape) {
  require_elements(left, left_shape, "broadcast_binary: left operand of another size");
  require_elements(right, right_shape, "broadcast_binary: right operand of another size");
  require_elements(output, output_shape, "broadcast_binary: output of another size");
  if (broadcast_shape(left_shape, right_shape) != Shape(output_shape.begin(), output_shape.end())) {
    throw std::invalid_argument("broadcast_binary: shapes do not broadcast to the output");
  }
}

// Integer operands are exact in double, and so are their sums, differences
// and products (at most 2^48 in magnitude).
double exact(BinaryOp op, double a, double b) {
  switch (op) {
    case BinaryOp::add:
      return a + b;
    case BinaryOp::sub:
      return a - b;
    case BinaryOp::mul:
      return a * b;
    case BinaryOp::div:
    case BinaryOp::pow:
      break;
  }
  throw std::invalid_argument("integer_binary: not add, sub or mul");
}

}  // namespace

void broadcast_binary(BinaryOp op, std::span<const float> left, ShapeView left_shape,
                      std::span<const float> right, ShapeView right_shape, std::span<float> output,
                      ShapeView output_shape) {
  require_broadcast(left, left_shape, right, right_shape, output, output_shape);
  if (output.empty()) {
    return;
  }
  const auto axes = simplify_walk(broadcast_walk(left_shape, right_shape, output_shape));
  switch (op) {
    case BinaryOp::add:
      return run_walk<BinaryOp::add>(axes, left.data(), right.data(), output.data());
    case BinaryOp::sub:
      return run_walk<BinaryOp::sub>(axes, left.data(), right.data(), output.data());
    case BinaryOp::mul:
      return run_walk<BinaryOp::mul>(axes, left.data(), right.data(), output.data());
    case BinaryOp::div:
      return run_walk<BinaryOp::div>(axes, left.data(), right.data(), output.data());
    case BinaryOp::pow:
      return run_walk<BinaryOp::pow>(axes, left.data(), right.data(), output.data());
  }
}

std::optional<double> integer_binary(BinaryOp op, std::span<const float> left, ShapeView left_shape,
                                     std::span<const float> right, ShapeView right_shape,
                                     std::span<float> output, ShapeView output_shape) {
  require_broadcast(left, left_shape, right, right_shape, output, output_shape);
  if (op == BinaryOp::div || op == BinaryOp::pow) {
    throw std::invalid_argument("integer_binary: not add, sub or mul");
  }
  if (output.empty()) {
    return std::nullopt;
  }
  std::optional<double> beyond;
  const auto axes = simplify_walk(broadcast_walk(left_shape, right_shape, output_shape));
  const WalkAxis<3>& line = axes.back();
  walk_lines(axes, [&](const std::array<std::uint64_t, 3>& at) {
    for (std::uint64_t i = 0; i < line.extent; ++i) {
      const double result = exact(op, left[at[kWalkLeft] + i * line.step[kWalkLeft]],
                                  right[at[kWalkRight] + i * line.step[kWalkRight]]);
      if (!beyond && !is_exact_integer(result)) {
        beyond = result;
      }
      output[at[kWalkOutput] + i * line.step[kWalkOutput]] = static_cast<float>(result);
    }
  });
  return beyond;
}

std::optional<float> truncate_values(std::span<const float> input, std::span<float> output) {
  if (input.size() != output.size()) {
    throw std::invalid_argument("truncate_values: output of another size");
  }
  for (std::size_t i = 0; i < input.size(); ++i) {
    const float whole = std::trunc(input[i]);
    if (!is_exact_integer(whole)) {
      return input[i];
    }
    output[i] = whole;
  }
  return std::nullopt;
}

void map_unary(VectorIsa isa, UnaryOp op, std::span<const float> input, std::span<float> output) {
  if (input.size() != output.size()) {
    throw std::invalid_argument("map_unary: output of another size");
  }
  switch (op) {
    case UnaryOp::gelu:
      return map_in_place(isa, input, output, gelu_each);
    case UnaryOp::gelu_erf:
      return map_each(input, output, gelu_erf);
    case UnaryOp::relu:
      return map_each(input, output, relu);
    case UnaryOp::erf:
      return map_each(input, output, [](float x) { return ::erff(x); });
    case UnaryOp::tanh:
      return map_in_place(isa, input, output, tanh_each);
    case UnaryOp::sqrt:
      return map_each(input, output, [](float x) { return ::sqrtf(x); });
    case UnaryOp::exp:
      return map_in_place(isa, input, output, exp_each);
    case UnaryOp::sigmoid:
      return map_each(input, output, sigmoid);
  }
}

}  // namespace zelk_compiler::detail
