// Fuzz target: arbitrary bytes (and mutations of the exported fixtures) as
// an ONNX model. Importing must fail with a message naming the model or give
// a valid graph with a value of the right size for every weight; a small
// imported graph evaluates on zero inputs (unless its weights make integer
// ids or results that evaluation refuses) and compiles to a schedule the
// checker accepts.
#include <cstdint>
#include <span>
#include <string>

#include <onnx/onnx_pb.h>

#include "support/schedule_checker.hpp"
#include "zelk_compiler/lib.hpp"
#include "zelk_onnx/onnx.hpp"

namespace {

namespace zc = zelk_compiler;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what.c_str());
  std::abort();
}

// Every symbolic dimension of the model's inputs, bound to a small extent, so
// that the exports with dynamic axes import.
zelk_onnx::Dims small_dims(std::span<const std::byte> bytes) {
  onnx::ModelProto model;
  zelk_onnx::Dims dims;
  if (!model.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    return dims;
  }
  for (const auto& input : model.graph().input()) {
    for (const auto& dim : input.type().tensor_type().shape().dim()) {
      if (!dim.dim_param().empty()) {
        dims.emplace(dim.dim_param(), 1 + dims.size() % 3);
      }
    }
  }
  return dims;
}

// The refusals that depend on the values computed, not on the graph: a cast
// to an integer type of a float without such a value, an id outside its
// table, an integer result beyond the exact range.
bool refused_for_values(const std::string& message) {
  return message.find(" value within 2^24") != std::string::npos ||
         message.find(" is outside table ") != std::string::npos ||
         message.find(" is beyond 2^24") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1U << 20U)) {
    return 0;
  }
  const auto bytes = std::as_bytes(std::span(data, size));
  const auto model = zelk_onnx::import_onnx(bytes, small_dims(bytes), {});
  if (!model) {
    if (model.error().message.rfind("ONNX model: ", 0) != 0) {
      fail("an error that does not name the model: " + model.error().message);
    }
    return 0;
  }
  if (!model->graph.validate()) fail("an imported graph failed validation");

  // Every source tensor is an input or has a weight value of its size (also
  // when it is marked as an output); every input names a tensor.
  std::uint64_t elements = 0;
  for (const zc::Tensor& tensor : model->graph.tensors) {
    elements += tensor.elements();
    if (tensor.producer || std::ranges::find(model->inputs, tensor.name) != model->inputs.end()) {
      continue;
    }
    const auto found = model->weights.find(tensor.name);
    if (found == model->weights.end() || found->second.size() != tensor.elements()) {
      fail("source tensor " + tensor.name + " without a value of its size");
    }
  }
  zc::TensorValues values = model->weights;
  for (const std::string& input : model->inputs) {
    const auto tensor = std::ranges::find(model->graph.tensors, input, &zc::Tensor::name);
    if (tensor == model->graph.tensors.end()) fail("input " + input + " is no tensor");
    if (elements <= (1U << 16U)) values[input].assign(tensor->elements(), 0.0F);
  }
  if (model->outputs.size() != model->graph.outputs.size()) fail("outputs lost");

  // Small graphs evaluate and compile.
  if (elements > (1U << 16U) || model->graph.ops.size() > 256) return 0;
  const auto outputs = zc::evaluate(model->graph, values);
  if (!outputs && !refused_for_values(outputs.error().message)) {
    fail("an imported graph did not evaluate: " + outputs.error().message);
  }
  const zc::CompilerOptions options{.tile_count = 16};
  const auto schedule = zc::compile(model->graph, options);
  if (schedule && !zc::test_support::check_schedule(model->graph, options, *schedule).empty()) {
    fail("the checker refused a compiled schedule");
  }
  return 0;
}
