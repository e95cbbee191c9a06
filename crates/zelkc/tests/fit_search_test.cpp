// Bisection for the largest size that fits.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "commands/fit_search.hpp"

namespace zelkc {
namespace {

TEST(FitSearch, FindsTheLargestFittingSizeBelowTheLimit) {
  struct Case {
    std::uint64_t limit;
    std::uint64_t largest_fitting;  // 0: nothing fits
    std::optional<std::uint64_t> expected;
  };
  const std::vector<Case> cases = {
      {2240, 2112, 2112},
      {2240, 2239, 2239},
      {2240, 1, 1},
      {2240, 0, std::nullopt},
      {2, 1, 1},
      {1, 1, std::nullopt},
      {0, 5, std::nullopt},
      {std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 40U, std::uint64_t{1} << 40U},
  };
  for (const Case& c : cases) {
    int calls = 0;
    const auto found = largest_fitting(c.limit, [&](std::uint64_t n) {
      EXPECT_GE(n, 1U);
      EXPECT_LT(n, c.limit);
      ++calls;
      return n <= c.largest_fitting;
    });
    EXPECT_EQ(found, c.expected) << c.limit << " " << c.largest_fitting;
    EXPECT_LE(calls, 66);
  }
}

}  // namespace
}  // namespace zelkc
