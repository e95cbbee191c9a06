// Host reference benchmarks: the matrix product at BERT-base shapes against
// its literal loops and single-threaded OpenBLAS sgemm (a speed reference
// only: it fuses multiply-adds and sums in another order), layer_norm and
// softmax_rows against their literal loops, and the whole encoder block
// against its literal steps.
#include <benchmark/benchmark.h>
#include <cblas.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "encoder/vector_kernels.hpp"
#include "reference/literal_kernels.hpp"
#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler::bench {
namespace {

std::vector<float> random_values(std::uint64_t count, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<float> values(-1.0F, 1.0F);
  std::vector<float> list(count);
  for (float& value : list) {
    value = values(engine);
  }
  return list;
}

struct Shape {
  std::uint64_t rows;
  std::uint64_t inner;
  std::uint64_t columns;
};

struct Operands {
  std::vector<float> left;
  std::vector<float> right;

  explicit Operands(Shape shape)
      : left(random_values(shape.rows * shape.inner, 1)),
        right(random_values(shape.inner * shape.columns, 2)) {}
};

void report_flops(benchmark::State& state, double flops_per_iteration) {
  state.counters["flops"] =
      benchmark::Counter(flops_per_iteration * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate, benchmark::Counter::OneK::kIs1000);
}

double product_flops(Shape shape) {
  return 2.0 * static_cast<double>(shape.rows) * static_cast<double>(shape.inner) *
         static_cast<double>(shape.columns);
}

void BM_MatMul(benchmark::State& state, Shape shape) {
  const Operands operands(shape);
  for (auto _ : state) {
    auto output = matmul(operands.left, operands.right, shape.rows, shape.inner, shape.columns);
    benchmark::DoNotOptimize(output);
  }
  report_flops(state, product_flops(shape));
}

void BM_MatMulLiteral(benchmark::State& state, Shape shape) {
  const Operands operands(shape);
  for (auto _ : state) {
    auto output =
        literal::matmul(operands.left, operands.right, shape.rows, shape.inner, shape.columns);
    benchmark::DoNotOptimize(output);
  }
  report_flops(state, product_flops(shape));
}

void BM_SgemmOpenBLAS(benchmark::State& state, Shape shape) {
  openblas_set_num_threads(1);
  const Operands operands(shape);
  const auto rows = static_cast<blasint>(shape.rows);
  const auto inner = static_cast<blasint>(shape.inner);
  const auto columns = static_cast<blasint>(shape.columns);
  for (auto _ : state) {
    std::vector<float> output(shape.rows * shape.columns);
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, rows, columns, inner, 1.0F,
                operands.left.data(), inner, operands.right.data(), columns, 0.0F, output.data(),
                columns);
    benchmark::DoNotOptimize(output);
  }
  report_flops(state, product_flops(shape));
}

BENCHMARK_CAPTURE(BM_MatMul, 384x768x768, Shape{384, 768, 768})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MatMul, 384x768x3072, Shape{384, 768, 3072})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MatMul, 384x3072x768, Shape{384, 3072, 768})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MatMulLiteral, 384x768x768, Shape{384, 768, 768})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MatMulLiteral, 384x768x3072, Shape{384, 768, 3072})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MatMulLiteral, 384x3072x768, Shape{384, 3072, 768})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SgemmOpenBLAS, 384x768x768, Shape{384, 768, 768})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SgemmOpenBLAS, 384x768x3072, Shape{384, 768, 3072})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SgemmOpenBLAS, 384x3072x768, Shape{384, 3072, 768})
    ->Unit(benchmark::kMillisecond);

// The row kernels at the encoder's shapes: layer_norm over 384 positions of
// width 768, softmax over one head's 384 x 384 scores.
void BM_LayerNorm(benchmark::State& state) {
  const std::vector<float> input = random_values(384 * 768, 4);
  for (auto _ : state) {
    auto output = layer_norm(input, 384, 768, 1e-5F);
    benchmark::DoNotOptimize(output);
  }
}

void BM_LayerNormLiteral(benchmark::State& state) {
  const std::vector<float> input = random_values(384 * 768, 4);
  for (auto _ : state) {
    auto output = literal::layer_norm(input, 384, 768, 1e-5F);
    benchmark::DoNotOptimize(output);
  }
}

// Scores spread as a real block's are, so that few exponentials underflow.
std::vector<float> softmax_scores() {
  std::vector<float> scores = random_values(384 * 384, 5);
  for (float& score : scores) {
    score = score * 4.0F;
  }
  return scores;
}

