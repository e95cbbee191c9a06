// Writing a pipeline's timeline as Chrome trace events.
#include "outputs/pipeline_trace.hpp"

#include <algorithm>
#include <stdexcept>
#include <variant>

#include <zelk_compiler/checked.hpp>

#include "formats/json_text.hpp"
#include "outputs/trace_events.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

StageStarts stage_starts(const zc::Pipeline& pipeline) {
  StageStarts starts(pipeline.stages.size(), std::vector<std::uint64_t>(pipeline.microbatches, 0));
  for (std::size_t stage = 0; stage < pipeline.stages.size(); ++stage) {
    const std::uint64_t cycles = pipeline.stages[stage].cycles;
    const std::uint64_t before = stage == 0 ? 0 : pipeline.stages[stage - 1].cycles;
    for (std::size_t batch = 0; batch < pipeline.microbatches; ++batch) {
      std::uint64_t start = 0;
      if (stage > 0) {
        start = zc::saturating_add(starts[stage - 1][batch], before);
      }
      if (batch > 0) {
        start = std::max(start, zc::saturating_add(starts[stage][batch - 1], cycles));
      }
      starts[stage][batch] = start;
    }
  }
  return starts;
}

namespace {

// Bytes a stage receives from other chips, and those chips' tensors.
struct Received {
  std::uint64_t bytes = 0;
  Json tensors = Json::array();
  Json from_chips = Json::array();
};

Received from_chips(const zc::PipelineStage& stage) {
  Received received;
  for (const zc::LinkTransfer& transfer : stage.received) {
    if (!transfer.from_chip) {
      continue;
    }
    received.bytes += transfer.bytes;
    received.tensors.push_back(transfer.name);
    if (std::ranges::find(received.from_chips, Json(*transfer.from_chip)) ==
        received.from_chips.end()) {
      received.from_chips.push_back(*transfer.from_chip);
    }
  }
  return received;
}

std::string op_name(const zc::Graph& graph, zc::OpId op) {
  return op.index < graph.ops.size() ? graph.ops[op.index].name : "op " + std::to_string(op.index);
}

class PipelineTraceWriter {
 public:
  PipelineTraceWriter(const zc::Graph& graph, const zc::Pipeline& pipeline,
                      const zc::CostModel& model)
      : graph_(graph), pipeline_(pipeline), model_(model), events_(model.clock_mhz) {}

  std::string write(std::string_view workload) {
    Json other = TraceEvents::other_data(workload, model_);
    other["chips"] = pipeline_.stages.size();
    other["microbatches"] = pipeline_.microbatches;
    other["total_cycles"] = pipeline_.total_cycles;
    std::string out = TraceEvents::open(other);
    const StageStarts starts = stage_starts(pipeline_);
    write_metadata(out);
    write_microbatches(out, starts);
    for (std::size_t stage = 0; stage < pipeline_.stages.size(); ++stage) {
      write_stage(out, stage, starts[stage]);
    }
    return out + TraceEvents::close();
  }

 private:
  // Process 1 is the microbatches (a thread each), 2 + k chip k (its stage
  // and its phases), 2 + chips the link (a thread per receiving chip).
  static constexpr std::uint64_t kMicrobatchPid = 1;
  static std::uint64_t chip_pid(std::size_t chip) { return chip + 2; }
  [[nodiscard]] std::uint64_t link_pid() const { return pipeline_.stages.size() + 2; }
  static constexpr std::uint64_t kStageTid = 1;
  static constexpr std::uint64_t kPhaseTid = 2;

  void name_process(std::string& out, std::uint64_t pid, const std::string& name,
                    std::uint64_t order) {
    events_.name_process(out, pid, name, order);
  }

  void name_thread(std::string& out, std::uint64_t pid, std::uint64_t tid,
                   const std::string& name) {
    events_.name_thread(out, pid, tid, name);
  }

