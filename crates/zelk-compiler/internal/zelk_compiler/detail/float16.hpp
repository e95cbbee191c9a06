// The two 16-bit float formats as bit patterns, and rounding a float to them.
//
// Narrowing rounds to nearest, ties to even, in integer arithmetic and one
// exactly specified float addition, so it gives the same bits on every
// compiler and flag set. A value beyond the
// largest finite one rounds to infinity as IEEE 754 does; a NaN stays a NaN
// of the same sign, made quiet, keeping the top bits of its payload that fit.
// Widening is exact.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>

#include "zelk_compiler/graph.hpp"

namespace zelk_compiler::detail {

inline constexpr std::uint32_t kFloatAbs = 0x7FFF'FFFF;
inline constexpr std::uint32_t kFloatInfinity = 0x7F80'0000;

// binary16: 1 sign bit, 5 exponent bits (bias 15), 10 fraction bits. Each
// case is computed and the right one selected, without branches, so that a
// loop over many values vectorises.
[[nodiscard]] constexpr std::uint16_t f16_bits(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t sign = (bits >> 16) & 0x8000U;
  const std::uint32_t abs = bits & kFloatAbs;
  // Each case sees only values of its own range, so no step wraps.
  const bool small = abs < 0x3880'0000U;
  const std::uint32_t large = small ? 0x3880'0000U : abs;
  // From 2^-14 up the result is normal: drop 13 fraction bits, to nearest
  // even, the carry going into the exponent; then rebias 127 - 15.
  const std::uint32_t normal = (large + 0x0FFFU + ((large >> 13) & 1U) - 0x3800'0000U) >> 13;
  // Below, a whole number of 2^-24 steps: added to 0.5, whose last place is
  // 2^-24, the float sum rounds to nearest even at exactly that step.
  const float tiny = std::bit_cast<float>(small ? abs : 0U);
  const std::uint32_t subnormal = std::bit_cast<std::uint32_t>(tiny + 0.5F) - 0x3F00'0000U;
  const std::uint32_t nan = 0x7E00U | ((abs >> 13) & 0x3FFU);
  std::uint32_t magnitude = small ? subnormal : normal;
  // 65520, halfway between the largest finite value (65504, odd fraction)
  // and 65536, already rounds to infinity.
  magnitude = abs >= 0x477F'F000U ? 0x7C00U : magnitude;
  magnitude = abs > kFloatInfinity ? nan : magnitude;
  return static_cast<std::uint16_t>(sign | magnitude);
}

[[nodiscard]] constexpr float f16_value(std::uint16_t half) {
  const std::uint32_t sign = (std::uint32_t{half} & 0x8000U) << 16;
  const std::uint32_t exponent = (half >> 10) & 0x1FU;
  const std::uint32_t fraction = half & 0x3FFU;
  const std::uint32_t normal = ((exponent + 112U) << 23) | (fraction << 13);
  const std::uint32_t special = kFloatInfinity | (fraction << 13);
  // Zero or subnormal: fraction x 2^-24, exact in a float.
  const std::uint32_t small = std::bit_cast<std::uint32_t>(static_cast<float>(fraction) * 0x1p-24F);
  std::uint32_t magnitude = exponent == 0 ? small : normal;
  magnitude = exponent == 0x1F ? special : magnitude;
  return std::bit_cast<float>(sign | magnitude);
}

// bfloat16: the upper half of a binary32, selected without branches as
// binary16 is.
[[nodiscard]] constexpr std::uint16_t bf16_bits(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t abs = bits & kFloatAbs;
  // Past the largest finite value the carry reaches the exponent's all-ones
  // pattern with a zero fraction: infinity.
  const std::uint32_t rounded = (abs + 0x7FFFU + ((abs >> 16) & 1U)) >> 16;
  const std::uint32_t nan = (abs >> 16) | 0x0040U;
  const std::uint32_t magnitude = abs > kFloatInfinity ? nan : rounded;
  return static_cast<std::uint16_t>(((bits >> 16) & 0x8000U) | magnitude);
}

[[nodiscard]] constexpr float bf16_value(std::uint16_t bits) {
  return std::bit_cast<float>(std::uint32_t{bits} << 16);
}

// Calls `each(round)` with the function that rounds a float to `dtype`, a
// 16-bit float type, so that a loop over many values has no switch inside.
// Throws std::invalid_argument for another type.
template <class Each>
void with_rounding(DType dtype, Each each) {
  switch (dtype) {
    case DType::F16:
      return each([](float value) { return f16_value(f16_bits(value)); });
    case DType::BF16:
      return each([](float value) { return bf16_value(bf16_bits(value)); });
    case DType::F32:
    case DType::I32:
    case DType::I64:
      break;
  }
  throw std::invalid_argument("with_rounding: not a 16-bit float type");
}

// The value of `dtype`, a float type, nearest `value`. Throws
// std::invalid_argument for an integer type.
[[nodiscard]] inline float round_to(DType dtype, float value) {
  if (dtype == DType::F32) {
    return value;
  }
  float rounded = value;
  with_rounding(dtype, [&](auto round) { rounded = round(value); });
  return rounded;
}

// Rounds every element to `dtype`, a float type, in place.
inline void round_all(DType dtype, std::span<float> values) {
  if (dtype == DType::F32) {
    return;
  }
  with_rounding(dtype, [values](auto round) {
    for (float& value : values) {
      value = round(value);
    }
  });
}

// The position of the first element of `values` that is not a value of
// `dtype`, a float type (any NaN is one), or values.size() when all are.
// Blocks are checked whole, which vectorises, and searched only when one
// holds a misfit.
inline std::size_t first_misfit(DType dtype, std::span<const float> values) {
  if (dtype == DType::F32) {
    return values.size();
  }
  constexpr std::size_t kBlock = 1024;
  std::size_t found = values.size();
  with_rounding(dtype, [&](auto round) {
    const auto differs = [round](float value) {
      const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
      const bool nan = (bits & kFloatAbs) > kFloatInfinity;
      return nan ? 0U : bits ^ std::bit_cast<std::uint32_t>(round(value));
    };
    for (std::size_t start = 0; start < values.size(); start += kBlock) {
      const std::span<const float> block =
          values.subspan(start, std::min(kBlock, values.size() - start));
      std::uint32_t any = 0;
      for (const float value : block) {
        any |= differs(value);
      }
      if (any != 0) {
        for (std::size_t i = 0; i < block.size(); ++i) {
          if (differs(block[i]) != 0) {
            found = start + i;
            return;
          }
        }
      }
    }
  });
  return found;
}

}  // namespace zelk_compiler::detail
