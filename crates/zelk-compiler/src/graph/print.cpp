// Printed forms of the graph records.
#include <ostream>
#include <variant>

#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {

std::ostream& operator<<(std::ostream& out, TensorId id) {
  return out << "TensorId(" << id.index << ')';
}

std::ostream& operator<<(std::ostream& out, OpId id) { return out << "OpId(" << id.index << ')'; }

std::ostream& operator<<(std::ostream& out, DType dtype) {
  switch (dtype) {
    case DType::F32:
      return out << "F32";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, TensorKind kind) {
  switch (kind) {
    case TensorKind::Input:
      return out << "Input";
    case TensorKind::Weight:
      return out << "Weight";
    case TensorKind::Intermediate:
      return out << "Intermediate";
    case TensorKind::Output:
      return out << "Output";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const Tensor& tensor) {
  RecordWriter(out, "Tensor")
      .field("id", tensor.id)
      .field("name", tensor.name)
      .field("dtype", tensor.dtype)
      .field("shape", tensor.shape)
      .field("kind", tensor.kind)
      .field("producer", tensor.producer);
  return out;
}

std::ostream& operator<<(std::ostream& out, const MatMul&) { return out << "MatMul"; }
std::ostream& operator<<(std::ostream& out, const Add&) { return out << "Add"; }
std::ostream& operator<<(std::ostream& out, const Mul&) { return out << "Mul"; }
std::ostream& operator<<(std::ostream& out, const Gelu&) { return out << "Gelu"; }
std::ostream& operator<<(std::ostream& out, const Sub&) { return out << "Sub"; }
std::ostream& operator<<(std::ostream& out, const Div&) { return out << "Div"; }
std::ostream& operator<<(std::ostream& out, const Pow&) { return out << "Pow"; }
std::ostream& operator<<(std::ostream& out, const GeluErf&) { return out << "GeluErf"; }
std::ostream& operator<<(std::ostream& out, const Relu&) { return out << "Relu"; }
std::ostream& operator<<(std::ostream& out, const Erf&) { return out << "Erf"; }
std::ostream& operator<<(std::ostream& out, const Tanh&) { return out << "Tanh"; }
std::ostream& operator<<(std::ostream& out, const Sqrt&) { return out << "Sqrt"; }
std::ostream& operator<<(std::ostream& out, const Exp&) { return out << "Exp"; }

std::ostream& operator<<(std::ostream& out, const Reshape& kind) {
  RecordWriter(out, "Reshape").field("shape", kind.shape);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Transpose& kind) {
  RecordWriter(out, "Transpose").field("permutation", kind.permutation);
  return out;
}

std::ostream& operator<<(std::ostream& out, const LayerNorm& kind) {
  RecordWriter(out, "LayerNorm").field("epsilon", kind.epsilon);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Softmax& kind) {
  RecordWriter(out, "Softmax").field("axis", kind.axis);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Slice& kind) {
  RecordWriter(out, "Slice")
      .field("axis", kind.axis)
      .field("start", kind.start)
      .field("end", kind.end);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Concat& kind) {
  RecordWriter(out, "Concat").field("axis", kind.axis);
  return out;
}

std::ostream& operator<<(std::ostream& out, const ReduceMean& kind) {
  RecordWriter(out, "ReduceMean").field("axis", kind.axis);
  return out;
}

std::ostream& operator<<(std::ostream& out, const OpKind& kind) {
  std::visit([&out](const auto& variant) { out << variant; }, kind);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Op& op) {
  RecordWriter(out, "Op")
      .field("id", op.id)
      .field("name", op.name)
      .field("kind", op.kind)
      .field("inputs", op.inputs)
      .field("output", op.output);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Graph& graph) {
  RecordWriter(out, "Graph")
      .field("tensors", graph.tensors)
      .field("ops", graph.ops)
      .field("outputs", graph.outputs);
  return out;
}

}  // namespace zelk_compiler
