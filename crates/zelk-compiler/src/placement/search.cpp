// Exact placement search: the chain search (chain_search.hpp) run on each
// chain of the buffer list, restarting until a run decides.
//
// Searches restart after growing allowances of failed placements (the Luby
// sequence) and take turns among a few priority orders, each perturbed by a
// seeded factor after the first runs: a poor early choice costs at most one
// allowance, and the remembered failures carry over. Every other run after
// the first few orders by heat instead, as conflict-driven solvers do: each
// prune heats the unplaced buffers live in the section that overflowed (or
// the buffer that could not end within the limit), so the buffers that keep
// running out of room go lower next time. The seeds depend only on the run
// number and heat only on the search, so a step budget gives the same result
// everywhere.
//
// The limit is the capacity when looking for a fit, or one less than the
// best peak found when lowering it. The step budget counts placements
// tried, and the deadline is read every few hundred of them.
#include "placement/search.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "placement/chain_search.hpp"
#include "placement/chains.hpp"
#include "zelk_compiler/checked.hpp"

namespace zelk_compiler::detail {
namespace {

using search::Budget;
using search::Chain;
using search::chains_of;
using search::ChainSearch;
using search::FailedGroups;
using search::kPriorityCount;
using search::Member;
using search::RunOrder;
using search::Verdict;

// The Luby sequence 1, 1, 2, 1, 1, 2, 4, 1, ... (for run >= 1), its terms
// capped at 2^62.
std::uint64_t luby(std::uint64_t run) {
  for (std::uint64_t k = 1; k < 63; ++k) {
    const std::uint64_t length = (std::uint64_t{1} << k) - 1;
    if (run == length) {
      return std::uint64_t{1} << (k - 1);
    }
    if (run < length) {
      return luby(run - (length >> 1U));
    }
  }
  return std::uint64_t{1} << 62U;
}

constexpr std::uint64_t kFirstAllowance = 256;
constexpr std::uint64_t kSmallSpread = 307;  // 0.3
constexpr std::uint64_t kLargeSpread = 1024;

// Runs on one chain, restarting as described at the top, until one decides.
// Failed groups and heat are remembered across runs and calls.
class ChainSolver {
 public:
  // A placement of `chain` peaking at or below `limit` (written into
  // `offsets`), none, or out of steps.
  Verdict decide(const Chain& chain, std::uint64_t limit, std::span<std::uint64_t> offsets,
                 Budget& budget) {
    heat_.resize(chain.members.size());
    std::uint64_t keyed = 0;
    std::uint64_t heated = 0;
    for (std::uint64_t run = 1; !budget.spent(); ++run) {
      // After the first few runs every other one orders by heat. The others
      // take each key plain first, then with a small or a large spread in
      // turn. Each kind counts its own turns, which set its seeds and
      // allowances.
      const bool by_heat = run > kPriorityCount && run % 2 == 0;
      const std::uint64_t turn = by_heat ? ++heated : ++keyed;
      const std::uint64_t spread = turn % 2 == 1 ? kSmallSpread : kLargeSpread;
      const RunOrder order =
          by_heat ? RunOrder{.priority = 0,
                             .heat = heat_,
                             .seed = ~turn,
                             .spread = spread,
                             .focus = turn % 4 >= 2}
                  : RunOrder{.priority = (turn - 1) % kPriorityCount,
                             .heat = {},
                             .seed = turn,
                             .spread = turn <= kPriorityCount ? std::uint64_t{0} : spread,
                             .focus = turn % 4 >= 2};
      ChainSearch search(chain, order, budget, failed_, heat_);
      const std::uint64_t allowance = saturating_mul(luby(turn), kFirstAllowance);
      const Verdict verdict = search.decide(limit, allowance);
      if (verdict == Verdict::Found) {
        search.write_placement(offsets);
      }
      if (verdict != Verdict::OutOfSteps) {
        return verdict;
      }
    }
    return Verdict::OutOfSteps;
  }

 private:
  FailedGroups failed_;
  std::vector<std::uint64_t> heat_;
};

std::uint64_t peak_of(const Chain& chain, std::span<const std::uint64_t> offsets) {
  std::uint64_t peak = 0;
  for (const Member& m : chain.members) {
    peak = std::max(peak, offsets[m.buffer] + m.size);
  }
  return peak;
}

}  // namespace

SearchResult search_placement(std::span<const Buffer> buffers, std::span<const std::uint64_t> start,
                              const SearchGoal& goal) {
  SearchResult result{.offsets = {start.begin(), start.end()}, .peak = 0, .optimal = false};
  Budget budget(goal.steps, goal.deadline, goal.stop);

  // Buffers outside every chain sit at 0 and end at their size.
  std::uint64_t outside = 0;
  for (const Buffer& b : buffers) {
    if (!occupies(b)) {
      outside = std::max(outside, b.size);
    }
  }
  struct Part {
    Chain chain;
    ChainSolver solver;
    std::uint64_t peak = 0;
    bool proven = false;
    std::size_t position = 0;  // in time order
  };
  std::vector<Part> parts;
  for (Chain& chain : chains_of(buffers)) {
    const std::uint64_t peak = peak_of(chain, start);
    parts.push_back(Part{std::move(chain), ChainSolver{}, peak, peak <= goal.bound, parts.size()});
  }
  // Highest peak first; chains of equal peak keep their order in time.
  std::ranges::sort(parts, std::ranges::greater{}, [](const Part& part) {
    return std::pair{part.peak, ~part.position};
  });

  // Looking for a fit first, with most of the budget.
  if (goal.fit_within) {
    Budget first = budget.most();
    for (Part& part : parts) {
      if (part.proven || part.peak <= *goal.fit_within || first.spent()) {
        continue;
      }
      if (part.solver.decide(part.chain, *goal.fit_within, result.offsets, first) ==
          Verdict::Found) {
        part.peak = peak_of(part.chain, result.offsets);
        part.proven = part.peak <= goal.bound;
      }
    }
    budget.charge(first);
  }
  // Then lowering the peak of the others one found placement at a time; a
  // search that finds none below the best proves it.
  for (Part& part : parts) {
    if (goal.fit_within && part.peak <= *goal.fit_within) {
      continue;
    }
    while (!part.proven && !budget.spent()) {
      const Verdict lower = part.solver.decide(part.chain, part.peak - 1, result.offsets, budget);
      if (lower != Verdict::Found) {
        part.proven = lower == Verdict::None;
        break;
      }
      part.peak = peak_of(part.chain, result.offsets);
      part.proven = part.peak <= goal.bound;
    }
  }

  result.peak = outside;
  for (const Part& part : parts) {
    result.peak = std::max(result.peak, part.peak);
  }
  result.optimal = result.peak <= goal.bound;
  for (const Part& part : parts) {
    result.optimal = result.optimal || (part.proven && part.peak == result.peak);
  }
  return result;
}

}  // namespace zelk_compiler::detail
