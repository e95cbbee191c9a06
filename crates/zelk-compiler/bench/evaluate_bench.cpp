// Host evaluation of whole graphs: the encoder stack of the compiler
// benchmarks, and a BERT-base encoder as an exported PyTorch model's graph
// has it (projections with biases, heads split by reshape and transpose,
// scaled scores, layer norms with gain and bias, exact GELU), at sequence 128,
// and one of its layers in each float type, side by side.
// bench/evaluate_vs_pytorch.py times the latter beside PyTorch's forward pass
// of the same model.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/literal_evaluation.hpp"
#include "support/random_graphs.hpp"
#include "zelk_compiler/encoder.hpp"
#include "zelk_compiler/evaluate.hpp"

namespace zelk_compiler::bench {
namespace {

struct BertShape {
  std::uint64_t layers = 12;
  std::uint64_t sequence = 128;
  std::uint64_t hidden = 768;
  std::uint64_t heads = 12;
  std::uint64_t feed_forward = 3072;
  DType dtype = DType::F32;
};

// Builds one BERT layer at a time; every builder call must succeed.
class BertBuilder {
 public:
  BertBuilder(Graph& graph, TensorValues& values, BertShape shape)
      : graph_(graph), values_(values), shape_(shape) {}

  TensorId layer(TensorId x, const std::string& prefix) {
    prefix_ = prefix;
    const std::uint64_t s = shape_.sequence;
    const std::uint64_t h = shape_.hidden;
    const std::uint64_t heads = shape_.heads;
    const std::uint64_t d = h / heads;
    const TensorId q = split_heads(linear(x, h, h, "query"), "query", {0, 2, 1, 3});
    const TensorId k = split_heads(linear(x, h, h, "key"), "key", {0, 2, 3, 1});
    const TensorId v = split_heads(linear(x, h, h, "value"), "value", {0, 2, 1, 3});
    const TensorId scale = weight("scale", {1}, {std::sqrt(static_cast<float>(d))});
    const TensorId scores = ok(graph_.elementwise(
        name("scores"), Div{}, ok(graph_.batch_matmul(name("qk"), q, k)), scale));
    const TensorId probabilities = ok(graph_.softmax(name("probabilities"), scores, 3));
    const TensorId context = ok(graph_.batch_matmul(name("context"), probabilities, v));
    const TensorId merged = ok(graph_.reshape(
        name("merged"), ok(graph_.transpose(name("context_t"), context, {0, 2, 1, 3})), {1, s, h}));
    const TensorId attended =
        norm(ok(graph_.elementwise(name("residual1"), Add{}, x, linear(merged, h, h, "output"))),
             "norm1");
    const TensorId up =
        ok(graph_.unary(name("gelu"), GeluErf{}, linear(attended, h, shape_.feed_forward, "up")));
    const TensorId down = linear(up, shape_.feed_forward, h, "down");
    return norm(ok(graph_.elementwise(name("residual2"), Add{}, attended, down)), "norm2");
  }

 private:
  static TensorId ok(const Result<TensorId>& result) {
    if (!result) {
      throw std::logic_error(result.error().message);
    }
    return *result;
  }

  std::string name(const std::string& base) const { return prefix_ + base; }

  // Weights spread as trained ones are, from a fixed seed.
  TensorId weight(const std::string& base, std::vector<std::uint64_t> shape,
                  std::vector<float> value = {}) {
    if (value.empty()) {
      std::uint64_t count = 1;
      for (const std::uint64_t extent : shape) count *= extent;
      std::normal_distribution<float> spread(0.0F, 0.05F);
      value.resize(count);
      for (float& v : value) v = spread(engine_);
    }
    for (float& v : value) v = test_support::literal_round(shape_.dtype, v);
    values_[name(base)] = std::move(value);
    return graph_.weight(name(base), std::move(shape), shape_.dtype);
  }

  TensorId linear(TensorId x, std::uint64_t in, std::uint64_t out, const std::string& base) {
    const TensorId w = weight(base + ".weight", {in, out});
    const TensorId b = weight(base + ".bias", {out});
    return ok(graph_.elementwise(name(base), Add{},
                                 ok(graph_.batch_matmul(name(base + ".product"), x, w)), b));
  }

