// The two 16-bit float formats as bit patterns, and rounding a float to them.
//
// Narrowing rounds to nearest, ties to even, in integer arithmetic only, so
// it gives the same bits on every compiler and flag set. A value beyond the
// largest finite one rounds to infinity as IEEE 754 does; a NaN stays a NaN
// of the same sign, made quiet, keeping the top bits of its payload that fit.
// Widening is exact.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <stdexcept>

#include "zelk_compiler/graph.hpp"

namespace zelk_compiler::detail {

inline constexpr std::uint32_t kFloatAbs = 0x7FFF'FFFF;
inline constexpr std::uint32_t kFloatInfinity = 0x7F80'0000;

// binary16: 1 sign bit, 5 exponent bits (bias 15), 10 fraction bits.
[[nodiscard]] constexpr std::uint16_t f16_bits(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000U);
  const std::uint32_t abs = bits & kFloatAbs;
  if (abs > kFloatInfinity) {
    return static_cast<std::uint16_t>(sign | 0x7E00U | ((abs >> 13) & 0x3FFU));
  }
  // 65520, halfway between the largest finite value (65504, odd fraction)
  // and 65536, already rounds to infinity.
  if (abs >= 0x477F'F000U) {
    return static_cast<std::uint16_t>(sign | 0x7C00U);
  }
  // From 2^-14 up the result is normal: drop 13 fraction bits with the
  // rounding carried into the exponent, then rebias 127 - 15.
  if (abs >= 0x3880'0000U) {
    const std::uint32_t rounded = abs + 0x0FFFU + ((abs >> 13) & 1U);
    return static_cast<std::uint16_t>(sign | ((rounded - 0x3800'0000U) >> 13));
  }
  // Below that, a whole number of 2^-24 steps: the significand (with its
  // leading 1) shifted right by how far the exponent falls below 2^-1 ...
  const std::uint32_t exponent = abs >> 23;
  const std::uint32_t shift = 126U - exponent;
  if (exponent == 0 || shift > 24) {
    return sign;  // below half the smallest step, so zero
  }
  const std::uint32_t significand = (abs & 0x7F'FFFFU) | 0x80'0000U;
  std::uint32_t steps = significand >> shift;
  const std::uint32_t rest = significand & ((1U << shift) - 1U);
  const std::uint32_t half = 1U << (shift - 1U);
  if (rest > half || (rest == half && (steps & 1U) != 0)) {
    ++steps;  // ... which may carry into the smallest normal value
  }
  return static_cast<std::uint16_t>(sign | steps);
}

[[nodiscard]] constexpr float f16_value(std::uint16_t half) {
  const std::uint32_t sign = (std::uint32_t{half} & 0x8000U) << 16;
  const std::uint32_t exponent = (half >> 10) & 0x1FU;
  const std::uint32_t fraction = half & 0x3FFU;
  if (exponent == 0x1F) {
    return std::bit_cast<float>(sign | kFloatInfinity | (fraction << 13));
  }
  if (exponent != 0) {
    return std::bit_cast<float>(sign | ((exponent + 112U) << 23) | (fraction << 13));
  }
  // Zero or subnormal: fraction x 2^-24, exact in a float.
  const float magnitude = static_cast<float>(fraction) * 0x1p-24F;
  return std::bit_cast<float>(sign | std::bit_cast<std::uint32_t>(magnitude));
}

// bfloat16: the upper half of a binary32.
[[nodiscard]] constexpr std::uint16_t bf16_bits(float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  if ((bits & kFloatAbs) > kFloatInfinity) {
    return static_cast<std::uint16_t>((bits >> 16) | 0x0040U);
  }
  // Past the largest finite value the carry reaches the exponent's all-ones
  // pattern with a zero fraction: infinity.
  return static_cast<std::uint16_t>((bits + 0x7FFFU + ((bits >> 16) & 1U)) >> 16);
}

[[nodiscard]] constexpr float bf16_value(std::uint16_t bits) {
  return std::bit_cast<float>(std::uint32_t{bits} << 16);
}

// The value of `dtype` nearest `value`, as a float. Throws
// std::invalid_argument for a type that is not a float type.
[[nodiscard]] constexpr float round_to(DType dtype, float value) {
  switch (dtype) {
    case DType::F32:
      return value;
    case DType::F16:
      return f16_value(f16_bits(value));
    case DType::BF16:
      return bf16_value(bf16_bits(value));
    case DType::I32:
    case DType::I64:
      break;
  }
  throw std::invalid_argument("round_to: not a float type");
}

// Whether `value` is one of `dtype`'s values (any NaN is).
[[nodiscard]] constexpr bool representable(DType dtype, float value) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
  return (bits & kFloatAbs) > kFloatInfinity ||
         std::bit_cast<std::uint32_t>(round_to(dtype, value)) == bits;
}

// Rounds every element to `dtype` in place.
inline void round_all(DType dtype, std::span<float> values) {
  switch (dtype) {
    case DType::F32:
      return;
    case DType::F16:
      for (float& value : values) {
        value = f16_value(f16_bits(value));
      }
      return;
    case DType::BF16:
      for (float& value : values) {
        value = bf16_value(bf16_bits(value));
      }
      return;
    case DType::I32:
    case DType::I64:
      break;
  }
  throw std::invalid_argument("round_all: not a float type");
}

}  // namespace zelk_compiler::detail
