// The state of one import: the graph being built, what every ONNX value name
// stands for, and the constants known so far. Operator handlers
// (operators/) read node inputs and define node outputs through it.
#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include <onnx/onnx_pb.h>

#include "host_tensor.hpp"
#include "zelk_onnx/onnx.hpp"

namespace zelk_onnx::detail {

// Names the importer makes for values it derives from the model's own:
// "<base>:<role>", as "0.weight:transposed".
inline constexpr char kRoleSeparator = ':';
inline constexpr std::string_view kTransposedRole = "transposed";

// A constant: an initialiser or a Constant node's value (read when first
// needed), or a value folded at import. It becomes a weight tensor, once,
// when an operation of the graph reads it.
struct ConstantSlot {
  std::string name;  // the name its weight tensor gets
  ElementType type = ElementType::Float;
  Shape shape;
  onnx::TensorProto* written = nullptr;  // values still to read from the model
  std::optional<HostTensor> value;
  std::optional<zelk_compiler::TensorId> weight;
  std::optional<std::size_t> transposed;  // the slot holding its transpose, once made
};

struct ConstantRef {
  std::size_t slot = 0;
};

// What an ONNX value name stands for: a tensor of the graph, or a constant.
using Value = std::variant<zelk_compiler::TensorId, ConstantRef>;

struct Importer {
  Importer(const onnx::GraphProto& model, std::optional<std::filesystem::path> dir,
           std::uint64_t fold_bytes);

  // The value `name` stands for; an error when nothing defined it yet.
  [[nodiscard]] zelk_compiler::Result<Value> value(std::string_view name) const;
  // Input `at` of `node`: its value, or nothing when the input is absent.
  [[nodiscard]] zelk_compiler::Result<std::optional<Value>> input(const onnx::NodeProto& node,
                                                                  int at) const;
  // Input `at` of `node`, which must be present.
  [[nodiscard]] zelk_compiler::Result<Value> required(const onnx::NodeProto& node, int at) const;

  [[nodiscard]] static bool is_constant(const Value& value) {
    return std::holds_alternative<ConstantRef>(value);
  }
  // The shape of `value`, valid until the graph grows.
  [[nodiscard]] const Shape& shape(const Value& value) const;
  // The element type of `value`: FLOAT for every graph tensor.
  [[nodiscard]] ElementType type(const Value& value) const;
  // The values of a constant, read from the model the first time.
  [[nodiscard]] zelk_compiler::Result<const HostTensor*> constant(const Value& value);
  // The values of a tensor a node holds as an attribute, read with
  // external data from `dir` (none without), taken from the folding budget.
  [[nodiscard]] zelk_compiler::Result<HostTensor> read_attribute(
      const onnx::TensorProto& tensor, const std::optional<std::filesystem::path>& dir);
  // Input `at` of `node` as a list of integers known at import.
  [[nodiscard]] zelk_compiler::Result<std::vector<std::int64_t>> integers(
      const onnx::NodeProto& node, int at, std::string_view what);
  // The graph tensor for `value`: a constant becomes a weight tensor (of
  // shape [1] for a scalar) the first time an operation reads it. Only float
  // constants can.
  [[nodiscard]] zelk_compiler::Result<zelk_compiler::TensorId> operand(const Value& value);
  // The constant holding the transpose of a float matrix constant (made once).
  [[nodiscard]] zelk_compiler::Result<Value> transposed(const Value& matrix);

  // Makes `name` stand for `value`; an error when it already stands for one.
  [[nodiscard]] zelk_compiler::Result<void> define_value(std::string_view name, Value value);
  // The same for the tensor a builder made, or the builder's error.
  [[nodiscard]] zelk_compiler::Result<void> define(
      std::string_view name, zelk_compiler::Result<zelk_compiler::TensorId> tensor);
  [[nodiscard]] zelk_compiler::Result<void> define_constant(std::string_view name,
                                                            HostTensor value);
  // A constant under a new name, not an ONNX value.
  [[nodiscard]] Value add_constant(std::string_view base, std::string_view role, HostTensor value);
  // A tensor name derived from `base` that no ONNX value and no earlier
  // derived name has.
  [[nodiscard]] std::string fresh_name(std::string_view base, std::string_view role);
  // The graph tensor `input` under `shape` (rank 0 held as [1]), named `name`.
  [[nodiscard]] zelk_compiler::Result<zelk_compiler::TensorId> reshaped(
      std::string_view name, zelk_compiler::TensorId input, Shape shape);

  std::int64_t opset = 0;  // of the ONNX operator set, which the operator table is keyed by
  zelk_compiler::Graph graph;
  zelk_compiler::TensorValues weights;
  FoldBudget budget;
  std::optional<std::filesystem::path> directory;
  std::deque<ConstantSlot> constants;  // a deque, so references to slots stay valid
  std::unordered_map<std::string, Value> values;
  std::unordered_set<std::string> names;  // every ONNX value name and every derived one
};

// The first error among `results`, if any.
template <class... Results>
[[nodiscard]] std::optional<zelk_compiler::CompileError> first_error(const Results&... results) {
  std::optional<zelk_compiler::CompileError> error;
  ((error || results.has_value() ? void() : void(error = results.error())), ...);
  return error;
}

// Imports a parsed model; messages do not name the file yet. The raw data of
// large initialisers is released from `model` once it is in the weight map
// (or read for a fold), so that the two copies are never all alive at once.
// Folding may allocate `fold_bytes` plus the bytes of the external data the
// initialisers declare. A stop requested on `stop` throws
// zelk_compiler::Stopped before the next initialiser or node.
[[nodiscard]] zelk_compiler::Result<OnnxModel> import_model(
    onnx::ModelProto& model, const Dims& dims,
    const std::optional<std::filesystem::path>& directory, std::uint64_t fold_bytes,
    const std::stop_token& stop);

}  // namespace zelk_onnx::detail
