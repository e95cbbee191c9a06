// Tile memory planning: lifetimes from the phase list, then the placement of
// every tensor's share on every tile of its layout.
//
// How a plan is made:
//
// 1. Lifetimes. One pass over the phases: a tensor is live from the phase
//    that computes it (0 for inputs and weights) up to and including the
//    last phase that reads it; graph outputs stay live past the last phase.
//    Inside the planner a lifetime is the half-open range [lower, upper) of
//    the placement engine; only the allocation records spell it as the
//    closed [live_from, live_until].
//
// 2. Tile groups. What a tile's placement depends on is the sequence of
//    buffers it receives: tensors in graph order, each once per time its
//    layout names the tile. Tiles with equal sequences get equal addresses,
//    so they are found first and each group is planned once. The groups come
//    from refining a partition of the tiles tensor by tensor: the tiles a
//    layout names (split by how often it names them) leave their group for a
//    new one (tile_groups.cpp). Layouts that are prefixes 0 .. k - 1 of the
//    tiles, the only kind `compile` makes, give one group per distinct k (3
//    groups for a 12-layer BERT-base stack on 1,472 tiles).
//
// 3. Placement, once per group, into the placement engine's memory, which
//    keeps the group's live buffers sorted by address. First fit serves the
//    buffers in order, each at the lowest address at or above `data_base`
//    that is `data_base` itself or a multiple of the tensor's alignment and
//    meets no buffer whose lifetime meets its own. One sweep in address
//    order finds it: a blocking buffer moves the candidate past its end, and
//    since later buffers start higher the sweep never starts over. Buffers
//    that end before every tensor still to come starts are dropped as they
//    can never block again.
//
//    The `Best` strategy starts from that plan too, and keeps it when its
//    peak already equals the group's lower bound (the most bytes live in one
//    phase), as it does wherever weights dominate. Otherwise the group's
//    buffers go to the placement solver as a plain list, from an origin that
//    is a multiple of every alignment in the group so that offsets stay
//    aligned, and its placement replaces first fit's only when it peaks
//    strictly lower inside the window, or fits where first fit does not.
//
// 4. The allocation list, tensor by tensor in graph order and, within one
//    tensor, in the order of its layout's tile list, each tile taking its
//    group's address for that buffer.
//
// Errors are those of placing tensor by tensor and tile by tile with first
// fit: the first buffer in that order that does not fit names its tile and
// tensor, so among the groups that fail (under `Best`, those the solver could
// not fit either), the one whose failing tensor comes first (and then whose
// tile comes first in that tensor's layout) is reported.
#include <algorithm>
#include <limits>
#include <map>
#include <numeric>
#include <stdexcept>
#include <utility>
#include <variant>

#include "compiler/errors.hpp"
#include "compiler/memory_plan.hpp"
#include "placement/placed_buffers.hpp"
#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler {
namespace detail {
namespace {

std::uint64_t tensor_index(TensorId id, std::size_t count) {
  if (id.index >= count) {
    throw std::out_of_range("plan_memory: tensor id out of range");
  }
  return id.index;
}

// A tensor nothing reads lives only in the phase that produces it, so its
// producer never writes into bytes that are live. Lifetimes end one phase
// after their last reader; outputs one phase after the last phase.
std::vector<Lifetime> lifetimes(const Graph& graph, std::span<const Phase> phases) {
  const std::size_t count = graph.tensors.size();
  std::vector<Lifetime> result(count);
  std::vector<bool> read(count, false);
  const auto consume = [&](TensorId id, std::uint64_t phase) {
    const std::uint64_t index = tensor_index(id, count);
    result[index].upper = std::max(result[index].upper, phase + 1);
    read[index] = true;
  };

  for (std::uint64_t phase = 0; phase < phases.size(); ++phase) {
    if (const auto* compute = std::get_if<Compute>(&phases[phase])) {
      if (compute->op.index >= graph.ops.size()) {
        throw std::out_of_range("plan_memory: phase names no operation");
      }
      const Op& op = graph.ops[compute->op.index];
      result[tensor_index(op.output, count)].lower = phase;
      for (const TensorId input : op.inputs) {
        consume(input, phase);
      }
    } else {
      for (const Transfer& transfer : std::get<Exchange>(phases[phase]).transfers) {
        consume(transfer.tensor, phase);
      }
    }
  }
  for (std::uint64_t index = 0; index < count; ++index) {
    if (!read[index]) {
      result[index].upper = result[index].lower + 1;
    }
  }
  for (const TensorId output : graph.outputs) {
    result[tensor_index(output, count)].upper = phases.size() + 1;
  }
  return result;
}

void check_layouts(const Graph& graph, std::span<const Layout> layouts) {
  if (layouts.size() < graph.tensors.size()) {
    throw std::invalid_argument("plan_memory: a layout is missing");
  }
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    if (layouts[i].tiles.empty() || layouts[i].alignment == 0) {
      throw std::invalid_argument("plan_memory: layout without tiles or alignment");
    }
  }
}

// For each tensor position, the earliest start of its lifetime and of every
// later tensor's: buffers dead by that phase can be forgotten.
std::vector<std::uint64_t> live_horizons(const std::vector<Lifetime>& lives) {
  std::vector<std::uint64_t> horizon(lives.size() + 1, std::numeric_limits<std::uint64_t>::max());
  for (std::size_t i = lives.size(); i > 0; --i) {
    horizon[i - 1] = std::min(horizon[i], lives[i - 1].lower);
  }
  return horizon;
}

}  // namespace

