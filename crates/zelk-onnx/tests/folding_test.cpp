// The arithmetic that folds shape computations at import: NumPy broadcasting,
// data movement in row-major order, and every refusal instead of a wrapped
// integer, an out-of-range read or an unbounded allocation.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "fold.hpp"

namespace zelk_onnx::detail {
namespace {

HostTensor ints(Shape shape, std::vector<std::int64_t> values) {
  return HostTensor::of_integers(ElementType::Int64, std::move(shape), std::move(values));
}

// 0, 1, 2, ... in `shape`.
HostTensor ramp(Shape shape) {
  std::vector<std::int64_t> values(*element_count(shape));
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = static_cast<std::int64_t>(i);
  }
  return ints(std::move(shape), std::move(values));
}

void expect_error(const zelk_compiler::Result<HostTensor>& result, const std::string& part) {
  ASSERT_FALSE(result);
  EXPECT_NE(result.error().message.find(part), std::string::npos) << result.error().message;
}

constexpr std::uint64_t kPlenty = 1 << 20;

TEST(Folding, ArithmeticBroadcastsLikeNumPy) {
  FoldBudget budget(kPlenty);
  const auto sum = fold_arithmetic(Arithmetic::Add, ramp({2, 1}), ints({3}, {10, 20, 30}), budget);
  ASSERT_TRUE(sum);
  EXPECT_EQ(sum->shape, (Shape{2, 3}));
  EXPECT_EQ(sum->integers, (std::vector<std::int64_t>{10, 20, 30, 11, 21, 31}));
  const auto equal = fold_arithmetic(Arithmetic::Equal, ramp({3}), ints({}, {1}), budget);
  ASSERT_TRUE(equal);
  EXPECT_EQ(equal->type, ElementType::Bool);
  EXPECT_EQ(equal->integers, (std::vector<std::int64_t>{0, 1, 0}));
  expect_error(fold_arithmetic(Arithmetic::Add, ramp({2}), ramp({3}), budget),
               "shapes [2] and [3] do not broadcast");
}

TEST(Folding, IntegerArithmeticRefusesWhatWouldWrapOrTrap) {
  const std::int64_t most = std::numeric_limits<std::int64_t>::max();
  const std::int64_t least = std::numeric_limits<std::int64_t>::min();
  const struct {
    Arithmetic op;
    std::int64_t a, b;
    std::string message;
  } cases[] = {
      {Arithmetic::Add, most, 1, "integer overflow in Add"},
      {Arithmetic::Sub, least, 1, "integer overflow in Sub"},
      {Arithmetic::Mul, most, 2, "integer overflow in Mul"},
      {Arithmetic::Div, 7, 0, "integer division by zero"},
      {Arithmetic::Div, least, -1, "integer overflow in Div"},
      {Arithmetic::Pow, 2, 3, "Pow of integers is not supported"},
  };
  for (const auto& c : cases) {
    FoldBudget budget(kPlenty);
    expect_error(fold_arithmetic(c.op, ints({}, {c.a}), ints({}, {c.b}), budget), c.message);
  }
  FoldBudget budget(kPlenty);
  const auto quotient = fold_arithmetic(Arithmetic::Div, ints({}, {-7}), ints({}, {2}), budget);
  ASSERT_TRUE(quotient);
  EXPECT_EQ(quotient->integers, (std::vector<std::int64_t>{-3}));  // toward zero
  expect_error(
      fold_arithmetic(Arithmetic::Add, ramp({1}), HostTensor::of_floats({1}, {1.0F}), budget),
      "operands of different types INT64 and FLOAT");
}

TEST(Folding, DataMovementReadsInRowMajorOrder) {
  FoldBudget budget(kPlenty);
  const HostTensor x = ramp({2, 3});
  const auto transposed = fold_transpose(x, std::vector<std::uint64_t>{1, 0}, budget);
  ASSERT_TRUE(transposed);
  EXPECT_EQ(transposed->integers, (std::vector<std::int64_t>{0, 3, 1, 4, 2, 5}));
  const auto sliced = fold_slice(x, 1, 1, 3, budget);
  ASSERT_TRUE(sliced);
  EXPECT_EQ(sliced->integers, (std::vector<std::int64_t>{1, 2, 4, 5}));
  const HostTensor* parts[] = {&x, &*sliced};
  const auto joined = fold_concat(parts, 1, budget);
  ASSERT_TRUE(joined);
  EXPECT_EQ(joined->shape, (Shape{2, 5}));
  EXPECT_EQ(joined->integers, (std::vector<std::int64_t>{0, 1, 2, 1, 2, 3, 4, 5, 4, 5}));
  const auto gathered = fold_gather(x, ints({2}, {-1, 0}), 1, budget);
  ASSERT_TRUE(gathered);
  EXPECT_EQ(gathered->shape, (Shape{2, 2}));
  EXPECT_EQ(gathered->integers, (std::vector<std::int64_t>{2, 0, 5, 3}));
  const auto expanded =
      fold_expand(ints({3, 1}, {1, 2, 3}), std::vector<std::uint64_t>{2, 1, 2}, budget);
  ASSERT_TRUE(expanded);
  EXPECT_EQ(expanded->shape, (Shape{2, 3, 2}));
  EXPECT_EQ(expanded->integers, (std::vector<std::int64_t>{1, 1, 2, 2, 3, 3, 1, 1, 2, 2, 3, 3}));
}

// An empty tensor's leading extents may multiply beyond 64 bits; folding it
// must neither read nor loop over blocks that hold nothing.
TEST(Folding, EmptyValuesWithHugeLeadingExtentsFoldToEmptyValues) {
  FoldBudget budget(kPlenty);
  const std::uint64_t huge = 1ULL << 40;
  const HostTensor z = ints({huge, huge, 0}, {});
  const HostTensor* parts[] = {&z, &z};
  const auto joined = fold_concat(parts, 2, budget);
  ASSERT_TRUE(joined);
  EXPECT_EQ(joined->shape, (Shape{huge, huge, 0}));
  EXPECT_TRUE(joined->integers.empty());
  const auto gathered = fold_gather(ints({huge, huge, 3, 0}, {}), ints({1}, {2}), 2, budget);
  ASSERT_TRUE(gathered);
  EXPECT_EQ(gathered->shape, (Shape{huge, huge, 1, 0}));
  const auto sliced = fold_slice(ints({huge, huge, 3, 0}, {}), 2, 1, 3, budget);
  ASSERT_TRUE(sliced);
  EXPECT_EQ(sliced->shape, (Shape{huge, huge, 2, 0}));
  const auto transposed = fold_transpose(z, std::vector<std::uint64_t>{2, 0, 1}, budget);
  ASSERT_TRUE(transposed);
  EXPECT_EQ(transposed->shape, (Shape{0, huge, huge}));
  // Indices are still checked wherever a block before the axis exists.
  expect_error(fold_gather(ints({2, 3, 0}, {}), ints({}, {5}), 1, budget),
               "Gather index 5 is out of range");
}

// Slices of constants may be empty (a Split part of size 0), which graph
// tensors never are.
TEST(Folding, EmptySlicesAndBroadcastsOfScalars) {
  FoldBudget budget(kPlenty);
  const auto nothing = fold_slice(ramp({2, 3}), 1, 2, 2, budget);
  ASSERT_TRUE(nothing);
  EXPECT_EQ(nothing->shape, (Shape{2, 0}));
  EXPECT_TRUE(nothing->integers.empty());
  const auto where = fold_where(HostTensor::of_integers(ElementType::Bool, {2, 1}, {1, 0}),
                                ints({}, {7}), ramp({3}), budget);
  ASSERT_TRUE(where);
  EXPECT_EQ(where->shape, (Shape{2, 3}));
  EXPECT_EQ(where->integers, (std::vector<std::int64_t>{7, 7, 7, 0, 1, 2}));
  const HostTensor floats = HostTensor::of_floats({2}, {1.5F, -2.0F});
  const auto scaled =
      fold_arithmetic(Arithmetic::Mul, floats, HostTensor::of_floats({}, {2.0F}), budget);
  ASSERT_TRUE(scaled);
  EXPECT_EQ(scaled->floats, (std::vector<float>{3.0F, -4.0F}));
  const auto scalar = fold_transpose(ints({}, {4}), std::vector<std::uint64_t>{}, budget);
  ASSERT_TRUE(scalar);
  EXPECT_EQ(scalar->integers, (std::vector<std::int64_t>{4}));
}

TEST(Folding, OutOfRangeArgumentsAreRefused) {
  FoldBudget budget(kPlenty);
  const HostTensor x = ramp({2, 3});
  expect_error(fold_gather(x, ints({}, {3}), 1, budget), "Gather index 3 is out of range");
  expect_error(fold_gather(x, ints({}, {-4}), 1, budget), "Gather index -4 is out of range");
  expect_error(fold_slice(x, 1, 2, 4, budget), "out of range for [2, 3]");
  expect_error(fold_transpose(x, std::vector<std::uint64_t>{0, 0}, budget), "invalid permutation");
  const HostTensor* parts[] = {&x, &x};
  expect_error(fold_concat(parts, 2, budget), "axis 2 is out of range for rank 2");
  const HostTensor row = ramp({3});
  const HostTensor* mixed[] = {&x, &row};
  expect_error(fold_concat(mixed, 0, budget), "Concat of [2, 3] and [3]");
  const HostTensor wide = ints({std::numeric_limits<std::uint64_t>::max(), 0}, {});
  const HostTensor* overflowing[] = {&wide, &wide};
  expect_error(fold_concat(overflowing, 0, budget), "Concat extent beyond 64 bits");
  const HostTensor floats = HostTensor::of_floats({3}, {1, 2, 3});
  const HostTensor* misfit_then_type[] = {&x, &row, &floats};
  expect_error(fold_concat(misfit_then_type, 0, budget), "Concat of [2, 3] and [3]");
  EXPECT_FALSE(normalize_axis(2, 2));
  EXPECT_EQ(normalize_axis(-2, 2), 0U);
}

TEST(Folding, RangeCountsAndCastsCheckTheirLimits) {
  FoldBudget budget(kPlenty);
  const auto down = fold_range(ints({}, {5}), ints({}, {0}), ints({}, {-2}), budget);
  ASSERT_TRUE(down);
  EXPECT_EQ(down->integers, (std::vector<std::int64_t>{5, 3, 1}));
  const auto none = fold_range(ints({}, {5}), ints({}, {0}), ints({}, {1}), budget);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->integers.empty());
  expect_error(fold_range(ints({}, {0}), ints({}, {5}), ints({}, {0}), budget), "delta 0");
  expect_error(fold_cast(HostTensor::of_floats({1}, {3e10F}), ElementType::Int32, budget),
               "out of range");
  expect_error(fold_cast(HostTensor::of_floats({1}, {std::numeric_limits<float>::quiet_NaN()}),
                         ElementType::Int64, budget),
               "out of range");
  const auto truncated =
      fold_cast(HostTensor::of_floats({2}, {-2.7F, 2.7F}), ElementType::Int64, budget);
  ASSERT_TRUE(truncated);
  EXPECT_EQ(truncated->integers, (std::vector<std::int64_t>{-2, 2}));
}

