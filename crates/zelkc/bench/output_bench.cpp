// Writing a compiled schedule's outputs: the schedule document (--emit json),
// the printed form (--emit text), the timeline (--trace), the HTML report
// (--report) and the memory map of tile 0 (--memory-map), for the default
// block and for a 12-layer BERT-base stack on 1,472 tiles. Each case includes
// the summary it needs, as zelkc computes it once per run.
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

#include <zelk_compiler/lib.hpp>

#include "formats/schedule_json.hpp"
#include "outputs/memory_map.hpp"
#include "outputs/report.hpp"
#include "outputs/summary.hpp"
#include "outputs/trace.hpp"

namespace zelkc {
namespace {

namespace zc = zelk_compiler;

struct Workload {
  zc::Graph graph;
  zc::CompilerOptions options;
  zc::Schedule schedule;
};

Workload make_workload(zc::Result<zc::Graph> graph, zc::CompilerOptions options) {
  if (!graph) {
    throw std::runtime_error(zc::debug_string(graph.error()));
  }
  auto schedule = zc::compile(*graph, options);
  if (!schedule) {
    throw std::runtime_error(zc::debug_string(schedule.error()));
  }
  return Workload{std::move(*graph), options, std::move(*schedule)};
}

const Workload& encoder_default() {
  static const Workload workload = make_workload(zc::encoder_graph({}), {});
  return workload;
}

const Workload& bert_base_1472() {
  static const Workload workload =
      make_workload(zc::encoder_stack_graph(
                        {.sequence = 384, .hidden = 768, .heads = 12, .feed_forward = 3072}, 12),
                    {.tile_count = 1472});
  return workload;
}

void report_bytes(benchmark::State& state, const std::string& text) {
  state.counters["bytes"] = static_cast<double>(text.size());
}

void BM_EmitJson(benchmark::State& state, const Workload& (*workload)()) {
  const Workload& w = workload();
  std::string text;
  for (auto _ : state) {
    text = write_schedule_json(w.graph, w.options, w.schedule);
    benchmark::DoNotOptimize(text.data());
  }
  report_bytes(state, text);
}

// The printed form alone, without the indentation --emit text adds to it.
void BM_PrintedForm(benchmark::State& state, const Workload& (*workload)()) {
  const Workload& w = workload();
  std::string text;
  for (auto _ : state) {
    text = zc::debug_string(w.schedule);
    benchmark::DoNotOptimize(text.data());
  }
  report_bytes(state, text);
}

void BM_Trace(benchmark::State& state, const Workload& (*workload)()) {
  const Workload& w = workload();
  std::string text;
  for (auto _ : state) {
    const Summary summary = summarize(w.graph, w.schedule);
    text = trace_json(w.graph, w.schedule, summary, {}, "bench");
    benchmark::DoNotOptimize(text.data());
  }
  report_bytes(state, text);
}

void BM_Report(benchmark::State& state, const Workload& (*workload)()) {
  const Workload& w = workload();
  std::string text;
  for (auto _ : state) {
    const Summary summary = summarize(w.graph, w.schedule);
    text = report_html(w.graph, w.schedule, summary,
                       {.workload = "bench", .options = w.options, .compile_time = {}}, 0);
    benchmark::DoNotOptimize(text.data());
  }
  report_bytes(state, text);
}

void BM_MemoryMap(benchmark::State& state, const Workload& (*workload)()) {
  const Workload& w = workload();
  std::string text;
  for (auto _ : state) {
    text = memory_map_svg(w.graph, w.options, w.schedule, 0);
    benchmark::DoNotOptimize(text.data());
  }
  report_bytes(state, text);
}

BENCHMARK_CAPTURE(BM_EmitJson, encoder_default, encoder_default)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PrintedForm, encoder_default, encoder_default)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Trace, encoder_default, encoder_default)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Report, encoder_default, encoder_default)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MemoryMap, encoder_default, encoder_default)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_EmitJson, bert_base_1472, bert_base_1472)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PrintedForm, bert_base_1472, bert_base_1472)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Trace, bert_base_1472, bert_base_1472)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Report, bert_base_1472, bert_base_1472)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MemoryMap, bert_base_1472, bert_base_1472)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zelkc

BENCHMARK_MAIN();