MemoryProblem memory_problem(const Graph& graph, std::span<const Layout> layouts,
                             std::span<const Phase> phases) {
  check_layouts(graph, layouts);
  MemoryProblem problem;
  problem.lives = lifetimes(graph, phases);
  problem.horizons = live_horizons(problem.lives);
  const std::uint64_t count = graph.tensors.size();
  problem.first_unplaceable = count;
  problem.sizes.reserve(count);
  problem.alignments.reserve(count);
  for (std::uint64_t tensor = 0; tensor < count; ++tensor) {
    const Layout& layout = layouts[tensor];
    const std::uint64_t size = saturating_align_up(local_bytes(graph.tensors[tensor], layout),
                                                   std::uint64_t{layout.alignment});
    if (size > kLargestEnd && problem.first_unplaceable == count) {
      problem.first_unplaceable = tensor;
    }
    problem.sizes.push_back(size);
    problem.alignments.push_back(layout.alignment);
  }
  find_groups(graph, layouts, problem);
  return problem;
}

GroupPlacement first_fit(const MemoryProblem& problem, const TileGroup& group, std::uint32_t base,
                         std::optional<std::uint32_t> limit, const std::stop_token& stop) {
  GroupPlacement result;
  result.end = base;
  PlacedBuffers memory;
  for (std::size_t slot = 0; slot < group.buffers.size(); ++slot) {
    throw_if_stopped(stop);
    const std::uint64_t tensor = group.buffers[slot];
    if (tensor >= problem.first_unplaceable) {
      break;
    }
    memory.forget_before(problem.horizons[tensor]);
    const std::uint64_t size = problem.sizes[tensor];
    const Lifetime life = problem.lives[tensor];
    const std::uint64_t address =
        memory.first_fit(base, size, problem.alignments[tensor], life.lower, life.upper);
    const std::uint64_t end = address + size;
    if (limit && end > *limit) {
      result.failed = slot;
      result.overflowed = end > kLargestEnd;
      break;
    }
    memory.insert(address, size, life.lower, life.upper);
    result.addresses.push_back(address);
    result.end = std::max(result.end, end);
  }
  return result;
}

std::optional<GroupPlacement> solver_placement(const MemoryProblem& problem, const TileGroup& group,
                                               std::uint32_t base, std::uint32_t limit,
                                               std::uint64_t search_steps,
                                               const std::stop_token& stop) {
  std::uint64_t common = 1;  // least common multiple of the alignments
  std::vector<Buffer> buffers;
  buffers.reserve(group.buffers.size());
  for (const std::uint64_t tensor : group.buffers) {
    if (tensor >= problem.first_unplaceable) {
      break;
    }
    const std::uint64_t alignment = problem.alignments[tensor];
    const auto multiple = checked_mul(common / std::gcd(common, alignment), alignment);
    if (!multiple || *multiple > kLargestEnd) {
      return std::nullopt;
    }
    common = *multiple;
    // A lifetime that ends before it starts is widened to the phases
    // between its ends, which meets every lifetime it meets.
    const Lifetime life = problem.lives[tensor];
    const std::uint64_t last = life.upper - 1;
    buffers.push_back(Buffer{.lower = std::min(life.lower, last),
                             .upper = std::max(life.lower, last) + 1,
                             .size = problem.sizes[tensor],
                             .alignment = alignment});
  }
  const std::uint64_t origin = saturating_align_up(std::uint64_t{base}, common);
  if (origin >= limit) {
    return std::nullopt;
  }
  const Placement placed = place_buffers(buffers,
                                         PlacementOptions{.strategy = PlacementStrategy::Best,
                                                          .capacity = limit - origin,
                                                          .search_steps = search_steps,
                                                          .deadline = std::nullopt},
                                         stop);
  GroupPlacement result;
  result.end = base;
  result.addresses.reserve(buffers.size());
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    result.addresses.push_back(origin + placed.offsets[i]);
    result.end = std::max(result.end, origin + placed.offsets[i] + buffers[i].size);
  }
  return result;
}