TEST(Folding, TheBudgetBoundsWhatFoldingAllocates) {
  FoldBudget budget(48);
  EXPECT_TRUE(fold_fill(ints({1}, {7}), std::vector<std::uint64_t>{2, 3}, budget));
  expect_error(fold_fill(ints({1}, {7}), std::vector<std::uint64_t>{2, 3}, budget),
               "folding needs 48 bytes for the INT64 result of shape [2, 3]; 0 are left of the "
               "importer's folding budget");
  FoldBudget huge(kPlenty);
  expect_error(fold_fill(ints({1}, {7}), std::vector<std::uint64_t>{1ULL << 40, 1ULL << 40}, huge),
               "has more elements than 64 bits count");
  expect_error(fold_range(ints({}, {0}), ints({}, {std::numeric_limits<std::int64_t>::max()}),
                          ints({}, {1}), huge),
               "folding needs more than 2^64 bytes for the Range of 4611686018427387904 elements");
}

// Each fold takes exactly the bytes of what it allocates: its result at the
// size its type is held at, and the lists beside it; operands are read in
// place, not spread into copies of the result's size.
TEST(Folding, EachFoldTakesTheBytesItAllocates) {
  const HostTensor flags = HostTensor::of_integers(ElementType::Bool, {4, 1}, {1, 0, 1, 0});
  const HostTensor floats = HostTensor::of_floats({1, 5}, {1, 2, 3, 4, 5});
  const HostTensor x = ramp({4, 5});
  const struct {
    std::string name;
    std::function<zelk_compiler::Result<HostTensor>(FoldBudget&)> fold;
    std::uint64_t bytes;
  } cases[] = {
      {"broadcast add",
       [&](FoldBudget& b) { return fold_arithmetic(Arithmetic::Add, x, ramp({5}), b); }, 160},
      {"float equal gives booleans",
       [&](FoldBudget& b) { return fold_arithmetic(Arithmetic::Equal, floats, floats, b); }, 40},
      {"float scale",
       [&](FoldBudget& b) { return fold_arithmetic(Arithmetic::Mul, floats, floats, b); }, 20},
      {"where", [&](FoldBudget& b) { return fold_where(flags, ramp({5}), ints({}, {9}), b); }, 160},
      {"cast narrows", [&](FoldBudget& b) { return fold_cast(x, ElementType::Float, b); }, 80},
      {"cast of floats", [&](FoldBudget& b) { return fold_cast(floats, ElementType::Int64, b); },
       40},
      {"gather with its rows",
       [&](FoldBudget& b) {
         return fold_gather(x, ints({3}, {0, 0, 1}), 0, b);
       },
       120 + 24},
      {"expand",
       [&](FoldBudget& b) {
         return fold_expand(floats, std::vector<std::uint64_t>{3, 1}, b);
       },
       60},
      {"transpose",
       [&](FoldBudget& b) {
         return fold_transpose(x, std::vector<std::uint64_t>{1, 0}, b);
       },
       160},
      {"copy", [&](FoldBudget& b) { return fold_copy(floats, {5}, b); }, 20},
      {"range",
       [&](FoldBudget& b) { return fold_range(ints({}, {0}), ints({}, {6}), ints({}, {1}), b); },
       48},
  };
  for (const auto& c : cases) {
    FoldBudget exact(c.bytes);
    EXPECT_TRUE(c.fold(exact)) << c.name;
    EXPECT_EQ(exact.left(), 0U) << c.name;
    FoldBudget short_of_it(c.bytes - 1);
    EXPECT_FALSE(c.fold(short_of_it)) << c.name;
    EXPECT_EQ(short_of_it.refusals(), 1U) << c.name;
  }
}

