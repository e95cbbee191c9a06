// Benchmarks on the 12-layer BERT-base export (scripts/onnx-fixtures
// --bert-base): importing it against protobuf alone parsing the same bytes,
// evaluating it on the host, and compiling it for 1,472 tiles against a deep
// copy of its schedule.
//
//   zelk-onnx-bench [--model=FILE.onnx] [benchmark flags]
//
// The model's input comes from FILE.input.npy beside it.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <onnx/onnx_pb.h>

#include "zelk_compiler/lib.hpp"
#include "zelk_onnx/onnx.hpp"

namespace {

namespace zc = zelk_compiler;
namespace fs = std::filesystem;

fs::path model_file = ZELK_BERT_BASE;

std::string read_file(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + file.string() +
                             " (make it with scripts/onnx-fixtures --bert-base)");
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The float32 values of a .npy file (the fixture script's own, version 1).
std::vector<float> read_npy_values(const fs::path& file) {
  const std::string data = read_file(file);
  const std::size_t header = 10 + static_cast<unsigned char>(data.at(8)) +
                             256 * static_cast<std::size_t>(static_cast<unsigned char>(data.at(9)));
  std::vector<float> values((data.size() - header) / sizeof(float));
  std::memcpy(values.data(), data.data() + header, values.size() * sizeof(float));
  return values;
}

const std::string& model_bytes() {
  static const std::string bytes = read_file(model_file);
  return bytes;
}

const zelk_onnx::OnnxModel& model() {
  static const zelk_onnx::OnnxModel imported = [] {
    auto result = zelk_onnx::load_onnx(model_file);
    if (!result) {
      throw std::runtime_error(zc::debug_string(result.error()));
    }
    return std::move(*result);
  }();
  return imported;
}

std::span<const std::byte> bytes_of(const std::string& text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

void BM_ProtobufParse(benchmark::State& state) {
  const std::string& bytes = model_bytes();
  for (auto _ : state) {
    onnx::ModelProto parsed;
    if (!parsed.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
      state.SkipWithError("the model does not parse");
    }
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

void BM_ImportOnnx(benchmark::State& state) {
  const std::string& bytes = model_bytes();
  for (auto _ : state) {
    auto imported = zelk_onnx::import_onnx(bytes_of(bytes), {}, model_file.parent_path());
    if (!imported) {
      state.SkipWithError(imported.error().message.c_str());
    }
    benchmark::DoNotOptimize(imported);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

// Both from the file on disk (in the page cache after the first run).
void BM_ProtobufParseFile(benchmark::State& state) {
  for (auto _ : state) {
    std::ifstream in(model_file, std::ios::binary);
    onnx::ModelProto parsed;
    if (!parsed.ParseFromIstream(&in)) {
      state.SkipWithError("the model does not parse");
    }
    benchmark::DoNotOptimize(parsed);
  }
}

void BM_LoadOnnx(benchmark::State& state) {
  for (auto _ : state) {
    auto imported = zelk_onnx::load_onnx(model_file);
    if (!imported) {
      state.SkipWithError(imported.error().message.c_str());
    }
    benchmark::DoNotOptimize(imported);
  }
}

void BM_Evaluate(benchmark::State& state) {
  zc::TensorValues values = model().weights;
  fs::path input = model_file;
  values[model().inputs.at(0)] = read_npy_values(input.replace_extension(".input.npy"));
  for (auto _ : state) {
    auto outputs = zc::evaluate(model().graph, values);
    if (!outputs) {
      state.SkipWithError(outputs.error().message.c_str());
    }
    benchmark::DoNotOptimize(outputs);
  }
}

const zc::CompilerOptions kTiles1472{.tile_count = 1472};

void BM_Compile(benchmark::State& state) {
  for (auto _ : state) {
    auto schedule = zc::compile(model().graph, kTiles1472);
    if (!schedule) {
      state.SkipWithError(schedule.error().message.c_str());
    }
    benchmark::DoNotOptimize(schedule);
  }
}

void BM_ScheduleCopy(benchmark::State& state) {
  const auto schedule = zc::compile(model().graph, kTiles1472);
  if (!schedule) {
    state.SkipWithError(schedule.error().message.c_str());
    return;
  }
  for (auto _ : state) {
    zc::Schedule copy = *schedule;
    benchmark::DoNotOptimize(copy);
  }
}

BENCHMARK(BM_ProtobufParse)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImportOnnx)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProtobufParseFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadOnnx)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Evaluate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Compile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScheduleCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // Our own flag first; the rest are Google Benchmark's.
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--model=")) {
      model_file = arg.substr(8);
    } else {
      rest.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(count, rest.data())) {
    return 1;
  }
  if (!fs::exists(model_file)) {
    std::cerr << model_file.string()
              << " is missing; make it with scripts/onnx-fixtures --bert-base\n";
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
