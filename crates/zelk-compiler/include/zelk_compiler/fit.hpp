// Whether a graph fits tile memory and, when it does not, where and why: per
// group of tiles the lower bound and the peak of each planning strategy, and
// the buffers live where the most bytes are; and the fewest tiles on which it
// fits.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <stop_token>
#include <string>
#include <type_traits>
#include <vector>

#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/error.hpp"
#include "zelk_compiler/fields.hpp"
#include "zelk_compiler/graph.hpp"
#include "zelk_compiler/placement.hpp"
#include "zelk_compiler/stop.hpp"

namespace zelk_compiler {

// Tiles that receive the same tensors in the same order, and so the same
// placement. They lie between `first_tile` and `last_tile`, all of them when
// `tile_count` is last_tile - first_tile + 1 (always so for `compile`'s
// layouts).
struct GroupFit {
  std::uint16_t first_tile = 0;
  std::uint16_t last_tile = 0;
  std::uint64_t tile_count = 0;
  std::uint64_t buffers = 0;
  // The most bytes live in any one phase: no placement can peak lower.
  std::uint64_t lower_bound = 0;
  // Bytes from the window's start to the highest buffer end, placed without
  // a limit. None when a share does not fit 32 bits and so is never placed.
  std::optional<std::uint64_t> first_fit_peak;
  std::optional<std::uint64_t> best_peak;
  // The window minus the peak of the strategy diagnosed; negative when over.
  std::optional<std::int64_t> headroom;

  friend bool operator==(const GroupFit&, const GroupFit&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<GroupFit>) {
  return describe_record<GroupFit>(
      "GroupFit", field("first_tile", &GroupFit::first_tile),
      field("last_tile", &GroupFit::last_tile), field("tile_count", &GroupFit::tile_count),
      field("buffers", &GroupFit::buffers), field("lower_bound", &GroupFit::lower_bound),
      field("first_fit_peak", &GroupFit::first_fit_peak), field("best_peak", &GroupFit::best_peak),
      field("headroom", &GroupFit::headroom));
}

// A buffer live in the phase where a group holds the most bytes.
struct LiveBuffer {
  TensorId tensor;
  std::string name;
  TensorKind kind = TensorKind::Intermediate;
  std::uint64_t bytes = 0;  // on each tile of the group
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;

  friend bool operator==(const LiveBuffer&, const LiveBuffer&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<LiveBuffer>) {
  return describe_record<LiveBuffer>(
      "LiveBuffer", field("tensor", &LiveBuffer::tensor), field("name", &LiveBuffer::name),
      field("kind", &LiveBuffer::kind), field("bytes", &LiveBuffer::bytes),
      field("live_from", &LiveBuffer::live_from), field("live_until", &LiveBuffer::live_until));
}

// Where a graph that does not fit holds the most bytes: of the groups that
// do not fit, the one with the highest lower bound, in the first phase that
// reaches it.
struct FitFailure {
  std::uint64_t group = 0;  // position in FitDiagnosis::groups
  std::uint64_t phase = 0;
  // The phase's operation; for an exchange, the operation it brings inputs
  // to. None when the schedule has no such phase (a graph without
  // operations).
  std::optional<OpId> op;
  bool exchange = false;
  std::vector<LiveBuffer> live;  // largest first, then in tensor order
  std::uint64_t weight_bytes = 0;
  std::uint64_t activation_bytes = 0;  // inputs, intermediates and outputs
  // Bytes by which the lower bound alone passes the window: when more than
  // 0 no placement can fit, when 0 a better placement may.
  std::uint64_t bound_over_window = 0;

