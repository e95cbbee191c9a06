// A graph too large for one chip compiled as a pipeline: its operations cut
// into consecutive stages, one chip each, every chip alike, with the values
// that cross a cut sent over the chip-to-chip link and a stream of
// microbatches keeping the chips busy.
//
// Each stage is an ordinary graph compiled by `compile`: every value it
// receives from an earlier stage or from the host is one of its inputs,
// every value it sends on (or that is an output of the whole graph) one of
// its outputs, and tensor names are those of the whole graph, so values pass
// between stages by name. A weight used on two chips lives on both; a value
// used by several later stages is sent once to each chip that needs it.
//
// Time, in cycles of the cost model (zelk_compiler/cost_model.hpp): a
// stage takes the estimated cycles of its schedule plus the link cycles of
// the bytes it receives from other chips (a transfer is charged to the stage
// that waits for it; values from the host are not charged, as they are not
// for a single chip). With B microbatches the pipeline takes
//   (sum of stage times) + (B - 1) x (slowest stage time),
// the first microbatch filling the pipeline and every later one leaving it
// at the pace of the slowest stage.
//
// Choosing the cuts: cuts are considered only where the values crossing
// them are the fewest bytes any cut in graph order has (between the blocks
// of a layer stack, where one hidden state crosses), after the operations a
// caller names, or between the layers a caller counts. Over those cut
// points a dynamic programme finds the split with the least pipeline time,
// exactly: for every candidate slowest-stage time T it finds the least sum
// of stage times with every stage at most T, and keeps the best sum +
// (B - 1) x T. Which stages fit a chip is decided by the memory planner
// itself, lazily: the shares of a stage's weights and inputs on tile 0, all
// live from its first phase, are a lower bound that rules most stages out
// cheaply; the split found is then compiled stage by stage, a stage that does not fit is struck out
// and the search runs again, until every stage of the best split compiles. So the result is the
// best split among those whose stages compile, and only stages that could be part of it are
// compiled. Past 1,024 candidate cuts, 1,024 spread evenly over them are kept, which bounds the
// table of stage costs (and the search over it) on graphs of thousands of operations.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <stop_token>
#include <string>
#include <type_traits>
#include <vector>

#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/cost_model.hpp"
#include "zelk_compiler/error.hpp"
#include "zelk_compiler/fields.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {

struct PipelineOptions {
  // Stages, one chip each: 0 for the fewest that fit (searched up to
  // `max_chips`), N for exactly N.
  std::uint64_t chips = 0;
  std::uint64_t max_chips = 16;
  std::uint64_t microbatches = 1;
  // Bytes the link between two chips carries per cycle.
  std::uint64_t link_bytes_per_cycle = 64;
  CostModel cost = {};
  PlanningOptions planning = {};
  // A manual split: cut after each operation named here (in any order).
  // With `chips` 0 the stages are those the cuts make; otherwise there must
  // be chips - 1 of them.
  // Initialised so that designated initialisers may leave it out without a
  // missing-initialiser warning.
  std::vector<std::string> cut_after = {};  // NOLINT(readability-redundant-member-init)
  // A manual split by layers (see graph_layers): so many consecutive layers
  // per stage, adding up to the graph's layers; with `chips` not 0, one
  // count per chip. Not together with `cut_after`.
  std::vector<std::uint64_t> layers_per_stage = {};  // NOLINT(readability-redundant-member-init)

  friend bool operator==(const PipelineOptions&, const PipelineOptions&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<PipelineOptions>) {
  return describe_record<PipelineOptions>(
      "PipelineOptions", field("chips", &PipelineOptions::chips),
      field("max_chips", &PipelineOptions::max_chips),
      field("microbatches", &PipelineOptions::microbatches),
      field("link_bytes_per_cycle", &PipelineOptions::link_bytes_per_cycle),
      field("cost", &PipelineOptions::cost), field("planning", &PipelineOptions::planning),
      field("cut_after", &PipelineOptions::cut_after),
      field("layers_per_stage", &PipelineOptions::layers_per_stage));
}

// One value sent to a chip: from the chip of an earlier stage, or from the
// host (no `from_chip`). `tensor` is the whole graph's id.
struct LinkTransfer {
  TensorId tensor;
  std::string name;
  std::optional<std::uint64_t> from_chip;
  std::uint64_t to_chip = 0;
  std::uint64_t bytes = 0;

  friend bool operator==(const LinkTransfer&, const LinkTransfer&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<LinkTransfer>) {
  return describe_record<LinkTransfer>(
      "LinkTransfer", field("tensor", &LinkTransfer::tensor), field("name", &LinkTransfer::name),
      field("from_chip", &LinkTransfer::from_chip), field("to_chip", &LinkTransfer::to_chip),
      field("bytes", &LinkTransfer::bytes));
}

struct PipelineStage {
  std::uint64_t chip = 0;
  std::vector<OpId> ops;               // the whole graph's, consecutive, in graph order
  Graph graph;                         // the stage graph, with the whole graph's tensor names
  Schedule schedule;                   // `compile` of `graph` on one chip
  std::vector<LinkTransfer> received;  // by tensor id
  std::vector<LinkTransfer> sent;      // by tensor id, then chip
  std::uint64_t compute_cycles = 0;    // the schedule's phases
  // The compute cycles and those of receiving from other chips.
  std::uint64_t cycles = 0;

