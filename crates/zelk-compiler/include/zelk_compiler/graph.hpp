// The graph model: tensors, operations, the dataflow graph and its builders.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "zelk_compiler/error.hpp"
#include "zelk_compiler/fields.hpp"

namespace zelk_compiler {

// Position of a tensor in `Graph::tensors`.
struct TensorId {
  std::uint64_t index = 0;
  friend bool operator==(const TensorId&, const TensorId&) = default;
  friend auto operator<=>(const TensorId&, const TensorId&) = default;
};

// Position of an operation in `Graph::ops`.
struct OpId {
  std::uint64_t index = 0;
  friend bool operator==(const OpId&, const OpId&) = default;
  friend auto operator<=>(const OpId&, const OpId&) = default;
};

// Element types: IEEE 754 binary32 and binary16, bfloat16 (binary32's sign
// and exponent with a 7-bit fraction), and signed integers for ids and masks.
enum class DType { F32, F16, BF16, I32, I64 };

// Every element type, in declaration order.
inline constexpr std::array<DType, 5> kDTypes{DType::F32, DType::F16, DType::BF16, DType::I32,
                                              DType::I64};

// Bytes per element. Throws std::invalid_argument for a value that names no
// element type.
[[nodiscard]] constexpr std::uint64_t size(DType dtype) {
  switch (dtype) {
    case DType::F32:
    case DType::I32:
      return 4;
    case DType::F16:
    case DType::BF16:
      return 2;
    case DType::I64:
      return 8;
  }
  throw std::invalid_argument("size: not an element type");
}

// Whether `dtype` is one of the values above.
[[nodiscard]] constexpr bool is_element_type(DType dtype) {
  return std::ranges::find(kDTypes, dtype) != kDTypes.end();
}

[[nodiscard]] constexpr bool is_float(DType dtype) {
  return dtype == DType::F32 || dtype == DType::F16 || dtype == DType::BF16;
}

// The lower-case name files and kernel keys use: "f32", "f16", "bf16", "i32",
// "i64". Throws std::invalid_argument for a value that names no element type.
[[nodiscard]] constexpr std::string_view dtype_name(DType dtype) {
  switch (dtype) {
    case DType::F32:
      return "f32";
    case DType::F16:
      return "f16";
    case DType::BF16:
      return "bf16";
    case DType::I32:
      return "i32";
    case DType::I64:
      return "i64";
  }
  throw std::invalid_argument("dtype_name: not an element type");
}

// The element type `dtype_name` calls `name`, if any.
[[nodiscard]] constexpr std::optional<DType> dtype_from_name(std::string_view name) {
  for (const DType dtype : kDTypes) {
    if (dtype_name(dtype) == name) {
      return dtype;
    }
  }
  return std::nullopt;
}

enum class TensorKind { Input, Weight, Intermediate, Output };

struct Tensor {
  TensorId id;
  std::string name;
  DType dtype = DType::F32;
  std::vector<std::uint64_t> shape;
  TensorKind kind = TensorKind::Intermediate;
  std::optional<OpId> producer;

  // Product of the shape's entries (1 for an empty shape, 0 when any entry is
  // 0). Throws std::overflow_error when the product does not fit 64 bits.
  [[nodiscard]] std::uint64_t elements() const;

