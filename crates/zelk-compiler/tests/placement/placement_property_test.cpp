// Generated buffer lists, small enough for a brute-force oracle: every
// strategy's placement passes the independent checker, first fit is the
// literal rule, and `optimal` is never claimed for a peak above the optimum.
// A failing list is shrunk before it is reported.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "support/placement_checker.hpp"
#include "support/random_graphs.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/placement.hpp"

namespace zelk_compiler {
namespace {

using test_support::Random;
using Buffers = std::vector<Buffer>;
// What is wrong with a list, or an empty string when nothing is.
using Property = std::function<std::string(const Buffers&)>;

// Up to `max_count` buffers over a short horizon, so that lifetimes meet
// often; now and then of size 0, with an empty lifetime or with an alignment
// that does not divide the others' sizes.
Buffers random_buffers(Random& random, std::uint64_t max_count) {
  static constexpr std::uint64_t kAlignments[] = {1, 1, 1, 1, 2, 3, 4};
  Buffers buffers(random.between(0, max_count));
  const std::uint64_t horizon = random.between(1, 8);
  for (Buffer& b : buffers) {
    b.lower = random.between(0, horizon - 1);
    b.upper = random.chance(5) ? b.lower : random.between(b.lower + 1, horizon);
    b.size = random.chance(5) ? 0 : random.between(1, 8);
    b.alignment = kAlignments[random.between(0, std::size(kAlignments) - 1)];
  }
  return buffers;
}

// Smaller lists that still fail: without one buffer, with a smaller size,
// a shorter lifetime or alignment 1.
std::vector<Buffers> simpler(const Buffers& buffers) {
  std::vector<Buffers> candidates;
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    Buffers without = buffers;
    without.erase(without.begin() + static_cast<std::ptrdiff_t>(i));
    candidates.push_back(std::move(without));
  }
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    const Buffer& b = buffers[i];
    const auto with = [&](Buffer changed) {
      Buffers copy = buffers;
      copy[i] = changed;
      candidates.push_back(std::move(copy));
    };
    if (b.size > 0) with({b.lower, b.upper, b.size - 1, b.alignment});
    if (b.upper > b.lower + 1) with({b.lower, b.upper - 1, b.size, b.alignment});
    if (b.upper > b.lower + 1) with({b.lower + 1, b.upper, b.size, b.alignment});
    if (b.alignment > 1) with({b.lower, b.upper, b.size, 1});
  }
  return candidates;
}

// Greedily takes the first simpler list that still fails until none does.
Buffers shrink(Buffers failing, const Property& property) {
  for (bool smaller = true; smaller;) {
    smaller = false;
    for (Buffers& candidate : simpler(failing)) {
      if (!property(candidate).empty()) {
        failing = std::move(candidate);
        smaller = true;
        break;
      }
    }
  }
  return failing;
}

void check_generated(std::uint64_t seed, int rounds, std::uint64_t max_count,
                     const Property& property) {
  Random random(seed);
  for (int round = 0; round < rounds; ++round) {
    const Buffers buffers = random_buffers(random, max_count);
    if (const std::string failure = property(buffers); !failure.empty()) {
      const Buffers smallest = shrink(buffers, property);
      FAIL() << "round " << round << ": " << failure << "\nshrunk to " << debug_string(smallest)
             << ": " << property(smallest);
    }
  }
}

PlacementOptions options_for(PlacementStrategy strategy, std::uint64_t capacity,
                             std::uint64_t steps) {
  PlacementOptions options;
  options.strategy = strategy;
  options.capacity = capacity;
  options.search_steps = steps;
  return options;
}

// The checker's verdict on one run, and whether a claimed optimum is one.
std::string verdict(const Buffers& buffers, const PlacementOptions& options,
                    std::uint64_t optimum) {
  const Placement placement = place_buffers(buffers, options);
  const auto problems = test_support::check_placement(buffers, options, placement);
  if (!problems.empty()) return debug_string(options) + ": " + debug_string(problems);
  if (placement.optimal && placement.peak != optimum) {
    return debug_string(options) + ": claims optimal at " + std::to_string(placement.peak) +
           ", the optimum is " + std::to_string(optimum);
  }
  return {};
}

TEST(PlacementProperties, EveryStrategyPassesTheCheckerAndClaimsOnlyTrueOptima) {
  check_generated(20261208, 1500, 6, [](const Buffers& buffers) -> std::string {
    const std::uint64_t optimum = test_support::optimal_peak(buffers);
    for (const PlacementStrategy strategy :
         {PlacementStrategy::FirstFit, PlacementStrategy::Best}) {
      for (const std::uint64_t capacity : {~std::uint64_t{0}, optimum, optimum - 1}) {
        for (const std::uint64_t steps : {0UL, 20'000UL}) {
          if (std::string failure =
                  verdict(buffers, options_for(strategy, capacity, steps), optimum);
              !failure.empty()) {
            return failure;
          }
        }
      }
    }
    return {};
  });
}

// On lists this small the search runs to the end: it must find the optimum
// and say so, and given a capacity at the optimum it must fit (and may stop
// there).
TEST(PlacementProperties, TheSearchFindsAndProvesTheOptimum) {
  check_generated(4242, 3000, 7, [](const Buffers& buffers) -> std::string {
    const std::uint64_t optimum = test_support::optimal_peak(buffers);
    const PlacementOptions lowest =
        options_for(PlacementStrategy::Best, ~std::uint64_t{0}, 1'000'000);
    const Placement placement = place_buffers(buffers, lowest);
    if (placement.peak != optimum || !placement.optimal) {
      return debug_string(placement) + ", the optimum is " + std::to_string(optimum);
    }
    const PlacementOptions tight = options_for(PlacementStrategy::Best, optimum, 1'000'000);
    if (const Placement fitted = place_buffers(buffers, tight); !fitted.fits) {
      return debug_string(fitted) + " does not fit " + std::to_string(optimum);
    }
    return {};
  });
}

TEST(PlacementProperties, FirstFitIsTheLiteralRuleAndBestNeverWorse) {
  check_generated(77, 2000, 8, [](const Buffers& buffers) -> std::string {
    std::vector<std::size_t> order(buffers.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const PlacementOptions first_fit =
        options_for(PlacementStrategy::FirstFit, ~std::uint64_t{0}, 0);
    const Placement first = place_buffers(buffers, first_fit);
    if (first.offsets != test_support::first_fit_literal(buffers, order)) {
      return "first fit differs from the literal rule: " + debug_string(first.offsets);
    }
    const Placement best = place_buffers(buffers, PlacementOptions{});
    if (best.peak > first.peak) {
      return "best peaks at " + std::to_string(best.peak) + ", first fit at " +
             std::to_string(first.peak);
    }
    if (best != place_buffers(buffers, PlacementOptions{})) return "two runs differ";
    return {};
  });
}

}  // namespace
}  // namespace zelk_compiler