BusiestTime busiest_phase(const MemoryProblem& problem, const TileGroup& group) {
  LiveBytes live;
  live.reserve(group.buffers.size());
  for (const std::uint64_t tensor : group.buffers) {
    live.add(problem.lives[tensor].lower, problem.lives[tensor].upper, problem.sizes[tensor]);
  }
  return live.busiest();
}

}  // namespace detail

namespace {

using detail::GroupPlacement;
using detail::MemoryProblem;
using detail::TileCounts;

// First fit where it reaches the group's lower bound; otherwise the lower of
// its peak and the solver's, first fit on a tie, and whichever fits when only
// one does.
GroupPlacement best_placement(const MemoryProblem& problem, const detail::TileGroup& group,
                              const CompilerOptions& options, std::uint64_t search_steps,
                              const std::stop_token& stop) {
  GroupPlacement fitted =
      detail::first_fit(problem, group, options.data_base, options.data_limit, stop);
  if (!fitted.failed &&
      fitted.end - options.data_base <= detail::busiest_phase(problem, group).bytes) {
    return fitted;
  }
  auto solved = detail::solver_placement(problem, group, options.data_base, options.data_limit,
                                         search_steps, stop);
  if (solved && solved->end <= options.data_limit && (fitted.failed || solved->end < fitted.end)) {
    return std::move(*solved);
  }
  return fitted;
}

// The error of the first tensor whose size can never be placed.
CompileError size_error(const Tensor& tensor, const Layout& layout) {
  if (local_bytes(tensor, layout) > detail::kLargestEnd) {
    return detail::data_limit_error(layout.tiles.front(), tensor.name);
  }
  return detail::address_overflow_error();
}

// Among the groups whose placement failed, the failure that placing tensor by
// tensor and tile by tile meets first; nothing when every group is placed.
std::optional<CompileError> first_failure(const Graph& graph, std::span<const Layout> layouts,
                                          const MemoryProblem& problem,
                                          std::span<const GroupPlacement> placements) {
  std::uint64_t tensor = std::numeric_limits<std::uint64_t>::max();
  for (std::size_t g = 0; g < placements.size(); ++g) {
    if (placements[g].failed) {
      tensor = std::min(tensor, problem.groups[g].buffers[*placements[g].failed]);
    }
  }
  if (tensor == std::numeric_limits<std::uint64_t>::max()) {
    return std::nullopt;
  }
  // The failing group's buffers for this tensor before the failing one are
  // placed: the failure is on the tile named that many times before.
  const Layout& layout = layouts[tensor];
  TileCounts counts(problem.group_of_tile.size());
  for (const std::uint16_t tile : layout.tiles) {
    const std::uint64_t earlier = counts.next(tile, tensor);
    const std::uint32_t g = problem.group_of_tile[tile];
    const GroupPlacement& placement = placements[g];
    if (!placement.failed) {
      continue;
    }
    const std::vector<std::uint64_t>& buffers = problem.groups[g].buffers;
    const std::size_t failed = *placement.failed;
    if (buffers[failed] != tensor || failed < earlier || buffers[failed - earlier] != tensor) {
      continue;
    }
    if (failed == earlier || buffers[failed - earlier - 1] != tensor) {
      return placement.overflowed ? detail::address_overflow_error()
                                  : detail::data_limit_error(tile, graph.tensors[tensor].name);
    }
  }
  throw std::logic_error("plan_memory: a failed placement names no tile");
}

// Every tensor's share on every tile of its layout, in that order, at the
// address its tile's group gave that buffer.
std::vector<Allocation> allocations(const Graph& graph, std::span<const Layout> layouts,
                                    const MemoryProblem& problem,
                                    std::span<const GroupPlacement> placements) {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) {
    total += layouts[i].tiles.size();
  }
  std::vector<Allocation> result;
  result.reserve(total);

