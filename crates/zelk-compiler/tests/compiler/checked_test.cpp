// Overflow-checked arithmetic at the edge of every unsigned width.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>

#include "checked.hpp"

namespace zelk_compiler::detail {
namespace {

template <class T>
class CheckedArithmetic : public ::testing::Test {};

using Widths = ::testing::Types<std::uint16_t, std::uint32_t, std::uint64_t>;
TYPED_TEST_SUITE(CheckedArithmetic, Widths);

TYPED_TEST(CheckedArithmetic, AddsUpToTheLargestValueAndNoFurther) {
  using T = TypeParam;
  constexpr T max = std::numeric_limits<T>::max();
  EXPECT_EQ(checked_add(T{max - 1}, T{1}), std::optional<T>(max));
  EXPECT_EQ(checked_add(max, T{0}), std::optional<T>(max));
  EXPECT_EQ(checked_add(max, T{1}), std::nullopt);
  EXPECT_EQ(checked_add(max, max), std::nullopt);
  static_assert(checked_add(T{2}, T{3}) == T{5});
}

TYPED_TEST(CheckedArithmetic, MultipliesUpToTheLargestValueAndNoFurther) {
  using T = TypeParam;
  constexpr T max = std::numeric_limits<T>::max();
  constexpr T half = max / 2;  // 2 x half is max - 1
  EXPECT_EQ(checked_mul(half, T{2}), std::optional<T>(max - 1));
  EXPECT_EQ(checked_mul(T{half + 1}, T{2}), std::nullopt);
  EXPECT_EQ(checked_mul(max, T{1}), std::optional<T>(max));
  EXPECT_EQ(checked_mul(max, T{0}), std::optional<T>(0));
  EXPECT_EQ(checked_mul(max, max), std::nullopt);
  static_assert(checked_mul(T{6}, T{7}) == T{42});
}

TEST(CheckedArithmetic, ShapeElementsIsZeroForAnyZeroExtentEvenAfterAnOverflow) {
  constexpr std::uint64_t big = std::uint64_t{1} << 40;
  const std::uint64_t overflowing[] = {big, big, 0};
  const std::uint64_t too_big[] = {big, big, 1};
  const std::uint64_t fits[] = {big, 1U << 23};
  EXPECT_EQ(shape_elements(overflowing), std::optional<std::uint64_t>(0));
  EXPECT_EQ(shape_elements(too_big), std::nullopt);
  EXPECT_EQ(shape_elements(fits), std::optional<std::uint64_t>(std::uint64_t{1} << 63));
  EXPECT_EQ(shape_elements({}), std::optional<std::uint64_t>(1));
}

}  // namespace
}  // namespace zelk_compiler::detail