// Casts to the 16-bit types round once, to nearest even: beyond the largest
// finite value to infinity, NaN to NaN, the sign of zero kept. Each case
// sits on a boundary that a rounding off by one place would cross.
TEST(Folding, CastsToSixteenBitFloatsRoundOnceToNearestEven) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    std::string name;
    HostTensor from;
    ElementType to;
    std::vector<float> expected;
  } cases[] = {
      {"FLOAT to FLOAT16",
       HostTensor::of_floats({9}, {1.0F + 0x1p-11F, 1.0F + 0x3p-11F, 65519.0F, 65520.0F, -70000.0F,
                                   0x1p-25F, 0x3p-26F, -0.0F, nan}),
       ElementType::Float16,
       {1.0F, 1.0F + 0x1p-9F, 65504.0F, inf, -inf, 0.0F, 0x1p-24F, -0.0F, nan}},
      {"FLOAT to BFLOAT16",
       HostTensor::of_floats({6},
                             {1.0F + 0x1p-8F, 1.0F + 0x3p-8F, 0x1.FFp127F, 0x1p-133F, -0.0F, -nan}),
       ElementType::BFloat16,
       {1.0F, 1.0F + 0x1p-6F, inf, 0x1p-133F, -0.0F, -nan}},
      // Through float, 2^30 + 2^22 + 1 would first become the tie 2^30 + 2^22
      // and then round down.
      {"INT64 to BFLOAT16",
       ints({3}, {(1 << 30) + (1 << 22) + 1, -((1 << 30) + (1 << 22)), 257}),
       ElementType::BFloat16,
       {0x1.02p30F, -0x1p30F, 256.0F}},
      {"INT64 to FLOAT16",
       ints({4}, {2049, 2051, 65519, -65520}),
       ElementType::Float16,
       {2048.0F, 2052.0F, 65504.0F, -inf}},
      {"the most negative INT64 to FLOAT",
       ints({1}, {std::numeric_limits<std::int64_t>::min()}),
       ElementType::Float,
       {-0x1p63F}},
      {"FLOAT16 to FLOAT",
       HostTensor::of_floats({2}, {0x1p-24F, -inf}, ElementType::Float16),
       ElementType::Float,
       {0x1p-24F, -inf}},
      // The smallest FLOAT16 subnormal is far below BFLOAT16's last place at 1.
      {"FLOAT16 to BFLOAT16",
       HostTensor::of_floats({2}, {2049.0F, 0x1p-24F}, ElementType::Float16),
       ElementType::BFloat16,
       {2048.0F, 0x1p-24F}},
  };
  for (const auto& c : cases) {
    FoldBudget budget(kPlenty);
    const auto cast = fold_cast(c.from, c.to, budget);
    ASSERT_TRUE(cast) << c.name << ": " << cast.error().message;
    EXPECT_EQ(cast->type, c.to) << c.name;
    EXPECT_EQ(cast->shape, c.from.shape) << c.name;
    ASSERT_EQ(cast->floats.size(), c.expected.size()) << c.name;
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      const float got = cast->floats[i];
      const float want = c.expected[i];
      if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got) && std::signbit(got) == std::signbit(want)) << c.name << i;
      } else {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(want))
            << c.name << " at " << i << ": " << got << " for " << want;
      }
    }
  }
  FoldBudget budget(kPlenty);
  const auto truncated =
      fold_cast(HostTensor::of_floats({2}, {-2.5F, 65504.0F}, ElementType::Float16),
                ElementType::Int32, budget);
  ASSERT_TRUE(truncated);
  EXPECT_EQ(truncated->integers, (std::vector<std::int64_t>{-2, 65504}));
}

