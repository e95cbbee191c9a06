// Overflow-checked arithmetic against exact 128-bit arithmetic, at the edge of
// every signed and unsigned width and on every pair of 8-bit values.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "zelk_compiler/checked.hpp"

namespace zelk_compiler {
namespace {

// Wide enough for the exact sum, difference or product of any two 64-bit
// operands (an unsigned product needs the unsigned form).
__extension__ using Int128 = __int128;
__extension__ using UInt128 = unsigned __int128;

template <class T>
using ProductType = std::conditional_t<std::is_signed_v<T>, Int128, UInt128>;

template <class T, class Wide>
bool fits(Wide exact) {
  return exact >= static_cast<Wide>(std::numeric_limits<T>::min()) &&
         exact <= static_cast<Wide>(std::numeric_limits<T>::max());
}

// What a checked operation must return for the exact result `exact`.
template <class T, class Wide>
std::optional<T> expected_checked(Wide exact) {
  return fits<T>(exact) ? std::optional<T>(static_cast<T>(exact)) : std::nullopt;
}

// What a saturating operation must return for the exact result `exact`.
template <class T, class Wide>
T expected_saturated(Wide exact) {
  const auto low = static_cast<Wide>(std::numeric_limits<T>::min());
  const auto high = static_cast<Wide>(std::numeric_limits<T>::max());
  return static_cast<T>(std::clamp(exact, low, high));
}

template <class T>
std::string pair_text(T a, T b) {
  return "a = " + std::to_string(+a) + ", b = " + std::to_string(+b);
}

// Every single operation on one pair of operands.
template <class T>
void expect_exact(T a, T b) {
  const Int128 sum = Int128{a} + Int128{b};
  const Int128 difference = Int128{a} - Int128{b};
  const ProductType<T> product = ProductType<T>{a} * ProductType<T>{b};
  EXPECT_EQ(checked_add(a, b), expected_checked<T>(sum)) << pair_text(a, b);
  EXPECT_EQ(checked_sub(a, b), expected_checked<T>(difference)) << pair_text(a, b);
  EXPECT_EQ(checked_mul(a, b), expected_checked<T>(product)) << pair_text(a, b);
  EXPECT_EQ(saturating_add(a, b), expected_saturated<T>(sum)) << pair_text(a, b);
  EXPECT_EQ(saturating_sub(a, b), expected_saturated<T>(difference)) << pair_text(a, b);
  EXPECT_EQ(saturating_mul(a, b), expected_saturated<T>(product)) << pair_text(a, b);
}

// The values where overflow begins or ends: the bounds and their
// neighbours, the halves, the square roots and the small numbers.
template <class T>
std::vector<T> edge_values() {
  using Limits = std::numeric_limits<T>;
  const Int128 root = Int128{1} << (Limits::digits / 2);
  const std::array<Int128, 18> candidates = {Int128{Limits::min()},
                                             Int128{Limits::min()} + 1,
                                             Int128{Limits::min()} / 2,
                                             -root - 1,
                                             -root,
                                             -2,
                                             -1,
                                             0,
                                             1,
                                             2,
                                             3,
                                             root - 1,
                                             root,
                                             root + 1,
                                             Int128{Limits::max()} / 2,
                                             Int128{Limits::max()} / 2 + 1,
                                             Int128{Limits::max()} - 1,
                                             Int128{Limits::max()}};
  std::vector<T> values;
  for (const Int128 candidate : candidates) {
    if (fits<T>(candidate)) {
      values.push_back(static_cast<T>(candidate));
    }
  }
  std::ranges::sort(values);
  const auto [first, last] = std::ranges::unique(values);
  values.erase(first, last);
  return values;
}

// `check` on every ordered pair of T's edge values.
template <class T, class Check>
void for_each_edge_pair(Check check) {
  const std::vector<T> edges = edge_values<T>();
  for (const T a : edges) {
    for (const T b : edges) {
      check(a, b);
    }
  }
}

template <class T>
class CheckedArithmetic : public ::testing::Test {};

using Integers = ::testing::Types<std::int8_t, std::int16_t, std::int32_t, std::int64_t,
                                  std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>;
TYPED_TEST_SUITE(CheckedArithmetic, Integers);

TYPED_TEST(CheckedArithmetic, AgreesWithExactArithmeticOnEveryPairOfEdgeValues) {
  using T = TypeParam;
  for_each_edge_pair<T>([](T a, T b) {
    expect_exact(a, b);
    // A multiply-add fails when either step overflows.
    const ProductType<T> product = ProductType<T>{a} * ProductType<T>{b};
    for (const T c : edge_values<T>()) {
      const std::optional<T> expected =
          fits<T>(product) ? expected_checked<T>(Int128{static_cast<T>(product)} + Int128{c})
                           : std::nullopt;
      EXPECT_EQ(checked_mul_add(a, b, c), expected) << pair_text(a, b) << ", c = " << +c;
    }
  });
}

TEST(CheckedArithmetic, AgreesWithExactArithmeticOnEveryEightBitPair) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      expect_exact(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b));
      expect_exact(static_cast<std::int8_t>(a - 128), static_cast<std::int8_t>(b - 128));
    }
  }
}

template <class T>
class AlignUp : public ::testing::Test {};

using Unsigned = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>;
TYPED_TEST_SUITE(AlignUp, Unsigned);

