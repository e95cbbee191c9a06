// Reading graph files by replaying the builder calls they list.
#include "formats/graph_json.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <zelk_compiler/debug.hpp>

#include "formats/graph_json_kinds.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

using graph_file::Built;
using graph_file::call_builder;
using graph_file::expected;
using graph_file::FieldReader;
using graph_file::find_kind;
using graph_file::kFormat;
using graph_file::KindSpelling;
using graph_file::known_entries;
using graph_file::kVersion;
using graph_file::malformed;
using graph_file::read_element_type;
using graph_file::read_unsigned_list;

// The member `key` of an entry at `path`, a string member, a list of
// unsigned integers.
Outcome<const Json*> field(const Json& entry, const std::string& path, std::string_view key) {
  const auto found = entry.find(key);
  if (found == entry.end()) {
    return std::unexpected(malformed(path, "missing field \"" + std::string(key) + "\""));
  }
  return &*found;
}

Outcome<std::string> text_field(const Json& entry, const std::string& path, std::string_view key) {
  const auto found = field(entry, path, key);
  if (!found) {
    return std::unexpected(found.error());
  }
  if (!(*found)->is_string()) {
    return std::unexpected(expected(child_path(path, key), "a string", **found));
  }
  return (*found)->get<std::string>();
}

Outcome<std::vector<std::uint64_t>> list_field(const Json& entry, const std::string& path,
                                               std::string_view key) {
  const auto found = field(entry, path, key);
  if (!found) {
    return std::unexpected(found.error());
  }
  return read_unsigned_list(**found, child_path(path, key));
}

// The element type of a source entry: its "dtype", F32 when it has none.
Outcome<zc::DType> element_type(const Json& entry, const std::string& path) {
  const auto found = entry.find("dtype");
  if (found == entry.end()) {
    return zc::DType::F32;
  }
  return read_element_type(*found, child_path(path, "dtype"));
}

// What an entry's "op" names: an input or a weight, an operation of a kind,
// or a raw step whose kind is in "kind".
struct EntryOp {
  std::string op;
  bool source = false;
  bool raw = false;
  const KindSpelling* kind = nullptr;
};

// Every field of the entry is one its operation has.
Outcome<void> check_fields(const Json& entry, const std::string& path, const EntryOp& op) {
  for (const auto& [key, value] : entry.items()) {
    const bool allowed =
        key == "op" || key == "name" || (op.source && (key == "shape" || key == "dtype")) ||
        (!op.source && key == "inputs") ||
        (op.kind != nullptr && std::ranges::find(op.kind->fields, key) != op.kind->fields.end()) ||
        (op.raw && (key == "kind" || key == "output_shape"));
    if (!allowed) {
      return std::unexpected(malformed(child_path(path, key), "unexpected field for " + op.op));
    }
  }
  return {};
}

Outcome<EntryOp> entry_op(const Json& entry, const std::string& path) {
  auto op = text_field(entry, path, "op");
  if (!op) {
    return std::unexpected(op.error());
  }
  EntryOp read{.op = std::move(*op)};
  read.source = read.op == "input" || read.op == "weight";
  read.raw = read.op == "raw";
  read.kind = find_kind(read.op);
  if (!read.source && !read.raw && read.kind == nullptr) {
    return std::unexpected(malformed(
        child_path(path, "op"),
        "unknown operation " + zc::debug_string(read.op) + " (known: " + known_entries() + ")"));
  }
  if (read.raw) {
    const auto kind_name = text_field(entry, path, "kind");
    if (!kind_name) {
      return std::unexpected(kind_name.error());
    }
    read.kind = find_kind(*kind_name);
    if (read.kind == nullptr) {
      return std::unexpected(malformed(child_path(path, "kind"),
                                       "unknown operation kind " + zc::debug_string(*kind_name)));
    }
  }
  if (auto fields = check_fields(entry, path, read); !fields) {
    return std::unexpected(std::move(fields.error()));
  }
  return read;
}