// Arithmetic on 16-bit values is computed in float and rounded to their type
// once, so a folded value is always one the graph's weights can hold.
TEST(Folding, SixteenBitArithmeticRoundsToItsType) {
  FoldBudget budget(kPlenty);
  const auto half = [](std::vector<float> values) {
    const std::uint64_t count = values.size();
    return HostTensor::of_floats({count}, std::move(values), ElementType::Float16);
  };
  const auto sum = fold_arithmetic(Arithmetic::Add, half({1.0F, 1.0F, 65504.0F}),
                                   half({0x1p-11F, 0x3p-11F, 16.0F}), budget);
  ASSERT_TRUE(sum);
  EXPECT_EQ(sum->type, ElementType::Float16);
  EXPECT_EQ(sum->floats,
            (std::vector<float>{1.0F, 1.0F + 0x1p-9F, std::numeric_limits<float>::infinity()}));
  const auto root = fold_sqrt(half({2.0F}), budget);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->floats, (std::vector<float>{1.4140625F}));
  // 3 x 0x1.FEp-2 = 0x1.7E8p0 has 9 fraction bits; BFLOAT16 keeps 7.
  const auto steps =
      fold_range(HostTensor::of_floats({}, {0.0F}, ElementType::BFloat16),
                 HostTensor::of_floats({}, {2.0F}, ElementType::BFloat16),
                 HostTensor::of_floats({}, {0x1.FEp-2F}, ElementType::BFloat16), budget);
  ASSERT_TRUE(steps);
  EXPECT_EQ(steps->type, ElementType::BFloat16);
  EXPECT_EQ(steps->floats,
            (std::vector<float>{0.0F, 0x1.FEp-2F, 0x1.FEp-1F, 0x1.7Ep0F, 0x1.FEp0F}));
  expect_error(
      fold_arithmetic(Arithmetic::Add, half({1.0F}), HostTensor::of_floats({1}, {1.0F}), budget),
      "operands of different types FLOAT16 and FLOAT");
}

