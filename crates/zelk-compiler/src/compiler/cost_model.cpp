// The estimated durations of compute and exchange phases.
#include "zelk_compiler/cost_model.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <variant>

#include "overloaded.hpp"
#include "zelk_compiler/debug.hpp"

namespace zelk_compiler {
namespace {

void require_valid(const CostModel& model) {
  if (!model.valid()) {
    throw std::invalid_argument("the cost model's clock and rates must be above 0");
  }
}

// Steps of work per output element: the inner dimension of a matrix
// product; one for every other kernel, whatever its kind.
double steps_per_element(const Graph& graph, const Op& op) {
  return std::visit(detail::Overloaded{
                        [&](const MatMul&) {
                          const auto& left = graph.tensors.at(op.inputs.at(0).index).shape;
                          return left.empty() ? 1.0 : static_cast<double>(left.back());
                        },
                        [](const auto&) { return 1.0; },
                    },
                    op.kind);
}

double ceil_div(double work, double rate) { return std::ceil(work / rate); }

double compute_cycles(const Graph& graph, const Schedule& schedule, const Compute& compute,
                      const CostModel& model) {
  const TileWork share = tile_work(graph, schedule, graph.ops.at(compute.op.index));
  double cycles = 0;
  for (const KernelCommand& command : compute.commands) {
    cycles =
        std::max(cycles, kernel_cycles(share.work, command.specialization.worker_count, model));
  }
  return cycles;
}

double exchange_phase_cycles(const Schedule& schedule, const Exchange& exchange,
                             const CostModel& model) {
  // Bytes sent and received per tile.
  std::map<std::uint16_t, std::pair<std::uint64_t, std::uint64_t>> traffic;
  for (const Transfer& transfer : exchange.transfers) {
    if (transfer.source_tile >= schedule.tile_count ||
        transfer.destination_tile >= schedule.tile_count) {
      throw std::out_of_range("transfer names a tile beyond the schedule's tiles");
    }
    traffic[transfer.source_tile].first += transfer.bytes;
    traffic[transfer.destination_tile].second += transfer.bytes;
  }
  double cycles = 0;
  for (const auto& [tile, bytes] : traffic) {
    cycles = std::max(cycles, exchange_cycles(std::max(bytes.first, bytes.second), model));
  }
  return cycles;
}

}  // namespace

TileWork tile_work(const Graph& graph, const Schedule& schedule, const Op& op) {
  const Tensor& output = graph.tensors.at(op.output.index);
  const std::uint64_t share = local_bytes(output, schedule.layouts.at(op.output.index));
  const std::uint64_t element_bytes = size(output.dtype);
  const std::uint64_t share_elements = share / element_bytes + (share % element_bytes != 0 ? 1 : 0);
  const auto elements = static_cast<double>(share_elements);
  return TileWork{.elements = elements, .work = elements * steps_per_element(graph, op)};
}

double kernel_cycles(double work, std::uint8_t workers, const CostModel& model) {
  require_valid(model);
  const double rate =
      static_cast<double>(model.macs_per_cycle) * std::max(workers, std::uint8_t{1});
  return ceil_div(work, rate);
}

double exchange_cycles(std::uint64_t bytes, const CostModel& model) {
  require_valid(model);
  return ceil_div(static_cast<double>(bytes), static_cast<double>(model.exchange_bytes_per_cycle));
}

std::vector<double> phase_cycles(const Graph& graph, const Schedule& schedule,
                                 const CostModel& model) {
  require_valid(model);
  std::vector<double> cycles;
  cycles.reserve(schedule.phases.size());
  for (const Phase& phase : schedule.phases) {
    cycles.push_back(std::visit(
        detail::Overloaded{
            [&](const Compute& compute) { return compute_cycles(graph, schedule, compute, model); },
            [&](const Exchange& exchange) {
              return exchange_phase_cycles(schedule, exchange, model);
            },
        },
        phase));
  }
  return cycles;
}

std::ostream& operator<<(std::ostream& out, const CostModel& model) {
  return write_record(out, model);
}

}  // namespace zelk_compiler
