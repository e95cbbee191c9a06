// The schedule document, written field by field under the records' names.
#include "schedule_json.hpp"

#include <variant>

#include <zelk_compiler/debug.hpp>

#include "overloaded.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

Json ids(const std::vector<zc::TensorId>& tensors) {
  Json list = Json::array();
  for (const zc::TensorId id : tensors) {
    list.push_back(id.index);
  }
  return list;
}

Json layout_json(const zc::Layout& layout) {
  return Json{{"tensor", layout.tensor.index},
              {"tiles", layout.tiles},
              {"sharding", zc::debug_string(layout.sharding)},
              {"alignment", layout.alignment}};
}

Json transfer_json(const zc::Transfer& transfer) {
  return Json{{"source_tile", transfer.source_tile},
              {"destination_tile", transfer.destination_tile},
              {"tensor", transfer.tensor.index},
              {"bytes", transfer.bytes}};
}

Json command_json(const zc::KernelCommand& command) {
  const zc::SpecializationKey& key = command.specialization;
  return Json{{"tile", command.tile},
              {"output", command.output.index},
              {"inputs", ids(command.inputs)},
              {"specialization", Json{{"operation", key.operation},
                                      {"shape", key.shape},
                                      {"worker_count", key.worker_count},
                                      {"role", key.role},
                                      {"alignment", key.alignment}}}};
}

Json phase_json(const zc::Phase& phase) {
  return std::visit(Overloaded{
                        [](const zc::Exchange& exchange) {
                          Json transfers = Json::array();
                          for (const zc::Transfer& transfer : exchange.transfers) {
                            transfers.push_back(transfer_json(transfer));
                          }
                          return Json{{"variant", "Exchange"}, {"transfers", std::move(transfers)}};
                        },
                        [](const zc::Compute& compute) {
                          Json commands = Json::array();
                          for (const zc::KernelCommand& command : compute.commands) {
                            commands.push_back(command_json(command));
                          }
                          return Json{{"variant", "Compute"},
                                      {"op", compute.op.index},
                                      {"commands", std::move(commands)}};
                        },
                    },
                    phase);
}

Json allocation_json(const zc::Allocation& allocation) {
  return Json{{"tensor", allocation.tensor.index}, {"tile", allocation.tile},
              {"address", allocation.address},     {"size", allocation.size},
              {"live_from", allocation.live_from}, {"live_until", allocation.live_until}};
}

}  // namespace

Json schedule_to_json(const zc::Graph& graph, const zc::CompilerOptions& options,
                      const zc::Schedule& schedule) {
  Json tensors = Json::array();
  for (const zc::Tensor& tensor : graph.tensors) {
    tensors.push_back(Json{
        {"name", tensor.name}, {"shape", tensor.shape}, {"kind", zc::debug_string(tensor.kind)}});
  }
  Json ops = Json::array();
  for (const zc::Op& op : graph.ops) {
    ops.push_back(Json{{"name", op.name},
                       {"operation", std::string(zc::operation_name(op.kind))},
                       {"inputs", ids(op.inputs)},
                       {"output", op.output.index}});
  }

  Json layouts = Json::array();
  for (const zc::Layout& layout : schedule.layouts) {
    layouts.push_back(layout_json(layout));
  }
  Json phases = Json::array();
  for (const zc::Phase& phase : schedule.phases) {
    phases.push_back(phase_json(phase));
  }
  Json allocations = Json::array();
  for (const zc::Allocation& allocation : schedule.allocations) {
    allocations.push_back(allocation_json(allocation));
  }
  // JSON object keys are strings; the map stays in ascending tile order.
  Json peak_sram = Json::object();
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    peak_sram[std::to_string(tile)] = bytes;
  }

  return Json{{"format", "zelk-schedule"},
              {"version", 1},
              {"options", Json{{"tile_count", options.tile_count},
                               {"data_base", options.data_base},
                               {"data_limit", options.data_limit}}},
              {"tensors", std::move(tensors)},
              {"ops", std::move(ops)},
              {"schedule", Json{{"layouts", std::move(layouts)},
                                {"phases", std::move(phases)},
                                {"allocations", std::move(allocations)},
                                {"tile_count", schedule.tile_count},
                                {"peak_sram", std::move(peak_sram)}}}};
}

std::string write_schedule_json(const zc::Graph& graph, const zc::CompilerOptions& options,
                                const zc::Schedule& schedule) {
  // Names are only labels here; a stray byte must not stop the export.
  return dump_readable(schedule_to_json(graph, options, schedule), 180,
                       Json::error_handler_t::replace);
}

std::string dump_for_script(const Json& value) {
  const std::string compact = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string escaped;
  escaped.reserve(compact.size());
  for (const char c : compact) {
    switch (c) {
      case '<':
        escaped += "\\u003c";
        break;
      case '>':
        escaped += "\\u003e";
        break;
      case '&':
        escaped += "\\u0026";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

}  // namespace zelkc
