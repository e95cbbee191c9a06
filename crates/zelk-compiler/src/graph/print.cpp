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
    case DType::F16:
      return out << "F16";
    case DType::BF16:
      return out << "BF16";
    case DType::I32:
      return out << "I32";
    case DType::I64:
      return out << "I64";
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
  return write_record(out, tensor);
}

std::ostream& operator<<(std::ostream& out, const MatMul& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const Add& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const Mul& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const Gelu& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const Sub& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const Div& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const Pow& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const GeluErf& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const Relu& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const Erf& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const Tanh& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const Sqrt& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const Exp& kind) { return write_record(out, kind); }

std::ostream& operator<<(std::ostream& out, const Reshape& kind) { return write_record(out, kind); }

std::ostream& operator<<(std::ostream& out, const Transpose& kind) {
  return write_record(out, kind);
}

std::ostream& operator<<(std::ostream& out, const LayerNorm& kind) {
  return write_record(out, kind);
}

std::ostream& operator<<(std::ostream& out, const Softmax& kind) { return write_record(out, kind); }

std::ostream& operator<<(std::ostream& out, const Slice& kind) { return write_record(out, kind); }

std::ostream& operator<<(std::ostream& out, const Concat& kind) { return write_record(out, kind); }

std::ostream& operator<<(std::ostream& out, const ReduceMean& kind) {
  return write_record(out, kind);
}

std::ostream& operator<<(std::ostream& out, const Cast& kind) { return write_record(out, kind); }

std::ostream& operator<<(std::ostream& out, const Sigmoid& kind) { return write_record(out, kind); }
std::ostream& operator<<(std::ostream& out, const Gather& kind) { return write_record(out, kind); }

std::ostream& operator<<(std::ostream& out, const OpKind& kind) {
  std::visit([&out](const auto& variant) { out << variant; }, kind);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Op& op) { return write_record(out, op); }

std::ostream& operator<<(std::ostream& out, const Graph& graph) { return write_record(out, graph); }

}  // namespace zelk_compiler