  friend bool operator==(const PipelineStage&, const PipelineStage&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<PipelineStage>) {
  return describe_record<PipelineStage>(
      "PipelineStage", field("chip", &PipelineStage::chip), field("ops", &PipelineStage::ops),
      field("graph", &PipelineStage::graph), field("schedule", &PipelineStage::schedule),
      field("received", &PipelineStage::received), field("sent", &PipelineStage::sent),
      field("compute_cycles", &PipelineStage::compute_cycles),
      field("cycles", &PipelineStage::cycles));
}

struct Pipeline {
  std::vector<PipelineStage> stages;
  std::uint64_t microbatches = 1;
  std::uint64_t bottleneck = 0;    // the first slowest stage
  std::uint64_t total_cycles = 0;  // every microbatch through every stage
  double cycles_per_microbatch = 0;
  // The share of chip time spent waiting: 1 - busy / (chips x total).
  double bubble_fraction = 0;
  // Stage graphs compiled while choosing the cuts.
  std::uint64_t compiles = 0;

  friend bool operator==(const Pipeline&, const Pipeline&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Pipeline>) {
  return describe_record<Pipeline>(
      "Pipeline", field("stages", &Pipeline::stages),
      field("microbatches", &Pipeline::microbatches), field("bottleneck", &Pipeline::bottleneck),
      field("total_cycles", &Pipeline::total_cycles),
      field("cycles_per_microbatch", &Pipeline::cycles_per_microbatch),
      field("bubble_fraction", &Pipeline::bubble_fraction), field("compiles", &Pipeline::compiles));
}

// The stage graph of the operations [first, last) of `graph` (positions in
// graph order), as described above. Fails as `validate` does for an invalid
// graph, and with a `Graph` error for an empty or out-of-range span.
[[nodiscard]] Result<Graph> stage_graph(const Graph& graph, std::uint64_t first,
                                        std::uint64_t last);

// The graph's layers, as the positions (in graph order) of the operations
// that start them; the first is 0. A layer is one repetition of the block
// the graph repeats most: the spans between the cuts where the fewest bytes
// cross (the graph's inputs counted) are compared by their
// operations' kinds and output shapes, and the longest run of spans
// repeating with some period (the shortest period on a tie, the earliest
// run) makes a layer of every period. What comes before the run joins the
// first layer (an embedding), what comes after it the last (an output
// head). A graph that repeats nothing is one layer. So a stack of
// 24 encoder blocks has 24 layers, whatever its first and last operations.
// Fails as `validate` does for an invalid graph, and for one without
// operations.
[[nodiscard]] Result<std::vector<std::uint64_t>> graph_layers(const Graph& graph);

// Compiles `graph` as a pipeline of stages on chips alike with `options`.
// Fails with a `Graph` error for an invalid graph, options (no tiles, an
// empty window) or pipeline options (microbatches, max_chips with chips 0,
// a rate of 0; a cut after an unknown, repeated or the last operation, or
// a count of cuts that does not match `chips`; layers per stage with a
// count of 0, a sum other than the graph's layers, a count of stages other
// than `chips`, or given with cuts; more chips than operations), and with a `Memory` error when no
// split fits: naming the single operation or smallest stage that does not fit one chip, with the
// fit diagnosis for it, or saying how many chips the search went up to.
// Deterministic. A stop requested on `stop` throws Stopped at the next
// search round or within a stage's compile.
[[nodiscard]] Result<Pipeline> compile_pipeline(const Graph& graph, const CompilerOptions& options,
                                                const PipelineOptions& pipeline,
                                                const std::stop_token& stop = {});

// Every way `pipeline` fails to be a sound split of `graph`, one line each;
// empty when it is sound: each operation in exactly one stage, stages in
// graph order on chips 0, 1, ...; each stage graph holding its operations
// (names, kinds) and every input of it either a source tensor of the whole
// graph (from the host) or a value an earlier stage computes and sends to
// it; every output of the whole graph computed by some stage and an output
// of its graph.
[[nodiscard]] std::vector<std::string> check_pipeline(const Graph& graph, const Pipeline& pipeline);

std::ostream& operator<<(std::ostream& out, const PipelineOptions& options);
std::ostream& operator<<(std::ostream& out, const LinkTransfer& transfer);
std::ostream& operator<<(std::ostream& out, const PipelineStage& stage);
std::ostream& operator<<(std::ostream& out, const Pipeline& pipeline);

}  // namespace zelk_compiler