  TensorId split_heads(TensorId x, const std::string& base,
                       std::vector<std::uint64_t> permutation) {
    const TensorId split =
        ok(graph_.reshape(name(base + ".split"), x,
                          {1, shape_.sequence, shape_.heads, shape_.hidden / shape_.heads}));
    return ok(graph_.transpose(name(base + ".heads"), split, std::move(permutation)));
  }

  TensorId norm(TensorId x, const std::string& base) {
    const TensorId gain = weight(base + ".gain", {shape_.hidden});
    const TensorId bias = weight(base + ".bias", {shape_.hidden});
    return ok(graph_.layer_norm(name(base), x, gain, bias, 1e-5F));
  }

  Graph& graph_;
  TensorValues& values_;
  BertShape shape_;
  std::string prefix_;
  std::mt19937 engine_{7};
};

struct Workload {
  Graph graph;
  TensorValues values;
};

// "l3.": the names of layer 3 begin with it.
std::string layer_prefix(std::uint64_t layer) {
  std::string prefix = test_support::numbered("l", layer);
  prefix += '.';
  return prefix;
}

std::vector<float> uniform(std::uint64_t count, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<float> spread(-1.0F, 1.0F);
  std::vector<float> list(count);
  for (float& value : list) value = spread(engine);
  return list;
}

Workload bert(BertShape shape) {
  Workload workload;
  TensorId x = workload.graph.input("input", {1, shape.sequence, shape.hidden}, shape.dtype);
  workload.values["input"] = uniform(shape.sequence * shape.hidden, 3);
  for (float& v : workload.values["input"]) v = test_support::literal_round(shape.dtype, v);
  BertBuilder builder(workload.graph, workload.values, shape);
  for (std::uint64_t layer = 0; layer < shape.layers; ++layer) {
    x = builder.layer(x, layer_prefix(layer));
  }
  workload.graph.mark_output(x);
  return workload;
}

// The encoder stack of the compiler benchmarks, every block with the
// deterministic weights of its configuration.
Workload encoder_stack(EncoderConfig config, std::uint64_t layers) {
  Workload workload{.graph = *encoder_stack_graph(config, layers), .values = {}};
  workload.values["input"] = uniform(config.sequence * config.hidden, 3);
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  for (std::uint64_t layer = 0; layer < layers; ++layer) {
    const std::string prefix = layer_prefix(layer);
    for (const auto& [name, value] : {std::pair{"wq", &weights.wq}, std::pair{"wk", &weights.wk},
                                      std::pair{"wv", &weights.wv}, std::pair{"wo", &weights.wo},
                                      std::pair{"w1", &weights.w1}, std::pair{"w2", &weights.w2}}) {
      workload.values[prefix + name] = *value;
    }
  }
  return workload;
}

void BM_Evaluate(benchmark::State& state, Workload (*make)()) {
  const Workload workload = make();
  for (auto _ : state) {
    auto result = evaluate(workload.graph, workload.values);
    if (!result) {
      state.SkipWithError(result.error().message.c_str());
      return;
    }
    benchmark::DoNotOptimize(result);
  }
}

BENCHMARK_CAPTURE(BM_Evaluate, bert_base, [] {
  return bert(BertShape{});
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Evaluate, bert_base_layer_f32, [] {
  return bert(BertShape{.layers = 1});
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Evaluate, bert_base_layer_f16, [] {
  return bert(BertShape{.layers = 1, .dtype = DType::F16});
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Evaluate, bert_base_layer_bf16, [] {
  return bert(BertShape{.layers = 1, .dtype = DType::BF16});
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Evaluate, encoder_stack_bert_base, [] {
  return encoder_stack({.sequence = 128, .hidden = 768, .heads = 12, .feed_forward = 3072}, 12);
})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Evaluate, encoder_default, [] {
  return encoder_stack(EncoderConfig{}, 1);
})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zelk_compiler::bench
