// compile_pipeline: cut points, the table of stage costs, the search that
// compiles the stages of the best split until all of them fit, and the
// pipeline's records.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <variant>

#include "compiler/phases.hpp"
#include "pipeline/partition.hpp"
#include "pipeline/stages.hpp"
#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/fit.hpp"
#include "zelk_compiler/fit_text.hpp"
#include "zelk_compiler/pipeline.hpp"
#include "zelk_compiler/stop.hpp"

namespace zelk_compiler {
namespace {

using detail::SegmentTable;
using detail::TensorUses;

CompileError refused(std::string message) { return CompileError::graph(std::move(message)); }

std::uint64_t whole_cycles(double cycles) {
  constexpr auto kMost = static_cast<double>(std::numeric_limits<std::uint64_t>::max());
  return cycles >= kMost ? std::numeric_limits<std::uint64_t>::max()
                         : static_cast<std::uint64_t>(cycles);
}

// The cycles of each operation: its compute phase and the exchange before
// it.
std::vector<std::uint64_t> op_cycles(const Graph& graph, const Schedule& schedule,
                                     const CostModel& model) {
  const std::vector<double> phases = phase_cycles(graph, schedule, model);
  std::vector<std::uint64_t> cycles(graph.ops.size(), 0);
  std::uint64_t pending = 0;
  for (std::size_t index = 0; index < schedule.phases.size(); ++index) {
    const std::uint64_t phase = whole_cycles(phases[index]);
    if (const auto* compute = std::get_if<Compute>(&schedule.phases[index])) {
      cycles.at(compute->op.index) = saturating_add(pending, phase);
      pending = 0;
    } else {
      pending = saturating_add(pending, phase);
    }
  }
  return cycles;
}

std::uint64_t link_cycles(std::uint64_t bytes, std::uint64_t bytes_per_cycle) {
  return bytes / bytes_per_cycle + (bytes % bytes_per_cycle != 0 ? 1 : 0);
}

Result<void> check_options(const PipelineOptions& pipeline) {
  if (pipeline.microbatches == 0) {
    return std::unexpected(refused("microbatches must be at least 1"));
  }
  if (pipeline.chips == 0 && pipeline.max_chips == 0) {
    return std::unexpected(refused("max_chips must be at least 1"));
  }
  if (pipeline.link_bytes_per_cycle == 0) {
    return std::unexpected(refused("the link's bytes per cycle must be at least 1"));
  }
  if (!pipeline.cost.valid()) {
    return std::unexpected(refused("the cost model's clock and rates must be above 0"));
  }
  return {};
}

// The positions after the operations `names` names, ascending.
Result<std::vector<std::uint64_t>> manual_cuts(const Graph& graph,
                                               const std::vector<std::string>& names) {
  std::vector<std::uint64_t> cuts;
  for (const std::string& name : names) {
    std::optional<std::uint64_t> found;
    for (const Op& op : graph.ops) {
      if (op.name != name) {
        continue;
      }
      if (found) {
        return std::unexpected(refused("cut after " + name + ": two operations have that name"));
      }
      found = op.id.index;
    }
    if (!found) {
      return std::unexpected(refused("cut after " + name + ": no operation has that name"));
    }
    if (*found + 1 == graph.ops.size()) {
      return std::unexpected(
          refused("cut after " + name + ": it is the last operation, so the stage after is empty"));
    }
    if (std::ranges::find(cuts, *found + 1) != cuts.end()) {
      return std::unexpected(refused("cut after " + name + ": named twice"));
    }
    cuts.push_back(*found + 1);
  }
  std::ranges::sort(cuts);
  return cuts;
}

// Cuts where the values crossing weigh the fewest bytes of any cut: a sweep
// adds each value after its producer and drops it after its last reader.
// The graph's inputs count from the start only with `with_inputs`: the host
// sends them to any chip, but they are as much a layer's input as a value
// an earlier layer computes.
std::vector<std::uint64_t> narrowest_cuts(const Graph& graph, const TensorUses& uses,
                                          bool with_inputs = false) {
  const std::size_t ops = graph.ops.size();
  std::vector<std::uint64_t> starting(ops + 1, 0);
  std::vector<std::uint64_t> ending(ops + 1, 0);
  for (std::size_t tensor = 0; tensor < graph.tensors.size(); ++tensor) {
    const auto& producer = uses.producer[tensor];
    const auto& reader = uses.last_reader[tensor];
    if (producer && reader && *reader > *producer) {
      starting[*producer + 1] = saturating_add(starting[*producer + 1], uses.bytes[tensor]);
      ending[*reader + 1] = saturating_add(ending[*reader + 1], uses.bytes[tensor]);
    } else if (with_inputs && reader && graph.tensors[tensor].kind == TensorKind::Input) {
      starting[1] = saturating_add(starting[1], uses.bytes[tensor]);
      ending[*reader + 1] = saturating_add(ending[*reader + 1], uses.bytes[tensor]);
    }
  }
  std::vector<std::uint64_t> crossing(ops + 1, 0);
  std::uint64_t live = 0;
  std::uint64_t least = std::numeric_limits<std::uint64_t>::max();
  for (std::size_t cut = 1; cut < ops; ++cut) {
    live = saturating_sub(saturating_add(live, starting[cut]), ending[cut]);
    crossing[cut] = live;
    least = std::min(least, live);
  }
  std::vector<std::uint64_t> cuts;
  for (std::size_t cut = 1; cut < ops; ++cut) {
    if (crossing[cut] == least) {
      cuts.push_back(cut);
    }
  }
  return cuts;
}

std::string op_range(const Graph& graph, std::uint64_t first, std::uint64_t last) {
  return first + 1 == last
             ? "operation " + graph.ops[first].name
             : "operations " + graph.ops[first].name + " to " + graph.ops[last - 1].name;
}

// The layers' first operations (see graph_layers), from the spans between
// the narrowest cuts. Each span gets a signature, its operations' kinds and
// output shapes interned as one number; then for every period p the
// maximal runs of spans equal to the span p further on are periodic
// stretches, of (run + p) / p whole repetitions; a graph that repeats
// nothing is one layer. Comparing every period is
// quadratic in the spans, a few million steps for thousands of spans, and
// stops once a period covers every span.
std::vector<std::uint64_t> layer_starts(const Graph& graph, const TensorUses& uses) {
  std::vector<std::uint64_t> points{0};
  const std::vector<std::uint64_t> cuts = narrowest_cuts(graph, uses, true);
  points.insert(points.end(), cuts.begin(), cuts.end());
  points.push_back(graph.ops.size());
  const std::size_t spans = points.size() - 1;

  std::map<std::string, std::size_t> interned;
  std::vector<std::size_t> signature;
  for (std::size_t span = 0; span < spans; ++span) {
    std::string text;
    for (std::uint64_t position = points[span]; position < points[span + 1]; ++position) {
      const Op& op = graph.ops[position];
      text += operation_name(op.kind);
      for (const std::uint64_t extent : graph.tensors[op.output.index].shape) {
        text += ' ' + std::to_string(extent);
      }
      text += ';';
    }
    signature.push_back(interned.try_emplace(std::move(text), interned.size()).first->second);
  }

  std::size_t best_period = 0;
  std::size_t best_start = 0;
  std::size_t best_repeats = 0;
  for (std::size_t period = 1; period <= spans / 2; ++period) {
    if (best_repeats * best_period == spans) {
      break;
    }
    std::size_t run_start = 0;
    for (std::size_t at = 0; at + period <= spans; ++at) {
      const bool repeats = at + period < spans && signature[at] == signature[at + period];
      if (repeats) {
        continue;
      }
      // [run_start, at) repeat the span `period` on: a stretch of
      // at - run_start + period spans.
      const std::size_t whole = (at - run_start + period) / period;
      if (whole >= 2 && whole * period > best_repeats * best_period) {
        best_period = period;
        best_start = run_start;
        best_repeats = whole;
      }
      run_start = at + 1;
    }
  }
  if (best_repeats == 0) {
    return {0};
  }
  std::vector<std::uint64_t> starts{0};
  for (std::size_t layer = 1; layer < best_repeats; ++layer) {
    starts.push_back(points[best_start + layer * best_period]);
  }
  return starts;
}

// The cuts that give each stage its count of layers.
Result<std::vector<std::uint64_t>> layer_cuts(const Graph& graph, const TensorUses& uses,
                                              const PipelineOptions& pipeline) {
  const std::vector<std::uint64_t>& counts = pipeline.layers_per_stage;
  if (!pipeline.cut_after.empty()) {
    return std::unexpected(refused("cut after named operations or by layers per stage, not both"));
  }
  if (pipeline.chips != 0 && counts.size() != pipeline.chips) {
    return std::unexpected(refused(std::to_string(counts.size()) + " layer counts make " +
                                   std::to_string(counts.size()) + " stages, not " +
                                   std::to_string(pipeline.chips)));
  }
  const std::vector<std::uint64_t> starts = layer_starts(graph, uses);
  std::uint64_t sum = 0;
  std::string terms;
  for (const std::uint64_t count : counts) {
    if (count == 0) {
      return std::unexpected(refused("layers per stage: a stage of 0 layers"));
    }
    sum = saturating_add(sum, count);
    terms += (terms.empty() ? "" : " + ") + std::to_string(count);
  }
  if (sum != starts.size()) {
    const std::uint64_t last = starts.size() > 1 ? starts[1] : graph.ops.size();
    return std::unexpected(refused("layers per stage add up to " + terms +
                                   (counts.size() > 1 ? " = " + std::to_string(sum) : "") +
                                   ", but the graph has " + std::to_string(starts.size()) +
                                   " layers (the first " + op_range(graph, 0, last) + ")"));
  }
  std::vector<std::uint64_t> cuts;
  std::uint64_t layer = 0;
  for (std::size_t stage = 0; stage + 1 < counts.size(); ++stage) {
    layer += counts[stage];
    cuts.push_back(starts[layer]);
  }
  return cuts;
}

// The cost table holds every pair of cut points and the search meets every
// segment that fits, so both grow with the square of the cut points: a
// chain of ten thousand operations, every cut as narrow as the next, would
// take a hundred million entries. Past this many candidate cuts, this many
// are kept, spread evenly over the candidates in graph order; the table then
// stays under 17 MB and the search exact over the cuts kept. Stacks of up to
// 512 blocks of two spans each keep every cut.
constexpr std::size_t kMostCandidateCuts = 1024;

std::vector<std::uint64_t> thinned(std::vector<std::uint64_t> cuts) {
  if (cuts.size() <= kMostCandidateCuts) {
    return cuts;
  }
  std::vector<std::uint64_t> kept;
  kept.reserve(kMostCandidateCuts);
  for (std::size_t k = 0; k < kMostCandidateCuts; ++k) {
    // The (k + 1)-th of kMostCandidateCuts + 1 equal shares of the list.
    kept.push_back(cuts[(k + 1) * cuts.size() / (kMostCandidateCuts + 1)]);
  }
  return kept;
}

// The cost table over `points`: a segment's operations' cycles plus the
// link cycles of what it receives from other chips, or none when what it
// holds from its first phase on cannot fit tile 0. Every weight and input
// of a stage graph is live from phase 0, and every layout starts at tile 0,
// so tile 0 holds a share of each at once: more than the window in all and
// no placement fits. That bound only grows as a segment grows, so each row
// stops at its first miss.
SegmentTable cost_table(const Graph& graph, const TensorUses& uses,
                        const std::vector<std::uint64_t>& cycles,
                        const std::vector<std::uint64_t>& points, const CompilerOptions& options,
                        const PipelineOptions& pipeline) {
  SegmentTable table(points.size());
  const std::uint64_t window = options.data_limit - options.data_base;
  std::vector<std::uint64_t> counted(graph.tensors.size(), 0);  // stamp: row + 1
  std::vector<std::uint64_t> tile0(graph.tensors.size(), 0);    // a source's share on tile 0
  for (const Tensor& tensor : graph.tensors) {
    tile0[tensor.id.index] = local_bytes(tensor, choose_layout(tensor, options.tile_count));
  }
  for (std::size_t first = 0; first + 1 < points.size(); ++first) {
    std::uint64_t op_sum = 0;
    std::uint64_t sources = 0;
    std::uint64_t received = 0;
    for (std::size_t last = first + 1; last < points.size(); ++last) {
      for (std::uint64_t position = points[last - 1]; position < points[last]; ++position) {
        const Op& op = graph.ops[position];
        op_sum = saturating_add(op_sum, cycles[position]);
        for (const TensorId input : op.inputs) {
          const std::uint64_t index = input.index;
          if (counted[index] == first + 1) {
            continue;
          }
          counted[index] = first + 1;
          const auto& producer = uses.producer[index];
          if (producer && *producer >= points[first]) {
            continue;  // computed inside the segment
          }
          sources = saturating_add(sources, tile0[index]);
          if (producer) {
            received = saturating_add(received, uses.bytes[index]);
          }
        }
      }
      if (sources > window) {
        break;
      }
      table.set(first, last,
                saturating_add(op_sum, link_cycles(received, pipeline.link_bytes_per_cycle)));
    }
  }
  return table;
}

// Why no split fits: the first smallest stage the cut points allow that
// does not fit one chip, with the fit diagnosis of its stage graph; or, when
// every one fits, that the chips ran out.
CompileError no_split(const Graph& graph, const TensorUses& uses, const SegmentTable& table,
                      const std::vector<std::uint64_t>& points, const CompilerOptions& options,
                      const PipelineOptions& pipeline, const std::stop_token& stop) {
  for (std::size_t first = 0; first + 1 < points.size(); ++first) {
    if (table.at(first, first + 1)) {
      continue;
    }
    const Graph stage = detail::stage_of(graph, uses, points[first], points[first + 1]).graph;
    const bool single = points[first] + 1 == points[first + 1];
    std::string message =
        single ? op_range(graph, points[first], points[first + 1]) + " alone does not fit one chip"
               : "the stage of " + op_range(graph, points[first], points[first + 1]) +
                     ", the smallest the cuts allow, does not fit one chip";
    if (auto diagnosis = diagnose_fit(stage, options, pipeline.planning, stop)) {
      message += ":\n" + misfit_lines(*diagnosis, failing_op_name(stage, *diagnosis));
      while (!message.empty() && message.back() == '\n') {
        message.pop_back();
      }
    }
    return CompileError::memory(std::move(message));
  }
  if (pipeline.chips == 0) {
    return CompileError::memory("no split fits on " + std::to_string(pipeline.max_chips) +
                                " chips or fewer");
  }
  return CompileError::memory("no split into " + std::to_string(pipeline.chips) +
                              " stages fits one chip each (" + std::to_string(points.size() - 1) +
                              " stages at most between the cut points)");
}

// Transfers into and out of every stage of a split; `whole` maps each
// stage's tensors to the graph's.
void link_stages(const Graph& graph, const TensorUses& uses,
                 const std::vector<std::vector<TensorId>>& whole,
                 std::vector<PipelineStage>& stages) {
  std::vector<std::uint64_t> chip_of_op(graph.ops.size(), 0);
  for (const PipelineStage& stage : stages) {
    for (const OpId op : stage.ops) {
      chip_of_op[op.index] = stage.chip;
    }
  }
  for (PipelineStage& stage : stages) {
    for (const Tensor& tensor : stage.graph.tensors) {
      if (tensor.kind != TensorKind::Input) {
        continue;
      }
      const std::uint64_t index = whole.at(stage.chip).at(tensor.id.index).index;
      const auto& producer = uses.producer[index];
      LinkTransfer transfer{.tensor = TensorId{index},
                            .name = tensor.name,
                            .from_chip = std::nullopt,
                            .to_chip = stage.chip,
                            .bytes = uses.bytes[index]};
      if (producer) {
        transfer.from_chip = chip_of_op[*producer];
        stages[*transfer.from_chip].sent.push_back(transfer);
      }
      stage.received.push_back(std::move(transfer));
    }
  }
}

}  // namespace

Result<Pipeline> compile_pipeline(const Graph& graph, const CompilerOptions& options,
                                  const PipelineOptions& pipeline, const std::stop_token& stop) {
  auto whole = detail::schedule_phases(graph, options, {});
  if (!whole) {
    return std::unexpected(std::move(whole.error()));
  }
  if (auto checked = check_options(pipeline); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  const std::uint64_t ops = graph.ops.size();
  if (ops == 0) {
    return std::unexpected(refused("the graph has no operations to split"));
  }
  if (pipeline.chips > ops) {
    return std::unexpected(refused("more chips (" + std::to_string(pipeline.chips) +
                                   ") than operations (" + std::to_string(ops) + ")"));
  }
  const TensorUses uses = detail::tensor_uses(graph);
  std::vector<std::uint64_t> cuts;
  if (!pipeline.layers_per_stage.empty()) {
    auto counted = layer_cuts(graph, uses, pipeline);
    if (!counted) {
      return std::unexpected(std::move(counted.error()));
    }
    cuts = std::move(*counted);
  } else if (!pipeline.cut_after.empty()) {
    auto named = manual_cuts(graph, pipeline.cut_after);
    if (!named) {
      return std::unexpected(std::move(named.error()));
    }
    if (pipeline.chips != 0 && named->size() + 1 != pipeline.chips) {
      return std::unexpected(refused(std::to_string(named->size()) + " cuts make " +
                                     std::to_string(named->size() + 1) + " stages, not " +
                                     std::to_string(pipeline.chips)));
    }
    cuts = std::move(*named);
  } else {
    cuts = thinned(narrowest_cuts(graph, uses));
  }
  std::vector<std::uint64_t> points{0};
  points.insert(points.end(), cuts.begin(), cuts.end());
  points.push_back(ops);

  const std::vector<std::uint64_t> cycles = op_cycles(graph, *whole, pipeline.cost);
  SegmentTable table = cost_table(graph, uses, cycles, points, options, pipeline);

  const bool by_hand = !pipeline.cut_after.empty() || !pipeline.layers_per_stage.empty();
  std::size_t stages = pipeline.chips;
  if (by_hand) {
    stages = cuts.size() + 1;
  } else if (stages == 0) {
    stages = 1;
  }
  const std::size_t most = pipeline.chips != 0 || by_hand
                               ? stages
                               : std::min<std::size_t>(pipeline.max_chips, points.size() - 1);
  Pipeline result;
  result.microbatches = pipeline.microbatches;
  std::map<std::pair<std::size_t, std::size_t>, std::pair<detail::StageGraph, Schedule>> compiled;
  std::optional<detail::Split> split;
  while (true) {
    throw_if_stopped(stop);
    split = detail::best_split(table, stages, pipeline.microbatches);
    if (!split) {
      if (stages < most) {
        ++stages;
        continue;
      }
      return std::unexpected(no_split(graph, uses, table, points, options, pipeline, stop));
    }
    bool all_fit = true;
    for (std::size_t k = 0; k + 1 < split->points.size(); ++k) {
      const std::pair segment{split->points[k], split->points[k + 1]};
      if (compiled.contains(segment)) {
        continue;
      }
      detail::StageGraph stage =
          detail::stage_of(graph, uses, points[segment.first], points[segment.second]);
      ++result.compiles;
      auto schedule = compile(stage.graph, options, pipeline.planning, stop);
      if (!schedule) {
        if (schedule.error().kind != CompileError::Kind::Memory) {
          return std::unexpected(std::move(schedule.error()));
        }
        table.set(segment.first, segment.second, std::nullopt);
        all_fit = false;
        continue;
      }
      compiled.emplace(segment, std::pair{std::move(stage), std::move(*schedule)});
    }
    if (all_fit) {
      break;
    }
  }

  std::uint64_t sum = 0;
  std::vector<std::vector<TensorId>> whole_of;
  for (std::size_t k = 0; k + 1 < split->points.size(); ++k) {
    auto& [stage_graph, schedule] = compiled.at({split->points[k], split->points[k + 1]});
    PipelineStage stage;
    stage.chip = k;
    for (std::uint64_t op = points[split->points[k]]; op < points[split->points[k + 1]]; ++op) {
      stage.ops.push_back(OpId{op});
    }
    stage.graph = std::move(stage_graph.graph);
    whole_of.push_back(std::move(stage_graph.whole));
    stage.schedule = std::move(schedule);
    for (const double phase : phase_cycles(stage.graph, stage.schedule, pipeline.cost)) {
      stage.compute_cycles = saturating_add(stage.compute_cycles, whole_cycles(phase));
    }
    result.stages.push_back(std::move(stage));
  }
  link_stages(graph, uses, whole_of, result.stages);
  std::uint64_t slowest = 0;
  for (PipelineStage& stage : result.stages) {
    std::uint64_t received = 0;
    for (const LinkTransfer& transfer : stage.received) {
      received += transfer.from_chip ? transfer.bytes : 0;
    }
    stage.cycles =
        saturating_add(stage.compute_cycles, link_cycles(received, pipeline.link_bytes_per_cycle));
    std::ranges::sort(stage.sent, [](const LinkTransfer& a, const LinkTransfer& b) {
      return std::pair{a.tensor, a.to_chip} < std::pair{b.tensor, b.to_chip};
    });
    sum = saturating_add(sum, stage.cycles);
    if (stage.cycles > slowest) {
      slowest = stage.cycles;
      result.bottleneck = stage.chip;
    }
  }
  result.total_cycles = detail::pipeline_cycles(sum, slowest, pipeline.microbatches);
  const auto total = static_cast<double>(result.total_cycles);
  result.cycles_per_microbatch = total / static_cast<double>(pipeline.microbatches);
  if (result.total_cycles != 0) {
    const double busy = static_cast<double>(sum) * static_cast<double>(pipeline.microbatches);
    result.bubble_fraction = 1.0 - busy / (static_cast<double>(result.stages.size()) * total);
  }
  return result;
}

Result<std::vector<std::uint64_t>> graph_layers(const Graph& graph) {
  if (auto valid = graph.validate(); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  if (graph.ops.empty()) {
    return std::unexpected(refused("the graph has no operations to split"));
  }
  return layer_starts(graph, detail::tensor_uses(graph));
}

std::vector<std::string> check_pipeline(const Graph& graph, const Pipeline& pipeline) {
  std::vector<std::string> problems;
  std::vector<std::uint64_t> stage_of_op(graph.ops.size(), 0);
  std::vector<std::uint64_t> times(graph.ops.size(), 0);
  std::optional<std::uint64_t> previous;
  for (std::size_t index = 0; index < pipeline.stages.size(); ++index) {
    const PipelineStage& stage = pipeline.stages[index];
    const std::string where = "stage " + std::to_string(index);
    if (stage.chip != index) {
      problems.push_back(where + " runs on chip " + std::to_string(stage.chip));
    }
    if (stage.ops.empty()) {
      problems.push_back(where + " has no operations");
    }
    if (stage.graph.ops.size() != stage.ops.size()) {
      problems.push_back(where + "'s graph has " + std::to_string(stage.graph.ops.size()) +
                         " operations, not " + std::to_string(stage.ops.size()));
    }
    for (std::size_t k = 0; k < stage.ops.size(); ++k) {
      const OpId op = stage.ops[k];
      if (op.index >= graph.ops.size()) {
        problems.push_back(where + " names operation " + std::to_string(op.index) +
                           ", which the graph does not have");
        continue;
      }
      ++times[op.index];
      stage_of_op[op.index] = index;
      if (previous && op.index <= *previous) {
        problems.push_back(where + " runs " + graph.ops[op.index].name + " out of graph order");
      }
      previous = op.index;
      if (k < stage.graph.ops.size() && (stage.graph.ops[k].name != graph.ops[op.index].name ||
                                         stage.graph.ops[k].kind != graph.ops[op.index].kind)) {
        problems.push_back(where + "'s graph does not hold " + graph.ops[op.index].name +
                           " at position " + std::to_string(k));
      }
    }
  }
  for (std::size_t op = 0; op < graph.ops.size(); ++op) {
    if (times[op] != 1) {
      problems.push_back("operation " + graph.ops[op].name + " is in " + std::to_string(times[op]) +
                         " stages");
    }
  }
  // Every stage input: a graph input, or computed by an earlier stage that
  // sends it here.
  for (std::size_t index = 0; index < pipeline.stages.size(); ++index) {
    const PipelineStage& stage = pipeline.stages[index];
    for (const Tensor& input : stage.graph.tensors) {
      if (input.kind != TensorKind::Input) {
        continue;
      }
      const bool supplied = std::ranges::any_of(graph.tensors, [&](const Tensor& tensor) {
        if (tensor.name != input.name) {
          return false;
        }
        if (!tensor.producer) {
          return true;  // from the host
        }
        const std::uint64_t from = stage_of_op.at(tensor.producer->index);
        return from < index &&
               std::ranges::any_of(pipeline.stages[from].sent, [&](const LinkTransfer& sent) {
                 return sent.tensor == tensor.id && sent.to_chip == index;
               });
      });
      if (!supplied) {
        problems.push_back("stage " + std::to_string(index) + " input " + input.name +
                           " is neither a graph input nor sent by an earlier stage");
      }
    }
  }
  for (const TensorId output : graph.outputs) {
    const Tensor& tensor = graph.tensors.at(output.index);
    if (!tensor.producer || times.at(tensor.producer->index) == 0) {
      continue;
    }
    const Graph& stage = pipeline.stages.at(stage_of_op[tensor.producer->index]).graph;
    const bool yielded = std::ranges::any_of(stage.outputs, [&](TensorId id) {
      return id.index < stage.tensors.size() && stage.tensors[id.index].name == tensor.name;
    });
    if (!yielded) {
      problems.push_back("output " + tensor.name + " is not an output of the stage computing it");
    }
  }
  return problems;
}

std::ostream& operator<<(std::ostream& out, const PipelineOptions& options) {
  return write_record(out, options);
}
std::ostream& operator<<(std::ostream& out, const LinkTransfer& transfer) {
  return write_record(out, transfer);
}
std::ostream& operator<<(std::ostream& out, const PipelineStage& stage) {
  return write_record(out, stage);
}
std::ostream& operator<<(std::ostream& out, const Pipeline& pipeline) {
  return write_record(out, pipeline);
}

}  // namespace zelk_compiler
