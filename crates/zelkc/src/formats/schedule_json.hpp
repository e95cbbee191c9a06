// The schedule document: a compiled schedule field by field, with the options
// it was compiled under and the names of the graph's tensors and operations.
// docs/schedule-format.md describes it.
#pragma once

#include <string>

#include <zelk_compiler/compiler.hpp>
#include <zelk_compiler/graph.hpp>

#include "formats/json_text.hpp"

namespace zelkc {

[[nodiscard]] Json schedule_to_json(const zelk_compiler::Graph& graph,
                                    const zelk_compiler::CompilerOptions& options,
                                    const zelk_compiler::Schedule& schedule);

// The document as readable text. Bytes of names that are not UTF-8 are
// written as U+FFFD.
[[nodiscard]] std::string write_schedule_json(const zelk_compiler::Graph& graph,
                                              const zelk_compiler::CompilerOptions& options,
                                              const zelk_compiler::Schedule& schedule);

// `value` as compact JSON that can sit inside an HTML <script> element: '<',
// '>' and '&' are written as \u escapes, so no "</script>" can appear.
[[nodiscard]] std::string dump_for_script(const Json& value);

}  // namespace zelkc
