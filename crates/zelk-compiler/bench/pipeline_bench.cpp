// Pipeline benchmarks: the 24-layer BERT-large stack (sequence 384) that
// does not fit one chip of 1,472 tiles, compiled as a pipeline on the fewest
// chips, beside one compile of the whole stack on a single chip whose window
// is widened until it fits; and chains of thousands of products, every cut
// a candidate, where the table of stage costs would grow with the square of
// the cuts.
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

#include "zelk_compiler/lib.hpp"

namespace zelk_compiler::bench {
namespace {

const Graph& bert_large() {
  static const Graph graph = [] {
    auto built = encoder_stack_graph(
        EncoderConfig{.sequence = 384, .hidden = 1024, .heads = 16, .feed_forward = 4096}, 24);
    if (!built) {
      throw std::runtime_error(debug_string(built.error()));
    }
    return std::move(*built);
  }();
  return graph;
}

void BM_CompilePipeline_bert_large(benchmark::State& state) {
  const CompilerOptions options{.tile_count = 1472};
  std::size_t chips = 0;
  std::uint64_t compiles = 0;
  for (auto _ : state) {
    auto pipeline = compile_pipeline(bert_large(), options, PipelineOptions{});
    if (!pipeline) {
      state.SkipWithError(debug_string(pipeline.error()).c_str());
      return;
    }
    chips = pipeline->stages.size();
    compiles = pipeline->compiles;
    benchmark::DoNotOptimize(pipeline);
  }
  state.counters["chips"] = static_cast<double>(chips);
  state.counters["stage_compiles"] = static_cast<double>(compiles);
}
BENCHMARK(BM_CompilePipeline_bert_large)->Unit(benchmark::kMillisecond);

// The window widened from 581,632 to 851,968 bytes, past the stack's peak.
void BM_Compile_bert_large_wide_chip(benchmark::State& state) {
  const CompilerOptions options{.tile_count = 1472, .data_limit = 0x122000};
  for (auto _ : state) {
    auto schedule = compile(bert_large(), options);
    if (!schedule) {
      state.SkipWithError(debug_string(schedule.error()).c_str());
      return;
    }
    benchmark::DoNotOptimize(schedule);
  }
}
BENCHMARK(BM_Compile_bert_large_wide_chip)->Unit(benchmark::kMillisecond);

// A chain of `ops` products of 64 x 64 weights on 16 tiles: about 2 chips
// per 1,000 products.
Graph product_chain(std::uint64_t ops) {
  Graph graph;
  TensorId x = graph.input("x", {16, 64});
  for (std::uint64_t op = 0; op < ops; ++op) {
    // Appended, as g++ 12 at -O3 misreads "m" + number as an overlapping copy.
    const std::string number = std::to_string(op);
    std::string product = "m";
    product += number;
    std::string weight = "w";
    weight += number;
    x = graph.matmul(product, x, graph.weight(weight, {64, 64})).value();
  }
  graph.mark_output(x);
  return graph;
}

void BM_CompilePipeline_product_chain(benchmark::State& state) {
  const Graph graph = product_chain(static_cast<std::uint64_t>(state.range(0)));
  const CompilerOptions options{.tile_count = 16};
  std::size_t chips = 0;
  for (auto _ : state) {
    auto pipeline = compile_pipeline(graph, options, PipelineOptions{.microbatches = 8});
    if (!pipeline) {
      state.SkipWithError(debug_string(pipeline.error()).c_str());
      return;
    }
    chips = pipeline->stages.size();
    benchmark::DoNotOptimize(pipeline);
  }
  state.counters["chips"] = static_cast<double>(chips);
}
BENCHMARK(BM_CompilePipeline_product_chain)
    ->Arg(1000)
    ->Arg(3000)
    ->Arg(6000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
}  // namespace zelk_compiler::bench