void BM_SoftmaxRows(benchmark::State& state) {
  const std::vector<float> scores = softmax_scores();
  std::vector<float> values(scores.size());
  for (auto _ : state) {
    values = scores;
    softmax_rows(values, 384, 384);
    benchmark::DoNotOptimize(values);
  }
}

void BM_SoftmaxRowsLiteral(benchmark::State& state) {
  const std::vector<float> scores = softmax_scores();
  std::vector<float> values(scores.size());
  for (auto _ : state) {
    values = scores;
    literal::softmax_rows(values, 384, 384);
    benchmark::DoNotOptimize(values);
  }
}

// GELU over the feed-forward activation of 384 positions: the vector loop
// against the one-value form, which calls the C library's tanhf per value.
std::vector<float> gelu_inputs() {
  std::vector<float> inputs = random_values(384 * 3072, 6);
  for (float& input : inputs) {
    input = input * 3.0F;
  }
  return inputs;
}

void BM_Gelu(benchmark::State& state) {
  const std::vector<float> inputs = gelu_inputs();
  std::vector<float> values(inputs.size());
  const detail::VectorIsa isa = detail::widest_vector_isa();
  for (auto _ : state) {
    values = inputs;
    detail::gelu_each(isa, values);
    benchmark::DoNotOptimize(values);
  }
}

void BM_GeluLibrary(benchmark::State& state) {
  const std::vector<float> inputs = gelu_inputs();
  std::vector<float> values(inputs.size());
  for (auto _ : state) {
    values = inputs;
    for (float& value : values) {
      value = literal::gelu(value);
    }
    benchmark::DoNotOptimize(values);
  }
}

BENCHMARK(BM_LayerNorm)->Name("BM_LayerNorm/384x768")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LayerNormLiteral)->Name("BM_LayerNormLiteral/384x768")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SoftmaxRows)->Name("BM_SoftmaxRows/384x384")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SoftmaxRowsLiteral)
    ->Name("BM_SoftmaxRowsLiteral/384x384")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Gelu)->Name("BM_Gelu/384x3072")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GeluLibrary)->Name("BM_GeluLibrary/384x3072")->Unit(benchmark::kMicrosecond);

const EncoderConfig bert_base{.sequence = 384, .hidden = 768, .heads = 12, .feed_forward = 3072};

// The multiply-adds of the block's products, 2 flops each: the q, k, v and
// output projections, the two feed-forward products, and per head the scores
// and the context.
double encoder_flops(const EncoderConfig& config) {
  const auto s = static_cast<double>(config.sequence);
  const auto h = static_cast<double>(config.hidden);
  const auto f = static_cast<double>(config.feed_forward);
  const auto head_columns = static_cast<double>(config.hidden / config.heads * config.heads);
  return 2.0 * (4.0 * s * h * h + 2.0 * s * h * f + 2.0 * s * s * head_columns);
}

struct EncoderWorkload {
  EncoderConfig config;
  std::vector<float> input;
  EncoderWeights weights;

  explicit EncoderWorkload(EncoderConfig block)
      : config(block),
        input(random_values(block.sequence * block.hidden, 3)),
        weights(EncoderWeights::deterministic(block)) {}
};

void BM_EncoderReference(benchmark::State& state, EncoderConfig config) {
  const EncoderWorkload workload(config);
  for (auto _ : state) {
    auto result = encoder_reference(workload.config, workload.input, workload.weights);
    benchmark::DoNotOptimize(result);
  }
  report_flops(state, encoder_flops(config));
}

void BM_EncoderReferenceLiteral(benchmark::State& state, EncoderConfig config) {
  const EncoderWorkload workload(config);
  for (auto _ : state) {
    auto result = literal::encoder_reference(workload.config, workload.input, workload.weights);
    benchmark::DoNotOptimize(result);
  }
  report_flops(state, encoder_flops(config));
}

BENCHMARK_CAPTURE(BM_EncoderReference, default, EncoderConfig{})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EncoderReference, bert_base, bert_base)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EncoderReferenceLiteral, default, EncoderConfig{})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EncoderReferenceLiteral, bert_base, bert_base)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zelk_compiler::bench

// The run's context names the kernel OpenBLAS chose for this processor, since
// the sgemm rows depend on it (OPENBLAS_CORETYPE can force an older one).
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::AddCustomContext("openblas_core", openblas_get_corename());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
