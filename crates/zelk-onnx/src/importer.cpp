// Importing a parsed ONNX model, in this order:
//
// 1. The opset is checked (13 to 17).
// 2. Initialisers become constants, checked but not read: their values are
//    read when an operation (as a weight) or a fold first needs them.
// 3. Graph inputs become input tensors, their symbolic dimensions bound from
//    the caller's `dims`.
// 4. Constant nodes are defined before everything else (they read nothing),
//    so that a fused chain can use a gain written further down.
// 5. Nodes are imported in their order (which ONNX requires to be a
//    topological one). A node that starts a fused chain makes the chain's one
//    operation instead, unless the shapes turn out not to fit, in which case
//    the chain is imported node by node.
// 6. Graph outputs are marked; an output that is another value under a new
//    name (Identity of a graph input, a constant) gets a copy of its own.
// 7. The graph is validated.
#include "importer.hpp"

#include <algorithm>
#include <utility>

#include <zelk_compiler/checked.hpp>
#include <zelk_compiler/debug.hpp>

#include "fold.hpp"
#include "graph_index.hpp"
#include "operators/table.hpp"
#include "patterns.hpp"
#include "tensor_proto.hpp"

namespace zelk_onnx::detail {
namespace {

namespace zc = zelk_compiler;
using zc::Result;
using zc::TensorId;

constexpr std::int64_t kFirstOpset = 13;
constexpr std::int64_t kLastOpset = 17;
// Raw data of at least this size is released once read into the weight map;
// smaller tensors (scalars the fusion patterns read) stay.
constexpr std::size_t kReleasedBytes = 4096;

// The error with `where` and ": " in front of its message.
zc::CompileError at(std::string_view where, const zc::CompileError& error) {
  return zc::CompileError::graph(std::string(where) + ": " + error.message);
}

std::string node_label(const onnx::NodeProto& node, std::size_t index) {
  const std::string which =
      node.name().empty() ? "node " + std::to_string(index) : "node '" + node.name() + "'";
  return which + " (" + node.op_type() + ")";
}

// The version of the ONNX operator set the model imports. The domain may be
// imported more than once ("" and "ai.onnx" name it both), but only in one
// version: which one the nodes mean would be a guess.
Result<std::int64_t> onnx_opset(const onnx::ModelProto& model) {
  std::optional<std::int64_t> version;
  for (const onnx::OperatorSetIdProto& opset : model.opset_import()) {
    if (!is_onnx_domain(opset.domain())) {
      continue;
    }
    if (version && *version != opset.version()) {
      return fail("the model imports the ONNX opset twice, as versions " +
                  std::to_string(*version) + " and " + std::to_string(opset.version()));
    }
    version = opset.version();
  }
  if (!version) {
    return fail("the model imports no ONNX opset");
  }
  if (*version < kFirstOpset || *version > kLastOpset) {
    return fail("opset " + std::to_string(*version) + " is not supported (" +
                std::to_string(kFirstOpset) + " to " + std::to_string(kLastOpset) + " are)");
  }
  return *version;
}

// The element type of a graph input or output: the graph's type for the
// one it declares, none when it declares none.
Result<std::optional<zc::DType>> declared_element_type(const onnx::ValueInfoProto& info,
                                                       std::string_view role) {
  const auto& type = info.type();
  const std::int32_t element = type.has_tensor_type() ? type.tensor_type().elem_type() : 0;
  if (element == onnx::TensorProto_DataType_UNDEFINED) {
    return std::nullopt;
  }
  if (const auto dtype = graph_element_type(element)) {
    return dtype;
  }
  return fail(std::string(role) + " '" + info.name() + "' has element type " +
              data_type_name(element) +
              "; FLOAT, FLOAT16, BFLOAT16, INT64 and INT32 inputs and outputs are supported");
}

// The shape of graph input `info`, symbolic dimensions bound from `dims`
// (marking each one used). Rank 0 is held as [1].
Result<Shape> input_shape(const onnx::ValueInfoProto& info, const Dims& dims,
                          std::vector<std::string>& used) {
  const std::string where = "input '" + info.name() + "'";
  if (!info.type().has_tensor_type() || !info.type().tensor_type().has_shape()) {
    return fail(where + " has no shape");
  }
  const auto& declared = info.type().tensor_type().shape();
  if (static_cast<std::uint64_t>(declared.dim_size()) > kMaxRank) {
    return fail(where + " has rank " + std::to_string(declared.dim_size()));
  }
  Shape shape;
  for (int axis = 0; axis < declared.dim_size(); ++axis) {
    const auto& dim = declared.dim(axis);
    const std::string axis_label = where + " axis " + std::to_string(axis);
    if (dim.has_dim_value()) {
      if (dim.dim_value() <= 0) {
        return fail(axis_label + " has extent " + std::to_string(dim.dim_value()));
      }
      shape.push_back(static_cast<std::uint64_t>(dim.dim_value()));
      continue;
    }
    if (!dim.has_dim_param() || dim.dim_param().empty()) {
      return fail(axis_label + " has no extent and no name");
    }
    const auto bound = dims.find(dim.dim_param());
    if (bound == dims.end()) {
      return fail("symbolic dimension '" + dim.dim_param() + "' (" + axis_label +
                  ") is not bound to an extent");
    }
    if (bound->second == 0) {
      return fail("symbolic dimension '" + dim.dim_param() + "' is bound to 0");
    }
    used.push_back(dim.dim_param());
    shape.push_back(bound->second);
  }
  if (shape.empty()) {
    shape.push_back(1);
  }
  return shape;
}

// The declared extents of a graph output, where they are numbers, against
// the shape the import gave it.
Result<void> check_output_shape(const onnx::ValueInfoProto& info, const Shape& shape) {
  if (!info.type().has_tensor_type() || !info.type().tensor_type().has_shape()) {
    return {};
  }
  const auto& declared = info.type().tensor_type().shape();
  const bool scalar = declared.dim_size() == 0 && shape == Shape{1};
  bool fits = scalar || static_cast<std::size_t>(declared.dim_size()) == shape.size();
  for (int axis = 0; fits && axis < declared.dim_size(); ++axis) {
    const auto& dim = declared.dim(axis);
    fits = !dim.has_dim_value() ||
           static_cast<std::uint64_t>(dim.dim_value()) == shape[static_cast<std::size_t>(axis)];
  }
  if (!fits) {
    Shape numbers;
    for (const auto& dim : declared.dim()) {
      numbers.push_back(dim.has_dim_value() ? static_cast<std::uint64_t>(dim.dim_value()) : 0);
    }
    return fail("output '" + info.name() + "' has shape " + shape_text(shape) +
                ", not the declared " + shape_text(numbers) + " (0: symbolic)");
  }
  return {};
}

// The fused chain's one operation, or false when the shapes do not fit it.
Result<bool> build_fusion(Importer& in, const Fusion& fusion) {
  const auto x = in.value(fusion.input);
  if (!x) {
    return false;
  }
  const Shape shape = in.shape(*x);
  auto input = in.operand(*x);
  if (!input) {
    return std::unexpected(input.error());
  }
  const std::string& name = fusion.output;
  switch (fusion.kind) {
    case Fusion::Kind::GeluErf:
    case Fusion::Kind::GeluTanh: {
      const zc::OpKind kind =
          fusion.kind == Fusion::Kind::GeluErf ? zc::OpKind{zc::GeluErf{}} : zc::OpKind{zc::Gelu{}};
      auto defined = in.define(name, in.graph.unary(name, kind, *input));
      return defined ? Result<bool>(true) : std::unexpected(defined.error());
    }
    case Fusion::Kind::LayerNorm:
      break;
  }
  const auto axis = normalize_axis(fusion.axis, shape.size());
  if (!axis || *axis + 1 != shape.size()) {
    return false;
  }
  if (fusion.gain.empty()) {
    auto defined = in.define(name, in.graph.layer_norm(name, *input, fusion.epsilon));
    return defined ? Result<bool>(true) : std::unexpected(defined.error());
  }
  const auto gain = in.value(fusion.gain);
  const auto bias = in.value(fusion.bias);
  const Shape row{shape.back()};
  if (!gain || !bias || in.shape(*gain) != row || in.shape(*bias) != row) {
    return false;
  }
  auto g = in.operand(*gain);
  auto b = in.operand(*bias);
  if (auto error = first_error(g, b)) {
    return std::unexpected(*error);
  }
  auto defined = in.define(name, in.graph.layer_norm(name, *input, *g, *b, fusion.epsilon));
  return defined ? Result<bool>(true) : std::unexpected(defined.error());
}

// Each symbolic dimension of the inputs that `dims` leaves unbound, once,
// with where it first appears, so that one error names them all.
std::vector<std::string> unbound_dimensions(const Importer& in, const onnx::GraphProto& graph,
                                            const Dims& dims) {
  std::vector<std::string> names;
  std::vector<std::string> described;
  for (const onnx::ValueInfoProto& info : graph.input()) {
    if (in.values.contains(info.name()) || !info.type().has_tensor_type() ||
        !info.type().tensor_type().has_shape()) {
      continue;
    }
    const auto& declared = info.type().tensor_type().shape();
    for (int axis = 0; axis < declared.dim_size(); ++axis) {
      const auto& dim = declared.dim(axis);
      const std::string& name = dim.dim_param();
      if (dim.has_dim_value() || name.empty() || dims.contains(name) ||
          std::ranges::find(names, name) != names.end()) {
        continue;
      }
      names.push_back(name);
      described.push_back("'" + name + "' (input '" + info.name() + "' axis " +
                          std::to_string(axis) + ")");
    }
  }
  return described;
}

Result<void> import_inputs(Importer& in, const onnx::GraphProto& graph, const Dims& dims,
                           std::vector<std::string>& inputs) {
  if (const auto unbound = unbound_dimensions(in, graph, dims); !unbound.empty()) {
    if (unbound.size() == 1) {
      return fail("symbolic dimension " + unbound.front() + " is not bound to an extent");
    }
    std::string list;
    for (std::size_t i = 0; i < unbound.size(); ++i) {
      list += i == 0 ? "" : (i + 1 == unbound.size() ? " and " : ", ");
      list += unbound[i];
    }
    return fail("symbolic dimensions " + list + " are not bound to an extent");
  }
  std::vector<std::string> used;
  for (const onnx::ValueInfoProto& info : graph.input()) {
    if (in.values.contains(info.name())) {
      continue;  // an initialiser also listed as an input: a constant
    }
    auto shape = input_shape(info, dims, used);
    if (!shape) {
      return std::unexpected(shape.error());
    }
    const auto dtype = declared_element_type(info, "input");
    if (!dtype) {
      return std::unexpected(dtype.error());
    }
    const TensorId input =
        in.graph.input(info.name(), std::move(*shape), dtype->value_or(zc::DType::F32));
    if (auto defined = in.define(info.name(), input); !defined) {
      return defined;
    }
    inputs.push_back(info.name());
  }
  for (const auto& [name, extent] : dims) {
    if (std::ranges::find(used, name) == used.end()) {
      return fail("dimension '" + name + "' is not a symbolic dimension of the model's inputs");
    }
  }
  return {};
}

bool is_constant_node(const onnx::NodeProto& node) {
  return node.op_type() == "Constant" && is_onnx_domain(node.domain());
}

// One node through its operator's handler, which must define every output
// the node names.
Result<void> import_node(Importer& in, const onnx::NodeProto& node, const std::string& label) {
  const Operator* op = find_operator(node.domain(), node.op_type(), in.opset);
  if (op == nullptr) {
    std::string message = label + ": unsupported operator";
    if (!node.domain().empty()) {
      message += " of domain '" + node.domain() + "'";
    }
    message += "; supported: ";
    message += operator_list();
    return fail(std::move(message));
  }
  if (node.output_size() == 0) {
    return fail(label + ": no outputs");
  }
  if (auto imported = op->handler(in, node); !imported) {
    return std::unexpected(at(label, imported.error()));
  }
  for (int o = 0; o < node.output_size(); ++o) {
    if (!node.output(o).empty() && !in.values.contains(node.output(o))) {
      return fail(label + ": output " + std::to_string(o) + " ('" + node.output(o) +
                  "') is not supported");
    }
  }
  return {};
}

Result<void> import_nodes(Importer& in, const onnx::GraphProto& graph,
                          const std::stop_token& stop) {
  for (int i = 0; i < graph.node_size(); ++i) {
    const onnx::NodeProto& node = graph.node(i);
    if (is_constant_node(node)) {
      zc::throw_if_stopped(stop);
      if (auto defined = import_node(in, node, node_label(node, static_cast<std::size_t>(i)));
          !defined) {
        return defined;
      }
    }
  }
  const GraphIndex index(graph);
  const std::vector<Fusion> fusions = find_fusions(index);
  // For each node, the fusion it belongs to; a fusion is built at its first
  // node, or dropped there when its shapes do not fit.
  std::vector<const Fusion*> fusion_of(static_cast<std::size_t>(graph.node_size()), nullptr);
  for (const Fusion& fusion : fusions) {
    for (const std::size_t n : fusion.nodes) {
      fusion_of[n] = &fusion;
    }
  }
  for (std::size_t i = 0; i < fusion_of.size(); ++i) {
    zc::throw_if_stopped(stop);
    const onnx::NodeProto& node = index.node(i);
    const std::string label = node_label(node, i);
    if (const Fusion* fusion = fusion_of[i]) {
      if (fusion->nodes.front() != i) {
        continue;  // built at its first node
      }
      auto built = build_fusion(in, *fusion);
      if (!built) {
        return std::unexpected(at(label, built.error()));
      }
      if (*built) {
        continue;
      }
      for (const std::size_t n : fusion->nodes) {
        fusion_of[n] = nullptr;
      }
    }
    if (!is_constant_node(node)) {
      if (auto imported = import_node(in, node, label); !imported) {
        return imported;
      }
    }
  }
  return {};
}

Result<void> mark_outputs(Importer& in, const onnx::GraphProto& graph,
                          std::vector<std::string>& outputs) {
  for (const onnx::ValueInfoProto& info : graph.output()) {
    const std::string& name = info.name();
    auto value = in.value(name);
    if (!value) {
      return fail("output '" + name + "' is not computed by the graph");
    }
    const auto dtype = declared_element_type(info, "output");
    if (!dtype) {
      return std::unexpected(dtype.error());
    }
    auto tensor = in.operand(*value);
    if (!tensor) {
      return std::unexpected(at("output '" + name + "'", tensor.error()));
    }
    const zc::DType computed = in.graph.tensors[tensor->index].dtype;
    if (dtype->has_value() && **dtype != computed) {
      return fail("output '" + name + "' is declared " + debug_string(**dtype) +
                  " but the graph computes it as " + debug_string(computed));
    }
    const Shape shape = in.graph.tensors[tensor->index].shape;
    if (auto checked = check_output_shape(info, shape); !checked) {
      return checked;
    }
    if (in.graph.tensors[tensor->index].name != name) {
      tensor = in.reshaped(name, *tensor, shape);
      if (!tensor) {
        return std::unexpected(tensor.error());
      }
    }
    in.graph.mark_output(*tensor);
    outputs.push_back(name);
  }
  return {};
}

// Every tensor's element count and byte size within 64 bits, as the graph's
// validation needs them: a tensor beyond is named, and why.
Result<void> check_sizes(const zc::Graph& graph) {
  for (const zc::Tensor& tensor : graph.tensors) {
    const auto count = zc::checked_product(tensor.shape);
    if (!count) {
      return fail("tensor '" + tensor.name + "' of shape " + shape_text(tensor.shape) +
                  " has more elements than 64 bits count");
    }
    if (!zc::checked_mul(*count, zc::size(tensor.dtype))) {
      return fail("tensor '" + tensor.name + "' of shape " + shape_text(tensor.shape) + " has " +
                  std::to_string(*count) + " elements of " +
                  std::to_string(zc::size(tensor.dtype)) + " bytes, more bytes than 64 bits count");
    }
  }
  return {};
}

}  // namespace

Importer::Importer(const onnx::GraphProto& model, std::optional<std::filesystem::path> dir,
                   std::uint64_t fold_bytes)
    : budget(fold_bytes), directory(std::move(dir)) {
  for (const auto& initializer : model.initializer()) {
    names.insert(initializer.name());
  }
  for (const auto& input : model.input()) {
    names.insert(input.name());
  }
  for (const auto& node : model.node()) {
    names.insert(node.output().begin(), node.output().end());
  }
}

Result<Value> Importer::value(std::string_view name) const {
  const auto found = values.find(std::string(name));
  if (found == values.end()) {
    return fail("input '" + std::string(name) + "' is not defined before this node");
  }
  return found->second;
}

Result<std::optional<Value>> Importer::input(const onnx::NodeProto& node, int at) const {
  if (at >= node.input_size() || node.input(at).empty()) {
    return std::nullopt;
  }
  auto found = value(node.input(at));
  if (!found) {
    return std::unexpected(found.error());
  }
  return *found;
}

Result<Value> Importer::required(const onnx::NodeProto& node, int at) const {
  auto found = input(node, at);
  if (!found) {
    return std::unexpected(found.error());
  }
  if (!*found) {
    return fail("input " + std::to_string(at) + " is missing");
  }
  return **found;
}

const Shape& Importer::shape(const Value& value) const {
  if (const auto* tensor = std::get_if<TensorId>(&value)) {
    return graph.tensors[tensor->index].shape;
  }
  return constants[std::get<ConstantRef>(value).slot].shape;
}

ElementType Importer::type(const Value& value) const {
  if (const auto* constant = std::get_if<ConstantRef>(&value)) {
    return constants[constant->slot].type;
  }
  return ElementType::Float;
}

Result<const HostTensor*> Importer::constant(const Value& value) {
  ConstantSlot& slot = constants[std::get<ConstantRef>(value).slot];
  if (slot.value) {
    return &*slot.value;
  }
  const std::uint64_t count = *element_count(slot.shape);
  const std::string what = "the values of '" + slot.name + "'";
  if (slot.written == nullptr) {
    // In the weight map, its only copy: copied back for the fold.
    if (auto taken = budget.take(count, sizeof(float), what); !taken) {
      return std::unexpected(taken.error());
    }
    slot.value = HostTensor::of_floats(slot.shape, weights.at(slot.name), slot.type);
    return &*slot.value;
  }
  // The values are read while the model's raw bytes of them are alive; large
  // raw data is released then, and its bytes given back.
  if (auto taken = budget.take(count, held_size(slot.type), what); !taken) {
    return std::unexpected(taken.error());
  }
  auto read = read_tensor(*slot.written, directory);
  if (!read) {
    return std::unexpected(read.error());
  }
  slot.value = std::move(*read);
  if (const std::uint64_t raw = slot.written->raw_data().size(); raw >= kReleasedBytes) {
    std::string().swap(*slot.written->mutable_raw_data());
    slot.written = nullptr;
    budget.give_back(raw);
  }
  return &*slot.value;
}

Result<HostTensor> Importer::read_attribute(const onnx::TensorProto& tensor,
                                            const std::optional<std::filesystem::path>& dir) {
  auto declared = declared_type(tensor);
  if (!declared) {
    return std::unexpected(declared.error());
  }
  if (auto taken = budget.take(*element_count(declared->second), held_size(declared->first),
                               "the values of '" + tensor.name() + "'");
      !taken) {
    return std::unexpected(taken.error());
  }
  return read_tensor(tensor, dir);
}

Result<std::vector<std::int64_t>> Importer::integers(const onnx::NodeProto& node, int at,
                                                     std::string_view what) {
  auto found = required(node, at);
  if (!found) {
    return std::unexpected(found.error());
  }
  if (!is_constant(*found)) {
    return fail(std::string(what) + " '" + node.input(at) +
                "' is computed by the graph; it must be known at import");
  }
  auto known = constant(*found);
  if (!known) {
    return std::unexpected(known.error());
  }
  return integer_list(**known, what);
}

Result<TensorId> Importer::operand(const Value& value) {
  if (const auto* tensor = std::get_if<TensorId>(&value)) {
    return *tensor;
  }
  ConstantSlot& slot = constants[std::get<ConstantRef>(value).slot];
  if (slot.weight) {
    return *slot.weight;
  }
  const auto dtype = float_dtype(slot.type);
  if (!dtype) {
    return fail("'" + slot.name + "' is a constant of type " + std::string(type_name(slot.type)) +
                "; only float values (FLOAT, FLOAT16, BFLOAT16) can be operands of the graph");
  }
  std::vector<float> data;
  if (slot.value) {
    // The weight map takes the values; a fold that needs them again copies
    // them back.
    data = std::move(slot.value->floats);
    slot.value.reset();
    slot.written = nullptr;
  } else {
    // An initialiser read straight into the weight map, its only copy once
    // the model's bytes of it are released.
    auto read = read_tensor(*slot.written, directory);
    if (!read) {
      return std::unexpected(read.error());
    }
    data = std::move(read->floats);
    if (slot.written->raw_data().size() >= kReleasedBytes) {
      std::string().swap(*slot.written->mutable_raw_data());
      slot.written = nullptr;
    }
  }
  slot.weight = graph.weight(slot.name, slot.shape.empty() ? Shape{1} : slot.shape, *dtype);
  weights.insert_or_assign(slot.name, std::move(data));
  return *slot.weight;
}

Result<Value> Importer::transposed(const Value& matrix) {
  const std::size_t index = std::get<ConstantRef>(matrix).slot;
  if (constants[index].transposed) {
    return ConstantRef{*constants[index].transposed};
  }
  auto known = constant(matrix);
  if (!known) {
    return std::unexpected(known.error());
  }
  const std::vector<std::uint64_t> swap{1, 0};
  auto flipped = fold_transpose(**known, swap, budget);
  if (!flipped) {
    return std::unexpected(flipped.error());
  }
  const Value result = add_constant(constants[index].name, kTransposedRole, std::move(*flipped));
  constants[index].transposed = std::get<ConstantRef>(result).slot;
  return result;
}

Result<void> Importer::define_value(std::string_view name, Value value) {
  if (!values.emplace(std::string(name), value).second) {
    return fail("value '" + std::string(name) + "' is defined twice");
  }
  return {};
}

Result<void> Importer::define(std::string_view name, Result<TensorId> tensor) {
  if (!tensor) {
    return std::unexpected(tensor.error());
  }
  return define_value(name, *tensor);
}

Result<void> Importer::define_constant(std::string_view name, HostTensor value) {
  if (value.shape.size() > kMaxRank) {
    return fail("rank " + std::to_string(value.shape.size()) + " is above " +
                std::to_string(kMaxRank));
  }
  constants.push_back(
      ConstantSlot{std::string(name), value.type, value.shape, nullptr, std::move(value), {}, {}});
  return define_value(name, ConstantRef{constants.size() - 1});
}

Value Importer::add_constant(std::string_view base, std::string_view role, HostTensor value) {
  constants.push_back(ConstantSlot{
      fresh_name(base, role), value.type, value.shape, nullptr, std::move(value), {}, {}});
  return ConstantRef{constants.size() - 1};
}

std::string Importer::fresh_name(std::string_view base, std::string_view role) {
  const std::string stem = std::string(base) + kRoleSeparator + std::string(role);
  std::string name = stem;
  for (int n = 2; names.contains(name); ++n) {
    name = stem + "_" + std::to_string(n);
  }
  names.insert(name);
  return name;
}

Result<TensorId> Importer::reshaped(std::string_view name, TensorId input, Shape shape) {
  return graph.reshape(name, input, shape.empty() ? Shape{1} : std::move(shape));
}

Result<OnnxModel> import_model(onnx::ModelProto& model, const Dims& dims,
                               const std::optional<std::filesystem::path>& directory,
                               std::uint64_t fold_bytes, const std::stop_token& stop) {
  if (!model.has_graph()) {
    return fail("not an ONNX model: it has no graph");
  }
  const auto opset = onnx_opset(model);
  if (!opset) {
    return std::unexpected(opset.error());
  }
  onnx::GraphProto& graph = *model.mutable_graph();
  Importer in(graph, directory, fold_bytes);
  in.opset = *opset;
  // The budget grows by the external data read, as it does by the model's
  // bytes.
  std::uint64_t external = 0;
  for (onnx::TensorProto& initializer : *graph.mutable_initializer()) {
    zc::throw_if_stopped(stop);
    auto stored = check_tensor(initializer, directory);
    if (!stored) {
      return std::unexpected(stored.error());
    }
    if (stored->external) {
      external = zc::saturating_add(external, stored->bytes);
    }
    in.constants.push_back(ConstantSlot{
        initializer.name(), stored->type, std::move(stored->shape), &initializer, {}, {}, {}});
    if (auto defined = in.define_value(initializer.name(), ConstantRef{in.constants.size() - 1});
        !defined) {
      return std::unexpected(defined.error());
    }
  }
  in.budget = FoldBudget(zc::saturating_add(fold_bytes, external));
  OnnxModel imported;
  auto inputs = import_inputs(in, graph, dims, imported.inputs);
  auto nodes = inputs ? import_nodes(in, graph, stop) : inputs;
  auto outputs = nodes ? mark_outputs(in, graph, imported.outputs) : nodes;
  auto sized = outputs ? check_sizes(in.graph) : outputs;
  auto valid = sized ? in.graph.validate() : sized;
  if (!valid) {
    return std::unexpected(valid.error());
  }
  imported.graph = std::move(in.graph);
  imported.weights = std::move(in.weights);
  return imported;
}

}  // namespace zelk_onnx::detail