  friend bool operator==(const Tensor&, const Tensor&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Tensor>) {
  return describe_record<Tensor>("Tensor", field("id", &Tensor::id), field("name", &Tensor::name),
                                 field("dtype", &Tensor::dtype), field("shape", &Tensor::shape),
                                 field("kind", &Tensor::kind),
                                 field("producer", &Tensor::producer));
}

struct MatMul {
  friend bool operator==(const MatMul&, const MatMul&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<MatMul>) {
  return describe_record<MatMul>("MatMul");
}
struct Add {
  friend bool operator==(const Add&, const Add&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Add>) {
  return describe_record<Add>("Add");
}
struct Mul {
  friend bool operator==(const Mul&, const Mul&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Mul>) {
  return describe_record<Mul>("Mul");
}
struct Reshape {
  std::vector<std::uint64_t> shape;
  friend bool operator==(const Reshape&, const Reshape&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Reshape>) {
  return describe_record<Reshape>("Reshape", field("shape", &Reshape::shape));
}
// Entry i of `permutation` is the input axis that becomes output axis i.
struct Transpose {
  std::vector<std::uint64_t> permutation;
  friend bool operator==(const Transpose&, const Transpose&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Transpose>) {
  return describe_record<Transpose>("Transpose", field("permutation", &Transpose::permutation));
}
struct LayerNorm {
  float epsilon = 0.0F;
  friend bool operator==(const LayerNorm&, const LayerNorm&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<LayerNorm>) {
  return describe_record<LayerNorm>("LayerNorm", field("epsilon", &LayerNorm::epsilon));
}
struct Softmax {
  std::uint64_t axis = 0;
  friend bool operator==(const Softmax&, const Softmax&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Softmax>) {
  return describe_record<Softmax>("Softmax", field("axis", &Softmax::axis));
}
struct Gelu {
  friend bool operator==(const Gelu&, const Gelu&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Gelu>) {
  return describe_record<Gelu>("Gelu");
}
struct Sub {
  friend bool operator==(const Sub&, const Sub&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Sub>) {
  return describe_record<Sub>("Sub");
}
struct Div {
  friend bool operator==(const Div&, const Div&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Div>) {
  return describe_record<Div>("Div");
}
struct Pow {
  friend bool operator==(const Pow&, const Pow&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Pow>) {
  return describe_record<Pow>("Pow");
}
// GELU in its exact form, 0.5 x (1 + erf(x / sqrt(2))); `Gelu` is the tanh form.
struct GeluErf {
  friend bool operator==(const GeluErf&, const GeluErf&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<GeluErf>) {
  return describe_record<GeluErf>("GeluErf");
}
struct Relu {
  friend bool operator==(const Relu&, const Relu&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Relu>) {
  return describe_record<Relu>("Relu");
}
struct Erf {
  friend bool operator==(const Erf&, const Erf&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Erf>) {
  return describe_record<Erf>("Erf");
}
struct Tanh {
  friend bool operator==(const Tanh&, const Tanh&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Tanh>) {
  return describe_record<Tanh>("Tanh");
}
struct Sqrt {
  friend bool operator==(const Sqrt&, const Sqrt&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Sqrt>) {
  return describe_record<Sqrt>("Sqrt");
}
struct Exp {
  friend bool operator==(const Exp&, const Exp&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Exp>) {
  return describe_record<Exp>("Exp");
}
// The positions [start, end) of `axis`, step 1.
struct Slice {
  std::uint64_t axis = 0;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  friend bool operator==(const Slice&, const Slice&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Slice>) {
  return describe_record<Slice>("Slice", field("axis", &Slice::axis), field("start", &Slice::start),
                                field("end", &Slice::end));
}
// The inputs one after the other along `axis`.
struct Concat {
  std::uint64_t axis = 0;
  friend bool operator==(const Concat&, const Concat&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Concat>) {
  return describe_record<Concat>("Concat", field("axis", &Concat::axis));
}
// The mean along `axis`, which is kept with extent 1.
struct ReduceMean {
  std::uint64_t axis = 0;
  friend bool operator==(const ReduceMean&, const ReduceMean&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<ReduceMean>) {
  return describe_record<ReduceMean>("ReduceMean", field("axis", &ReduceMean::axis));
}

// The input's values converted to element type `to`; see `Graph::cast`.
struct Cast {
  DType to = DType::F32;
  friend bool operator==(const Cast&, const Cast&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Cast>) {
  return describe_record<Cast>("Cast", field("to", &Cast::to));
}
// 1 / (1 + exp(-x)).
struct Sigmoid {
  friend bool operator==(const Sigmoid&, const Sigmoid&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Sigmoid>) {
  return describe_record<Sigmoid>("Sigmoid");
}
// Rows of a table looked up by integer ids; see `Graph::gather`.
struct Gather {
  friend bool operator==(const Gather&, const Gather&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Gather>) {
  return describe_record<Gather>("Gather");
}

using OpKind = std::variant<MatMul, Add, Mul, Reshape, Transpose, LayerNorm, Softmax, Gelu, Sub,
                            Div, Pow, GeluErf, Relu, Erf, Tanh, Sqrt, Exp, Slice, Concat,
                            ReduceMean, Cast, Sigmoid, Gather>;

// The fixed lower-case kernel name of an operation kind ("matmul",
// "layer_norm", ...); the data a kind carries does not change it.
[[nodiscard]] std::string_view operation_name(const OpKind& kind);

struct Op {
  OpId id;
  std::string name;
  OpKind kind;
  std::vector<TensorId> inputs;
  TensorId output;