TYPED_TEST(AlignUp, RoundsToTheNextMultipleOrReportsThatItDoesNotFit) {
  using T = TypeParam;
  for_each_edge_pair<T>([](T value, T alignment) {
    if (alignment == 0) {
      return;
    }
    const UInt128 rounded = (UInt128{value} + alignment - 1) / alignment * alignment;
    EXPECT_EQ(align_up(value, alignment), expected_checked<T>(rounded))
        << pair_text(value, alignment);
    EXPECT_EQ(saturating_align_up(value, alignment), expected_saturated<T>(rounded))
        << pair_text(value, alignment);
  });
}

TYPED_TEST(AlignUp, RefusesAnAlignmentOfZero) {
  using T = TypeParam;
  EXPECT_THROW(static_cast<void>(align_up(T{8}, T{0})), std::invalid_argument);
  EXPECT_THROW(static_cast<void>(saturating_align_up(T{8}, T{0})), std::invalid_argument);
}

TEST(AlignUp, AgreesWithExactArithmeticOnEveryEightBitPair) {
  for (unsigned value = 0; value < 256; ++value) {
    for (unsigned alignment = 1; alignment < 256; ++alignment) {
      const unsigned rounded = (value + alignment - 1) / alignment * alignment;
      const auto v = static_cast<std::uint8_t>(value);
      const auto a = static_cast<std::uint8_t>(alignment);
      EXPECT_EQ(align_up(v, a), expected_checked<std::uint8_t>(Int128{rounded})) << pair_text(v, a);
    }
  }
}

template <class T>
class CheckedCast : public ::testing::Test {};

TYPED_TEST_SUITE(CheckedCast, Integers);

template <class To, class From>
void expect_cast_of_every_edge() {
  for (const From value : edge_values<From>()) {
    EXPECT_EQ(checked_cast<To>(value), expected_checked<To>(Int128{value}))
        << std::to_string(+value) << " to " << std::numeric_limits<To>::digits << " digits";
  }
}

TYPED_TEST(CheckedCast, KeepsEveryValueTheTargetHoldsAndNoOther) {
  using To = TypeParam;
  expect_cast_of_every_edge<To, std::int8_t>();
  expect_cast_of_every_edge<To, std::int16_t>();
  expect_cast_of_every_edge<To, std::int32_t>();
  expect_cast_of_every_edge<To, std::int64_t>();
  expect_cast_of_every_edge<To, std::uint8_t>();
  expect_cast_of_every_edge<To, std::uint16_t>();
  expect_cast_of_every_edge<To, std::uint32_t>();
  expect_cast_of_every_edge<To, std::uint64_t>();
}

TEST(CheckedProduct, IsExactZeroAsSoonAsAFactorIsZeroAndNothingPastTheLargestValue) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  constexpr std::uint64_t k2To32 = std::uint64_t{1} << 32U;
  struct Case {
    std::vector<std::uint64_t> factors;
    std::optional<std::uint64_t> product;
  };
  const Case cases[] = {
      {{}, 1},
      {{7}, 7},
      {{2, 3, 4}, 24},
      {{k2To32, k2To32 / 2}, std::uint64_t{1} << 63U},
      {{kMax, 1}, kMax},
      {{k2To32, k2To32}, std::nullopt},
      {{std::uint64_t{1} << 63U, 2}, std::nullopt},
      {{kMax, kMax, 1}, std::nullopt},
      {{3, 0}, 0},
      {{0, kMax, kMax}, 0},
      {{kMax, kMax, 0}, 0},  // the partial product overflowed first
  };
  for (const Case& c : cases) {
    EXPECT_EQ(checked_product(c.factors), c.product) << ::testing::PrintToString(c.factors);
  }
}

TEST(CheckedArithmetic, WorksInConstantExpressions) {
  static constexpr std::array<std::uint64_t, 3> kExtents = {2, 3, 4};
  static_assert(checked_add(std::int8_t{100}, std::int8_t{27}) == std::int8_t{127});
  static_assert(!checked_add(std::int8_t{100}, std::int8_t{28}));
  static_assert(!checked_sub(std::uint32_t{2}, std::uint32_t{3}));
  static_assert(checked_mul(std::int64_t{-3}, std::int64_t{7}) == -21);
  static_assert(checked_mul_add(std::uint16_t{300}, std::uint16_t{200}, std::uint16_t{5535}) ==
                std::uint16_t{65535});
  static_assert(saturating_add(std::int16_t{-30000}, std::int16_t{-30000}) ==
                std::numeric_limits<std::int16_t>::min());
  static_assert(saturating_sub(std::uint8_t{3}, std::uint8_t{5}) == 0);
  static_assert(saturating_mul(std::int32_t{-65536}, std::int32_t{65536}) ==
                std::numeric_limits<std::int32_t>::min());
  static_assert(align_up(std::uint32_t{13}, std::uint32_t{8}) == 16U);
  static_assert(saturating_align_up(std::uint8_t{250}, std::uint8_t{8}) == 255);
  static_assert(checked_cast<std::uint8_t>(-1) == std::nullopt);
  static_assert(checked_cast<std::int64_t>(std::uint64_t{1} << 62U) == std::int64_t{1} << 62U);
  static_assert(checked_product(kExtents) == 24U);
  SUCCEED();
}

}  // namespace
}  // namespace zelk_compiler
