// Buffer placement: worked examples of each strategy, the lower bound,
// preconditions and printed forms.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "support/buffer_problems.hpp"
#include "support/placement_checker.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/placement.hpp"

namespace zelk_compiler {
namespace {

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

Placement place(const std::vector<Buffer>& buffers, PlacementOptions options) {
  Placement placement = place_buffers(buffers, options);
  const auto problems = test_support::check_placement(buffers, options, placement);
  EXPECT_TRUE(problems.empty()) << debug_string(problems) << "\n" << placement;
  return placement;
}

Placement place(const std::vector<Buffer>& buffers, PlacementStrategy strategy,
                std::uint64_t capacity = kNoLimit) {
  PlacementOptions options;
  options.strategy = strategy;
  options.capacity = capacity;
  return place(buffers, options);
}

struct FirstFitCase {
  const char* name;
  std::vector<Buffer> buffers;
  std::vector<std::uint64_t> offsets;
  std::uint64_t bound;
};

TEST(FirstFitPlacement, PlacesEachBufferAtTheLowestFreeOffsetInListOrder) {
  const FirstFitCase cases[] = {
      {"nothing to place", {}, {}, 0},
      {"lifetimes that overlap stack", {{0, 2, 4, 1}, {1, 3, 4, 1}}, {0, 4}, 8},
      {"lifetimes that only touch share", {{0, 2, 4, 1}, {2, 4, 4, 1}}, {0, 0}, 4},
      {"the second rounds up to its own alignment", {{0, 2, 5, 1}, {0, 2, 4, 8}}, {0, 8}, 9},
      {"a gap left by a dead buffer is reused",
       {{0, 2, 1024, 16}, {0, 10, 1024, 16}, {2, 5, 1024, 16}},
       {0, 1024, 0},
       2048},
      {"a gap too small is passed over",
       {{0, 9, 8, 1}, {0, 2, 4, 1}, {0, 9, 8, 1}, {3, 9, 6, 1}},
       {0, 8, 12, 20},
       22},
      {"empty buffers and lifetimes occupy nothing",
       {{0, 4, 8, 1}, {1, 3, 0, 4}, {2, 2, 6, 1}, {1, 2, 2, 1}},
       {0, 0, 0, 8},
       10},
  };
  for (const FirstFitCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Placement placement = place(c.buffers, PlacementStrategy::FirstFit);
    EXPECT_EQ(placement.offsets, c.offsets);
    EXPECT_EQ(placement.lower_bound, c.bound);
    EXPECT_EQ(placement.method, "first fit in list order");
  }
}

// In list order the small buffer lifts the middle one off the floor, and the
// large one, which meets only the middle one, cannot fit under it.
const std::vector<Buffer> kListOrderLoses = {
    {5, 6, 1, 1},
    {3, 6, 3, 1},
    {2, 5, 4, 1},
};

TEST(BestPlacement, BeatsListOrderAndReachesTheBound) {
  const Placement first = place(kListOrderLoses, PlacementStrategy::FirstFit);
  EXPECT_EQ(first.offsets, (std::vector<std::uint64_t>{0, 1, 4}));
  EXPECT_EQ(first.peak, 8U);
  EXPECT_FALSE(first.optimal);
  const Placement best = place(kListOrderLoses, PlacementStrategy::Best);
  EXPECT_EQ(best.peak, best.lower_bound);
  EXPECT_EQ(best.peak, 7U);
  EXPECT_TRUE(best.optimal);
  EXPECT_EQ(best.method, "largest first, first fit");
}

TEST(BestPlacement, FitsAndOptimalFollowThePeak) {
  const std::vector<Buffer> buffers = {{0, 3, 10, 1}, {1, 4, 10, 1}, {2, 5, 10, 1}};
  const Placement roomy = place(buffers, PlacementStrategy::Best, 30);
  EXPECT_TRUE(roomy.fits);
  EXPECT_TRUE(roomy.optimal);
  EXPECT_EQ(roomy.peak, 30U);
  const Placement tight = place(buffers, PlacementStrategy::Best, 29);
  EXPECT_FALSE(tight.fits);
  EXPECT_EQ(tight.offsets, roomy.offsets) << "a capacity below the bound changes nothing";
}

// Every ordering peaks at 11 here, one over the bound.
const std::vector<Buffer> kOrderingsFallShort = {
    {1, 4, 4, 1}, {4, 5, 2, 1}, {2, 5, 2, 1}, {0, 1, 4, 1}, {4, 6, 6, 1}, {1, 3, 3, 1},
};

PlacementOptions best_within(std::uint64_t steps,
                             std::optional<std::chrono::steady_clock::time_point> deadline = {},
                             std::uint64_t capacity = kNoLimit) {
  PlacementOptions options;
  options.capacity = capacity;
  options.search_steps = steps;
  options.deadline = deadline;
  return options;
}

// With a deadline, nothing can fit under the bound, so the orderings and the
// search, which cost quadratic time and more, are skipped: the buffers are
// stacked. Without one, the lowest-peak plan stands (see above).
TEST(BestPlacement, ABoundOverTheCapacityStacksTheBuffersAtOnceWithinADeadline) {
  const auto later = std::chrono::steady_clock::now() + std::chrono::hours(1);
  const std::vector<Buffer> crowded = test_support::crowded_buffers(3'000, 10'000, 4);
  const Placement placement = place(crowded, best_within(kNoLimit, later, 4096));
  EXPECT_FALSE(placement.fits);
  EXPECT_GT(placement.lower_bound, 4096U);
  EXPECT_EQ(placement.method, "stacked in list order: the bound is over the capacity");

  const std::vector<Buffer> small = {{0, 2, 3, 1}, {5, 6, 0, 1}, {1, 3, 4, 4}, {2, 2, 9, 1}};
  const Placement stacked = place(small, best_within(kNoLimit, later, 8));
  EXPECT_EQ(place(small, PlacementStrategy::Best, 8).offsets,
            place(small, PlacementStrategy::Best).offsets)
      << "without a deadline the capacity changes nothing";
  EXPECT_EQ(stacked.offsets, (std::vector<std::uint64_t>{0, 0, 4, 0}))
      << "only the buffers that occupy bytes stack, each aligned";
  EXPECT_EQ(stacked.peak, 9U);
  EXPECT_TRUE(stacked.optimal) << "the largest buffer sets the bound";
}

TEST(ExactSearch, ClosesTheGapTheOrderingsLeave) {
  const Placement orderings = place(kOrderingsFallShort, best_within(0));
  EXPECT_EQ(orderings.peak, 11U);
  EXPECT_EQ(orderings.lower_bound, 10U);
  EXPECT_FALSE(orderings.optimal);
  EXPECT_NE(orderings.method, "exact search");

  const Placement searched = place(kOrderingsFallShort, PlacementOptions{});
  EXPECT_EQ(searched.peak, 10U);
  EXPECT_TRUE(searched.optimal);
  EXPECT_EQ(searched.method, "exact search");

  const Placement fitted = place(kOrderingsFallShort, best_within(1'000'000, {}, 10));
  EXPECT_TRUE(fitted.fits);
}

TEST(ExactSearch, APassedDeadlineLeavesTheOrderings) {
  const auto passed = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  EXPECT_EQ(place(kOrderingsFallShort, best_within(1'000'000, passed)),
            place(kOrderingsFallShort, best_within(0)));
  const Placement one_step = place(kOrderingsFallShort, best_within(1));
  EXPECT_EQ(one_step, place(kOrderingsFallShort, best_within(1))) << "steps are deterministic";
}

// A long list with the deadline passed: list order places a few hundred
// buffers before it reads the clock, stacks the rest above them, and no
// other ordering or search runs. First fit itself ignores the deadline.
TEST(ExactSearch, APassedDeadlineCutsLongOrderingsShort) {
  const std::vector<Buffer> crowded = test_support::crowded_buffers(3'000, 10'000, 4);
  const auto passed = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  const Placement late = place(crowded, best_within(1'000'000, passed));
  EXPECT_EQ(late.method, "first fit in list order, the rest stacked at the deadline");
  EXPECT_FALSE(late.optimal);

  PlacementOptions first_fit = best_within(0, passed);
  first_fit.strategy = PlacementStrategy::FirstFit;
  const Placement literal = place(crowded, first_fit);
  EXPECT_EQ(literal.method, "first fit in list order");
  EXPECT_TRUE(std::equal(late.offsets.begin(), late.offsets.begin() + 100, literal.offsets.begin()))
      << "the buffers placed before the deadline is read are first fit";
}

// Alignment keeps these three apart: whichever order, some padding is left,
// and the search proves 15 the least.
TEST(ExactSearch, ProvesAnOptimumAboveTheBound) {
  const Placement placement = place({{2, 3, 5, 4}, {2, 3, 8, 1}, {2, 3, 1, 3}}, PlacementOptions{});
  EXPECT_EQ(placement.lower_bound, 14U);
  EXPECT_EQ(placement.peak, 15U);
  EXPECT_TRUE(placement.optimal);
}

// Buffers live across the whole list meet every other and may be stacked at
// the bottom before the search, but only where that loses nothing; a search
// that stacked them too eagerly would miss each optimum here, or misalign.
TEST(ExactSearch, StacksBuffersLiveThroughoutOnlyWhereThatKeepsTheOptimum) {
  struct Case {
    const char* name;
    std::vector<Buffer> buffers;
    std::uint64_t optimum;
  };
  const Case cases[] = {
      {"a stacked buffer goes under an alike one earlier in priority",
       {{0, 1, 7, 1}, {0, 1, 3, 1}, {0, 1, 6, 3}},
       16},
      {"a size that is no multiple of another's alignment", {{2, 3, 5, 1}, {2, 3, 1, 2}}, 6},
      {"a size that is no multiple of its own alignment", {{5, 6, 1, 1}, {5, 6, 1, 3}}, 2},
      {"a floor that is no multiple of the buffer's alignment",
       {{0, 2, 7, 3}, {1, 2, 1, 1}, {0, 1, 2, 1}, {0, 1, 8, 2}},
       18},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Placement placement = place(c.buffers, PlacementOptions{});
    EXPECT_EQ(placement.peak, c.optimum);
    EXPECT_TRUE(placement.optimal);
  }
}

TEST(PlacementBound, IsTheMostBytesLiveAtOnceOrTheLargestBuffer) {
  const Placement live = place({{0, 5, 3, 1}, {2, 7, 4, 1}, {5, 9, 6, 1}}, PlacementStrategy::Best);
  EXPECT_EQ(live.lower_bound, 10U) << "[5, 7): 4 + 6; the first ends where the third starts";
  const Placement dead = place({{0, 1, 3, 1}, {4, 4, 9, 1}}, PlacementStrategy::Best);
  EXPECT_EQ(dead.lower_bound, 9U) << "a buffer never live still ends at offset + size";
}

TEST(PlacementPreconditions, BrokenListsThrowAndNothingIsPlaced) {
  const std::uint64_t huge = kNoLimit / 2 + 1;
  const std::vector<std::vector<Buffer>> broken = {
      {{5, 4, 1, 1}},
      {{0, 1, 1, 0}},
      {{0, 1, huge, 1}, {2, 3, huge, 1}},
      {{0, 1, kNoLimit, 2}},
  };
  for (const auto& buffers : broken) {
    for (const auto strategy : {PlacementStrategy::FirstFit, PlacementStrategy::Best}) {
      PlacementOptions options;
      options.strategy = strategy;
      EXPECT_THROW((void)place_buffers(buffers, options), std::invalid_argument)
          << debug_string(buffers);
    }
  }
}

TEST(PlacementPrinting, RecordsPrintTheirFieldsInOrder) {
  EXPECT_EQ(debug_string(Buffer{1, 5, 64, 16}),
            "Buffer { lower: 1, upper: 5, size: 64, alignment: 16 }");
  EXPECT_EQ(debug_string(PlacementOptions{.strategy = PlacementStrategy::FirstFit,
                                          .capacity = 4096,
                                          .search_steps = 0,
                                          .deadline = {}}),
            "PlacementOptions { strategy: FirstFit, capacity: 4096, search_steps: 0, "
            "deadline: None }");
  PlacementOptions timed;
  timed.deadline = std::chrono::steady_clock::time_point{std::chrono::nanoseconds(1500)};
  EXPECT_NE(debug_string(timed).find("strategy: Best"), std::string::npos);
  EXPECT_NE(debug_string(timed).find("deadline: Some(1500 ns) }"), std::string::npos);
  EXPECT_EQ(debug_string(place({{0, 2, 4, 1}, {1, 3, 4, 1}}, PlacementStrategy::FirstFit)),
            "Placement { offsets: [0, 4], peak: 8, lower_bound: 8, fits: true, optimal: true, "
            "method: \"first fit in list order\" }");
}

}  // namespace
}  // namespace zelk_compiler
