// The operator table: which handler imports a node, keyed by the operator's
// domain, name and the opset version its definition dates from.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <onnx/onnx_pb.h>

#include "importer.hpp"

namespace zelk_onnx::detail {

// Imports one node: defines each of its outputs it supports.
using Handler = zelk_compiler::Result<void> (*)(Importer& importer, const onnx::NodeProto& node);

struct Operator {
  std::string_view domain;  // "" for the ONNX operator set, however a model spells it
  std::string_view op_type;
  std::int64_t since_version = 0;  // the first opset whose definition `handler` imports
  Handler handler = nullptr;
};

// The handler for `op_type` of `domain` in a model importing `opset` of it:
// the entry of the latest definition not after `opset`, or null.
[[nodiscard]] const Operator* find_operator(std::string_view domain, std::string_view op_type,
                                            std::int64_t opset);

// The names of the supported operators, in alphabetical order.
[[nodiscard]] std::span<const std::string_view> operator_names();

// The list of operator names for messages: "Add, Cast, ...".
[[nodiscard]] std::string operator_list();

}  // namespace zelk_onnx::detail