// The first two entries with each name: enough to resolve a name, to tell
// one that comes later from one that names nothing, and to name both sides
// of an ambiguity. An open-addressing table over a copy of the names laid
// end to end: a lookup touches one slot and, on a match, names written near
// each other, where a node-based map would chase three pointers into a
// document of millions of entries.
class NameIndex {
 public:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  struct Entries {
    std::size_t first = kNone;
    std::size_t second = kNone;
  };

  void note(std::string_view name, std::size_t position) {
    if (2 * (names_held_ + 1) > slots_.size()) {
      grow();
    }
    const std::size_t hash = std::hash<std::string_view>{}(name);
    Slot& slot = slots_[slot_index(name, hash)];
    if (slot.entries.first == kNone) {
      ++names_held_;
      slot.hash = hash;
      slot.offset = names_.size();
      slot.length = name.size();
      names_ += name;
      slot.entries.first = position;
    } else if (slot.entries.second == kNone) {
      slot.entries.second = position;
    }
  }

  // The entries named `name`, or nullptr.
  [[nodiscard]] const Entries* find(std::string_view name) const {
    if (slots_.empty()) {
      return nullptr;
    }
    const Slot& slot = slots_[slot_index(name, std::hash<std::string_view>{}(name))];
    return slot.entries.first == kNone ? nullptr : &slot.entries;
  }

 private:
  struct Slot {
    std::size_t hash = 0;
    std::size_t offset = 0;
    std::size_t length = 0;
    Entries entries;
  };

  // Doubles the table (it starts at 16 slots), keeping it at most half full.
  void grow() {
    std::vector<Slot> old(std::max<std::size_t>(16, 2 * slots_.size()));
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.entries.first != kNone) {
        std::size_t at = slot.hash & mask;
        while (slots_[at].entries.first != kNone) {
          at = (at + 1) & mask;
        }
        slots_[at] = slot;
      }
    }
  }

  // Where `name`, of hash `hash`, is held, or the empty slot where it would
  // go (there always is one: the table is at most half full).
  [[nodiscard]] std::size_t slot_index(std::string_view name, std::size_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
      const Slot& slot = slots_[at];
      if (slot.entries.first == kNone ||
          (slot.hash == hash &&
           std::string_view(names_).substr(slot.offset, slot.length) == name)) {
        return at;
      }
    }
  }

  std::vector<Slot> slots_;
  std::size_t names_held_ = 0;
  std::string names_;
};

// Replays the entries of one document into a graph, one at a time as they
// are read. Entry `position` sees exactly the entries before it. A reference
// that names nothing seen yet is explained only once every entry is in ("comes
// later (at /ops/7)" or "names no tensor"), so the first failing entry is
// replayed no further and its failure completed by `finish`.
class Replay {
 public:
  // Replays `entry`, the next one, unless an earlier one failed.
  void add(const Json& entry) {
    const std::size_t position = count_++;
    if (!failure_) {
      if (auto done = this->entry(entry, position); !done) {
        failure_ = std::move(done.error());
      }
    }
    if (entry.is_object()) {
      if (const auto name = entry.find("name"); name != entry.end() && name->is_string()) {
        by_name_.note(name->get_ref<const std::string&>(), position);
      }
    }
  }

  // After the last entry: the first failure, explained.
  Outcome<void> finish() {
    complete_ = true;
    if (pending_) {
      failure_ = explain(pending_->reference, pending_->path, pending_->position).error();
    }
    if (failure_) {
      return std::unexpected(std::move(*failure_));
    }
    return {};
  }

  Outcome<void> outputs(const Json& outputs, const std::string& path) {
    if (!outputs.is_array()) {
      return std::unexpected(expected(path, "an array of tensor names or indices", outputs));
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      auto id = operand(outputs[i], path, i, count_);
      if (!id) {
        return std::unexpected(std::move(id.error()));
      }
      graph_.mark_output(*id);
    }
    return {};
  }

  zc::Graph take() { return std::move(graph_); }

 private:
  // A reference that did not resolve while entries were still to come.
  struct Pending {
    Json reference;
    std::string path;
    std::size_t position = 0;
  };

