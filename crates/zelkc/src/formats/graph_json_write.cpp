// Writing a graph as the builder calls that make it, checked by replaying
// them.
#include "formats/graph_json.hpp"

#include <string>
#include <unordered_map>
#include <utility>

#include <zelk_compiler/debug.hpp>

#include "formats/graph_json_kinds.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

using graph_file::call_builder;
using graph_file::kFormat;
using graph_file::kVersion;
using graph_file::write_fields;

// How many of the tensors written so far carry each name.
using Names = std::unordered_map<std::string, std::size_t>;

// A reference to tensor `id` from an entry that sees the tensors counted in
// `names`: the name when it picks out exactly one of them, else the index.
Json reference(const zc::Graph& graph, zc::TensorId id, const Names& names) {
  const std::string& name = graph.tensors[id.index].name;
  const auto found = names.find(name);
  if (found != names.end() && found->second == 1) {
    return name;
  }
  return id.index;
}

Failure not_writable(std::string_view why) {
  return Failure::refused("graph cannot be written as builder calls: " + std::string(why));
}

// Whether the builder of `op`'s kind, called on `shadow` (which holds the
// graph's tensors and operations before `op`), makes exactly `op` and its
// output. `shadow` is left as it was.
bool builder_makes(zc::Graph& shadow, const zc::Op& op, const zc::Tensor& output) {
  const auto made = call_builder(shadow, op.name, op.kind, op.inputs);
  if (!made || !made->has_value()) {
    return false;
  }
  const zc::Tensor& tensor = shadow.tensors.back();
  const bool same = shadow.ops.back() == op && tensor.name == output.name &&
                    tensor.dtype == output.dtype && tensor.shape == output.shape &&
                    tensor.producer == output.producer;
  shadow.tensors.pop_back();
  shadow.ops.pop_back();
  return same;
}

// The entry of an input or a weight, made in `shadow` too.
Outcome<Json> source_entry(const zc::Tensor& tensor, std::size_t index, zc::Graph& shadow) {
  if (tensor.kind == zc::TensorKind::Intermediate) {
    return std::unexpected(
        not_writable("tensor " + std::to_string(index) + " is an intermediate without a producer"));
  }
  // A marked input or weight has lost which of the two it was; either
  // replays to the same graph.
  const bool weight = tensor.kind == zc::TensorKind::Weight;
  Json entry = Json::object();
  entry["op"] = weight ? "weight" : "input";
  entry["name"] = tensor.name;
  entry["shape"] = tensor.shape;
  // Written only where it is not the default, so 32-bit files read as before.
  if (tensor.dtype != zc::DType::F32 && zc::is_element_type(tensor.dtype)) {
    entry["dtype"] = zc::dtype_name(tensor.dtype);
  }
  (void)(weight ? shadow.weight(tensor.name, tensor.shape, tensor.dtype)
                : shadow.input(tensor.name, tensor.shape, tensor.dtype));
  return entry;
}

// The entry of the operation that makes tensor `index`, made in `shadow` too:
// its own builder call where that makes it exactly, else the raw step.
Outcome<Json> operation_entry(const zc::Graph& graph, std::size_t index, const Names& names,
                              zc::Graph& shadow) {
  const zc::Tensor& tensor = graph.tensors[index];
  const std::uint64_t op_index = tensor.producer->index;
  if (op_index != shadow.ops.size() || op_index >= graph.ops.size() ||
      graph.ops[op_index].output.index != index) {
    return std::unexpected(not_writable("operations and their outputs are out of step at tensor " +
                                        std::to_string(index)));
  }
  const zc::Op& op = graph.ops[op_index];
  Json inputs = Json::array();
  for (const zc::TensorId input : op.inputs) {
    if (input.index >= index) {
      return std::unexpected(
          not_writable("operation " + std::to_string(op_index) + " reads a tensor made after it"));
    }
    inputs.push_back(reference(graph, input, names));
  }
  Json entry = Json::object();
  const std::string_view kind = zc::operation_name(op.kind);
  if (builder_makes(shadow, op, tensor)) {
    entry["op"] = kind;
  } else {
    entry["op"] = "raw";
    entry["kind"] = kind;
  }
  entry["name"] = op.name;
  entry["inputs"] = std::move(inputs);
  write_fields(op.kind, entry);
  if (entry["op"] == "raw") {
    entry["output_shape"] = tensor.shape;
  }
  // Every operand is an earlier tensor, so only a type rule can refuse it.
  if (auto replayed = shadow.op(op.name, op.kind, op.inputs, tensor.shape); !replayed) {
    return std::unexpected(
        not_writable("operation " + std::to_string(op_index) + ": " + replayed.error().message));
  }
  return entry;
}

}  // namespace

Outcome<Json> graph_to_json(const zc::Graph& graph) {
  Json ops = Json::array();
  Names names;
  // The graph as replaying the entries so far makes it, to find out whether
  // an operation's own builder makes it or only the raw step does.
  zc::Graph shadow;
  for (std::size_t index = 0; index < graph.tensors.size(); ++index) {
    const zc::Tensor& tensor = graph.tensors[index];
    auto entry = tensor.producer ? operation_entry(graph, index, names, shadow)
                                 : source_entry(tensor, index, shadow);
    if (!entry) {
      return entry;
    }
    ops.push_back(std::move(*entry));
    ++names[tensor.name];
  }
  if (shadow.ops.size() != graph.ops.size()) {
    return std::unexpected(not_writable("some operations have no output tensor"));
  }
  Json outputs = Json::array();
  for (const zc::TensorId output : graph.outputs) {
    if (output.index >= graph.tensors.size()) {
      return std::unexpected(not_writable("an output names no tensor"));
    }
    outputs.push_back(reference(graph, output, names));
  }
  Json document = Json::object();
  document["format"] = kFormat;
  document["version"] = kVersion;
  document["ops"] = std::move(ops);
  document["outputs"] = std::move(outputs);

  // Whatever the graph looks like, what is written must replay to it. The
  // printed forms also match where a NaN epsilon makes == false.
  const auto replayed = replay_graph(document);
  if (!replayed ||
      (!(*replayed == graph) && zc::debug_string(*replayed) != zc::debug_string(graph))) {
    return std::unexpected(not_writable("replaying the calls gives another graph"));
  }
  return document;
}

Outcome<std::string> write_graph_json(const zc::Graph& graph) {
  auto document = graph_to_json(graph);
  if (!document) {
    return std::unexpected(std::move(document.error()));
  }
  try {
    // Wide enough that every entry stays on one line.
    return dump_readable(*document, 240);
  } catch (const nlohmann::json::type_error&) {
    return std::unexpected(not_writable("a name is not valid UTF-8"));
  }
}

}  // namespace zelkc
