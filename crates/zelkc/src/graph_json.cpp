// Reading graph files by replaying builder calls, and writing graphs back as
// such calls.
#include "graph_json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <zelk_compiler/debug.hpp>

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

constexpr std::string_view kFormat = "zelk-graph";
constexpr std::uint64_t kVersion = 1;

Failure malformed(const std::string& path, std::string_view problem) {
  std::string message = path.empty() ? std::string("the document") : path;
  message += ": ";
  message += problem;
  return Failure::usage(std::move(message));
}

Failure expected(const std::string& path, std::string_view what, const Json& got) {
  return malformed(path, "expected " + std::string(what) + ", got " + describe(got));
}

Outcome<std::uint64_t> read_unsigned(const Json& value, const std::string& path) {
  if (!value.is_number_unsigned()) {
    return std::unexpected(expected(path, "an unsigned integer", value));
  }
  return value.get<std::uint64_t>();
}

Outcome<std::vector<std::uint64_t>> read_unsigned_list(const Json& value, const std::string& path) {
  if (!value.is_array()) {
    return std::unexpected(expected(path, "an array of unsigned integers", value));
  }
  std::vector<std::uint64_t> list;
  list.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    auto entry = read_unsigned(value[i], child_path(path, i));
    if (!entry) {
      return std::unexpected(std::move(entry.error()));
    }
    list.push_back(*entry);
  }
  return list;
}

// A float parameter: any JSON number within the float range, rounded to the
// nearest float, or one of the strings "nan", "inf" and "-inf".
Outcome<float> read_float(const Json& value, const std::string& path) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    if (text == "nan") {
      return std::numeric_limits<float>::quiet_NaN();
    }
    if (text == "inf" || text == "-inf") {
      const float infinity = std::numeric_limits<float>::infinity();
      return text == "inf" ? infinity : -infinity;
    }
  }
  if (!value.is_number()) {
    return std::unexpected(expected(path, "a number (or \"nan\", \"inf\", \"-inf\")", value));
  }
  const double number = value.get<double>();
  // A number a little above the largest float still rounds down to it; only
  // one that would round to infinity is out of range.
  const double largest = static_cast<double>(std::numeric_limits<float>::max());
  const double half_ulp = std::ldexp(1.0, std::numeric_limits<float>::max_exponent - 25);
  if (std::abs(number) >= largest + half_ulp) {
    return std::unexpected(malformed(path, value.dump() + " is beyond the float range"));
  }
  return static_cast<float>(number);
}

Json float_to_json(float value) {
  if (std::isnan(value)) {
    return "nan";
  }
  if (std::isinf(value)) {
    return value > 0 ? "inf" : "-inf";
  }
  // The shortest decimal that reads back as this float ("1e-05" rather than
  // 9.999999747378752e-06), unless reading it as a double and rounding that
  // to float would land elsewhere; the exact double always reads back.
  std::array<char, 64> text{};
  const auto printed = std::to_chars(text.data(), text.data() + text.size(), value);
  double shortest = 0.0;
  const auto parsed = std::from_chars(text.data(), printed.ptr, shortest);
  if (printed.ec == std::errc{} && parsed.ec == std::errc{} &&
      static_cast<float>(shortest) == value &&
      std::signbit(static_cast<float>(shortest)) == std::signbit(value)) {
    return shortest;
  }
  return static_cast<double>(value);
}

// How many operands an entry takes: exactly `count`, or `alternative` when
// that is not 0, or any number above `count` when `or_more`.
struct Operands {
  std::size_t count = 0;
  std::size_t alternative = 0;
  bool or_more = false;

  [[nodiscard]] bool accept(std::size_t given) const {
    return given == count || (alternative != 0 && given == alternative) ||
           (or_more && given > count);
  }

  // "1 tensor", "2 tensors", "1 or 3 tensors", "1 or more tensors"
  [[nodiscard]] std::string text() const {
    std::string text = std::to_string(count);
    if (alternative != 0) {
      text += " or " + std::to_string(alternative);
    } else if (or_more) {
      text += " or more";
    }
    return text + (text == "1" ? " tensor" : " tensors");
  }
};

// The fields of one entry, read with the path of each in messages.
class FieldReader {
 public:
  FieldReader(const Json& entry, const std::string& path) : entry_(entry), path_(path) {}

  [[nodiscard]] Outcome<std::uint64_t> whole(std::string_view key) const {
    return read(key, read_unsigned);
  }
  [[nodiscard]] Outcome<std::vector<std::uint64_t>> list(std::string_view key) const {
    return read(key, read_unsigned_list);
  }
  [[nodiscard]] Outcome<float> real(std::string_view key) const { return read(key, read_float); }

