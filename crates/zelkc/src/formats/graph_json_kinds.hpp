// How graph files spell each operation kind, as a table built from the
// operation variant: the kind's name, the fields it carries, the operands its
// entry takes, and the reader, writer and builder call of each.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <zelk_compiler/graph.hpp>

#include "formats/graph_json_fields.hpp"

namespace zelkc::graph_file {

namespace zc = zelk_compiler;

using Built = zc::Result<zc::TensorId>;
using OperandIds = std::span<const zc::TensorId>;

// One row of the kind table: what the reader needs before it has a kind.
struct KindSpelling {
  std::string_view name;
  std::span<const std::string_view> fields;
  Operands operands;
  Outcome<zc::OpKind> (*read)(const FieldReader&);
};

// The row of the kind that graph files call `name`; null when none is.
[[nodiscard]] const KindSpelling* find_kind(std::string_view name);

// "input, weight, matmul, ..., raw": every operation an entry may name.
[[nodiscard]] std::string known_entries();

// The builder call that makes an operation of `kind` from `in`; nothing when
// its entry takes another number of operands.
[[nodiscard]] std::optional<Built> call_builder(zc::Graph& graph, std::string_view name,
                                                const zc::OpKind& kind, OperandIds in);

// Adds the fields `kind` carries to `entry`.
void write_fields(const zc::OpKind& kind, Json& entry);

}  // namespace zelkc::graph_file
