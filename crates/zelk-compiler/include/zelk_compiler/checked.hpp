// Overflow-checked integer arithmetic: the one place that knows how a count,
// size or address may overflow and what happens when it does.
//
// Each operation is one small function, and the families are built on each
// other rather than written again:
// - checked_*: the exact result, or nothing when it does not fit the type;
// - saturating_*: the exact result, clamped to the type's range;
// - align_up: the next multiple of an alignment, or nothing when that does not
//   fit (saturating_align_up clamps instead);
// - checked_cast: a value in another integer type, or nothing when that type
//   cannot hold it;
// - checked_product: the product of a list, such as a shape's extents.
// Both operands of an operation have the same type (signed or unsigned), so a
// narrower value is widened on purpose by the caller. Nothing outside this
// header calls the compiler's overflow builtins.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace zelk_compiler {

namespace detail {

// The result of `op`, one of the compiler's overflow builtins, unless it
// reports that the exact result does not fit T.
template <std::integral T, class Op>
[[nodiscard]] constexpr std::optional<T> checked_op(T a, T b, Op op) {
  T result = 0;
  if (op(a, b, &result)) {
    return std::nullopt;
  }
  return result;
}

}  // namespace detail

template <std::integral T>
[[nodiscard]] constexpr std::optional<T> checked_add(T a, T b) {
  return detail::checked_op(a, b,
                            [](T x, T y, T* sum) { return __builtin_add_overflow(x, y, sum); });
}

template <std::integral T>
[[nodiscard]] constexpr std::optional<T> checked_sub(T a, T b) {
  return detail::checked_op(
      a, b, [](T x, T y, T* difference) { return __builtin_sub_overflow(x, y, difference); });
}

template <std::integral T>
[[nodiscard]] constexpr std::optional<T> checked_mul(T a, T b) {
  return detail::checked_op(
      a, b, [](T x, T y, T* product) { return __builtin_mul_overflow(x, y, product); });
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

// `value` as a `To`, nothing when `To` cannot hold it: a narrowing that would
// cut it, or a change of sign that would reinterpret it.
template <std::integral To, std::integral From>
[[nodiscard]] constexpr std::optional<To> checked_cast(From value) {
  if (!std::in_range<To>(value)) {
    return std::nullopt;
  }
  return static_cast<To>(value);
}

// The product of `factors`, 1 for none; nothing when it does not fit. A zero
// factor makes it 0 even when the factors before it overflow: the exact
// product is then 0, which fits.
[[nodiscard]] constexpr std::optional<std::uint64_t> checked_product(
    std::span<const std::uint64_t> factors) {
  std::optional<std::uint64_t> product = 1;
  for (const std::uint64_t factor : factors) {
    if (factor == 0) {
      return 0;
    }
    if (product) {
      product = checked_mul(*product, factor);
    }
  }
  return product;
}

}  // namespace zelk_compiler
