// compile: validation, options, layouts, phases, memory, peak map.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "compiler/phases.hpp"
#include "graph/validate.hpp"
#include "zelk_compiler/compiler.hpp"

namespace zelk_compiler {
namespace {

std::vector<Layout> layouts_for(const Graph& graph, std::uint16_t tile_count) {
  std::vector<Layout> layouts;
  layouts.reserve(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) {
    layouts.push_back(choose_layout(tensor, tile_count));
  }
  return layouts;
}

// The kernel an operation runs: its operation name, followed, unless it
// reads and writes only F32, by the element types that set it apart from
// the 32-bit kernel: the one type of all its operands and its output
// ("matmul.f16"), or else each operand's type and then the output's.
std::string kernel_operation(const Graph& graph, const Op& op) {
  std::string kernel(operation_name(op.kind));
  const DType output = graph.tensors[op.output.index].dtype;
  const auto type_of = [&graph](TensorId input) { return graph.tensors[input.index].dtype; };
  const bool uniform =
      std::ranges::all_of(op.inputs, [&](TensorId input) { return type_of(input) == output; });
  if (uniform && output == DType::F32) {
    return kernel;
  }
  if (!uniform) {
    for (const TensorId input : op.inputs) {
      kernel += '.';
      kernel += dtype_name(type_of(input));
    }
  }
  kernel += '.';
  kernel += dtype_name(output);
  return kernel;
}

// One command per tile of the output's layout; the last tile runs the "tail"
// variant of the kernel.
Compute compute_phase(const Graph& graph, const Op& op, const Layout& output_layout) {
  const Tensor& output = graph.tensors[op.output.index];
  const SpecializationKey body{.operation = kernel_operation(graph, op),
                               .shape = output.shape,
                               .worker_count = worker_count(output),
                               .role = "body",
                               .alignment = output_layout.alignment};
  Compute phase{.op = op.id, .commands = {}};
  phase.commands.reserve(output_layout.tiles.size());
  for (const std::uint16_t tile : output_layout.tiles) {
    phase.commands.push_back(KernelCommand{
        .tile = tile, .output = op.output, .inputs = op.inputs, .specialization = body});
  }
  if (!phase.commands.empty()) {
    phase.commands.back().specialization.role = "tail";
  }
  return phase;
}

std::map<std::uint16_t, std::uint32_t> peaks(std::span<const Allocation> allocations,
                                             std::uint32_t data_base) {
  // Every allocation lies inside the window, so its end minus the base
  // neither overflows nor underflows. Highest ends are gathered per tile
  // number first; the map is then filled in key order.
  std::vector<std::optional<std::uint32_t>> by_tile;
  for (const Allocation& allocation : allocations) {
    if (allocation.tile >= by_tile.size()) {
      by_tile.resize(std::size_t{allocation.tile} + 1);
    }
    const std::uint32_t high = allocation.address + allocation.size - data_base;
    auto& peak = by_tile[allocation.tile];
    peak = std::max(peak.value_or(0), high);
  }
  std::map<std::uint16_t, std::uint32_t> peak_map;
  for (std::size_t tile = 0; tile < by_tile.size(); ++tile) {
    if (by_tile[tile]) {
      peak_map.emplace_hint(peak_map.end(), static_cast<std::uint16_t>(tile), *by_tile[tile]);
    }
  }
  return peak_map;
}

}  // namespace

namespace detail {

Result<Schedule> schedule_phases(const Graph& graph, const CompilerOptions& options,
                                 const std::stop_token& stop) {
  if (auto valid = validate_in_order(graph); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  if (!options.valid()) {
    return std::unexpected(CompileError::graph("invalid compiler options"));
  }

  Schedule schedule;
  schedule.tile_count = options.tile_count;
  schedule.layouts = layouts_for(graph, options.tile_count);

  schedule.phases.reserve(graph.ops.size() * 2);
  for (const Op& op : graph.ops) {
    throw_if_stopped(stop);
    const Layout& output_layout = schedule.layouts[op.output.index];
    auto transfers = transfers_for(graph, schedule.layouts, op, output_layout);
    if (!transfers) {
      return std::unexpected(std::move(transfers.error()));
    }
    if (!transfers->empty()) {
      if (auto checked = validate_transfers(*transfers); !checked) {
        return std::unexpected(std::move(checked.error()));
      }
      schedule.phases.emplace_back(Exchange{std::move(*transfers)});
    }
    schedule.phases.emplace_back(compute_phase(graph, op, output_layout));
  }
  return schedule;
}

}  // namespace detail

Result<Schedule> compile(const Graph& graph, const CompilerOptions& options) {
  return compile(graph, options, PlanningOptions{});
}

Result<Schedule> compile(const Graph& graph, const CompilerOptions& options,
                         const PlanningOptions& planning, const std::stop_token& stop) {
  auto schedule = detail::schedule_phases(graph, options, stop);
  if (!schedule) {
    return schedule;
  }
  auto allocations =
      plan_memory(graph, schedule->layouts, schedule->phases, options, planning, stop);
  if (!allocations) {
    return std::unexpected(std::move(allocations.error()));
  }
  schedule->allocations = std::move(*allocations);
  schedule->peak_sram = peaks(schedule->allocations, options.data_base);
  return schedule;
}

}  // namespace zelk_compiler