  // The tensor a reference names, as seen from entry `position`: only
  // tensors of earlier entries count. The reference is element `index` of
  // the list at `list_path`; its own path is made only for a message, since
  // a large graph resolves millions of references.
  Outcome<zc::TensorId> operand(const Json& reference, const std::string& list_path,
                                std::size_t index_in_list, std::size_t position) {
    if (reference.is_string()) {
      const auto& name = reference.get_ref<const std::string&>();
      const NameIndex::Entries* found = by_name_.find(name);
      if (found != nullptr && (found->second == NameIndex::kNone || found->second >= position)) {
        return zc::TensorId{found->first};
      }
    } else if (!reference.is_number_unsigned()) {
      return std::unexpected(
          expected(child_path(list_path, index_in_list), "a tensor name or index", reference));
    } else if (reference.get<std::uint64_t>() < position) {
      return zc::TensorId{reference.get<std::uint64_t>()};
    }
    std::string path = child_path(list_path, index_in_list);
    if (complete_) {
      return explain(reference, path, position);
    }
    pending_ = Pending{.reference = reference, .path = std::move(path), .position = position};
    // `finish` puts the explanation in its place.
    return std::unexpected(Failure::usage(""));
  }

  // Why `reference`, a name or an index, does not resolve from entry
  // `position`, once every entry is known.
  std::unexpected<Failure> explain(const Json& reference, const std::string& path,
                                   std::size_t position) const {
    if (reference.is_string()) {
      return name_failure(reference.get_ref<const std::string&>(), path, position);
    }
    const std::uint64_t index = reference.get<std::uint64_t>();
    if (index < count_) {
      return std::unexpected(malformed(path, "tensor " + std::to_string(index) +
                                                 " comes later (at " + child_path("/ops", index) +
                                                 "); operands must be made by earlier entries"));
    }
    return std::unexpected(malformed(path, "tensor " + std::to_string(index) +
                                               " names nothing (the graph has " +
                                               std::to_string(count_) + " tensors)"));
  }

  // Why `name` does not resolve from entry `position`.
  std::unexpected<Failure> name_failure(const std::string& name, const std::string& path,
                                        std::size_t position) const {
    const std::string quoted = zc::debug_string(name);
    const NameIndex::Entries* found = by_name_.find(name);
    if (found == nullptr) {
      return std::unexpected(malformed(path, quoted + " names no tensor"));
    }
    const NameIndex::Entries& entries = *found;
    if (entries.first >= position) {
      return std::unexpected(malformed(path, quoted + " comes later (at " +
                                                 child_path("/ops", entries.first) +
                                                 "); operands must be made by earlier entries"));
    }
    // Otherwise two earlier entries have the name.
    return std::unexpected(malformed(
        path, quoted + " is ambiguous: tensors " + std::to_string(entries.first) + " and " +
                  std::to_string(entries.second) + " both have that name; refer to one by index"));
  }

  Outcome<void> entry(const Json& entry, std::size_t position) {
    const std::string path = child_path("/ops", position);
    if (!entry.is_object()) {
      return std::unexpected(expected(path, "an object", entry));
    }
    const auto op = entry_op(entry, path);
    if (!op) {
      return std::unexpected(op.error());
    }
    const auto name = text_field(entry, path, "name");
    if (!name) {
      return std::unexpected(name.error());
    }
    if (op->source) {
      return source(entry, path, *op, *name);
    }
    return operation(entry, path, position, *op, *name);
  }

  // An input or a weight.
  Outcome<void> source(const Json& entry, const std::string& path, const EntryOp& op,
                       const std::string& name) {
    auto shape = list_field(entry, path, "shape");
    if (!shape) {
      return std::unexpected(std::move(shape.error()));
    }
    const auto dtype = element_type(entry, path);
    if (!dtype) {
      return std::unexpected(dtype.error());
    }
    (void)(op.op == "input" ? graph_.input(name, std::move(*shape), *dtype)
                            : graph_.weight(name, std::move(*shape), *dtype));
    return {};
  }

