// The pipeline document, built around the schedule document of each stage.
#include "formats/pipeline_json.hpp"

#include <cstdint>
#include <vector>

#include "formats/schedule_json.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

// Bytes arriving from, or leaving for, other chips; the host's are apart.
std::uint64_t link_bytes(const std::vector<zc::LinkTransfer>& transfers) {
  std::uint64_t bytes = 0;
  for (const zc::LinkTransfer& transfer : transfers) {
    bytes += transfer.from_chip ? transfer.bytes : 0;
  }
  return bytes;
}

Json transfer_json(const zc::LinkTransfer& transfer) {
  return Json{{"tensor", transfer.name},
              {"tensor_id", transfer.tensor.index},
              {"from_chip", transfer.from_chip ? Json(*transfer.from_chip) : Json(nullptr)},
              {"to_chip", transfer.to_chip},
              {"bytes", transfer.bytes}};
}

Json stage_json(const zc::Graph& graph, const zc::CompilerOptions& options,
                const zc::PipelineStage& stage) {
  Json ops = Json::array();
  for (const zc::OpId op : stage.ops) {
    ops.push_back(op.index);
  }
  const auto op_name = [&](std::size_t at) {
    return stage.ops.empty() ? Json(nullptr) : Json(graph.ops.at(stage.ops.at(at).index).name);
  };
  return Json{{"chip", stage.chip},
              {"first_op", op_name(0)},
              {"last_op", op_name(stage.ops.empty() ? 0 : stage.ops.size() - 1)},
              {"ops", std::move(ops)},
              {"bytes_received", link_bytes(stage.received)},
              {"bytes_sent", link_bytes(stage.sent)},
              {"compute_cycles", stage.compute_cycles},
              {"cycles", stage.cycles},
              {"schedule", schedule_to_json(stage.graph, options, stage.schedule)}};
}

}  // namespace

Json pipeline_to_json(const zc::Graph& graph, const zc::CompilerOptions& options,
                      const zc::Pipeline& pipeline) {
  // Every value sent to a chip once, in the order of the chips receiving.
  Json transfers = Json::array();
  Json stages = Json::array();
  for (const zc::PipelineStage& stage : pipeline.stages) {
    for (const zc::LinkTransfer& transfer : stage.received) {
      transfers.push_back(transfer_json(transfer));
    }
    stages.push_back(stage_json(graph, options, stage));
  }
  return Json{{"format", "zelk-pipeline"},
              {"version", 1},
              {"chips", pipeline.stages.size()},
              {"microbatches", pipeline.microbatches},
              {"bottleneck", pipeline.bottleneck},
              {"total_cycles", pipeline.total_cycles},
              {"cycles_per_microbatch", pipeline.cycles_per_microbatch},
              {"bubble_fraction", pipeline.bubble_fraction},
              {"transfers", std::move(transfers)},
              {"stages", std::move(stages)}};
}

std::string write_pipeline_json(const zc::Graph& graph, const zc::CompilerOptions& options,
                                const zc::Pipeline& pipeline) {
  return dump_readable(pipeline_to_json(graph, options, pipeline), 180,
                       Json::error_handler_t::replace);
}

}  // namespace zelkc
