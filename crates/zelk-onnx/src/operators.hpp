// The ONNX operators the importer takes: how each node becomes operations of
// the graph, or a constant folded at import.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "importer.hpp"

namespace zelk_onnx::detail {

// Imports one node: defines each of its outputs it supports.
using Handler = zelk_compiler::Result<void> (*)(Importer& importer, const onnx::NodeProto& node);

struct Operator {
  std::string_view op_type;
  Handler handler;
};

// Every operator, in alphabetical order.
[[nodiscard]] std::span<const Operator> operators();
[[nodiscard]] std::span<const std::string_view> operator_names();
[[nodiscard]] const Operator* find_operator(std::string_view op_type);

// The list of operator names for messages: "Add, Cast, ...".
[[nodiscard]] std::string operator_list();

}  // namespace zelk_onnx::detail
