// The kind table of graph files: one specialisation per operation kind.
#include "formats/graph_json_kinds.hpp"

#include <algorithm>
#include <array>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace zelkc::graph_file {

namespace {

// The kind `make` builds from a field that was read.
template <class T, class Make>
Outcome<zc::OpKind> kind_from(Outcome<T> field, Make make) {
  if (!field) {
    return std::unexpected(std::move(field.error()));
  }
  return zc::OpKind{make(std::move(*field))};
}

// How graph files spell each operation kind: the fields it carries, the
// operands its entry takes, reading and writing its fields, and the builder
// call that makes it. Declared but not defined, so that a kind without a
// specialisation fails to compile rather than being read as another.
template <class Kind>
struct KindFile;

// A kind that carries nothing and takes `count` operands.
template <class Kind, std::size_t count>
struct PlainKind {
  static constexpr std::array<std::string_view, 0> fields{};
  static constexpr Operands operands{.count = count};
  static Outcome<zc::OpKind> read(const FieldReader&) { return Kind{}; }
  static void write(const Kind&, Json&) {}
};

template <class Kind>
struct UnaryKind : PlainKind<Kind, 1> {
  static Built build(zc::Graph& graph, std::string_view name, const Kind& kind, OperandIds in) {
    return graph.unary(name, kind, in[0]);
  }
};

bool same_shapes(const zc::Graph& graph, zc::TensorId left, zc::TensorId right) {
  return left.index < graph.tensors.size() && right.index < graph.tensors.size() &&
         graph.tensors[left.index].shape == graph.tensors[right.index].shape;
}

// Element-wise kinds broadcast; those with a builder of their own for
// identical shapes (`add`, `mul`) go through it when the shapes are identical.
template <class Kind, auto identical = nullptr>
struct BroadcastKind : PlainKind<Kind, 2> {
  static Built build(zc::Graph& graph, std::string_view name, const Kind& kind, OperandIds in) {
    if constexpr (!std::is_same_v<decltype(identical), std::nullptr_t>) {
      if (same_shapes(graph, in[0], in[1])) {
        return (graph.*identical)(name, in[0], in[1]);
      }
    }
    return graph.elementwise(name, kind, in[0], in[1]);
  }
};

// A kind whose one field is an axis.
template <class Kind>
struct AxisKind {
  static constexpr std::array<std::string_view, 1> fields{"axis"};
  static Outcome<zc::OpKind> read(const FieldReader& entry) {
    return kind_from(entry.whole("axis"), [](std::uint64_t axis) { return Kind{axis}; });
  }
  static void write(const Kind& kind, Json& entry) { entry["axis"] = kind.axis; }
};

template <>
struct KindFile<zc::MatMul> : PlainKind<zc::MatMul, 2> {
  // Products of two matrices keep their own builder; anything else batches.
  static Built build(zc::Graph& graph, std::string_view name, const zc::MatMul&, OperandIds in) {
    const auto rank = [&](zc::TensorId id) {
      return id.index < graph.tensors.size() ? graph.tensors[id.index].shape.size() : 0;
    };
    if (rank(in[0]) == 2 && rank(in[1]) == 2) {
      return graph.matmul(name, in[0], in[1]);
    }
    return graph.batch_matmul(name, in[0], in[1]);
  }
};

template <>
struct KindFile<zc::Add> : BroadcastKind<zc::Add, &zc::Graph::add> {};
template <>
struct KindFile<zc::Mul> : BroadcastKind<zc::Mul, &zc::Graph::mul> {};
template <>
struct KindFile<zc::Sub> : BroadcastKind<zc::Sub> {};
template <>
struct KindFile<zc::Div> : BroadcastKind<zc::Div> {};
template <>
struct KindFile<zc::Pow> : BroadcastKind<zc::Pow> {};

template <>
struct KindFile<zc::Reshape> {
  static constexpr std::array<std::string_view, 1> fields{"shape"};
  static constexpr Operands operands{.count = 1};
  static Outcome<zc::OpKind> read(const FieldReader& entry) {
    return kind_from(entry.list("shape"), [](std::vector<std::uint64_t> shape) {
      return zc::Reshape{std::move(shape)};
    });
  }
  static void write(const zc::Reshape& kind, Json& entry) { entry["shape"] = kind.shape; }
  static Built build(zc::Graph& graph, std::string_view name, const zc::Reshape& kind,
                     OperandIds in) {
    return graph.reshape(name, in[0], kind.shape);
  }
};

template <>
struct KindFile<zc::Transpose> {
  static constexpr std::array<std::string_view, 1> fields{"permutation"};
  static constexpr Operands operands{.count = 1};
  static Outcome<zc::OpKind> read(const FieldReader& entry) {
    return kind_from(entry.list("permutation"), [](std::vector<std::uint64_t> permutation) {
      return zc::Transpose{std::move(permutation)};
    });
  }
  static void write(const zc::Transpose& kind, Json& entry) {
    entry["permutation"] = kind.permutation;
  }
  static Built build(zc::Graph& graph, std::string_view name, const zc::Transpose& kind,
                     OperandIds in) {
    return graph.transpose(name, in[0], kind.permutation);
  }
};

template <>
struct KindFile<zc::LayerNorm> {
  static constexpr std::array<std::string_view, 1> fields{"epsilon"};
  // The input alone, or the input, the gain and the bias.
  static constexpr Operands operands{.count = 1, .alternative = 3};
  static Outcome<zc::OpKind> read(const FieldReader& entry) {
    return kind_from(entry.real("epsilon"), [](float epsilon) { return zc::LayerNorm{epsilon}; });
  }
  static void write(const zc::LayerNorm& kind, Json& entry) {
    entry["epsilon"] = float_to_json(kind.epsilon);
  }
  static Built build(zc::Graph& graph, std::string_view name, const zc::LayerNorm& kind,
                     OperandIds in) {
    if (in.size() == 3) {
      return graph.layer_norm(name, in[0], in[1], in[2], kind.epsilon);
    }
    return graph.layer_norm(name, in[0], kind.epsilon);
  }
};

template <>
struct KindFile<zc::Softmax> : AxisKind<zc::Softmax> {
  static constexpr Operands operands{.count = 1};
  static Built build(zc::Graph& graph, std::string_view name, const zc::Softmax& kind,
                     OperandIds in) {
    return graph.softmax(name, in[0], kind.axis);
  }
};

template <>
struct KindFile<zc::Gelu> : UnaryKind<zc::Gelu> {};
template <>
struct KindFile<zc::GeluErf> : UnaryKind<zc::GeluErf> {};
template <>
struct KindFile<zc::Relu> : UnaryKind<zc::Relu> {};
template <>
struct KindFile<zc::Erf> : UnaryKind<zc::Erf> {};
template <>
struct KindFile<zc::Tanh> : UnaryKind<zc::Tanh> {};
template <>
struct KindFile<zc::Sqrt> : UnaryKind<zc::Sqrt> {};
template <>
struct KindFile<zc::Exp> : UnaryKind<zc::Exp> {};

template <>
struct KindFile<zc::Slice> {
  static constexpr std::array<std::string_view, 3> fields{"axis", "start", "end"};
  static constexpr Operands operands{.count = 1};
  static Outcome<zc::OpKind> read(const FieldReader& entry) {
    zc::Slice slice;
    for (const auto& [key, value] :
         {std::pair{"axis", &slice.axis}, std::pair{"start", &slice.start},
          std::pair{"end", &slice.end}}) {
      const auto read = entry.whole(key);
      if (!read) {
        return std::unexpected(read.error());
      }
      *value = *read;
    }
    return slice;
  }
  static void write(const zc::Slice& kind, Json& entry) {
    entry["axis"] = kind.axis;
    entry["start"] = kind.start;
    entry["end"] = kind.end;
  }
  static Built build(zc::Graph& graph, std::string_view name, const zc::Slice& kind,
                     OperandIds in) {
    return graph.slice(name, in[0], kind.axis, kind.start, kind.end);
  }
};

template <>
struct KindFile<zc::Concat> : AxisKind<zc::Concat> {
  static constexpr Operands operands{.count = 1, .or_more = true};
  static Built build(zc::Graph& graph, std::string_view name, const zc::Concat& kind,
                     OperandIds in) {
    return graph.concat(name, std::vector<zc::TensorId>(in.begin(), in.end()), kind.axis);
  }
};

template <>
struct KindFile<zc::ReduceMean> : AxisKind<zc::ReduceMean> {
  static constexpr Operands operands{.count = 1};
  static Built build(zc::Graph& graph, std::string_view name, const zc::ReduceMean& kind,
                     OperandIds in) {
    return graph.reduce_mean(name, in[0], kind.axis);
  }
};

template <>
struct KindFile<zc::Cast> {
  static constexpr std::array<std::string_view, 1> fields{"to"};
  static constexpr Operands operands{.count = 1};
  static Outcome<zc::OpKind> read(const FieldReader& entry) {
    return kind_from(entry.element_type("to"), [](zc::DType to) { return zc::Cast{to}; });
  }
  // A value that names no type has no name to write; replaying the entry
  // refuses it.
  static void write(const zc::Cast& kind, Json& entry) {
    if (zc::is_element_type(kind.to)) {
      entry["to"] = zc::dtype_name(kind.to);
    }
  }
  static Built build(zc::Graph& graph, std::string_view name, const zc::Cast& kind, OperandIds in) {
    return graph.cast(name, in[0], kind.to);
  }
};

template <>
struct KindFile<zc::Sigmoid> : UnaryKind<zc::Sigmoid> {};

template <>
struct KindFile<zc::Gather> : PlainKind<zc::Gather, 2> {
  static Built build(zc::Graph& graph, std::string_view name, const zc::Gather&, OperandIds in) {
    return graph.gather(name, in[0], in[1]);
  }
};

template <class Kind>
KindSpelling spelling_for() {
  return KindSpelling{.name = zc::operation_name(Kind{}),
                      .fields = KindFile<Kind>::fields,
                      .operands = KindFile<Kind>::operands,
                      .read = &KindFile<Kind>::read};
}

constexpr std::size_t kKindCount = std::variant_size_v<zc::OpKind>;

// One row per kind, in the order of the variant's alternatives.
const std::array<KindSpelling, kKindCount>& kinds() {
  static const std::array<KindSpelling, kKindCount> table =
      []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<KindSpelling, kKindCount>{
        spelling_for<std::variant_alternative_t<I, zc::OpKind>>()...};
  }
  (std::make_index_sequence<kKindCount>{});
  return table;
}

const KindSpelling& spelling_of(const zc::OpKind& kind) { return kinds()[kind.index()]; }

}  // namespace

const KindSpelling* find_kind(std::string_view name) {
  const auto found = std::ranges::find(kinds(), name, &KindSpelling::name);
  return found == kinds().end() ? nullptr : &*found;
}

std::optional<Built> call_builder(zc::Graph& graph, std::string_view name, const zc::OpKind& kind,
                                  OperandIds in) {
  if (!spelling_of(kind).operands.accept(in.size())) {
    return std::nullopt;
  }
  return std::visit(
      [&]<class Kind>(const Kind& alternative) {
        return KindFile<Kind>::build(graph, name, alternative, in);
      },
      kind);
}

void write_fields(const zc::OpKind& kind, Json& entry) {
  std::visit(
      [&]<class Kind>(const Kind& alternative) { KindFile<Kind>::write(alternative, entry); },
      kind);
}

std::string known_entries() {
  std::string list = "input, weight";
  for (const KindSpelling& kind : kinds()) {
    list += ", ";
    list += kind.name;
  }
  return list + ", raw";
}

}  // namespace zelkc::graph_file
