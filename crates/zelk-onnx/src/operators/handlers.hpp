// The handlers of the ONNX operators the importer takes (the table in
// table.cpp names them). Most operators go through one of two generic
// builders, an element-wise operation of two operands or of one; the others
// have a handler of their own, by family:
//
//   elementwise.cpp  the generic builders, Sqrt, Equal, Where
//   products.cpp     MatMul, Gemm, Softmax, LayerNormalization, ReduceMean
//   movement.cpp     Transpose, Reshape, Flatten, (Un)Squeeze, Slice, Split,
//                    Concat, Gather, Expand
//   values.cpp       Identity, Dropout, Cast, Shape, Constant,
//                    ConstantOfShape, Range
//
// A handler defines each output of its node that it supports. A node whose
// inputs are all known at import is folded into a constant where the
// operator is shape arithmetic or data movement; otherwise it becomes
// operations of the graph, its constant operands becoming weight tensors.
#pragma once

#include <onnx/onnx_pb.h>

#include "fold.hpp"
#include "importer.hpp"

namespace zelk_onnx::detail::ops {

// An element-wise operation of two operands, broadcast: folded as `op` when
// both are known at import, otherwise `kind` of the graph.
[[nodiscard]] zelk_compiler::Result<void> arithmetic(Importer& in, const onnx::NodeProto& node,
                                                     Arithmetic op, zelk_compiler::OpKind kind);
// An element-wise operation `kind` of one operand.
[[nodiscard]] zelk_compiler::Result<void> unary(Importer& in, const onnx::NodeProto& node,
                                                zelk_compiler::OpKind kind);

template <Arithmetic Op, class Kind>
[[nodiscard]] zelk_compiler::Result<void> arithmetic(Importer& in, const onnx::NodeProto& node) {
  return arithmetic(in, node, Op, Kind{});
}

template <class Kind>
[[nodiscard]] zelk_compiler::Result<void> unary(Importer& in, const onnx::NodeProto& node) {
  return unary(in, node, Kind{});
}

[[nodiscard]] zelk_compiler::Result<void> sqrt(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> equal(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> where(Importer& in, const onnx::NodeProto& node);

[[nodiscard]] zelk_compiler::Result<void> matmul(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> gemm(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> softmax(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> layer_normalization(Importer& in,
                                                              const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> reduce_mean(Importer& in, const onnx::NodeProto& node);

[[nodiscard]] zelk_compiler::Result<void> transpose(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> reshape(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> flatten(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> unsqueeze(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> squeeze(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> slice(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> split(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> concat(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> gather(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> expand(Importer& in, const onnx::NodeProto& node);

[[nodiscard]] zelk_compiler::Result<void> identity(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> dropout(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> cast(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> shape(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> constant(Importer& in, const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> constant_of_shape(Importer& in,
                                                            const onnx::NodeProto& node);
[[nodiscard]] zelk_compiler::Result<void> range(Importer& in, const onnx::NodeProto& node);

}  // namespace zelk_onnx::detail::ops