TEST(Folding, IntegerRangesAreCountedExactly) {
  const std::int64_t most = std::numeric_limits<std::int64_t>::max();
  const std::int64_t least = std::numeric_limits<std::int64_t>::min();
  const std::int64_t big = (std::int64_t{1} << 53) + 1;
  const struct {
    std::int64_t start, limit, delta;
    std::vector<std::int64_t> values;
  } cases[] = {
      // A count in double would give 4 here.
      {big, big + 2, 1, {big, big + 1}},
      {5, -5, -3, {5, 2, -1, -4}},
      {least, most, most, {least, -1, most - 1}},
      {most - 1, most, 1, {most - 1}},
      {3, 3, 1, {}},
      {3, 1, 1, {}},
  };
  FoldBudget budget(kPlenty);
  for (const auto& c : cases) {
    const auto range =
        fold_range(ints({}, {c.start}), ints({}, {c.limit}), ints({}, {c.delta}), budget);
    ASSERT_TRUE(range) << c.start << " " << c.limit << " " << c.delta;
    EXPECT_EQ(range->integers, c.values) << c.start << " " << c.limit << " " << c.delta;
    EXPECT_EQ(range->shape, (Shape{c.values.size()}));
  }
  expect_error(fold_range(ints({}, {0}), ints({}, {4}), ints({}, {0}), budget), "delta 0");
}

}  // namespace
}  // namespace zelk_onnx::detail