  friend bool operator==(const Op&, const Op&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Op>) {
  return describe_record<Op>("Op", field("id", &Op::id), field("name", &Op::name),
                             field("kind", &Op::kind), field("inputs", &Op::inputs),
                             field("output", &Op::output));
}

// A dataflow graph. It only grows: builders append, nothing is removed. A
// failed builder call leaves the graph exactly as it was.
struct Graph {
  std::vector<Tensor> tensors;
  std::vector<Op> ops;
  std::vector<TensorId> outputs;

  // Common steps of the builders. `op` gives its output its operands' element
  // type (F32 when it has none; a cast's target type), so every builder does.
  // It fails with name + ": mixed input types F32 and F16" (the first two
  // types that differ) and, for an integer operand of a kind that computes
  // only on floats (every kind but add, sub, mul, cast and those that only
  // move elements), with name + ": matmul takes floating-point inputs, not
  // I64". A gather mixes types: its output has its float table's type.
  [[nodiscard]] TensorId tensor(std::string_view name, std::vector<std::uint64_t> shape,
                                TensorKind kind, std::optional<OpId> producer,
                                DType dtype = DType::F32);
  [[nodiscard]] Result<TensorId> op(std::string_view name, OpKind kind,
                                    std::vector<TensorId> inputs, std::vector<std::uint64_t> shape);
  [[nodiscard]] Result<TensorId> binary(std::string_view name, OpKind kind, TensorId left,
                                        TensorId right);

  [[nodiscard]] TensorId input(std::string_view name, std::vector<std::uint64_t> shape,
                               DType dtype = DType::F32);
  [[nodiscard]] TensorId weight(std::string_view name, std::vector<std::uint64_t> shape,
                                DType dtype = DType::F32);
  // Throws std::out_of_range for an id that names no tensor.
  void mark_output(TensorId tensor);