  // Per group: the position of the current tensor's first buffer, found when
  // the tensor first meets the group.
  std::vector<std::size_t> cursor(problem.groups.size(), 0);
  std::vector<std::size_t> first(problem.groups.size(), 0);
  std::vector<std::uint64_t> met(problem.groups.size(), 0);
  const auto first_buffer = [&](std::uint32_t g, std::uint64_t tensor) {
    if (met[g] != tensor + 1) {
      met[g] = tensor + 1;
      first[g] = cursor[g];
      const std::vector<std::uint64_t>& buffers = problem.groups[g].buffers;
      while (cursor[g] < buffers.size() && buffers[cursor[g]] == tensor) {
        ++cursor[g];
      }
    }
    return first[g];
  };
  TileCounts counts(problem.group_of_tile.size());
  for (std::uint64_t tensor = 0; tensor < graph.tensors.size(); ++tensor) {
    const detail::Lifetime life = problem.lives[tensor];
    const auto size = static_cast<std::uint32_t>(problem.sizes[tensor]);
    std::uint32_t last_group = detail::kNoGroup;
    std::uint64_t address = 0;
    for (const std::uint16_t tile : layouts[tensor].tiles) {
      const std::uint32_t g = problem.group_of_tile[tile];
      if (problem.repeats[tensor]) {
        address = placements[g].addresses[first_buffer(g, tensor) + counts.next(tile, tensor)];
      } else if (g != last_group) {
        last_group = g;
        address = placements[g].addresses[first_buffer(g, tensor)];
      }
      result.push_back(Allocation{.tensor = TensorId{tensor},
                                  .tile = tile,
                                  .address = static_cast<std::uint32_t>(address),
                                  .size = size,
                                  .live_from = life.lower,
                                  .live_until = life.upper - 1});
    }
  }
  return result;
}

}  // namespace

std::optional<std::uint32_t> align_u32(std::uint32_t value, std::uint32_t alignment) {
  if (alignment == 0) {
    throw std::invalid_argument("align_u32: alignment must be at least 1");
  }
  return align_up(value, alignment);
}

std::map<std::uint16_t, std::uint64_t> peak_lower_bounds(std::span<const Allocation> allocations) {
  std::map<std::uint16_t, detail::LiveBytes> tiles;
  for (const Allocation& allocation : allocations) {
    detail::LiveBytes& live = tiles[allocation.tile];
    // The record's closed lifetime as a half-open one; one that reaches the
    // last representable phase never ends.
    if (allocation.live_until == std::numeric_limits<std::uint64_t>::max()) {
      live.add_unending(allocation.live_from, allocation.size);
    } else {
      live.add(allocation.live_from, allocation.live_until + 1, allocation.size);
    }
  }
  std::map<std::uint16_t, std::uint64_t> bounds;
  for (auto& [tile, live] : tiles) {
    bounds.emplace_hint(bounds.end(), tile, live.busiest().bytes);
  }
  return bounds;
}

Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases,
                                            const CompilerOptions& options) {
  return plan_memory(graph, layouts, phases, options, PlanningOptions{});
}

Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases,
                                            const CompilerOptions& options,
                                            const PlanningOptions& planning,
                                            const std::stop_token& stop) {
  const MemoryProblem problem = detail::memory_problem(graph, layouts, phases);
  std::vector<GroupPlacement> placements;
  placements.reserve(problem.groups.size());
  for (const detail::TileGroup& group : problem.groups) {
    switch (planning.strategy) {
      case PlacementStrategy::FirstFit:
        placements.push_back(
            detail::first_fit(problem, group, options.data_base, options.data_limit, stop));
        break;
      case PlacementStrategy::Best:
        placements.push_back(best_placement(problem, group, options, planning.search_steps, stop));
        break;
    }
  }
  if (auto failure = first_failure(graph, layouts, problem, placements)) {
    return std::unexpected(std::move(*failure));
  }
  if (const std::uint64_t tensor = problem.first_unplaceable; tensor < graph.tensors.size()) {
    return std::unexpected(size_error(graph.tensors[tensor], layouts[tensor]));
  }
  return allocations(graph, layouts, problem, placements);
}

}  // namespace zelk_compiler
