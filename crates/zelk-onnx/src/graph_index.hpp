// Who produces and who reads each value of an ONNX graph, and which values
// are constants written into the model itself.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <onnx/onnx_pb.h>

namespace zelk_onnx::detail {

// True for the ONNX operator set's domain ("" or "ai.onnx").
[[nodiscard]] bool is_onnx_domain(std::string_view domain);

// The named attribute of `node`, or null.
[[nodiscard]] const onnx::AttributeProto* find_attribute(const onnx::NodeProto& node,
                                                         std::string_view name);

class GraphIndex {
 public:
  explicit GraphIndex(const onnx::GraphProto& graph);

  [[nodiscard]] const onnx::GraphProto& graph() const { return *graph_; }
  [[nodiscard]] const onnx::NodeProto& node(std::size_t index) const {
    return graph_->node(static_cast<int>(index));
  }
  // The index of the node that outputs `value`, if a node does.
  [[nodiscard]] std::optional<std::size_t> producer(std::string_view value) const;
  // The indices of the nodes that read `value`, once per reading node.
  [[nodiscard]] std::span<const std::size_t> consumers(std::string_view value) const;
  [[nodiscard]] bool is_graph_output(std::string_view value) const;
  // The value an Identity chain leads back to (`value` itself when it is not
  // an Identity output).
  [[nodiscard]] std::string_view root(std::string_view value) const;
  // True for a constant written into the model: an initialiser or a Constant
  // node's output, reached through Identity nodes.
  [[nodiscard]] bool is_written_constant(std::string_view value) const;
  // The one float a written constant of rank 0 or shape [1] holds.
  [[nodiscard]] std::optional<float> scalar(std::string_view value) const;

 private:
  const onnx::GraphProto* graph_;
  std::unordered_map<std::string_view, std::size_t> producers_;
  std::unordered_map<std::string_view, std::vector<std::size_t>> consumers_;
  std::unordered_set<std::string_view> outputs_;
  std::unordered_map<std::string_view, const onnx::TensorProto*> initializers_;
};

}  // namespace zelk_onnx::detail
