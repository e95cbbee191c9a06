// Compile-time benchmarks: the default block, a 12-layer BERT-base stack on
// 1,472 tiles and a stack where activations matter (both with first fit and
// with `best`), the memory planner against its literal oracle, and a long
// chain of buffers that all stay live.
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

#include "counting_allocator.hpp"
#include "support/literal_planner.hpp"
#include "support/random_graphs.hpp"
#include "zelk_compiler/lib.hpp"

namespace zelk_compiler::bench {
namespace {

struct Workload {
  Graph graph;
  CompilerOptions options;
  Schedule schedule;
};

template <class T>
T value_or_throw(Result<T> result) {
  if (!result) {
    throw std::runtime_error(debug_string(result.error()));
  }
  return std::move(*result);
}

Workload make_workload(Graph graph, CompilerOptions options) {
  Schedule schedule = value_or_throw(compile(graph, options));
  return Workload{std::move(graph), options, std::move(schedule)};
}

const Workload& encoder_default() {
  static const Workload workload =
      make_workload(value_or_throw(encoder_graph(EncoderConfig{})), CompilerOptions{});
  return workload;
}

const Workload& bert_base_1472() {
  static const Workload workload = make_workload(
      value_or_throw(encoder_stack_graph(
          EncoderConfig{.sequence = 384, .hidden = 768, .heads = 12, .feed_forward = 3072}, 12)),
      CompilerOptions{.tile_count = 1472});
  return workload;
}

// Where activations matter: first fit peaks 9 % above the lower bound on
// both of its tile groups, so `best` runs the placement solver on each.
const Workload& stack_4x2048() {
  static const Workload workload = make_workload(
      value_or_throw(encoder_stack_graph(
          EncoderConfig{.sequence = 2048, .hidden = 128, .heads = 4, .feed_forward = 256}, 4)),
      CompilerOptions{.tile_count = 128});
  return workload;
}

// 2,000 gelu operations in a chain of [1, 64] tensors on one tile, every
// result an output, so that every buffer stays live to the end.
const Workload& chain_2000() {
  static const Workload workload = [] {
    Graph graph;
    TensorId x = graph.input("x", {1, 64});
    for (int i = 0; i < 2000; ++i) {
      x = value_or_throw(graph.gelu(test_support::numbered("g", static_cast<std::uint64_t>(i)), x));
      graph.mark_output(x);
    }
    return make_workload(std::move(graph), CompilerOptions{.tile_count = 1});
  }();
  return workload;
}

std::size_t command_count(const Schedule& schedule) {
  std::size_t commands = 0;
  for (const Phase& phase : schedule.phases) {
    if (const auto* compute = std::get_if<Compute>(&phase)) {
      commands += compute->commands.size();
    }
  }
  return commands;
}

void BM_Compile(benchmark::State& state, const Workload& (*workload)(),
                PlacementStrategy strategy) {
  const Workload& w = workload();
  const PlanningOptions planning{.strategy = strategy};
  for (auto _ : state) {
    auto schedule = compile(w.graph, w.options, planning);
    benchmark::DoNotOptimize(schedule);
  }
  // One more run, untimed, to measure the heap: the high-water mark during
  // compile against what the returned schedule keeps.
  const std::size_t before = heap_counters().current;
  reset_heap_peak();
  std::size_t kept = 0;
  std::size_t peak = 0;
  {
    auto schedule = compile(w.graph, w.options, planning);
    kept = heap_counters().current - before;
    peak = heap_counters().peak - before;
    benchmark::DoNotOptimize(schedule);
  }
  state.counters["allocations"] = static_cast<double>(w.schedule.allocations.size());
  state.counters["commands"] = static_cast<double>(command_count(w.schedule));
  state.counters["peak_heap_MiB"] = static_cast<double>(peak) / (1 << 20);
  state.counters["schedule_heap_MiB"] = static_cast<double>(kept) / (1 << 20);
  state.counters["peak_over_schedule"] = static_cast<double>(peak) / static_cast<double>(kept);
}
BENCHMARK_CAPTURE(BM_Compile, encoder_default, &encoder_default, PlacementStrategy::FirstFit)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Compile, bert_base_1472, &bert_base_1472, PlacementStrategy::FirstFit)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compile, bert_base_1472_best, &bert_base_1472, PlacementStrategy::Best)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compile, stack_4x2048, &stack_4x2048, PlacementStrategy::FirstFit)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Compile, stack_4x2048_best, &stack_4x2048, PlacementStrategy::Best)
    ->Unit(benchmark::kMillisecond);

// A deep copy of the compiled schedule: the floor for producing it.
void BM_ScheduleCopy(benchmark::State& state, const Workload& (*workload)()) {
  const Workload& w = workload();
  for (auto _ : state) {
    Schedule copy = w.schedule;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK_CAPTURE(BM_ScheduleCopy, bert_base_1472, &bert_base_1472)->Unit(benchmark::kMillisecond);

using Planner = Result<std::vector<Allocation>> (*)(const Graph&, std::span<const Layout>,
                                                    std::span<const Phase>, const CompilerOptions&);

void run_planner(benchmark::State& state, const Workload& w, Planner planner) {
  for (auto _ : state) {
    auto plan = planner(w.graph, w.schedule.layouts, w.schedule.phases, w.options);
    benchmark::DoNotOptimize(plan);
  }
  state.counters["allocations"] = static_cast<double>(w.schedule.allocations.size());
}

void BM_PlanMemory(benchmark::State& state, const Workload& (*workload)()) {
  run_planner(state, workload(), &plan_memory);
}
void BM_PlanMemoryLiteral(benchmark::State& state, const Workload& (*workload)()) {
  run_planner(state, workload(), &test_support::plan_memory_literal);
}
BENCHMARK_CAPTURE(BM_PlanMemory, bert_base_1472, &bert_base_1472)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PlanMemoryLiteral, bert_base_1472, &bert_base_1472)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PlanMemory, chain_2000, &chain_2000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PlanMemoryLiteral, chain_2000, &chain_2000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zelk_compiler::bench
