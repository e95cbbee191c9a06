// The published buffer problems that the search fits in a few thousand
// steps: each within its capacity, accepted by the independent checker.
#include <gtest/gtest.h>

#include "support/buffer_problems.hpp"
#include "support/placement_checker.hpp"
#include "zelk_compiler/debug.hpp"

namespace zelk_compiler {
namespace {

using test_support::kBufferProblemCapacity;

TEST(BufferProblems, TheQuickOnesFitTheirCapacity) {
  for (const char* name : {"B", "C", "G"}) {
    SCOPED_TRACE(name);
    const std::vector<Buffer> buffers = test_support::read_buffer_problem(name);
    PlacementOptions options;
    options.capacity = kBufferProblemCapacity;
    options.search_steps = 100'000;
    const Placement placement = place_buffers(buffers, options);
    EXPECT_TRUE(placement.fits) << "peak " << placement.peak;
    EXPECT_EQ(placement.method, "exact search");
    const auto problems = test_support::check_placement(buffers, options, placement);
    EXPECT_TRUE(problems.empty()) << debug_string(problems);
  }
}

// Where the budget runs out before a fit, the search still hands back its
// lowest peak: a valid placement below the orderings', claimed neither to
// fit nor to be optimal, and the same on every run.
TEST(BufferProblems, ASearchThatRunsOutLowersThePeakAndRepeatsItself) {
  const std::vector<Buffer> buffers = test_support::read_buffer_problem("I");
  PlacementOptions options;
  options.capacity = kBufferProblemCapacity;
  options.search_steps = 0;
  const Placement orderings = place_buffers(buffers, options);
  options.search_steps = 5'000;
  const Placement placement = place_buffers(buffers, options);
  EXPECT_FALSE(placement.fits);
  EXPECT_FALSE(placement.optimal);
  EXPECT_LT(placement.peak, orderings.peak);
  EXPECT_EQ(placement.method, "exact search");
  const auto problems = test_support::check_placement(buffers, options, placement);
  EXPECT_TRUE(problems.empty()) << debug_string(problems);
  EXPECT_EQ(place_buffers(buffers, options), placement);
}

// On F these budgets end in runs that split the buffers into independent
// parts and split those parts again; every placement handed back, fitting or
// not, must pass the checker.
TEST(BufferProblems, NestedSplitsKeepEveryPlacementValid) {
  const std::vector<Buffer> buffers = test_support::read_buffer_problem("F");
  for (const std::uint64_t steps : {20'000U, 64'000U}) {
    SCOPED_TRACE(steps);
    PlacementOptions options;
    options.capacity = kBufferProblemCapacity;
    options.search_steps = steps;
    const Placement placement = place_buffers(buffers, options);
    const auto problems = test_support::check_placement(buffers, options, placement);
    EXPECT_TRUE(problems.empty()) << debug_string(problems);
  }
}

TEST(BufferProblems, NoOrderingFitsAny) {
  for (const std::string_view name : test_support::buffer_problem_names()) {
    const std::vector<Buffer> buffers = test_support::read_buffer_problem(name);
    PlacementOptions options;
    options.capacity = kBufferProblemCapacity;
    options.search_steps = 0;
    const Placement placement = place_buffers(buffers, options);
    EXPECT_FALSE(placement.fits) << name;
    EXPECT_GT(placement.peak, placement.lower_bound * 6 / 5) << name;
  }
}

}  // namespace
}  // namespace zelk_compiler