  friend bool operator==(const FitFailure&, const FitFailure&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<FitFailure>) {
  return describe_record<FitFailure>(
      "FitFailure", field("group", &FitFailure::group), field("phase", &FitFailure::phase),
      field("op", &FitFailure::op), field("exchange", &FitFailure::exchange),
      field("live", &FitFailure::live), field("weight_bytes", &FitFailure::weight_bytes),
      field("activation_bytes", &FitFailure::activation_bytes),
      field("bound_over_window", &FitFailure::bound_over_window));
}

struct FitDiagnosis {
  PlacementStrategy strategy = PlacementStrategy::FirstFit;  // the strategy diagnosed
  std::uint64_t window = 0;                                  // data_limit - data_base
  std::vector<GroupFit> groups;                              // by first tile
  bool fits = false;                  // whether `compile` with the same planning succeeds
  std::optional<FitFailure> failure;  // when it does not fit

  friend bool operator==(const FitDiagnosis&, const FitDiagnosis&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<FitDiagnosis>) {
  return describe_record<FitDiagnosis>(
      "FitDiagnosis", field("strategy", &FitDiagnosis::strategy),
      field("window", &FitDiagnosis::window), field("groups", &FitDiagnosis::groups),
      field("fits", &FitDiagnosis::fits), field("failure", &FitDiagnosis::failure));
}

// Compiles `graph` up to memory planning and plans every tile group with
// both strategies and no limit, so that peaks past the window are measured
// rather than refused. Fails as `compile` does before planning: an invalid
// graph (operand order included) or options, an invalid exchange, or a share
// to be sent between tiles that does not fit 32 bits (the data-limit `Memory`
// error of its tensor). Deterministic. A stop requested on `stop` throws
// Stopped at the next operation, tile group or search round.
[[nodiscard]] Result<FitDiagnosis> diagnose_fit(const Graph& graph, const CompilerOptions& options,
                                                const PlanningOptions& planning = {},
                                                const std::stop_token& stop = {});

// The fewest tiles on which a graph fits with one strategy.
struct FewestTiles {
  PlacementStrategy strategy = PlacementStrategy::FirstFit;
  // A count at which the graph fits and one fewer does not (1 when it fits
  // on one tile). None when it does not fit on the most tiles searched.
  std::optional<std::uint16_t> tile_count;
  // The diagnosis at `tile_count`, when there is one.
  std::optional<FitDiagnosis> diagnosis;
  // Memory plans made: diagnoses and compiles. Counts the lower bound refuses
  // are settled without one.
  std::uint64_t compiles = 0;

  friend bool operator==(const FewestTiles&, const FewestTiles&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<FewestTiles>) {
  return describe_record<FewestTiles>("FewestTiles", field("strategy", &FewestTiles::strategy),
                                      field("tile_count", &FewestTiles::tile_count),
                                      field("diagnosis", &FewestTiles::diagnosis),
                                      field("compiles", &FewestTiles::compiles));
}

// The most tiles fewest_tiles searches by default: every count --tiles takes.
inline constexpr std::uint16_t kMostTiles = 65535;

// For each strategy (first fit, then best), the fewest tiles from 1 to
// `max_tiles` on which `graph` fits with `options` (whose tile_count is
// replaced) and `planning` (whose search_steps bound the solver). A
// bisection: at most 17 diagnoses and 2 compiles per strategy. Fails as
// diagnose_fit does on an invalid graph or options; a count at which a share
// does not fit 32 bits does not fit. Throws std::invalid_argument when
// `max_tiles` is 0. Deterministic. A stop requested on `stop` throws Stopped
// as diagnose_fit does.
[[nodiscard]] Result<std::vector<FewestTiles>> fewest_tiles(const Graph& graph,
                                                            const CompilerOptions& options,
                                                            const PlanningOptions& planning = {},
                                                            std::uint16_t max_tiles = kMostTiles,
                                                            const std::stop_token& stop = {});

std::ostream& operator<<(std::ostream& out, const GroupFit& group);
std::ostream& operator<<(std::ostream& out, const LiveBuffer& buffer);
std::ostream& operator<<(std::ostream& out, const FitFailure& failure);
std::ostream& operator<<(std::ostream& out, const FitDiagnosis& diagnosis);
std::ostream& operator<<(std::ostream& out, const FewestTiles& fewest);

}  // namespace zelk_compiler