 private:
  template <class Read>
  auto read(std::string_view key, Read reader) const
      -> decltype(reader(std::declval<const Json&>(), std::string())) {
    const auto found = entry_.find(key);
    if (found == entry_.end()) {
      return std::unexpected(malformed(path_, "missing field \"" + std::string(key) + "\""));
    }
    return reader(*found, child_path(path_, key));
  }

  const Json& entry_;
  const std::string& path_;
};

// The kind `make` builds from a field that was read.
template <class T, class Make>
Outcome<zc::OpKind> kind_from(Outcome<T> field, Make make) {
  if (!field) {
    return std::unexpected(std::move(field.error()));
  }
  return zc::OpKind{make(std::move(*field))};
}

using Built = zc::Result<zc::TensorId>;
using Operand = std::span<const zc::TensorId>;

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
  static Built build(zc::Graph& graph, std::string_view name, const Kind& kind, Operand in) {
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
  static Built build(zc::Graph& graph, std::string_view name, const Kind& kind, Operand in) {
    if constexpr (identical != nullptr) {
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
  static Built build(zc::Graph& graph, std::string_view name, const zc::MatMul&, Operand in) {
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
  static Built build(zc::Graph& graph, std::string_view name, const zc::Reshape& kind, Operand in) {
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
                     Operand in) {
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
                     Operand in) {
    if (in.size() == 3) {
      return graph.layer_norm(name, in[0], in[1], in[2], kind.epsilon);
    }
    return graph.layer_norm(name, in[0], kind.epsilon);
  }
};

template <>
struct KindFile<zc::Softmax> : AxisKind<zc::Softmax> {
  static constexpr Operands operands{.count = 1};
  static Built build(zc::Graph& graph, std::string_view name, const zc::Softmax& kind, Operand in) {
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
  static Built build(zc::Graph& graph, std::string_view name, const zc::Slice& kind, Operand in) {
    return graph.slice(name, in[0], kind.axis, kind.start, kind.end);
  }
};

template <>
struct KindFile<zc::Concat> : AxisKind<zc::Concat> {
  static constexpr Operands operands{.count = 1, .or_more = true};
  static Built build(zc::Graph& graph, std::string_view name, const zc::Concat& kind, Operand in) {
    return graph.concat(name, std::vector<zc::TensorId>(in.begin(), in.end()), kind.axis);
  }
};

template <>
struct KindFile<zc::ReduceMean> : AxisKind<zc::ReduceMean> {
  static constexpr Operands operands{.count = 1};
  static Built build(zc::Graph& graph, std::string_view name, const zc::ReduceMean& kind,
                     Operand in) {
    return graph.reduce_mean(name, in[0], kind.axis);
  }
};

// One row of the kind table: what the reader needs before it has a kind.
struct KindSpelling {
  std::string_view name;
  std::span<const std::string_view> fields;
  Operands operands;
  Outcome<zc::OpKind> (*read)(const FieldReader&);
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

const KindSpelling* find_kind(std::string_view name) {
  const auto found = std::ranges::find(kinds(), name, &KindSpelling::name);
  return found == kinds().end() ? nullptr : &*found;
}

const KindSpelling& spelling_of(const zc::OpKind& kind) { return kinds()[kind.index()]; }

// The builder call that makes an operation of `kind` from `in`; nothing when
// its entry takes another number of operands.
std::optional<Built> call_builder(zc::Graph& graph, std::string_view name, const zc::OpKind& kind,
                                  Operand in) {
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

// Replays the entries of one document into a graph.
class Replay {
 public:
  explicit Replay(const Json& ops) : ops_(ops) {
    for (std::size_t i = 0; i < ops_.size(); ++i) {
      const Json& entry = ops_[i];
      if (entry.is_object()) {
        if (const auto name = entry.find("name"); name != entry.end() && name->is_string()) {
          by_name_[name->get<std::string>()].push_back(i);
        }
      }
    }
  }

  Outcome<void> entries() {
    for (std::size_t i = 0; i < ops_.size(); ++i) {
      if (auto done = entry(i); !done) {
        return done;
      }
    }
    return {};
  }

  Outcome<void> outputs(const Json& outputs, const std::string& path) {
    if (!outputs.is_array()) {
      return std::unexpected(expected(path, "an array of tensor names or indices", outputs));
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      auto id = operand(outputs[i], child_path(path, i), ops_.size());
      if (!id) {
        return std::unexpected(std::move(id.error()));
      }
      graph_.mark_output(*id);
    }
    return {};
  }

  zc::Graph take() { return std::move(graph_); }

 private:
  // The tensor a reference names, as seen from entry `position`: only
  // tensors of earlier entries count.
  Outcome<zc::TensorId> operand(const Json& reference, const std::string& path,
                                std::size_t position) const {
    if (reference.is_string()) {
      return operand_by_name(reference.get_ref<const std::string&>(), path, position);
    }
    if (!reference.is_number_unsigned()) {
      return std::unexpected(expected(path, "a tensor name or index", reference));
    }
    const std::uint64_t index = reference.get<std::uint64_t>();
    if (index < position) {
      return zc::TensorId{index};
    }
    if (index < ops_.size()) {
      return std::unexpected(malformed(path, "tensor " + std::to_string(index) +
                                                 " comes later (at " + child_path("/ops", index) +
                                                 "); operands must be made by earlier entries"));
    }
    return std::unexpected(malformed(path, "tensor " + std::to_string(index) +
                                               " names nothing (the graph has " +
                                               std::to_string(ops_.size()) + " tensors)"));
  }

  Outcome<zc::TensorId> operand_by_name(const std::string& name, const std::string& path,
                                        std::size_t position) const {
    const std::string quoted = zc::debug_string(name);
    const auto found = by_name_.find(name);
    if (found == by_name_.end()) {
      return std::unexpected(malformed(path, quoted + " names no tensor"));
    }
    const std::vector<std::size_t>& entries = found->second;
    const auto earlier = static_cast<std::size_t>(
        std::lower_bound(entries.begin(), entries.end(), position) - entries.begin());
    if (earlier == 0) {
      return std::unexpected(malformed(path, quoted + " comes later (at " +
                                                 child_path("/ops", entries.front()) +
                                                 "); operands must be made by earlier entries"));
    }
    if (earlier > 1) {
      return std::unexpected(malformed(
          path, quoted + " is ambiguous: tensors " + std::to_string(entries[0]) + " and " +
                    std::to_string(entries[1]) + " both have that name; refer to one by index"));
    }
    return zc::TensorId{entries.front()};
  }

  Outcome<void> entry(std::size_t position) {
    const Json& entry = ops_[position];
    const std::string path = child_path("/ops", position);
    if (!entry.is_object()) {
      return std::unexpected(expected(path, "an object", entry));
    }
    const auto field = [&](std::string_view key) -> Outcome<const Json*> {
      const auto found = entry.find(key);
      if (found == entry.end()) {
        return std::unexpected(malformed(path, "missing field \"" + std::string(key) + "\""));
      }
      return &*found;
    };
    const auto text_field = [&](std::string_view key) -> Outcome<std::string> {
      const auto found = field(key);
      if (!found) {
        return std::unexpected(found.error());
      }
      if (!(*found)->is_string()) {
        return std::unexpected(expected(child_path(path, key), "a string", **found));
      }
      return (*found)->get<std::string>();
    };

    const auto op = text_field("op");
    if (!op) {
      return std::unexpected(op.error());
    }
    const bool source = *op == "input" || *op == "weight";
    const bool raw = *op == "raw";
    const KindSpelling* kind = find_kind(*op);
    if (!source && !raw && kind == nullptr) {
      return std::unexpected(malformed(
          child_path(path, "op"),
          "unknown operation " + zc::debug_string(*op) + " (known: " + known_entries() + ")"));
    }
    if (raw) {
      const auto kind_name = text_field("kind");
      if (!kind_name) {
        return std::unexpected(kind_name.error());
      }
      kind = find_kind(*kind_name);
      if (kind == nullptr) {
        return std::unexpected(malformed(child_path(path, "kind"),
                                         "unknown operation kind " + zc::debug_string(*kind_name)));
      }
    }
    for (const auto& [key, value] : entry.items()) {
      const bool allowed =
          key == "op" || key == "name" || (source && key == "shape") ||
          (!source && key == "inputs") ||
          (kind != nullptr && std::ranges::find(kind->fields, key) != kind->fields.end()) ||
          (raw && (key == "kind" || key == "output_shape"));
      if (!allowed) {
        return std::unexpected(malformed(child_path(path, key), "unexpected field for " + *op));
      }
    }
    const auto name = text_field("name");
    if (!name) {
      return std::unexpected(name.error());
    }

    if (source) {
      const auto shape_field = field("shape");
      if (!shape_field) {
        return std::unexpected(shape_field.error());
      }
      auto shape = read_unsigned_list(**shape_field, child_path(path, "shape"));
      if (!shape) {
        return std::unexpected(std::move(shape.error()));
      }
      (void)(*op == "input" ? graph_.input(*name, std::move(*shape))
                            : graph_.weight(*name, std::move(*shape)));
      return {};
    }

    const auto inputs_field = field("inputs");
    if (!inputs_field) {
      return std::unexpected(inputs_field.error());
    }
    const Json& inputs_json = **inputs_field;
    const std::string inputs_path = child_path(path, "inputs");
    if (!inputs_json.is_array()) {
      return std::unexpected(expected(inputs_path, "an array of tensors", inputs_json));
    }
    if (!raw && !kind->operands.accept(inputs_json.size())) {
      return std::unexpected(malformed(
          inputs_path,
          *op + " takes " + kind->operands.text() + ", got " + std::to_string(inputs_json.size())));
    }
    std::vector<zc::TensorId> inputs;
    for (std::size_t i = 0; i < inputs_json.size(); ++i) {
      auto id = operand(inputs_json[i], child_path(inputs_path, i), position);
      if (!id) {
        return std::unexpected(std::move(id.error()));
      }
      inputs.push_back(*id);
    }

    auto op_kind = kind->read(FieldReader(entry, path));
    if (!op_kind) {
      return std::unexpected(std::move(op_kind.error()));
    }

    Built built = zc::TensorId{};
    if (raw) {
      const auto shape_field = field("output_shape");
      if (!shape_field) {
        return std::unexpected(shape_field.error());
      }
      auto shape = read_unsigned_list(**shape_field, child_path(path, "output_shape"));
      if (!shape) {
        return std::unexpected(std::move(shape.error()));
      }
      built = graph_.op(*name, std::move(*op_kind), std::move(inputs), std::move(*shape));
    } else {
      built = *call_builder(graph_, *name, *op_kind, inputs);
    }
    if (!built) {
      return std::unexpected(Failure::refused(zc::debug_string(built.error())).at(path));
    }
    return {};
  }

  const Json& ops_;
  // Entry positions by name, ascending: to resolve names and to tell a name
  // that comes later from one that names nothing.
  std::unordered_map<std::string, std::vector<std::size_t>> by_name_;
  zc::Graph graph_;
};

Outcome<void> check_header(const Json& document) {
  for (const auto& [key, value] : document.items()) {
    if (key != "format" && key != "version" && key != "ops" && key != "outputs") {
      return std::unexpected(malformed(child_path("", key), "unexpected field"));
    }
  }
  if (const auto format = document.find("format"); format != document.end()) {
    if (!format->is_string() || *format != kFormat) {
      return std::unexpected(expected("/format", "\"zelk-graph\"", *format));
    }
  }
  if (const auto version = document.find("version"); version != document.end()) {
    if (!version->is_number_unsigned() || *version != kVersion) {
      return std::unexpected(expected("/version", "version 1", *version));
    }
  }
  for (const char* key : {"ops", "outputs"}) {
    if (!document.contains(key)) {
      return std::unexpected(malformed("", "missing field \"" + std::string(key) + "\""));
    }
  }
  if (!document["ops"].is_array()) {
    return std::unexpected(expected("/ops", "an array", document["ops"]));
  }
  return {};
}

// A reference to tensor `id` from an entry that sees the tensors counted in
// `names`: the name when it picks out exactly one of them, else the index.
Json reference(const zc::Graph& graph, zc::TensorId id,
               const std::unordered_map<std::string, std::size_t>& names) {
  const std::string& name = graph.tensors[id.index].name;
  const auto found = names.find(name);
  if (found != names.end() && found->second == 1) {
    return name;
  }
  return id.index;
}

Failure not_writable(std::string_view why) {
  return Failure::refused("graph cannot be written as builder calls: " + std::string(why));
}

// Whether the builder of `op`'s kind, called on `shadow` (which holds the
// graph's tensors and operations before `op`), makes exactly `op` and its
// output. `shadow` is left as it was.
bool builder_makes(zc::Graph& shadow, const zc::Op& op, const zc::Tensor& output) {
  const auto made = call_builder(shadow, op.name, op.kind, op.inputs);
  if (!made || !made->has_value()) {
    return false;
  }
  const zc::Tensor& tensor = shadow.tensors.back();
  const bool same = shadow.ops.back() == op && tensor.name == output.name &&
                    tensor.shape == output.shape && tensor.producer == output.producer;
  shadow.tensors.pop_back();
  shadow.ops.pop_back();
  return same;
}

}  // namespace

Outcome<zc::Graph> replay_graph(const Json& document) {
  if (!document.is_object()) {
    return std::unexpected(expected("", "an object", document));
  }
  if (auto header = check_header(document); !header) {
    return std::unexpected(std::move(header.error()));
  }
  Replay replay(document["ops"]);
  if (auto entries = replay.entries(); !entries) {
    return std::unexpected(std::move(entries.error()));
  }
  if (auto outputs = replay.outputs(document["outputs"], "/outputs"); !outputs) {
    return std::unexpected(std::move(outputs.error()));
  }
  return replay.take();
}

Outcome<zc::Graph> read_graph_json(std::string_view text) {
  auto document = parse_json(text);
  if (!document) {
    return std::unexpected(std::move(document.error()));
  }
  auto graph = replay_graph(*document);
  if (!graph) {
    return graph;
  }
  if (const auto valid = graph->validate(); !valid) {
    return std::unexpected(Failure::refused(zc::debug_string(valid.error())));
  }
  return graph;
}

Outcome<Json> graph_to_json(const zc::Graph& graph) {
  Json ops = Json::array();
  // How many tensors so far carry each name.
  std::unordered_map<std::string, std::size_t> names;
  // The graph as replaying the entries so far makes it, to find out whether
  // an operation's own builder makes it or only the raw step does.
  zc::Graph shadow;
  for (std::size_t index = 0; index < graph.tensors.size(); ++index) {
    const zc::Tensor& tensor = graph.tensors[index];
    Json entry = Json::object();
    if (!tensor.producer) {
      if (tensor.kind == zc::TensorKind::Intermediate) {
        return std::unexpected(not_writable("tensor " + std::to_string(index) +
                                            " is an intermediate without a producer"));
      }
      // A marked input or weight has lost which of the two it was; either
      // replays to the same graph.
      const bool weight = tensor.kind == zc::TensorKind::Weight;
      entry["op"] = weight ? "weight" : "input";
      entry["name"] = tensor.name;
      entry["shape"] = tensor.shape;
      (void)(weight ? shadow.weight(tensor.name, tensor.shape)
                    : shadow.input(tensor.name, tensor.shape));
    } else {
      const std::uint64_t op_index = tensor.producer->index;
      if (op_index != shadow.ops.size() || op_index >= graph.ops.size() ||
          graph.ops[op_index].output.index != index) {
        return std::unexpected(not_writable(
            "operations and their outputs are out of step at tensor " + std::to_string(index)));
      }
      const zc::Op& op = graph.ops[op_index];
      Json inputs = Json::array();
      for (const zc::TensorId input : op.inputs) {
        if (input.index >= index) {
          return std::unexpected(not_writable("operation " + std::to_string(op_index) +
                                              " reads a tensor made after it"));
        }
        inputs.push_back(reference(graph, input, names));
      }
      const std::string_view kind = zc::operation_name(op.kind);
      if (builder_makes(shadow, op, tensor)) {
        entry["op"] = kind;
      } else {
        entry["op"] = "raw";
        entry["kind"] = kind;
      }
      entry["name"] = op.name;
      entry["inputs"] = std::move(inputs);
      write_fields(op.kind, entry);
      if (entry["op"] == "raw") {
        entry["output_shape"] = tensor.shape;
      }
      if (!shadow.op(op.name, op.kind, op.inputs, tensor.shape)) {
        return std::unexpected(not_writable("operation " + std::to_string(op_index) +
                                            " reads a tensor that does not exist"));
      }
    }
    ops.push_back(std::move(entry));
    ++names[tensor.name];
  }
  if (shadow.ops.size() != graph.ops.size()) {
    return std::unexpected(not_writable("some operations have no output tensor"));
  }
  Json outputs = Json::array();
  for (const zc::TensorId output : graph.outputs) {
    if (output.index >= graph.tensors.size()) {
      return std::unexpected(not_writable("an output names no tensor"));
    }
    outputs.push_back(reference(graph, output, names));
  }
  Json document = Json::object();
  document["format"] = kFormat;
  document["version"] = kVersion;
  document["ops"] = std::move(ops);
  document["outputs"] = std::move(outputs);

  // Whatever the graph looks like, what is written must replay to it. The
  // printed forms also match where a NaN epsilon makes == false.
  const auto replayed = replay_graph(document);
  if (!replayed ||
      (!(*replayed == graph) && zc::debug_string(*replayed) != zc::debug_string(graph))) {
    return std::unexpected(not_writable("replaying the calls gives another graph"));
  }
  return document;
}

Outcome<std::string> write_graph_json(const zc::Graph& graph) {
  auto document = graph_to_json(graph);
  if (!document) {
    return std::unexpected(std::move(document.error()));
  }
  try {
    // Wide enough that every entry stays on one line.
    return dump_readable(*document, 240);
  } catch (const nlohmann::json::type_error&) {
    return std::unexpected(not_writable("a name is not valid UTF-8"));
  }
}

}  // namespace zelkc
