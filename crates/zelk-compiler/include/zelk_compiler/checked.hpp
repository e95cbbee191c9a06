// Overflow-checked integer arithmetic: the one place that knows how a count,
// size or address may overflow and what happens when it does.
//
// Three families, each one small function per operation:
// - checked_*: the exact result, or nothing when it does not fit the type;
// - saturating_*: the exact result, clamped to the type's range;
// - align_up: the next multiple of an alignment, or nothing when that does not
//   fit.
// Both operands have the same type (signed or unsigned), so a narrower value
// is widened on purpose by the caller; composed forms (checked_mul_add) are
// built from the single operations rather than written again.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace zelk_compiler {

template <std::integral T>
[[nodiscard]] constexpr std::optional<T> checked_add(T a, T b) {
  T sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return std::nullopt;
  }
  return sum;
}

template <std::integral T>
[[nodiscard]] constexpr std::optional<T> checked_sub(T a, T b) {
  T difference = 0;
  if (__builtin_sub_overflow(a, b, &difference)) {
    return std::nullopt;
  }
  return difference;
}

template <std::integral T>
[[nodiscard]] constexpr std::optional<T> checked_mul(T a, T b) {
  T product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    return std::nullopt;
  }
  return product;
}

// a * b + c, nothing when either step overflows.
template <std::integral T>
[[nodiscard]] constexpr std::optional<T> checked_mul_add(T a, T b, T c) {
  const std::optional<T> product = checked_mul(a, b);
  return product ? checked_add(*product, c) : std::nullopt;
}

// The bound an overflowing operation runs into: the maximum unless exactly
// one operand is negative (for a product) or the second is (for a sum).
template <std::integral T>
[[nodiscard]] constexpr T saturating_add(T a, T b) {
  if (const std::optional<T> sum = checked_add(a, b)) {
    return *sum;
  }
  return b < 0 ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
}

template <std::integral T>
[[nodiscard]] constexpr T saturating_sub(T a, T b) {
  if (const std::optional<T> difference = checked_sub(a, b)) {
    return *difference;
  }
  if constexpr (std::is_unsigned_v<T>) {
    return 0;
  } else {
    return b > 0 ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
  }
}

template <std::integral T>
[[nodiscard]] constexpr T saturating_mul(T a, T b) {
  if (const std::optional<T> product = checked_mul(a, b)) {
    return *product;
  }
  return (a < 0) != (b < 0) ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
}

// The smallest multiple of `alignment` that is at least `value`; nothing when
// it does not fit. An alignment of 0 is a broken precondition.
template <std::unsigned_integral T>
[[nodiscard]] constexpr std::optional<T> align_up(T value, T alignment) {
  if (alignment == 0) {
    throw std::invalid_argument("align_up: alignment must be at least 1");
  }
  const T remainder = static_cast<T>(value % alignment);
  return remainder == 0 ? std::optional<T>(value)
                        : checked_add(value, static_cast<T>(alignment - remainder));
}

// align_up clamped to the type's maximum: for search bounds, where an offset
// past every capacity only has to compare as too large.
template <std::unsigned_integral T>
[[nodiscard]] constexpr T saturating_align_up(T value, T alignment) {
  return align_up(value, alignment).value_or(std::numeric_limits<T>::max());
}

}  // namespace zelk_compiler