  void write_metadata(std::string& out) {
    name_process(out, kMicrobatchPid, "microbatches", 0);
    for (std::uint64_t batch = 0; batch < pipeline_.microbatches; ++batch) {
      name_thread(out, kMicrobatchPid, batch + 1, "microbatch " + std::to_string(batch));
    }
    for (const zc::PipelineStage& stage : pipeline_.stages) {
      name_process(out, chip_pid(stage.chip), "chip " + std::to_string(stage.chip), stage.chip + 1);
      name_thread(out, chip_pid(stage.chip), kStageTid, "stage");
      name_thread(out, chip_pid(stage.chip), kPhaseTid, "phases");
    }
    name_process(out, link_pid(), "link", pipeline_.stages.size() + 1);
    for (const zc::PipelineStage& stage : pipeline_.stages) {
      if (from_chips(stage).bytes != 0) {
        name_thread(out, link_pid(), stage.chip + 1, "to chip " + std::to_string(stage.chip));
      }
    }
  }

  void slice(std::string& out, std::uint64_t pid, std::uint64_t tid, const std::string& name,
             const char* category, double start, double cycles, Json args) {
    events_.slice(out, pid, tid, name, category, start, cycles, std::move(args));
  }

  // Each microbatch from its start on the first chip to its end on the
  // last.
  void write_microbatches(std::string& out, const StageStarts& starts) {
    if (pipeline_.stages.empty()) {
      return;
    }
    const std::uint64_t last_cycles = pipeline_.stages.back().cycles;
    for (std::uint64_t batch = 0; batch < pipeline_.microbatches; ++batch) {
      const auto start = static_cast<double>(starts.front()[batch]);
      const auto end = static_cast<double>(zc::saturating_add(starts.back()[batch], last_cycles));
      slice(out, kMicrobatchPid, batch + 1, "microbatch " + std::to_string(batch), "microbatch",
            start, end - start, Json{{"microbatch", batch}});
    }
  }

  void write_stage(std::string& out, std::size_t index, const std::vector<std::uint64_t>& starts) {
    const zc::PipelineStage& stage = pipeline_.stages[index];
    const std::vector<double> phases = zc::phase_cycles(stage.graph, stage.schedule, model_);
    const Received received = from_chips(stage);
    const std::uint64_t link = stage.cycles - std::min(stage.cycles, stage.compute_cycles);
    const std::string operations = stage.ops.empty() ? std::string()
                                                     : op_name(graph_, stage.ops.front()) + " .. " +
                                                           op_name(graph_, stage.ops.back());
    for (std::uint64_t batch = 0; batch < pipeline_.microbatches; ++batch) {
      const auto start = static_cast<double>(starts[batch]);
      const std::string label = "microbatch " + std::to_string(batch);
      if (received.bytes != 0) {
        slice(out, link_pid(), stage.chip + 1, label + " to chip " + std::to_string(stage.chip),
              "link", start, static_cast<double>(link),
              Json{{"microbatch", batch},
                   {"bytes", received.bytes},
                   {"from_chips", received.from_chips},
                   {"tensors", received.tensors}});
      }
      double now = start + static_cast<double>(link);
      slice(out, chip_pid(stage.chip), kStageTid, label, "stage", now,
            static_cast<double>(stage.compute_cycles),
            Json{{"microbatch", batch}, {"operations", operations}, {"phases", phases.size()}});
      for (std::size_t phase = 0; phase < phases.size(); ++phase) {
        const bool exchange = std::holds_alternative<zc::Exchange>(stage.schedule.phases[phase]);
        std::string name = "exchange";
        if (const auto* compute = std::get_if<zc::Compute>(&stage.schedule.phases[phase])) {
          name = op_name(stage.graph, compute->op);
        }
        slice(out, chip_pid(stage.chip), kPhaseTid, name, exchange ? "exchange" : "compute", now,
              phases[phase], Json{{"microbatch", batch}, {"phase", phase}});
        now += phases[phase];
      }
    }
  }

  const zc::Graph& graph_;
  const zc::Pipeline& pipeline_;
  zc::CostModel model_;
  TraceEvents events_;
};

}  // namespace

std::string pipeline_trace_json(const zc::Graph& graph, const zc::Pipeline& pipeline,
                                const zc::CostModel& model, std::string_view workload) {
  if (!model.valid()) {
    throw std::invalid_argument("the cost model's clock and rates must be above 0");
  }
  return PipelineTraceWriter(graph, pipeline, model).write(workload);
}

}  // namespace zelkc