  // The operands of an operation entry, as many as its kind takes.
  Outcome<std::vector<zc::TensorId>> inputs(const Json& entry, const std::string& path,
                                            std::size_t position, const EntryOp& op) {
    const auto inputs_field = field(entry, path, "inputs");
    if (!inputs_field) {
      return std::unexpected(inputs_field.error());
    }
    const Json& inputs_json = **inputs_field;
    const std::string inputs_path = child_path(path, "inputs");
    if (!inputs_json.is_array()) {
      return std::unexpected(expected(inputs_path, "an array of tensors", inputs_json));
    }
    if (!op.raw && !op.kind->operands.accept(inputs_json.size())) {
      return std::unexpected(malformed(inputs_path, op.op + " takes " + op.kind->operands.text() +
                                                        ", got " +
                                                        std::to_string(inputs_json.size())));
    }
    std::vector<zc::TensorId> inputs;
    inputs.reserve(inputs_json.size());
    for (std::size_t i = 0; i < inputs_json.size(); ++i) {
      auto id = operand(inputs_json[i], inputs_path, i, position);
      if (!id) {
        return std::unexpected(std::move(id.error()));
      }
      inputs.push_back(*id);
    }
    return inputs;
  }

  // An operation, through its kind's builder, or as a raw step with the
  // output shape it states.
  Outcome<void> operation(const Json& entry, const std::string& path, std::size_t position,
                          const EntryOp& op, const std::string& name) {
    auto in = inputs(entry, path, position, op);
    if (!in) {
      return std::unexpected(std::move(in.error()));
    }
    auto op_kind = op.kind->read(FieldReader(entry, path));
    if (!op_kind) {
      return std::unexpected(std::move(op_kind.error()));
    }

    Built built = zc::TensorId{};
    if (op.raw) {
      auto shape = list_field(entry, path, "output_shape");
      if (!shape) {
        return std::unexpected(std::move(shape.error()));
      }
      built = graph_.op(name, std::move(*op_kind), std::move(*in), std::move(*shape));
    } else {
      built = *call_builder(graph_, name, *op_kind, *in);
    }
    if (!built) {
      return std::unexpected(Failure::refused(zc::debug_string(built.error())).at(path));
    }
    return {};
  }

  std::size_t count_ = 0;
  bool complete_ = false;
  std::optional<Failure> failure_;
  std::optional<Pending> pending_;
  NameIndex by_name_;
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

// The graph of `document`, whose "ops" entries `replay` has seen in part
// (as they were read) or not at all: the rest are still in the document.
Outcome<zc::Graph> complete(const Json& document, Replay& replay) {
  if (!document.is_object()) {
    return std::unexpected(expected("", "an object", document));
  }
  if (auto header = check_header(document); !header) {
    return std::unexpected(std::move(header.error()));
  }
  for (const Json& entry : document["ops"]) {
    replay.add(entry);
  }
  if (auto entries = replay.finish(); !entries) {
    return std::unexpected(std::move(entries.error()));
  }
  if (auto outputs = replay.outputs(document["outputs"], "/outputs"); !outputs) {
    return std::unexpected(std::move(outputs.error()));
  }
  return replay.take();
}

}  // namespace

Outcome<zc::Graph> replay_graph(const Json& document) {
  Replay replay;
  return complete(document, replay);
}

Outcome<zc::Graph> read_graph_json(std::string_view text) {
  // The entries are replayed as they are parsed, so a file of a million is
  // never held whole as a document.
  Replay replay;
  const ElementSink sink = [&replay](Json&& entry, std::size_t /*index*/) { replay.add(entry); };
  auto document = parse_json(text, "ops", &sink);
  if (!document) {
    return std::unexpected(std::move(document.error()));
  }
  auto graph = complete(*document, replay);
  if (!graph) {
    return graph;
  }
  if (const auto valid = graph->validate(); !valid) {
    return std::unexpected(Failure::refused(zc::debug_string(valid.error())));
  }
  return graph;
}

}  // namespace zelkc
