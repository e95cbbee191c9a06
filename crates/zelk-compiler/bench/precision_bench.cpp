// Precision benchmarks: converting a 12-layer BERT-base stack with its
// weights to float16, and compiling the stack on 1,472 tiles in float32 and
// in float16 side by side.
#include <benchmark/benchmark.h>

#include <array>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "zelk_compiler/lib.hpp"

namespace zelk_compiler::bench {
namespace {

constexpr EncoderConfig kBertBase{
    .sequence = 384, .hidden = 768, .heads = 12, .feed_forward = 3072};
constexpr std::uint64_t kLayers = 12;

const Graph& bert_base() {
  static const Graph graph = [] {
    auto built = encoder_stack_graph(kBertBase, kLayers);
    if (!built) {
      throw std::runtime_error(debug_string(built.error()));
    }
    return std::move(*built);
  }();
  return graph;
}

// Every layer's six weights (the deterministic ones, the same in each layer).
const TensorValues& bert_base_weights() {
  static const TensorValues values = [] {
    const EncoderWeights weights = EncoderWeights::deterministic(kBertBase);
    TensorValues all;
    const std::array<std::pair<const char*, const std::vector<float>*>, 6> matrices{{
        {"wq", &weights.wq},
        {"wk", &weights.wk},
        {"wv", &weights.wv},
        {"wo", &weights.wo},
        {"w1", &weights.w1},
        {"w2", &weights.w2},
    }};
    for (std::uint64_t layer = 0; layer < kLayers; ++layer) {
      for (const auto& [suffix, matrix] : matrices) {
        // Built by appends: g++ 12 at -O3 misreads a chain of + as an
        // overlapping copy.
        std::string name = "l";
        name += std::to_string(layer);
        name += '.';
        name += suffix;
        all.emplace(std::move(name), *matrix);
      }
    }
    return all;
  }();
  return values;
}

void BM_ConvertPrecision_bert_base(benchmark::State& state) {
  const TensorValues& weights = bert_base_weights();
  std::uint64_t elements = 0;
  for (const auto& [name, values] : weights) {
    elements += values.size();
  }
  for (auto _ : state) {
    auto converted = convert_precision(bert_base(), weights, PrecisionOptions{});
    if (!converted) {
      state.SkipWithError(debug_string(converted.error()).c_str());
      return;
    }
    benchmark::DoNotOptimize(converted);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(elements));
}
BENCHMARK(BM_ConvertPrecision_bert_base)->Unit(benchmark::kMillisecond);

void BM_CompileBertBase(benchmark::State& state, DType precision) {
  Graph graph = bert_base();
  if (precision != DType::F32) {
    auto converted = convert_precision(graph, {}, PrecisionOptions{.target = precision});
    if (!converted) {
      state.SkipWithError(debug_string(converted.error()).c_str());
      return;
    }
    graph = std::move(converted->graph);
  }
  const CompilerOptions options{.tile_count = 1472};
  for (auto _ : state) {
    auto schedule = compile(graph, options);
    if (!schedule) {
      state.SkipWithError(debug_string(schedule.error()).c_str());
      return;
    }
    benchmark::DoNotOptimize(schedule);
  }
}
BENCHMARK_CAPTURE(BM_CompileBertBase, f32, DType::F32)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CompileBertBase, f16, DType::F16)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zelk_compiler::bench
