// Producers, consumers and written constants of an ONNX graph.
#include "graph_index.hpp"

#include "tensor_proto.hpp"

namespace zelk_onnx::detail {

bool is_onnx_domain(std::string_view domain) { return domain.empty() || domain == "ai.onnx"; }

const onnx::AttributeProto* find_attribute(const onnx::NodeProto& node, std::string_view name) {
  for (const onnx::AttributeProto& attribute : node.attribute()) {
    if (attribute.name() == name) {
      return &attribute;
    }
  }
  return nullptr;
}

GraphIndex::GraphIndex(const onnx::GraphProto& graph) : graph_(&graph) {
  for (const onnx::TensorProto& initializer : graph.initializer()) {
    initializers_.emplace(initializer.name(), &initializer);
  }
  for (int i = 0; i < graph.node_size(); ++i) {
    const onnx::NodeProto& node = graph.node(i);
    const auto index = static_cast<std::size_t>(i);
    for (const std::string& output : node.output()) {
      if (!output.empty()) {
        producers_.emplace(output, index);
      }
    }
    for (const std::string& input : node.input()) {
      if (!input.empty()) {
        consumers_[input].push_back(index);
      }
    }
  }
  for (const onnx::ValueInfoProto& output : graph.output()) {
    outputs_.insert(output.name());
  }
}

std::optional<std::size_t> GraphIndex::producer(std::string_view value) const {
  const auto found = producers_.find(value);
  if (found == producers_.end()) {
    return std::nullopt;
  }
  return found->second;
}

std::span<const std::size_t> GraphIndex::consumers(std::string_view value) const {
  const auto found = consumers_.find(value);
  if (found == consumers_.end()) {
    return {};
  }
  return found->second;
}

bool GraphIndex::is_graph_output(std::string_view value) const { return outputs_.contains(value); }

std::string_view GraphIndex::root(std::string_view value) const {
  // Each step moves to an earlier node in a well-formed graph; the bound
  // stops a cycle in a malformed one.
  for (int step = 0; step <= graph_->node_size(); ++step) {
    const auto index = producer(value);
    if (!index) {
      return value;
    }
    const onnx::NodeProto& identity = node(*index);
    if (identity.op_type() != "Identity" || !is_onnx_domain(identity.domain()) ||
        identity.input_size() != 1) {
      return value;
    }
    value = identity.input(0);
  }
  return value;
}

bool GraphIndex::is_written_constant(std::string_view value) const {
  const std::string_view source = root(value);
  if (initializers_.contains(source)) {
    return true;
  }
  const auto index = producer(source);
  return index && node(*index).op_type() == "Constant" && is_onnx_domain(node(*index).domain());
}

std::optional<float> GraphIndex::scalar(std::string_view value) const {
  const std::string_view source = root(value);
  const onnx::TensorProto* tensor = nullptr;
  if (const auto found = initializers_.find(source); found != initializers_.end()) {
    tensor = found->second;
  } else if (const auto index = producer(source); index && node(*index).op_type() == "Constant") {
    const onnx::NodeProto& constant = node(*index);
    if (const auto* attribute = find_attribute(constant, "value_float");
        attribute != nullptr && attribute->type() == onnx::AttributeProto_AttributeType_FLOAT) {
      return attribute->f();
    }
    if (const auto* attribute = find_attribute(constant, "value");
        attribute != nullptr && attribute->type() == onnx::AttributeProto_AttributeType_TENSOR) {
      tensor = &attribute->t();
    }
  }
  const bool one_element =
      tensor != nullptr &&
      (tensor->dims_size() == 0 || (tensor->dims_size() == 1 && tensor->dims(0) == 1));
  if (!one_element || tensor->data_type() != onnx::TensorProto_DataType_FLOAT) {
    return std::nullopt;
  }
  const auto values = read_tensor(*tensor, std::nullopt);
  if (!values || values->floats.size() != 1) {
    return std::nullopt;
  }
  return values->floats.front();
}

}  // namespace zelk_onnx::detail