  [[nodiscard]] Result<TensorId> matmul(std::string_view name, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> add(std::string_view name, TensorId left, TensorId right);
  [[nodiscard]] Result<TensorId> transpose(std::string_view name, TensorId input,
                                           std::vector<std::uint64_t> permutation);
  [[nodiscard]] Result<TensorId> layer_norm(std::string_view name, TensorId input, float epsilon);
  [[nodiscard]] Result<TensorId> softmax(std::string_view name, TensorId input, std::uint64_t axis);
  [[nodiscard]] Result<TensorId> gelu(std::string_view name, TensorId input);

  // Element-wise product of two tensors of identical shape ("binary shapes
  // differ" otherwise), as `add` is their sum.
  [[nodiscard]] Result<TensorId> mul(std::string_view name, TensorId left, TensorId right);
  // The input's elements under another shape with the same element count.
  [[nodiscard]] Result<TensorId> reshape(std::string_view name, TensorId input,
                                         std::vector<std::uint64_t> shape);
  // `kind` (Add, Mul, Sub, Div or Pow; any other kind throws
  // std::invalid_argument) applied element by element with NumPy
  // broadcasting: shapes are aligned at their last axes, and each pair of
  // extents must be equal or one of them 1.
  [[nodiscard]] Result<TensorId> elementwise(std::string_view name, OpKind kind, TensorId left,
                                             TensorId right);
  // Matrix products over the last two axes ([..., m, k] x [..., k, n] gives
  // [..., m, n]), the leading axes broadcast as by `elementwise`. Both
  // operands have rank 2 or more.
  [[nodiscard]] Result<TensorId> batch_matmul(std::string_view name, TensorId left, TensorId right);
  // Layer normalisation over the last axis, then times `gain` plus `bias`,
  // both of shape [last extent].
  [[nodiscard]] Result<TensorId> layer_norm(std::string_view name, TensorId input, TensorId gain,
                                            TensorId bias, float epsilon);
  // `kind` (Gelu, GeluErf, Relu, Erf, Tanh, Sqrt, Exp or Sigmoid; any other
  // kind throws std::invalid_argument) applied to every element.
  [[nodiscard]] Result<TensorId> unary(std::string_view name, OpKind kind, TensorId input);
  // Positions [start, end) of `axis`; 0 <= start < end <= the axis's extent.
  [[nodiscard]] Result<TensorId> slice(std::string_view name, TensorId input, std::uint64_t axis,
                                       std::uint64_t start, std::uint64_t end);
  // One or more tensors of equal rank whose extents agree except along `axis`.
  [[nodiscard]] Result<TensorId> concat(std::string_view name, std::vector<TensorId> inputs,
                                        std::uint64_t axis);
  // The mean along `axis`, kept with extent 1.
  [[nodiscard]] Result<TensorId> reduce_mean(std::string_view name, TensorId input,
                                             std::uint64_t axis);
  // The input's elements converted to `to`, shape unchanged, from and to any
  // element type (docs/operations.md gives the conversions); `to` must name
  // an element type (name + ": cast to an unknown element type").
  [[nodiscard]] Result<TensorId> cast(std::string_view name, TensorId input, DType to);
  // Row ids[i] of `table` for every id (an embedding lookup): `table` is
  // [rows, width] of a float type, `ids` of any shape and an integer type;
  // the output is ids' shape + [width], of the table's type. Refuses a table
  // of another rank (name + ": gather table must be 2-D, not [3]") or type,
  // and ids of a float type (name + ": gather takes integer ids, not F32").
  // Ids outside -rows .. rows - 1 are refused when evaluated; -rows .. -1
  // count from the last row.
  [[nodiscard]] Result<TensorId> gather(std::string_view name, TensorId table, TensorId ids);

  // Checks the graph as a whole: ids at their positions, known element types
  // (of tensors and of casts' targets), usable shapes (no zero extent, byte
  // size within 64 bits), operation links in range and matching producers,
  // outputs that name tensors, at least one output.
  [[nodiscard]] Result<void> validate() const;

  friend bool operator==(const Graph&, const Graph&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Graph>) {
  return describe_record<Graph>("Graph", field("tensors", &Graph::tensors),
                                field("ops", &Graph::ops), field("outputs", &Graph::outputs));
}

std::ostream& operator<<(std::ostream& out, TensorId id);
std::ostream& operator<<(std::ostream& out, OpId id);
std::ostream& operator<<(std::ostream& out, DType dtype);
std::ostream& operator<<(std::ostream& out, TensorKind kind);
std::ostream& operator<<(std::ostream& out, const Tensor& tensor);
std::ostream& operator<<(std::ostream& out, const MatMul& kind);
std::ostream& operator<<(std::ostream& out, const Add& kind);
std::ostream& operator<<(std::ostream& out, const Mul& kind);
std::ostream& operator<<(std::ostream& out, const Reshape& kind);
std::ostream& operator<<(std::ostream& out, const Transpose& kind);
std::ostream& operator<<(std::ostream& out, const LayerNorm& kind);
std::ostream& operator<<(std::ostream& out, const Softmax& kind);
std::ostream& operator<<(std::ostream& out, const Gelu& kind);
std::ostream& operator<<(std::ostream& out, const Sub& kind);
std::ostream& operator<<(std::ostream& out, const Div& kind);
std::ostream& operator<<(std::ostream& out, const Pow& kind);
std::ostream& operator<<(std::ostream& out, const GeluErf& kind);
std::ostream& operator<<(std::ostream& out, const Relu& kind);
std::ostream& operator<<(std::ostream& out, const Erf& kind);
std::ostream& operator<<(std::ostream& out, const Tanh& kind);
std::ostream& operator<<(std::ostream& out, const Sqrt& kind);
std::ostream& operator<<(std::ostream& out, const Exp& kind);
std::ostream& operator<<(std::ostream& out, const Slice& kind);
std::ostream& operator<<(std::ostream& out, const Concat& kind);
std::ostream& operator<<(std::ostream& out, const ReduceMean& kind);
std::ostream& operator<<(std::ostream& out, const Cast& kind);
std::ostream& operator<<(std::ostream& out, const Sigmoid& kind);
std::ostream& operator<<(std::ostream& out, const Gather& kind);
std::ostream& operator<<(std::ostream& out, const OpKind& kind);
std::ostream& operator<<(std::ostream& out, const Op& op);
std::ostream& operator<<(std::ostream& out, const Graph& graph);

}  // namespace zelk_compiler

template <>
struct std::hash<zelk_compiler::TensorId> {
  std::size_t operator()(zelk_compiler::TensorId id) const noexcept {
    return std::hash<std::uint64_t>{}(id.index);
  }
};
