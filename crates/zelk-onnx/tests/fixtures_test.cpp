// The exported PyTorch models: each imports at every opset, every tensor
// named after a model value has ONNX shape inference's shape, the fused
// chains are one operation each, the graph evaluates to PyTorch's output and
// compiles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <onnx/shape_inference/implementation.h>

#include <zelk_compiler/lib.hpp>
#include <zelk_onnx/onnx.hpp>

#include "onnx_test_support.hpp"

namespace zelk_onnx {
namespace {

namespace zc = zelk_compiler;
using test_support::fixture_dir;

struct Fixture {
  std::string model;
  std::string data;  // the stem of its .input.npy and .output.npy
  Dims dims;
  // Operations of these kinds the import must make (absent: none).
  std::map<std::string, int> operations;
};

void PrintTo(const Fixture& fixture, std::ostream* out) {
  *out << fixture.model << " with " << fixture.data;
}

// Every element within 1e-4 of the largest magnitude PyTorch gave.
testing::AssertionResult close_to(const std::vector<float>& got,
                                  const std::vector<float>& expected) {
  if (got.size() != expected.size()) {
    return testing::AssertionFailure() << got.size() << " values, expected " << expected.size();
  }
  float largest = 0.0F;
  for (const float value : expected) {
    largest = std::max(largest, std::abs(value));
  }
  float worst = 0.0F;
  for (std::size_t i = 0; i < got.size(); ++i) {
    worst = std::max(worst, std::abs(got[i] - expected[i]));
  }
  if (worst > 1e-4F * largest) {
    return testing::AssertionFailure() << "off by " << worst << ", largest magnitude " << largest;
  }
  return testing::AssertionSuccess();
}

std::vector<Fixture> fixtures() {
  const std::map<std::string, int> fused_encoder{{"layer_norm", 2}, {"relu", 1}};
  const std::map<std::string, int> fused_bert{{"layer_norm", 2}, {"gelu_erf", 1}};
  const std::map<std::string, int> fused_gpt{{"layer_norm", 2}, {"gelu", 1}};
  // The MLP's hand-written RMS normalisation is no layer norm: node by node.
  const std::map<std::string, int> mlp{{"reduce_mean", 1}, {"sqrt", 1}, {"pow", 1},
                                       {"tanh", 1},        {"exp", 1},  {"relu", 1}};
  std::vector<Fixture> list;
  for (const int opset : {13, 14, 17}) {
    const std::string suffix = ".op" + std::to_string(opset);
    list.push_back({"encoder_post_norm" + suffix, "encoder_post_norm", {}, fused_encoder});
    list.push_back({"encoder_pre_norm" + suffix, "encoder_pre_norm", {}, fused_encoder});
    list.push_back(
        {"bert_layer" + suffix, "bert_layer", {{"batch", 2}, {"sequence", 8}}, fused_bert});
    list.push_back(
        {"bert_layer" + suffix, "bert_layer.b3s5", {{"batch", 3}, {"sequence", 5}}, fused_bert});
    list.push_back({"gpt_block" + suffix, "gpt_block", {}, fused_gpt});
    list.push_back({"gpt_block_slices" + suffix, "gpt_block_slices", {}, fused_gpt});
    list.push_back({"mlp" + suffix, "mlp", {}, mlp});
  }
  return list;
}

class Fixtures : public testing::TestWithParam<Fixture> {
 protected:
  [[nodiscard]] std::filesystem::path model_file() const {
    return fixture_dir() / (GetParam().model + ".onnx");
  }
  [[nodiscard]] OnnxModel imported() const {
    auto model = load_onnx(model_file(), GetParam().dims);
    if (!model) {
      ADD_FAILURE() << model.error();
      return {};
    }
    return std::move(*model);
  }
};

// Every model value's shape after ONNX shape inference (with data
// propagation, so shapes computed from Shape nodes are known), the model's
// symbolic dimensions first bound to `dims`.
std::unordered_map<std::string, std::vector<std::uint64_t>> inferred_shapes(
    const std::filesystem::path& file, const Dims& dims) {
  onnx::ModelProto model;
  const std::string bytes = test_support::read_file(file);
  EXPECT_TRUE(model.ParseFromString(bytes));
  for (auto& input : *model.mutable_graph()->mutable_input()) {
    for (auto& dim : *input.mutable_type()->mutable_tensor_type()->mutable_shape()->mutable_dim()) {
      if (dim.has_dim_param()) {
        const auto extent = static_cast<std::int64_t>(dims.at(dim.dim_param()));
        dim.set_dim_value(extent);
      }
    }
  }
  onnx::shape_inference::InferShapes(model, onnx::OpSchemaRegistry::Instance(),
                                     onnx::ShapeInferenceOptions(true, 1, true));
  std::unordered_map<std::string, std::vector<std::uint64_t>> shapes;
  const auto record = [&](const onnx::ValueInfoProto& info) {
    if (!info.type().tensor_type().has_shape()) {
      return;
    }
    std::vector<std::uint64_t> shape;
    for (const auto& dim : info.type().tensor_type().shape().dim()) {
      if (!dim.has_dim_value()) {
        return;
      }
      shape.push_back(static_cast<std::uint64_t>(dim.dim_value()));
    }
    shapes[info.name()] = shape;
  };
  for (const auto& tensor : model.graph().initializer()) {
    shapes[tensor.name()] = {tensor.dims().begin(), tensor.dims().end()};
  }
  std::ranges::for_each(model.graph().input(), record);
  std::ranges::for_each(model.graph().value_info(), record);
  std::ranges::for_each(model.graph().output(), record);
  return shapes;
}

std::unordered_set<std::string> value_names(const std::filesystem::path& file) {
  onnx::ModelProto model;
  EXPECT_TRUE(model.ParseFromString(test_support::read_file(file)));
  std::unordered_set<std::string> names;
  for (const auto& tensor : model.graph().initializer()) {
    names.insert(tensor.name());
  }
  for (const auto& input : model.graph().input()) {
    names.insert(input.name());
  }
  for (const auto& node : model.graph().node()) {
    names.insert(node.output().begin(), node.output().end());
  }
  return names;
}

// ONNX 1.12's data propagation stops at a Reshape at opset 13 and at a Slice
// whose bounds are computed, so some shapes stay unknown to it; every one it
// knows must match.
TEST_P(Fixtures, EveryTensorNamedAfterAModelValueHasTheInferredShape) {
  const OnnxModel model = imported();
  const auto inferred = inferred_shapes(model_file(), GetParam().dims);
  const auto names = value_names(model_file());
  std::size_t compared = 0;
  for (const zc::Tensor& tensor : model.graph.tensors) {
    const auto found = inferred.find(tensor.name);
    if (!names.contains(tensor.name) || found == inferred.end()) {
      continue;  // derived by the import (a Gemm's product), or unknown to inference
    }
    // Constants of rank 0 enter the graph as shape [1].
    const auto expected = found->second.empty() ? std::vector<std::uint64_t>{1} : found->second;
    EXPECT_EQ(tensor.shape, expected) << tensor.name;
    ++compared;
  }
  // Inference knows well over a third of them even at its weakest (opset 13).
  EXPECT_GT(compared * 3, model.graph.tensors.size()) << compared << " compared";
}

TEST_P(Fixtures, FusedChainsAreOneOperationEach) {
  const OnnxModel model = imported();
  std::map<std::string, int> counts;
  for (const zc::Op& op : model.graph.ops) {
    ++counts[std::string(zc::operation_name(op.kind))];
  }
  for (const std::string kind : {"layer_norm", "gelu", "gelu_erf", "erf", "tanh", "sqrt", "pow",
                                 "reduce_mean", "relu", "exp"}) {
    const auto expected = GetParam().operations.find(kind);
    EXPECT_EQ(counts[kind], expected == GetParam().operations.end() ? 0 : expected->second) << kind;
  }
  // A fused operation takes the name of its chain's last output; a layer
  // norm reads the gain and bias as weights.
  const auto names = value_names(model_file());
  for (const zc::Op& op : model.graph.ops) {
    const auto kind = zc::operation_name(op.kind);
    if (kind == "layer_norm" || kind == "gelu" || kind == "gelu_erf") {
      EXPECT_TRUE(names.contains(op.name)) << op.name;
    }
    if (kind == "layer_norm") {
      ASSERT_EQ(op.inputs.size(), 3U);
      EXPECT_EQ(model.graph.tensors[op.inputs[1].index].kind, zc::TensorKind::Weight);
      EXPECT_EQ(model.graph.tensors[op.inputs[2].index].kind, zc::TensorKind::Weight);
    }
  }
}

TEST_P(Fixtures, EvaluatesToPyTorchsOutput) {
  const OnnxModel model = imported();
  const auto input = test_support::read_npy(fixture_dir() / (GetParam().data + ".input.npy"));
  const auto expected = test_support::read_npy(fixture_dir() / (GetParam().data + ".output.npy"));
  ASSERT_EQ(model.inputs, std::vector<std::string>{"x"});
  ASSERT_EQ(model.outputs, std::vector<std::string>{"y"});
  zc::TensorValues values = model.weights;
  values["x"] = input.values;
  const auto outputs = zc::evaluate(model.graph, values);
  ASSERT_TRUE(outputs) << outputs.error();
  EXPECT_TRUE(close_to(outputs->at("y"), expected.values));
}

TEST_P(Fixtures, Compiles) {
  const OnnxModel model = imported();
  const auto schedule = zc::compile(model.graph, zc::CompilerOptions{});
  EXPECT_TRUE(schedule) << schedule.error();
}

std::string fixture_name(const testing::TestParamInfo<Fixture>& info) {
  std::string name =
      info.param.data + "_" + info.param.model.substr(info.param.model.rfind('.') + 1);
  std::ranges::replace(name, '.', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Exported, Fixtures, testing::ValuesIn(fixtures()), fixture_name);

TEST(FixtureImport, TheDefaultInitialisedEncoderSharesEqualWeightsThroughAliases) {
  // Its zero biases and unit gains are one initialiser each under several
  // names (Identity nodes); the graph reads the initialiser itself.
  const auto model = load_onnx(fixture_dir() / "encoder_post_norm.op13.onnx");
  ASSERT_TRUE(model) << model.error();
  for (const zc::Tensor& tensor : model->graph.tensors) {
    EXPECT_NE(tensor.name, "norm2.weight");
    EXPECT_NE(tensor.name, "norm2.bias");
  }
  EXPECT_EQ(model->weights.count("norm1.weight"), 1U);
}

TEST(FixtureImport, ImportFromBytesMatchesLoadingTheFile) {
  const auto file = fixture_dir() / "gpt_block.op17.onnx";
  const auto loaded = load_onnx(file);
  const auto from_bytes =
      import_onnx(test_support::as_bytes(test_support::read_file(file)), {}, {});
  ASSERT_TRUE(loaded && from_bytes);
  EXPECT_EQ(loaded->graph, from_bytes->graph);
  EXPECT_EQ(loaded->weights, from_bytes->weights);
}

TEST(FixtureImport, ABertTakingTokenIdsTypesAndAMaskEvaluatesAndCompiles) {
  // Its three int64 inputs are stored one after the other as whole floats.
  const auto model =
      load_onnx(fixture_dir() / "bert_ids.op14.onnx", {{"batch", 2}, {"sequence", 8}});
  ASSERT_TRUE(model) << model.error();
  const std::vector<std::string> names{"input_ids", "token_type_ids", "attention_mask"};
  ASSERT_EQ(model->inputs, names);
  const auto input = test_support::read_npy(fixture_dir() / "bert_ids.input.npy");
  const auto expected = test_support::read_npy(fixture_dir() / "bert_ids.output.npy");
  zc::TensorValues values = model->weights;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto from = input.values.begin() + static_cast<std::ptrdiff_t>(i * 16);
    values[names[i]] = std::vector<float>(from, from + 16);
  }
  for (const zc::Tensor& tensor : model->graph.tensors) {
    if (std::ranges::find(names, tensor.name) != names.end()) {
      EXPECT_EQ(tensor.dtype, zc::DType::I64) << tensor.name;
    }
  }
  // Word and token-type lookups by computed ids; the positions are known at
  // import, so their lookup is folded.
  const auto gathers = std::ranges::count_if(model->graph.ops, [](const zc::Op& op) {
    return std::holds_alternative<zc::Gather>(op.kind);
  });
  EXPECT_EQ(gathers, 2);
  const auto outputs = zc::evaluate(model->graph, values);
  ASSERT_TRUE(outputs) << outputs.error();
  EXPECT_TRUE(close_to(outputs->at("y"), expected.values));
  // The embedding tables are weights, placed like any other.
  const auto schedule = zc::compile(model->graph, zc::CompilerOptions{.tile_count = 1472});
  ASSERT_TRUE(schedule) << schedule.error();

  // In 16 bits the ids and the mask stay integers, and the extended mask's
  // float32 lowest value saturates rather than becoming an infinity that
  // would turn the unmasked positions' 0 x mask into NaN.
  for (const zc::DType target : {zc::DType::F16, zc::DType::BF16}) {
    SCOPED_TRACE(zc::dtype_name(target));
    auto half = zc::convert_precision(model->graph, model->weights,
                                      zc::PrecisionOptions{.target = target, .keep_io = true});
    ASSERT_TRUE(half) << half.error();
    EXPECT_EQ(half->total.overflowed, 1U);
    zc::TensorValues half_values = half->weights;
    for (const std::string& name : names) {
      half_values[name] = values.at(name);
    }
    const auto half_outputs = zc::evaluate(half->graph, half_values);
    ASSERT_TRUE(half_outputs) << half_outputs.error();
    float largest = 0.0F;
    float error = 0.0F;
    for (std::size_t i = 0; i < expected.values.size(); ++i) {
      largest = std::max(largest, std::fabs(expected.values[i]));
      const float difference = std::fabs(half_outputs->at("y")[i] - expected.values[i]);
      error = difference <= error ? error : difference;  // a NaN sticks
    }
    EXPECT_LT(error, 0.05F * largest) << "NaN or far off";
  }
}

}  // namespace
}  // namespace zelk_onnx
