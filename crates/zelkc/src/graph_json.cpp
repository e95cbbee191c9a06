// Reading graph files by replaying builder calls, and writing graphs back as
// such calls.
#include "graph_json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <zelk_compiler/debug.hpp>

#include "overloaded.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

constexpr std::string_view kFormat = "zelk-graph";
constexpr std::uint64_t kVersion = 1;

// An operation kind as entries spell it: its operation name, the number of
// operands its builder takes, and the field holding its parameter.
struct KindSpelling {
  std::string_view name;
  std::size_t operands;
  std::string_view parameter;
};

constexpr std::array<KindSpelling, 8> kKinds{{
    {"matmul", 2, ""},
    {"add", 2, ""},
    {"mul", 2, ""},
    {"transpose", 1, "permutation"},
    {"layer_norm", 1, "epsilon"},
    {"softmax", 1, "axis"},
    {"gelu", 1, ""},
    {"reshape", 1, "shape"},
}};

const KindSpelling* find_kind(std::string_view name) {
  const auto found = std::ranges::find(kKinds, name, &KindSpelling::name);
  return found == kKinds.end() ? nullptr : &*found;
}

const KindSpelling& spelling_of(const zc::OpKind& kind) {
  return *find_kind(zc::operation_name(kind));
}

std::string known_entries() {
  std::string list = "input, weight";
  for (const KindSpelling& kind : kKinds) {
    list += ", ";
    list += kind.name;
  }
  return list + ", raw";
}

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

// The operation kind named `kind`, with its parameter read from `parameter`
// (null for kinds without one).
Outcome<zc::OpKind> make_kind(const KindSpelling& kind, const Json* parameter,
                              const std::string& path) {
  if (kind.name == "matmul") {
    return zc::MatMul{};
  }
  if (kind.name == "add") {
    return zc::Add{};
  }
  if (kind.name == "mul") {
    return zc::Mul{};
  }
  if (kind.name == "gelu") {
    return zc::Gelu{};
  }
  if (kind.name == "layer_norm") {
    const auto epsilon = read_float(*parameter, path);
    if (!epsilon) {
      return std::unexpected(epsilon.error());
    }
    return zc::LayerNorm{*epsilon};
  }
  if (kind.name == "softmax") {
    const auto axis = read_unsigned(*parameter, path);
    if (!axis) {
      return std::unexpected(axis.error());
    }
    return zc::Softmax{*axis};
  }
  auto list = read_unsigned_list(*parameter, path);
  if (!list) {
    return std::unexpected(std::move(list.error()));
  }
  if (kind.name == "transpose") {
    return zc::Transpose{std::move(*list)};
  }
  return zc::Reshape{std::move(*list)};
}

// The builder call that makes an operation of `kind`: the named builders,
// and the common steps `binary` for Mul and `op` for Reshape (whose output
// shape is its target). Nothing when the builder takes another number of
// operands.
std::optional<zc::Result<zc::TensorId>> call_builder(zc::Graph& graph, std::string_view name,
                                                     const zc::OpKind& kind,
                                                     const std::vector<zc::TensorId>& in) {
  if (in.size() != spelling_of(kind).operands) {
    return std::nullopt;
  }
  return std::visit(
      Overloaded{
          [&](const zc::MatMul&) { return graph.matmul(name, in[0], in[1]); },
          [&](const zc::Add&) { return graph.add(name, in[0], in[1]); },
          [&](const zc::Mul&) { return graph.binary(name, zc::Mul{}, in[0], in[1]); },
          [&](const zc::Reshape& reshape) {
            return graph.op(name, reshape, {in[0]}, reshape.shape);
          },
          [&](const zc::Transpose& t) { return graph.transpose(name, in[0], t.permutation); },
          [&](const zc::LayerNorm& norm) { return graph.layer_norm(name, in[0], norm.epsilon); },
          [&](const zc::Softmax& softmax) { return graph.softmax(name, in[0], softmax.axis); },
          [&](const zc::Gelu&) { return graph.gelu(name, in[0]); },
      },
      kind);
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
      const bool allowed = key == "op" || key == "name" || (source && key == "shape") ||
                           (!source && key == "inputs") ||
                           (kind != nullptr && key == kind->parameter) ||
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
    if (!raw && inputs_json.size() != kind->operands) {
      const std::string count = kind->operands == 1 ? "1 tensor" : "2 tensors";
      return std::unexpected(malformed(
          inputs_path, *op + " takes " + count + ", got " + std::to_string(inputs_json.size())));
    }
    std::vector<zc::TensorId> inputs;
    for (std::size_t i = 0; i < inputs_json.size(); ++i) {
      auto id = operand(inputs_json[i], child_path(inputs_path, i), position);
      if (!id) {
        return std::unexpected(std::move(id.error()));
      }
      inputs.push_back(*id);
    }

    const Json* parameter = nullptr;
    if (!kind->parameter.empty()) {
      const auto found = field(kind->parameter);
      if (!found) {
        return std::unexpected(found.error());
      }
      parameter = *found;
    }
    auto op_kind = make_kind(*kind, parameter, child_path(path, kind->parameter));
    if (!op_kind) {
      return std::unexpected(std::move(op_kind.error()));
    }

    zc::Result<zc::TensorId> built = zc::TensorId{};
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
      std::visit(
          Overloaded{
              [&](const zc::Reshape& reshape) { entry["shape"] = reshape.shape; },
              [&](const zc::Transpose& transpose) { entry["permutation"] = transpose.permutation; },
              [&](const zc::LayerNorm& norm) { entry["epsilon"] = float_to_json(norm.epsilon); },
              [&](const zc::Softmax& softmax) { entry["axis"] = softmax.axis; },
              [](const auto&) {},
          },
          op.kind);
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
