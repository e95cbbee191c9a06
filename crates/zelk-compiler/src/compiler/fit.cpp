// The fit diagnosis: every tile group planned by both strategies without a
// limit, and the buffers live where a group that does not fit holds the most;
// and the bisection for the fewest tiles that fit.
#include <algorithm>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "compiler/memory_plan.hpp"
#include "compiler/phases.hpp"
#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/fit.hpp"

namespace zelk_compiler {
namespace {

using detail::MemoryProblem;
using detail::TileGroup;

// a - b, saturating at the ends of the signed range.
std::int64_t signed_difference(std::uint64_t a, std::uint64_t b) {
  constexpr auto kMost = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (a >= b) {
    return static_cast<std::int64_t>(std::min(a - b, kMost));
  }
  return b - a > kMost ? std::numeric_limits<std::int64_t>::min()
                       : -static_cast<std::int64_t>(b - a);
}

bool placeable(const MemoryProblem& problem, const TileGroup& group) {
  return std::ranges::all_of(group.buffers, [&problem](std::uint64_t tensor) {
    return tensor < problem.first_unplaceable;
  });
}

std::uint64_t chosen_peak(PlacementStrategy strategy, std::uint64_t first_fit, std::uint64_t best) {
  switch (strategy) {
    case PlacementStrategy::FirstFit:
      return first_fit;
    case PlacementStrategy::Best:
      return best;
  }
  return first_fit;
}

// The peaks of both strategies, as plan_memory's `Best` chooses: first fit,
// and the solver only where first fit misses the lower bound.
GroupFit group_fit(const MemoryProblem& problem, const TileGroup& group,
                   const CompilerOptions& options, const PlanningOptions& planning,
                   const std::stop_token& stop) {
  GroupFit fit{.first_tile = group.tiles.front(),
               .last_tile = group.tiles.back(),
               .tile_count = group.tiles.size(),
               .buffers = group.buffers.size(),
               .lower_bound = detail::busiest_phase(problem, group).bytes,
               .first_fit_peak = std::nullopt,
               .best_peak = std::nullopt,
               .headroom = std::nullopt};
  if (!placeable(problem, group)) {
    return fit;
  }
  const std::uint32_t base = options.data_base;
  const std::uint64_t first_fit =
      detail::first_fit(problem, group, base, std::nullopt, stop).end - base;
  std::uint64_t best = first_fit;
  if (first_fit > fit.lower_bound) {
    const auto solved = detail::solver_placement(problem, group, base, options.data_limit,
                                                 planning.search_steps, stop);
    if (solved) {
      best = std::min(best, solved->end - base);
    }
  }
  fit.first_fit_peak = first_fit;
  fit.best_peak = best;
  fit.headroom = signed_difference(options.data_limit - options.data_base,
                                   chosen_peak(planning.strategy, first_fit, best));
  return fit;
}

bool fits(const GroupFit& group) { return group.headroom && *group.headroom >= 0; }

// The operation of phase `index`: a compute phase's own, or for an exchange
// the one of the compute phase after it.
std::optional<OpId> phase_operation(std::span<const Phase> phases, std::uint64_t index) {
  for (; index < phases.size(); ++index) {
    if (const auto* compute = std::get_if<Compute>(&phases[index])) {
      return compute->op;
    }
  }
  return std::nullopt;
}

FitFailure failure_in(const Graph& graph, const Schedule& schedule, const MemoryProblem& problem,
                      std::uint64_t group_index, std::uint64_t window) {
  const TileGroup& group = problem.groups[group_index];
  const detail::BusiestTime busiest = detail::busiest_phase(problem, group);
  FitFailure failure{.group = group_index,
                     .phase = busiest.time,
                     .op = phase_operation(schedule.phases, busiest.time),
                     .exchange = busiest.time < schedule.phases.size() &&
                                 std::holds_alternative<Exchange>(schedule.phases[busiest.time]),
                     .live = {},
                     .weight_bytes = 0,
                     .activation_bytes = 0,
                     .bound_over_window = busiest.bytes > window ? busiest.bytes - window : 0};
  for (const std::uint64_t tensor : group.buffers) {
    const detail::Lifetime life = problem.lives[tensor];
    if (busiest.time < life.lower || busiest.time >= life.upper) {
      continue;
    }
    const Tensor& record = graph.tensors[tensor];
    const std::uint64_t bytes = problem.sizes[tensor];
    failure.live.push_back(LiveBuffer{.tensor = record.id,
                                      .name = record.name,
                                      .kind = record.kind,
                                      .bytes = bytes,
                                      .live_from = life.lower,
                                      .live_until = life.upper - 1});
    std::uint64_t& sum =
        record.kind == TensorKind::Weight ? failure.weight_bytes : failure.activation_bytes;
    sum = saturating_add(sum, bytes);
  }
  std::ranges::sort(failure.live, [](const LiveBuffer& a, const LiveBuffer& b) {
    return a.bytes != b.bytes ? a.bytes > b.bytes : a.tensor < b.tensor;
  });
  return failure;
}

FitDiagnosis diagnose(const Graph& graph, const Schedule& schedule, const MemoryProblem& problem,
                      const CompilerOptions& options, const PlanningOptions& planning,
                      const std::stop_token& stop) {
  FitDiagnosis diagnosis{.strategy = planning.strategy,
                         .window = options.data_limit - options.data_base,
                         .groups = {},
                         .fits = true,
                         .failure = std::nullopt};
  diagnosis.groups.reserve(problem.groups.size());
  std::optional<std::uint64_t> worst;  // the failing group with the highest bound
  for (const TileGroup& group : problem.groups) {
    diagnosis.groups.push_back(group_fit(problem, group, options, planning, stop));
    const GroupFit& fit = diagnosis.groups.back();
    if (!fits(fit)) {
      diagnosis.fits = false;
      if (!worst || fit.lower_bound > diagnosis.groups[*worst].lower_bound) {
        worst = diagnosis.groups.size() - 1;
      }
    }
  }
  if (worst) {
    diagnosis.failure = failure_in(graph, schedule, problem, *worst, diagnosis.window);
  }
  return diagnosis;
}

// What one tile count gives: whether the graph fits and, where memory was
// planned, the diagnosis.
struct Probe {
  bool fits = false;
  std::optional<FitDiagnosis> diagnosis;
};

// Diagnoses `graph` on `options`, unless the lower bound already rules the
// count out: scheduling and the bound are cheap beside placement, and the
// solver in particular. A Memory error of scheduling (a share past 32 bits)
// means the count is too small, so it does not fit either.
Result<Probe> probe(const Graph& graph, const CompilerOptions& options,
                    const PlanningOptions& planning, std::uint64_t& compiles,
                    const std::stop_token& stop) {
  auto schedule = detail::schedule_phases(graph, options, stop);
  if (!schedule) {
    if (schedule.error().kind == CompileError::Kind::Memory) {
      return Probe{};
    }
    return std::unexpected(std::move(schedule.error()));
  }
  const MemoryProblem problem = detail::memory_problem(graph, schedule->layouts, schedule->phases);
  const std::uint64_t window = options.data_limit - options.data_base;
  const bool bound_over = std::ranges::any_of(problem.groups, [&](const TileGroup& group) {
    return detail::busiest_phase(problem, group).bytes > window;
  });
  if (bound_over) {
    return Probe{};
  }
  ++compiles;
  FitDiagnosis diagnosis = diagnose(graph, *schedule, problem, options, planning, stop);
  const bool fitting = diagnosis.fits;
  return Probe{.fits = fitting, .diagnosis = std::move(diagnosis)};
}

CompilerOptions on_tiles(CompilerOptions options, std::uint16_t tile_count) {
  options.tile_count = tile_count;
  return options;
}

// Whether `compile` itself succeeds on `tile_count` tiles: the check of the
// answer, independent of the diagnosis that found it.
bool compiles_on(const Graph& graph, const CompilerOptions& options,
                 const PlanningOptions& planning, std::uint16_t tile_count, std::uint64_t& compiles,
                 const std::stop_token& stop) {
  ++compiles;
  return compile(graph, on_tiles(options, tile_count), planning, stop).has_value();
}

// The bisection for one strategy. It keeps two counts: `fitting`, which
// fits, and `failing` below it, which does not (0 stands for "no tiles").
// Each probe halves the gap until the two are neighbours. That finds the
// fewest tiles when fitting is monotone in the count (whatever fits on n
// tiles fits on more), as the per-tile shares that shrink with the count
// make it nearly but not certainly so: a layout or first-fit order that
// changes with the count can make a smaller count fit again. So what the
// search promises is the pair it ends with, a count that fits beside one
// that does not, and compile is asked to confirm both.
Result<FewestTiles> fewest_for(const Graph& graph, const CompilerOptions& options,
                               const PlanningOptions& planning, std::uint16_t max_tiles,
                               const std::stop_token& stop) {
  FewestTiles found{
      .strategy = planning.strategy, .tile_count = std::nullopt, .diagnosis = {}, .compiles = 0};
  auto at_most = probe(graph, on_tiles(options, max_tiles), planning, found.compiles, stop);
  if (!at_most) {
    return std::unexpected(std::move(at_most.error()));
  }
  if (!at_most->fits) {
    return found;
  }
  std::uint16_t failing = 0;
  std::uint16_t fitting = max_tiles;
  std::optional<FitDiagnosis> diagnosis = std::move(at_most->diagnosis);
  while (fitting - failing > 1) {
    const auto middle = static_cast<std::uint16_t>(failing + (fitting - failing) / 2);
    auto probed = probe(graph, on_tiles(options, middle), planning, found.compiles, stop);
    if (!probed) {
      return std::unexpected(std::move(probed.error()));
    }
    if (probed->fits) {
      fitting = middle;
      diagnosis = std::move(probed->diagnosis);
    } else {
      failing = middle;
    }
  }
  const bool confirmed =
      compiles_on(graph, options, planning, fitting, found.compiles, stop) &&
      (failing == 0 || !compiles_on(graph, options, planning, failing, found.compiles, stop));
  if (!confirmed) {
    throw std::logic_error("fewest_tiles: compile disagrees with the fit diagnosis on " +
                           std::to_string(fitting) + " tiles or one fewer");
  }
  found.tile_count = fitting;
  found.diagnosis = std::move(diagnosis);
  return found;
}

}  // namespace

Result<FitDiagnosis> diagnose_fit(const Graph& graph, const CompilerOptions& options,
                                  const PlanningOptions& planning, const std::stop_token& stop) {
  auto schedule = detail::schedule_phases(graph, options, stop);
  if (!schedule) {
    return std::unexpected(std::move(schedule.error()));
  }
  const MemoryProblem problem = detail::memory_problem(graph, schedule->layouts, schedule->phases);
  return diagnose(graph, *schedule, problem, options, planning, stop);
}

Result<std::vector<FewestTiles>> fewest_tiles(const Graph& graph, const CompilerOptions& options,
                                              const PlanningOptions& planning,
                                              std::uint16_t max_tiles,
                                              const std::stop_token& stop) {
  if (max_tiles == 0) {
    throw std::invalid_argument("fewest_tiles: max_tiles must be at least 1");
  }
  std::vector<FewestTiles> found;
  for (const PlacementStrategy strategy : {PlacementStrategy::FirstFit, PlacementStrategy::Best}) {
    PlanningOptions chosen = planning;
    chosen.strategy = strategy;
    auto fewest = fewest_for(graph, options, chosen, max_tiles, stop);
    if (!fewest) {
      return std::unexpected(std::move(fewest.error()));
    }
    found.push_back(std::move(*fewest));
  }
  return found;
}

std::ostream& operator<<(std::ostream& out, const GroupFit& group) {
  return write_record(out, group);
}

std::ostream& operator<<(std::ostream& out, const LiveBuffer& buffer) {
  return write_record(out, buffer);
}

std::ostream& operator<<(std::ostream& out, const FitFailure& failure) {
  return write_record(out, failure);
}

std::ostream& operator<<(std::ostream& out, const FitDiagnosis& diagnosis) {
  return write_record(out, diagnosis);
}

std::ostream& operator<<(std::ostream& out, const FewestTiles& fewest) {
  return write_record(out, fewest);
}

}  // namespace zelk_compiler
